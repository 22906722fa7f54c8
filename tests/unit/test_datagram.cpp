#include <cstring>
#include <vector>

#include "link/datagram.h"
#include "support_segment.h"
#include "support_virtual_clock.h"

namespace {

using Service = int (*)(FramePort*, uint16_t, uint16_t, uint16_t, void*, int32_t);
using WriteServiceFn = int (*)(FramePort*, uint16_t, uint16_t, uint16_t, const void*, int32_t);

// The frame a service must put on the wire, byte for byte.
std::vector<uint8_t> ExpectedFrame(uint8_t command, uint8_t index, uint16_t adp, uint16_t ado,
                                   const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4};
    uint16_t header = static_cast<uint16_t>(0x100C + data.size());
    uint16_t length = static_cast<uint16_t>(data.size());
    f.insert(f.end(), {static_cast<uint8_t>(header), static_cast<uint8_t>(header >> 8), command, index,
                       static_cast<uint8_t>(adp), static_cast<uint8_t>(adp >> 8), static_cast<uint8_t>(ado),
                       static_cast<uint8_t>(ado >> 8), static_cast<uint8_t>(length),
                       static_cast<uint8_t>(length >> 8), 0, 0});
    f.insert(f.end(), data.begin(), data.end());
    f.insert(f.end(), {0, 0});
    return f;
}

std::vector<uint8_t> LastSent() {
    std::vector<uint8_t> frame(kSimFrameBytes);
    frame.resize(static_cast<size_t>(InprocLastSent(frame.data())));
    return frame;
}

}  // namespace

class DatagramTest : public SegmentTest {
protected:
    FramePort& port = g_master.port;

    void ExpectAllSlotsEmpty(const char* after) {
        for (int i = 0; i < kSlotCount; i++) EXPECT_EQ(port.rx_state[i], EMPTY) << after << ", slot " << i;
    }
};

TEST_F(DatagramTest, ConfiguredReadOfTheAlStatusGoesOutAsThirtyBytes) {
    StartSegment(1);
    uint16_t address = 0x1001;
    ASSERT_EQ(APWR(&port, 0, 0x0010, 2, &address, 6000), 1);  // slot 1
    uint16_t status = 0xBEEF;
    EXPECT_EQ(FPRD(&port, 0x1001, 0x0130, 2, &status, 2000), 1);  // slot 2
    EXPECT_EQ(status, 0x0001);  // INIT
    const std::vector<uint8_t> expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01,
                                           0x01, 0x01, 0x88, 0xA4, 0x0E, 0x10, 0x04, 0x02, 0x01, 0x10,
                                           0x30, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(LastSent(), expected);
}

TEST_F(DatagramTest, EveryServiceLaysItsDatagramExactly) {
    StartSegment(2);
    uint8_t read_buffer[8];
    memset(read_buffer, 0x5A, sizeof(read_buffer));  // a read sends zeros whatever the buffer holds
    const std::vector<uint8_t> zeros4(4, 0);
    const std::vector<uint8_t> payload = {0x11, 0x22, 0x33};
    struct ReadCase {
        Service service;
        uint8_t command;
        uint16_t adp, ado;
    };
    struct WriteCase {
        WriteServiceFn service;
        uint8_t command;
        uint16_t adp, ado;
    };
    int expected_slot = 1;
    for (ReadCase c : {ReadCase{BRD, 7, 0x0000, 0x0000}, ReadCase{APRD, 1, 0xFFFF, 0x0130},
                       ReadCase{FPRD, 4, 0x1002, 0x0502}}) {
        c.service(&port, c.adp, c.ado, 4, read_buffer, 2000);
        EXPECT_EQ(LastSent(), ExpectedFrame(c.command, static_cast<uint8_t>(expected_slot), c.adp, c.ado, zeros4))
            << "command " << int(c.command);
        expected_slot++;
    }
    for (WriteCase c : {WriteCase{BWR, 8, 0x0000, 0x0F80}, WriteCase{APWR, 2, 0xFFFF, 0x0F80},
                        WriteCase{FPWR, 5, 0x1001, 0x0F80}}) {
        c.service(&port, c.adp, c.ado, static_cast<uint16_t>(payload.size()), payload.data(), 2000);
        EXPECT_EQ(LastSent(), ExpectedFrame(c.command, static_cast<uint8_t>(expected_slot), c.adp, c.ado, payload))
            << "command " << int(c.command);
        expected_slot++;
    }
    // Zero length: 28 bytes, header 0x100C, the counter right behind the datagram header.
    EXPECT_EQ(BRD(&port, 0, 0x0000, 0, nullptr, 2000), 2);
    std::vector<uint8_t> sent = LastSent();
    EXPECT_EQ(sent, ExpectedFrame(7, static_cast<uint8_t>(expected_slot), 0, 0, {}));
    EXPECT_EQ(sent.size(), 28u);
    EXPECT_EQ(FPWR(&port, 0x1001, 0x0F80, 0, nullptr, 2000), 0);  // no station 0x1001 yet: wkc 0
    EXPECT_EQ(LastSent().size(), 28u);
}

