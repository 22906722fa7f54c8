"""Virtual segments for your own tests: no root, no network namespace, no hardware.

A segment lives inside the test process (the library's "sim:" adapter, the same
simulator as the ecsim program) and is described with keyword arguments:

    from ecalias.testing import open_segment

    with open_segment(slaves=3, names={2: "Drive"},
                      objects=[(0x4000, 0, "u16", 7)],
                      faults={"sdo_delay": ("all", 2000)}) as master:
        assert master.slave(2).name == "Drive"
        assert master.slave(1).sdo_read(0x4000, 0, "u16") == 7

With pytest, the fixture `virtual_segment` (registered as a pytest plugin when the
package is installed) gives a factory; every master it opened is closed after the test:

    def test_drive_name(virtual_segment):
        master = virtual_segment(slaves=3, names={2: "Drive"})
        assert master.slave(2).name == "Drive"

The keywords (SEL is a slave position, "A-B" or "all"):
    slaves          number of slaves (0 to 1000)
    names           {SEL: text} or a list of names for slaves 1, 2, ...
    identities      {SEL: (vendor, product, revision)}
    aliases         {SEL: alias} in SII word 4 (the checksum is recomputed)
    objects         [(index, subindex, type, value)] on every slave, or
                    [(SEL, index, subindex, type, value)]; type as ecsim's --object
                    (u16, ro-u32, string, octets with the length as value, ...)
    faults          {option: value} of any further ecsim option, the name without the
                    leading dashes ("_" for "-"); True for an option without value, a
                    tuple for a value with parts: {"eeprom_nack_writes": (1, "all")}
    eeprom_latency  (read_us, write_us) busy time of each EEPROM command
    eeprom_dir      a folder keeping one image file per slave
    options         further ecsim options as a list of words, passed as they are
See `ecsim --help` for every option.
"""
from __future__ import annotations

import contextlib
import os
import shlex
from typing import Any, Callable, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

from .master import Master, open as _open

Selector = Union[int, str]


def _selector(sel: object) -> str:
    if isinstance(sel, bool):
        raise TypeError("a slave selector is a position, 'A-B' or 'all', not a bool")
    if isinstance(sel, int):
        if sel < 1:
            raise ValueError("slave positions start at 1, not %d" % sel)
        return str(sel)
    if isinstance(sel, str) and sel:
        return sel
    raise TypeError("a slave selector is a position (int), 'A-B' or 'all', not %r" % (sel,))


def _number(value: object, what: str) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return value
    raise TypeError("%s must be a number or a str, not %s" % (what, type(value).__name__))


def _part(value: object) -> str:
    if isinstance(value, (tuple, list)):
        return ":".join(_part(v) for v in value)
    return _number(value, "an option value")


def segment_options(slaves: int = 1, *, names: Optional[Union[Mapping[Selector, str], Sequence[str]]] = None,
                    identities: Optional[Mapping[Selector, Tuple[int, int, int]]] = None,
                    aliases: Optional[Mapping[Selector, int]] = None,
                    objects: Iterable[Tuple[Any, ...]] = (),
                    faults: Optional[Mapping[str, Any]] = None,
                    eeprom_latency: Optional[Tuple[int, int]] = None,
                    eeprom_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
                    options: Sequence[str] = ()) -> List[str]:
    """The ecsim option words for a segment described by keywords (see the module's
    documentation)."""
    if isinstance(slaves, bool) or not isinstance(slaves, int):
        raise TypeError("slaves must be an int")
    if slaves < 0 or slaves > 1000:
        raise ValueError("slaves must be 0 to 1000, not %d" % slaves)
    words = ["--slaves", str(slaves)]
    if eeprom_latency is not None:
        read_us, write_us = eeprom_latency
        words += ["--eeprom-latency", "%s:%s" % (_number(read_us, "read_us"), _number(write_us, "write_us"))]
    if eeprom_dir is not None:
        words += ["--eeprom-dir", os.fspath(eeprom_dir)]
    if isinstance(names, (str, bytes)):
        raise TypeError("names is a mapping {SEL: name} or a list of names, not one %s" % type(names).__name__)
    if names is not None:
        pairs = names.items() if isinstance(names, Mapping) else enumerate(names, start=1)
        for sel, name in pairs:
            if not isinstance(name, str):
                raise TypeError("a slave name must be a str, not %s" % type(name).__name__)
            words += ["--name", "%s:%s" % (_selector(sel), name)]
    for sel, identity in (identities or {}).items():
        vendor, product, revision = identity
        words += ["--identity", "%s:%s" % (_selector(sel), ":".join(_number(v, "an identity value")
                                                                    for v in (vendor, product, revision)))]
    for sel, alias in (aliases or {}).items():
        words += ["--alias", "%s:%s" % (_selector(sel), _number(alias, "an alias"))]
    for entry in objects:
        if not isinstance(entry, tuple) or len(entry) not in (4, 5):
            raise TypeError("an object is (index, subindex, type, value) or (SEL, index, subindex, type, value), "
                            "not %r" % (entry,))
        sel = _selector(entry[0]) if len(entry) == 5 else "all"
        index, subindex, kind, value = entry[-4:]
        if isinstance(index, bool) or not isinstance(index, int) or isinstance(subindex, bool) or \
                not isinstance(subindex, int):
            raise TypeError("an object's index and subindex are ints")
        if not isinstance(kind, str):
            raise TypeError("an object's type is a str such as 'u16'")
        words += ["--object", "%s:0x%04X:%d:%s:%s" % (sel, index, subindex, kind, _number(value, "an object value"))]
    for option, value in (faults or {}).items():
        if not isinstance(option, str) or not option:
            raise TypeError("fault options are named by str")
        name = "--" + option.lstrip("-").replace("_", "-")
        if value is None or value is False:
            continue
        words += [name] if value is True else [name, _part(value)]
    for word in options:
        if not isinstance(word, str):
            raise TypeError("options are str words")
        words.append(word)
    return words


def segment_adapter(slaves: int = 1, **keywords: Any) -> str:
    """The "sim:OPTIONS" adapter name for a segment described by keywords, each word quoted
    as a shell would need it (the library splits the options the same way)."""
    return "sim:" + " ".join(shlex.quote(w) for w in segment_options(slaves, **keywords))


@contextlib.contextmanager
def open_segment(slaves: int = 1, **keywords: Any) -> Iterator[Master]:
    """Opens a master on a new in-process segment described by keywords and scans it;
    closes it at the end of the with block."""
    master = _open(segment_adapter(slaves, **keywords))
    try:
        yield master
    finally:
        master.close()


def _make_fixture() -> Optional[Callable[..., Any]]:
    try:
        import pytest
    except ImportError:  # the context manager works without pytest
        return None

    @pytest.fixture
    def virtual_segment() -> Iterator[Callable[..., Master]]:
        """A factory: virtual_segment(slaves=3, names={2: "Drive"}, ...) opens a master on a
        new in-process segment; every master it opened is closed after the test."""
        opened: List[Master] = []

        def factory(slaves: int = 1, **keywords: Any) -> Master:
            master = _open(segment_adapter(slaves, **keywords))
            opened.append(master)
            return master

        yield factory
        for master in opened:
            master.close()

    return virtual_segment


_fixture = _make_fixture()
if _fixture is not None:
    virtual_segment = _fixture
