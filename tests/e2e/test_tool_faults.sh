#!/usr/bin/env bash
# The console tool on a misbehaving segment:
#  - a slave whose EEPROM refuses every command: the header cannot be read, so nothing
#    is written and the verdict is "write fail" (never a false success);
#  - 10% of the frames lost on the wire: the resends carry the dialog through, the
#    verdict is "write passed" and the image holds the value with a matching checksum.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

LAST_GBK='\xb3\xcc\xd0\xf2\xbd\xe1\xca\xf8\xd4\xcb\xd0\xd0\xa3\xac\xc7\xeb\xb9\xd8\xb1\xd5\xc8\xed\xbc\xfe\xa3\xac\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9\xb6\xcf\xb5\xe7!\n\r '
TOOL_PID=
tool_run() {  # input-file output-file: one dialog under LC_ALL=C, stopped after its last message
  local want=$EC_WORK/want-end i n
  # Started directly, not through a shell function, so that $! is ecalias itself.
  ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" <"$1" >"$2" 2>&1 &
  TOOL_PID=$!
  printf "$LAST_GBK" >"$want"
  n=$(stat -c %s "$want")
  for i in $(seq 1 1200); do
    if [ "$(stat -c %s "$2")" -ge "$n" ] && tail -c "$n" "$2" | cmp -s - "$want"; then
      kill "$TOOL_PID"
      wait "$TOOL_PID" 2>/dev/null
      return 0
    fi
    kill -0 "$TOOL_PID" 2>/dev/null || { od -c "$2" | tail >&2; ec_fail "ecalias ended by itself"; }
    sleep 0.1
  done
  od -c "$2" | tail >&2
  ec_fail "ecalias did not reach its last message"
}
has() {  # output-file printf-format args...: the output contains those bytes
  local file=$1
  shift
  printf "$@" >"$EC_WORK/needle"
  python3 -c 'import sys; sys.exit(open(sys.argv[2],"rb").read() not in open(sys.argv[1],"rb").read())' \
    "$file" "$EC_WORK/needle"
}
header() {
  python3 -c 'import struct,sys; print(*struct.unpack("<8H", open(sys.argv[1],"rb").read(16)))' "$1"
}
checksum_ok() {  # image-file: word 7 = CRC-8 of words 0-6, high byte 0
  python3 - "$1" <<'PY'
import sys
data = open(sys.argv[1], "rb").read(16)
crc = 0xFF
for b in data[:14]:
    crc ^= b
    for _ in range(8):
        crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
sys.exit(not (data[14] == crc and data[15] == 0))
PY
}
ATTEMPTS='\xd0\xb4\xb2\xd9\xd7\xf7\xd6\xd8\xca\xd4\xb4\xce\xca\xfdcnt---> %d \n\r '

# --- An EEPROM that refuses every command -------------------------------------------
dead=$EC_WORK/dead
ec_start_ecsim --slaves 1 --eeprom-dir "$dead" --alias 1:77
ec_stop_ecsim
cp "$dead/slave-1.bin" "$EC_WORK/dead.orig"
ec_start_ecsim --slaves 1 --eeprom-dir "$dead" --eeprom-nack 1:all
printf '77\n' >"$EC_WORK/in-dead"  # the alias it already has: a blind compare would "pass"
tool_run "$EC_WORK/in-dead" "$EC_WORK/out-dead"
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
tool_run "$EC_WORK/in-lossy" "$EC_WORK/out-lossy"
ec_stop_ecsim
has "$EC_WORK/out-lossy" 'write passed! \n\r ' || { od -c "$EC_WORK/out-lossy" | tail -30 >&2; ec_fail "10% loss: no success verdict"; }
[ "$(header "$lossy/slave-1.bin" | cut -d' ' -f5)" = 513 ] || ec_fail "10% loss: word 4 is not 513: $(header "$lossy/slave-1.bin")"
checksum_ok "$lossy/slave-1.bin" || ec_fail "10% loss: the header checksum does not match: $(header "$lossy/slave-1.bin")"
for n in 2 3; do
  checksum_ok "$lossy/slave-$n.bin" || ec_fail "10% loss: slave $n's header was touched"
done
echo "PASS: unreadable header, 10% frame loss"
