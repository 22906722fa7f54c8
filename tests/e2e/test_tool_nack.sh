#!/usr/bin/env bash
# A slave whose EEPROM refuses write commands (reads pass):
#  - the first three (one failed EepromWriteWord, after which the write goes through):
#    the dialog retries on its shared attempt count, shows 3, and passes; the image holds
#    the value and its checksum;
#  - every one (--eeprom-nack-writes 1:all): the count runs out at 101, the verdict is
#    "write fail", the image is untouched, and standard error says the EEPROM refused.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
[ -x "$EC_BUILD_DIR/ecsim" ] || ec_fail "ecsim is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"

images=$EC_WORK/images
ec_start_ecsim --slaves 2 --eeprom-dir "$images" --eeprom-nack-writes 1:3
printf '258\n' >"$EC_WORK/in"
out=$EC_WORK/out
tool_run "$EC_WORK/in" "$out"
ec_stop_ecsim
has "$out" "$ATTEMPTS" 3 || { od -c "$out" | tail -20 >&2; ec_fail "the attempt count is not 3"; }
has "$out" 'write passed! \n\r ' || ec_fail "no success verdict after the retried write"
[ "$(header "$images/slave-1.bin" | cut -d" " -f5)" = 258 ] && checksum_ok "$images/slave-1.bin" \
  || ec_fail "the image does not hold 258 with its checksum"
[ ! -s "$out.stderr" ] || ec_fail "a run that passed wrote to standard error: $(cat "$out.stderr")"

# --- Every write refused ------------------------------------------------------------
cp "$images/slave-1.bin" "$EC_WORK/before-all.bin"
ec_start_ecsim --slaves 2 --eeprom-dir "$images" --eeprom-nack-writes 1:all
printf '259\n' >"$EC_WORK/in-all"
out=$EC_WORK/out-all
tool_run "$EC_WORK/in-all" "$out" 1200
ec_stop_ecsim
has "$out" "$ATTEMPTS" 101 || { od -c "$out" | tail -20 >&2; ec_fail "every write refused: the attempt count is not 101"; }
has "$out" 'write fail\n\r ' || ec_fail "every write refused: no failure verdict"
! has "$out" 'write passed' || ec_fail "every write refused: reported success"
cmp -s "$images/slave-1.bin" "$EC_WORK/before-all.bin" || ec_fail "every write refused: the image changed"
[ "$(cat "$out.stderr")" = "ecalias: slave 1 refused the alias write (its EEPROM reported an error): its EEPROM still holds alias 258; run ecalias again" ] \
  || ec_fail "every write refused: standard error says: $(cat "$out.stderr")"
echo "PASS: refused write retried, count 3; every write refused, nothing written"
