"""The package on a real capture path, run by tests/e2e/test_python_veth.sh inside the
master namespace (its only Ethernet adapter is one end of a veth pair, ecsim serves three
slaves on the other). Prints key=value lines the script checks; exits 1 on a failed check.

    veth_check.py ADAPTER
"""
import sys

import ecalias


def main(adapter: str) -> int:
    found = {a.name: a for a in ecalias.adapters()}
    ours = found.get(adapter)
    print("adapter.listed=%d" % (ours is not None))
    print("adapter.slaves=%s" % (ours.slaves if ours else "-"))
    with ecalias.open(adapter) as master:
        print("count=%d" % len(master.slaves))
        for s in master.slaves:
            print("slave%d=%s vendor=0x%08x serial=%d state=%s complete=%d"
                  % (s.position, s.name, s.vendor, s.serial, s.state, s.complete))
        # A second master on the adapter is refused, naming the holder.
        try:
            ecalias.open(adapter)
            print("second_open=opened")
        except ecalias.OpenError as refused:
            print("second_open.code=%d" % refused.code)
        slave = master.slave(2)
        print("sdo.vendor=0x%08x" % slave.sdo_read(0x1018, 1, "u32"))
        slave.sdo_write(0x3000, 0, 123456, "u32")
        print("sdo.roundtrip=%d" % slave.sdo_read(0x3000, 0, "u32"))
        try:
            slave.sdo_read(0x5555, 0)
        except ecalias.SdoAbort as abort:
            print("sdo.abort=0x%08x" % abort.abort_code)
        print("reg.station=0x%04x" % slave.reg_read(0x0010, "u16"))
        report = slave.set_alias(0x0123)
        print("alias.before=%d written=%d read_back=%d verified=%d effective=%d checksum=0x%04x" % (
            report.before, report.written, report.read_back, report.verified, report.effective,
            report.checksum_written))
        words = slave.sii_write(b"\x34\x12\x78\x56", first=0x40)
        print("sii.written=%d verified=%d back=%s" % (words.written, words.verified,
                                                      slave.sii_read(first=0x40, count=2).hex()))
        print("state=%s" % slave.request_state("init", timeout=1.0))
        print("state=%s" % slave.request_state("preop", timeout=1.0))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
