#!/usr/bin/env bash
# The operator's input end to end, against ecsim with EEPROM images in files, standard
# input a file (not a terminal, so the tool ends by itself with its status):
#  - no answer (input at its end, only white space): nothing is written, the attempt
#    count shows 0, the verdict is "write fail", status 1;
#  - anything but a whole decimal number 0..65535 (letters, 0x1234, 12abc, -1, 70000, a
#    number beyond 32 bits): the same, and standard error says what a config_id must be;
#  - a number with blanks around it and the CR LF of a barcode scanner: written with a
#    valid header checksum, "write passed!", status 0, nothing on standard error.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"

images=$EC_WORK/images
image=$images/slave-1.bin
ECHO='\xc4\xfa\xca\xe4\xc8\xeb\xb5\xc4\xca\xc7---> %d \n\r '
READ_BACK='\xc9\xe8\xd6\xc3\xba\xf3\xb5\xc4config_id\xce\xaa ---> %d \n\r '
MUST_BE='ecalias: the config_id must be a whole decimal number from 0 to 65535; nothing was written'
NO_ANSWER='ecalias: no config_id was read from standard input; nothing was written'

# A known alias in the image to start from.
ec_start_ecsim --slaves 2 --eeprom-dir "$images" --alias 1:4242
ec_stop_ecsim
cp "$image" "$EC_WORK/baseline.bin"
[ "$(header "$image" | cut -d' ' -f5)" = 4242 ] || ec_fail "ecsim did not set up the alias: $(header "$image")"

# --- Inputs that are no answer or no whole number 0..65535: nothing written -------------
ec_start_ecsim --slaves 2 --eeprom-dir "$images"
n=0
for input in '' '  \n\t\n' 'abc\n' '0x1234\n' '12abc\n' '-1\n' '70000\n' '4294967296\n'; do
  n=$((n + 1))
  printf -- "$input" >"$EC_WORK/in-$n"
  out=$EC_WORK/out-$n
  tool_run "$EC_WORK/in-$n" "$out"
  what="input '$(od -An -c "$EC_WORK/in-$n" | tr -s ' ')'"
  [ "$TOOL_STATUS" = 1 ] || ec_fail "$what: exit status $TOOL_STATUS, not 1"
  has "$out" "$ECHO" 0 || ec_fail "$what: the echo does not show 0"
  has "$out" "$ATTEMPTS" 0 || ec_fail "$what: the attempt count is not 0"
  has "$out" 'write fail\n\r ' || ec_fail "$what: no failure verdict"
  ! has "$out" 'write passed' || ec_fail "$what: reported success"
  has "$out" "$READ_BACK" 4242 || ec_fail "$what: the read-back does not show the untouched alias"
  if [ "$n" -le 2 ]; then want=$NO_ANSWER; else want=$MUST_BE; fi
  [ "$(cat "$out.stderr")" = "$want" ] || ec_fail "$what: standard error says '$(cat "$out.stderr")'"
done
ec_stop_ecsim
cmp -s "$image" "$EC_WORK/baseline.bin" || ec_fail "the image changed although nothing was to be written"

# --- A scanner's line: blanks and CR LF around the number ----------------------------------
ec_start_ecsim --slaves 2 --eeprom-dir "$images"
printf ' 65535\t\r\n' >"$EC_WORK/in-scanner"
tool_run "$EC_WORK/in-scanner" "$EC_WORK/out-scanner"
ec_stop_ecsim
[ "$TOOL_STATUS" = 0 ] || ec_fail "scanner line: exit status $TOOL_STATUS, not 0"
has "$EC_WORK/out-scanner" "$ECHO" 65535 || ec_fail "scanner line: the echo does not show 65535"
has "$EC_WORK/out-scanner" 'write passed! \n\r ' || ec_fail "scanner line: no success verdict"
[ ! -s "$EC_WORK/out-scanner.stderr" ] || ec_fail "scanner line: standard error says $(cat "$EC_WORK/out-scanner.stderr")"
[ "$(header "$image" | cut -d' ' -f5)" = 65535 ] || ec_fail "scanner line: word 4 is $(header "$image" | cut -d' ' -f5)"
checksum_ok "$image" || ec_fail "scanner line: the header checksum does not match: $(header "$image")"
cmp -s <(tail -c +17 "$image") <(tail -c +17 "$EC_WORK/baseline.bin") || ec_fail "the image changed beyond words 0-7"
echo "PASS: no answer and bad numbers write nothing (status 1); a scanner's line is written (status 0)"
