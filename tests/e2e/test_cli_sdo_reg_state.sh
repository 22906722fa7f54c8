#!/usr/bin/env bash
# sdo, reg and state from the shell. First on in-process segments (no root): every value
# type read against ecsim's --object definitions and written, range errors that send
# nothing, segmented octets of 5000 bytes, aborts with their code and meaning, register
# and register-window reads, state changes with the status codes ecsim produces. Then
# over veth against one long-running ecsim, where what one run writes the next one reads
# back: every type, octets from a file, registers and the register window; states.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
E=$EC_BUILD_DIR/ecalias
[ -x "$E" ] || ec_fail "ecalias is not built in $EC_BUILD_DIR"
WORK=$(mktemp -d /tmp/ecalias-cli-sdo.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1

OBJECTS=(
  "0x4000:0:bool:true" "0x4001:0:u8:255" "0x4002:0:u16:65535" "0x4003:0:u32:4294967295"
  "0x4004:0:u64:18446744073709551615" "0x4005:0:i8:-128" "0x4006:0:i16:-32768" "0x4007:0:i32:-2147483648"
  "0x4008:0:i64:-9223372036854775808" "0x4009:0:f32:1.5" "0x400a:0:f64:-0.25" "0x400b:0:string:hello"
  "0x400c:0:octets:5000" "0x400d:0:ro-u16:7"
)
object_options() {  # slave selector
  local o
  for o in "${OBJECTS[@]}"; do printf -- '--object %s:%s ' "$1" "$o"; done
}
SIM="sim:--slaves 2 $(object_options 1) --register 2:0x10:0xABCD"

run() {
  "$E" "$@" </dev/null >"$WORK/out" 2>"$WORK/err"
  rc=$?
}
expect_rc() {  # status, what
  [ "$rc" -eq "$1" ] || { cat "$WORK/out" "$WORK/err" >&2; ec_fail "$2: status $rc, expected $1"; }
}
expect_out() {  # text, what
  [ "$(cat "$WORK/out")" = "$1" ] || ec_fail "$2: \"$(cat "$WORK/out")\", expected \"$1\""
}
json_true() {  # expression over `doc`, what
  python3 -c 'import json, sys; doc = json.load(open(sys.argv[1])); sys.exit(0 if eval("(" + sys.argv[2] + ")") else 1)' \
    "$WORK/out" "$1" || { cat "$WORK/out" >&2; ec_fail "$2"; }
}
# The octets ecsim gives an object of N bytes: 0, 1, 2, ... (mod 256), in hex.
octets_hex() { python3 -c 'import sys; print(bytes(i % 256 for i in range(int(sys.argv[1]))).hex())' "$1"; }

# ---- SDO reads of every type, text and JSON ----
reads=(
  "0x4000:0 bool true True" "0x4001:0 u8 255 255" "0x4002:0 u16 65535 65535" "0x4003:0 u32 4294967295 4294967295"
  "0x4004:0 u64 18446744073709551615 18446744073709551615" "0x4005:0 i8 -128 -128" "0x4006:0 i16 -32768 -32768"
  "0x4007:0 i32 -2147483648 -2147483648" "0x4008:0 i64 -9223372036854775808 -9223372036854775808"
  "0x4009:0 f32 1.5 1.5" "0x400a:0 f64 -0.25 -0.25" "0x400b:0 string hello \"hello\""
)
for r in "${reads[@]}"; do
  read -r object type text json <<<"$r"
  run -i "$SIM" sdo read -p 1 "$object" -t "$type"
  expect_rc 0 "sdo read $object -t $type"
  expect_out "$text" "sdo read $object -t $type"
  run --json -i "$SIM" sdo read -p 1 "$object" -t "$type"
  json_true "doc['value'] == $json and doc['type'] == '$type' and doc['index'] == ${object%%:*}" "sdo read --json $object"
done
run -i "$SIM" sdo read -p 1 0x4002:0
expect_out "ffff (2 bytes)" "sdo read without -t"
# Complete access: the whole object from subindex 1 (u16, u32) or 0 (with the count).
CA="sim:--slaves 1 --object 1:0x6000:0:u8:2 --object 1:0x6000:1:u16:0x1234 --object 1:0x6000:2:u32:5"
run -i "$CA" sdo read -p 1 0x6000:1 --complete
expect_out "341205000000 (6 bytes)" "complete access from subindex 1"
run -i "$CA" sdo read -p 1 0x6000:0 --complete
expect_out "0200341205000000 (8 bytes)" "complete access from subindex 0"
run -i "$CA" sdo write -p 1 0x6000:1 0a0b05060708 -t octets --complete --yes
expect_rc 0 "complete access write"
run -i "$SIM" sdo read -p 1 0x4003:0 -t u16
expect_rc 1 "sdo read with a type of another size"
grep -q "the value has 4 bytes, a u16 has 2" "$WORK/err" || ec_fail "size mismatch: $(cat "$WORK/err")"
# Segmented: 5000 bytes.
run -i "$SIM" sdo read -p 1 0x400c:0
expect_rc 0 "sdo read of 5000 octets"
[ "$(cat "$WORK/out")" = "$(octets_hex 5000) (5000 bytes)" ] || ec_fail "5000 octets: $(head -c 80 "$WORK/out")"
run --json -i "$SIM" sdo read -p 1 0x400c:0 -t octets
json_true "doc['size'] == 5000 and doc['value'] == '$(octets_hex 5000)'" "5000 octets in JSON"

# ---- SDO writes: every type, range errors send nothing, aborts ----
writes=("0x4000:0 bool false" "0x4001:0 u8 0x7f" "0x4002:0 u16 1" "0x4003:0 u32 0" "0x4004:0 u64 0xFFFFFFFFFFFFFFFF"
  "0x4005:0 i8 127" "0x4006:0 i16 -1" "0x4007:0 i32 2147483647" "0x4008:0 i64 9223372036854775807"
  "0x4009:0 f32 -3.25" "0x400a:0 f64 1e300" "0x400b:0 string hallo")
for w in "${writes[@]}"; do
  read -r object type value <<<"$w"
  run -i "$SIM" sdo write -p 1 "$object" "$value" -t "$type" --yes
  expect_rc 0 "sdo write $object $value -t $type"
done
octets_hex 5000 | xxd -r -p >"$WORK/octets.bin"
run -i "$SIM" sdo write -p 1 0x400c:0 "@$WORK/octets.bin" -t octets --yes
expect_rc 0 "sdo write of 5000 octets from a file"
grep -q "<- 5000 bytes: written" "$WORK/out" || ec_fail "5000 octets written: $(cat "$WORK/out")"
for bad in "0x4001:0 256 u8" "0x4005:0 -129 i8" "0x4002:0 12abc u16" "0x4004:0 18446744073709551616 u64" \
  "0x4009:0 4e38 f32" "0x4000:0 2 bool" "0x400c:0 0a1 octets" "0x400c:0 @$WORK/missing octets" "0x4001:0 1 u9" \
  "0x10000:0 1 u8" "0x4001:256 1 u8"; do
  read -r object value type <<<"$bad"
  run -i "$SIM" sdo write -p 1 "$object" "$value" -t "$type" --yes
  expect_rc 2 "sdo write $object $value -t $type"
  [ ! -s "$WORK/out" ] || ec_fail "sdo write $value -t $type: output on a usage error"
done
run -i "$SIM" sdo write -p 1 0x4001:0 5 --yes
expect_rc 2 "sdo write without -t"
run -i "$SIM" sdo write -p 1 0x4001:0 5 -t u8
expect_rc 2 "sdo write without --yes off a terminal"
run -i "$SIM" sdo write -p 1 0x4001:0 5 -t u8 --dry-run
expect_rc 0 "sdo write --dry-run"
grep -q "dry run: nothing written" "$WORK/out" || ec_fail "dry run: $(cat "$WORK/out")"
aborts=("read 0x5000:0 0x06020000 object does not exist" "read 0x4001:3 0x06090011 subindex does not exist"
  "write 0x400d:0 0x06010002 attempt to write a read-only object" "write 0x4002:0 0x06070010 data type does not match")
for a in "${aborts[@]}"; do
  read -r verb object code meaning <<<"$a"
  if [ "$verb" = read ]; then
    run -i "$SIM" sdo read -p 1 "$object"
  else
    run -i "$SIM" sdo write -p 1 "$object" 5 -t u32 --yes
  fi
  expect_rc 1 "sdo $verb $object"
  grep -q "abort $code $meaning" "$WORK/err" || ec_fail "sdo $verb $object: $(cat "$WORK/err")"
done
run --json -i "$SIM" sdo read -p 1 0x5000:0
json_true 'doc["error"]["code"] == -9 and "0x06020000" in doc["error"]["message"]' "abort in JSON"

# ---- registers ----
run -i "$SIM" reg read -p 1 0x0130
expect_out "2 (0x0002)" "reg read of the AL status"
run --json -i "$SIM" reg read -p 1 0x0010 -n 2
json_true 'doc["hex"] == "0110" and doc["size"] == 2' "reg read -n 2 of the station address (0x1001)"
run -i "$SIM" reg read -p 2 --window 0x10
expect_out "43981 (0x0000abcd)" "reg read --window"
run -i "$SIM" reg write -p 1 0x0f80 0x1234 --yes
expect_rc 0 "reg write"
for bad in "reg write -p 1 0x0f80 /etc/passwd --yes" "reg write -p 1 0x0f80 @/etc/passwd -t octets --yes" \
  "reg write -p 1 0x10000 1 --yes" "reg write -p 1 0x0f80 70000 --yes" "reg read -p 1 0x0f80 -n 0" \
  "reg read -p 1 0xffff -n 2" "reg read -p 1 0x10 -t u16 -n 4" "reg read -p 1 --window 0x10 0x20"; do
  # shellcheck disable=SC2086
  run -i "$SIM" $bad
  expect_rc 2 "$bad"
done
grep -q "is not a" "$WORK/err" || true

# ---- states with ecsim's status codes ----
run -i "$SIM" state
expect_rc 0 "state"
grep -q "^1    PREOP      0x0000 no error" "$WORK/out" || ec_fail "state: $(cat "$WORK/out")"
run -i "$SIM" state -p 1 op --yes --timeout 300
expect_rc 1 "PREOP to OP"
grep -q "^1    PREOP+ERR  0x0011 invalid requested state change  (NOT REACHED)" "$WORK/out" ||
  ec_fail "PREOP to OP: $(cat "$WORK/out")"
run --json -i "$SIM" state -p 1 op --yes --timeout 300
expect_rc 1 "PREOP to OP, JSON"
json_true 'doc["error"]["code"] == -20 and doc["slaves"][0]["status_code"] == 0x11 and not doc["slaves"][0]["reached"] and doc["slaves"][0]["error"]' \
  "the refused OP in JSON"
run --json -i "$SIM" state safeop --yes
expect_rc 0 "every slave to SAFEOP"
json_true '[s["state"] for s in doc["slaves"]] == ["SAFEOP", "SAFEOP"] and all(s["reached"] for s in doc["slaves"]) and doc["ok"]' \
  "state safeop --json"
run -i "$SIM" state -p 3
expect_rc 1 "state of a missing slave"
run -i "$SIM" state -p 1 boot --yes
expect_rc 2 "state boot"
run -i "$SIM" state -p 1 init
expect_rc 2 "state change without --yes off a terminal"

# ---- over veth against ecsim: what one run writes, the next reads back ----
ec_netns_up
ec_start_ecsim --slaves 2 $(object_options 1)
IF=$EC_IF_MASTER
# Usage errors and bad files send nothing: a capture of the master's side stays empty
# (and a real read, captured the same way, is seen).
capture_start() {
  ip netns exec "$EC_NS_MASTER" tcpdump -Z root --immediate-mode -U -i "$IF" -w "$1" 2>"$WORK/tcpdump.err" &
  capture=$!
  local i
  for i in $(seq 1 100); do
    grep -q "listening on" "$WORK/tcpdump.err" 2>/dev/null && return 0
    sleep 0.05
  done
  ec_fail "tcpdump did not start: $(cat "$WORK/tcpdump.err")"
}
capture_frames() {  # file: stops the capture and counts its frames
  sleep 0.3
  kill -INT "$capture" 2>/dev/null
  wait "$capture" 2>/dev/null
  tcpdump -r "$1" 2>/dev/null | wc -l
}
if command -v tcpdump >/dev/null; then
  capture_start "$WORK/quiet.pcap"
  head -c 15 /dev/zero >"$WORK/odd.bin"
  for words in "sdo write -p 1 0x4001:0 256 -t u8 --yes" "reg write -p 1 0x0f80 /etc/passwd --yes" \
    "state -p 1 boot --yes" "sii write -p 1 $WORK/odd.bin --yes" "sii show --file $WORK/odd.bin" \
    "sii dump -p 1 --words 5-1"; do
    # shellcheck disable=SC2086
    ec_in_master "$E" -i "$IF" $words </dev/null >/dev/null 2>&1
    [ $? -eq 2 ] || ec_fail "veth: $words: not a usage error"
  done
  [ "$(capture_frames "$WORK/quiet.pcap")" -eq 0 ] || ec_fail "veth: a usage error sent frames"
  capture_start "$WORK/read.pcap"
  ec_in_master "$E" -i "$IF" sdo read -p 1 0x4001:0 </dev/null >/dev/null 2>&1 || ec_fail "veth: the first read failed"
  [ "$(capture_frames "$WORK/read.pcap")" -gt 0 ] || ec_fail "veth: the capture sees no frames at all"
else
  echo "tcpdump is missing: the check that usage errors send nothing is skipped" >&2
fi
vrun() {
  ec_in_master timeout 60 "$E" -i "$IF" "$@" </dev/null >"$WORK/out" 2>"$WORK/err"
  rc=$?
}
# Every type went through the in-process segment above; here a round trip of each kind
# (bool, unsigned, signed, float, text) keeps the run short.
for w in "${writes[0]}" "${writes[4]}" "${writes[6]}" "${writes[10]}" "${writes[11]}"; do
  read -r object type value <<<"$w"
  vrun sdo write -p 1 "$object" "$value" -t "$type" --yes
  expect_rc 0 "veth: sdo write $object $value -t $type"
  vrun --json sdo read -p 1 "$object" -t "$type"
  expect_rc 0 "veth: sdo read $object"
  python3 - "$WORK/out" "$type" "$value" <<'PY' || ec_fail "veth: $object read back $(cat "$WORK/out"), written $value"
import json, sys
doc, kind, text = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3]
want = {"bool": lambda t: t == "true", "string": str, "f32": float, "f64": float}.get(kind, lambda t: int(t, 0))(text)
sys.exit(0 if doc["value"] == want else 1)
PY
done
python3 -c 'import sys; sys.stdout.buffer.write(bytes((7 * i) % 251 for i in range(5000)))' >"$WORK/pattern.bin"
vrun sdo write -p 1 0x400c:0 "@$WORK/pattern.bin" -t octets --yes
expect_rc 0 "veth: 5000 octets written"
vrun sdo read -p 1 0x400c:0
[ "$(cat "$WORK/out")" = "$(xxd -p "$WORK/pattern.bin" | tr -d '\n') (5000 bytes)" ] ||
  ec_fail "veth: the 5000 octets did not read back"
