#!/usr/bin/env bash
# tshark's EtherCAT dissector as an independent judge of the master's frames: every
# service's request and the segment's reply are captured on the master's side of the
# veth pair and their dissected fields compared with the datagram layout.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
command -v tshark >/dev/null || ec_skip "tshark is not installed"
command -v tcpdump >/dev/null || ec_skip "tcpdump is not installed"
ORACLE=$EC_SOURCE_DIR/tests/e2e/wire_oracle.py
PROBE=$EC_BUILD_DIR/tools/link_probe
[ -x "$PROBE" ] || ec_fail "link_probe is not built in $EC_BUILD_DIR"
ec_netns_up
ec_start_ecsim --slaves 3

capture=$EC_WORK/master.pcap
# Immediate mode: every frame is written as it comes, none waits in a buffer at the stop.
ip netns exec "$EC_NS_MASTER" tcpdump --immediate-mode -Z root -U -n -i "$EC_IF_MASTER" -w "$capture" \
  2>"$EC_WORK/tcpdump.log" &
capture_pid=$!
for _ in $(seq 1 100); do
  grep -q "listening on" "$EC_WORK/tcpdump.log" && break
  sleep 0.05
done
grep -q "listening on" "$EC_WORK/tcpdump.log" || { cat "$EC_WORK/tcpdump.log" >&2; ec_fail "tcpdump did not start"; }

mapfile -t steps < <(python3 "$ORACLE" steps)
out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" "${steps[@]}") || ec_fail "link_probe failed: $out"
echo "$out"
sleep 0.2
kill -INT "$capture_pid"
wait "$capture_pid" 2>/dev/null
cat "$EC_WORK/tcpdump.log"
python3 "$ORACLE" check "$capture" || ec_fail "the frames on the wire do not match the datagram layout"
echo "PASS: the dissector agrees with the datagram layout"
