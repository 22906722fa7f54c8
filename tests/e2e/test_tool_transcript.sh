#!/usr/bin/env bash
# The console tool end to end: ecalias in the master namespace sets the station alias of
# slave 1 of a virtual segment (ecsim with three slaves, EEPROM images in files).
#  1. A normal run under LC_ALL=C: the prompt is on the output before the tool waits
#     for the number; the whole console transcript byte for byte (GBK texts); the
#     image: word 4 the new value, word 7 the checksum with high byte 0, all else as it was.
#  2. Its standard input a pipe, the tool ends after the last message with status 0. With
#     a terminal as standard input it stays alive after the last message and uses no
#     processor time, as it always did.
#  3. After an ecsim restart on the same images, a run under C.UTF-8 with 65535: the same
#     transcript in UTF-8, and word 4 = 65535.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -x "$EC_BUILD_DIR/ecalias" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

TOOL_PID=
tool_start() {  # stdin-file output-file locale
  # Started directly, not through a shell function, so that $! is ecalias itself.
  ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL="$3" "$EC_BUILD_DIR/ecalias" <"$1" >"$2" 2>"$2.stderr" &
  TOOL_PID=$!
}
tool_wait_end() {  # output-file printf-format: waits until the output ends with those bytes
  local want=$EC_WORK/want-end i n
  printf "$2" >"$want"
  n=$(stat -c %s "$want")
  for i in $(seq 1 600); do
    if [ "$(stat -c %s "$1")" -ge "$n" ] && tail -c "$n" "$1" | cmp -s - "$want"; then return 0; fi
    if ! kill -0 "$TOOL_PID" 2>/dev/null; then
      # It may have written the bytes and ended between the two looks.
      [ "$(stat -c %s "$1")" -ge "$n" ] && tail -c "$n" "$1" | cmp -s - "$want" && return 0
      od -c "$1" | tail -20 >&2
      ec_fail "ecalias ended before these bytes"
    fi
    sleep 0.1
  done
  od -c "$1" | tail -20 >&2
  ec_fail "ecalias did not reach its last message"
}
tool_stop() {
  kill "$TOOL_PID" 2>/dev/null
  wait "$TOOL_PID" 2>/dev/null
  TOOL_PID=
}
tool_status() {  # waits up to 5 s for the tool to end by itself; its exit status in TOOL_STATUS
  # Not called in $(...): a subshell is not the parent of ecalias and cannot wait for it.
  local i
  for i in $(seq 1 50); do
    kill -0 "$TOOL_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$TOOL_PID" 2>/dev/null && { tool_stop; ec_fail "ecalias did not end although its input is not a terminal"; }
  wait "$TOOL_PID"
  TOOL_STATUS=$?
  TOOL_PID=
}
header_words() {  # image-file: words 0-7 as decimal numbers
  python3 -c 'import struct,sys; print(*struct.unpack("<8H", open(sys.argv[1],"rb").read(16)))' "$1"
}

# The image of slave 1: a known header (alias 7, an old checksum word with a high byte),
# identity, mailbox words, a strings category with the name and a general category.
images=$EC_WORK/images
mkdir -p "$images"
python3 - "$images/slave-1.bin" <<'PY'
import struct, sys
def crc8(data):
    crc = 0xFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc
