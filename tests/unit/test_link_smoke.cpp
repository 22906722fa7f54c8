#include "link/datagram.h"
#include "support_segment.h"

class LinkSmoke : public SegmentTest {};

TEST_F(LinkSmoke, CountsAddressesAndReadsBack) {
    StartSegment(3);
    uint8_t type[2] = {0};
    EXPECT_EQ(BRD(&g_master.port, 0, 0x0000, 2, type, 20000), 3);
    for (int n = 1; n <= 3; n++) {
        uint16_t address = static_cast<uint16_t>(0x1000 + n);
        EXPECT_EQ(APWR(&g_master.port, static_cast<uint16_t>(1 - n), 0x0010, 2, &address, 6000), 1);
    }
    uint16_t back = 0;
    EXPECT_EQ(FPRD(&g_master.port, 0x1002, 0x0010, 2, &back, 6000), 1);
    EXPECT_EQ(back, 0x1002);
    EXPECT_EQ(FPRD(&g_master.port, 0x1009, 0x0010, 2, &back, 2000), 0);
}
