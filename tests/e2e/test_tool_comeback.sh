#!/usr/bin/env bash
# The console tool when slave 1 drops off the line as the checksum write (its second
# EEPROM write) arrives, after word 4 went in:
#  1. back 300 ms later, well inside the write loop's retry window (100 attempts of at
#     least 20 ms each on a silent slave): the loop finishes the pair, the verdict is
#     "write passed!", nothing goes to standard error, and the image holds the new alias
#     with its checksum (read with ecsim --print-header); slave 2 is untouched.
#  2. back only after the dialog has given up: "write fail", and one line on standard
#     error that the EEPROM now holds the new alias with a wrong checksum and that
#     running ecalias again once the module answers rewrites both words. The image shows
#     exactly that half-written header; once the slave is back, a second run mends it.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
[ -x "$EC_BUILD_DIR/ecsim" ] || ec_fail "ecsim is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"

# Words 0-7 as ecsim prints them, in decimal.
print_header() {
  "$EC_BUILD_DIR/ecsim" --print-header "$1" | python3 -c 'import sys; print(*[int(w, 16) for w in sys.stdin.read().split()])'
}
# The header ecsim prints is consistent: word 7 is the CRC-8 of words 0-6, high byte 0.
printed_checksum_ok() {
  print_header "$1" | python3 -c '
import struct, sys
w = [int(x) for x in sys.stdin.read().split()]
crc = 0xFF
for b in struct.pack("<7H", *w[:7]):
    crc ^= b
    for _ in range(8):
        crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
sys.exit(not (w[7] == crc))'
}

# --- 1. Back within the retry window -------------------------------------------------
soon=$EC_WORK/soon
ec_start_ecsim --slaves 2 --eeprom-dir "$soon" --alias 1:77
ec_stop_ecsim
cp "$soon/slave-2.bin" "$EC_WORK/soon-2.orig"
ec_start_ecsim --slaves 2 --eeprom-dir "$soon" --vanish-at-write 1:2 --come-back-after 1:300
printf '4660\n' >"$EC_WORK/in-soon"
out=$EC_WORK/out-soon
tool_run "$EC_WORK/in-soon" "$out" 1200
ec_stop_ecsim
has "$out" 'write passed! \n\r ' || { od -c "$out" | tail -20 >&2; cat "$out.stderr" >&2; ec_fail "back in time: no success verdict"; }
n=$(attempts "$out")
[ -n "$n" ] && [ "$n" -gt 2 ] && [ "$n" -le 100 ] || ec_fail "back in time: attempt count '$n' (expected 3 to 100)"
[ ! -s "$out.stderr" ] || ec_fail "back in time: ecalias wrote to standard error: $(cat "$out.stderr")"
read -r -a words <<<"$(print_header "$soon/slave-1.bin")"
[ "${words[4]}" = 4660 ] || ec_fail "back in time: word 4 is ${words[4]}, not 4660 (${words[*]})"
printed_checksum_ok "$soon/slave-1.bin" || ec_fail "back in time: the header is not consistent: ${words[*]}"
cmp -s "$soon/slave-2.bin" "$EC_WORK/soon-2.orig" || ec_fail "back in time: slave 2's image changed"

# --- 2. Back too late -----------------------------------------------------------------
# The dialog gives up after about 4 s (101 attempts, then the reads of the second dump);
# the slave stays away 15 s.
late_ms=15000
late=$EC_WORK/late
ec_start_ecsim --slaves 2 --eeprom-dir "$late" --alias 1:77
ec_stop_ecsim
read -r -a before <<<"$(print_header "$late/slave-1.bin")"
ec_start_ecsim --slaves 2 --eeprom-dir "$late" --vanish-at-write 1:2 --come-back-after "1:$late_ms"
started=$(date +%s%N)
printf '4661\n' >"$EC_WORK/in-late"
out=$EC_WORK/out-late
tool_run "$EC_WORK/in-late" "$out" 1200
took_ms=$((($(date +%s%N) - started) / 1000000))
[ "$took_ms" -lt "$late_ms" ] || ec_fail "too late: the dialog took $took_ms ms, not less than the $late_ms ms the slave stays away"
has "$out" 'write fail\n\r ' || { od -c "$out" | tail -20 >&2; ec_fail "too late: no failure verdict"; }
! has "$out" 'write passed' || ec_fail "too late: reported success"
has "$out" "$ATTEMPTS" 101 || ec_fail "too late: the attempt count is not 101"
! has "$out" 'ecalias:' || ec_fail "too late: the repair line went to standard output"
want="ecalias: slave 1 stopped answering between the alias and checksum writes: its EEPROM now holds alias 4661 with a wrong checksum; run ecalias again once the module answers to rewrite both words"
[ "$(cat "$out.stderr")" = "$want" ] || ec_fail "too late: standard error says '$(cat "$out.stderr")'"
# Once the slave is back on the line (it dropped off before the dialog ended, so
# late_ms after that end at the latest), the tool run again rewrites both words.
sleep $((late_ms / 1000 + 1))
printf '4661\n' >"$EC_WORK/in-again"
out=$EC_WORK/out-again
tool_run "$EC_WORK/in-again" "$out" 1200
has "$out" 'write passed! \n\r ' || { od -c "$out" | tail -20 >&2; ec_fail "the run after the come-back did not pass"; }
ec_stop_ecsim
read -r -a words <<<"$(print_header "$late/slave-1.bin")"
[ "${words[4]}" = 4661 ] && printed_checksum_ok "$late/slave-1.bin" \
  || ec_fail "after the second run the header is not the new alias with its checksum: ${words[*]}"
echo "PASS: back within the retry window (count $n), back too late (dialog over in $took_ms ms; repair line, then mended)"
