#include <cstring>
#include <thread>
#include <vector>

#include "link/datagram.h"
#include "support_segment.h"

namespace {

int64_t Micros(TimeStamp t) { return static_cast<int64_t>(t.seconds) * 1000000 + t.microseconds; }

}  // namespace

class FramePortTest : public SegmentTest {
protected:
    FramePort& port = g_master.port;

    // Takes a slot and lays an FPRD of `length` bytes at `ado` from station `adp` in it.
    int PrepareRead(uint16_t adp, uint16_t ado, uint16_t length) {
        int slot = PortGetIndex(&port);
        SetupDatagram(&port, slot, CMD_FPRD, static_cast<uint8_t>(slot), adp, ado, length, nullptr);
        return slot;
    }

    // The frame a slave would return for the request in `slot`: the request itself with
    // the working counter set and the returned-frame bit in the source address.
    std::vector<uint8_t> ReplyFor(int slot, uint16_t wkc) {
        std::vector<uint8_t> frame(port.tx_frame[slot], port.tx_frame[slot] + port.tx_length[slot]);
        frame[6] |= 0x02;
        int at = kEthernetHeaderBytes + ((frame[14] | (frame[15] << 8)) & 0x0FFF);
        frame[at] = static_cast<uint8_t>(wkc);
        frame[at + 1] = static_cast<uint8_t>(wkc >> 8);
        return frame;
    }

    void Inject(const std::vector<uint8_t>& frame) {
        SimWireInject(&wire, frame.data(), static_cast<int>(frame.size()), 0);
    }

    std::vector<int32_t> States() {
        std::vector<int32_t> states;
        for (int i = 0; i < kSlotCount; i++) states.push_back(port.rx_state[i]);
        return states;
    }
};

TEST_F(FramePortTest, OpenLaysTheEthernetHeaderIntoEverySlot) {
    StartSegment(1);
    const uint8_t header[14] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4};
    for (int i = 0; i < kSlotCount; i++) {
        EXPECT_EQ(memcmp(port.tx_frame[i], header, 14), 0) << "slot " << i;
        EXPECT_EQ(port.rx_state[i], EMPTY);
    }
    EXPECT_EQ(port.last_index, 0);
    EXPECT_TRUE(PortIsOpen(&port));
    // A second open without a close closes the adapter that was open first.
    ASSERT_EQ(PortOpen(&port, "sim0"), 1);
    EXPECT_EQ(adapter.opens, 2);
    EXPECT_EQ(adapter.closes, 1);
    EXPECT_EQ(PortClose(&port), 0);
    EXPECT_EQ(adapter.closes, 2);
    EXPECT_FALSE(PortIsOpen(&port));
    EXPECT_EQ(PortClose(&port), 0);  // closing a closed port does nothing
    EXPECT_EQ(adapter.closes, 2);
}

TEST_F(FramePortTest, OpenFailureReportsTheAdapterAndLeavesThePortClosed) {
    StartSegment(1);
    PortClose(&port);
    testing::internal::CaptureStdout();
    EXPECT_EQ(PortOpen(&port, "eth-missing"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "interface eth-missing could not open with pcap\n");
    EXPECT_FALSE(PortIsOpen(&port));
    EXPECT_EQ(PortOpen(&port, "sim0"), 1);  // and a later open works
}

TEST_F(FramePortTest, HandsOutSlotsOneToFifteenThenZeroWhenFreedInTime) {
    StartSegment(1);
    for (int round = 0; round < 2; round++) {
        for (int expected : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0}) {
            int slot = PortGetIndex(&port);
            ASSERT_EQ(slot, expected);
            EXPECT_EQ(port.rx_state[slot], ALLOC);
            PortSetBufState(&port, slot, EMPTY);
        }
    }
    // A busy slot is skipped; the search goes on from the one handed out last.
    int held = PortGetIndex(&port);  // 1
    PortSetBufState(&port, PortGetIndex(&port), EMPTY);  // 2
    EXPECT_EQ(held, 1);
    EXPECT_EQ(PortGetIndex(&port), 3);
}

TEST_F(FramePortTest, AllSlotsBusyTakesTheOneAfterTheLastHandedOut) {
    StartSegment(1);
    for (int i = 0; i < kSlotCount; i++) PortGetIndex(&port);  // 1..15, 0: all ALLOC
    EXPECT_EQ(port.last_index, 0);
    PortSetBufState(&port, 7, TX);
    EXPECT_EQ(PortGetIndex(&port), 1);  // taken regardless of its state
    EXPECT_EQ(port.rx_state[1], ALLOC);
    EXPECT_EQ(PortGetIndex(&port), 2);
    PortSetBufState(&port, 9, EMPTY);
    EXPECT_EQ(PortGetIndex(&port), 9);  // a free slot is found again once there is one
    PortSetBufState(&port, 7, RCVD);
    EXPECT_EQ(PortGetIndex(&port), 10);  // everything busy again: last + 1
}

