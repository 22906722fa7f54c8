# Helpers of the end-to-end scripts that drive the console tool. Source after lib.sh.
#
#   tool_run IN OUT [LIMIT_TENTHS]  runs one dialog under LC_ALL=C with IN as standard
#                                   input, waits for its last message, then closes it;
#                                   standard output in OUT, standard error in OUT.stderr
#   has OUT FORMAT ARGS...          the output holds these printf bytes
#   attempts OUT                    the write attempt count the dialog showed
#   header IMAGE                    EEPROM words 0-7 of an image file, decimal
#   checksum_ok IMAGE               word 7 is the CRC-8 of words 0-6 with high byte 0

# The dialog's last message, in GBK: the tool never exits, so this tells that it is done.
LAST_GBK='\xb3\xcc\xd0\xf2\xbd\xe1\xca\xf8\xd4\xcb\xd0\xd0\xa3\xac\xc7\xeb\xb9\xd8\xb1\xd5\xc8\xed\xbc\xfe\xa3\xac\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9\xb6\xcf\xb5\xe7!\n\r '
ATTEMPTS='\xd0\xb4\xb2\xd9\xd7\xf7\xd6\xd8\xca\xd4\xb4\xce\xca\xfdcnt---> %d \n\r '
TOOL_PID=

tool_run() {
  local input=$1 output=$2 limit=${3:-600} want=$EC_WORK/want-end i n
  # Started directly, not through a shell function, so that $! is ecalias itself.
  ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" <"$input" >"$output" 2>"$output.stderr" &
  TOOL_PID=$!
  printf "$LAST_GBK" >"$want"
  n=$(stat -c %s "$want")
  for i in $(seq 1 "$limit"); do
    if [ "$(stat -c %s "$output")" -ge "$n" ] && tail -c "$n" "$output" | cmp -s - "$want"; then
      kill "$TOOL_PID"
      wait "$TOOL_PID" 2>/dev/null
      return 0
    fi
    kill -0 "$TOOL_PID" 2>/dev/null || { od -c "$output" | tail >&2; cat "$output.stderr" >&2; ec_fail "ecalias ended by itself"; }
    sleep 0.1
  done
  od -c "$output" | tail >&2
  cat "$output.stderr" >&2
  ec_fail "ecalias did not reach its last message (input $(od -c "$input" | head -1))"
}

has() {
  local file=$1
  shift
  printf "$@" >"$EC_WORK/needle"
  python3 -c 'import sys; sys.exit(open(sys.argv[2],"rb").read() not in open(sys.argv[1],"rb").read())' \
    "$file" "$EC_WORK/needle"
}

attempts() {
  python3 -c 'import re,sys; m = re.search(rb"cnt---> (\d+) ", open(sys.argv[1],"rb").read()); print(m.group(1).decode() if m else "")' "$1"
}

header() {
  python3 -c 'import struct,sys; print(*struct.unpack("<8H", open(sys.argv[1],"rb").read(16)))' "$1"
}

checksum_ok() {
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
