#!/usr/bin/env bash
# The console tool where no adapter carries slaves (nothing serves behind the veth
# pair): the summary shows 0 slaves and the end line, and the process stays open
# without using the processor.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
ec_netns_up

out=$EC_WORK/out
# Started directly, not through a shell function, so that $! is ecalias itself.
ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" </dev/null >"$out" 2>"$out.stderr" &
pid=$!
end=$'Number of slaves:0\r\n=============End=============\r\n'
printf '%s' "$end" >"$EC_WORK/want"
n=$(stat -c %s "$EC_WORK/want")
for i in $(seq 1 300); do
  [ "$(stat -c %s "$out")" -ge "$n" ] && tail -c "$n" "$out" | cmp -s - "$EC_WORK/want" && break
  kill -0 "$pid" 2>/dev/null || { od -c "$out" >&2; ec_fail "ecalias ended by itself"; }
  sleep 0.1
done
tail -c "$n" "$out" | cmp -s - "$EC_WORK/want" || { od -c "$out" | tail >&2; ec_fail "no summary with 0 slaves"; }

# Before the summary there may only be the adapters that could not be opened.
head -c -"$n" "$out" | grep -v -E '^interface .+ could not open with pcap$' && ec_fail "unexpected output before the summary"
# Standard error carries only the capture library's reason for each of those adapters.
failed_adapters=$(sed -n -E 's/^interface (.+) could not open with pcap\r?$/\1/p' "$out")
while IFS= read -r line; do
  [ -z "$line" ] && continue
  grep -qxF -- "${line%%: *}" <<<"$failed_adapters" || ec_fail "standard error: $line"
done <"$out.stderr"

ticks() { awk '{print $14 + $15}' /proc/"$1"/stat; }
[ "$(cat /proc/"$pid"/comm)" = ecalias ] || ec_fail "the process watched is not ecalias"
t0=$(ticks "$pid")
sleep 1
t1=$(ticks "$pid")
kill -0 "$pid" 2>/dev/null || ec_fail "ecalias did not stay open"
[ $((t1 - t0)) -le 5 ] || ec_fail "ecalias used $((t1 - t0)) clock ticks in 1 s after its summary"
kill "$pid"
wait "$pid" 2>/dev/null
echo "PASS: summary with no slaves, idle wait"
