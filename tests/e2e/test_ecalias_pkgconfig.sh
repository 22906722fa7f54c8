#!/usr/bin/env bash
# A C and a C++ program built only with `pkg-config --cflags --libs ecalias` (the build
# tree's ecalias.pc) list the slaves of an in-process segment of five, read an SDO, set
# slave 3's station alias and print the report. Needs no namespace and no privileges.
set -uo pipefail
: "${EC_BUILD_DIR:?}" "${EC_SOURCE_DIR:?}"
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$EC_BUILD_DIR/libecalias.so" ] || fail "libecalias.so is not built in $EC_BUILD_DIR"
[ -f "$EC_BUILD_DIR/pkgconfig/ecalias.pc" ] || fail "the build tree's ecalias.pc is missing"
command -v pkg-config >/dev/null || { echo "SKIP: pkg-config is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PKG_CONFIG_PATH="$EC_BUILD_DIR/pkgconfig"
flags=$(pkg-config --cflags --libs ecalias) || fail "pkg-config does not know ecalias"
[ "$(pkg-config --modversion ecalias)" = "$(sed -n 's/^#define ECALIAS_VERSION "\(.*\)"/\1/p' "$EC_BUILD_DIR/include/ecalias_version.h")" ] ||
  fail "the .pc and the header disagree on the version"
# A library built with the sanitizers needs their runtime in the program that loads it.
sanitize=
objdump -p "$EC_BUILD_DIR/libecalias.so" | grep -q 'NEEDED.*libasan' && sanitize=-fsanitize=address,undefined
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror $sanitize "$EC_SOURCE_DIR/tests/host/ecalias_list.c" $flags -o "$work/list_c" ||
  fail "the C program does not build with the pkg-config flags alone"
# shellcheck disable=SC2086
c++ -std=c++17 -Wall -Wextra -Werror $sanitize "$EC_SOURCE_DIR/tests/host/ecalias_list.cpp" $flags -o "$work/list_cpp" ||
  fail "the C++ program does not build with the pkg-config flags alone"

expected_slaves() {
  for n in 1 2 3 4 5; do
    printf 'slave%d=ecsim slave %d vendor=0x00000ec5 product=0x%08x station=0x%04x alias=0 complete=1\n' \
      "$n" "$n" $((0x10000 + n)) $((0x1000 + n))
  done
}
expected="version=$(pkg-config --modversion ecalias)
count=5
$(expected_slaves)
sdo.0x1018:1=0x00000ec5 size=4
alias.before=0 alias.written=291 checksum.written=$(printf '0x%04x' 0)
close=0"
for program in list_c list_cpp; do
  timeout 60 "$work/$program" >"$work/$program.out" 2>"$work/$program.err"
  rc=$?
  [ "$rc" -eq 0 ] || { cat "$work/$program.out" "$work/$program.err" >&2; fail "$program ended with $rc"; }
  [ -s "$work/$program.err" ] && { cat "$work/$program.err" >&2; fail "$program wrote to standard error"; }
  # The checksum depends on the header: take it from the output, check the rest exactly.
  got=$(sed 's/ checksum.written=0x[0-9a-f]*/ checksum.written=0x0000/; s/ verified=1 register=0 register_shows_new=0$//' "$work/$program.out")
  if [ "$got" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$got") >&2
    fail "$program printed something else"
  fi
  grep -q ' verified=1 register=0 register_shows_new=0$' "$work/$program.out" ||
    fail "$program: the alias was not verified, or register 0x0012 showed it before a power cycle"
done
# The library exports the ec_ functions only, under its version node.
nm -D --defined-only "$EC_BUILD_DIR/libecalias.so" | awk '{print $3}' | grep -v '^ECALIAS_1.0$' | grep -v '^ec_.*@@ECALIAS_1.0$' &&
  fail "libecalias.so exports names outside ec_*"
# The legacy library keeps exactly its eleven names.
legacy=$(nm -D --defined-only "$EC_BUILD_DIR/libecdevice.so" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$legacy" = "Deinit FPRead FPWrite GetSlaveCount GetSlaveHardFlag GetSlaveName Init ReadRegister SdoRead SdoWrite WriteRegister " ] ||
  fail "libecdevice.so exports: $legacy"

# Installed: the .pc finds the headers and the library wherever the tree was installed.
cmake --install "$EC_BUILD_DIR" --prefix "$work/inst" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "install failed"; }
pc=$(find "$work/inst" -name ecalias.pc | head -n 1)
[ -n "$pc" ] || fail "ecalias.pc is not installed"
[ -f "$(dirname "$pc")/../../include/ecalias.h" ] && [ -f "$(dirname "$pc")/../../include/ecalias_version.h" ] ||
  fail "ecalias.h and ecalias_version.h are not installed beside the .pc's include folder"
installed_flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs ecalias) || fail "the installed .pc is unusable"
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror $sanitize "$EC_SOURCE_DIR/tests/host/ecalias_list.c" $installed_flags -o "$work/list_installed" ||
  fail "the C program does not build against the installed library"
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir ecalias) timeout 60 "$work/list_installed" >"$work/installed.out" 2>&1 ||
  { cat "$work/installed.out" >&2; fail "the program built against the installed library failed"; }
grep -q '^count=5$' "$work/installed.out" || fail "the installed library did not see five slaves"
echo "PASS"
