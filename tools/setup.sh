#!/bin/sh
# Installs what building, testing and releasing tolvane need, on Debian 12.
# Run as root (or through sudo).
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
	cmake ninja-build gcc g++ binutils python3 python3-pytest valgrind \
	g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 python3-pefile \
	osslsigncode openssl
