"""Bad arguments: TypeError or ValueError raised in Python, before the library sends
anything (the no_traffic guard fails the test when a sending call is reached)."""
import math

import pytest


@pytest.fixture
def slave(virtual_segment):
    return virtual_segment(slaves=1, objects=[(0x4000, 0, "u8", 1)]).slave(1)


WRONG_TYPES = [
    lambda s: s.sdo_read("0x1000", 0),
    lambda s: s.sdo_read(0x1000, 0.0),
    lambda s: s.sdo_read(True, 0),
    lambda s: s.sdo_read(0x1000, 0, 32),
    lambda s: s.sdo_read(0x1000, 0, "u32", complete=1),
    lambda s: s.sdo_read(0x1000, 0, "u32", timeout="1"),
    lambda s: s.sdo_write(0x4000, 0, "1", "u8"),
    lambda s: s.sdo_write(0x4000, 0, 1.0, "u8"),
    lambda s: s.sdo_write(0x4000, 0, True, "u8"),
    lambda s: s.sdo_write(0x4000, 0, 1),  # no type: bytes wanted
    lambda s: s.sdo_write(0x4000, 0, b"\x01", "string"),
    lambda s: s.sdo_write(0x4000, 0, "1.0", "f32"),
    lambda s: s.sdo_write(0x4000, 0, "yes", "bool"),
    lambda s: s.reg_read(0x0130),
    lambda s: s.reg_read(0x0130, "u16", length=2),
    lambda s: s.reg_read(0x0130, length="2"),
    lambda s: s.reg_write(0x0F80, "ab"),
    lambda s: s.reg_write(0x0F80, 1.5, "u16"),
    lambda s: s.sii_read(first=0),
    lambda s: s.sii_read(first="0", count=1),
    lambda s: s.sii_write([1, 2], first=0x40),
    lambda s: s.sii_write("abcd", first=0x40),
    lambda s: s.sii_write(b"\x00\x00", first=0x40, backup_dir="/tmp"),
    lambda s: s.sii_write(b"\x00\x00", first=0x40, force="yes"),
    lambda s: s.set_alias("7"),
    lambda s: s.set_alias(7, force=1),
    lambda s: s.request_state(8),
    lambda s: s.request_state("op", timeout=None),
]

OUT_OF_RANGE = [
    lambda s: s.sdo_read(-1, 0),
    lambda s: s.sdo_read(0x10000, 0),
    lambda s: s.sdo_read(0x1000, 256),
    lambda s: s.sdo_read(0x1000, -1),
    lambda s: s.sdo_read(0x1000, 0, "u128"),
    lambda s: s.sdo_read(0x1000, 0, "u32", timeout=-1),
    lambda s: s.sdo_read(0x1000, 0, "u32", timeout=math.nan),
    lambda s: s.sdo_read(0x1000, 0, "u32", timeout=3600.0),
    lambda s: s.sdo_read(0x1000, 2, complete=True),
    lambda s: s.sdo_read(0x1000, 0, max_size=0),
    lambda s: s.sdo_write(0x4000, 0, 256, "u8"),
    lambda s: s.sdo_write(0x4000, 0, -1, "u8"),
    lambda s: s.sdo_write(0x4000, 0, 65536, "u16"),
    lambda s: s.sdo_write(0x4000, 0, 2**32, "u32"),
    lambda s: s.sdo_write(0x4000, 0, 2**64, "u64"),
    lambda s: s.sdo_write(0x4000, 0, -129, "i8"),
    lambda s: s.sdo_write(0x4000, 0, 32768, "i16"),
    lambda s: s.sdo_write(0x4000, 0, -2**31 - 1, "i32"),
    lambda s: s.sdo_write(0x4000, 0, 2**63, "i64"),
    lambda s: s.sdo_write(0x4000, 0, 2, "bool"),
    lambda s: s.sdo_write(0x4000, 0, 1e39, "f32"),
    lambda s: s.sdo_write(0x4000, 0, b"", "octets"),
    lambda s: s.sdo_write(0x4000, 0, b""),
    lambda s: s.sdo_write(0x4000, 0, bytes(65536)),
    lambda s: s.sdo_write(0x4000, 0, "x" * 65536, "string"),
    lambda s: s.reg_read(-1, "u8"),
    lambda s: s.reg_read(0x10000, "u8"),
    lambda s: s.reg_read(0xFFFF, "u16"),
    lambda s: s.reg_read(0x0130, length=0),
    lambda s: s.reg_read(0x0130, length=1487),
    lambda s: s.reg_read(0x0130, "string"),
    lambda s: s.reg_write(0x0F80, 256, "u8"),
    lambda s: s.reg_write(0x0F80, b""),
    lambda s: s.reg_write(0x0F80, bytes(1487)),
    lambda s: s.sii_read(first=-1, count=1),
    lambda s: s.sii_read(first=0, count=0),
    lambda s: s.sii_read(first=0, count=-8),
    lambda s: s.sii_read(first=0, count=40000),
    lambda s: s.sii_write(b"\x00", first=0x40),
    lambda s: s.sii_write(b"\x00\x00\x00", first=0x40),
    lambda s: s.sii_write(b"", first=0x40),
    lambda s: s.sii_write(b"\x00" * 15),
    lambda s: s.sii_write(b"\x00\x00", first=-1),
    lambda s: s.sii_write(b"\x00" * 17),
    lambda s: s.sii_write(b"\x00" * 20, backup_dir="a\x00b"),
    lambda s: s.set_alias(-1),
    lambda s: s.set_alias(65536),
    lambda s: s.request_state("running"),
    lambda s: s.request_state("op", timeout=-0.5),
]


@pytest.mark.parametrize("call", WRONG_TYPES)
def test_wrong_types_are_type_errors_and_send_nothing(slave, no_traffic, call):
    with no_traffic(), pytest.raises(TypeError):
        call(slave)


@pytest.mark.parametrize("call", OUT_OF_RANGE)
def test_values_out_of_range_are_value_errors_and_send_nothing(slave, no_traffic, call):
    with no_traffic(), pytest.raises(ValueError):
        call(slave)


def test_refused_writes_changed_nothing(slave):
    header = slave.sii_read(count=8)
    words = slave.sii_read(first=0x40, count=2)
    for call in WRONG_TYPES + OUT_OF_RANGE:
        with pytest.raises((TypeError, ValueError)):
            call(slave)
    assert slave.sdo_read(0x4000, 0, "u8") == 1
    assert slave.sii_read(count=8) == header and slave.sii_read(first=0x40, count=2) == words
    assert slave.sii_alias == 0 and slave.read_state() == "PREOP"
