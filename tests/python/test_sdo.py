"""SDO reads and writes of every type against objects defined on the segment, complete
access, and the slave's aborts as exceptions."""
import math
import struct

import pytest

import ecalias

# type, initial value as ecsim takes it, the value read back, a new value to write.
TYPED = [
    ("bool", "true", True, False),
    ("u8", "200", 200, 255),
    ("u16", "0xBEEF", 0xBEEF, 0),
    ("u32", "4000000000", 4000000000, 0xFFFFFFFF),
    ("u64", "18446744073709551615", 2**64 - 1, 2**40 + 3),
    ("i8", "-128", -128, 127),
    ("i16", "-30000", -30000, 32767),
    ("i32", "-2147483648", -2**31, 2**31 - 1),
    ("i64", "-9223372036854775808", -2**63, 2**63 - 1),
    ("f32", "1.5", 1.5, -0.25),
    ("f64", "-2.75", -2.75, 1e300),
]

SIZES = {"bool": 1, "u8": 1, "i8": 1, "u16": 2, "i16": 2, "u32": 4, "i32": 4, "f32": 4, "u64": 8, "i64": 8,
         "f64": 8}


@pytest.fixture
def typed_slave(virtual_segment):
    objects = [(0x4000 + k, 0, kind, initial) for k, (kind, initial, _, _) in enumerate(TYPED)]
    objects += [(0x4100, 0, "string", "hello"), (0x4101, 0, "octets", 6), (0x4102, 0, "ro-u16", 9)]
    return virtual_segment(slaves=2, objects=objects).slave(2)


def test_every_type_reads_and_writes_back(typed_slave):
    for k, (kind, _, initial, new) in enumerate(TYPED):
        assert typed_slave.sdo_read(0x4000 + k, 0, kind) == initial, kind
        typed_slave.sdo_write(0x4000 + k, 0, new, kind)
        assert typed_slave.sdo_read(0x4000 + k, 0, kind) == new, kind
        assert len(typed_slave.sdo_read(0x4000 + k, 0)) == SIZES[kind], kind
    # Without a type: the object's bytes.
    assert typed_slave.sdo_read(0x4001, 0) == bytes([255])
    assert typed_slave.sdo_read(0x4002, 0) == b"\x00\x00"


def test_f32_keeps_what_f32_can_hold(typed_slave):
    f32 = 0x4000 + [t[0] for t in TYPED].index("f32")
    typed_slave.sdo_write(f32, 0, 0.1, "f32")
    assert typed_slave.sdo_read(f32, 0, "f32") == struct.unpack("<f", struct.pack("<f", 0.1))[0]
    typed_slave.sdo_write(f32, 0, float("inf"), "f32")
    assert typed_slave.sdo_read(f32, 0, "f32") == math.inf


def test_strings_and_octets(typed_slave):
    assert typed_slave.sdo_read(0x4100, 0, "string") == "hello"
    typed_slave.sdo_write(0x4100, 0, "bye", "string")
    # Written at the object's length: padded with NULs, read back without them.
    assert typed_slave.sdo_read(0x4100, 0) == b"bye\x00\x00"
    assert typed_slave.sdo_read(0x4100, 0, "string") == "bye"
    typed_slave.sdo_write(0x4100, 0, "HELLO", "string")
    assert typed_slave.sdo_read(0x4100, 0, "string") == "HELLO"
    assert typed_slave.sdo_read(0x4101, 0, "octets") == bytes(range(6))
    typed_slave.sdo_write(0x4101, 0, b"\xff" * 3, "octets")
    assert typed_slave.sdo_read(0x4101, 0, "octets") == b"\xff" * 3
    typed_slave.sdo_write(0x4101, 0, bytearray(b"\x01\x02"))
    assert typed_slave.sdo_read(0x4101, 0) == b"\x01\x02"
    assert typed_slave.sdo_read(0x1008, 0, "string") == "ecsim slave"


def test_a_string_longer_than_its_object_is_refused_and_nothing_written(typed_slave):
    with pytest.raises(ValueError) as too_long:
        typed_slave.sdo_write(0x4100, 0, "much too long", "string")
    assert "nothing was written" in str(too_long.value)
    assert typed_slave.sdo_read(0x4100, 0, "string") == "hello"


