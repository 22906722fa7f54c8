"""One slave of a master: its record from the scan and every call on it."""
from __future__ import annotations

import contextlib
import ctypes
import os
import signal
from typing import TYPE_CHECKING, Iterator, Optional, Union

from . import _native as n
from . import errors, values
from .reports import AliasReport, SiiRestoreReport, SiiWriteReport

if TYPE_CHECKING:
    from .master import Master

STATES = {n_: s for n_, s in ((1, "INIT"), (2, "PREOP"), (3, "BOOT"), (4, "SAFEOP"), (8, "OP"))}
_STATE_CODES = {s: c for c, s in STATES.items()}
_INT32_MAX = 0x7FFFFFFF
_SDO_MAX_READ = 1 << 24
_ALIAS_WORD = 4


def state_code(name: object) -> int:
    """The AL state code of a state name ("init", "PREOP", "pre-op", "safe_op", ...)."""
    if not isinstance(name, str):
        raise TypeError("the state must be a str such as 'preop', not %s" % type(name).__name__)
    key = name.upper().replace("-", "").replace("_", "")
    if key not in _STATE_CODES:
        raise ValueError("unknown state %r: use INIT, PREOP, BOOT, SAFEOP or OP" % name)
    return _STATE_CODES[key]


def timeout_us(seconds: object) -> int:
    """A timeout in seconds as microseconds for the library."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError("the timeout must be a number of seconds, not %s" % type(seconds).__name__)
    if not seconds >= 0 or seconds * 1e6 > _INT32_MAX:  # also refuses nan
        raise ValueError("the timeout %r s is out of range 0 to %.0f s" % (seconds, _INT32_MAX / 1e6))
    return int(round(seconds * 1e6))


_HELD_SIGNALS = {getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT") if hasattr(signal, name)}


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds the signals that end a program in the calling thread while a pair of header
    words is written: a program stopped between the alias and its checksum would leave a
    header the slave rejects at its next power-on. They are delivered afterwards."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _words(data: object, what: str) -> "ctypes.Array[ctypes.c_uint16]":
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("%s must be bytes (little-endian words), not %s" % (what, type(data).__name__))
    raw = bytes(data)
    if len(raw) == 0:
        raise ValueError("%s is empty" % what)
    if len(raw) % 2:
        raise ValueError("%s is %d bytes long: SII data are whole 16-bit words, so the length must be even"
                         % (what, len(raw)))
    if len(raw) > 2 * n.EC_SII_MAX_WORDS:
        raise ValueError("%s is %d bytes long; an SII EEPROM holds at most %d" % (what, len(raw),
                                                                                 2 * n.EC_SII_MAX_WORDS))
    words = (ctypes.c_uint16 * (len(raw) // 2))()
    ctypes.memmove(words, raw, len(raw))  # little-endian words, as the EEPROM holds them
    return words


class Slave:
    """A slave as the last scan found it.

    Attributes: position (1 for the first slave), station (configured station address),
    alias (register 0x0012: the alias loaded at power-on), sii_alias (SII word 4: the alias
    loaded at the next power-on), state (INIT, PREOP, BOOT, SAFEOP, OP; None when unread),
    vendor, product, revision, serial, name, complete (every part of the record was read),
    al_status_code, sii_words, has_mailbox.

    Calls on one slave are serialised (threads may share a Slave). Arguments are checked
    before anything is sent: TypeError or ValueError.
    """

    def __init__(self, master: "Master", position: int, generation: int, info: n.SlaveInfo) -> None:
        self._master = master
        self._generation = generation
        self._lock = master._slave_lock(position)
        self.position = position
        # SII word 4 as a word write or an image restore of this package left it: the
        # library's record keeps the scanned value until ec_alias_set or the next scan.
        self._sii_alias_written: Optional[int] = None
        self._set_record(info)

    def _set_record(self, info: n.SlaveInfo) -> None:
        self.station: int = int(info.station_address)
        self.alias: int = int(info.alias_register)
        self.sii_alias: int = int(info.sii_alias) if self._sii_alias_written is None else self._sii_alias_written
        self.vendor: int = int(info.vendor_id)
        self.product: int = int(info.product_code)
        self.revision: int = int(info.revision)
        self.serial: int = int(info.serial)
        self.name: str = n.text(info.name)
        self.complete: bool = bool(info.complete)
        self.al_status_code: int = int(info.al_status_code)
        self.sii_words: Optional[int] = int(info.sii_words) if info.parts_read & n.EC_PART_SII_SIZE else None
        self.has_mailbox: bool = info.mailbox_write_size > 0 and info.mailbox_read_size > 0
        self.error_flag: bool = bool(info.al_state & 0x10)
        self.state: Optional[str] = STATES.get(info.al_state & 0x0F) if info.parts_read & n.EC_PART_STATE else None

    def _refresh(self, handle: int) -> None:
        info = n.SlaveInfo()
        if n.require("ec_slave_info_get")(handle, self.position, ctypes.byref(info)) == n.EC_OK:
            self._set_record(info)

    def __repr__(self) -> str:
        return "<ecalias.Slave %d %r vendor=0x%08x product=0x%08x serial=%d state=%s>" % (
            self.position, self.name, self.vendor, self.product, self.serial, self.state)

    @contextlib.contextmanager
    def _call(self) -> Iterator[int]:
        """The master's handle for one call on this slave, with the slave's lock held."""
        with self._master._use(self.position) as handle, self._lock:
            if self._generation != self._master._generation_now():
                raise errors.StaleSlave(
                    "slave %d: the segment was scanned again since this Slave was taken; take it from "
                    "master.slaves again (the position may now be another slave)" % self.position,
                    n.EC_ENOSLAVE, self.position)
            yield handle

    def _upload_buffer(self, capacity: int) -> "ctypes.Array[ctypes.c_char]":
        """A buffer of at least `capacity` bytes for this slave's uploads, kept between calls
        (they are serialised by the slave's lock, which the caller holds)."""
        buffer = self._master._buffers.get(self.position)
        if buffer is None or len(buffer) < capacity:
            buffer = self._master._buffers[self.position] = ctypes.create_string_buffer(max(capacity, 65536))
        return buffer

    def _fail(self, status: int, handle: int, what: str, report: object = None) -> errors.Error:
        return errors.from_status(status, handle, self.position, what, report)

    # ---- CoE SDO ----

    def sdo_read(self, index: int, subindex: int = 0, type: Optional[str] = None, *,  # noqa: A002
                 complete: bool = False, timeout: float = 1.0, max_size: int = 65536) -> values.Value:
        """Reads object index:subindex. With `type` (bool, u8..u64, i8..i64, f32, f64,
        string, octets) the value as int, float, bool, str or bytes; without, the bytes.
        complete=True reads the whole object from subindex 0 or 1 on (complete access).
        Raises SdoAbort when the slave refuses, Error (code EC_ETOOBIG) when the object's
        size does not fit the type or max_size, Timeout without an answer."""
        idx = values.integer(index, "the index", 0, 0xFFFF)
        sub = values.integer(subindex, "the subindex", 0, 0xFF)
        kind = values.check_type(type) if type is not None else None
        if not isinstance(complete, bool):
            raise TypeError("complete must be True or False")
        if complete and sub > 1:
            raise ValueError("complete access starts at subindex 0 or 1, not %d" % sub)
        micros = timeout_us(timeout)
        capacity = values.integer(max_size, "max_size", 1, _SDO_MAX_READ)
        what = "SDO read 0x%04X:%02X" % (idx, sub)
        size = ctypes.c_size_t(capacity)
        with self._call() as handle:
            buffer = self._upload_buffer(capacity)
            status = n.require("ec_sdo_upload")(handle, self.position, idx, sub,
                                                n.EC_COMPLETE_ACCESS if complete else 0, buffer,
                                                ctypes.byref(size), micros)
            if status != n.EC_OK:
                raise self._fail(status, handle, what)
            data = ctypes.string_at(buffer, size.value)
        if kind is None:
            return data
        want = values.fixed_size(kind)
        if want is not None and len(data) != want:
            raise errors.Error("slave %d: %s: the object holds %d bytes, %s takes %d"
                               % (self.position, what, len(data), kind, want), n.EC_ETOOBIG, self.position)
        return values.decode(data, kind)

    def sdo_write(self, index: int, subindex: int, value: values.Value, type: Optional[str] = None, *,  # noqa: A002
                  complete: bool = False, timeout: float = 1.0) -> None:
        """Writes `value` to object index:subindex: an int, float or bool checked against
        `type`, a str for "string", bytes for "octets" or when no type is given.

        A string is written at the object's length: it is read first, a longer text is
        refused with ValueError (nothing written) and a shorter one padded with NULs."""
        idx = values.integer(index, "the index", 0, 0xFFFF)
        sub = values.integer(subindex, "the subindex", 0, 0xFF)
        kind = values.check_type(type) if type is not None else None
        if not isinstance(complete, bool):
            raise TypeError("complete must be True or False")
        if complete and sub > 1:
            raise ValueError("complete access starts at subindex 0 or 1, not %d" % sub)
        micros = timeout_us(timeout)
        what = "SDO write 0x%04X:%02X" % (idx, sub)
        text: Optional[bytes] = None
        if kind == "string":
            if not isinstance(value, str):
                raise TypeError("a string value must be a str, not %s" % type_name(value))
            text = value.encode("utf-8")
            if len(text) > 65535:
                raise ValueError("the text is %d bytes long in UTF-8; an SDO takes at most 65535" % len(text))
            data = b""
        elif kind is None:
            data = values.byte_string(value, "the value", 1, 65535)
        else:
            data = values.encode(value, kind)
        flags = n.EC_COMPLETE_ACCESS if complete else 0
        with self._call() as handle:
            if text is not None:
                # The object's length bounds the text; nothing is written when it is too long.
                capacity = 65536
                current = self._upload_buffer(capacity)
                size = ctypes.c_size_t(capacity)
                status = n.require("ec_sdo_upload")(handle, self.position, idx, sub, flags, current,
                                                    ctypes.byref(size), micros)
                if status != n.EC_OK:
                    raise self._fail(status, handle, what + " (reading the string's length)")
                if len(text) > size.value:
                    raise ValueError("slave %d: %s: the text is %d bytes long, the object holds %d; nothing "
                                     "was written" % (self.position, what, len(text), size.value))
                data = text + b"\x00" * (size.value - len(text))
                if not data:
                    raise ValueError("slave %d: %s: the object is empty" % (self.position, what))
            status = n.require("ec_sdo_download")(handle, self.position, idx, sub, flags, data, len(data), micros)
            if status != n.EC_OK:
                raise self._fail(status, handle, what)

    # ---- ESC registers ----

    def _register_args(self, address: object, size: int) -> int:
        addr = values.integer(address, "the register address", 0, 0xFFFF)
        if addr + size > 0x10000:
            raise ValueError("%d bytes from 0x%04X pass the end of the slave controller's 64 KiB" % (size, addr))
        return addr

    def reg_read(self, address: int, type: Optional[str] = None, *, length: Optional[int] = None,  # noqa: A002
                 timeout: float = 0.1) -> Union[int, float, bool, bytes]:
        """Reads the slave controller's registers/memory at `address`: one value of `type`
        (bool, u8..u64, i8..i64, f32, f64), or `length` bytes (1..1486) as bytes."""
        if (type is None) == (length is None):
            raise TypeError("give either a type or length=..., not both or neither")
        kind = (values.check_type(type, tuple(t for t in values.TYPES if values.fixed_size(t)))
                if type is not None else None)
        size = values.fixed_size(kind) if kind else values.integer(length, "the length", 1, n.EC_MAX_DATAGRAM_BYTES)
        assert size is not None
        addr = self._register_args(address, size)
        micros = timeout_us(timeout)
        buffer = ctypes.create_string_buffer(size)
        with self._call() as handle:
            status = n.require("ec_reg_read")(handle, self.position, addr, buffer, size, micros)
            if status != n.EC_OK:
                raise self._fail(status, handle, "read register 0x%04X" % addr)
        return values.decode(buffer.raw, kind) if kind else buffer.raw  # type: ignore[return-value]

    def reg_write(self, address: int, value: Union[int, float, bool, bytes], type: Optional[str] = None, *,  # noqa: A002
                  timeout: float = 0.1) -> None:
        """Writes `value` as `type` (bool, u8..u64, i8..i64, f32, f64), or bytes (1..1486)
        when no type is given, into the registers/memory at `address`."""
        if type is None:
            data = values.byte_string(value, "the value", 1, n.EC_MAX_DATAGRAM_BYTES)
        else:
            kind = values.check_type(type, tuple(t for t in values.TYPES if values.fixed_size(t)))
            data = values.encode(value, kind)
        addr = self._register_args(address, len(data))
        micros = timeout_us(timeout)
        with self._call() as handle:
            status = n.require("ec_reg_write")(handle, self.position, addr, data, len(data), micros)
            if status != n.EC_OK:
                raise self._fail(status, handle, "write register 0x%04X" % addr)

    # ---- SII EEPROM ----

    def _sii_range(self, first: object, count: int) -> int:
        start = values.integer(first, "the first word", 0, n.EC_SII_MAX_WORDS - 1)
        limit = self.sii_words or n.EC_SII_MAX_WORDS
        if start + count > limit:
            raise ValueError("words %d to %d pass the end of the EEPROM (%d words)" % (start, start + count - 1, limit))
        return start

    def sii_read(self, first: Optional[int] = None, count: Optional[int] = None) -> bytes:
        """The SII EEPROM as bytes (little-endian words): the whole image up to its
        end-of-categories marker without arguments, or `count` words from `first` on
        (first defaults to 0)."""
        if count is None:
            if first is not None:
                raise TypeError("give count=... with first (sii_read() alone reads the whole image)")
            fn = n.require("ec_sii_read_image")
            words = (ctypes.c_uint16 * n.EC_SII_MAX_WORDS)()
            got = ctypes.c_size_t(0)
            with self._call() as handle:
                status = fn(handle, self.position, words, n.EC_SII_MAX_WORDS, ctypes.byref(got))
                if status != n.EC_OK:
                    raise self._fail(status, handle, "read the SII image")
            return bytes(words)[: 2 * got.value]
        number = values.integer(count, "the word count", 1, n.EC_SII_MAX_WORDS)
        start = self._sii_range(0 if first is None else first, number)
        words = (ctypes.c_uint16 * number)()
        with self._call() as handle:
            status = n.require("ec_sii_read")(handle, self.position, start, number, words)
            if status != n.EC_OK:
                raise self._fail(status, handle, "read SII words %d-%d" % (start, start + number - 1))
        return bytes(words)

    def sii_write(self, data: bytes, first: Optional[int] = None, *, force: bool = False,
                  backup_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
                  dry_run: bool = False) -> Union[SiiWriteReport, SiiRestoreReport]:
        """Writes SII data (bytes, little-endian words; the length must be even).

        With `first`: the words from word `first` on, each read back (SiiWriteReport:
        written, verified). A write over words 0-7 that would leave a wrong checksum in word
        7 is refused (EepromError) unless force=True.

        Without `first`: `data` is a whole image, restored the safe way: its checksum and
        its vendor and product code are checked against the slave (EepromError; force=True
        skips both), a backup of the EEPROM is saved into backup_dir (default: the current
        directory) first, only differing words are written and every written word is read
        back (SiiRestoreReport: backup_path, written, verified). dry_run=True checks and
        compares only.
        """
        if not isinstance(force, bool) or not isinstance(dry_run, bool):
            raise TypeError("force and dry_run must be True or False")
        words = _words(data, "the SII data")
        count = len(words)
        flags = n.EC_FORCE if force else 0
        if first is not None:
            if backup_dir is not None or dry_run:
                raise TypeError("backup_dir and dry_run belong to whole-image writes: leave out first")
            start = self._sii_range(first, count)
            report = n.SiiReport()
            header = _signals_held() if start < n.EC_SII_HEADER_WORDS else contextlib.nullcontext()
            with self._call() as handle, header:
                status = n.require("ec_sii_write")(handle, self.position, start, count, words, flags,
                                                   ctypes.byref(report))
                result = SiiWriteReport.from_c(report)
                if status != n.EC_OK:
                    raise self._fail(status, handle, "write SII words %d-%d" % (start, start + count - 1), result)
            if start <= _ALIAS_WORD < start + count:  # read back as written: the record follows
                self.sii_alias = self._sii_alias_written = int(words[_ALIAS_WORD - start])
            return result
        if count < n.EC_SII_HEADER_WORDS:
            raise ValueError("an SII image holds at least words 0-7 (16 bytes), not %d bytes" % (2 * count))
        if self.sii_words and count > self.sii_words:
            raise ValueError("the image has %d words; the EEPROM holds %d" % (count, self.sii_words))
        directory = b""
        if backup_dir is not None:
            path = os.fsencode(backup_dir)
            if b"\x00" in path:
                raise ValueError("backup_dir contains a NUL character")
            if len(path) >= n.EC_PATH_BYTES - 256:
                raise ValueError("backup_dir is too long (%d bytes)" % len(path))
            directory = path
        fn = n.require("ec_sii_restore")
        if dry_run:
            flags |= n.EC_DRY_RUN
        restore = n.SiiRestoreReport()
        with self._call() as handle, _signals_held():
            status = fn(handle, self.position, words, count, flags, directory, ctypes.byref(restore))
            outcome = SiiRestoreReport.from_c(restore, dry_run)
            if status != n.EC_OK:
                raise self._fail(status, handle, "restore the SII image", outcome)
        if not dry_run:
            self.sii_alias = self._sii_alias_written = int(words[_ALIAS_WORD])
        return outcome

    def sii_backup(self, backup_dir: Optional[Union[str, "os.PathLike[str]"]] = None) -> str:
        """Saves the whole SII image into a new file in backup_dir (default: the current
        directory); returns its path. An existing file is never overwritten."""
        directory = b""
        if backup_dir is not None:
            directory = os.fsencode(backup_dir)
            if b"\x00" in directory:
                raise ValueError("backup_dir contains a NUL character")
        fn = n.require("ec_sii_backup")
        path = ctypes.create_string_buffer(n.EC_PATH_BYTES)
        with self._call() as handle:
            status = fn(handle, self.position, directory, path, n.EC_PATH_BYTES)
            if status != n.EC_OK:
                raise self._fail(status, handle, "back up the SII image")
        return os.fsdecode(path.value)

    def set_alias(self, value: int, force: bool = False) -> AliasReport:
        """Sets the station alias (SII word 4) and the checksum (word 7), and reads words 0-7
        back. The slave loads the new alias at its next power-on (report.effective is then
        normally False). A stored checksum that is already wrong is refused (EepromError)
        unless force=True. On failure the EepromError carries the report. SIGINT, SIGTERM,
        SIGHUP and SIGQUIT are held in the calling thread while the words are written."""
        alias = values.integer(value, "the alias", 0, 0xFFFF)
        if not isinstance(force, bool):
            raise TypeError("force must be True or False")
        report = n.AliasReport()
        with self._call() as handle, _signals_held():
            status = n.require("ec_alias_set")(handle, self.position, alias, n.EC_FORCE if force else 0,
                                               ctypes.byref(report))
            result = AliasReport.from_c(report, status != n.EC_EEEPROM_READ)
            if status != n.EC_OK:
                raise self._fail(status, handle, "set the station alias to %d" % alias, result)
            self._sii_alias_written = None  # the library's record holds it now
            self._refresh(handle)
        return result

    # ---- AL state ----

    def request_state(self, name: str, timeout: float = 3.0) -> str:
        """Requests AL state `name` (INIT, PREOP, BOOT, SAFEOP, OP; any case, "pre-op" too)
        and waits up to `timeout` seconds. Returns the state reached; StateError (with the
        AL status code) when the slave did not get there."""
        code = state_code(name)
        micros = timeout_us(timeout)
        with self._call() as handle:
            status = n.require("ec_state_request")(handle, self.position, code, micros)
            self._refresh(handle)
            if status != n.EC_OK:
                raise self._fail(status, handle, "request state %s" % STATES[code])
        return STATES[code]

    def read_state(self) -> str:
        """Reads the AL status register now: the state name (the error bit is in
        error_flag, the reason in al_status_code, both updated)."""
        state = ctypes.c_uint16(0)
        code = ctypes.c_uint16(0)
        with self._call() as handle:
            status = n.require("ec_state_read")(handle, self.position, ctypes.byref(state), ctypes.byref(code))
            if status != n.EC_OK:
                raise self._fail(status, handle, "read the AL state")
        self.error_flag = bool(state.value & 0x10)
        self.al_status_code = int(code.value)
        self.state = STATES.get(state.value & 0x0F, "UNKNOWN 0x%X" % (state.value & 0x0F))
        return self.state


def type_name(value: object) -> str:
    return type(value).__name__
