"""Opening masters, the slave records of a scan, finding slaves, closing, and several
masters in one process."""
import re
import threading

import pytest

import ecalias


def test_version_is_the_librarys():
    assert re.fullmatch(r"\d+\.\d+\.\d+", ecalias.__version__)
    from ecalias import _native
    assert ecalias.__version__ == _native.version()


def test_slaves_carry_their_records_in_line_order(virtual_segment):
    master = virtual_segment(slaves=3, names={2: "Drive A"}, identities={3: (0x1234, 0x56, 7)}, aliases={1: 300})
    slaves = master.slaves
    assert [s.position for s in slaves] == [1, 2, 3]
    assert [s.name for s in slaves] == ["ecsim slave 1", "Drive A", "ecsim slave 3"]
    assert (slaves[2].vendor, slaves[2].product, slaves[2].revision) == (0x1234, 0x56, 7)
    assert [s.serial for s in slaves] == [1, 2, 3]
    assert slaves[0].sii_alias == 300 and slaves[0].alias == 300
    assert len({s.station for s in slaves}) == 3
    for s in slaves:
        assert s.state == "PREOP" and s.complete and s.has_mailbox and s.sii_words


def test_slave_by_position_and_by_serial(virtual_segment):
    master = virtual_segment(slaves=3)
    assert master.slave(2).position == 2
    assert master.slave(serial=3).position == 3
    with pytest.raises(ecalias.NoSuchSlave) as no_slave:
        master.slave(4)
    assert no_slave.value.slave == 4 and no_slave.value.code == -2
    with pytest.raises(ecalias.NoSuchSlave):
        master.slave(serial=99)
    with pytest.raises(ValueError):
        master.slave(0)
    with pytest.raises(ValueError):
        master.slave(-1)
    with pytest.raises(TypeError):
        master.slave("2")
    with pytest.raises(TypeError):
        master.slave(1, serial=1)
    with pytest.raises(TypeError):
        master.slave()


def test_a_line_that_returns_no_frame_is_a_timeout_and_leaves_nothing_open():
    # No slave on the line: the frame does not come back, as on an unplugged port.
    with pytest.raises(ecalias.Timeout) as no_frame:
        ecalias.open("sim:--slaves 0")
    assert no_frame.value.code == -3
    with ecalias.open("sim:--slaves 0", scan=False) as master:
        assert master.slaves == []
        with pytest.raises(ecalias.NoSuchSlave):
            master.slave(1)


def test_open_failures_are_open_errors_that_say_why():
    with pytest.raises(ecalias.OpenError) as failure:
        ecalias.open("sim:--slaves 2 --no-such-option")
    assert "--no-such-option" in str(failure.value)
    assert failure.value.code == -13
    with pytest.raises(ecalias.OpenError) as failure:
        ecalias.open("sim:--iface eth0")
    assert "ecsim program" in str(failure.value)
    with pytest.raises(ecalias.OpenError):
        ecalias.open("sim:--name 'unterminated")
    with pytest.raises(ecalias.OpenError) as failure:
        ecalias.open("no-such-adapter-xyz")
    assert "no-such-adapter-xyz" in str(failure.value)


def test_open_checks_its_argument():
    with pytest.raises(TypeError):
        ecalias.open(b"sim:")
    with pytest.raises(ValueError):
        ecalias.open("")
    with pytest.raises(ValueError):
        ecalias.open("sim:--slaves 1\x00")


def test_a_closed_master_refuses_every_call(virtual_segment):
    master = virtual_segment(slaves=2)
    slave = master.slave(1)
    master.close()
    master.close()  # a second close does nothing
    assert master.closed
    calls = [
        lambda: master.slaves, lambda: master.slave(1), master.scan, lambda: master.request_state("init"),
        lambda: slave.sdo_read(0x1000, 0, "u32"), lambda: slave.sdo_write(0x3000, 0, 1, "u32"),
        lambda: slave.reg_read(0x0130, "u16"), lambda: slave.reg_write(0x0120, 2, "u16"),
        lambda: slave.sii_read(first=0, count=8), lambda: slave.sii_write(b"\x00\x00", first=8),
        lambda: slave.set_alias(1), lambda: slave.request_state("init"), slave.read_state,
    ]
    for call in calls:
        with pytest.raises(ecalias.MasterClosed) as closed:
            call()
        assert closed.value.code == -14
        assert "closed" in str(closed.value)
    # The record stays readable.
    assert slave.name == "ecsim slave 1"


