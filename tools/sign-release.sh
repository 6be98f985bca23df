#!/bin/sh
# sign-release.sh UNSIGNED SIGNED
#
# Signs one program of the release (Authenticode, SHA-256) with the
# publisher's key, verifies the signature, its certificate chain and its
# timestamp, and only then gives the file the name SIGNED.  The key comes
# from the environment, never from the repository:
#   TOLVANE_SIGN_KEY and TOLVANE_SIGN_CERT
#       the key and its PEM certificate chain.  The key is a PKCS#11 URI
#       (pkcs11:...) of a key in a hardware token or HSM, which then needs
#       TOLVANE_SIGN_PKCS11_MODULE, the token's PKCS#11 module; or, for test
#       certificates, a PEM key file.  A URI that holds the PIN (pin-value,
#       pin-source) is refused: it would be on a command line.
#   TOLVANE_SIGN_PKCS12
#       instead, for test certificates: a PKCS#12 file with key and chain.
#   TOLVANE_SIGN_PASSWORD_FILE
#       a file that only its owner can read, whose first line is the token's
#       PIN or the password of the key or PKCS#12 file.
#   TOLVANE_SIGN_PASSWORD
#       instead, for CI systems that hand secrets as environment variables:
#       the PIN itself, which every process of the build can then read.
#   TOLVANE_SIGN_CAFILE
#       the root certificate that the signature's chain must end in.
#   TOLVANE_SIGN_TIMESTAMP_URL and TOLVANE_SIGN_TSA_CAFILE
#       an RFC 3161 timestamp server, and the root certificate of its chain:
#       the signature then stays valid after the certificate expires.
#       Required, unless TOLVANE_SIGN_NO_TIMESTAMP=1 says explicitly that
#       the signature has no timestamp (any other value of it stops the
#       release).
#   TOLVANE_OSSLSIGNCODE
#       the osslsigncode to run; the one on PATH without it.
#   SOURCE_DATE_EPOCH
#       the signing time, so that an untimestamped signature is reproducible.
# Any failure, or an end by a signal, stops the release and leaves no SIGNED
# file: the signature is made under another name.
set -eu
unsigned=$1
signed=$2
name=$(basename "$signed")
osslsigncode=${TOLVANE_OSSLSIGNCODE:-osslsigncode}

fail() {
	echo "sign-release.sh: $*" >&2
	echo "sign-release.sh: $name is not signed; the release stops here." >&2
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
		# RFC 7512 attributes are case-insensitive, and may be percent-encoded.
		case $(printf '%s' "$key" | tr 'A-Z' 'a-z' | sed 's/%2d/-/g') in
		*pin-value* | *pin-source*)
			fail "TOLVANE_SIGN_KEY holds the PIN (pin-value or pin-source), which would be on osslsigncode's" \
				"command line for every user of this machine to read: give it in TOLVANE_SIGN_PASSWORD_FILE"
			;;
		esac
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

ca=${TOLVANE_SIGN_CAFILE:-}
[ -n "$ca" ] || fail "no TOLVANE_SIGN_CAFILE: the root certificate that the signature must chain to"
[ -r "$ca" ] || fail "cannot read the root certificate $ca"
case ${TOLVANE_SIGN_NO_TIMESTAMP:-} in
"" | 1) ;;
*) fail "TOLVANE_SIGN_NO_TIMESTAMP is 1 or unset, not '$TOLVANE_SIGN_NO_TIMESTAMP'" ;;
esac
set -- "$@" -h sha256 -n "$name"
if [ -n "${TOLVANE_SIGN_TIMESTAMP_URL:-}" ]; then
	[ "${TOLVANE_SIGN_NO_TIMESTAMP:-}" != 1 ] ||
		fail "give TOLVANE_SIGN_TIMESTAMP_URL or TOLVANE_SIGN_NO_TIMESTAMP=1, not both"
	tsa_ca=${TOLVANE_SIGN_TSA_CAFILE:-}
	[ -n "$tsa_ca" ] || fail "a timestamp needs TOLVANE_SIGN_TSA_CAFILE, the root certificate of the timestamp" \
		"authority's chain, to be verified"
	[ -r "$tsa_ca" ] || fail "cannot read the timestamp authority's root certificate $tsa_ca"
	set -- "$@" -ts "$TOLVANE_SIGN_TIMESTAMP_URL"
elif [ "${TOLVANE_SIGN_NO_TIMESTAMP:-}" != 1 ]; then
	fail "no timestamp server: without a timestamp the signature stops verifying the day its" \
		"certificate expires.  Set TOLVANE_SIGN_TIMESTAMP_URL, or TOLVANE_SIGN_NO_TIMESTAMP=1 for a test certificate."
fi
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
	set -- "$@" -time "$SOURCE_DATE_EPOCH"
fi

# The PIN or password goes to osslsigncode through a pipe: never on a command
# line or in the environment of another process.
password_file=${TOLVANE_SIGN_PASSWORD_FILE:-}
password=${TOLVANE_SIGN_PASSWORD:-}
if [ -n "$password_file" ]; then
	[ -z "$password" ] || fail "give TOLVANE_SIGN_PASSWORD_FILE or TOLVANE_SIGN_PASSWORD, not both"
	[ -f "$password_file" ] && [ -r "$password_file" ] || fail "cannot read the password file $password_file"
	[ -O "$password_file" ] || fail "the password file $password_file belongs to another user"
	case $(stat -c %a "$password_file") in
	*00) ;;
	*) fail "the password file $password_file can be read by others than its owner: chmod 600 it" ;;
	esac
	IFS= read -r password <"$password_file" || [ -n "$password" ] || fail "the password file $password_file is empty"
fi
if [ -n "$password" ]; then
	set -- "$@" -readpass /dev/stdin
fi

# Signed under another name until it verifies: a signing cut short leaves
# nothing under the release's name.
signing="$signed.signing"
trap 'rm -f "$signing"' EXIT
trap 'exit 1' HUP INT TERM
if ! printf '%s' "$password" | "$osslsigncode" sign "$@" -in "$unsigned" -out "$signing" >/dev/null; then
	fail "osslsigncode could not sign (see its messages above): a wrong PIN or password, a key or" \
		"certificate that is not there, or a timestamp server that did not answer properly"
fi
# The chain must end in the publisher's root, and a timestamp must be for
# this signature and end in its authority's root.  osslsigncode reports a
# timestamp that fails so, yet exits with 0 while the certificate is valid
# today, the very case the timestamp is for: its report must say that the
# timestamp verified.
verify() {
	if [ -n "${TOLVANE_SIGN_TIMESTAMP_URL:-}" ]; then
		set -- -TSA-CAfile "$tsa_ca" -in "$1"
	else
		set -- -in "$1"
	fi
	"$osslsigncode" verify -CAfile "$ca" "$@" 2>&1
}
says() {
	printf '%s\n' "$verified" | grep -q "$1"
}
if ! verified=$(verify "$signing") ||
	{ [ -n "${TOLVANE_SIGN_TIMESTAMP_URL:-}" ] && ! says "^Timestamp Server Signature verification: ok"; }; then
	printf '%s\n' "$verified" >&2
	fail "the signature does not verify (see above): a certificate chain that does not end in" \
		"TOLVANE_SIGN_CAFILE, or a timestamp for other data or from an authority whose chain does not end" \
		"in TOLVANE_SIGN_TSA_CAFILE"
fi
mv "$signing" "$signed"
echo "$name signed (Authenticode, SHA-256$([ -n "${TOLVANE_SIGN_TIMESTAMP_URL:-}" ] && echo ", timestamped")), verified"
