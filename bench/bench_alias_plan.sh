#!/usr/bin/env bash
# `ecalias alias plan --apply` on a line of 100 slaves against one slave's `alias set`,
# both on in-process segments whose EEPROMs take 250 us per read and 5 ms per write (a
# typical I2C EEPROM behind an ESC). Each run backs up the slave's image, writes word 4
# and word 7 and reads words 0-7 back; the plan also checks every row first. The figure
# is the ratio of the plan's time to the single slave's, both measured in this run. The
# plan works on every slave at once (checks, backups, then the aliases) and flushes its
# backups to disk together: the target is a ratio of at most 2.
#
#   bench/bench_alias_plan.sh [SLAVES] [ROUNDS]     (EC_BUILD_DIR: default build/)
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
SLAVES=${1:-100}
ROUNDS=${2:-3}
WORK=$(mktemp -d /tmp/ecalias-bench-plan.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
LATENCY="--eeprom-latency 250:5000"

{
  echo "position,alias"
  for ((n = 1; n <= SLAVES; n++)); do echo "$n,$((1000 + n))"; done
} >"$WORK/plan.csv"

now_us() { date +%s%6N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# One run each round on fresh segments (every run starts from aliases 0).
single=() plan=() scan=()
for ((r = 1; r <= ROUNDS; r++)); do
  t0=$(now_us)
  "$E" -i "sim:--slaves 1 $LATENCY" alias set -p 1 1001 --yes --backup-dir "$WORK" >/dev/null 2>"$WORK/err" ||
    { cat "$WORK/err"; ec_fail "alias set failed"; }
  t1=$(now_us)
  "$E" -i "sim:--slaves $SLAVES $LATENCY" list >/dev/null 2>"$WORK/err" || { cat "$WORK/err"; ec_fail "list failed"; }
  t2=$(now_us)
  "$E" -i "sim:--slaves $SLAVES $LATENCY" alias plan "$WORK/plan.csv" --apply --yes --backup-dir "$WORK" \
    >"$WORK/out" 2>"$WORK/err" || { cat "$WORK/out" "$WORK/err"; ec_fail "alias plan failed"; }
  t3=$(now_us)
  [ "$(grep -c ' verified$' "$WORK/out")" -eq "$SLAVES" ] || ec_fail "not every row verified"
  rm -f "$WORK"/slave*.bin
  single+=($((t1 - t0)))
  scan+=($((t2 - t1)))
  plan+=($((t3 - t2)))
done
single_ms=$(printf '%s\n' "${single[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')
scan_ms=$(printf '%s\n' "${scan[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')
plan_ms=$(printf '%s\n' "${plan[@]}" | median | awk '{ printf "%.1f", $1 / 1000 }')
echo "alias plan --apply on $SLAVES slaves vs one slave's alias set; in-process segments, EEPROM 250 us/read,"
echo "5 ms/write; median of $ROUNDS runs, whole program runs (scan included)"
printf '%-34s %10s\n' "run" "time(ms)"
printf '%-34s %10s\n' "alias set, 1 slave" "$single_ms"
printf '%-34s %10s\n' "list, $SLAVES slaves (the scan alone)" "$scan_ms"
printf '%-34s %10s\n' "alias plan --apply, $SLAVES slaves" "$plan_ms"
awk -v p="$plan_ms" -v s="$single_ms" -v n="$SLAVES" \
  'BEGIN { printf "ratio plan/single: %.1f (%.2f per slave; target at most 2: %s)\n", p / s, p / s / n,
          (p / s <= 2 ? "met" : "NOT met") }'
