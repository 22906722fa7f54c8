#include "support_segment.h"

#include <cstring>

void SegmentTest::ResetMaster() {
    PortClose(&g_master.port);
    FramePort& port = g_master.port;
    memset(port.rx_frame, 0, sizeof(port.rx_frame));
    memset(port.tx_frame, 0, sizeof(port.tx_frame));
    memset(port.input_frame, 0, sizeof(port.input_frame));
    memset(port.tx_length, 0, sizeof(port.tx_length));
    for (int i = 0; i < kSlotCount; i++) port.rx_state[i] = EMPTY;
    port.last_index = 0;
    SlaveTableZero(&g_master);
    g_master.slave_count = 0;
    memset(g_master.group_table, 0, sizeof(g_master.group_table));
    memset(&g_master.sii_cache, 0, sizeof(g_master.sii_cache));
    memset(&g_master.error_list, 0, sizeof(g_master.error_list));
    g_master.error_flag = 0;
    OwedAnswersZero(&g_master);
}

void SegmentTest::StartSegment(int slaves, const SimFaultSettings& faults) {
    ResetMaster();
    segment = SimSegmentCreate(slaves);
    SimWireInit(&wire, segment, faults);
    adapter = InprocAdapter{};
    adapter.name = "sim0";
    adapter.description = "virtual segment";
    adapter.wire = &wire;
    InprocInstall(&adapter, 1);
    ASSERT_EQ(PortOpen(&g_master.port, "sim0"), 1);
}

void SegmentTest::TearDown() {
    PortClose(&g_master.port);
    InprocUninstall();
    SimSegmentDestroy(segment);
    segment = nullptr;
}
