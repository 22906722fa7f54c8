"""ESC registers and memory, and AL states."""
import pytest

import ecalias


def test_registers_typed_and_raw(virtual_segment):
    slave = virtual_segment(slaves=2).slave(2)
    assert slave.reg_read(0x0010, "u16") == slave.station
    assert slave.reg_read(0x0130, "u16") & 0x0F == 2
    slave.reg_write(0x0F80, 0xDEADBEEF, "u32")  # user RAM of the slave controller
    assert slave.reg_read(0x0F80, "u32") == 0xDEADBEEF
    assert slave.reg_read(0x0F80, "i16") == -0x4111
    assert slave.reg_read(0x0F80, length=4) == bytes.fromhex("efbeadde")
    slave.reg_write(0x0F84, b"\x01\x02\x03")
    assert slave.reg_read(0x0F84, length=3) == b"\x01\x02\x03"
    slave.reg_write(0x0F88, 0.5, "f32")
    assert slave.reg_read(0x0F88, "f32") == 0.5
    slave.reg_write(0x0F90, True, "bool")
    assert slave.reg_read(0x0F90, "bool") is True
    assert len(slave.reg_read(0x4000, length=1486)) == 1486
    # Slave 1 was left alone.
    first = slave._master.slave(1)
    assert first.reg_read(0x0F80, "u32") != 0xDEADBEEF


def test_the_al_control_register_moves_the_state(virtual_segment):
    slave = virtual_segment(slaves=1).slave(1)
    slave.reg_write(0x0120, 1, "u16")
    assert slave.read_state() == "INIT"


def test_an_access_the_slave_does_not_execute_is_an_error(virtual_segment):
    slave = virtual_segment(slaves=1).slave(1)
    # An empty read mailbox (SyncManager 1, behind the 128-byte write mailbox) is not read:
    # working counter 0.
    with pytest.raises(ecalias.Error) as refused:
        slave.reg_read(0x1080, length=16)
    assert refused.value.code == -5 and "working counter" in str(refused.value)


def test_request_state_walks_the_states(virtual_segment):
    slave = virtual_segment(slaves=2).slave(1)
    assert slave.state == "PREOP"
    assert slave.request_state("init", timeout=1.0) == "INIT"
    assert slave.state == "INIT"
    assert slave.request_state("Pre-Op") == "PREOP"
    assert slave.request_state("SAFEOP") == "SAFEOP"
    assert slave.request_state("op") == "OP"
    assert slave.read_state() == "OP" and not slave.error_flag
    assert slave._master.slave(2).read_state() == "PREOP"


def test_a_state_the_slave_refuses_is_a_state_error_with_its_code(virtual_segment):
    slave = virtual_segment(slaves=1, faults={"preop_reads_sii": 1}).slave(1)
    slave.request_state("init")
    slave.reg_write(0x0500, 0, "u8")  # the EEPROM to the master: this slave then refuses PRE-OP
    with pytest.raises(ecalias.StateError) as refused:
        slave.request_state("preop", timeout=0.2)
    assert refused.value.code == -20 and refused.value.al_status_code == 0x0050
    assert refused.value.slave == 1 and "0x0050: EEPROM not accessible" in str(refused.value)
    assert slave.state == "INIT" and slave.error_flag and slave.al_status_code == 0x0050


def test_states_are_named(virtual_segment):
    slave = virtual_segment(slaves=1).slave(1)
    with pytest.raises(ValueError):
        slave.request_state("running")
    with pytest.raises(TypeError):
        slave.request_state(2)
    assert set(ecalias.STATES.values()) == {"INIT", "PREOP", "BOOT", "SAFEOP", "OP"}
