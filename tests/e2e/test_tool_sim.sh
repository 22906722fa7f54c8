#!/usr/bin/env bash
# The dialog on an in-process virtual segment (ecalias -i "sim:OPTIONS"): no root, no
# namespaces. Standard input a pipe, so the tool ends with its status:
#  1. a number: "write passed!", status 0, nothing on standard error, and the EEPROM image
#     the segment writes back on closing holds the alias with its checksum;
#  2. "0x1234": nothing written (the image unchanged), "write fail", status 1, the reason;
#  3. a segment without slaves: the summary, status 1, the reason;
#  4. a pseudo-device named with -i: refused unopened, status 1, the reason.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
work=$(mktemp -d /tmp/ecalias-tool-sim.XXXXXX)
trap 'rm -rf "$work"' EXIT
EC_WORK=$work
source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"

run() {  # adapter input-format: runs the dialog, output in $work/out, status in $status
  printf -- "$2" | env -i PATH="$PATH" LC_ALL=C timeout 60 "$EC_BUILD_DIR/ecalias" -i "$1" >"$work/out" 2>"$work/out.stderr"
  status=${PIPESTATUS[1]}
}
printf "$LAST_GBK" >"$work/want-end"

# --- 1. A number --------------------------------------------------------------------------
images=$work/images
run "sim:--slaves 2 --eeprom-dir $images --alias 1:77" '4660\r\n'
[ "$status" = 0 ] || ec_fail "a number: status $status (stderr: $(cat "$work/out.stderr"))"
ends_with_want "$work/out" || ec_fail "a number: the output does not end with the last message"
has "$work/out" 'write passed! \n\r ' || ec_fail "a number: no success verdict"
[ ! -s "$work/out.stderr" ] || ec_fail "a number: standard error says $(cat "$work/out.stderr")"
[ "$(header "$images/slave-1.bin" | cut -d' ' -f5)" = 4660 ] || ec_fail "a number: word 4 is $(header "$images/slave-1.bin")"
checksum_ok "$images/slave-1.bin" || ec_fail "a number: the checksum does not match: $(header "$images/slave-1.bin")"
cp "$images/slave-1.bin" "$work/after-1.bin"

# --- 2. Not a decimal number ------------------------------------------------------------------
run "sim:--slaves 2 --eeprom-dir $images" '0x1234\n'
[ "$status" = 1 ] || ec_fail "0x1234: status $status"
has "$work/out" 'write fail\n\r ' || ec_fail "0x1234: no failure verdict"
has "$work/out" "$ATTEMPTS" 0 || ec_fail "0x1234: something was written"
[ "$(cat "$work/out.stderr")" = "ecalias: the config_id must be a whole decimal number from 0 to 65535; nothing was written" ] \
  || ec_fail "0x1234: standard error says $(cat "$work/out.stderr")"
cmp -s "$images/slave-1.bin" "$work/after-1.bin" || ec_fail "0x1234: the image changed"

# --- 3. No slaves ------------------------------------------------------------------------
run "sim:--slaves 0" '5\n'
[ "$status" = 1 ] || ec_fail "no slaves: status $status"
[ "$(cat "$work/out")" = $'Number of slaves:0\r\n=============End=============\r' ] || ec_fail "no slaves: output $(od -c "$work/out")"
grep -q '^ecalias: no slaves found: no slave answered on sim:--slaves 0; ' "$work/out.stderr" \
  || ec_fail "no slaves: standard error says $(cat "$work/out.stderr")"

# --- 4. A pseudo-device ----------------------------------------------------------------------
run any '5\n'
[ "$status" = 1 ] || ec_fail "any: status $status"
grep -q '^ecalias: no slaves found: any is a pseudo-device' "$work/out.stderr" \
  || ec_fail "any: standard error says $(cat "$work/out.stderr")"
! grep -q 'could not open' "$work/out" || ec_fail "any: it was opened"
echo "PASS: the dialog on sim: segments: statuses, the image written back, reasons"
