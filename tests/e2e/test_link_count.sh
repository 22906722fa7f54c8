#!/usr/bin/env bash
# The counting broadcast read through libpcap and a veth pair finds every simulated
# slave, from one to the largest line the simulator serves, and each can be given its
# configured address by position.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
ec_netns_up
PROBE=$EC_BUILD_DIR/tools/link_probe
[ -x "$PROBE" ] || ec_fail "link_probe is not built in $EC_BUILD_DIR"

for n in 1 3 199 1000; do
  ec_start_ecsim --slaves "$n"
  last=$(printf '0x%04x' $((0x1000 + n)))
  # Generous timeouts: ten tries each, so a busy machine that stalls ecsim for a few
  # milliseconds does not fail a test about counting.
  out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" count "assign:$n:20000" "FPRD:$last:0x0010:2:20000") \
    || ec_fail "link_probe failed with $n slaves"
  expected_data=$(printf '%02x%02x' $(((0x1000 + n) & 0xFF)) $(((0x1000 + n) >> 8)))
  grep -qx "count=$n" <<<"$out" || ec_fail "$n slaves: the counting read gave '$(grep ^count <<<"$out" | head -1)'"
  grep -qx "assigned=$n" <<<"$out" || ec_fail "$n slaves: $(grep ^assigned <<<"$out")"
  grep -q "op=FPRD adp=$last ado=0x0010 len=2 wkc=1 data=$expected_data\$" <<<"$out" \
    || ec_fail "$n slaves: the last slave does not answer at $last: $out"
  ec_stop_ecsim
done
echo "PASS: counted and addressed 1, 3, 199 and 1000 slaves"
