#!/usr/bin/env bash
# The whole suite: every test on the normal build, every test again on a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, and a short run of each fuzz target.
# Prints one closing line "tests: N passed, N failed" and exits non-zero on any failure
# or sanitizer report.
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-15}
LOGS=$(mktemp -d /tmp/ecalias-tests.XXXXXX)
trap 'rm -rf "$LOGS"' EXIT
passed=0
failed=0
skipped=0

run_ctest() {  # build-dir label
  local dir=$1 label=$2 log=$LOGS/$2.log
  echo "== $label tests ($dir)"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" 2>&1) | tee "$log"
  local line total fail_count skip_count
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -1)
  if [ -z "$line" ]; then
    echo "$label: ctest gave no summary" >&2
    failed=$((failed + 1))
    return
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  fail_count=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  skip_count=$(grep -c -E "\*\*\*Skipped|Not Run.*Disabled" "$log" || true)
  passed=$((passed + total - fail_count - skip_count))
  failed=$((failed + fail_count))
  skipped=$((skipped + skip_count))
}

# 1. The normal build (made by `make build` before this script).
run_ctest build normal

# 2. Everything again under the sanitizers.
echo "== building with AddressSanitizer and UndefinedBehaviorSanitizer"
if cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DEC_SANITIZE=ON -DEC_WERROR=ON >/dev/null &&
   cmake --build build-asan -j "$JOBS" >"$LOGS/asan-build.log" 2>&1; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:halt_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
  run_ctest build-asan sanitized
else
  tail -40 "$LOGS/asan-build.log"
  echo "sanitized build failed" >&2
  failed=$((failed + 1))
fi

# 3. Each fuzz target for a short, bounded time; findings fail the run.
if [ -f fuzz/CMakeLists.txt ]; then
  if FUZZ_SECONDS=$FUZZ_SECONDS bash scripts/fuzz.sh short; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
fi

echo
echo "tests: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