def test_segmented_transfers_of_large_objects(typed_slave):
    assert typed_slave.sdo_read(0x2100, 0) == bytes(range(64))
    big = bytes((7 * k) & 0xFF for k in range(5000))
    typed_slave.sdo_write(0x2100, 0, big)
    assert typed_slave.sdo_read(0x2100, 0) == big
    with pytest.raises(ecalias.Error) as too_big:
        typed_slave.sdo_read(0x2100, 0, max_size=100)
    assert too_big.value.code == -21


def test_complete_access_reads_and_writes_a_whole_record(typed_slave):
    record = typed_slave.sdo_read(0x2000, 1, complete=True)
    assert record == bytes([0x11]) + struct.pack("<HI", 0x2222, 0x33333333)
    new = bytes([0x12]) + struct.pack("<HI", 0x1234, 0x89ABCDEF)
    typed_slave.sdo_write(0x2000, 1, new, complete=True)
    assert typed_slave.sdo_read(0x2000, 2, "u16") == 0x1234
    assert typed_slave.sdo_read(0x2000, 3, "u32") == 0x89ABCDEF


def test_aborts_are_sdo_abort_with_code_and_meaning(typed_slave):
    cases = [
        (lambda: typed_slave.sdo_read(0x5555, 0), 0x06020000),
        (lambda: typed_slave.sdo_read(0x1018, 9), 0x06090011),
        (lambda: typed_slave.sdo_write(0x4102, 0, 1, "u16"), 0x06010002),
        (lambda: typed_slave.sdo_write(0x1018, 1, 1, "u32"), 0x06010002),
        (lambda: typed_slave.sdo_write(0x3000, 0, 1, "u16"), 0x06070010),  # 0x3000 is a u32
    ]
    for call, code in cases:
        with pytest.raises(ecalias.SdoAbort) as abort:
            call()
        assert abort.value.abort_code == code
        assert abort.value.code == -9 and abort.value.slave == 2
        assert abort.value.message and abort.value.message != "unknown abort code"
        assert "0x%08X" % code in str(abort.value) and abort.value.message in str(abort.value)
    assert typed_slave.sdo_read(0x4102, 0, "u16") == 9
    assert typed_slave.sdo_read(0x3000, 0, "u32") == 0


def test_a_type_that_does_not_match_the_objects_size_is_an_error(typed_slave):
    with pytest.raises(ecalias.Error) as mismatch:
        typed_slave.sdo_read(0x3000, 0, "u16")  # four bytes
    assert mismatch.value.code == -21 and "4 bytes" in str(mismatch.value)
    with pytest.raises(ecalias.Error):
        typed_slave.sdo_read(0x6000, 0, "u64")


def test_a_silent_slave_is_a_timeout(virtual_segment):
    slave = virtual_segment(slaves=1, faults={"sdo_stall": ("all", 0)}).slave(1)
    with pytest.raises(ecalias.Timeout) as silent:
        slave.sdo_read(0x1000, 0, "u32", timeout=0.05)
    assert silent.value.slave == 1 and silent.value.code in (-3, -6)


def test_a_slave_without_mailbox_does_not_support_sdo(virtual_segment):
    slave = virtual_segment(slaves=1, faults={"mailbox_size": ("all", 0)}).slave(1)
    assert not slave.has_mailbox
    with pytest.raises(ecalias.Error) as unsupported:
        slave.sdo_read(0x1000, 0)
    assert unsupported.value.code == -11 and "not support" in str(unsupported.value)


def test_emergencies_and_mailbox_errors_before_answers_are_overcome(virtual_segment):
    master = virtual_segment(slaves=3, faults={"sdo_emergency": (1, 2), "sdo_lose_first_read": (2, 2),
                                               "sdo_mbx_error": (3, 2)})
    for slave in master.slaves:
        assert slave.sdo_read(0x1018, 1, "u32") == 0xEC5
        assert slave.sdo_read(0x6000, 0, "u16") == 0x1234
