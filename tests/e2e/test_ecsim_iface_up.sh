#!/usr/bin/env bash
# ecsim says "serving" only once its interface is up: started on an interface that is
# down, it waits (no ready line) and serves as soon as the interface comes up; on one
# that stays down it gives up with a message and exit code 1. The master then finds
# the slaves, so "serving" means frames are answered. An interface that goes down and
# comes back while served does not end the service.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
ECSIM=$EC_BUILD_DIR/ecsim
[ -x "$ECSIM" ] || ec_fail "ecsim is not built in $EC_BUILD_DIR"
PROBE=$EC_BUILD_DIR/tools/bringup_probe
[ -x "$PROBE" ] || ec_fail "bringup_probe is not built in $EC_BUILD_DIR/tools"
ec_netns_up
in_segment() { ip netns exec "$EC_NS_SEGMENT" "$@"; }

# --- down, then up while ecsim waits
ip -n "$EC_NS_SEGMENT" link set "$EC_IF_SEGMENT" down || ec_fail "cannot take $EC_IF_SEGMENT down"
: >"$EC_ECSIM_LOG"
ip netns exec "$EC_NS_SEGMENT" "$ECSIM" --iface "$EC_IF_SEGMENT" --slaves 2 >"$EC_ECSIM_LOG" 2>&1 &
EC_ECSIM_PID=$!
sleep 0.5
kill -0 "$EC_ECSIM_PID" 2>/dev/null \
  || { cat "$EC_ECSIM_LOG" >&2; ec_fail "ecsim gave up at once on an interface that is down"; }
grep -q "^ecsim: serving" "$EC_ECSIM_LOG" && ec_fail "ecsim reported serving while $EC_IF_SEGMENT was down"
ip -n "$EC_NS_SEGMENT" link set "$EC_IF_SEGMENT" up || ec_fail "cannot bring $EC_IF_SEGMENT up"
for i in $(seq 1 100); do
  grep -q "^ecsim: serving" "$EC_ECSIM_LOG" && break
  kill -0 "$EC_ECSIM_PID" 2>/dev/null || { cat "$EC_ECSIM_LOG" >&2; ec_fail "ecsim exited instead of serving"; }
  sleep 0.05
done
[ "$(head -1 "$EC_ECSIM_LOG")" = "ecsim: serving 2 slaves on $EC_IF_SEGMENT" ] \
  || { cat "$EC_ECSIM_LOG" >&2; ec_fail "no ready line once $EC_IF_SEGMENT was up"; }
out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" 2>&1) || ec_fail "bringup_probe failed: $out"
grep -qx "slave_count=2" <<<"$out" || ec_fail "the master did not find the 2 slaves: $out"

# --- down and up again while serving: ecsim keeps serving
ip -n "$EC_NS_SEGMENT" link set "$EC_IF_SEGMENT" down || ec_fail "cannot take $EC_IF_SEGMENT down"
sleep 0.2
ip -n "$EC_NS_SEGMENT" link set "$EC_IF_SEGMENT" up || ec_fail "cannot bring $EC_IF_SEGMENT up"
kill -0 "$EC_ECSIM_PID" 2>/dev/null || { cat "$EC_ECSIM_LOG" >&2; ec_fail "ecsim ended when its interface went down"; }
out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" 2>&1) || ec_fail "bringup_probe failed: $out"
grep -qx "slave_count=2" <<<"$out" || ec_fail "no slaves after the interface came back: $out"
ec_stop_ecsim
grep -q "went_down=1" "$EC_ECSIM_LOG" || { cat "$EC_ECSIM_LOG" >&2; ec_fail "the stop line does not count the outage"; }

# --- down for good: refused
ip -n "$EC_NS_SEGMENT" link set "$EC_IF_SEGMENT" down || ec_fail "cannot take $EC_IF_SEGMENT down"
err=$(in_segment "$ECSIM" --iface "$EC_IF_SEGMENT" --slaves 1 2>&1)
rc=$?
[ "$rc" -eq 1 ] || ec_fail "ecsim on an interface that stays down exited $rc: $err"
[ "$err" = "ecsim: $EC_IF_SEGMENT is down; bring it up first (ip link set $EC_IF_SEGMENT up)" ] \
  || ec_fail "message for an interface that stays down: '$err'"
echo "ecsim waits for its interface: ok"