def test_with_closes_the_master():
    with ecalias.open("sim:--slaves 1") as master:
        assert not master.closed
    assert master.closed
    with pytest.raises(ecalias.MasterClosed):
        master.slave(1).sdo_read(0x1000, 0)


def test_two_masters_in_one_process_are_independent(virtual_segment):
    first = virtual_segment(slaves=2, names={1: "first"})
    second = virtual_segment(slaves=3, names={1: "second"})
    assert len(first.slaves) == 2 and len(second.slaves) == 3
    assert first.slave(1).name == "first" and second.slave(1).name == "second"
    first.slave(1).sdo_write(0x3000, 0, 111, "u32")
    second.slave(1).sdo_write(0x3000, 0, 222, "u32")
    first.slave(1).set_alias(7)
    assert first.slave(1).sdo_read(0x3000, 0, "u32") == 111
    assert second.slave(1).sdo_read(0x3000, 0, "u32") == 222
    assert second.slave(1).sii_read(first=4, count=1) == b"\x00\x00"
    first.close()
    assert second.slave(1).sdo_read(0x3000, 0, "u32") == 222


def test_a_rescan_retires_the_old_slave_objects(virtual_segment):
    master = virtual_segment(slaves=2)
    old = master.slave(2)
    assert master.scan() == 2
    with pytest.raises(ecalias.StaleSlave) as stale:
        old.sdo_read(0x1000, 0)
    assert isinstance(stale.value, ecalias.NoSuchSlave)
    assert "master.slaves" in str(stale.value)
    assert master.slave(2).sdo_read(0x1018, 4, "u32") == 2


def test_threads_may_share_a_slave(virtual_segment):
    # Answers due 200 us after their requests keep each exchange open long enough for the
    # threads to meet inside one: unserialised, they take each other's mailbox answers.
    master = virtual_segment(slaves=2, faults={"sdo_delay": ("all", 200)})
    shared = master.slave(1)
    other = master.slave(2)
    failures = []

    def work(slave, value, allowed):
        try:
            for k in range(20):
                slave.sdo_write(0x3000, 0, value + k, "u32")
                got = slave.sdo_read(0x3000, 0, "u32")
                if not any(low <= got < low + 20 for low in allowed):
                    failures.append((slave.position, got))
                slave.reg_read(0x0130, "u16")
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(error)

    jobs = ((shared, 1000, (1000, 2000)), (shared, 2000, (1000, 2000)), (other, 0, (0,)))
    threads = [threading.Thread(target=work, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_close_waits_for_calls_in_flight(virtual_segment):
    master = virtual_segment(slaves=1, faults={"sdo_delay": ("all", 50000)})
    slave = master.slave(1)
    results = []

    def slow_read():
        try:
            results.append(slave.sdo_read(0x1018, 4, "u32", timeout=5.0))
        except ecalias.MasterClosed as closed:
            results.append(closed)

    reader = threading.Thread(target=slow_read)
    reader.start()
    master.close()
    reader.join()
    # Either the read got in first and finished, or it found the master closed: never a
    # call on a freed master.
    assert results == [1] or isinstance(results[0], ecalias.MasterClosed)


def test_all_slaves_change_state_together(virtual_segment):
    master = virtual_segment(slaves=3)
    master.request_state("init")
    assert [s.state for s in master.slaves] == ["INIT"] * 3
    master.request_state("PRE-OP")
    assert [s.read_state() for s in master.slaves] == ["PREOP"] * 3


def test_nothing_is_printed_on_success_or_failure(virtual_segment, capfd):
    master = virtual_segment(slaves=2, faults={"eeprom_nack_writes": (2, "all")})
    master.slave(1).set_alias(5)
    master.slave(1).sdo_read(0x1018, 1, "u32")
    failures = [lambda: master.slave(2).set_alias(5), lambda: master.slave(1).sdo_read(0x5555, 0),
                lambda: ecalias.open("sim:--bogus"), lambda: master.slave(3)]
    for call in failures:
        with pytest.raises(ecalias.Error):
            call()
    master.close()
    assert capfd.readouterr() == ("", "")
