#!/usr/bin/env bash
# Runs the whole suite: every test on the normal build.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
JOBS=${JOBS:-$(nproc)}
status=0
echo "== tests (build: $BUILD)"
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS") || status=1
exit $status
