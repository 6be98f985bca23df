#!/bin/sh
# Builds from scratch and runs every test: Linux, Linux with sanitizers, the
# Windows image under Wine, and the release package (unsigned unless a
# certificate is configured).  Exits non-zero when any test fails.
set -eu
cd "$(dirname "$0")/.."
for preset in native native-sanitize windows release; do
	echo "=== $preset"
	cmake --workflow --preset "$preset" --fresh
done
