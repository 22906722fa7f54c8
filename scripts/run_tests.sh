#!/usr/bin/env bash
# The whole suite: every test on the normal build, every test again on a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency unit tests on a build
# with ThreadSanitizer, a short run of each fuzz target, and the Python package's tests.
# Prints one closing line "tests: N passed, N failed" and exits non-zero on any failure
# or sanitizer report.
set -uo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-10}
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
  # The threads probe runs every row here too, each for less time than in the normal
  # stage (its 40 s there are about counts of calls; here each path's memory use counts).
  STRESS_SECONDS=${SANITIZED_STRESS_SECONDS:-2} HOST_SECONDS=${SANITIZED_HOST_SECONDS:-4} \
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

# 5. The Python package as a user installs it: pip builds it into a fresh virtual
# environment (Debian's interpreter and packages; the library comes from the normal
# build), so a file missing from the package shows; then its tests and the example's.
echo "== Python package (pip install into a fresh virtual environment, pytest)"
python_log=$LOGS/python.log
if /usr/bin/python3 -m venv --system-site-packages "$LOGS/venv" >"$python_log" 2>&1 &&
   ECALIAS_CMAKE_BUILD_DIR=build ECALIAS_BUILD_JOBS=$JOBS \
     "$LOGS/venv/bin/pip" install --no-build-isolation --no-index --no-cache-dir -q . >>"$python_log" 2>&1; then
  (cd "$LOGS" && "$LOGS/venv/bin/python" -m pytest -q -rs -p no:cacheprovider \
     "$OLDPWD/tests/python" "$OLDPWD/python/examples" 2>&1) | tee -a "$python_log"
  summary=$(grep -E "^=* ?[0-9]+ (passed|failed|skipped|errors?)" "$python_log" | tail -1)
  py_count() { grep -oE "[0-9]+ $1" <<<"$summary" | head -1 | grep -oE "^[0-9]+" || echo 0; }
  py_passed=$(py_count passed)
  py_failed=$(($(py_count failed) + $(py_count "errors?")))
  py_skipped=$(py_count skipped)
  if [ -z "$summary" ]; then
    echo "python: pytest gave no summary" >&2
    py_failed=1
  fi
  passed=$((passed + py_passed))
  failed=$((failed + py_failed))
  skipped=$((skipped + py_skipped))
else
  tail -40 "$python_log"
  echo "the Python package did not install" >&2
  failed=$((failed + 1))
fi

echo
echo "tests: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
