#!/bin/sh
# Installs what building, testing and releasing tolvane need, on Debian 12:
# Debian packages only, nothing else is downloaded.  Run it as root, or as a
# user who may use sudo.
set -eu
if [ "$(id -u)" -eq 0 ]; then
	as_root=
elif command -v sudo >/dev/null 2>&1; then
	as_root=sudo
else
	echo "setup.sh: installing Debian packages needs root: run it as root or install sudo" >&2
	exit 1
fi
# osslsigncode signs the release, and the release's build information names
# its version: Debian 12's own (2.5), which a machine with Debian 12's
# sources alone gets, and no later one that some other source put there.
$as_root apt-get update
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends --allow-downgrades \
	cmake ninja-build gcc g++ binutils python3 python3-pytest valgrind git \
	clang-16 lld-16 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 python3-pefile python3-asn1crypto \
	osslsigncode/bookworm openssl sbsigntool softhsm2 libengine-pkcs11-openssl opensc