TEST_F(DatagramTest, SetupFillsZerosOrCopiesByCommandCode) {
    StartSegment(1);
    const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    for (int command = 0; command <= 20; command++) {
        int slot = PortGetIndex(&port);
        memset(port.tx_frame[slot] + 26, 0x77, 8);  // leftovers of an earlier frame
        EXPECT_EQ(SetupDatagram(&port, slot, static_cast<uint8_t>(command), static_cast<uint8_t>(slot), 1, 2, 4,
                                data),
                  0);
        bool zeros = command == 0 || command == 1 || command == 4 || command == 7 || command == 10;
        const uint8_t* field = port.tx_frame[slot] + 26;
        for (int i = 0; i < 4; i++) EXPECT_EQ(field[i], zeros ? 0 : data[i]) << "command " << command;
        EXPECT_EQ(field[4], 0);  // working counter
        EXPECT_EQ(field[5], 0);
        EXPECT_EQ(field[6], 0x77);  // nothing behind the frame is touched
        EXPECT_EQ(port.tx_frame[slot][24], 0);  // IRQ
        EXPECT_EQ(port.tx_frame[slot][25], 0);
        EXPECT_EQ(port.tx_length[slot], 32);
        PortSetBufState(&port, slot, EMPTY);
    }
}

// A length the slot's buffer cannot hold is refused before anything is laid out: the
// frame in the slot stays as it was (the services refuse it earlier; this is the guard
// for callers that lay datagrams out themselves).
TEST_F(DatagramTest, SetupRefusesALengthBeyondTheFrameAndLaysNothingOut) {
    StartSegment(1);
    const int slot = PortGetIndex(&port);
    static uint8_t data[kMaxFrameBytes];
    memset(data, 0x3C, sizeof(data));
    const int frame_end = kMaxFrameBytes;
    const int header_end = kEthernetHeaderBytes;
    memset(port.tx_frame[slot] + header_end, 0x77, static_cast<size_t>(frame_end - header_end));
    const int32_t length_before = port.tx_length[slot];
    for (int length : {kMaxDatagramData + 1, frame_end, 0x07FF, 0xFFFF}) {
        EXPECT_EQ(SetupDatagram(&port, slot, CMD_FPWR, static_cast<uint8_t>(slot), 1, 2, static_cast<uint16_t>(length),
                                data),
                  ArgumentError)
            << length;
    }
    for (int i = header_end; i < frame_end; i++) ASSERT_EQ(port.tx_frame[slot][i], 0x77) << i;
    EXPECT_EQ(port.tx_length[slot], length_before);
    // The largest datagram fills the frame exactly.
    EXPECT_EQ(SetupDatagram(&port, slot, CMD_FPWR, static_cast<uint8_t>(slot), 1, 2, kMaxDatagramData, data), 0);
    EXPECT_EQ(port.tx_length[slot], kMaxDatagramData + kSingleDatagramOverheadBytes);
    EXPECT_LE(port.tx_length[slot], frame_end);
    PortSetBufState(&port, slot, EMPTY);
}

TEST_F(DatagramTest, ReadCopiesExactlyTheDataAndOnlyWhenASlaveAnswered) {
    StartSegment(3);
    for (int n = 1; n <= 3; n++) {
        uint16_t address = static_cast<uint16_t>(0x1000 + n);
        ASSERT_EQ(APWR(&port, static_cast<uint16_t>(1 - n), 0x0010, 2, &address, 6000), 1);
    }
    uint8_t buffer[6];
    memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(BRD(&port, 0, 0x0010, 2, buffer, 20000), 3);
    EXPECT_EQ(buffer[0], 0x03);  // 0x1001 | 0x1002 | 0x1003
    EXPECT_EQ(buffer[1], 0x10);
    EXPECT_EQ(buffer[2], 0xEE);  // not a byte more than asked for
    EXPECT_EQ(FPRD(&port, 0x1003, 0x0010, 2, buffer, 2000), 1);
    EXPECT_EQ(buffer[0], 0x03);

    memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(FPRD(&port, 0x2000, 0x0010, 2, buffer, 2000), 0);  // nobody has that address
    EXPECT_EQ(APRD(&port, 0xFFF0, 0x0010, 2, buffer, 2000), 0);  // nobody at that position
    for (uint8_t byte : buffer) EXPECT_EQ(byte, 0xEE);
    ExpectAllSlotsEmpty("working counter 0");
}

