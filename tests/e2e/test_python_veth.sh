#!/usr/bin/env bash
# The Python package on a real capture path: the master namespace's end of a veth pair,
# ecsim serving three slaves on the other. The package (its modules and this build's
# libecalias.so, copied together as pip installs them) lists the adapter, reads the
# slaves, refuses a second master on the adapter, moves SDOs and registers, sets slave
# 2's alias and writes SII words; ecsim's image of slave 2 then holds the alias with its
# checksum, the other slaves' images are untouched. Without capture permission, opening
# is an OpenError that names the setcap fix.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
[ -f "$EC_BUILD_DIR/libecalias.so" ] || ec_fail "libecalias.so is not built in $EC_BUILD_DIR"
python=/usr/bin/python3
[ -x "$python" ] || ec_skip "Debian's /usr/bin/python3 is not installed"
ec_netns_up

# The package as an install lays it out: the modules with the library beside them.
site=$EC_WORK/site
mkdir -p "$site"
cp -r "$EC_SOURCE_DIR/python/ecalias" "$site/" || ec_fail "cannot copy the package"
cp "$(readlink -f "$EC_BUILD_DIR/libecalias.so")" "$site/ecalias/libecalias.so"
chmod -R a+rX "$EC_WORK"
run_python=(env PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1)
# A library built with the sanitizers needs their runtime loaded first.
if objdump -p "$EC_BUILD_DIR/libecalias.so" | grep -q 'NEEDED.*libasan'; then
  asan=$(objdump -p "$EC_BUILD_DIR/libecalias.so" | sed -n 's/.*NEEDED *\(libasan[^ ]*\).*/\1/p')
  run_python+=(LD_PRELOAD="$(cc -print-file-name="$asan")" ASAN_OPTIONS=detect_leaks=0)
fi

images=$EC_WORK/images
ec_start_ecsim --slaves 3 --eeprom-dir "$images"
declare -A before
for n in 1 2 3; do before[$n]=$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-$n.bin"); done
ec_in_master timeout 60 "${run_python[@]}" "$python" "$EC_SOURCE_DIR/tests/python/veth_check.py" "$EC_IF_MASTER" \
  >"$EC_WORK/out" 2>"$EC_WORK/err"
rc=$?
[ "$rc" -eq 0 ] || { cat "$EC_WORK/out" "$EC_WORK/err" >&2; ec_fail "the Python check ended with $rc"; }
[ -s "$EC_WORK/err" ] && { cat "$EC_WORK/err" >&2; ec_fail "the package wrote to standard error"; }

expect() {  # a line the check must have printed
  grep -qxF "$1" "$EC_WORK/out" || { cat "$EC_WORK/out" >&2; ec_fail "missing line: $1"; }
}
expect "adapter.listed=1"
expect "adapter.slaves=3"
expect "count=3"
for n in 1 2 3; do expect "slave$n=ecsim slave $n vendor=0x00000ec5 serial=$n state=PREOP complete=1"; done
expect "second_open.code=-18"
expect "sdo.vendor=0x00000ec5"
expect "sdo.roundtrip=123456"
expect "sdo.abort=0x06020000"
expect "reg.station=0x1002"
grep -q '^alias.before=0 written=291 read_back=291 verified=1 effective=0 checksum=0x' "$EC_WORK/out" ||
  { cat "$EC_WORK/out" >&2; ec_fail "the alias report"; }
expect "sii.written=2 verified=1 back=34127856"
expect "state=INIT"
expect "state=PREOP"
checksum=$(sed -n 's/^alias.* checksum=0x\([0-9a-f]*\)$/\1/p' "$EC_WORK/out")

# Without capture permission (an unprivileged user), opening fails with the fix named.
if id nobody >/dev/null 2>&1; then
  mkdir -m 1777 "$EC_WORK/locks-nobody"
  ec_in_master setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
    "${run_python[@]}" EC_LOCK_DIR="$EC_WORK/locks-nobody" "$python" -c '
import sys, ecalias
try:
    ecalias.open(sys.argv[1])
except ecalias.OpenError as e:
    print("code=%d" % e.code); print(e)
' "$EC_IF_MASTER" >"$EC_WORK/perm" 2>&1
  grep -qx "code=-12" "$EC_WORK/perm" || { cat "$EC_WORK/perm" >&2; ec_fail "no permission error for nobody"; }
  grep -q "setcap cap_net_raw,cap_net_admin+ep" "$EC_WORK/perm" || { cat "$EC_WORK/perm" >&2; ec_fail "no setcap fix named"; }
fi
ec_stop_ecsim  # writes the images back

read -r -a old <<<"${before[2]}"
read -r -a now <<<"$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-2.bin")"
want="${old[0]} ${old[1]} ${old[2]} ${old[3]} 0123 ${old[5]} ${old[6]} $checksum"
[ "${now[*]}" = "$want" ] || ec_fail "slave 2's image holds ${now[*]}, expected $want"
for n in 1 3; do
  [ "$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-$n.bin")" = "${before[$n]}" ] || ec_fail "slave $n's image changed"
done
cat "$EC_WORK/out" "$EC_WORK/perm" 2>/dev/null | sed "s/^/  /"
echo "PASS: the Python package over veth against ecsim: adapters, slaves, SDO, registers, alias in slave 2's image, SII words, states, permission"
