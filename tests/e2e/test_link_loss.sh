#!/usr/bin/env bash
# A lossy, noisy wire: 10% of exchanges lost, duplicated and late replies, foreign
# frames. The resend rule carries nearly every exchange through, and no read ever
# delivers data other than what was written.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
ec_netns_up
PROBE=$EC_BUILD_DIR/tools/link_probe
[ -x "$PROBE" ] || ec_fail "link_probe is not built in $EC_BUILD_DIR"

field() { sed -n "s/.*[ ^]$1=\([0-9-]*\).*/\1/p" <<<"$2" | head -1; }

check_rounds() {  # label output min_ok
  local label=$1 out=$2 min_ok=$3 line ok wrong
  line=$(grep '^repeat ' <<<"$out") || ec_fail "$label: no result: $out"
  ok=$(field ok "$line")
  wrong=$(field wrong "$line")
  echo "$label: $line"
  [ "$wrong" -eq 0 ] || ec_fail "$label: $wrong reads delivered data that was not written"
  [ "$ok" -ge "$min_ok" ] || ec_fail "$label: only $ok rounds got through (at least $min_ok expected)"
}

# 1. 10% loss alone: 200 rounds of write + read back, 6000 µs each (three tries). An
# exchange fails only when all three tries are lost: p = 0.001, 0.4 expected in 400.
# Without resends a round would fail with p = 0.19 (about 162 of 200 passing); the bound
# sits well above that and leaves room for a machine whose scheduler now and then
# wakes ecsim a few milliseconds late, which costs a try.
ec_start_ecsim --slaves 2 --drop 0.1 --seed 11
# Addresses are given with ten tries each so that the rounds, not the set-up, meet the loss.
out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" assign:2:20000 repeat:200:0x1002:0x1800:6000) || ec_fail "link_probe failed"
grep -qx "assigned=2" <<<"$out" || ec_fail "addresses not assigned through the lossy wire: $out"
check_rounds "10% loss" "$out" 185
ec_stop_ecsim
stats=$(grep '^ecsim: requests=' "$EC_ECSIM_LOG") || ec_fail "ecsim printed no statistics"
echo "$stats"
dropped=$(field dropped "$stats")
[ "$dropped" -ge 15 ] || ec_fail "the wire lost only $dropped frames: the loss was not exercised"

# 2. Everything at once; late replies stay within one try (800 µs), as a slave line's do.
ec_start_ecsim --slaves 3 --drop 0.1 --dup 0.2 --foreign 0.2 --late 0.2:800 --seed 12
out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" assign:3:20000 repeat:300:0x1003:0x1800:6000 count) \
  || ec_fail "link_probe failed"
grep -qx "assigned=3" <<<"$out" || ec_fail "addresses not assigned through the noisy wire: $out"
check_rounds "loss, duplicates, late and foreign frames" "$out" 280
grep -qx "count=3" <<<"$out" || ec_fail "counting read after the noisy run: $(grep ^count <<<"$out")"
echo "PASS: the resend rule carries exchanges through a lossy wire without wrong data"