vrun reg write -p 2 0x0f80 0xbeef --yes
expect_rc 0 "veth: reg write"
vrun reg read -p 2 0x0f80 -n 2
expect_out "efbe (2 bytes)" "veth: reg read back"
vrun reg write -p 2 --window 0x22 0x12345678 --yes
expect_rc 0 "veth: window write"
vrun reg read -p 2 --window 0x22
expect_out "305419896 (0x12345678)" "veth: window read back"
# States over the wire. Every run scans, and the scan leaves the states the slaves are in
# (slaves found in INIT get their mailboxes and PREOP): a state carries to the next run.
vrun state -p 1 op --yes --timeout 300
expect_rc 1 "veth: PREOP to OP"
grep -q "^1    PREOP+ERR  0x0011 invalid requested state change" "$WORK/out" ||
  ec_fail "veth: the refused OP: $(cat "$WORK/out")"
vrun --json state -p 1 safeop --ack --yes
expect_rc 0 "veth: SAFEOP with --ack"
json_true 'doc["slaves"][0]["state"] == "SAFEOP" and doc["slaves"][0]["status_code"] == 0 and doc["acknowledge"]' \
  "veth: SAFEOP with --ack"
vrun --json state
json_true '[s["state"] for s in doc["slaves"]] == ["SAFEOP", "PREOP"]' "veth: the next run finds SAFEOP kept"
echo "PASS"
