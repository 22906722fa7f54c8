#!/usr/bin/env bash
# The console tool where no adapter carries slaves (nothing serves behind the veth
# pair):
#  1. Standard input not a terminal: the summary shows 0 slaves and the end line, the
#     tool ends with status 1, and standard error ends in one line saying why. Adapter
#     probing: a "could not open" line only for adapters that could carry Ethernet
#     frames, never for the capture library's pseudo-devices (any, nflog, dbus-*, ...).
#  2. As a user without the capture capability: the adapter's "could not open" line,
#     the capture library's reason, and a last line naming the setcap fix.
#  3. On a terminal: after the summary the process stays open without using the processor.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up
source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"

end=$'Number of slaves:0\r\n=============End=============\r\n'
printf '%s' "$end" >"$EC_WORK/want"
n=$(stat -c %s "$EC_WORK/want")
pseudo='^(any|lo|nflog|nfqueue|dbus-.*|bluetooth.*|usbmon.*)$'

# --- 1. From /dev/null -------------------------------------------------------------------
out=$EC_WORK/out
timeout 30 ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" </dev/null >"$out" 2>"$out.stderr"
status=$?
[ "$status" = 1 ] || ec_fail "no slaves: exit status $status, not 1"
tail -c "$n" "$out" | cmp -s - "$EC_WORK/want" || { od -c "$out" | tail >&2; ec_fail "no summary with 0 slaves"; }
# Before the summary there may only be the adapters that could not be opened.
head -c -"$n" "$out" | grep -v -E '^interface .+ could not open with pcap$' && ec_fail "unexpected output before the summary"
failed_adapters=$(sed -n -E 's/^interface (.+) could not open with pcap\r?$/\1/p' "$out")
grep -E "$pseudo" <<<"$failed_adapters" && ec_fail "a pseudo-device was reported as an adapter that could not be opened"
# Standard error: the capture library's reason for each of those adapters, then the reason.
last=$(tail -n 1 "$out.stderr")
[[ "$last" == "ecalias: no slaves found: "* ]] || ec_fail "standard error does not end with the reason: '$last'"
while IFS= read -r line; do
  [ -z "$line" ] && continue
  [ "$line" = "$last" ] && continue
  grep -qxF -- "${line%%: *}" <<<"$failed_adapters" || ec_fail "standard error: $line"
done <"$out.stderr"

# --- 2. Without the capture capability ---------------------------------------------------------
if command -v setpriv >/dev/null; then
  # A lock directory the user may write: the capture permission is what is missing.
  chmod 711 "$EC_WORK"
  mkdir -m 1777 "$EC_WORK/locks"
  out=$EC_WORK/out-nobody
  timeout 30 ip netns exec "$EC_NS_MASTER" setpriv --reuid=65534 --regid=65534 --clear-groups \
    env -i PATH="$PATH" LC_ALL=C EC_LOCK_DIR="$EC_WORK/locks" "$EC_BUILD_DIR/ecalias" </dev/null >"$out" 2>"$out.stderr"
  status=$?
  [ "$status" = 1 ] || ec_fail "unprivileged: exit status $status, not 1"
  grep -qx "interface $EC_IF_MASTER could not open with pcap" "$out" \
    || ec_fail "unprivileged: no 'could not open' line for $EC_IF_MASTER: $(cat "$out")"
  grep -q "^$EC_IF_MASTER: .*not permitted" "$out.stderr" || ec_fail "unprivileged: the capture library's reason is missing: $(cat "$out.stderr")"
  tail -n 1 "$out.stderr" | grep -q '^ecalias: no slaves found: capturing is not permitted; allow it with `sudo setcap cap_net_raw,cap_net_admin+ep .*ecalias` or run as root$' \
    || ec_fail "unprivileged: the last line does not name the setcap fix: $(tail -n 1 "$out.stderr")"
else
  echo "setpriv is missing: the unprivileged run is left out"
fi

# --- 3. On a terminal ----------------------------------------------------------------------
tool_on_terminal "$EC_WORK/out-tty" ''
for i in $(seq 1 300); do
  [ "$(stat -c %s "$EC_WORK/out-tty")" -ge "$n" ] && tail -c "$n" "$EC_WORK/out-tty" | cmp -s - "$EC_WORK/want" && break
  sleep 0.1
done
tail -c "$n" "$EC_WORK/out-tty" | cmp -s - "$EC_WORK/want" || { od -c "$EC_WORK/out-tty" | tail >&2; ec_fail "terminal: no summary with 0 slaves"; }
idle_for_a_second "$TOOL_PID"
tool_stop_terminal
echo "PASS: no slaves: status 1 with the reason, pseudo-devices passed over, the setcap fix named, idle wait on a terminal"
