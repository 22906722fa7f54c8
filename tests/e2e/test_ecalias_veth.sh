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
# ecsim makes the image files as it starts: words 0-7 of each before the program runs.
declare -A before
for n in 1 2 3 4 5; do before[$n]=$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-$n.bin"); done
ec_in_master timeout 60 "$EC_WORK/list" "$EC_IF_MASTER" >"$EC_WORK/out" 2>"$EC_WORK/err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$EC_WORK/out" "$EC_WORK/err" >&2; ec_fail "the program ended with $rc"; }
grep -qx 'count=5' "$EC_WORK/out" || ec_fail "not five slaves: $(cat "$EC_WORK/out")"
grep -qx 'sdo.0x1018:1=0x00000ec5 size=4' "$EC_WORK/out" || ec_fail "the SDO read: $(cat "$EC_WORK/out")"
grep -q '^alias.before=0 alias.written=291 .* verified=1 register=0 register_shows_new=0$' "$EC_WORK/out" ||
  ec_fail "the alias report: $(grep alias "$EC_WORK/out")"
[ "$(grep -c 'complete=1$' "$EC_WORK/out")" -eq 5 ] || ec_fail "a slave record is incomplete"
checksum=$(sed -n 's/.* checksum.written=0x\([0-9a-f]*\) .*/\1/p' "$EC_WORK/out")
ec_stop_ecsim  # writes the images back

# Slave 3's image: words 0-3, 5 and 6 as before, 0x0123 in word 4, the reported checksum
# in word 7 (whose checksum is right is pinned by the library's unit tests); the other
# slaves' images untouched.
read -r -a old <<<"${before[3]}"
read -r -a now <<<"$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-3.bin")"
want="${old[0]} ${old[1]} ${old[2]} ${old[3]} 0123 ${old[5]} ${old[6]} $checksum"
[ "${now[*]}" = "$want" ] || ec_fail "slave 3's image holds ${now[*]}, expected $want"
for n in 1 2 4 5; do
  [ "$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-$n.bin")" = "${before[$n]}" ] ||
    ec_fail "slave $n's image changed"
done
echo "PASS: ecalias_list over veth against ecsim: five slaves, an SDO, slave 3's alias in its image"
