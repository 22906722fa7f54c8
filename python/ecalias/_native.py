"""The ctypes binding of libecalias: structures, prototypes and status codes.

The library is loaded from this package's own folder (the build puts it there), so no
LD_LIBRARY_PATH or system install is needed. Nothing here raises package errors; the
modules above turn statuses into exceptions.
"""
from __future__ import annotations

import ctypes
import os
from typing import Any, Optional

# Status codes (api/ecalias.h).
EC_OK = 0
EC_EINVAL = -1
EC_ENOSLAVE = -2
EC_ENOFRAME = -3
EC_EFOREIGN = -4
EC_EWKC = -5
EC_ETIMEOUT = -6
EC_EEEPROM_BUSY = -7
EC_EEEPROM_NACK = -8
EC_ESDOABORT = -9
EC_EMAILBOX = -10
EC_ENOTSUP = -11
EC_EPERM = -12
EC_ENOADAPTER = -13
EC_ECLOSED = -14
EC_ECHECKSUM = -15
EC_EIDENTITY = -16
EC_EVERIFY = -17
EC_EINUSE = -18
EC_EEEPROM_READ = -19
EC_ESTATE = -20
EC_ETOOBIG = -21
EC_ENOMEM = -22
EC_ENOTSCANNED = -23
EC_EFILE = -24

EC_FORCE = 1 << 0
EC_COMPLETE_ACCESS = 1 << 1
EC_DRY_RUN = 1 << 2

EC_MAX_SLAVES = 65535  # the protocol's limit; a scan's table is sized by its count
EC_NAME_BYTES = 41
EC_TEXT_BYTES = 256
EC_SII_MAX_WORDS = 32768
EC_SII_HEADER_WORDS = 8
EC_MAX_DATAGRAM_BYTES = 1486
EC_PATH_BYTES = 4096

EC_MBX_COE = 0x04

EC_PART_STATE = 1 << 6
EC_PART_SII_SIZE = 1 << 7

LIBRARY_FILE = "libecalias.so"


class ErrorDetail(ctypes.Structure):
    _fields_ = [
        ("code", ctypes.c_int),
        ("position", ctypes.c_int),
        ("step", ctypes.c_char * 64),
        ("sdo_abort_code", ctypes.c_uint32),
        ("sdo_abort_text", ctypes.c_char_p),
        ("al_status_code", ctypes.c_uint16),
        ("adapter_text", ctypes.c_char * EC_TEXT_BYTES),
    ]


class AdapterInfo(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char * EC_TEXT_BYTES),
        ("description", ctypes.c_char * EC_TEXT_BYTES),
        ("status", ctypes.c_int),
        ("slaves", ctypes.c_int),
        ("error", ctypes.c_char * EC_TEXT_BYTES),
    ]


class SlaveInfo(ctypes.Structure):
    _fields_ = [
        ("position", ctypes.c_int),
        ("station_address", ctypes.c_uint16),
        ("alias_register", ctypes.c_uint16),
        ("sii_alias", ctypes.c_uint16),
        ("vendor_id", ctypes.c_uint32),
        ("product_code", ctypes.c_uint32),
        ("revision", ctypes.c_uint32),
        ("serial", ctypes.c_uint32),
        ("name", ctypes.c_char * EC_NAME_BYTES),
        ("mailbox_write_offset", ctypes.c_uint16),
        ("mailbox_write_size", ctypes.c_uint16),
        ("mailbox_read_offset", ctypes.c_uint16),
        ("mailbox_read_size", ctypes.c_uint16),
        ("mailbox_protocols", ctypes.c_uint16),
        ("al_state", ctypes.c_uint16),
        ("al_status_code", ctypes.c_uint16),
        ("sii_words", ctypes.c_uint32),
        ("parts_read", ctypes.c_uint),
        ("complete", ctypes.c_int),
    ]


class SiiReport(ctypes.Structure):
    _fields_ = [
        ("words_written", ctypes.c_uint),
        ("attempts", ctypes.c_uint),
        ("verified", ctypes.c_int),
        ("first_mismatch", ctypes.c_int),
    ]


class SiiRestoreReport(ctypes.Structure):
    _fields_ = [
        ("words_compared", ctypes.c_uint),
        ("words_differing", ctypes.c_uint),
        ("words_written", ctypes.c_uint),
        ("words_verified", ctypes.c_uint),
        ("first_failed_word", ctypes.c_int),
        ("backup_path", ctypes.c_char * EC_PATH_BYTES),
    ]


class AliasReport(ctypes.Structure):
    _fields_ = [
        ("before", ctypes.c_uint16 * EC_SII_HEADER_WORDS),
        ("stored_checksum_ok", ctypes.c_int),
        ("alias_written", ctypes.c_uint16),
        ("checksum_written", ctypes.c_uint16),
        ("alias_acknowledged", ctypes.c_int),
        ("checksum_acknowledged", ctypes.c_int),
        ("attempts", ctypes.c_int),
        ("after", ctypes.c_uint16 * EC_SII_HEADER_WORDS),
        ("after_read", ctypes.c_uint),
        ("verified", ctypes.c_int),
        ("alias_register", ctypes.c_uint16),
        ("register_read", ctypes.c_int),
        ("register_shows_new", ctypes.c_int),
    ]