TEST_F(DatagramTest, WriteReachesTheSlaveAndCopiesNothingBack) {
    StartSegment(2);
    uint8_t pattern[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(BWR(&port, 0, 0x1800, 5, pattern, 6000), 2);
    EXPECT_EQ(memcmp(segment->slaves[1]->memory + 0x1800, pattern, 5), 0);
    uint8_t other[2] = {0xA1, 0xA2};
    EXPECT_EQ(APWR(&port, 0xFFFF, 0x1800, 2, other, 6000), 1);  // the second slave only
    EXPECT_EQ(segment->slaves[0]->memory[0x1800], 1);
    EXPECT_EQ(segment->slaves[1]->memory[0x1800], 0xA1);
    EXPECT_EQ(other[0], 0xA1);  // the caller's buffer is left as it was
    ExpectAllSlotsEmpty("writes");
}

TEST_F(DatagramTest, NoReplyLeavesTheBufferAndFreesTheSlot) {
    StartSegment(0);  // a segment that never answers
    uint8_t buffer[2] = {0x12, 0x34};
    EXPECT_EQ(FPRD(&port, 0x1001, 0x0130, 2, buffer, 2500), NoFrame);
    EXPECT_EQ(BWR(&port, 0, 0x0120, 2, buffer, 0), NoFrame);
    EXPECT_EQ(buffer[0], 0x12);
    EXPECT_EQ(buffer[1], 0x34);
    ExpectAllSlotsEmpty("timeout");
    // A foreign frame read on the last poll is what the service reports.
    std::vector<uint8_t> foreign(60, 0);
    foreign[12] = 0x08;
    SimWireInject(&wire, foreign.data(), 60, 0);
    EXPECT_EQ(APRD(&port, 0, 0x0130, 2, buffer, 0), ForeignFrame);
    ExpectAllSlotsEmpty("foreign frame");
}

TEST_F(DatagramTest, RefusedArgumentsSendNothingAndTakeNoSlot) {
    StartSegment(1);
    static uint8_t big[kMaxDatagramData + 2];
    int32_t last = port.last_index;
    uint64_t sent = InprocFramesSent();
    EXPECT_EQ(BRD(&port, 0, 0, kMaxDatagramData + 1, big, 2000), ArgumentError);
    EXPECT_EQ(FPWR(&port, 0x1001, 0, 0xFFFF, big, 2000), ArgumentError);
    EXPECT_EQ(APRD(&port, 0, 0x0130, 2, big, -1), ArgumentError);
    EXPECT_EQ(APWR(&port, 0, 0x0130, 2, big, INT32_MIN), ArgumentError);
    EXPECT_EQ(FPRD(&port, 0x1001, 0x0130, 2, nullptr, 2000), ArgumentError);
    EXPECT_EQ(port.last_index, last);
    EXPECT_EQ(InprocFramesSent(), sent);
    ExpectAllSlotsEmpty("refused");

    // The largest datagram fits a standard Ethernet frame: 1514 bytes.
    memset(big, 0x3C, sizeof(big));
    EXPECT_EQ(BWR(&port, 0, 0x1800, kMaxDatagramData, big, 2000), 1);
    EXPECT_EQ(LastSent().size(), 1514u);
    EXPECT_EQ(segment->slaves[0]->memory[0x1800 + kMaxDatagramData - 1], 0x3C);
    memset(big, 0, sizeof(big));
    EXPECT_EQ(APRD(&port, 0, 0x1800, kMaxDatagramData, big, 2000), 1);
    EXPECT_EQ(big[kMaxDatagramData - 1], 0x3C);
    EXPECT_EQ(big[kMaxDatagramData], 0);
}

TEST_F(DatagramTest, ResendsCarryExchangesThroughALossyWireWithoutWrongData) {
    VirtualClock clock;  // the same polls and resends however loaded the machine is
    SimFaultSettings faults{};
    faults.drop = 0.5;  // half of all exchanges lost, request or reply
    faults.seed = 42;
    StartSegment(1, faults);
    int confirmed = 0;
    for (int i = 0; i < 200; i++) {
        uint16_t value = static_cast<uint16_t>(0x4000 + i);
        // A long overall timeout, so a test thread the scheduler holds back on a loaded
        // machine still gets many tries of 2000 us each.
        if (APWR(&port, 0, 0x1800, 2, &value, 200000) != 1) continue;
        uint16_t back = 0;
        if (APRD(&port, 0, 0x1800, 2, &back, 200000) != 1) continue;
        confirmed++;
        EXPECT_EQ(back, value);
    }
    // Dozens of tries each: an exchange almost never fails, so nearly all pairs pass.
    EXPECT_GE(confirmed, 190);
    EXPECT_GT(wire.dropped, 100u);
    ExpectAllSlotsEmpty("lossy wire");
}
