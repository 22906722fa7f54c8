"""The virtual segments of ecalias.testing: the option words made from keywords, quoting,
the context manager and the pytest fixture."""
import shlex

import pytest

import ecalias
from ecalias.testing import open_segment, segment_adapter, segment_options


def test_keywords_become_ecsim_options():
    words = segment_options(
        3, names={2: "Drive A"}, identities={"all": (0xEC5, 0x10, 2)}, aliases={1: 4660},
        objects=[(0x4000, 0, "u16", 7), (2, 0x4001, 1, "ro-string", "it's")],
        faults={"eeprom_nack_writes": (1, "all"), "drop": 0.25, "eight_byte": "2", "busy_skip": None},
        eeprom_latency=(0, 100), options=["--seed", "9"])
    assert words == [
        "--slaves", "3", "--eeprom-latency", "0:100", "--name", "2:Drive A", "--identity", "all:3781:16:2",
        "--alias", "1:4660", "--object", "all:0x4000:0:u16:7", "--object", "2:0x4001:1:ro-string:it's",
        "--eeprom-nack-writes", "1:all", "--drop", "0.25", "--eight-byte", "2", "--seed", "9"]
    assert segment_options(2, names=["a", "b"])[2:] == ["--name", "1:a", "--name", "2:b"]
    assert segment_options(1, faults={"preop_reads_sii": True})[2:] == ["--preop-reads-sii"]


def test_the_adapter_quotes_each_word_as_the_library_splits_it():
    adapter = segment_adapter(2, names={1: "it's \"quoted\" and spaced", 2: "$HOME;`x`"})
    assert adapter.startswith("sim:")
    assert shlex.split(adapter[4:]) == segment_options(2, names={1: "it's \"quoted\" and spaced",
                                                                 2: "$HOME;`x`"})
    with ecalias.open(adapter) as master:
        assert [s.name for s in master.slaves] == ["it's \"quoted\" and spaced", "$HOME;`x`"]


def test_bad_keywords_are_refused_before_opening():
    with pytest.raises(ValueError):
        segment_options(-1)
    with pytest.raises(TypeError):
        segment_options("3")
    with pytest.raises(ValueError):
        segment_options(2, names={0: "x"})
    with pytest.raises(TypeError):
        segment_options(2, names={1: 5})
    with pytest.raises(TypeError):
        segment_options(2, names="Drive")
    with pytest.raises(TypeError):
        segment_options(2, objects=[(0x4000, 0, "u8")])
    with pytest.raises(TypeError):
        segment_options(2, faults={"drop": object()})


def test_a_fault_the_segment_does_not_know_is_an_open_error():
    with pytest.raises(ecalias.OpenError) as unknown:
        with open_segment(1, faults={"no_such_fault": 1}):
            pass
    assert "--no-such-fault" in str(unknown.value)


def test_the_context_manager_opens_scans_and_closes():
    with open_segment(2, names={2: "Drive"}, objects=[(0x4000, 0, "i16", -5)]) as master:
        assert master.slave(2).name == "Drive"
        assert master.slave(1).sdo_read(0x4000, 0, "i16") == -5
    assert master.closed


def test_the_fixture_closes_what_it_opened(virtual_segment):
    first = virtual_segment()
    second = virtual_segment(slaves=2)
    assert len(first.slaves) == 1 and len(second.slaves) == 2
    test_the_fixture_closes_what_it_opened.opened = (first, second)


def test_the_fixture_closed_them_after_the_test():
    first, second = test_the_fixture_closes_what_it_opened.opened
    assert first.closed and second.closed
