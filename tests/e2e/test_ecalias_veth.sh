#!/usr/bin/env bash
# The C program built only with `pkg-config --cflags --libs ecalias` on a real capture
# path: the master namespace's end of a veth pair, ecsim serving five slaves on the
# other. It lists the slaves, reads an SDO, sets slave 3's station alias and prints the
# report; ecsim's image of slave 3 then holds the alias with its checksum, and the other
# slaves' images are untouched.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -f "$EC_BUILD_DIR/pkgconfig/ecalias.pc" ] || ec_fail "the build tree's ecalias.pc is missing"
command -v pkg-config >/dev/null || ec_skip "pkg-config is not installed"
ec_netns_up

export PKG_CONFIG_PATH="$EC_BUILD_DIR/pkgconfig"
sanitize=
objdump -p "$EC_BUILD_DIR/libecalias.so" | grep -q 'NEEDED.*libasan' && sanitize=-fsanitize=address,undefined
# shellcheck disable=SC2046,SC2086
cc -std=c99 -Wall -Wextra -Werror $sanitize "$EC_SOURCE_DIR/tests/host/ecalias_list.c" \
  $(pkg-config --cflags --libs ecalias) -o "$EC_WORK/list" || ec_fail "the C program does not build"

images=$EC_WORK/images
ec_start_ecsim --slaves 5 --eeprom-dir "$images"
ec_in_master timeout 60 "$EC_WORK/list" "$EC_IF_MASTER" >"$EC_WORK/out" 2>"$EC_WORK/err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$EC_WORK/out" "$EC_WORK/err" >&2; ec_fail "the program ended with $rc"; }
grep -qx 'count=5' "$EC_WORK/out" || ec_fail "not five slaves: $(cat "$EC_WORK/out")"
grep -qx 'sdo.0x1018:1=0x00000ec5 size=4' "$EC_WORK/out" || ec_fail "the SDO read: $(cat "$EC_WORK/out")"
grep -q '^alias.before=0 alias.written=291 .* verified=1 register=0 register_shows_new=0$' "$EC_WORK/out" ||
  ec_fail "the alias report: $(grep alias "$EC_WORK/out")"
[ "$(grep -c 'complete=1$' "$EC_WORK/out")" -eq 5 ] || ec_fail "a slave record is incomplete"
ec_stop_ecsim  # writes the images back

# Slave 3's image: alias 291 (0x0123) in word 4, its checksum in word 7; the others as made.
header=$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-3.bin")
python3 - "$images" <<'PY' || ec_fail "the images are not as written: slave 3 $header"
import struct, sys
def crc8(data):
    crc = 0xFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc
for n in range(1, 6):
    words = struct.unpack('<8H', open(f"{sys.argv[1]}/slave-{n}.bin", 'rb').read(16))
    raw = struct.pack('<7H', *words[:7])
    assert words[7] & 0xFF == crc8(raw), (n, words)
    assert words[4] == (0x0123 if n == 3 else 0), (n, words)
PY
echo "PASS: ecalias_list over veth against ecsim: five slaves, an SDO, slave 3's alias in its image"
