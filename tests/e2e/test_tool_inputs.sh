#!/usr/bin/env bash
# The operator's input end to end, against ecsim with EEPROM images in files:
#  - no answer (input at its end, only white space) and a number beyond 32 bits: nothing
#    is written, the attempt count shows 0 and the verdict is "write fail";
#  - letters write 0, and -1 writes 65535, each with a valid header checksum.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"

images=$EC_WORK/images
image=$images/slave-1.bin
ECHO='\xc4\xfa\xca\xe4\xc8\xeb\xb5\xc4\xca\xc7---> %d \n\r '

# A known alias in the image to start from.
ec_start_ecsim --slaves 2 --eeprom-dir "$images" --alias 1:4242
ec_stop_ecsim
cp "$image" "$EC_WORK/baseline.bin"
[ "$(header "$image" | cut -d' ' -f5)" = 4242 ] || ec_fail "ecsim did not set up the alias: $(header "$image")"

# --- Inputs that are no answer: nothing written ---------------------------------------
ec_start_ecsim --slaves 2 --eeprom-dir "$images"
printf '' >"$EC_WORK/in-empty"
printf '  \n\t\n' >"$EC_WORK/in-blank"
printf '4294967296\n' >"$EC_WORK/in-huge"
for input in empty blank huge; do
  out=$EC_WORK/out-$input
  tool_run "$EC_WORK/in-$input" "$out"
  has "$out" "$ECHO" 0 || ec_fail "$input: the echo does not show 0"
  has "$out" "$ATTEMPTS" 0 || ec_fail "$input: the attempt count is not 0"
  has "$out" 'write fail\n\r ' || ec_fail "$input: no failure verdict"
  ! has "$out" 'write passed' || ec_fail "$input: reported success"
  has "$out" '\xc9\xe8\xd6\xc3\xba\xf3\xb5\xc4config_id\xce\xaa ---> %d \n\r ' 4242 \
    || ec_fail "$input: the read-back does not show the untouched alias"
done
ec_stop_ecsim
cmp -s "$image" "$EC_WORK/baseline.bin" || ec_fail "the image changed although nothing was to be written"

# --- Letters write 0 ----------------------------------------------------------------
ec_start_ecsim --slaves 2 --eeprom-dir "$images"
printf 'abc\n' >"$EC_WORK/in-letters"
tool_run "$EC_WORK/in-letters" "$EC_WORK/out-letters"
ec_stop_ecsim
has "$EC_WORK/out-letters" "$ECHO" 0 || ec_fail "letters: the echo does not show 0"
has "$EC_WORK/out-letters" "$ATTEMPTS" 2 || ec_fail "letters: the attempt count is not 2"
has "$EC_WORK/out-letters" 'write passed! \n\r ' || ec_fail "letters: no success verdict"
[ "$(header "$image" | cut -d' ' -f5)" = 0 ] || ec_fail "letters: word 4 is $(header "$image" | cut -d' ' -f5)"
checksum_ok "$image" || ec_fail "letters: the header checksum does not match: $(header "$image")"

# --- -1 writes 65535 ----------------------------------------------------------------
ec_start_ecsim --slaves 2 --eeprom-dir "$images"
printf -- '-1\n' >"$EC_WORK/in-minus"
tool_run "$EC_WORK/in-minus" "$EC_WORK/out-minus"
ec_stop_ecsim
has "$EC_WORK/out-minus" "$ECHO" 65535 || ec_fail "-1: the echo does not show 65535"
[ "$(header "$image" | cut -d' ' -f5)" = 65535 ] || ec_fail "-1: word 4 is $(header "$image" | cut -d' ' -f5)"
checksum_ok "$image" || ec_fail "-1: the header checksum does not match: $(header "$image")"
cmp -s <(tail -c +17 "$image") <(tail -c +17 "$EC_WORK/baseline.bin") || ec_fail "the image changed beyond words 0-7"
echo "PASS: no answer, oversized number, letters, -1"
