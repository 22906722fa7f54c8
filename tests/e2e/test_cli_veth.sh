#!/usr/bin/env bash
# The command line on a real capture path: the master namespace's end of a veth pair,
# ecsim serving three slaves on the other. --help, --version and usage errors send no
# frame (a capture of the master's side stays empty); without -i the one adapter where
# slaves answer is chosen; list and alias set work end to end and ecsim's image of the
# slave holds the new alias with its checksum.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v tcpdump >/dev/null || ec_skip "tcpdump is missing"
ec_netns_up
images=$EC_WORK/images
ec_start_ecsim --slaves 3 --eeprom-dir "$images"

start_capture() {
  ip netns exec "$EC_NS_MASTER" tcpdump -Z root --immediate-mode -U -i "$EC_IF_MASTER" -w "$1" \
    2>"$EC_WORK/tcpdump.err" &
  CAPTURE_PID=$!
  local i
  for i in $(seq 1 100); do
    grep -q "listening on" "$EC_WORK/tcpdump.err" 2>/dev/null && return 0
    sleep 0.05
  done
  ec_fail "tcpdump did not start: $(cat "$EC_WORK/tcpdump.err")"
}
stop_capture() {
  kill -INT "$CAPTURE_PID" 2>/dev/null
  wait "$CAPTURE_PID" 2>/dev/null
}
frames() { tcpdump -r "$1" 2>/dev/null | wc -l; }

# Nothing on the wire for help, version and usage errors (with and without -i).
start_capture "$EC_WORK/quiet.pcap"
quiet_runs=(
  "--help" "--version" "list --help" "alias set --help" "alias plan --help"
  "-i $EC_IF_MASTER frobnicate" "-i $EC_IF_MASTER alias set -p 1 70000 --yes"
  "-i $EC_IF_MASTER alias set -p 1 abc --yes" "alias set -p 1 5" "-i $EC_IF_MASTER alias set -p 1 5"
  "-i $EC_IF_MASTER alias get" "-i $EC_IF_MASTER list --bogus" "alias plan /nonexistent.csv --apply --yes"
)
for words in "${quiet_runs[@]}"; do
  # shellcheck disable=SC2086
  ec_in_master "$E" $words </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err"
  rc=$?
  case "$words" in
    *help* | *version*) [ "$rc" -eq 0 ] || ec_fail "$words: status $rc" ;;
    *) [ "$rc" -eq 2 ] || ec_fail "$words: status $rc, expected 2 ($(cat "$EC_WORK/err"))" ;;
  esac
done
# A frame sent would be back through ecsim well within this time.
sleep 0.3
stop_capture
[ "$(frames "$EC_WORK/quiet.pcap")" -eq 0 ] ||
  ec_fail "help or a usage error sent frames: $(tcpdump -r "$EC_WORK/quiet.pcap" 2>/dev/null | head -3)"

# list without -i: the only adapter where slaves answer. Captured too, so a capture that
# sees nothing at all cannot pass for a quiet program.
start_capture "$EC_WORK/list.pcap"
ec_in_master timeout 60 "$E" --json list </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err" ||
  { cat "$EC_WORK/err" >&2; ec_fail "list without -i failed"; }
sleep 0.3
stop_capture
[ "$(frames "$EC_WORK/list.pcap")" -gt 0 ] || ec_fail "the capture saw none of list's frames"
python3 -c 'import json, sys
doc = json.load(open(sys.argv[1]))
assert doc["adapter"] == sys.argv[2], doc["adapter"]
assert [s["position"] for s in doc["slaves"]] == [1, 2, 3]
assert all(s["complete"] and s["state"] == "PREOP" for s in doc["slaves"])' "$EC_WORK/out" "$EC_IF_MASTER" ||
  ec_fail "list: $(cat "$EC_WORK/out")"

# adapters: the veth end with three slaves (lo may be listed too, with none).
ec_in_master "$E" --json adapters </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err" ||
  { cat "$EC_WORK/err" >&2; ec_fail "adapters failed"; }
python3 -c 'import json, sys
doc = json.load(open(sys.argv[1]))
assert all(set(a) >= {"name", "description", "opened", "slaves", "error"} for a in doc["adapters"])
veth = [a for a in doc["adapters"] if a["name"] == sys.argv[2]]
assert veth and veth[0]["opened"] is True and veth[0]["slaves"] == 3 and veth[0]["error"] is None, veth' \
  "$EC_WORK/out" "$EC_IF_MASTER" || ec_fail "adapters: $(cat "$EC_WORK/out")"
ec_in_master "$E" adapters </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err"
grep -q "^$EC_IF_MASTER  *3  *opened" "$EC_WORK/out" || ec_fail "adapters (text): $(cat "$EC_WORK/out")"

before1=$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-1.bin")
before2=$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-2.bin")
before3=$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-3.bin")
ec_in_master timeout 60 "$E" -i "$EC_IF_MASTER" alias set -p 2 0x0abc --yes --backup-dir "$EC_WORK" </dev/null \
  >"$EC_WORK/out" 2>"$EC_WORK/err" || { cat "$EC_WORK/out" "$EC_WORK/err" >&2; ec_fail "alias set failed"; }
