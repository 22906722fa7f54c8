// Mailbox transport and error list against simulated SyncManagers.
#include <chrono>

#include "test_mailbox_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A small CoE message the master can send: an upload request of 0x1000:00.
MailboxBuffer UploadRequest(uint8_t counter) {
    MailboxBuffer m{};
    MailboxPut16(m.bytes, 10);
    m.bytes[5] = static_cast<uint8_t>(counter << 4 | 3);
    MailboxPut16(m.bytes + 6, 0x2000);
    m.bytes[8] = 0x40;
    MailboxPut16(m.bytes + 9, 0x1000);
    return m;
}

std::vector<uint8_t> Emergency() {
    return MailboxTest::CoeMessage(0x1000, {0x10, 0x82, 0x11, 0xAA, 0x34, 0x12, 0x78, 0x56});
}

std::vector<uint8_t> MailboxErrorReply(uint16_t detail) {
    std::vector<uint8_t> m(16, 0);
    MailboxPut16(m.data(), 4);
    MailboxPut16(m.data() + 6, 0x0001);
    MailboxPut16(m.data() + 8, detail);
    return m;
}

}  // namespace

class Mailbox : public MailboxTest {};

TEST_F(Mailbox, CounterRunsOneToSevenPerSlave) {
    StartMailboxSegment(2);
    uint8_t seen[9];
    for (int i = 0; i < 9; i++) seen[i] = NextMailboxCounter(&g_master, 1);
    const uint8_t expected[9] = {1, 2, 3, 4, 5, 6, 7, 1, 2};
    for (int i = 0; i < 9; i++) EXPECT_EQ(seen[i], expected[i]) << "call " << i;
    EXPECT_EQ(Record(1).mbx_counter, 2);
    EXPECT_EQ(NextMailboxCounter(&g_master, 2), 1) << "each slave counts on its own";
}

TEST_F(Mailbox, ErrorListKeepsNewestSixtyFour) {
    ResetMaster();
    for (int i = 0; i < 65; i++) {
        g_master.error_flag = 0;
        PacketError(&g_master, static_cast<uint16_t>(i + 1), static_cast<uint16_t>(0x1000 + i), 7, 3);
        EXPECT_EQ(g_master.error_flag, 1) << "push " << i;
    }
    const ErrorList& list = g_master.error_list;
    EXPECT_EQ(list.push_position, 0);
    EXPECT_EQ(list.read_position, 1);
    EXPECT_EQ(ErrorCount(), 64);
    EXPECT_EQ(Error(0).index, 0x1001) << "the first entry gave way";
    EXPECT_EQ(Error(63).index, 0x1000 + 64);
    for (int i = 0; i < 64; i++) EXPECT_EQ(Error(i).signalled, 1);
    // Pushing on keeps wrapping both positions.
    SdoAbortError(&g_master, 3, 0x2000, 1, 0x06020000);
    EXPECT_EQ(list.push_position, 1);
    EXPECT_EQ(list.read_position, 2);
    EXPECT_EQ(Error(63).error_type, SDO_ABORT);
}

TEST_F(Mailbox, ErrorEntriesCarryOnlyTheirFields) {
    ResetMaster();
    SdoAbortError(&g_master, 4, 0x1018, 2, 0x06090011);
    PacketError(&g_master, 5, 0x2100, 0, 3);
    const ErrorEntry& abort = Error(0);
    EXPECT_EQ(abort.error_type, SDO_ABORT);
    EXPECT_EQ(abort.slave, 4);
    EXPECT_EQ(abort.index, 0x1018);
    EXPECT_EQ(abort.subindex, 2);
    EXPECT_EQ(abort.abort_code, 0x06090011);
    EXPECT_EQ(abort.mfr_word1, 0);
    EXPECT_EQ(abort.mfr_word2, 0);
    const ErrorEntry& packet = Error(1);
    EXPECT_EQ(packet.error_type, PACKET_ERROR);
    EXPECT_EQ(packet.error_code, 3);
    EXPECT_EQ(packet.error_register, 0);
    EXPECT_EQ(packet.mfr_byte, 0);
    EXPECT_TRUE(packet.time.seconds != 0 || packet.time.microseconds != 0);
}

