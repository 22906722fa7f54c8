"""Masters on adapters and the slaves they found."""
from __future__ import annotations

import contextlib
import ctypes
import threading
from dataclasses import dataclass
from typing import Dict, Iterator, List, Optional

from . import _native as n
from . import errors
from .slave import Slave


@dataclass(frozen=True)
class Adapter:
    """A capture adapter: `opened` when it could be opened, `slaves` answering a broadcast
    read on it (None when it was not opened), `reason` why it could not be opened."""

    name: str
    description: str
    opened: bool
    slaves: Optional[int]
    reason: Optional[str]


def adapters() -> List[Adapter]:
    """Lists the capture adapters and counts the slaves on each.

    Every adapter listed gets one broadcast read of register 0 (nothing is written): run it
    only where such frames are acceptable. Pseudo devices (any, nflog, usbmon...) are
    skipped. Raises Error when the adapters cannot be listed.
    """
    fn = n.require("ec_adapters")
    capacity = 0
    while True:
        found = ctypes.c_size_t(0)
        table = (n.AdapterInfo * max(capacity, 1))()
        status = fn(table if capacity else None, capacity, ctypes.byref(found))
        if status != n.EC_OK:
            raise errors.from_status(status, None, None, "list adapters")
        if found.value <= capacity:
            break
        capacity = found.value  # adapters appeared between the calls: list them again
    result = []
    for entry in table[: found.value]:
        result.append(Adapter(
            name=n.text(entry.name),
            description=n.text(entry.description),
            opened=entry.status == n.EC_OK,
            slaves=None if entry.slaves < 0 else int(entry.slaves),
            reason=n.text(entry.error) or None,
        ))
    return result


