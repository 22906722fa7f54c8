#!/usr/bin/env bash
# Two masters on one adapter would share the source address and the datagram numbering,
# so each could take the other's replies. While one host program holds the adapter, a
# second one (a C host program on libecdevice.so, then the console tool) is refused it:
# it finds no slaves and says on standard error which process holds the adapter and what
# to do. Once the holder is gone (killed, so it never released anything) the adapter
# works again.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -f "$EC_BUILD_DIR/libecdevice.so" ] || ec_fail "libecdevice.so is not built in $EC_BUILD_DIR"
[ -x "$EC_BUILD_DIR/tools/hold_adapter" ] || ec_fail "hold_adapter is not built in $EC_BUILD_DIR/tools"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
ec_netns_up

# The lock file of the master's adapter: named by the namespace, so it is this test's own.
netns=$(ec_in_master stat -L -c %i /proc/self/ns/net) || ec_fail "cannot read the master namespace's number"
lock_files=("/run/lock/ecalias/$netns-$EC_IF_MASTER.lock" "/tmp/ecalias-locks/$netns-$EC_IF_MASTER.lock")
HOLDER_PID=
cleanup() {
  local rc=$?
  [ -n "$HOLDER_PID" ] && kill -9 "$HOLDER_PID" 2>/dev/null
  ec_teardown
  rm -f "${lock_files[@]}"
  return $rc
}
trap cleanup EXIT

host=$EC_WORK/list_slaves
sanitize=
objdump -p "$EC_BUILD_DIR/libecdevice.so" | grep -q 'NEEDED.*libasan' && sanitize=-fsanitize=address,undefined
cc -std=c99 -Wall -Wextra -Werror $sanitize -I"$EC_SOURCE_DIR/api" "$EC_SOURCE_DIR/tests/host/list_slaves.c" \
  -L"$EC_BUILD_DIR" -lecdevice -Wl,-rpath,"$EC_BUILD_DIR" -o "$host" || ec_fail "the C host does not build"

ec_start_ecsim --slaves 3 --eeprom-dir "$EC_WORK/images"

# The first master: started directly, so that $! is the holder itself (ip netns exec
# replaces itself with the program).
ip netns exec "$EC_NS_MASTER" "$EC_BUILD_DIR/tools/hold_adapter" </dev/null >"$EC_WORK/holder.out" 2>"$EC_WORK/holder.err" &
HOLDER_PID=$!
for i in $(seq 1 600); do
  grep -q '^init=' "$EC_WORK/holder.out" && break
  kill -0 "$HOLDER_PID" 2>/dev/null || break
  sleep 0.1
done
grep -qx 'init=3' "$EC_WORK/holder.out" || { cat "$EC_WORK/holder.out" "$EC_WORK/holder.err" >&2; ec_fail "the first master did not find 3 slaves"; }
lock_file=
for f in "${lock_files[@]}"; do [ -f "$f" ] && lock_file=$f; done
[ -n "$lock_file" ] || ec_fail "no lock file for $EC_IF_MASTER in ${lock_files[*]}"
[ "$(cat "$lock_file")" = "$HOLDER_PID" ] || ec_fail "the lock file names '$(cat "$lock_file")', not the holder $HOLDER_PID"

in_use="adapter $EC_IF_MASTER is in use by another ecalias master (process $HOLDER_PID); stop it first: two masters on one segment take each other's replies"

# A second host program: no slaves, and the reason on standard error.
ec_in_master timeout 60 "$host" </dev/null >"$EC_WORK/second.out" 2>"$EC_WORK/second.err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$EC_WORK/second.out" "$EC_WORK/second.err" >&2; ec_fail "the second host ended with $rc"; }
grep -qx 'init=0' "$EC_WORK/second.out" || { cat "$EC_WORK/second.out" >&2; ec_fail "the second host found slaves on an adapter in use"; }
grep -qF "$in_use" "$EC_WORK/second.err" || { cat "$EC_WORK/second.err" >&2; ec_fail "the second host did not say that the adapter is in use"; }

# The console tool beside the holder: its summary shows no slaves, the reason goes to
# standard error. Its input is not a terminal, so it ends by itself after the summary
# (it is stopped should it still run).
tool_out=$EC_WORK/tool.out
ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" </dev/null >"$tool_out" 2>"$tool_out.stderr" &
tool_pid=$!
for i in $(seq 1 300); do
  grep -qa 'Number of slaves:0' "$tool_out" && break
  kill -0 "$tool_pid" 2>/dev/null || break
  sleep 0.1
done
kill "$tool_pid" 2>/dev/null
wait "$tool_pid" 2>/dev/null
grep -qa 'Number of slaves:0' "$tool_out" || { od -c "$tool_out" | tail >&2; ec_fail "the console tool did not show 0 slaves beside the holder"; }
grep -qF "$in_use" "$tool_out.stderr" || { cat "$tool_out.stderr" >&2; ec_fail "the console tool did not say that the adapter is in use"; }

# The holder dies without releasing anything: the kernel drops its lock, its file stays.
kill -9 "$HOLDER_PID"
wait "$HOLDER_PID" 2>/dev/null
HOLDER_PID=
[ -f "$lock_file" ] || ec_fail "the killed holder's lock file is gone (the test did not cover a stale file)"

ec_in_master timeout 60 "$host" </dev/null >"$EC_WORK/third.out" 2>"$EC_WORK/third.err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$EC_WORK/third.out" "$EC_WORK/third.err" >&2; ec_fail "the host after the holder ended with $rc"; }
grep -qx 'init=3' "$EC_WORK/third.out" || { cat "$EC_WORK/third.out" "$EC_WORK/third.err" >&2; ec_fail "the host after the holder did not find 3 slaves"; }
grep -q 'in use' "$EC_WORK/third.err" && ec_fail "the adapter is still in use after its holder died: $(cat "$EC_WORK/third.err")"
grep -qx 'deinit=0' "$EC_WORK/third.out" || ec_fail "no Deinit in the host's output"
# Deinit released the adapter and removed its file.
[ ! -e "$lock_file" ] || ec_fail "the lock file stayed after Deinit"
echo "PASS: one master per adapter across processes"
