"""Segments larger than the 199 slaves of the legacy library: the package lists and
reaches every slave."""


def test_every_slave_of_a_large_segment_is_listed_and_reachable(virtual_segment):
    master = virtual_segment(slaves=300, names={300: "Tail"})
    slaves = master.slaves
    assert len(slaves) == 300
    assert [s.position for s in slaves] == list(range(1, 301))
    assert slaves[-1].name == "Tail"
    assert master.slave(300).sdo_read(0x1018, 4, "u32") == 300
    assert master.slave(serial=250).position == 250

