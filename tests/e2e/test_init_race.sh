#!/usr/bin/env bash
# Init from two threads at once, and Init racing Deinit while other threads call the
# slaves, over the real capture path: no crash (a second close of the adapter would
# be one), every Init that raced only another Init finds all three slaves, no call
# succeeds with wrong data, and afterwards a fresh Init and a second of calls from
# three threads go through without a wrong result (tools/stress_probe --init-race).
#
# Environment: INIT_RACE_ROUNDS (20).
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
probe=$EC_BUILD_DIR/tools/stress_probe
[ -x "$probe" ] || ec_fail "tools/stress_probe is not built in $EC_BUILD_DIR"
ROUNDS=${INIT_RACE_ROUNDS:-20}
ec_netns_up

ec_start_ecsim --slaves 3 --object all:0x4001:0:ro-octets:1200 --object all:0x4002:0:ro-octets:5000
ec_in_master timeout 200 "$probe" --init-race "$ROUNDS" --slaves 3 >"$EC_WORK/out" 2>"$EC_WORK/err"
rc=$?
ec_stop_ecsim
grep -E '^(init-race|total|overrun)' "$EC_WORK/out"
if [ "$rc" -ne 0 ]; then
  cat "$EC_WORK/out" >&2
  head -30 "$EC_WORK/err" >&2
  [ "$rc" -gt 128 ] && ec_fail "the probe died of signal $((rc - 128)) while Init raced"
  ec_fail "the probe ended with $rc"
fi
echo "PASS: Init racing Init, Deinit and calls"