w = [0xFFFF] * 2048
w[0:7] = [0x0005, 0x0E00, 0x0000, 0x0000, 0x0007, 0x0000, 0x0000]
w[7] = 0xAB00 | crc8(struct.pack("<7H", *w[0:7]))
w[8:14] = [0x04D2, 0x0000, 0x1010, 0x0001, 0x0001, 0x0000]      # vendor, product, revision
w[14:24] = [0] * 10
w[0x18:0x1D] = [0x1000, 0x0080, 0x1080, 0x0080, 0x0004]          # mailboxes, CoE
w[0x1D:0x3E] = [0] * (0x3E - 0x1D)
w[0x3E:0x40] = [0x001F, 0x0001]
name = b"ORB-IO 8DI/8DO"
strings = bytes([1, len(name)]) + name
strings += b"\0" * (len(strings) % 2)
general = bytes([0, 0, 0, 1, 0, 0x23, 0, 0, 0, 0, 0, 0, 0x64, 0]) + bytes(18)
pos = 0x40
for kind, data in ((10, strings), (30, general)):
    w[pos] = kind
    w[pos + 1] = len(data) // 2
    w[pos + 2:pos + 2 + len(data) // 2] = struct.unpack("<%dH" % (len(data) // 2), data)
    pos += 2 + len(data) // 2
w[pos] = 0xFFFF
open(sys.argv[1], "wb").write(struct.pack("<2048H", *w))
PY
cp "$images/slave-1.bin" "$EC_WORK/slave-1.orig"
read -r -a before <<<"$(header_words "$images/slave-1.bin")"

ec_start_ecsim --slaves 3 --eeprom-dir "$images"

# --- 1. Normal run, GBK texts ------------------------------------------------------
# The number comes through a pipe only once the prompt has reached the output file:
# the tool must flush its questions before it waits for the answer.
mkfifo "$EC_WORK/in1"
tool_start "$EC_WORK/in1" "$EC_WORK/out1" C
exec 3>"$EC_WORK/in1"
tool_wait_end "$EC_WORK/out1" '\xc7\xeb\xca\xe4\xc8\xebconfig_id\xa3\xac\xd2\xd4\xbb\xd8\xb3\xb5\xbc\xfc\xbd\xe1\xca\xf8\xa3\xac\xca\xe4\xc8\xeb\xb7\xb6\xce\xa7(\xca\xae\xbd\xf8\xd6\xc6)--->[0~65535]  \n\r '
printf '4660\n' >&3
exec 3>&-
tool_wait_end "$EC_WORK/out1" '\xb3\xcc\xd0\xf2\xbd\xe1\xca\xf8\xd4\xcb\xd0\xd0\xa3\xac\xc7\xeb\xb9\xd8\xb1\xd5\xc8\xed\xbc\xfe\xa3\xac\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9\xb6\xcf\xb5\xe7!\n\r '

# The expected transcript, message by message.
transcript() {  # name current echo crc attempts readback verdict(pass|fail) dump1... dump2...
  local name=$1 current=$2 echo=$3 crc=$4 attempts=$5 readback=$6 verdict=$7 i word
  shift 7
  printf -- '-------------ORB:config_id tools\xa3\xbaR1.2-2021.03.02-----------------\n\r '
  printf 'slave number: %d,  name:%s  \n\r' 1 "$name"
  printf '\xb4\xd3\xd5\xbe\xb1\xe0\xba\xc5: %d,  \xb4\xd3\xd5\xbe\xc3\xfb:%s  \n\r' 1 "$name"
  printf -- '-----------------------------\n\r '
  printf 'before open this software, please restart the slave!\n\r '
  printf '\xd4\xcb\xd0\xd0\xb4\xcb\xc8\xed\xbc\xfe\xc7\xb0\xa3\xac\xc7\xeb\xc8\xb7\xb1\xa3\xd2\xd1\xd6\xd8\xc6\xf4\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9!\n\r '
  printf 'product name---> %s\n\r ' "$name"
  printf '\xb2\xfa\xc6\xb7\xc3\xfb---> %s\n\r ' "$name"
  printf '\xc4\xa3\xbf\xe9\xb5\xb1\xc7\xb0\xb5\xc4config_id\xce\xaa ---> %d \n\r ' "$current"
  printf -- '------------------------------\n\r '
  printf 'please scan your config_id,and press enter--->[0~65535]  \n\r '
  printf '\xc7\xeb\xca\xe4\xc8\xebconfig_id\xa3\xac\xd2\xd4\xbb\xd8\xb3\xb5\xbc\xfc\xbd\xe1\xca\xf8\xa3\xac\xca\xe4\xc8\xeb\xb7\xb6\xce\xa7(\xca\xae\xbd\xf8\xd6\xc6)--->[0~65535]  \n\r '
  printf '\xc4\xfa\xca\xe4\xc8\xeb\xb5\xc4\xca\xc7---> %d \n\r ' "$echo"
  for i in 0 1 2 3 4 5 6 7; do
    word=$1
    shift
    printf '  %02x ' $((word & 0xFF)) $((word >> 8))
  done
  printf '\n\r '
  printf 'new crc code is  %02x \n\r ' "$crc"
  printf -- '------------------------------\n\r '
  printf '\xbf\xaa\xca\xbc\xd0\xb4\xc8\xeb......\n\r '
  printf '\xd0\xb4\xb2\xd9\xd7\xf7\xd6\xd8\xca\xd4\xb4\xce\xca\xfdcnt---> %d \n\r ' "$attempts"
  for i in 0 1 2 3 4 5 6 7; do
    word=$1
    shift
    printf '  %02x ' $((word & 0xFF)) $((word >> 8))
  done
  printf ' \n\r '
  printf '\xc9\xe8\xd6\xc3\xba\xf3\xb5\xc4config_id\xce\xaa ---> %d \n\r ' "$readback"
  printf -- '------------------------------\n\r '
  if [ "$verdict" = pass ]; then
    printf 'write passed! \n\r '
    printf '\xd0\xb4\xc8\xeb\xb3\xc9\xb9\xa6! \n\r '
  else
    printf 'write fail\n\r '
    printf '\xd0\xb4\xc8\xeb\xca\xa7\xb0\xdc! \n\r '
  fi
  printf 'stop!\n\r '
  printf '\xb3\xcc\xd0\xf2\xbd\xe1\xca\xf8\xd4\xcb\xd0\xd0\xa3\xac\xc7\xeb\xb9\xd8\xb1\xd5\xc8\xed\xbc\xfe\xa3\xac\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9\xb6\xcf\xb5\xe7!\n\r '
}
crc_with_alias() {  # alias words0-6...: the checksum over words 0-6 with word 4 replaced
  python3 - "$@" <<'PY'
import struct, sys
alias, words = int(sys.argv[1]), [int(x) for x in sys.argv[2:9]]
words[4] = alias
crc = 0xFF
for b in struct.pack("<7H", *words):
    crc ^= b
    for _ in range(8):
        crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
print(crc)
PY
}

crc1=$(crc_with_alias 4660 "${before[@]}")
after1=("${before[@]}")
after1[4]=4660
after1[7]=$crc1
transcript "ORB-IO 8DI/8DO" 7 4660 "$crc1" 2 4660 pass "${before[@]}" "${after1[@]}" >"$EC_WORK/expected1"
if ! cmp -s "$EC_WORK/out1" "$EC_WORK/expected1"; then
  diff <(od -c "$EC_WORK/expected1") <(od -c "$EC_WORK/out1") | head -20 >&2
  ec_fail "the transcript of a normal run differs from the expected bytes"
fi
[ ! -s "$EC_WORK/out1.stderr" ] || ec_fail "ecalias wrote to standard error: $(cat "$EC_WORK/out1.stderr")"

# --- 2. Ends with its status from a pipe; alive and idle on a terminal ---------------
tool_status
[ "$TOOL_STATUS" = 0 ] || ec_fail "a run that passed ended with status $TOOL_STATUS"
source "$EC_SOURCE_DIR/tests/e2e/tool_lib.sh"
tool_on_terminal "$EC_WORK/out-tty" '4660\n'
wait_for_end "$EC_WORK/out-tty" "$LAST_GBK" 600 || ec_fail "on a terminal the dialog did not reach its last message"
has "$EC_WORK/out-tty" 'write passed! \n\r ' || ec_fail "on a terminal the run did not pass"
idle_for_a_second "$TOOL_PID"
tool_stop_terminal

# The image after the run: word 4 and word 7 (high byte 0) changed, nothing else.
ec_stop_ecsim
read -r -a now <<<"$(header_words "$images/slave-1.bin")"
[ "${now[*]}" = "${after1[*]}" ] || ec_fail "header words after the run: ${now[*]}, expected ${after1[*]}"
[ $((now[7] >> 8)) -eq 0 ] || ec_fail "word 7 kept a high byte"
cmp -s <(tail -c +17 "$images/slave-1.bin") <(tail -c +17 "$EC_WORK/slave-1.orig") \
  || ec_fail "the image changed beyond words 0-7"
cmp -s <(head -c 8 "$images/slave-1.bin") <(head -c 8 "$EC_WORK/slave-1.orig") \
  || ec_fail "words 0-3 changed"

# --- 3. Restart on the same images; UTF-8 console; 65535 -----------------------------
ec_start_ecsim --slaves 3 --eeprom-dir "$images"
printf '65535\n' >"$EC_WORK/in2"
tool_start "$EC_WORK/in2" "$EC_WORK/out2" C.UTF-8
tool_wait_end "$EC_WORK/out2" '程序结束运行，请关闭软件，从站模块断电!\n\r '
tool_status
[ "$TOOL_STATUS" = 0 ] || ec_fail "the UTF-8 run ended with status $TOOL_STATUS"
crc2=$(crc_with_alias 65535 "${after1[@]}")
after2=("${after1[@]}")
after2[4]=65535
after2[7]=$crc2
transcript "ORB-IO 8DI/8DO" 4660 65535 "$crc2" 2 65535 pass "${after1[@]}" "${after2[@]}" | iconv -f GBK -t UTF-8 >"$EC_WORK/expected2" \
  || ec_fail "iconv cannot convert the expected transcript"
if ! cmp -s "$EC_WORK/out2" "$EC_WORK/expected2"; then
  diff <(od -c "$EC_WORK/expected2") <(od -c "$EC_WORK/out2") | head -20 >&2
  ec_fail "the UTF-8 transcript differs from the expected bytes"
fi
ec_stop_ecsim
read -r -a now <<<"$(header_words "$images/slave-1.bin")"
[ "${now[*]}" = "${after2[*]}" ] || ec_fail "header words after 65535: ${now[*]}, expected ${after2[*]}"
echo "PASS: transcript, image, status 0 from a pipe, idle wait on a terminal, UTF-8 console"
