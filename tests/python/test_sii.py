"""SII EEPROM words, whole images with their checks and backups, and the station alias
with its report."""
import os

import pytest

import ecalias
from conftest import bytes_of, header_checksum, needs, words_of


def test_words_read_as_little_endian_bytes(virtual_segment, fast_eeprom):
    slave = virtual_segment(slaves=2, identities={2: (0x11223344, 0x55667788, 9)}, **fast_eeprom).slave(2)
    header = words_of(slave.sii_read(first=0, count=16))
    assert header[7] & 0xFF == header_checksum(header)
    assert header[8] | header[9] << 16 == 0x11223344
    assert header[10] | header[11] << 16 == 0x55667788
    assert slave.sii_read(count=8) == bytes_of(header[:8])
    assert slave.sii_read(first=5, count=1) == bytes_of(header[5:6])


def test_words_written_are_read_back_and_reported(virtual_segment, fast_eeprom):
    master = virtual_segment(slaves=2, **fast_eeprom)
    slave = master.slave(1)
    data = bytes_of([0x1234, 0xABCD, 0x0000, 0xFFFF])
    report = slave.sii_write(data, first=0x40)
    assert isinstance(report, ecalias.SiiWriteReport)
    assert (report.written, report.verified, report.first_mismatch) == (4, True, None)
    assert report.attempts >= 4
    assert slave.sii_read(first=0x40, count=4) == data
    assert master.slave(2).sii_read(first=0x40, count=4) != data


def test_a_header_write_needs_a_matching_checksum_unless_forced(virtual_segment, fast_eeprom):
    slave = virtual_segment(slaves=1, **fast_eeprom).slave(1)
    header = words_of(slave.sii_read(count=8))
    with pytest.raises(ecalias.EepromError) as refused:
        slave.sii_write(bytes_of([0x0BAD]), first=4)
    assert refused.value.code == -15 and refused.value.slave == 1
    assert words_of(slave.sii_read(count=8)) == header  # nothing written
    # Word 4 with the checksum that goes with it.
    new = header[:4] + [0x0BAD] + header[5:7]
    new.append((header[7] & 0xFF00) | header_checksum(new))
    assert slave.sii_write(bytes_of(new[4:]), first=4).verified
    assert words_of(slave.sii_read(count=8)) == new
    assert slave.sii_alias == 0x0BAD
    slave.request_state("init")  # the record is read again: the written alias stays
    assert slave.sii_alias == 0x0BAD
    # Forced: written over a wrong checksum.
    assert slave.sii_write(bytes_of([0x0001]), first=4, force=True).written == 1
    assert words_of(slave.sii_read(first=4, count=1)) == [0x0001]


def test_a_refused_write_raises_with_what_was_done(virtual_segment, fast_eeprom):
    slave = virtual_segment(slaves=1, faults={"eeprom_nack_writes": ("all", "all")}, **fast_eeprom).slave(1)
    before = slave.sii_read(first=0x40, count=2)
    with pytest.raises(ecalias.EepromError) as refused:
        slave.sii_write(b"\x01\x00\x02\x00", first=0x40)
    assert refused.value.code == -8
    assert refused.value.report.written == 0 and not refused.value.report.verified
    assert slave.sii_read(first=0x40, count=2) == before


def test_reads_past_the_end_of_the_eeprom_are_refused(virtual_segment, no_traffic):
    slave = virtual_segment(slaves=1).slave(1)
    assert slave.sii_words == 2048
    with no_traffic():
        with pytest.raises(ValueError):
            slave.sii_read(first=2047, count=2)
        with pytest.raises(ValueError):
            slave.sii_write(b"\x00\x00\x00\x00", first=2047)


def test_set_alias_reports_before_written_read_back_and_that_it_waits_for_power(virtual_segment):
    master = virtual_segment(slaves=3, aliases={2: 17})
    slave = master.slave(2)
    before = words_of(slave.sii_read(count=8))
    report = slave.set_alias(4660)
    assert isinstance(report, ecalias.AliasReport)
    assert (report.before, report.written, report.read_back) == (17, 4660, 4660)
    assert report.verified and report.stored_checksum_ok
    assert report.effective is False and report.register == 17  # loaded at the next power-on
    assert report.words_before == tuple(before)
    expected = before[:4] + [4660] + before[5:7]
    expected.append((before[7] & 0xFF00) | header_checksum(expected))
    assert report.checksum_written == expected[7]
    assert list(report.words_after) == expected
    assert words_of(slave.sii_read(count=8)) == expected
    assert slave.sii_alias == 4660 and slave.alias == 17
    assert master.slave(1).sii_read(first=4, count=1) == b"\x00\x00"
    assert master.slave(3).sii_read(first=4, count=1) == b"\x00\x00"


def test_set_alias_refuses_a_wrong_stored_checksum_unless_forced(virtual_segment):
    slave = virtual_segment(slaves=1, faults={"sii_word": (1, 7, 0)}).slave(1)
    with pytest.raises(ecalias.EepromError) as refused:
        slave.set_alias(5)
    assert refused.value.code == -15
    report = refused.value.report
    assert report.written is None and not report.stored_checksum_ok and report.before == 0
    assert slave.sii_read(first=4, count=1) == b"\x00\x00"
    forced = slave.set_alias(5, force=True)
    assert forced.verified and forced.read_back == 5
    header = words_of(slave.sii_read(count=8))
    assert header[7] & 0xFF == header_checksum(header)