TEST_F(Mailbox, UnusableMailboxLengthsSendNothing) {
    StartMailboxSegment(1);
    MailboxBuffer request = UploadRequest(1);
    MailboxBuffer reply{};
    const uint16_t refused_write[] = {0, 5, 1487, 0xFFFF};
    for (uint16_t length : refused_write) {
        Record(1).mbx_length = length;
        uint64_t before = InprocFramesSent();
        EXPECT_EQ(MailboxSend(&g_master, 1, &request), 0) << "write mailbox of " << length;
        EXPECT_EQ(InprocFramesSent(), before) << "write mailbox of " << length;
    }
    Record(1).mbx_length = 128;
    const uint16_t refused_read[] = {0, 5, 1487};
    for (uint16_t length : refused_read) {
        Record(1).mbx_read_length = length;
        uint64_t before = InprocFramesSent();
        EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 1000), 0) << "read mailbox of " << length;
        EXPECT_EQ(InprocFramesSent(), before) << "read mailbox of " << length;
    }
    Record(1).mbx_read_length = 128;
    uint64_t before = InprocFramesSent();
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, -1), 0) << "a negative timeout is refused";
    EXPECT_EQ(InprocFramesSent(), before);
}

TEST_F(Mailbox, LargestMailboxIsAcceptedWhole) {
    StartMailboxSegment(1, 1486, 1486);
    KeepRequests(1);
    MailboxBuffer request = UploadRequest(1);
    request.bytes[1485] = 0x5A;  // the last byte goes out too: the whole mailbox is written
    EXPECT_EQ(MailboxSend(&g_master, 1, &request), 1);
    ASSERT_EQ(Requests(1).size(), 1u);
    EXPECT_EQ(Requests(1)[0].size(), 1486u);
    EXPECT_EQ(Requests(1)[0][1485], 0x5A);
    MailboxBuffer reply{};
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 100000), 1);
    EXPECT_EQ(reply.bytes[8], 0x43) << "0x1000:00 answered expedited";
}

TEST_F(Mailbox, FullWriteMailboxRefusesAfterFixedWait) {
    StartMailboxSegment(1);
    // Back in INIT the firmware no longer empties the write mailbox.
    ASSERT_EQ(RequestState(1, 0x01), 1);
    MailboxBuffer request = UploadRequest(1);
    EXPECT_EQ(MailboxSend(&g_master, 1, &request), 1);
    EXPECT_EQ(MailboxEmpty(&g_master, 1), 0);
    auto start = Clock::now();
    EXPECT_EQ(MailboxSend(&g_master, 1, &request), 0);
    long waited = ElapsedMs(start);
    EXPECT_GE(waited, 19);
    EXPECT_LT(waited, 400) << "the wait is fixed, not the caller's";
}

TEST_F(Mailbox, ZeroTimeoutPollsOnceWithoutPause) {
    StartMailboxSegment(1);
    MailboxBuffer reply{};
    KeepTrace(1);
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 0), 0);
    EXPECT_EQ(Trace(1).size(), 1u) << "one status poll, nothing waiting";
    EXPECT_EQ(CountAccesses(1, false, kRegSm1Status), 1);

    // A message waits, but the read of it does not reach the slave: one read, one
    // repeat request, one poll of the acknowledge, one status poll, then the call ends.
    SimMailboxQueueMessage(Sim(1), Emergency().data(), 16, 0);
    Sim(1)->mailbox.faults.refuse_reads = 1;
    KeepTrace(1);
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 0), 0);
    const std::vector<SimAccess>& trace = Trace(1);
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[0].address, kRegSm1Status);
    EXPECT_EQ(trace[1].address, Record(1).mbx_read_offset);
    EXPECT_FALSE(trace[1].executed);
    EXPECT_TRUE(trace[2].write);
    EXPECT_EQ(trace[2].address, kRegSm1Status);
    EXPECT_EQ(trace[3].address, kRegSm1PdiControl);
    EXPECT_EQ(trace[4].address, kRegSm1Status);
}

