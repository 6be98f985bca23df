#!/bin/sh
# Builds from scratch and runs every test: Linux, Linux with sanitizers, and
# the Windows image under Wine.  Exits non-zero when any test fails.
set -eu
cd "$(dirname "$0")/.."
for preset in native native-sanitize windows; do
	echo "=== $preset"
	cmake --workflow --preset "$preset" --fresh
done
