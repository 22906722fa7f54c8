#!/usr/bin/env bash
# The bring-up end to end: the master's frame port on libpcap at one end of a veth pair,
# ecsim at the other. The slave table printed by bringup_probe must match what ecsim
# was told to simulate: addresses, identity, mailbox words, slave 1's details, topology
# and names; 8-byte EEPROM interfaces, NACKing EEPROMs, and images kept in files across
# an ecsim restart.
set -uo pipefail
source "$EC_SOURCE_DIR/tests/e2e/lib.sh"
PROBE=$EC_BUILD_DIR/tools/bringup_probe
[ -x "$PROBE" ] || ec_fail "bringup_probe is not built in $EC_BUILD_DIR"
ec_netns_up

out=
probe() {
  out=$(ec_in_master "$PROBE" "$EC_IF_MASTER" "$@") || ec_fail "bringup_probe $* failed: $out"
}
value() { sed -n "s/^$1=//p" <<<"$out"; }
expect() {  # key value [key value ...]
  while [ $# -ge 2 ]; do
    local got
    got=$(value "$1")
    [ "$got" = "$2" ] || ec_fail "$1 is '$got', expected '$2' (case: $case)"
    shift 2
  done
}
run_case() {  # name ecsim-options...
  case=$1
  shift
  ec_start_ecsim "$@"
}

# --- one slave with the default image
run_case "one default slave" --slaves 1
probe
expect result 1 slave_count 1 \
  slave.1.config_address 0x1001 slave.1.alias_address 0x0000 slave.1.interface_type 0x0005 \
  slave.1.vendor_id 0x00000ec5 slave.1.product_code 0x00010001 slave.1.revision_no 0x00020001 \
  slave.1.mbx_write_offset 0x1000 slave.1.mbx_length 128 slave.1.mbx_read_offset 0x1080 slave.1.mbx_read_length 128 \
  slave.1.mbx_protocols 0x0004 slave.1.sm0 0x1000:128:0x00010026 slave.1.sm1 0x1080:128:0x00010022 \
  slave.1.sm_types 1,2,3,4 slave.1.has_dc 1 slave.1.port_type 0x0f slave.1.topology 1 slave.1.active_ports 0x01 \
  slave.1.state 0x0001 slave.1.al_status_code 0x0000 slave.1.coe_details 0x23 slave.1.eeprom_8byte_reads 0 \
  slave.1.eeprom_at_pdi 0 slave.1.mbx_counter 0 slave.1.name "ecsim slave 1" \
  group.0.logical_start_address 0x00000000 group.1.logical_start_address 0x00010000
ec_stop_ecsim

# --- three slaves, each configured differently
long_name="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrs"  # 45 characters
run_case "three configured slaves" --slaves 3 --name "1:$long_name" --identity 2:0xAB:2:1 --eight-byte 2 \
  --alias 3:0x0042 --mailbox-size 3:256 --general 1:0x0f:1:2:3:2:500
probe --all-mailboxes
expect result 3 slave_count 3 \
  slave.1.name "${long_name:0:40}" slave.1.topology 2 slave.1.active_ports 0x03 \
  slave.1.coe_details 0x0f slave.1.foe_details 0x01 slave.1.eoe_details 0x02 slave.1.soe_details 0x03 \
  slave.1.block_lrw 1 slave.1.ebus_current 500 aggregate.block_lrw 1 aggregate.ebus_current 500 \
  slave.2.config_address 0x1002 slave.2.vendor_id 0x000000ab slave.2.product_code 0x00000002 \
  slave.2.revision_no 0x00000001 slave.2.eeprom_8byte_reads 1 slave.2.mbx_read_offset 0x1080 \
  slave.3.config_address 0x1003 slave.3.alias_address 0x0042 slave.3.product_code 0x00010003 \
  slave.3.mbx_length 256 slave.3.mbx_read_offset 0x1100 slave.3.mbx_read_length 256 slave.3.eeprom_8byte_reads 0
# Only slave 1 is described beyond identity and mailbox.
expect slave.2.name "" slave.3.name "" slave.2.mbx_protocols 0x0000 slave.3.sm_types 0,0,0,0
ec_stop_ecsim

# --- no strings category: the name comes from the identity
run_case "fallback name" --slaves 1 --no-strings 1 --identity 1:0xAB:2:1
probe
expect slave.1.name "? M:000000ab I:00000002" slave.1.coe_details 0x23
ec_stop_ecsim

# --- a slave whose EEPROM NACKs every command, and one that NACKs only the first
run_case "NACKing EEPROMs" --slaves 3 --eeprom-nack 2:all --eeprom-nack 3:1
probe
expect result 3 \
  slave.1.vendor_id 0x00000ec5 slave.1.name "ecsim slave 1" \
  slave.2.config_address 0x1002 slave.2.vendor_id 0x00000000 slave.2.product_code 0x00000000 slave.2.mbx_length 0 \
  slave.3.vendor_id 0x00000000 slave.3.product_code 0x00010003 slave.3.mbx_length 128
ec_stop_ecsim

# --- slave 1 NACKs everything: no mailbox, no categories, fallback name from zeros
run_case "slave 1 NACKs" --slaves 2 --eeprom-nack 1:all
probe
expect result 2 slave.1.mbx_length 0 slave.1.sm_types 0,0,0,0 slave.1.coe_details 0x00 \
  slave.1.name "? M:00000000 I:00000000" slave.2.vendor_id 0x00000ec5
ec_stop_ecsim

# --- images in files: an EEPROM write survives an ecsim restart, and the slave loads
# the new station alias from its header at power-on
images=$EC_WORK/images
run_case "image folder" --slaves 2 --eeprom-dir "$images"
[ -s "$images/slave-1.bin" ] && [ -s "$images/slave-2.bin" ] || ec_fail "no images created in $images"
probe --write-word 4:0x1234 --write-header-checksum
expect written.4 1 written.7 1
ec_stop_ecsim
header=$("$EC_BUILD_DIR/ecsim" --print-header "$images/slave-1.bin") || ec_fail "--print-header failed"
read -r -a words <<<"$header"
[ "${words[4]}" = 1234 ] || ec_fail "word 4 of the image is ${words[4]}: $header"
[ "${words[7]:0:2}" = 00 ] || ec_fail "the checksum's high byte is not 0: $header"
run_case "image folder after restart" --slaves 2 --eeprom-dir "$images"
probe
expect slave.1.alias_address 0x1234 slave.2.alias_address 0x0000 slave.1.name "ecsim slave 1"
ec_stop_ecsim
echo "bring-up end to end: all cases passed"
