#!/usr/bin/env python3
"""commission.py - give every slave of a segment a station alias and check its identity.

    commission.py ADAPTER BASE      e.g. commission.py eth1 100, or "sim:--slaves 3"

Slave N gets alias BASE + N - 1 (it loads it at its next power-on). Prints one line per
slave and exits 1 when a slave could not be commissioned.
"""
import sys
from typing import List, Tuple

import ecalias


def commission(master: ecalias.Master, base: int) -> List[Tuple[int, str]]:
    """Sets the aliases; returns (position, outcome) for every slave."""
    outcomes = []
    for slave in master.slaves:
        vendor = slave.sdo_read(0x1018, 1, "u32") if slave.has_mailbox else slave.vendor
        if vendor != slave.vendor:
            outcomes.append((slave.position, "identity mismatch: SII 0x%08x, CoE 0x%08x" % (slave.vendor, vendor)))
            continue
        try:
            report = slave.set_alias(base + slave.position - 1)
        except ecalias.EepromError as failure:
            outcomes.append((slave.position, "failed: %s" % failure))
            continue
        outcomes.append((slave.position, "alias %d -> %d, %s" % (
            report.before, report.read_back, "verified" if report.verified else "NOT verified")))
    return outcomes


def main(argv: List[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    with ecalias.open(argv[1]) as master:
        outcomes = commission(master, int(argv[2], 0))
    for position, outcome in outcomes:
        print("slave %d: %s" % (position, outcome))
    return 0 if all(o.endswith(", verified") for _, o in outcomes) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
