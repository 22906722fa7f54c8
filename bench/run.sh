#!/usr/bin/env bash
# Runs every benchmark script bench/bench_*.sh in turn, then the fault matrix, each in
# network namespaces of its own (made and torn down by the script). Set EC_BUILD_DIR to
# use another build.
set -uo pipefail
EC_SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
export EC_SOURCE_DIR
export EC_BUILD_DIR=${EC_BUILD_DIR:-$EC_SOURCE_DIR/build}
failed=0
for script in "$EC_SOURCE_DIR"/bench/bench_*.sh "$EC_SOURCE_DIR"/bench/fault_matrix.sh; do
  [ -e "$script" ] || continue
  echo "== $(basename "$script")"
  bash "$script"
  rc=$?
  if [ "$rc" -eq 77 ]; then
    echo "(skipped)"
  elif [ "$rc" -ne 0 ]; then
    echo "$(basename "$script") failed with exit code $rc"
    failed=1
  fi
  echo
done
exit $failed
