"""Tests of commission.py on virtual segments: no root, no network, no hardware.

    python3 -m pytest python/examples     (with the ecalias package installed)

The `virtual_segment` fixture comes with the package (a pytest plugin): it opens an
in-process segment from keywords and closes it after the test.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from commission import commission  # noqa: E402


def test_every_slave_gets_its_alias(virtual_segment):
    master = virtual_segment(slaves=3, names={2: "Drive"})
    outcomes = commission(master, 100)
    assert outcomes == [(1, "alias 0 -> 100, verified"), (2, "alias 0 -> 101, verified"),
                        (3, "alias 0 -> 102, verified")]
    assert [s.sii_alias for s in master.slaves] == [100, 101, 102]


def test_a_slave_whose_eeprom_refuses_writes_is_reported(virtual_segment):
    master = virtual_segment(slaves=2, faults={"eeprom_nack_writes": (2, "all")})
    outcomes = dict(commission(master, 7))
    assert outcomes[1] == "alias 0 -> 7, verified"
    assert outcomes[2].startswith("failed: slave 2: set the station alias to 8")