grep -q '^read back: alias 2748, checksum 0x.*: verified$' "$EC_WORK/out" || ec_fail "alias set: $(cat "$EC_WORK/out")"
ls "$EC_WORK"/slave2-vendor00000ec5-product00010002-serial00000002-*Z.bin >/dev/null 2>&1 || ec_fail "no backup file"
ec_stop_ecsim  # writes the images back
read -r -a header <<<"$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-2.bin")"
[ "${header[4]}" = 0abc ] || ec_fail "slave 2's image: word 4 is ${header[4]} (${header[*]})"
# Word 7 as the report read it back (whose checksum is right is pinned by unit tests).
reported=$(sed -n 's/^read back: alias 2748, checksum 0x\([0-9a-f]*\): verified$/\1/p' "$EC_WORK/out")
[ "${header[7]}" = "$reported" ] || ec_fail "slave 2's image: word 7 is ${header[7]}, the report read back $reported"
read -r -a old <<<"$before2"
for n in 0 1 2 3 5 6; do
  [ "${header[$n]}" = "${old[$n]}" ] || ec_fail "slave 2's image: word $n changed to ${header[$n]}"
done
[ "$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-1.bin")" = "$before1" ] || ec_fail "slave 1's image changed"
[ "$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-3.bin")" = "$before3" ] || ec_fail "slave 3's image changed"
# Without the capture permission: status 1 and the fix named.
if command -v setpriv >/dev/null; then
  ec_start_ecsim --slaves 1
  ec_in_master setpriv --reuid=65534 --regid=65534 --clear-groups "$E" -i "$EC_IF_MASTER" list </dev/null \
    >"$EC_WORK/out" 2>"$EC_WORK/err"
  rc=$?
  [ "$rc" -eq 1 ] || ec_fail "list without permission: status $rc ($(cat "$EC_WORK/err"))"
  grep -q 'setcap cap_net_raw,cap_net_admin+ep' "$EC_WORK/err" || ec_fail "no setcap fix: $(cat "$EC_WORK/err")"
  ec_stop_ecsim
fi

# Slaves on two adapters: a read takes the first, a write refuses and names both.
ns2=ecs2$EC_TAG if_master2=vm2$EC_TAG if_segment2=vs2$EC_TAG ecsim2=
cleanup_second() {
  [ -n "$ecsim2" ] && kill "$ecsim2" 2>/dev/null && wait "$ecsim2" 2>/dev/null
  ip netns pids "$ns2" 2>/dev/null | xargs -r kill -9 2>/dev/null
  ip netns del "$ns2" 2>/dev/null
  ec_teardown
}
trap cleanup_second EXIT
ip netns add "$ns2" || ec_fail "cannot create a second segment namespace"
ip link add "$if_master2" netns "$EC_NS_MASTER" type veth peer name "$if_segment2" netns "$ns2" ||
  ec_fail "cannot create the second veth pair"
ip netns exec "$ns2" sysctl -qw "net.ipv6.conf.$if_segment2.disable_ipv6=1" 2>/dev/null
ip netns exec "$EC_NS_MASTER" sysctl -qw "net.ipv6.conf.$if_master2.disable_ipv6=1" 2>/dev/null
ip -n "$ns2" link set "$if_segment2" up && ip -n "$EC_NS_MASTER" link set "$if_master2" up ||
  ec_fail "cannot bring the second pair up"
ec_start_ecsim --slaves 2
ip netns exec "$ns2" "$EC_BUILD_DIR/ecsim" --iface "$if_segment2" --slaves 1 >"$EC_WORK/ecsim2.log" 2>&1 &
ecsim2=$!
for _ in $(seq 1 200); do grep -q '^ecsim: serving' "$EC_WORK/ecsim2.log" 2>/dev/null && break; sleep 0.05; done
grep -q '^ecsim: serving' "$EC_WORK/ecsim2.log" || ec_fail "the second ecsim did not serve"
ec_in_master "$E" alias set -p 1 5 --yes </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err"
rc=$?
[ "$rc" -eq 1 ] || ec_fail "a write with slaves on two adapters: status $rc ($(cat "$EC_WORK/err"))"
grep -q "slaves answer on more than one adapter (.*$EC_IF_MASTER.*).*-i IF" "$EC_WORK/err" &&
  grep -q "$if_master2" "$EC_WORK/err" || ec_fail "the candidates are not named: $(cat "$EC_WORK/err")"
ec_in_master "$E" alias plan /dev/stdin --apply --yes <<<$'position,alias\n1,5' >"$EC_WORK/out" 2>"$EC_WORK/err"
[ $? -eq 1 ] && grep -q 'more than one adapter' "$EC_WORK/err" || ec_fail "a plan with slaves on two adapters: $(cat "$EC_WORK/err")"
ec_in_master "$E" list </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err" || ec_fail "list with slaves on two adapters failed"

echo "PASS: ecalias on veth: no frame for help and usage errors; list and alias set against ecsim"