TEST_F(FramePortTest, FramesThatAreNotRepliesChangeNoSlot) {
    StartSegment(1);
    int slot = PrepareRead(0x1001, 0x0010, 2);
    PortSendFrame(&port, slot);
    EXPECT_EQ(port.rx_state[slot], TX);
    std::vector<uint8_t> reply = ReplyFor(slot, 1);
    std::vector<int32_t> before = States();
    uint8_t rx_before[kMaxFrameBytes];
    memcpy(rx_before, port.rx_frame[slot], sizeof(rx_before));

    std::vector<uint8_t> other_protocol = reply;
    other_protocol[12] = 0x08;
    other_protocol[13] = 0x00;
    std::vector<uint8_t> own_echo(port.tx_frame[slot], port.tx_frame[slot] + port.tx_length[slot]);
    own_echo[26 + 2] = 1;  // even with a counter set: source 01:01:01:01:01:01 is the master itself
    std::vector<uint8_t> runt(reply.begin(), reply.begin() + 17);
    std::vector<uint8_t> index_16 = reply;
    index_16[17] = 16;
    std::vector<uint8_t> index_255 = reply;
    index_255[17] = 255;

    // The segment's own reply to the send above is first in line; take it out.
    uint8_t scratch[kSimFrameBytes];
    ASSERT_GT(SimWireTake(&wire, scratch), 0);

    for (const std::vector<uint8_t>* frame : {&other_protocol, &own_echo, &runt, &index_16, &index_255}) {
        Inject(*frame);
        EXPECT_EQ(PortReceiveFrame(&port, slot), ForeignFrame);
        EXPECT_EQ(States(), before);
        EXPECT_EQ(memcmp(port.rx_frame[slot], rx_before, sizeof(rx_before)), 0);
    }
    EXPECT_EQ(PortReceiveFrame(&port, slot), NoFrame);  // nothing waits
    Inject(reply);
    EXPECT_EQ(PortReceiveFrame(&port, slot), 1);
    EXPECT_EQ(port.rx_state[slot], COMPLETE);
}

TEST_F(FramePortTest, ReplyForAnotherSlotIsParkedThereAndCollectedWithoutReading) {
    StartSegment(2);
    int first = PrepareRead(0x1001, 0x0000, 2);  // slot 1
    int second = PrepareRead(0x1001, 0x0000, 2);  // slot 2
    std::vector<uint8_t> first_reply = ReplyFor(first, 5);
    std::vector<uint8_t> second_reply = ReplyFor(second, 6);
    PortSendFrame(&port, first);
    PortSendFrame(&port, second);
    uint8_t scratch[kSimFrameBytes];
    while (SimWireTake(&wire, scratch) > 0) {
    }
    Inject(first_reply);
    Inject(second_reply);

    EXPECT_EQ(PortReceiveFrame(&port, second), ForeignFrame);  // read the first slot's reply
    EXPECT_EQ(port.rx_state[first], RCVD);
    EXPECT_EQ(port.rx_state[second], TX);
    EXPECT_EQ(PortReceiveFrame(&port, second), 6);
    EXPECT_EQ(port.rx_state[second], COMPLETE);

    // The owner of the parked reply gets it without touching the adapter: the frame
    // waiting on the wire stays there.
    std::vector<uint8_t> pending = first_reply;
    pending[17] = 9;
    Inject(pending);
    EXPECT_EQ(PortReceiveFrame(&port, first), 5);
    EXPECT_EQ(port.rx_state[first], COMPLETE);
    EXPECT_EQ(wire.count, 1);
    EXPECT_EQ(memcmp(port.rx_frame[first], first_reply.data() + 14, first_reply.size() - 14), 0);
}

