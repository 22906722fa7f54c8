# Shared harness of the end-to-end tests, the demo and the fault matrix.
#
# Builds two network namespaces joined by a veth pair: the segment namespace runs
# ecsim on one end, the master namespace holds the other end as its only Ethernet
# adapter. Frames never touch the machine's real interfaces. Everything is torn down on
# exit, also on failure or interruption.
#
#   source tests/e2e/lib.sh
#   ec_netns_up                      # or exits 77 (skip) when namespaces cannot be made
#   ec_start_ecsim --slaves 3 ...    # waits until ecsim serves
#   ec_in_master "$EC_BUILD_DIR/ecalias"
#
# Variables after ec_netns_up: EC_NS_MASTER, EC_NS_SEGMENT, EC_IF_MASTER, EC_IF_SEGMENT,
# EC_WORK (a temporary folder removed at teardown), EC_ECSIM_LOG.

EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
EC_BUILD_DIR=${EC_BUILD_DIR:-$EC_SOURCE_DIR/build}
EC_TAG=${EC_TAG:-$$}
EC_NS_MASTER=ecm$EC_TAG
EC_NS_SEGMENT=ecs$EC_TAG
EC_IF_MASTER=vm$EC_TAG
EC_IF_SEGMENT=vs$EC_TAG
EC_ECSIM_PID=
EC_WORK=

ec_skip() {
  echo "SKIP: $*" >&2
  exit 77
}

ec_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

ec_teardown() {
  local rc=$?
  if [ -n "$EC_ECSIM_PID" ]; then
    kill "$EC_ECSIM_PID" 2>/dev/null
    wait "$EC_ECSIM_PID" 2>/dev/null
    EC_ECSIM_PID=
  fi
  # Kill whatever still runs inside the namespaces, then remove them.
  local ns
  for ns in "$EC_NS_MASTER" "$EC_NS_SEGMENT"; do
    if ip netns list 2>/dev/null | grep -qw "$ns"; then
      ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null
      ip netns del "$ns" 2>/dev/null
    fi
  done
  [ -n "$EC_WORK" ] && rm -rf "$EC_WORK"
  return $rc
}

ec_netns_up() {
  command -v ip >/dev/null || ec_skip "the ip command (iproute2) is missing"
  trap ec_teardown EXIT
  trap 'exit 130' INT TERM
  ip netns add "$EC_NS_MASTER" 2>/dev/null || ec_skip "cannot create network namespaces (needs root or CAP_SYS_ADMIN)"
  ip netns add "$EC_NS_SEGMENT" || ec_fail "cannot create the segment namespace"
  ip link add "$EC_IF_MASTER" netns "$EC_NS_MASTER" type veth peer name "$EC_IF_SEGMENT" netns "$EC_NS_SEGMENT" \
    || ec_fail "cannot create the veth pair"
  local ns ifname
  for pair in "$EC_NS_MASTER:$EC_IF_MASTER" "$EC_NS_SEGMENT:$EC_IF_SEGMENT"; do
    ns=${pair%%:*}
    ifname=${pair#*:}
    # No IPv6 or other chatter: the link carries EtherCAT frames only.
    ip netns exec "$ns" sysctl -qw "net.ipv6.conf.$ifname.disable_ipv6=1" 2>/dev/null || true
    ip -n "$ns" link set "$ifname" up || ec_fail "cannot bring $ifname up"
  done
  EC_WORK=$(mktemp -d /tmp/ecalias-e2e.XXXXXX)
  EC_ECSIM_LOG=$EC_WORK/ecsim.log
}

# Starts ecsim in the segment namespace with the given options and waits until it
# reports that it serves. Fails the test when it does not start within 10 s.
ec_start_ecsim() {
  [ -x "$EC_BUILD_DIR/ecsim" ] || ec_fail "ecsim is not built in $EC_BUILD_DIR"
  # Emptied here, not by the redirection below: the background shell may truncate the
  # log only after the first look for the ready line, which would then find the line a
  # previous ecsim wrote.
  : >"$EC_ECSIM_LOG"
  ip netns exec "$EC_NS_SEGMENT" "$EC_BUILD_DIR/ecsim" --iface "$EC_IF_SEGMENT" "$@" >"$EC_ECSIM_LOG" 2>&1 &
  EC_ECSIM_PID=$!
  local i
  for i in $(seq 1 200); do
    grep -q "^ecsim: serving" "$EC_ECSIM_LOG" 2>/dev/null && return 0
    kill -0 "$EC_ECSIM_PID" 2>/dev/null || { cat "$EC_ECSIM_LOG" >&2; ec_fail "ecsim exited at start"; }
    sleep 0.05
  done
  cat "$EC_ECSIM_LOG" >&2
  ec_fail "ecsim did not start serving"
}

# Stops ecsim (SIGTERM; it writes EEPROM images back before it exits).
ec_stop_ecsim() {
  if [ -n "$EC_ECSIM_PID" ]; then
    kill "$EC_ECSIM_PID" 2>/dev/null
    wait "$EC_ECSIM_PID" 2>/dev/null
    EC_ECSIM_PID=
  fi
}

# Runs a command in the master namespace.
ec_in_master() {
  ip netns exec "$EC_NS_MASTER" "$@"
}
