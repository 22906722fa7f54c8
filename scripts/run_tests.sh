#!/usr/bin/env bash
# The whole suite: every test on the normal build, every test again on a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency unit tests on a build
# with ThreadSanitizer, and a short run of each fuzz target.
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

run_ctest() {  # build-dir label [ctest options...]
  local dir=$1 label=$2 log=$LOGS/$2.log
  shift 2
  echo "== $label tests ($dir)"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@" 2>&1) | tee "$log"
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

# 3. The concurrency unit tests (threads calling the host functions at once, Init racing
# Init and Deinit) on a build with ThreadSanitizer: only their target and what it links
# are built. Any report ends the test program and fails its case.
echo "== building the concurrency tests with ThreadSanitizer"
tsan_started=$(date +%s)
if cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DEC_WERROR=ON -DCMAKE_CXX_FLAGS=-fsanitize=thread \
     -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
     -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null &&
   cmake --build build-tsan -j "$JOBS" --target test_concurrency >"$LOGS/tsan-build.log" 2>&1; then
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    run_ctest build-tsan threads -R '^(Concurrency|ConcurrentInit|Wire/ConcurrencyUnderFaults)[.]'
  echo "(ThreadSanitizer stage: $(($(date +%s) - tsan_started)) s)"
else
  tail -40 "$LOGS/tsan-build.log"
  echo "ThreadSanitizer build failed" >&2
  failed=$((failed + 1))
fi

# 4. Each fuzz target for a short, bounded time; findings fail the run.
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