_c_int = ctypes.c_int
_c_uint = ctypes.c_uint
_c_u8 = ctypes.c_uint8
_c_u16 = ctypes.c_uint16
_c_u32 = ctypes.c_uint32
_c_size = ctypes.c_size_t
_void_p = ctypes.c_void_p
_master_p = ctypes.c_void_p
_P = ctypes.POINTER

# name: (restype, argtypes). Functions a library build may lack are looked up on use.
_PROTOTYPES = {
    "ec_version": (ctypes.c_char_p, []),
    "ec_strerror": (ctypes.c_char_p, [_c_int]),
    "ec_sdo_abort_text": (ctypes.c_char_p, [_c_u32]),
    "ec_al_status_text": (ctypes.c_char_p, [_c_u16]),
    "ec_last_error": (_c_int, [_master_p, _P(ErrorDetail)]),
    "ec_open": (_c_int, [ctypes.c_char_p, _P(_master_p)]),
    "ec_close": (_c_int, [_master_p]),
    "ec_adapters": (_c_int, [_P(AdapterInfo), _c_size, _P(_c_size)]),
    "ec_scan": (_c_int, [_master_p, _P(_c_int)]),
    "ec_slave_count": (_c_int, [_master_p, _P(_c_int)]),
    "ec_slave_info_get": (_c_int, [_master_p, _c_int, _P(SlaveInfo)]),
    "ec_sii_read": (_c_int, [_master_p, _c_int, _c_u32, _c_u32, _P(_c_u16)]),
    "ec_sii_write": (_c_int, [_master_p, _c_int, _c_u32, _c_u32, _P(_c_u16), _c_uint, _P(SiiReport)]),
    "ec_sii_checksum": (_c_int, [_P(_c_u16), _P(_c_u8)]),
    "ec_sii_check_image": (_c_int, [_master_p, _c_int, _P(_c_u16), _c_size]),
    "ec_sii_read_image": (_c_int, [_master_p, _c_int, _P(_c_u16), _c_size, _P(_c_size)]),
    "ec_sii_backup": (_c_int, [_master_p, _c_int, ctypes.c_char_p, ctypes.c_char_p, _c_size]),
    "ec_sii_restore": (
        _c_int,
        [_master_p, _c_int, _P(_c_u16), _c_size, _c_uint, ctypes.c_char_p, _P(SiiRestoreReport)],
    ),
    "ec_alias_set": (_c_int, [_master_p, _c_int, _c_u16, _c_uint, _P(AliasReport)]),
    "ec_sdo_upload": (_c_int, [_master_p, _c_int, _c_u16, _c_u8, _c_uint, _void_p, _P(_c_size), _c_int]),
    "ec_sdo_download": (_c_int, [_master_p, _c_int, _c_u16, _c_u8, _c_uint, _void_p, _c_size, _c_int]),
    "ec_reg_read": (_c_int, [_master_p, _c_int, _c_u16, _void_p, _c_size, _c_int]),
    "ec_reg_write": (_c_int, [_master_p, _c_int, _c_u16, _void_p, _c_size, _c_int]),
    "ec_state_request": (_c_int, [_master_p, _c_int, _c_u16, _c_int]),
    "ec_state_read": (_c_int, [_master_p, _c_int, _P(_c_u16), _P(_c_u16)]),
}


def library_path() -> str:
    """The path of the libecalias.so this package carries."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_FILE)


def _load() -> ctypes.CDLL:
    path = library_path()
    if not os.path.exists(path):
        raise ImportError(
            "ecalias: %s is missing; the package was not built with its native library: "
            "reinstall it with `pip install --no-build-isolation .` from the source tree" % path
        )
    return ctypes.CDLL(path)


lib = _load()


def function(name: str) -> Optional[Any]:
    """The prototyped C function `name`, or None when this library build lacks it."""
    cached = _functions.get(name)
    if cached is not None:
        return cached
    try:
        fn = getattr(lib, name)
    except AttributeError:
        return None
    restype, argtypes = _PROTOTYPES[name]
    fn.restype = restype
    fn.argtypes = argtypes
    _functions[name] = fn
    return fn


_functions: dict = {}


def require(name: str) -> Any:
    """The C function `name`; NotImplementedError naming it when the library lacks it."""
    fn = function(name)
    if fn is None:
        raise NotImplementedError(
            "%s is not in this build of libecalias (%s); update the library and reinstall the package"
            % (name, library_path())
        )
    return fn


def text(raw: Optional[bytes]) -> str:
    """A C string from the library as str (UTF-8, undecodable bytes replaced)."""
    return raw.decode("utf-8", "replace") if raw else ""


def strerror(code: int) -> str:
    return text(require("ec_strerror")(code))


def abort_text(abort_code: int) -> str:
    return text(require("ec_sdo_abort_text")(abort_code & 0xFFFFFFFF))


def al_status_text(code: int) -> str:
    """The meaning of an AL status code; "" when this library build cannot say."""
    fn = function("ec_al_status_text")
    return text(fn(code & 0xFFFF)) if fn is not None else ""


def version() -> str:
    return text(require("ec_version")())


def last_error(handle: Optional[int]) -> ErrorDetail:
    """The detail of the last failure on a master (None: this thread's last failed open)."""
    detail = ErrorDetail()
    if require("ec_last_error")(handle, ctypes.byref(detail)) != EC_OK:
        detail.code = 0
    return detail
