#!/bin/sh
# sign-release.sh UNSIGNED SIGNED
#
# Signs tolvane.exe (Authenticode, SHA-256) with the publisher's certificate,
# taken from the environment, never from the repository:
#   TOLVANE_SIGN_PKCS12      a PKCS#12 file, with TOLVANE_SIGN_PASSWORD, or
#   TOLVANE_SIGN_CERT and TOLVANE_SIGN_KEY   PEM files (TOLVANE_SIGN_PASSWORD
#                            if the key is encrypted)
#   TOLVANE_SIGN_TIMESTAMP_URL   optional RFC 3161 timestamp server
#   SOURCE_DATE_EPOCH        the signing time, so that a signature is
#                            reproducible
# Without a certificate SIGNED is an unsigned copy, and this says so.
set -eu
unsigned=$1
signed=$2

rm -f "$signed"
mkdir -p "$(dirname "$signed")"

if [ -z "${TOLVANE_SIGN_PKCS12:-}${TOLVANE_SIGN_CERT:-}${TOLVANE_SIGN_KEY:-}" ]; then
	cp "$unsigned" "$signed"
	echo "*** tolvane.exe is NOT signed: no code-signing certificate configured."
	echo "*** Set TOLVANE_SIGN_PKCS12 and TOLVANE_SIGN_PASSWORD, or TOLVANE_SIGN_CERT and TOLVANE_SIGN_KEY."
	exit 0
fi

if [ -n "${TOLVANE_SIGN_PKCS12:-}" ]; then
	if [ -n "${TOLVANE_SIGN_CERT:-}${TOLVANE_SIGN_KEY:-}" ]; then
		echo "sign-release.sh: give TOLVANE_SIGN_PKCS12 or TOLVANE_SIGN_CERT with TOLVANE_SIGN_KEY, not both" >&2
		exit 2
	fi
	set -- -pkcs12 "$TOLVANE_SIGN_PKCS12"
elif [ -n "${TOLVANE_SIGN_CERT:-}" ] && [ -n "${TOLVANE_SIGN_KEY:-}" ]; then
	set -- -certs "$TOLVANE_SIGN_CERT" -key "$TOLVANE_SIGN_KEY"
else
	echo "sign-release.sh: TOLVANE_SIGN_CERT and TOLVANE_SIGN_KEY go together" >&2
	exit 2
fi
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
	set -- "$@" -time "$SOURCE_DATE_EPOCH"
fi
if [ -n "${TOLVANE_SIGN_TIMESTAMP_URL:-}" ]; then
	set -- "$@" -ts "$TOLVANE_SIGN_TIMESTAMP_URL"
fi

# The password goes through a pipe: never on a command line or on disk.
if [ -n "${TOLVANE_SIGN_PASSWORD:-}" ]; then
	set -- "$@" -readpass -
fi
printf '%s' "${TOLVANE_SIGN_PASSWORD:-}" |
	osslsigncode sign "$@" -h sha256 -n tolvane.exe -in "$unsigned" -out "$signed" >/dev/null
echo "tolvane.exe signed (Authenticode, SHA-256)"