TEST_F(FramePortTest, LateReplyLandsInItsFreedSlotWhichAllocationThenSkips) {
    StartSegment(1);
    int slot = PrepareRead(0x1001, 0x0010, 2);  // slot 1
    std::vector<uint8_t> reply = ReplyFor(slot, 1);
    PortSetBufState(&port, slot, EMPTY);  // its owner gave up
    int other = PrepareRead(0x1001, 0x0010, 2);  // slot 2
    Inject(reply);
    EXPECT_EQ(PortReceiveFrame(&port, other), ForeignFrame);
    EXPECT_EQ(port.rx_state[slot], RCVD);  // stored although EMPTY
    PortSetBufState(&port, other, EMPTY);
    for (int i = 0; i < kSlotCount - 2; i++) EXPECT_NE(PortGetIndex(&port), slot);  // 3..15, 0
    EXPECT_EQ(PortGetIndex(&port), 2);  // slot 1 is passed over while another is free
    EXPECT_EQ(port.rx_state[slot], RCVD);
    EXPECT_EQ(PortGetIndex(&port), 3);  // all busy: the one after the last, not the parked one
}

TEST_F(FramePortTest, RepliesThatDoNotMatchTheSlotsRequestAreForeign) {
    StartSegment(1);
    int slot = PrepareRead(0x1001, 0x0130, 2);
    PortSendFrame(&port, slot);
    uint8_t scratch[kSimFrameBytes];
    while (SimWireTake(&wire, scratch) > 0) {
    }
    std::vector<uint8_t> good = ReplyFor(slot, 1);
    uint8_t rx_before[kMaxFrameBytes];
    memcpy(rx_before, port.rx_frame[slot], sizeof(rx_before));

    auto with = [&](int offset, uint8_t value) {
        std::vector<uint8_t> frame = good;
        frame[offset] = value;
        return frame;
    };
    std::vector<std::vector<uint8_t>> strays = {
        with(14, 0x7F),                                          // counter far beyond the slot
        with(15, 0x17),                                          // length bits 0x70E: beyond the slot
        with(14, 0x0F),                                          // counter 1 byte beyond what is copied
        with(14, 0x0C),                                          // counter inside the data: not the request's
        std::vector<uint8_t>(good.begin(), good.end() - 1),      // shorter than the request
        with(16, CMD_APRD),                                      // another command
        with(20, 0x31),                                          // another register
        with(22, 0x04),                                          // another data length
        with(23, 0x80),                                          // more-follows set: another length word
    };
    for (size_t i = 0; i < strays.size(); i++) {
        Inject(strays[i]);
        EXPECT_EQ(PortReceiveFrame(&port, slot), ForeignFrame) << "stray " << i;
        EXPECT_EQ(port.rx_state[slot], TX) << "stray " << i;
        EXPECT_EQ(memcmp(port.rx_frame[slot], rx_before, sizeof(rx_before)), 0) << "stray " << i;
    }
    // The same strays carrying another slot's index are not parked there either.
    int other = PrepareRead(0x1001, 0x0130, 2);
    PortSendFrame(&port, other);
    while (SimWireTake(&wire, scratch) > 0) {
    }
    for (size_t i = 0; i < strays.size(); i++) {
        strays[i][17] = static_cast<uint8_t>(other);
        Inject(strays[i]);
        EXPECT_EQ(PortReceiveFrame(&port, slot), ForeignFrame);
        EXPECT_EQ(port.rx_state[other], TX) << "stray " << i;
    }
    // A slave may change the address position (auto-increment) and fills data and
    // counter: still the reply.
    std::vector<uint8_t> raised = with(18, 0x05);
    raised[26] = 0x08;
    Inject(raised);
    EXPECT_EQ(PortReceiveFrame(&port, slot), 1);
}

TEST_F(FramePortTest, FrameForASlotThatNeverSentIsDropped) {
    StartSegment(1);
    int slot = PrepareRead(0x1001, 0x0010, 2);  // slot 1; slot 5 never sent anything
    std::vector<uint8_t> frame = ReplyFor(slot, 1);
    frame[17] = 5;
    ASSERT_EQ(port.tx_length[5], 0);
    Inject(frame);
    EXPECT_EQ(PortReceiveFrame(&port, slot), ForeignFrame);
    EXPECT_EQ(port.rx_state[5], EMPTY);
    uint8_t zeros[64] = {0};
    EXPECT_EQ(memcmp(port.rx_frame[5], zeros, sizeof(zeros)), 0);
}

