#!/usr/bin/env bash
# `ecalias alias plan --apply` on a line of 100 slaves against one slave's `alias set`,
# over libpcap on a veth pair against ecsim (busy-polling, EEPROMs that take 250 us per
# read and 5 ms per write: --busy-poll --eeprom-latency 250:5000). Each run backs up the
# slave's image, writes word 4 and word 7 and reads words 0-7 back; the plan also checks
# every row first. The plan works on every slave at once (checks, backups, then the
# aliases) and flushes its backups to disk together: the target is a ratio plan/single of
# at most 2. Runs alternate between two sets of aliases, so every run writes. Whole
# program runs (open and scan included), median of ROUNDS; a `list` of the line shows the
# scan's share.
#
#   bench/bench_alias_plan.sh [SLAVES] [ROUNDS]     (EC_BUILD_DIR: default build/)
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
SLAVES=${1:-100}
ROUNDS=${2:-3}
TARGET=2
SEGMENT="--busy-poll --eeprom-latency 250:5000"

ec_netns_up
mkdir -p "$EC_WORK/backups"
for base in 1000 2000; do
  {
    echo "position,alias"
    for ((n = 1; n <= SLAVES; n++)); do echo "$n,$((base + n))"; done
  } >"$EC_WORK/plan-$base.csv"
done

now_us() { date +%s%6N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Microseconds of one run of ecalias with the given words; the run must succeed.
timed() {
  local start end
  start=$(now_us)
  ec_in_master "$E" -i "$EC_IF_MASTER" "$@" </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err" ||
    { cat "$EC_WORK/out" "$EC_WORK/err" >&2; ec_fail "ecalias $* failed"; }
  end=$(now_us)
  echo $((end - start))
}

single=() plan=() scan=()
# shellcheck disable=SC2086
ec_start_ecsim --slaves 1 $SEGMENT
for ((r = 1; r <= ROUNDS; r++)); do
  single+=("$(timed alias set -p 1 $((r % 2 == 1 ? 1001 : 2001)) --yes --backup-dir "$EC_WORK/backups")")
done
ec_stop_ecsim
# shellcheck disable=SC2086
ec_start_ecsim --slaves "$SLAVES" $SEGMENT
for ((r = 1; r <= ROUNDS; r++)); do
  scan+=("$(timed list)")
  plan+=("$(timed alias plan "$EC_WORK/plan-$((r % 2 == 1 ? 1000 : 2000)).csv" --apply --yes \
    --backup-dir "$EC_WORK/backups")")
  [ "$(grep -c ' verified$' "$EC_WORK/out")" -eq "$SLAVES" ] || ec_fail "not every row verified: $(cat "$EC_WORK/out")"
  rm -f "$EC_WORK"/backups/slave*.bin
done
ec_stop_ecsim
single_ms=$(printf '%s\n' "${single[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')
scan_ms=$(printf '%s\n' "${scan[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')
plan_ms=$(printf '%s\n' "${plan[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')
echo "alias plan --apply on $SLAVES slaves vs one slave's alias set; over veth, ecsim $SEGMENT;"
echo "median of $ROUNDS runs, whole program runs (scan included)"
printf '%-34s %10s\n' "run" "time(ms)"
printf '%-34s %10s\n' "alias set, 1 slave" "$single_ms"
printf '%-34s %10s\n' "list, $SLAVES slaves (the scan alone)" "$scan_ms"
printf '%-34s %10s\n' "alias plan --apply, $SLAVES slaves" "$plan_ms"
awk -v p="$plan_ms" -v s="$single_ms" -v n="$SLAVES" -v t="$TARGET" \
  'BEGIN { printf "ratio plan/single: %.1f (%.2f per slave; target at most %d: %s)\n", p / s, p / s / n, t,
          (p / s <= t ? "met" : "NOT met") }'
