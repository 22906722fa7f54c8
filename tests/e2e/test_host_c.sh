#!/usr/bin/env bash
# A host program in C, linked with libecdevice.so, brings up a segment of three slaves
# in the master namespace: Init returns the count without any dialog, the queries answer
# and refuse bad slave numbers, Deinit closes and the count stays readable. Every slave
# is named from its SII, not only slave 1 as in the console tool.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -f "$EC_BUILD_DIR/libecdevice.so" ] || ec_fail "libecdevice.so is not built in $EC_BUILD_DIR"
ec_netns_up

host=$EC_WORK/list_slaves
# A module built with the sanitizers needs their runtime first in the program that loads it.
sanitize=
objdump -p "$EC_BUILD_DIR/libecdevice.so" | grep -q 'NEEDED.*libasan' && sanitize=-fsanitize=address,undefined
cc -std=c99 -Wall -Wextra -Werror $sanitize -I"$EC_SOURCE_DIR/api" "$EC_SOURCE_DIR/tests/host/list_slaves.c" \
  -L"$EC_BUILD_DIR" -lecdevice -Wl,-rpath,"$EC_BUILD_DIR" -o "$host" || ec_fail "the C host does not build"

ec_start_ecsim --slaves 3 --eeprom-dir "$EC_WORK/images"
# No standard input for the host: a dialog would wait on it, and the timeout would fire.
ec_in_master timeout 60 "$host" </dev/null >"$EC_WORK/out" 2>"$EC_WORK/err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$EC_WORK/out" "$EC_WORK/err" >&2; ec_fail "the host ended with $rc"; }

expected="init=3
count=3
slave1.name=ecsim slave 1
slave1.flag=0
slave2.name=ecsim slave 2
slave2.flag=0
slave3.name=ecsim slave 3
slave3.flag=0
name0=null
flag0=-1
flag_past_end=-1
name_past_end=null
deinit=0
count_after_deinit=3"
if [ "$(cat "$EC_WORK/out")" != "$expected" ]; then
  diff <(echo "$expected") "$EC_WORK/out" >&2
  ec_fail "the host's view of the segment differs"
fi
[ ! -s "$EC_WORK/err" ] || ec_fail "standard error: $(cat "$EC_WORK/err")"
echo "PASS: host program in C"