class Master:
    """A master on one adapter (or in-process segment). Use it as a context manager, or
    call close(). Calls on one slave are serialised; calls on different slaves may run in
    different threads at once."""

    def __init__(self, adapter: str, handle: int) -> None:
        self._adapter = adapter
        self._handle: Optional[int] = handle
        self._state = threading.Condition()
        self._active = 0
        self._closing = False
        self._generation = 0
        self._slaves: List[Slave] = []
        self._slave_locks: Dict[int, threading.Lock] = {}
        # One scan at a time: a scan creates the Slave objects (and their locks) of the
        # positions it found, so the locks the next scan must take all exist before it.
        self._scan_lock = threading.Lock()
        self._buffers: Dict[int, "ctypes.Array[ctypes.c_char]"] = {}  # upload buffers, by position

    # ---- life cycle ----

    @property
    def adapter(self) -> str:
        """The adapter name this master was opened on."""
        return self._adapter

    @property
    def closed(self) -> bool:
        return self._handle is None or self._closing

    def close(self) -> None:
        """Waits for the calls in flight, then closes the adapter. A second close does
        nothing; every later call raises MasterClosed."""
        with self._state:
            if self._closing:
                return
            self._closing = True
            while self._active:
                self._state.wait()
            handle, self._handle = self._handle, None
        if handle is not None:
            n.require("ec_close")(handle)

    def __enter__(self) -> "Master":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown: the library may be gone already
            pass

    def __repr__(self) -> str:
        return "<ecalias.Master %s, %s>" % (self._adapter, "closed" if self.closed else
                                            "%d slaves" % len(self._slaves))

    @contextlib.contextmanager
    def _use(self, slave: Optional[int] = None) -> Iterator[int]:
        """The handle, for the length of one call; MasterClosed once close() began (the
        handle is never passed to the library after ec_close, where it may belong to
        another master)."""
        with self._state:
            if self._closing or self._handle is None:
                raise errors.closed(slave)
            self._active += 1
            handle = self._handle
        try:
            yield handle
        finally:
            with self._state:
                self._active -= 1
                if self._active == 0:
                    self._state.notify_all()

    def _slave_lock(self, position: int) -> threading.Lock:
        with self._state:
            lock = self._slave_locks.get(position)
            if lock is None:
                lock = self._slave_locks[position] = threading.Lock()
            return lock

    def _generation_now(self) -> int:
        return self._generation

    # ---- slaves ----

    def scan(self) -> int:
        """Scans the segment again: counts the slaves, addresses them, reads their records
        and makes mailbox slaves ready for SDO traffic (PRE-OP). Slave objects from an
        earlier scan stop working (StaleSlave). Returns the slave count."""
        count = ctypes.c_int(0)
        with self._use() as handle, self._scan_lock:
            # Runs alone on the master: every slave's lock, in order, so no call of this
            # package is inside a slave while the table changes. A call holds the lock of
            # a Slave object, and only a scan makes Slave objects: the locks taken here are
            # all there are.
            with self._state:
                positions = sorted(self._slave_locks)
            locks = [self._slave_lock(p) for p in positions]
            for lock in locks:
                lock.acquire()
            try:
                status = n.require("ec_scan")(handle, ctypes.byref(count))
                self._generation += 1
                if status != n.EC_OK:
                    self._slaves = []
                    raise errors.from_status(status, handle, None, "scan the segment")
                self._slaves = [Slave(self, position, self._generation, self._record(handle, position))
                                for position in range(1, count.value + 1)]
            finally:
                for lock in reversed(locks):
                    lock.release()
        return count.value

    def _record(self, handle: int, position: int) -> n.SlaveInfo:
        info = n.SlaveInfo()
        status = n.require("ec_slave_info_get")(handle, position, ctypes.byref(info))
        if status != n.EC_OK:
            raise errors.from_status(status, handle, position, "read the slave record")
        return info

    @property
    def slaves(self) -> List[Slave]:
        """The slaves of the last scan, in line order (a new list each time)."""
        if self.closed:
            raise errors.closed()
        return list(self._slaves)

    def slave(self, position: Optional[int] = None, *, serial: Optional[int] = None) -> Slave:
        """The slave at 1-based `position`, or the one with serial number `serial` (SII
        words 0x0E-0x0F). NoSuchSlave when there is none; ValueError when several slaves
        carry that serial."""
        if self.closed:
            raise errors.closed()
        if (position is None) == (serial is None):
            raise TypeError("give either a position or serial=..., not both or neither")
        if position is not None:
            if isinstance(position, bool) or not isinstance(position, int):
                raise TypeError("the position must be an int, not %s" % type(position).__name__)
            if position < 1:
                raise ValueError("slave positions start at 1, not %d" % position)
            if position > len(self._slaves):
                raise errors.NoSuchSlave("slave %d: there is no slave at that position (the scan found %d)"
                                         % (position, len(self._slaves)), n.EC_ENOSLAVE, position)
            return self._slaves[position - 1]
        if isinstance(serial, bool) or not isinstance(serial, int):
            raise TypeError("the serial number must be an int, not %s" % type(serial).__name__)
        if serial < 0 or serial > 0xFFFFFFFF:
            raise ValueError("serial numbers are 0 to 4294967295, not %d" % serial)
        matches = [s for s in self._slaves if s.serial == serial]
        if not matches:
            raise errors.NoSuchSlave("no slave has serial number %d" % serial, n.EC_ENOSLAVE, None)
        if len(matches) > 1:
            raise ValueError("slaves %s all have serial number %d: use the position"
                             % (", ".join(str(s.position) for s in matches), serial))
        return matches[0]

    def request_state(self, name: str, timeout: float = 3.0) -> None:
        """Requests AL state `name` of every slave and waits for each up to `timeout`
        seconds. StateError names the first slave that did not get there."""
        from .slave import state_code, timeout_us

        code = state_code(name)
        micros = timeout_us(timeout)
        with self._use() as handle:
            status = n.require("ec_state_request")(handle, 0, code, micros)
            for s in self._slaves:
                s._refresh(handle)
            if status != n.EC_OK:
                detail = n.last_error(handle)
                raise errors.from_status(status, handle, detail.position or None, "request state %s" % name.upper())


def open(adapter: str, *, scan: bool = True) -> Master:  # noqa: A001 - the interface's name
    """Opens a master on `adapter`, a capture adapter such as "eth1" or "sim:OPTIONS" for
    an in-process virtual segment ("sim:--slaves 3 --name 2:Drive"), and scans the segment
    (scan=False leaves that to master.scan()). Use it in a with statement.

    OpenError when the adapter cannot be opened; its message says why and, for a missing
    permission, names the setcap command that grants it.
    """
    if not isinstance(adapter, str):
        raise TypeError("the adapter must be a str, not %s" % type(adapter).__name__)
    if not adapter:
        raise ValueError("the adapter name is empty: give an interface such as 'eth1' or 'sim:--slaves 1'")
    if "\x00" in adapter:
        raise ValueError("the adapter name contains a NUL character")
    handle = ctypes.c_void_p(None)
    status = n.require("ec_open")(adapter.encode("utf-8"), ctypes.byref(handle))
    if status != n.EC_OK or not handle.value:
        raise errors.open_failure(adapter)
    master = Master(adapter, handle.value)
    if scan:
        try:
            master.scan()
        except BaseException:
            master.close()
            raise
    return master
