"""The exceptions of the package and the mapping from library statuses to them."""
from __future__ import annotations

import os
import sys
from typing import Any, Optional

from . import _native as n


class Error(Exception):
    """A failure the library reported.

    `code` is the library's status (a negative EC_E... value of ecalias.h), `slave` the
    1-based position of the slave concerned (None when none), `step` what was being done.
    str() is an English sentence.
    """

    def __init__(self, message: str, code: int, slave: Optional[int] = None, step: str = "") -> None:
        super().__init__(message)
        self.code = code
        self.slave = slave
        self.step = step


class SdoAbort(Error):
    """The slave aborted an SDO transfer: `abort_code` (CoE abort code), `message` its meaning."""

    def __init__(self, message: str, code: int, slave: Optional[int], step: str, abort_code: int,
                 abort_message: str) -> None:
        super().__init__(message, code, slave, step)
        self.abort_code = abort_code
        self.message = abort_message


class NoSuchSlave(Error):
    """No slave at that position (or with that serial number) on the last scan."""


class Timeout(Error):
    """No frame came back, or the slave did not answer in time."""


class EepromError(Error):
    """The SII EEPROM could not be read or written, or its content was refused (checksum,
    identity, read-back). `report` holds what a write did before it failed, when known."""

    def __init__(self, message: str, code: int, slave: Optional[int] = None, step: str = "",
                 report: Any = None) -> None:
        super().__init__(message, code, slave, step)
        self.report = report


class OpenError(Error):
    """The adapter could not be opened (no permission, in use, no such adapter, a bad
    "sim:" description). With a missing permission the message names the setcap fix."""


class StateError(Error):
    """The slave did not reach the requested AL state; `al_status_code` says why."""

    def __init__(self, message: str, code: int, slave: Optional[int], step: str, al_status_code: int) -> None:
        super().__init__(message, code, slave, step)
        self.al_status_code = al_status_code


class MasterClosed(Error):
    """The master (or the Slave's master) was closed."""


class StaleSlave(NoSuchSlave):
    """The segment was scanned again after this Slave object was made: its position may
    now be another slave. Take the slave from master.slaves again."""


_TIMEOUTS = {n.EC_ENOFRAME, n.EC_ETIMEOUT}
_EEPROM = {n.EC_EEEPROM_BUSY, n.EC_EEEPROM_NACK, n.EC_EEEPROM_READ, n.EC_ECHECKSUM, n.EC_EIDENTITY, n.EC_EVERIFY}
_OPEN = {n.EC_EPERM, n.EC_ENOADAPTER, n.EC_EINUSE}

SETCAP_FIX = ("from Python the capability belongs to the interpreter: "
              "`sudo setcap cap_net_raw,cap_net_admin+ep %s`, or run as root")


def _sentence(text: str) -> str:
    text = text.strip()
    return text[:-1] if text.endswith(".") else text


def from_status(code: int, handle: Optional[int], slave: Optional[int], what: str, report: Any = None) -> Error:
    """The exception for a failed call: `what` names the call, the master's last error
    detail adds the step, the abort code or the AL status code when it belongs to it."""
    detail = n.last_error(handle) if handle is not None else None
    # Another thread's failure on the master may have replaced the detail meanwhile: use it
    # only when it is this failure's.
    if detail is not None and (detail.code != code or (slave is not None and detail.position != slave)):
        detail = None
    step = n.text(detail.step) if detail is not None else ""
    where = "slave %d: " % slave if slave else ""
    message = "%s%s: %s" % (where, what, _sentence(n.strerror(code)))
    if code == n.EC_ESDOABORT:
        abort_code = detail.sdo_abort_code if detail is not None else 0
        meaning = n.abort_text(abort_code) if detail is not None else "abort code not known"
        message += " (abort code 0x%08X: %s)" % (abort_code, meaning)
        return SdoAbort(message, code, slave, step, abort_code, meaning)
    if code == n.EC_ENOSLAVE:
        return NoSuchSlave(message, code, slave, step)
    if code in _TIMEOUTS:
        return Timeout(message, code, slave, step)
    if code in _EEPROM:
        if step:
            message += " (%s)" % step
        return EepromError(message, code, slave, step, report)
    if code == n.EC_ESTATE:
        status = detail.al_status_code if detail is not None else 0
        meaning = n.al_status_text(status)
        message += " (AL status code 0x%04X%s)" % (status, ": " + meaning if meaning else "")
        return StateError(message, code, slave, step, status)
    # The library's own text for a file or adapter failure (e.g. "FILE: Permission denied").
    reason = n.text(detail.adapter_text) if detail is not None else ""
    if reason:
        message += ": " + reason
    if code == n.EC_ECLOSED:
        return MasterClosed(message, code, slave, step)
    if step and step != what:
        message += " (%s)" % step
    return Error(message, code, slave, step)


def open_failure(adapter: str) -> OpenError:
    """The exception for a failed ec_open, from this thread's open detail."""
    detail = n.last_error(None)
    code = detail.code or n.EC_ENOADAPTER
    reason = n.text(detail.adapter_text) or _sentence(n.strerror(code))
    message = "cannot open adapter %s: %s" % (adapter, reason)
    if code == n.EC_EPERM:
        message += "; " + SETCAP_FIX % os.path.realpath(sys.executable)
    return OpenError(message, code, None, "open adapter")


def closed(slave: Optional[int] = None) -> MasterClosed:
    where = "slave %d: " % slave if slave else ""
    return MasterClosed("%sthe master was closed; open it again with ecalias.open()" % where, n.EC_ECLOSED, slave)
