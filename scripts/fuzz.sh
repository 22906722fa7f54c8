#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs them.
#
#   scripts/fuzz.sh [short|long|regress|seeds]
#     short    every target for FUZZ_SECONDS (default 10) seconds; the test suite's run
#     long     every target for FUZZ_SECONDS (default 300) seconds; `make fuzz`
#     regress  only replays the kept findings in fuzz/regressions/<target>/
#     seeds    rewrites fuzz/corpus/ with the seed generator (fuzz/make_seeds.cpp)
#
# Before fuzzing a target, every file of fuzz/regressions/<target>/ is replayed and must
# not crash. Each target then fuzzes a copy of fuzz/corpus/<target>/ in a temporary
# folder (the repository is never written during a run). A finding (crash, sanitizer
# report, violated property, hang of 10 s, or memory above 2048 MB) is printed with its
# path and base64, left in the temporary folder's findings/<target>/, and the script
# exits 1 once every target has run.
#
# Environment: FUZZ_SECONDS, FUZZ_TARGETS (names, space-separated; default all),
# FUZZ_JOBS (targets fuzzed at once; default the number of cores), FUZZ_BUILD_DIR
# (default build-fuzz), FUZZ_KEEP=1 keeps the temporary folder also without findings.
set -uo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR=$(pwd)

mode=${1:-short}
case "$mode" in
  short) seconds=${FUZZ_SECONDS:-10} ;;
  long) seconds=${FUZZ_SECONDS:-300} ;;
  regress | seeds) seconds=0 ;;
  *)
    echo "usage: scripts/fuzz.sh [short|long|regress|seeds]" >&2
    exit 2
    ;;
esac
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
JOBS=${FUZZ_JOBS:-$(nproc)}
TIMEOUT_S=10
RSS_LIMIT_MB=2048

fail_setup() {
  echo "fuzz: $*" >&2
  exit 1
}

# --- the compiler and libFuzzer's runtime --------------------------------------------
command -v clang >/dev/null && command -v clang++ >/dev/null ||
  fail_setup "clang and clang++ are needed (Debian: apt-get install clang libclang-rt-14-dev, or run scripts/setup.sh)"
probe_dir=$(mktemp -d /tmp/ecalias-fuzz-probe.XXXXXX)
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe_dir/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" \
  >"$probe_dir/log" 2>&1; then
  cat "$probe_dir/log" >&2
  rm -rf "$probe_dir"
  fail_setup "clang cannot link a libFuzzer program: libFuzzer's runtime is missing (Debian: apt-get install libclang-rt-14-dev)"
fi
rm -rf "$probe_dir"

