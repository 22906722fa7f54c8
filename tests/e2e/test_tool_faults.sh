#!/usr/bin/env bash
# The console tool on a misbehaving segment:
#  - a slave whose EEPROM refuses every command: the header cannot be read, so nothing
#    is written and the verdict is "write fail" (never a false success);
#  - 10% of the frames lost on the wire: the resends carry the dialog through, the
#    verdict is "write passed" and the image holds the value with a matching checksum;
#  - 40% lost: header reads that fail are made again, so the dialog goes on to write
#    (a count above 0); the verdict matches the image, which holds the old pair or the
#    new one, never a mix.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"

# --- An EEPROM that refuses every command -------------------------------------------
dead=$EC_WORK/dead
ec_start_ecsim --slaves 1 --eeprom-dir "$dead" --alias 1:77
ec_stop_ecsim
cp "$dead/slave-1.bin" "$EC_WORK/dead.orig"
ec_start_ecsim --slaves 1 --eeprom-dir "$dead" --eeprom-nack 1:all
printf '77\n' >"$EC_WORK/in-dead"  # the alias it already has: a blind compare would "pass"
tool_run "$EC_WORK/in-dead" "$EC_WORK/out-dead" 1200
ec_stop_ecsim
has "$EC_WORK/out-dead" "$ATTEMPTS" 0 || ec_fail "unreadable header: something was written"
has "$EC_WORK/out-dead" 'write fail\n\r ' || ec_fail "unreadable header: no failure verdict"
! has "$EC_WORK/out-dead" 'write passed' || ec_fail "unreadable header: reported success"
has "$EC_WORK/out-dead" '  00 ' || ec_fail "unreadable header: the dump does not show the failed reads as 00"
cmp -s "$dead/slave-1.bin" "$EC_WORK/dead.orig" || ec_fail "unreadable header: the image changed"

# --- 10% frame loss -----------------------------------------------------------------
lossy=$EC_WORK/lossy
ec_start_ecsim --slaves 3 --drop 0.1 --seed 11 --eeprom-dir "$lossy"
printf '513\n' >"$EC_WORK/in-lossy"
tool_run "$EC_WORK/in-lossy" "$EC_WORK/out-lossy" 1200
ec_stop_ecsim
has "$EC_WORK/out-lossy" 'write passed! \n\r ' || { od -c "$EC_WORK/out-lossy" | tail -30 >&2; ec_fail "10% loss: no success verdict"; }
[ "$(header "$lossy/slave-1.bin" | cut -d' ' -f5)" = 513 ] || ec_fail "10% loss: word 4 is not 513: $(header "$lossy/slave-1.bin")"
checksum_ok "$lossy/slave-1.bin" || ec_fail "10% loss: the header checksum does not match: $(header "$lossy/slave-1.bin")"
for n in 2 3; do
  checksum_ok "$lossy/slave-$n.bin" || ec_fail "10% loss: slave $n's header was touched"
done

# --- 40% frame loss -----------------------------------------------------------------
heavy=$EC_WORK/heavy
ec_start_ecsim --slaves 3 --eeprom-dir "$heavy" --alias 1:1000
ec_stop_ecsim
read -r -a old_words <<<"$(header "$heavy/slave-1.bin")"
cp "$heavy/slave-2.bin" "$EC_WORK/heavy-2.orig"
ec_start_ecsim --slaves 3 --drop 0.4 --seed 2 --eeprom-dir "$heavy"
printf '999\n' >"$EC_WORK/in-heavy"
tool_run "$EC_WORK/in-heavy" "$EC_WORK/out-heavy" 1200
ec_stop_ecsim
n=$(attempts "$EC_WORK/out-heavy")
[ -n "$n" ] && [ "$n" -gt 0 ] || ec_fail "40% loss: nothing was written (count '$n'): $(cat "$EC_WORK/out-heavy.stderr")"
read -r -a new_words <<<"$(header "$heavy/slave-1.bin")"
if has "$EC_WORK/out-heavy" 'write passed! \n\r '; then
  [ "${new_words[4]}" = 999 ] && checksum_ok "$heavy/slave-1.bin" || ec_fail "40% loss: success reported, image ${new_words[*]}"
else
  has "$EC_WORK/out-heavy" 'write fail\n\r ' || ec_fail "40% loss: no verdict"
  [ -s "$EC_WORK/out-heavy.stderr" ] || ec_fail "40% loss: a failure without a line on standard error"
  { [ "${new_words[*]}" = "${old_words[*]}" ] || { [ "${new_words[4]}" = 999 ] && checksum_ok "$heavy/slave-1.bin"; }; } \
    || ec_fail "40% loss: the header is neither the old nor the new pair: ${new_words[*]} (was ${old_words[*]})"
fi
cmp -s "$heavy/slave-2.bin" "$EC_WORK/heavy-2.orig" || ec_fail "40% loss: slave 2's image changed"
echo "PASS: unreadable header, 10% and 40% frame loss"
