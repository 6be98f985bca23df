#!/bin/sh
# Builds from scratch and runs every test: Linux, Linux with sanitizers, the
# Windows image under Wine (signing and release tests among them), and the
# unsigned package.  Exits non-zero when any test fails.
set -eu
cd "$(dirname "$0")/.."
for preset in native native-sanitize windows package-unsigned; do
	echo "=== $preset"
	cmake --workflow --preset "$preset" --fresh
done
