# Helpers of the end-to-end scripts that drive the console tool. Source after lib.sh.
#
#   tool_run IN OUT [LIMIT_TENTHS]  runs one dialog under LC_ALL=C with IN as standard
#                                   input (a file or pipe, not a terminal), waits for its
#                                   last message and for the tool to end by itself;
#                                   standard output in OUT, standard error in
#                                   OUT.stderr, the exit status in TOOL_STATUS
#   tool_on_terminal OUT INPUT      starts the tool with a terminal as standard input,
#                                   types INPUT (escapes as printf); TOOL_PID is the tool (stop it with
#                                   tool_stop_terminal)
#   idle_for_a_second PID           the process stays alive and uses no processor for 1 s
#   has OUT FORMAT ARGS...          the output holds these printf bytes
#   attempts OUT                    the write attempt count the dialog showed
#   header IMAGE                    EEPROM words 0-7 of an image file, decimal
#   checksum_ok IMAGE               word 7 is the CRC-8 of words 0-6 with high byte 0

# The dialog's last message, in GBK.
LAST_GBK='\xb3\xcc\xd0\xf2\xbd\xe1\xca\xf8\xd4\xcb\xd0\xd0\xa3\xac\xc7\xeb\xb9\xd8\xb1\xd5\xc8\xed\xbc\xfe\xa3\xac\xb4\xd3\xd5\xbe\xc4\xa3\xbf\xe9\xb6\xcf\xb5\xe7!\n\r '
ATTEMPTS='\xd0\xb4\xb2\xd9\xd7\xf7\xd6\xd8\xca\xd4\xb4\xce\xca\xfdcnt---> %d \n\r '
TOOL_PID=
TOOL_STATUS=
TERMINAL_PID=

# True when OUT ends with the bytes of the printf format in $EC_WORK/want-end.
ends_with_want() {
  local n
  n=$(stat -c %s "$EC_WORK/want-end")
  [ "$(stat -c %s "$1")" -ge "$n" ] && tail -c "$n" "$1" | cmp -s - "$EC_WORK/want-end"
}

tool_run() {
  local input=$1 output=$2 limit=${3:-600} i
  # Started directly, not through a shell function, so that $! is ecalias itself.
  ip netns exec "$EC_NS_MASTER" env -i PATH="$PATH" LC_ALL=C "$EC_BUILD_DIR/ecalias" <"$input" >"$output" 2>"$output.stderr" &
  TOOL_PID=$!
  TOOL_STATUS=
  printf "$LAST_GBK" >"$EC_WORK/want-end"
  for i in $(seq 1 "$limit"); do
    if ! kill -0 "$TOOL_PID" 2>/dev/null; then
      wait "$TOOL_PID"
      TOOL_STATUS=$?
      ends_with_want "$output" && return 0
      od -c "$output" | tail >&2
      cat "$output.stderr" >&2
      ec_fail "ecalias ended (status $TOOL_STATUS) before its last message (input $(od -c "$input" | head -1))"
    fi
    sleep 0.1
  done
  kill "$TOOL_PID" 2>/dev/null
  wait "$TOOL_PID" 2>/dev/null
  od -c "$output" | tail >&2
  cat "$output.stderr" >&2
  if ends_with_want "$output"; then
    ec_fail "ecalias did not end after its last message although its input is not a terminal"
  fi
  ec_fail "ecalias did not reach its last message (input $(od -c "$input" | head -1))"
}

# A terminal for standard input: python's pty module holds the other side open (and
# types INPUT) until the tool is stopped, so the tool sees a terminal that stays.
tool_on_terminal() {
  local output=$1 input=$2
  rm -f "$EC_WORK/terminal.pid"
  python3 - "$EC_NS_MASTER" "$EC_BUILD_DIR/ecalias" "$output" "$input" "$EC_WORK/terminal.pid" "$PATH" <<'PY' &
import os, pty, subprocess, sys, time
ns, tool, output, text, pid_file, path = sys.argv[1:7]
master, slave = pty.openpty()
with open(output, "wb") as out, open(output + ".stderr", "wb") as err:
    child = subprocess.Popen(["ip", "netns", "exec", ns, "env", "-i", "PATH=" + path, "LC_ALL=C", tool],
                             stdin=slave, stdout=out, stderr=err)
open(pid_file, "w").write(str(child.pid))
if text:  # printf-style escapes, as the other helpers take them
    os.write(master, text.encode().decode("unicode_escape").encode("latin-1"))
child.wait()
os.close(master)
PY
  TERMINAL_PID=$!
  local i
  for i in $(seq 1 50); do
    [ -s "$EC_WORK/terminal.pid" ] && break
    sleep 0.1
  done
  TOOL_PID=$(cat "$EC_WORK/terminal.pid")
}

tool_stop_terminal() {
  kill "$TOOL_PID" 2>/dev/null
  wait "$TERMINAL_PID" 2>/dev/null
  TOOL_PID=
  TERMINAL_PID=
}

# Waits (up to LIMIT tenths) until OUT ends with the printf bytes FORMAT.
wait_for_end() {
  local output=$1 limit=$3 i
  printf "$2" >"$EC_WORK/want-end"
  for i in $(seq 1 "$limit"); do
    ends_with_want "$output" && return 0
    sleep 0.1
  done
  od -c "$output" | tail >&2
  return 1
}

idle_for_a_second() {
  local pid=$1 t0 t1
  ticks() { awk '{print $14 + $15}' /proc/"$1"/stat; }
  [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = ecalias ] || ec_fail "the process watched is not ecalias"
  t0=$(ticks "$pid")
  sleep 1
  kill -0 "$pid" 2>/dev/null || ec_fail "ecalias did not stay open on a terminal"
  t1=$(ticks "$pid")
  [ $((t1 - t0)) -le 5 ] || ec_fail "ecalias used $((t1 - t0)) clock ticks in 1 s while waiting to be closed"
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
