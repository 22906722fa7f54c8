#!/usr/bin/env bash
# Position, configured-address and broadcast services over the real wire: each reaches
# the slaves it names and no other, zero-length and largest datagrams go through, and a
# station nobody holds answers with working counter 0.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
ec_netns_up
PROBE=$EC_BUILD_DIR/tools/link_probe
[ -x "$PROBE" ] || ec_fail "link_probe is not built in $EC_BUILD_DIR"
ec_start_ecsim --slaves 3

big=$(python3 -c 'print("".join("%02x" % (i * 7 % 256) for i in range(1486)))')

out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" \
  assign:3 \
  APRD:0x0000:0x0010:2 APRD:0xffff:0x0010:2 APRD:0xfffe:0x0010:2 APRD:0xfffd:0x0010:2 \
  FPWR:0x1002:0x1800:1122 \
  FPRD:0x1001:0x1800:2 FPRD:0x1002:0x1800:2 FPRD:0x1003:0x1800:2 \
  APWR:0xfffe:0x1802:33 BRD:0:0x1800:4 \
  BWR:0:0x1900:a5 FPRD:0x1003:0x1900:1 \
  FPRD:0x2000:0x0010:2 FPWR:0x2000:0x1800:ffff \
  BRD:0:0x0000:0 FPWR:0x1001:0x1800: \
  "BWR:0:0x1a00:$big" FPRD:0x1002:0x1a00:1486 \
  BRD:0:0x0000:1487) || true
echo "$out"
expect() { grep -qx "$1" <<<"$out" || ec_fail "missing line: $1"; }
expect "assigned=3"
expect "read op=APRD adp=0x0000 ado=0x0010 len=2 wkc=1 data=0110"
expect "read op=APRD adp=0xffff ado=0x0010 len=2 wkc=1 data=0210"
expect "read op=APRD adp=0xfffe ado=0x0010 len=2 wkc=1 data=0310"
expect "read op=APRD adp=0xfffd ado=0x0010 len=2 wkc=0 data="
expect "write op=FPWR adp=0x1002 ado=0x1800 len=2 wkc=1"
expect "read op=FPRD adp=0x1001 ado=0x1800 len=2 wkc=1 data=0000"
expect "read op=FPRD adp=0x1002 ado=0x1800 len=2 wkc=1 data=1122"
expect "read op=FPRD adp=0x1003 ado=0x1800 len=2 wkc=1 data=0000"
expect "write op=APWR adp=0xfffe ado=0x1802 len=1 wkc=1"
expect "read op=BRD adp=0x0000 ado=0x1800 len=4 wkc=3 data=11223300"
expect "write op=BWR adp=0x0000 ado=0x1900 len=1 wkc=3"
expect "read op=FPRD adp=0x1003 ado=0x1900 len=1 wkc=1 data=a5"
expect "read op=FPRD adp=0x2000 ado=0x0010 len=2 wkc=0 data="
expect "write op=FPWR adp=0x2000 ado=0x1800 len=2 wkc=0"
expect "read op=BRD adp=0x0000 ado=0x0000 len=0 wkc=3 data="
expect "write op=FPWR adp=0x1001 ado=0x1800 len=0 wkc=1"
expect "write op=BWR adp=0x0000 ado=0x1a00 len=1486 wkc=3"
expect "read op=FPRD adp=0x1002 ado=0x1a00 len=1486 wkc=1 data=$big"
# A datagram longer than a standard frame is refused before anything is sent.
expect "read op=BRD adp=0x0000 ado=0x0000 len=1487 wkc=-3 data="
echo "PASS: addressing by position, station and broadcast"
