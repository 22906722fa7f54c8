#!/usr/bin/env bash
# Scan of 1, 10, 100 and 199 slaves over veth against ecsim (busy-polling, EEPROMs with
# 250 us reads and 5 ms writes), with and without the wire's own costs (--wire-timing):
# the new API's scan and the legacy Init, frames and round trips beside the times,
# ratios against the 1-slave scan of the same run. With wire timing, each scan is also
# set against its model, computed from what the run did: for every round trip the
# serialisation of its frames at 100 Mbit/s (at least 84 byte times each) and the
# forwarding delay of every slave, plus the longest chain of one slave's EEPROM
# commands at their latencies; the 199-slave scans are to stay within 1.5x of it. Then
# the SII engine on 100 slaves: a 2 KiB read of every EEPROM against one slave's, and an alias-style write (words 0-7
# read, 4 and 7 written, 0-7 read back) on every slave against one slave's.
# Runs in network namespaces made for it.
#
#   bench/bench_scan.sh [RUNS]     (EC_BUILD_DIR: default build/)
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
BENCH=$EC_BUILD_DIR/bench/scan_bench
[ -x "$BENCH" ] || ec_fail "scan_bench is not built in $EC_BUILD_DIR"
RUNS=${1:-5}
SCAN_TARGET=3
SII_TARGET=2
MODEL_TARGET=1.5
# The segment's costs as ecsim models them (forwarding per slave with --wire-timing,
# EEPROM read and write latencies): scan_bench computes from them what each run should
# have cost on such a wire.
FORWARD_NS=1000
EEPROM_LATENCY=250:5000

source "$EC_SOURCE_DIR/bench/cpu_pinning.sh"

ec_netns_up
out=
get() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$out" | head -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
within() { awk -v r="$1" -v t="$2" 'BEGIN { exit !(r <= t) }'; }
failed=0

echo "Scan over veth, ecsim --busy-poll --eeprom-latency $EEPROM_LATENCY ($pin_note), best of $RUNS"
echo "(model: round trips x wire time + the longest chain of one slave's EEPROM commands; wire timing only)"
printf '%-14s %6s | %9s %6s %6s %6s %8s %6s | %9s %6s %6s %6s %8s %6s\n' "wire" "slaves" "API ms" "x1" "frames" \
  "rtrips" "model ms" "/model" "Init ms" "x1" "frames" "rtrips" "model ms" "/model"
for timing in "" "--wire-timing"; do
  api_one=
  legacy_one=
  if [ -n "$timing" ]; then model="$FORWARD_NS:$EEPROM_LATENCY"; else model="0:$EEPROM_LATENCY"; fi
  for slaves in 1 10 100 199; do
    ec_start_ecsim --slaves "$slaves" --busy-poll --eeprom-latency "$EEPROM_LATENCY" --cpu "$segment_cpu" \
      ${timing:+--wire-timing=$FORWARD_NS}
    out=$(ec_in_master taskset -c "$master_cpu" "$BENCH" "$EC_IF_MASTER" "$slaves" "$RUNS" scan "$model" 2>&1)
    rc=$?
    ec_stop_ecsim
    if [ "$rc" -ne 0 ]; then
      echo "$out"
      echo "scan of $slaves slaves failed (exit $rc)"
      failed=1
      continue
    fi
    api=$(get api_ms)
    legacy=$(get legacy_ms)
    [ -z "$api_one" ] && api_one=$api && legacy_one=$legacy
    api_model=-
    legacy_model=-
    if [ -n "$timing" ]; then
      api_model=$(get api_model_ms)
      legacy_model=$(get legacy_model_ms)
    fi
    printf '%-14s %6s | %9s %6s %6s %6s %8s %6s | %9s %6s %6s %6s %8s %6s\n' "${timing:-veth}" "$slaves" "$api" \
      "$(ratio "$api" "$api_one")" "$(get api_frames)" "$(get api_rt)" "$api_model" "$(ratio "$api" "$api_model")" \
      "$legacy" "$(ratio "$legacy" "$legacy_one")" "$(get legacy_frames)" "$(get legacy_rt)" "$legacy_model" \
      "$(ratio "$legacy" "$legacy_model")"
    if [ "$slaves" = 199 ] && [ -n "$timing" ]; then
      for kind in api:"$api":"$api_model" Init:"$legacy":"$legacy_model"; do
        IFS=: read -r name value modelled <<<"$kind"
        r=$(ratio "$value" "$modelled")
        if within "$r" "$MODEL_TARGET"; then
          echo "  $timing: $name scan of 199 slaves is ${r}x its model (target ${MODEL_TARGET}x)"
        else
          echo "  $timing: $name scan of 199 slaves is ${r}x its model: ABOVE the target of ${MODEL_TARGET}x"
          failed=1
        fi
      done
    fi
    if [ "$slaves" = 199 ]; then
      for kind in api:"$api":"$api_one" Init:"$legacy":"$legacy_one"; do
        IFS=: read -r name value one <<<"$kind"
        r=$(ratio "$value" "$one")
        if within "$r" "$SCAN_TARGET"; then
          echo "  ${timing:-veth}: $name scan of 199 slaves is ${r}x the 1-slave scan (target ${SCAN_TARGET}x)"
        else
          echo "  ${timing:-veth}: $name scan of 199 slaves is ${r}x the 1-slave scan: ABOVE the target of ${SCAN_TARGET}x"
          failed=1
        fi
      done
    fi
  done
done

echo
echo "SII engine on 100 slaves (2 KiB read of each EEPROM; alias-style write of words 4 and 7), best of $RUNS"
printf '%-14s %-22s %9s %9s %7s %7s %7s\n' "wire" "work" "1 slave" "100" "x1" "frames" "rtrips"
for timing in "" "--wire-timing"; do
  ec_start_ecsim --slaves 100 --busy-poll --eeprom-latency "$EEPROM_LATENCY" --cpu "$segment_cpu" $timing
  out=$(ec_in_master taskset -c "$master_cpu" "$BENCH" "$EC_IF_MASTER" 100 "$RUNS" sii 2>&1)
  rc=$?
  ec_stop_ecsim
  if [ "$rc" -ne 0 ]; then
    echo "$out"
    echo "SII engine run failed (exit $rc)"
    failed=1
    continue
  fi
  for work in dump:"2 KiB read" alias:"words 0-7, 4, 7, 0-7"; do
    key=${work%%:*}
    one=$(get "${key}_one_ms")
    all=$(get "${key}_all_ms")
    r=$(ratio "$all" "$one")
    printf '%-14s %-22s %9s %9s %7s %7s %7s\n' "${timing:-veth}" "${work#*:}" "$one" "$all" "$r" \
      "$(get "${key}_all_frames")" "$(get "${key}_all_rt")"
    within "$r" "$SII_TARGET" || { echo "  ABOVE the target of ${SII_TARGET}x"; failed=1; }
  done
done
exit $failed
