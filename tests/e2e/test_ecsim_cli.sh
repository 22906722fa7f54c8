#!/usr/bin/env bash
# ecsim's command line without a network: --help, --version, and values refused before
# anything is opened (exit 2, one line on standard error, nothing on standard output,
# no folder or image file left behind). Needs no namespace and no privilege: every
# refused case names an interface that does not exist, so a value that were wrongly
# taken would end at "no interface" (exit 1), never on a real adapter.
set -uo pipefail
EC_SOURCE_DIR=${EC_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
EC_BUILD_DIR=${EC_BUILD_DIR:-$EC_SOURCE_DIR/build}
ECSIM=$EC_BUILD_DIR/ecsim
NO_IFACE=ecsim-none0

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
[ -x "$ECSIM" ] || fail "ecsim is not built in $EC_BUILD_DIR"
! ip link show "$NO_IFACE" >/dev/null 2>&1 || fail "an interface $NO_IFACE exists; the test needs that name free"
WORK=$(mktemp -d /tmp/ecalias-ecsim-cli.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# --- help and version
help=$("$ECSIM" --help) || fail "--help exited $?"
[ "$("$ECSIM" -h)" = "$help" ] || fail "-h differs from --help"
for word in --iface --slaves --drop --seed --foreign --dup --late --busy-poll --blocking --cpu --print-header \
  --version --help --eeprom-size --eeprom-dir --image --name --mailbox-size --object --register --sdo-delay \
  --preop-reads-sii --come-back-after --eeprom-nack-writes; do
  grep -q -- "^  $word" <<<"$help" || fail "--help has no line for $word"
done
for type in bool u64 i64 f32 f64; do
  grep -q -- "$type" <<<"$help" || fail "--help does not name the object type $type"
done
grep -q "^Objects every slave has" <<<"$help" || fail "--help does not list the default objects"
grep -q "^  0x1018:1  ro-u32" <<<"$help" || fail "--help does not list the identity object"
long=$(awk 'length($0) > 79' <<<"$help")
[ -z "$long" ] || fail "--help lines wider than 79 columns: $long"

version=$(sed -nE 's/^project\(ecalias VERSION ([0-9.]+).*/\1/p' "$EC_SOURCE_DIR/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
for flag in --version -V; do
  out=$("$ECSIM" $flag 2>&1)
  rc=$?
  [ "$rc" -eq 0 ] || fail "$flag exited $rc"
  [ "$out" = "ecsim $version" ] || fail "$flag printed '$out', not 'ecsim $version'"
done

# --- refusals: exit 2, the expected line on stderr, stdout empty
refused() {  # expected-message args...
  local expected=$1 rc
  shift
  "$ECSIM" "$@" >"$WORK/out" 2>"$WORK/err"
  rc=$?
  [ "$rc" -eq 2 ] || fail "ecsim $* exited $rc, not 2: $(cat "$WORK/err")"
  [ ! -s "$WORK/out" ] || fail "ecsim $* wrote to standard output: $(cat "$WORK/out")"
  [ "$(wc -l <"$WORK/err")" -eq 1 ] || fail "ecsim $* wrote more than one line: $(cat "$WORK/err")"
  grep -qF -- "$expected" "$WORK/err" || fail "ecsim $*: '$(cat "$WORK/err")' lacks '$expected'"
}

refused "ecsim: --iface IF is required (see ecsim --help)" --slaves 3
refused "ecsim: unknown option --frobnicate (see ecsim --help)" --iface $NO_IFACE --frobnicate 1
refused "ecsim: unexpected argument 'stray' (see ecsim --help)" --iface $NO_IFACE stray
refused "ecsim: --drop needs a value" --iface $NO_IFACE --drop
refused "ecsim: --busy-poll takes no value" --iface $NO_IFACE --busy-poll=yes
refused "ecsim: bad value for --slaves: '1001' (expected 0 to 1000)" --iface $NO_IFACE --slaves 1001
refused "ecsim: bad value for --late: '0.5' (expected P:US, a probability and microseconds)" \
  --iface $NO_IFACE --late 0.5
refused "ecsim: bad value for --name: '7:X' (slave 7 is out of range: the segment has 3 slaves, counted from 1)" \
  --iface $NO_IFACE --slaves 3 --name 7:X
refused "(slave 4 is out of range: the segment has 3 slaves" --iface $NO_IFACE --name 4:X --slaves 3
refused "ecsim: bad value for --object: '1:0x4000:0:u16:70000' (expected a u16 value, 0 to 65535)" \
  --iface $NO_IFACE --object 1:0x4000:0:u16:70000
refused "(expected a i8 value, -128 to 127)" --iface $NO_IFACE --object 1:0x4000:0:i8:-129
refused "(expected a bool value, 0, 1, true or false)" --iface $NO_IFACE --object 1:0x4000:0:ro-bool:2
refused "(expected a f32 value, a number within the range of f32" --iface $NO_IFACE --object all:0x4000:0:f32:1e39
refused "ecsim: bad value for --mailbox-size: '1:7' (expected SEL:BYTES, 16 to 1486, or 0 for no mailbox)" \
  --iface $NO_IFACE --mailbox-size 1:7
refused "(expected SEL:BYTES, 2048, 4096, 8192, 16384, 32768 or 65536)" --iface $NO_IFACE --eeprom-size 1:5000

# A refused value after a folder and an image: neither is made.
refused "(slave 9 is out of range" --iface $NO_IFACE --slaves 2 --eeprom-dir "$WORK/images" \
  --image "1:$WORK/one.bin" --name 9:late
[ ! -e "$WORK/images" ] || fail "a refused command line made the folder"
[ ! -e "$WORK/one.bin" ] || fail "a refused command line made the image file"

# Sound options on a missing interface: exit 1 at the interface, not before.
err=$("$ECSIM" --iface $NO_IFACE --slaves 3 --eeprom-size 2:65536 --object all:0x4000:0:f64:-2.5 \
  --mailbox-size 1:16 --name "2:Drive A" 2>&1)
rc=$?
[ "$rc" -eq 1 ] || fail "sound options on a missing interface exited $rc: $err"
[ "$err" = "ecsim: no interface $NO_IFACE" ] || fail "missing interface message: '$err'"

# --print-header needs no interface and reads a 64 KiB image as well as a 4 KiB one.
printf '\x05\x00\x00\x00\x00\x00\x00\x00\x34\x12\x00\x00\x00\x00\x99\x00' >"$WORK/big.bin"
head -c 65520 /dev/zero | tr '\0' '\377' >>"$WORK/big.bin"
[ "$(stat -c %s "$WORK/big.bin")" -eq 65536 ] || fail "could not make a 64 KiB image"
[ "$("$ECSIM" --print-header "$WORK/big.bin")" = "0005 0000 0000 0000 1234 0000 0000 0099" ] \
  || fail "--print-header of a 64 KiB image: $("$ECSIM" --print-header "$WORK/big.bin" 2>&1)"

echo "ecsim command line: ok"