# --- build --------------------------------------------------------------------------
mapfile -t all_targets < <(for f in fuzz/fuzz_*.cpp; do basename "$f" .cpp; done)
[ ${#all_targets[@]} -gt 0 ] || fail_setup "no fuzz targets in fuzz/"
if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
  for t in "${targets[@]}"; do
    [ -f "fuzz/$t.cpp" ] || fail_setup "no such target: $t (have: ${all_targets[*]})"
  done
else
  targets=("${all_targets[@]}")
fi
build_targets=("${targets[@]}")
[ "$mode" = seeds ] && build_targets=(make_seeds)

WORK=$(mktemp -d /tmp/ecalias-fuzz.XXXXXX)
echo "== fuzz: building ${build_targets[*]} in $BUILD_DIR (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
if ! cmake -S . -B "$BUILD_DIR" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DEC_FUZZ=ON \
  -DEC_TESTS=OFF -DEC_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$WORK/configure.log" 2>&1; then
  tail -30 "$WORK/configure.log" >&2
  rm -rf "$WORK"
  fail_setup "configuring $BUILD_DIR failed"
fi
if ! cmake --build "$BUILD_DIR" -j "$JOBS" --target "${build_targets[@]}" >"$WORK/build.log" 2>&1; then
  grep -E "error|Error" "$WORK/build.log" | head -30 >&2
  rm -rf "$WORK"
  fail_setup "building the fuzz targets failed (full log: cmake --build $BUILD_DIR --target ${build_targets[*]})"
fi

# --- seeds ----------------------------------------------------------------------------
if [ "$mode" = seeds ]; then
  "$BUILD_DIR/fuzz/make_seeds" "$WORK/seeds" || {
    rm -rf "$WORK"
    fail_setup "the seed generator failed"
  }
  for dir in "$WORK"/seeds/*/; do
    t=$(basename "$dir")
    rm -rf "fuzz/corpus/$t"
    mkdir -p "fuzz/corpus/$t"
    cp "$dir"* "fuzz/corpus/$t/"
    echo "fuzz: fuzz/corpus/$t: $(ls "fuzz/corpus/$t" | wc -l) seeds, $(du -sk "fuzz/corpus/$t" | cut -f1) KB"
  done
  rm -rf "$WORK"
  exit 0
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
mkdir -p "$WORK/logs" "$WORK/findings" "$WORK/corpus"
status=0

# --- kept findings must stay fixed ----------------------------------------------------
for t in "${targets[@]}"; do
  dir=fuzz/regressions/$t
  [ -d "$dir" ] || continue
  mapfile -t files < <(find "$dir" -type f | sort)
  [ ${#files[@]} -gt 0 ] || continue
  # The subshell keeps bash's own note of a crashed child ("Aborted") in the log.
  if ("$BUILD_DIR/fuzz/$t" -timeout=$TIMEOUT_S -rss_limit_mb=$RSS_LIMIT_MB "${files[@]}"
    exit $?) >"$WORK/logs/$t.regress.log" 2>&1; then
    echo "fuzz: $t: ${#files[@]} kept findings replayed, none crashes"
  else
    echo "fuzz: $t: a kept finding crashes again:" >&2
    grep -E "Running:|property violated|ERROR: |SUMMARY: " "$WORK/logs/$t.regress.log" | tail -8 >&2
    status=1
  fi
done
if [ "$mode" = regress ]; then
  [ "$status" -eq 0 ] && rm -rf "$WORK" || echo "fuzz: logs in $WORK/logs" >&2
  exit "$status"
fi

# --- fuzzing ----------------------------------------------------------------------------
run_target() {
  local t=$1
  mkdir -p "$WORK/corpus/$t" "$WORK/findings/$t"
  [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$WORK/corpus/$t/"
  ("$BUILD_DIR/fuzz/$t" -max_total_time="$seconds" -timeout=$TIMEOUT_S -rss_limit_mb=$RSS_LIMIT_MB \
    -print_final_stats=1 -artifact_prefix="$WORK/findings/$t/" "$WORK/corpus/$t"
    exit $?) >"$WORK/logs/$t.log" 2>&1
  echo $? >"$WORK/logs/$t.rc"
}

echo "== fuzz: ${#targets[@]} targets, ${seconds} s each, $JOBS at a time (work folder $WORK)"
running=0
for t in "${targets[@]}"; do
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

stat_of() {  # log key
  grep -E "^stat::$2:" "$1" | tail -1 | awk '{print $2}'
}

printf '\n%-22s %8s %10s %8s %6s %7s %7s  %s\n' target seconds runs exec/s cov ft corpus result
for t in "${targets[@]}"; do
  log=$WORK/logs/$t.log
  rc=$(cat "$WORK/logs/$t.rc" 2>/dev/null || echo 1)
  runs=$(stat_of "$log" number_of_executed_units)
  speed=$(stat_of "$log" average_exec_per_sec)
  last=$(grep -E "^#[0-9]+" "$log" | tail -1)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  corp=$(sed -nE 's/.* corp: ([0-9]+).*/\1/p' <<<"$last")
  mapfile -t found < <(find "$WORK/findings/$t" -type f 2>/dev/null | sort)
  result=ok
  if [ "$rc" -ne 0 ] || [ ${#found[@]} -gt 0 ]; then
    result="FINDING (exit $rc)"
    status=1
  fi
  printf '%-22s %8s %10s %8s %6s %7s %7s  %s\n' "$t" "$seconds" "${runs:--}" "${speed:--}" "${cov:--}" \
    "${ft:--}" "${corp:--}" "$result"
done

for t in "${targets[@]}"; do
  mapfile -t found < <(find "$WORK/findings/$t" -type f 2>/dev/null | sort)
  rc=$(cat "$WORK/logs/$t.rc" 2>/dev/null || echo 1)
  [ "$rc" -ne 0 ] || [ ${#found[@]} -gt 0 ] || continue
  echo
  echo "== finding in $t (log: $WORK/logs/$t.log)"
  grep -E "property violated|ERROR: |SUMMARY: |Test unit written" "$WORK/logs/$t.log" | head -8
  for f in "${found[@]}"; do
    echo "input: $f ($(stat -c %s "$f") bytes)"
    echo "base64: $(base64 -w0 "$f")"
  done
  echo "replay: $BUILD_DIR/fuzz/$t <input>    keep it: copy it to fuzz/regressions/$t/"
done

if [ "$status" -eq 0 ] && [ "${FUZZ_KEEP:-0}" != 1 ]; then
  rm -rf "$WORK"
else
  echo
  echo "fuzz: work folder kept: $WORK"
fi
exit "$status"