def test_set_alias_that_the_eeprom_refuses_leaves_word_seven_alone(virtual_segment, fast_eeprom):
    slave = virtual_segment(slaves=1, faults={"eeprom_nack_writes": (1, "all")}, **fast_eeprom).slave(1)
    before = slave.sii_read(count=8)
    with pytest.raises(ecalias.EepromError) as refused:
        slave.set_alias(99)
    assert refused.value.code == -8
    assert not refused.value.report.verified and refused.value.report.read_back == 0
    assert slave.sii_read(count=8) == before


@needs("ec_sii_read_image")
def test_the_whole_image_reads_up_to_its_end_marker(virtual_segment, fast_eeprom):
    slave = virtual_segment(slaves=1, names={1: "Drive"}, **fast_eeprom).slave(1)
    image = slave.sii_read()
    assert len(image) % 2 == 0 and 16 < len(image) <= 2 * slave.sii_words
    assert image[:16] == slave.sii_read(count=8)
    assert b"Drive" in image
    assert words_of(image)[-1] == 0xFFFF or len(image) == 2 * slave.sii_words


@needs("ec_sii_restore")
@needs("ec_sii_read_image")
def test_an_image_restores_with_a_backup_first_and_only_its_differing_words(virtual_segment, fast_eeprom,
                                                                           tmp_path):
    master = virtual_segment(slaves=2, names={1: "Drive"}, **fast_eeprom)
    slave = master.slave(1)
    original = slave.sii_read()
    changed = bytearray(original)
    at = changed.index(b"Drive")
    changed[at:at + 5] = b"Motor"
    dry = slave.sii_write(bytes(changed), dry_run=True, backup_dir=tmp_path)
    assert dry.differing >= 1 and dry.written == 0 and dry.backup_path is None
    assert os.listdir(tmp_path) == [] and slave.sii_read() == original
    report = slave.sii_write(bytes(changed), backup_dir=tmp_path)
    assert isinstance(report, ecalias.SiiRestoreReport)
    assert report.verified and report.written == report.differing == dry.differing
    assert report.backup_path and os.path.dirname(report.backup_path) == str(tmp_path)
    with open(report.backup_path, "rb") as backup:
        assert backup.read() == original
    assert slave.sii_read() == bytes(changed)
    # Slave 2's identity differs: refused, nothing written.
    with pytest.raises(ecalias.EepromError) as other:
        master.slave(2).sii_write(original, backup_dir=tmp_path)
    assert other.value.code == -16
    bad = bytearray(original)
    bad[14] ^= 0xFF  # the checksum byte
    with pytest.raises(ecalias.EepromError) as wrong_checksum:
        slave.sii_write(bytes(bad), backup_dir=tmp_path)
    assert wrong_checksum.value.code == -15
    assert slave.sii_read() == bytes(changed)


@needs("ec_sii_backup")
def test_a_backup_holds_the_image_in_a_new_file(virtual_segment, fast_eeprom, tmp_path):
    slave = virtual_segment(slaves=1, **fast_eeprom).slave(1)
    first = slave.sii_backup(tmp_path)
    with open(first, "rb") as backup:
        data = backup.read()
    assert data[:16] == slave.sii_read(count=8)
    assert os.path.dirname(first) == str(tmp_path)


def test_an_interruption_waits_until_the_alias_and_its_checksum_are_written(virtual_segment, monkeypatch):
    import signal

    from ecalias import _native

    slave = virtual_segment(slaves=1).slave(1)
    real = _native.require

    def interrupted(name):
        fn = real(name)
        if name != "ec_alias_set":
            return fn

        def call(*args):
            os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C just as the words are about to be written
            return fn(*args)

        return call

    monkeypatch.setattr(_native, "require", interrupted)
    with pytest.raises(KeyboardInterrupt):
        slave.set_alias(77)
    monkeypatch.setattr(_native, "require", real)
    header = words_of(slave.sii_read(count=8))
    assert header[4] == 77 and header[7] & 0xFF == header_checksum(header)
    assert signal.SIGINT not in signal.pthread_sigmask(signal.SIG_BLOCK, [])


@needs("ec_sii_restore")
def test_a_restore_that_cannot_make_its_backup_writes_nothing(virtual_segment, fast_eeprom, tmp_path):
    slave = virtual_segment(slaves=1, **fast_eeprom).slave(1)
    original = slave.sii_read()
    changed = bytearray(original)
    changed[-4] ^= 0x01
    missing = tmp_path / "no" / "such" / "folder"
    with pytest.raises(ecalias.Error) as no_backup:
        slave.sii_write(bytes(changed), backup_dir=missing)
    assert no_backup.value.code == -24 and str(missing) in str(no_backup.value)
    assert slave.sii_read() == original


@needs("ec_sii_restore")
def test_a_restore_the_eeprom_refuses_says_where_it_stopped(virtual_segment, fast_eeprom, tmp_path):
    slave = virtual_segment(slaves=1, faults={"eeprom_nack_writes": (1, "all")}, **fast_eeprom).slave(1)
    original = slave.sii_read()
    changed = bytearray(original)
    changed[0x40 * 2] ^= 0xFF
    with pytest.raises(ecalias.EepromError) as refused:
        slave.sii_write(bytes(changed), backup_dir=tmp_path)
    report = refused.value.report
    assert refused.value.code == -8
    assert report.first_failed_word == 0x40 and report.written == 0 and not report.verified
    assert report.backup_path and os.path.exists(report.backup_path)
    assert slave.sii_read() == original
