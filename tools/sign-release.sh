#!/bin/sh
# sign-release.sh UNSIGNED SIGNED
#
# Signs tolvane.exe (Authenticode, SHA-256) with the publisher's key, taken
# from the environment, never from the repository:
#   TOLVANE_SIGN_KEY and TOLVANE_SIGN_CERT
#       the key and its PEM certificate chain.  The key is a PKCS#11 URI
#       (pkcs11:...) of a key in a hardware token or HSM, which then needs
#       TOLVANE_SIGN_PKCS11_MODULE, the token's PKCS#11 module; or, for test
#       certificates, a PEM key file.
#   TOLVANE_SIGN_PKCS12
#       instead, for test certificates: a PKCS#12 file with key and chain.
#   TOLVANE_SIGN_PASSWORD
#       the token's PIN, or the password of the key or PKCS#12 file.
#   TOLVANE_SIGN_TIMESTAMP_URL
#       an RFC 3161 timestamp server: the signature then stays valid after
#       the certificate expires.  Required, unless TOLVANE_SIGN_NO_TIMESTAMP=1
#       says explicitly that the signature has no timestamp (any other
#       value of it stops the release).
#   SOURCE_DATE_EPOCH
#       the signing time, so that an untimestamped signature is reproducible.
# Any failure stops the release and leaves no SIGNED file.
set -eu
unsigned=$1
signed=$2

fail() {
	echo "sign-release.sh: $*" >&2
	echo "sign-release.sh: tolvane.exe is not signed; the release stops here." >&2
	exit 1
}

rm -f "$signed"
mkdir -p "$(dirname "$signed")"

key=${TOLVANE_SIGN_KEY:-}
cert=${TOLVANE_SIGN_CERT:-}
pkcs12=${TOLVANE_SIGN_PKCS12:-}
if [ -z "$key$cert$pkcs12" ]; then
	fail "no signing key: set TOLVANE_SIGN_KEY (a pkcs11: URI, with TOLVANE_SIGN_PKCS11_MODULE) and" \
		"TOLVANE_SIGN_CERT, or TOLVANE_SIGN_PKCS12.  An unsigned package is the package-unsigned preset's."
elif [ -n "$pkcs12" ]; then
	[ -z "$key$cert" ] || fail "give TOLVANE_SIGN_PKCS12 or TOLVANE_SIGN_KEY with TOLVANE_SIGN_CERT, not both"
	[ -r "$pkcs12" ] || fail "cannot read the PKCS#12 file $pkcs12"
	set -- -pkcs12 "$pkcs12"
else
	[ -n "$key" ] && [ -n "$cert" ] || fail "TOLVANE_SIGN_KEY and TOLVANE_SIGN_CERT go together"
	[ -r "$cert" ] || fail "cannot read the certificate chain $cert"
	case $key in
	pkcs11:*)
		module=${TOLVANE_SIGN_PKCS11_MODULE:-}
		[ -n "$module" ] || fail "a pkcs11: key needs TOLVANE_SIGN_PKCS11_MODULE, the token's PKCS#11 module"
		[ -r "$module" ] || fail "cannot read the PKCS#11 module $module"
		set -- -pkcs11module "$module" -certs "$cert" -key "$key"
		;;
	*)
		[ -r "$key" ] || fail "cannot read the key $key"
		set -- -certs "$cert" -key "$key"
		;;
	esac
fi

case ${TOLVANE_SIGN_NO_TIMESTAMP:-} in
"" | 1) ;;
*) fail "TOLVANE_SIGN_NO_TIMESTAMP is 1 or unset, not '$TOLVANE_SIGN_NO_TIMESTAMP'" ;;
esac
if [ -n "${TOLVANE_SIGN_TIMESTAMP_URL:-}" ]; then
	[ "${TOLVANE_SIGN_NO_TIMESTAMP:-}" != 1 ] ||
		fail "give TOLVANE_SIGN_TIMESTAMP_URL or TOLVANE_SIGN_NO_TIMESTAMP=1, not both"
	set -- "$@" -ts "$TOLVANE_SIGN_TIMESTAMP_URL"
elif [ "${TOLVANE_SIGN_NO_TIMESTAMP:-}" != 1 ]; then
	fail "no timestamp server: without a timestamp the signature stops verifying the day its" \
		"certificate expires.  Set TOLVANE_SIGN_TIMESTAMP_URL, or TOLVANE_SIGN_NO_TIMESTAMP=1 for a test certificate."
fi
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
	set -- "$@" -time "$SOURCE_DATE_EPOCH"
fi

# The PIN or password goes through a pipe: never on a command line or on disk.
if [ -n "${TOLVANE_SIGN_PASSWORD:-}" ]; then
	set -- "$@" -readpass /dev/stdin
fi
if ! printf '%s' "${TOLVANE_SIGN_PASSWORD:-}" |
	osslsigncode sign "$@" -h sha256 -n tolvane.exe -in "$unsigned" -out "$signed" >/dev/null; then
	rm -f "$signed"
	fail "osslsigncode could not sign (see its messages above): a wrong PIN or password, a key or" \
		"certificate that is not there, or a timestamp server that did not answer properly"
fi
echo "tolvane.exe signed (Authenticode, SHA-256$([ -n "${TOLVANE_SIGN_TIMESTAMP_URL:-}" ] && echo ", timestamped"))"
