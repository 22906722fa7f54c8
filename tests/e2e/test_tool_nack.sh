#!/usr/bin/env bash
# A slave whose EEPROM refuses the first write command three times (one failed
# EepromWriteWord, after which the write goes through): the dialog retries on its shared
# attempt count, shows 3, and passes; the image holds the value and its checksum.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
[ -x "$EC_BUILD_DIR/ecsim" ] || ec_fail "ecsim is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
# Needs a fault that refuses write commands only: the bring-up and the dialog read the
# EEPROM many times before the first write.
"$EC_BUILD_DIR/ecsim" --help 2>&1 | grep -q -- '--eeprom-nack-writes' \
  || ec_skip "ecsim has no --eeprom-nack-writes option to refuse write commands only"
ec_netns_up

LAST_GBK='\xb3\xcc\xd0\xf2\xbd\xe1\xca\xf8\xd4\xcb\xd0\xd0\xa3\xac\xc7\xeb\xb9\xd8\xb1\xd5\xc8\xed\xbc\xfe\xa3\xac\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9\xb6\xcf\xb5\xe7!\n\r '
ATTEMPTS='\xd0\xb4\xb2\xd9\xd7\xf7\xd6\xd8\xca\xd4\xb4\xce\xca\xfdcnt---> %d \n\r '
has() {  # output-file printf-format args...: the output contains those bytes
  local file=$1
  shift
  printf "$@" >"$EC_WORK/needle"
  python3 -c 'import sys; sys.exit(open(sys.argv[2],"rb").read() not in open(sys.argv[1],"rb").read())' \
    "$file" "$EC_WORK/needle"
}

images=$EC_WORK/images
ec_start_ecsim --slaves 2 --eeprom-dir "$images" --eeprom-nack-writes 1:3
printf '258\n' >"$EC_WORK/in"
out=$EC_WORK/out
# Started directly, not through a shell function, so that $! is ecalias itself.
ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" <"$EC_WORK/in" >"$out" 2>&1 &
pid=$!
printf "$LAST_GBK" >"$EC_WORK/want"
n=$(stat -c %s "$EC_WORK/want")
for i in $(seq 1 600); do
  [ "$(stat -c %s "$out")" -ge "$n" ] && tail -c "$n" "$out" | cmp -s - "$EC_WORK/want" && break
  kill -0 "$pid" 2>/dev/null || ec_fail "ecalias ended by itself"
  sleep 0.1
done
kill "$pid"
wait "$pid" 2>/dev/null
ec_stop_ecsim
has "$out" "$ATTEMPTS" 3 || { od -c "$out" | tail -20 >&2; ec_fail "the attempt count is not 3"; }
has "$out" 'write passed! \n\r ' || ec_fail "no success verdict after the retried write"
python3 - "$images/slave-1.bin" <<'PY' || ec_fail "the image does not hold 258 with its checksum"
import struct, sys
data = open(sys.argv[1], "rb").read(16)
crc = 0xFF
for b in data[:14]:
    crc ^= b
    for _ in range(8):
        crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
words = struct.unpack("<8H", data)
sys.exit(not (words[4] == 258 and words[7] == crc))
PY
echo "PASS: refused write retried, count 3"