TEST_F(Mailbox, ErrorReplyIsRecordedAndTheReplyStillComes) {
    StartMailboxSegment(1);
    std::vector<uint8_t> error = MailboxErrorReply(0x0005);
    std::vector<uint8_t> answer = SdoReply(0x4F, 0x1000, 0, 0x77);
    SimMailboxQueueMessage(Sim(1), error.data(), 16, 0);
    SimMailboxQueueMessage(Sim(1), answer.data(), 16, 0);
    KeepTrace(1);
    MailboxBuffer reply{};
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 100000), 1);
    EXPECT_EQ(reply.bytes[8], 0x4F);
    EXPECT_EQ(reply.bytes[12], 0x77);
    ASSERT_EQ(ErrorCount(), 1);
    EXPECT_EQ(Error(0).error_type, MAILBOX_ERROR);
    EXPECT_EQ(Error(0).error_code, 0x0005);
    EXPECT_EQ(Error(0).slave, 1);
    EXPECT_EQ(Error(0).index, 0);
    EXPECT_EQ(CountAccesses(1, true, kRegSm1Status), 0) << "no repeat was needed";
}

TEST_F(Mailbox, EmergencyThenSilenceWaitsForFullBitWithoutRepeat) {
    StartMailboxSegment(1);
    SimMailboxQueueMessage(Sim(1), Emergency().data(), 16, 0);
    KeepTrace(1);
    MailboxBuffer reply{};
    auto start = Clock::now();
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 5000), 0);
    EXPECT_GE(ElapsedMs(start), 4);
    ASSERT_EQ(ErrorCount(), 1) << "the emergency must not come back through a repeat";
    const ErrorEntry& e = Error(0);
    EXPECT_EQ(e.error_type, EMERGENCY);
    EXPECT_EQ(e.error_code, 0x8210);
    EXPECT_EQ(e.error_register, 0x11);
    EXPECT_EQ(e.mfr_byte, 0xAA);
    EXPECT_EQ(e.mfr_word1, 0x1234);
    EXPECT_EQ(e.mfr_word2, 0x5678);
    EXPECT_EQ(CountAccesses(1, true, kRegSm1Status), 0);
    EXPECT_EQ(Sim(1)->mailbox.repeats_served, 0u);
    // After the empty re-read the master went back to polling the full bit.
    const std::vector<SimAccess>& trace = Trace(1);
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ(trace[1].address, Record(1).mbx_read_offset);
    EXPECT_TRUE(trace[1].executed);
    EXPECT_EQ(trace[2].address, Record(1).mbx_read_offset);
    EXPECT_FALSE(trace[2].executed);
    EXPECT_EQ(trace[3].address, kRegSm1Status);
}

TEST_F(Mailbox, LostReadIsRecoveredByRepeat) {
    StartMailboxSegment(1);
    std::vector<uint8_t> answer = SdoReply(0x4B, 0x1000, 0, 0xBEEF);
    Sim(1)->mailbox.faults.lose_first_reads = 1;
    Script(1, answer);
    MailboxBuffer request = UploadRequest(1);
    ASSERT_EQ(MailboxSend(&g_master, 1, &request), 1);
    KeepTrace(1);
    MailboxBuffer reply{};
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 100000), 1);
    EXPECT_EQ(MailboxGet16(reply.bytes + 12), 0xBEEF);
    EXPECT_EQ(CountAccesses(1, true, kRegSm1Status), 1);
    EXPECT_EQ(Sim(1)->mailbox.repeats_served, 1u);
    EXPECT_EQ(ErrorCount(), 0);

    // Reads of a full mailbox that fail again and again each bring a repeat request.
    Sim(1)->mailbox.faults.refuse_reads = 2;
    Script(1, answer);
    request = UploadRequest(2);
    ASSERT_EQ(MailboxSend(&g_master, 1, &request), 1);
    KeepTrace(1);
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 100000), 1);
    EXPECT_EQ(CountAccesses(1, true, kRegSm1Status), 2);
}

TEST_F(Mailbox, SilentSlaveEndsAtTheDeadline) {
    StartMailboxSegment(1);
    MailboxBuffer reply{};
    auto start = Clock::now();
    EXPECT_EQ(MailboxReceive(&g_master, 1, &reply, 10000), 0);
    long waited = ElapsedMs(start);
    EXPECT_GE(waited, 9);
    EXPECT_LT(waited, 500);
}