TEST_F(FramePortTest, OverlongFrameIsCutToASlot) {
    StartSegment(1);
    int slot = PrepareRead(0x1001, 0x0010, 2);
    PortSendFrame(&port, slot);
    uint8_t scratch[kSimFrameBytes];
    while (SimWireTake(&wire, scratch) > 0) {
    }
    // Another protocol's 3000-byte frame: cut, and nothing behind the input buffer written.
    std::vector<uint8_t> big(3000, 0xAB);
    big[12] = 0x08;
    big[13] = 0x00;
    uint8_t next_field[64];
    memcpy(next_field, port.tx_frame[0], sizeof(next_field));
    InprocDeliverRaw(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(PortReceiveFrame(&port, slot), ForeignFrame);
    EXPECT_EQ(port.input_frame[kMaxFrameBytes - 1], 0xAB);
    EXPECT_EQ(memcmp(port.tx_frame[0], next_field, sizeof(next_field)), 0);
    // A reply with 2000 bytes of trailing padding is still the reply.
    std::vector<uint8_t> padded = ReplyFor(slot, 1);
    padded[26] = 0x34;
    padded.resize(2000 + padded.size(), 0xCD);
    InprocDeliverRaw(padded.data(), static_cast<int>(padded.size()));
    EXPECT_EQ(PortReceiveFrame(&port, slot), 1);
    EXPECT_EQ(port.rx_frame[slot][12], 0x34);
}

TEST_F(FramePortTest, WorkingCounterZeroIsAReplyNotATimeout) {
    StartSegment(1);
    int slot = PrepareRead(0x7777, 0x0010, 2);  // no such station
    uint64_t sent = InprocFramesSent();
    EXPECT_EQ(PortSendReceive(&port, slot, 6000), 0);
    EXPECT_EQ(port.rx_state[slot], COMPLETE);
    EXPECT_EQ(InprocFramesSent() - sent, 1u);
}

TEST_F(FramePortTest, ResendsEveryTwoMillisecondsUntilTheTimeout) {
    StartSegment(0);  // nothing ever answers
    struct Case {
        int32_t timeout;
        uint64_t min_sends, max_sends;
    };
    // Upper bounds are exact; lower bounds leave room for a preempted try.
    for (Case c : {Case{0, 1, 1}, Case{1000, 1, 1}, Case{2000, 1, 1}, Case{6000, 2, 3}, Case{20000, 5, 10}}) {
        int slot = PrepareRead(0x1001, 0x0010, 2);
        uint64_t sent = InprocFramesSent();
        TimeStamp start = ClockNow();
        EXPECT_EQ(PortSendReceive(&port, slot, c.timeout), NoFrame) << c.timeout;
        int64_t took = Micros(ClockNow()) - Micros(start);
        uint64_t sends = InprocFramesSent() - sent;
        EXPECT_GE(sends, c.min_sends) << c.timeout;
        EXPECT_LE(sends, c.max_sends) << c.timeout;
        EXPECT_GE(took, c.timeout);
        EXPECT_LT(took, 10LL * c.timeout + 100000);
        EXPECT_EQ(port.rx_state[slot], EMPTY) << c.timeout;
    }
}

TEST_F(FramePortTest, ZeroTimeoutAndPassedDeadlineStillReadOnce) {
    StartSegment(0);
    std::vector<uint8_t> foreign(60, 0);
    foreign[12] = 0x08;
    int slot = PrepareRead(0x1001, 0x0010, 2);
    Inject(foreign);
    Inject(foreign);
    EXPECT_EQ(PortSendReceive(&port, slot, 0), ForeignFrame);  // the last read's result
    EXPECT_EQ(wire.count, 1);                                  // exactly one frame read
    EXPECT_EQ(port.rx_state[slot], EMPTY);

    slot = PrepareRead(0x1001, 0x0010, 2);
    TimeStamp past = ClockNow();
    past.seconds -= 1;
    Inject(foreign);  // two waiting now
    EXPECT_EQ(PortWaitFrame(&port, slot, past), ForeignFrame);
    EXPECT_EQ(wire.count, 1);
    EXPECT_EQ(PortWaitFrame(&port, slot, past), ForeignFrame);
    EXPECT_EQ(wire.count, 0);
    EXPECT_EQ(PortWaitFrame(&port, slot, past), NoFrame);
    Inject(ReplyFor(slot, 3));
    EXPECT_EQ(PortWaitFrame(&port, slot, past), 3);
}

TEST_F(FramePortTest, ForeignTrafficDoesNotEndTheWaitForTheReply) {
    SimFaultSettings faults{};
    faults.foreign_rate = 1.0;  // a foreign frame before every reply
    faults.seed = 7;
    StartSegment(1, faults);
    for (int i = 0; i < 50; i++) {
        int slot = PrepareRead(0x0000, 0x0000, 2);
        ASSERT_EQ(PortSendReceive(&port, slot, 2000), 1) << i;
        PortSetBufState(&port, slot, EMPTY);
    }
    EXPECT_EQ(wire.foreign_sent, 50u);
}

TEST_F(FramePortTest, ReplyToAnEarlierSendIsAcceptedDuringALaterTry) {
    SimFaultSettings faults{};
    faults.late = 1.0;
    faults.late_us = 9000;  // every reply comes several 2000 µs tries after its send
    StartSegment(1, faults);
    int slot = PrepareRead(0x0000, 0x0000, 2);
    uint64_t sent = InprocFramesSent();
    EXPECT_EQ(PortSendReceive(&port, slot, 20000), 1);
    // The reply that ended the wait answered an earlier send: the frame went out again
    // in the meantime (about five times; fewer only if the scheduler held this thread).
    EXPECT_GE(InprocFramesSent() - sent, 2u);
}

TEST_F(FramePortTest, RefusedSendIsRetriedUntilTheTimeout) {
    StartSegment(1);
    adapter.fails_to_send = true;
    int slot = PrepareRead(0x0000, 0x0000, 2);
    EXPECT_LT(PortSendFrame(&port, slot), 0);
    EXPECT_EQ(port.rx_state[slot], TX);
    uint64_t sent = InprocFramesSent();
    EXPECT_EQ(PortSendReceive(&port, slot, 4500), NoFrame);
    EXPECT_GE(InprocFramesSent() - sent, 2u);
    EXPECT_EQ(port.rx_state[slot], EMPTY);
}

TEST_F(FramePortTest, NegativeTimeoutIsRefusedAndFreesTheSlot) {
    StartSegment(1);
    int slot = PrepareRead(0x0000, 0x0000, 2);
    uint64_t sent = InprocFramesSent();
    EXPECT_EQ(PortSendReceive(&port, slot, -1), ArgumentError);
    EXPECT_EQ(PortSendReceive(&port, slot, INT32_MIN), ArgumentError);
    EXPECT_EQ(port.rx_state[slot], EMPTY);
    EXPECT_EQ(InprocFramesSent(), sent);
}

TEST_F(FramePortTest, ClosedPortAnswersNoFrameWithoutTouchingAnything) {
    StartSegment(1);
    PortClose(&port);
    int32_t last = port.last_index;
    uint64_t sent = InprocFramesSent();
    uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(FPRD(&port, 0x1001, 0x0010, 2, data, 2000), NoFrame);
    EXPECT_EQ(FPWR(&port, 0x1001, 0x0010, 2, data, 2000), NoFrame);
    EXPECT_EQ(BRD(&port, 0, 0, 2, data, 0), NoFrame);
    EXPECT_EQ(PortReceiveFrame(&port, 3), NoFrame);
    EXPECT_EQ(port.last_index, last);
    for (int i = 0; i < kSlotCount; i++) EXPECT_EQ(port.rx_state[i], EMPTY);
    EXPECT_EQ(InprocFramesSent(), sent);
    EXPECT_EQ(data[0], 1);

    // A port that was never opened at all: zero in every byte, as the static record is.
    static FramePort never_opened;
    EXPECT_EQ(APRD(&never_opened, 0, 0x0130, 2, data, 6000), NoFrame);
    EXPECT_EQ(BWR(&never_opened, 0, 0x0120, 2, data, 6000), NoFrame);
    EXPECT_EQ(never_opened.last_index, 0);
    EXPECT_EQ(never_opened.rx_state[1], EMPTY);
    EXPECT_EQ(PortClose(&never_opened), 0);
}

TEST_F(FramePortTest, TwoCallersAtOnceEachGetTheirOwnReplies) {
    StartSegment(2);
    for (int n = 1; n <= 2; n++) {
        uint16_t address = static_cast<uint16_t>(0x1000 + n);
        ASSERT_EQ(APWR(&port, static_cast<uint16_t>(1 - n), 0x0010, 2, &address, 6000), 1);
    }
    constexpr int kRounds = 20000;
    int wrong[2] = {0, 0};
    int failed[2] = {0, 0};
    auto caller = [&](int n) {
        uint16_t station = static_cast<uint16_t>(0x1000 + n);
        for (int i = 0; i < kRounds; i++) {
            uint16_t value = 0;
            int wkc = FPRD(&port, station, 0x0010, 2, &value, 2000);  // one try: a lost reply fails
            if (wkc != 1) failed[n - 1]++;
            else if (value != station) wrong[n - 1]++;
        }
    };
    std::thread one(caller, 1);
    std::thread two(caller, 2);
    one.join();
    two.join();
    EXPECT_EQ(wrong[0] + wrong[1], 0);
    EXPECT_EQ(failed[0] + failed[1], 0);
    for (int i = 0; i < kSlotCount; i++) EXPECT_EQ(port.rx_state[i], EMPTY) << i;
}
