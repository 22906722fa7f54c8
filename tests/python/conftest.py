"""Shared helpers of the package's tests. They run against the installed package (the
virtual_segment fixture comes from its pytest plugin), on in-process segments."""
import contextlib

import pytest

import ecalias
from ecalias import _native

# The library calls that put frames on the segment.
SENDING = {
    "ec_scan", "ec_sii_read", "ec_sii_write", "ec_sii_read_image", "ec_sii_backup", "ec_sii_restore", "ec_alias_set",
    "ec_sdo_upload", "ec_sdo_download", "ec_reg_read", "ec_reg_write", "ec_state_request", "ec_state_read",
    "ec_adapters",
}


def needs(function):
    """Skips a test when this build of libecalias lacks `function`."""
    return pytest.mark.skipif(_native.function(function) is None,
                              reason="this libecalias has no %s yet" % function)


@pytest.fixture
def no_traffic(monkeypatch):
    """A context manager: inside it, a call that would send anything fails the test."""

    @contextlib.contextmanager
    def guard():
        real = _native.require

        def guarded(name):
            if name in SENDING:
                raise AssertionError("%s was called: something would have been sent" % name)
            return real(name)

        monkeypatch.setattr(_native, "require", guarded)
        try:
            yield
        finally:
            monkeypatch.setattr(_native, "require", real)

    return guard


@pytest.fixture
def fast_eeprom():
    """Keywords for segments whose EEPROM answers at once (keeps SII tests short)."""
    return {"eeprom_latency": (0, 0)}


def header_checksum(words):
    """CRC-8 (polynomial 0x07, initial 0xFF) of SII words 0-6, low byte first."""
    crc = 0xFF
    for word in words[:7]:
        for byte in (word & 0xFF, word >> 8):
            crc ^= byte
            for _ in range(8):
                crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def words_of(data):
    return [int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data), 2)]


def bytes_of(words):
    return b"".join(w.to_bytes(2, "little") for w in words)


__all__ = ["ecalias", "needs", "header_checksum", "words_of", "bytes_of"]
