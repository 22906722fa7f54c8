#!/usr/bin/env bash
# The host examples, a C program and a Python ctypes script, run against ecsim through
# libecdevice.so in the master namespace: both list the slaves, write and read back an
# object and a device register, read the AL status, and print the same lines.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
C_EXAMPLE=$EC_BUILD_DIR/examples/device_access
PY_EXAMPLE=$EC_SOURCE_DIR/examples/device_access.py
[ -x "$C_EXAMPLE" ] || ec_fail "the C example is not built in $EC_BUILD_DIR/examples"
[ -f "$EC_BUILD_DIR/libecdevice.so" ] || ec_fail "libecdevice.so is not built in $EC_BUILD_DIR"
command -v python3 >/dev/null || ec_skip "python3 is missing"
ec_netns_up

ec_start_ecsim --slaves 3 --name 2:"second slave" --identity all:0x00000abc:0x1234:1
expected="slaves: 3
slave 1: ecsim slave 1
slave 2: second slave
slave 3: ecsim slave 3
slave 3 vendor id (0x1018:01): 0x00000abc
slave 3 object 0x3000:00 written 0x12345678, read back 0x12345678
slave 3 register 0x20 written 1234, read back 1234
slave 3 AL status: 0x0002 (PRE-OP)"

run_example() {  # label command...
  local label=$1
  shift
  ec_in_master timeout 60 "$@" 3 0x3000:0=0x12345678 0x20=1234 </dev/null >"$EC_WORK/$label.out" 2>"$EC_WORK/$label.err"
  local rc=$?
  [ "$rc" -eq 0 ] || { cat "$EC_WORK/$label.out" "$EC_WORK/$label.err" >&2; ec_fail "the $label example ended with $rc"; }
  if [ "$(cat "$EC_WORK/$label.out")" != "$expected" ]; then
    diff <(echo "$expected") "$EC_WORK/$label.out" >&2
    ec_fail "the $label example's output differs"
  fi
  [ ! -s "$EC_WORK/$label.err" ] || ec_fail "$label standard error: $(cat "$EC_WORK/$label.err")"
}
run_example c "$C_EXAMPLE"
# The C example changed the object and the register; the Python one writes the same
# values again and must read them back just the same.
# A sanitized library must have its runtime loaded first; the interpreter's own
# allocations are not the module's, so leak checking is left to the C example.
preload=()
if objdump -p "$EC_BUILD_DIR/libecdevice.so" 2>/dev/null | grep -q 'NEEDED.*libasan'; then
  preload=(LD_PRELOAD="$(cc -print-file-name=libasan.so) $(cc -print-file-name=libubsan.so)"
           ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0")
fi
run_example python env "${preload[@]}" ECDEVICE_LIBRARY="$EC_BUILD_DIR/libecdevice.so" python3 "$PY_EXAMPLE"
echo "PASS: host examples in C and Python"
