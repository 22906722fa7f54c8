#!/usr/bin/env bash
# The ecsim program itself: options, its messages, exit codes, and its stop on a signal.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
ECSIM=$EC_BUILD_DIR/ecsim
[ -x "$ECSIM" ] || ec_fail "ecsim is not built in $EC_BUILD_DIR"
ec_netns_up
in_segment() { ip netns exec "$EC_NS_SEGMENT" "$@"; }

usage_error() {  # expected-message args...
  local expected=$1 rc
  shift
  err=$(in_segment "$ECSIM" "$@" 2>&1 >/dev/null)
  rc=$?
  [ "$rc" -eq 2 ] || ec_fail "ecsim $* exited $rc, not 2"
  grep -qF -- "$expected" <<<"$err" || ec_fail "ecsim $*: '$err' lacks '$expected'"
}

help=$("$ECSIM" --help) || ec_fail "--help failed"
for word in --iface --slaves --drop --seed --foreign --dup --late --busy-poll --blocking --cpu --print-header; do
  grep -q -- "$word" <<<"$help" || ec_fail "--help does not mention $word"
done

usage_error "--iface IF is required" --slaves 3
usage_error "bad value for --slaves" --iface "$EC_IF_SEGMENT" --slaves 1001
usage_error "bad value for --slaves" --iface "$EC_IF_SEGMENT" --slaves -1
usage_error "bad value for --slaves" --iface "$EC_IF_SEGMENT" --slaves 3x
usage_error "bad value for --drop" --iface "$EC_IF_SEGMENT" --drop 1.5
usage_error "bad value for --dup" --iface "$EC_IF_SEGMENT" --dup=-0.1
usage_error "bad value for --late" --iface "$EC_IF_SEGMENT" --late 0.5
usage_error "bad value for --seed" --iface "$EC_IF_SEGMENT" --seed abc
usage_error "bad value for --cpu" --iface "$EC_IF_SEGMENT" --cpu x
usage_error "needs a value" --iface "$EC_IF_SEGMENT" --drop
usage_error "unknown option --frobnicate" --iface "$EC_IF_SEGMENT" --frobnicate 1
usage_error "unexpected argument" --iface "$EC_IF_SEGMENT" stray

err=$(in_segment "$ECSIM" --iface nosuch0 --slaves 1 2>&1)
rc=$?
[ "$rc" -eq 1 ] || ec_fail "a missing interface gave exit code $rc"
[ "$err" = "ecsim: no interface nosuch0" ] || ec_fail "missing interface message: '$err'"

# Without CAP_NET_RAW the raw socket cannot be had; the message says what is missing.
if command -v setpriv >/dev/null; then
  err=$(in_segment setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all \
        "$ECSIM" --iface "$EC_IF_SEGMENT" --slaves 1 2>&1)
  rc=$?
  [ "$rc" -eq 1 ] || ec_fail "an unprivileged start gave exit code $rc: $err"
  grep -qF "needs CAP_NET_RAW (run as root or setcap cap_net_raw+ep)" <<<"$err" \
    || ec_fail "unprivileged message: '$err'"
else
  echo "note: setpriv missing, unprivileged start not checked"
fi

# --print-header needs no interface.
err=$("$ECSIM" --print-header /nonexistent/image.bin 2>&1)
rc=$?
[ "$rc" -ne 0 ] || ec_fail "--print-header of a missing file succeeded"
grep -q "iface" <<<"$err" && ec_fail "--print-header asked for an interface: $err"

# Ready line, then a clean stop on SIGTERM and on SIGINT, in both serving modes.
for mode in --blocking --busy-poll; do
  for signal in TERM INT; do
    ec_start_ecsim --slaves 2 "$mode"
    [ "$(head -1 "$EC_ECSIM_LOG")" = "ecsim: serving 2 slaves on $EC_IF_SEGMENT" ] \
      || ec_fail "ready line: $(head -1 "$EC_ECSIM_LOG")"
    [ "$(grep -c '^ecsim: serving' "$EC_ECSIM_LOG")" -eq 1 ] || ec_fail "more than one ready line"
    # Sleeping between frames it asks for a head start on wake-up; spinning it does not.
    nice=$(ps -o ni= -p "$EC_ECSIM_PID" | tr -d ' ')
    want=$([ "$mode" = --blocking ] && echo -10 || echo 0)
    [ "$nice" = "$want" ] || ec_fail "$mode: ecsim runs at nice $nice, not $want"
    out=$(ec_in_master "$EC_BUILD_DIR/tools/link_probe" "$EC_IF_MASTER" count)
    grep -qx "count=2" <<<"$out" || ec_fail "$mode: count gave '$out'"
    kill -s "$signal" "$EC_ECSIM_PID"
    rc=0
    wait "$EC_ECSIM_PID" || rc=$?
    EC_ECSIM_PID=
    [ "$rc" -eq 0 ] || ec_fail "$mode: SIGTERM/SIGINT ($signal) gave exit code $rc"
    # One exchange, sent again if the first reply was slow: every request was answered.
    stats=$(grep "^ecsim: requests=" "$EC_ECSIM_LOG") || ec_fail "$mode: no statistics at exit"
    requests=$(sed 's/.*requests=\([0-9]*\).*/\1/' <<<"$stats")
    replies=$(sed 's/.*replies=\([0-9]*\).*/\1/' <<<"$stats")
    [ "$requests" -ge 1 ] && [ "$requests" -le 10 ] && [ "$replies" -eq "$requests" ] \
      || ec_fail "$mode: statistics: $stats"
  done
done
echo "PASS: ecsim options, messages, exit codes and stop"
