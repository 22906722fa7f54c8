#!/usr/bin/env bash
# The module as a host sees it: exactly the eleven functions exported, the header usable
# from C and C++, and an install into a staging root whose pkg-config file builds a host
# program. Nothing here runs the master: programs are compiled and linked, never started.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"

lib=$EC_BUILD_DIR/libecdevice.so
[ -f "$lib" ] || ec_fail "libecdevice.so is not built in $EC_BUILD_DIR"
work=$(mktemp -d /tmp/ecalias-module.XXXXXX)
trap 'rm -rf "$work"' EXIT

# 1. Exactly the eleven names, nothing else.
expected="Deinit FPRead FPWrite GetSlaveCount GetSlaveHardFlag GetSlaveName Init ReadRegister SdoRead SdoWrite WriteRegister"
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$exported" = "$expected" ] || ec_fail "exported symbols differ:
  got:      $exported
  expected: $expected"
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libecdevice.so.1" ] || ec_fail "SONAME is '$soname'"

# 2. The header from strict C and from C++, linked against the built module.
cc -std=c99 -pedantic -Wall -Wextra -Werror -I"$EC_SOURCE_DIR/api" "$EC_SOURCE_DIR/tests/host/list_slaves.c" \
  -L"$EC_BUILD_DIR" -lecdevice -o "$work/list_slaves" || ec_fail "the C host does not build"
c++ -std=c++17 -Wall -Wextra -Werror -I"$EC_SOURCE_DIR/api" "$EC_SOURCE_DIR/tests/host/header_check.cpp" \
  -L"$EC_BUILD_DIR" -lecdevice -o "$work/header_check" || ec_fail "the header does not work from C++"
undefined=$(nm -u "$work/list_slaves" | awk '{print $2}' | grep -E '^(Init|Deinit|GetSlave)' | sort | tr '\n' ' ')
[ "$undefined" = "Deinit GetSlaveCount GetSlaveHardFlag GetSlaveName Init " ] \
  || ec_fail "the host does not import the plain names: $undefined"

# 3. Install under a prefix chosen at install time (not the configured one); the
#    pkg-config file is relocatable, so a host builds from wherever the files landed.
stage=$work/stage/opt/ecalias
cmake --install "$EC_BUILD_DIR" --prefix "$stage" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log" >&2; ec_fail "cmake --install failed"; }
libdir=$(sed -n 's/^libdir=\${prefix}\///p' "$EC_BUILD_DIR/ecdevice.pc")
[ -n "$libdir" ] || libdir=lib
for f in bin/ecalias include/ecdevice.h "$libdir/libecdevice.so" "$libdir/libecdevice.so.1" "$libdir/pkgconfig/ecdevice.pc"; do
  [ -e "$stage/$f" ] || ec_fail "not installed: $f"
done
if command -v pkg-config >/dev/null; then
  export PKG_CONFIG_PATH=$stage/$libdir/pkgconfig
  [ "$(pkg-config --modversion ecdevice)" = "1.0.0" ] || ec_fail "pkg-config version: $(pkg-config --modversion ecdevice)"
  [ "$(cd "$(pkg-config --variable=prefix ecdevice)" && pwd)" = "$stage" ] \
    || ec_fail "the pkg-config file does not point at the install: $(pkg-config --variable=prefix ecdevice)"
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Werror $(pkg-config --cflags ecdevice) "$EC_SOURCE_DIR/tests/host/list_slaves.c" \
    $(pkg-config --libs ecdevice) -o "$work/list_slaves_installed" || ec_fail "a host does not build with pkg-config"
else
  echo "note: pkg-config missing, its check was left out" >&2
fi
echo "PASS: module exports, header and install"
