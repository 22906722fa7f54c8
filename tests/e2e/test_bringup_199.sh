#!/usr/bin/env bash
# The bring-up of a full table over veth: 199 slaves, every record as ecsim simulates
# it; and 201 slaves, where the table is filled to its end and no further.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
PROBE=$EC_BUILD_DIR/tools/bringup_probe
[ -x "$PROBE" ] || ec_fail "bringup_probe is not built in $EC_BUILD_DIR"
ec_netns_up

out=
# A bring-up that got no answer at all to its counting read (result 0 or below: the
# segment's process was not scheduled within 20 ms on a loaded machine) is run again;
# any other result is judged as it is.
probe() {
  local attempt
  for attempt in 1 2 3; do
    out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" "$@") || ec_fail "bringup_probe $* failed: $out"
    [ "$(value result)" -gt 0 ] 2>/dev/null && return 0
    echo "note: bring-up attempt $attempt got no answer, trying again" >&2
  done
}
value() { sed -n "s/^$1=//p" <<<"$out"; }
expect() {
  while [ $# -ge 2 ]; do
    local got
    got=$(value "$1")
    [ "$got" = "$2" ] || ec_fail "$1 is '$got', expected '$2'"
    shift 2
  done
}
# Every slave n: station address 0x1000+n, product code 0x00010000+n, mailboxes of
# 128 bytes at 0x1000 and 0x1080 (read mailbox words finished by the probe).
check_slaves() {  # count
  local n bad=0
  for n in $(seq 1 "$1"); do
    local want_address want_product
    want_address=$(printf '0x%04x' $((0x1000 + n)))
    want_product=$(printf '0x%08x' $((0x00010000 + n)))
    [ "$(value "slave.$n.config_address")" = "$want_address" ] || { echo "slave $n: address" >&2; bad=1; }
    [ "$(value "slave.$n.product_code")" = "$want_product" ] || { echo "slave $n: product code" >&2; bad=1; }
    [ "$(value "slave.$n.vendor_id")" = 0x00000ec5 ] || { echo "slave $n: vendor" >&2; bad=1; }
    [ "$(value "slave.$n.revision_no")" = 0x00020001 ] || { echo "slave $n: revision" >&2; bad=1; }
    [ "$(value "slave.$n.mbx_length")" = 128 ] || { echo "slave $n: write mailbox" >&2; bad=1; }
    [ "$(value "slave.$n.mbx_read_offset")" = 0x1080 ] || { echo "slave $n: read mailbox" >&2; bad=1; }
  done
  [ "$bad" -eq 0 ] || ec_fail "the table differs from the simulated segment"
}

ec_start_ecsim --slaves 199 --name "1:first of 199" --eight-byte 100-199
probe --all-mailboxes
expect result 199 slave_count 199 slave.1.name "first of 199" slave.1.topology 2 slave.1.mbx_protocols 0x0004 \
  slave.1.eeprom_8byte_reads 0 slave.100.eeprom_8byte_reads 1 slave.199.eeprom_8byte_reads 1 \
  slave.199.config_address 0x10c7
check_slaves 199
echo "199 slaves: $(value elapsed_us) us"
ec_stop_ecsim

ec_start_ecsim --slaves 201
probe --all-mailboxes
expect result 199 slave_count 199 slave.199.config_address 0x10c7
[ -z "$(value slave.200.config_address)" ] || ec_fail "a record beyond 199 was printed"
check_slaves 199
ec_stop_ecsim
echo "bring-up of 199 and 201 slaves: passed"
