"""Typed values: the names of the data types, checking a value against its type, and the
little-endian bytes each type takes on the wire. Every check here runs before anything
is sent."""
from __future__ import annotations

import math
import struct
from typing import Optional, Tuple, Union

Value = Union[int, float, bool, str, bytes]

# name: (struct format, bytes); "string" and "octets" have no fixed size.
_FIXED = {
    "bool": ("<B", 1),
    "u8": ("<B", 1),
    "u16": ("<H", 2),
    "u32": ("<I", 4),
    "u64": ("<Q", 8),
    "i8": ("<b", 1),
    "i16": ("<h", 2),
    "i32": ("<i", 4),
    "i64": ("<q", 8),
    "f32": ("<f", 4),
    "f64": ("<d", 8),
}
TYPES = tuple(_FIXED) + ("string", "octets")
_F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]


def check_type(type_name: object, allowed: Tuple[str, ...] = TYPES) -> str:
    if not isinstance(type_name, str):
        raise TypeError("the type must be a str such as 'u16', not %s" % type(type_name).__name__)
    name = type_name.lower()
    if name not in allowed:
        raise ValueError("unknown type %r: use one of %s" % (type_name, ", ".join(allowed)))
    return name


def fixed_size(type_name: str) -> Optional[int]:
    """The size of a fixed-size type in bytes; None for string and octets."""
    entry = _FIXED.get(type_name)
    return entry[1] if entry else None


def integer(value: object, what: str, low: int, high: int) -> int:
    """`value` as an int within low..high: TypeError for another type (bool included),
    ValueError outside the range."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if value < low or value > high:
        raise ValueError("%s %d is out of range %d to %d" % (what, value, low, high))
    return int(value)


def byte_string(value: object, what: str, low: int, high: int) -> bytes:
    """bytes, bytearray or memoryview of low..high bytes, as bytes."""
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError("%s must be bytes, bytearray or memoryview, not %s" % (what, type(value).__name__))
    data = bytes(value)
    if len(data) < low or len(data) > high:
        raise ValueError("%s is %d bytes long; it takes %d to %d bytes" % (what, len(data), low, high))
    return data


def encode(value: object, type_name: str, what: str = "the value") -> bytes:
    """The bytes of `value` as type `type_name` (a fixed-size type or octets)."""
    if type_name == "bool":
        if isinstance(value, bool):
            return b"\x01" if value else b"\x00"
        if isinstance(value, int) and value in (0, 1):
            return bytes([value])
        if isinstance(value, int):
            raise ValueError("%s %d is not a bool: use True, False, 0 or 1" % (what, value))
        raise TypeError("%s must be a bool, not %s" % (what, type(value).__name__))
    if type_name in ("f32", "f64"):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError("%s must be a float or an int, not %s" % (what, type(value).__name__))
        number = float(value)
        if type_name == "f32" and math.isfinite(number) and abs(number) > _F32_MAX:
            raise ValueError("%s %r is out of range for f32 (about +-3.4e38)" % (what, value))
        return struct.pack(_FIXED[type_name][0], number)
    if type_name == "octets":
        return byte_string(value, what, 1, 65535)
    fmt, size = _FIXED[type_name]
    bits = size * 8
    if type_name.startswith("u"):
        low, high = 0, (1 << bits) - 1
    else:
        low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    return struct.pack(fmt, integer(value, "%s for %s" % (what, type_name), low, high))


def decode(data: bytes, type_name: str) -> Value:
    """`data` as type `type_name`; the caller checked the size of fixed-size types."""
    if type_name == "octets":
        return bytes(data)
    if type_name == "string":
        # A visible string is padded with NULs up to its object's length.
        return bytes(data).split(b"\x00", 1)[0].decode("utf-8", "replace")
    value = struct.unpack(_FIXED[type_name][0], data)[0]
    if type_name == "bool":
        return value != 0
    return value
