// CoE SDO transfers against the simulated SDO server, and against scripted replies for
// the answers a well-behaved server never gives.
#include <chrono>

#include "slave/coe.h"
#include "support_virtual_clock.h"
#include "test_eeprom_wire_filter.h"
#include "test_mailbox_fixture.h"

namespace {

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
    return bytes;
}

// A segment reply: command and up to 7 data bytes (Length = 3 + data, at least 10).
std::vector<uint8_t> SegmentReply(uint8_t command, std::vector<uint8_t> data, uint16_t length = 0) {
    std::vector<uint8_t> body = {command};
    body.insert(body.end(), data.begin(), data.end());
    while (body.size() < 8) body.push_back(0);
    std::vector<uint8_t> m = MailboxTest::CoeMessage(0x3000, body);
    if (length != 0) SimPut16(m.data(), length);
    return m;
}

}  // namespace

class Coe : public MailboxTest {
protected:
    void SetUp() override { StartMailboxSegment(2); }
    void Define(int n, uint16_t index, const std::vector<uint8_t>& value) {
        SimObjectDefine(Sim(n), index, 0, kSimOctets, true, value.data(), static_cast<uint32_t>(value.size()));
    }
    const std::vector<uint8_t>& Stored(int n, uint16_t index, uint8_t subindex = 0) {
        SimObject* object = SimObjectFind(Sim(n), index, subindex);
        EXPECT_NE(object, nullptr);
        static const std::vector<uint8_t> kNone;
        return object != nullptr ? object->value : kNone;
    }
};

TEST_F(Coe, ExpeditedUploadTakesTheAnnouncedBytes) {
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0xA1B2C3D4);
    KeepRequests(1);
    uint8_t data[8] = {0};
    int32_t size = sizeof(data);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 1);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(SimGet32(data), 0xA1B2C3D4u);
    ASSERT_EQ(Requests(1).size(), 1u);
    const std::vector<uint8_t>& request = Requests(1)[0];
    EXPECT_EQ(SimGet16(request.data()), 10) << "Length";
    EXPECT_EQ(request[5], (1 << 4) | 3) << "first counter, type CoE";
    EXPECT_EQ(SimGet16(request.data() + 6), 0x2000);
    EXPECT_EQ(request[8], 0x40);
    EXPECT_EQ(SimGet16(request.data() + 9), 0x3000);
    EXPECT_EQ(SimGet32(request.data() + 12), 0u);

    // 0x4F: three of the four bytes unused.
    Script(1, SdoReply(0x4F, 0x3000, 0, 0x99887766));
    size = sizeof(data);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 1);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(data[0], 0x66);
    EXPECT_EQ(Requests(1)[1][5], (2 << 4) | 3) << "each request takes a fresh counter";
}

TEST_F(Coe, ExpeditedDataLargerThanCapacityIsRefused) {
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0x01020304);
    uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int32_t size = 2;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 0);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(data[0], 0xEE);
    EXPECT_EQ(data[1], 0xEE);
    ASSERT_EQ(ErrorCount(), 1);
    EXPECT_EQ(Error(0).error_type, PACKET_ERROR);
    EXPECT_EQ(Error(0).error_code, 3);
    EXPECT_EQ(Error(0).index, 0x3000);
}

TEST_F(Coe, NormalUploadFitsInOneReply) {
    std::vector<uint8_t> value = Pattern(100, 3);
    Define(1, 0x2100, value);
    KeepRequests(1);
    std::vector<uint8_t> data(200, 0);
    int32_t size = 200;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 1);
    EXPECT_EQ(size, 100);
    EXPECT_TRUE(std::equal(value.begin(), value.end(), data.begin()));
    EXPECT_EQ(Requests(1).size(), 1u) << "Length 110 carries all 100 bytes";
    EXPECT_EQ(data[100], 0) << "nothing beyond the object";

    // Exactly the capacity is enough; one byte less is not.
    size = 100;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 1);
    size = 99;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 0);
    EXPECT_EQ(size, 99);
    EXPECT_EQ(Error(ErrorCount() - 1).error_code, 3);
}

TEST_F(Coe, SegmentedUploadsOfManySizes) {
    const uint16_t mailboxes[] = {128, 1486};
    TearDown();
    for (uint16_t mailbox : mailboxes) {
        StartMailboxSegment(1, mailbox, mailbox);
        for (size_t length : {5u, 100u, 1000u, 5000u, 65535u}) {
            std::vector<uint8_t> value = Pattern(length, static_cast<uint8_t>(length));
            Define(1, 0x2100, value);
            KeepRequests(1);
            std::vector<uint8_t> data(length + 16, 0xCC);
            int32_t size = static_cast<int32_t>(length);
            ASSERT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 1)
                << length << " via " << mailbox;
            EXPECT_EQ(size, static_cast<int32_t>(length));
            EXPECT_TRUE(std::equal(value.begin(), value.end(), data.begin())) << length << " via " << mailbox;
            EXPECT_EQ(data[length], 0xCC) << "nothing written past the object";
            // Segment requests alternate the toggle, starting with it clear.
            const auto& requests = Requests(1);
            for (size_t i = 1; i < requests.size(); i++)
                EXPECT_EQ(requests[i][8], (i % 2) == 1 ? 0x60 : 0x70) << "segment " << i;
            size_t first = mailbox - 16u, per_segment = mailbox - 9u;
            size_t expected = length <= 4 ? 1 : 1 + (length > first ? (length - first + per_segment - 1) / per_segment : 0);
            EXPECT_EQ(requests.size(), expected) << length << " via " << mailbox;
        }
        TearDown();
    }
    StartMailboxSegment(1);
}

TEST_F(Coe, ShortLastSegmentTakesItsUnusedCount) {
    // First reply: 12 bytes announced, 7 carried; the last segment: Length 10 and
    // command 0x05 (toggle clear, last, two unused bytes), so 5 bytes.
    std::vector<uint8_t> first = SdoReply(0x41, 0x2100, 0, 12, {1, 2, 3, 4, 5, 6, 7});
    Script(1, first);
    Script(1, SegmentReply(0x05, {8, 9, 10, 11, 12, 0xFF, 0xFF}));
    std::vector<uint8_t> data(16, 0);
    int32_t size = 16;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 1);
    EXPECT_EQ(size, 12);
    for (int i = 0; i < 12; i++) EXPECT_EQ(data[static_cast<size_t>(i)], i + 1);
    EXPECT_EQ(data[12], 0);
}

TEST_F(Coe, SegmentsMayNotCarryPastTheCapacity) {
    // The first reply announces 10 bytes (within the capacity) but the segments bring 14.
    std::vector<uint8_t> backing(32, 0xCC);
    Script(1, SdoReply(0x41, 0x2100, 0, 10, {1, 2, 3, 4, 5, 6, 7}));
    Script(1, SegmentReply(0x01, {8, 9, 10, 11, 12, 13, 14}));
    int32_t size = 10;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, backing.data(), 100000), 0);
    EXPECT_EQ(size, 7) << "the bytes delivered so far";
    EXPECT_EQ(backing[7], 0xCC) << "the segment that did not fit was not copied at all";
    ASSERT_EQ(ErrorCount(), 1);
    EXPECT_EQ(Error(0).error_type, PACKET_ERROR);
    EXPECT_EQ(Error(0).error_code, 3);
}

TEST_F(Coe, RepliesLongerThanTheBytesReadAreRefused) {
    // The read mailbox holds 128 bytes; these replies claim more.
    std::vector<uint8_t> data(4000, 0xCC);
    std::vector<uint8_t> first = SdoReply(0x41, 0x2100, 0, 1000, {1, 2, 3});
    SimPut16(first.data(), 300);
    Script(1, first);
    int32_t size = 4000;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 0);
    EXPECT_EQ(size, 4000);
    EXPECT_EQ(data[0], 0xCC);

    // A first reply shorter than its own fields (Length below 10) is no better.
    first = SdoReply(0x41, 0x2100, 0, 2, {});
    SimPut16(first.data(), 4);
    Script(1, first);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 0);
    EXPECT_EQ(data[0], 0xCC);

    Script(1, SdoReply(0x41, 0x2100, 0, 1000, {1, 2, 3, 4, 5, 6, 7}));
    Script(1, SegmentReply(0x00, {8, 9, 10, 11, 12, 13, 14}, 2000));
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 0);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(data[7], 0xCC);
    ASSERT_EQ(ErrorCount(), 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(Error(i).error_type, PACKET_ERROR);
        EXPECT_EQ(Error(i).error_code, 1);
    }
}

TEST_F(Coe, CompleteAccessUploadReadsTheRecord) {
    KeepRequests(1);
    uint8_t data[16] = {0};
    int32_t size = sizeof(data);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2000, 5, 1, &size, data, 100000), 1);
    EXPECT_EQ(Requests(1)[0][8], 0x50);
    EXPECT_EQ(Requests(1)[0][11], 1) << "subindex above 1 goes out as 1";
    ASSERT_EQ(size, 7);
    EXPECT_EQ(data[0], 0x11);
    EXPECT_EQ(SimGet16(data + 1), 0x2222);
    EXPECT_EQ(SimGet32(data + 3), 0x33333333u);

    size = sizeof(data);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2000, 0, 1, &size, data, 100000), 1);
    EXPECT_EQ(Requests(1)[1][11], 0);
    ASSERT_EQ(size, 9) << "subindex 0 travels as 16 bits";
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(data[2], 0x11);
}

TEST_F(Coe, AbortsAreRecordedWithCodeIndexAndSubindex) {
    uint8_t data[8];
    int32_t size = sizeof(data);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x5555, 0, 0, &size, data, 100000), 0);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x1018, 9, 0, &size, data, 100000), 0);
    EXPECT_EQ(SdoUpload(&g_master, 2, 0x5555, 7, 1, &size, data, 100000), 0);
    uint16_t value = 1;
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x6000, 0, 0, 2, &value, 100000), 0);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 2, &value, 100000), 0);
    ASSERT_EQ(ErrorCount(), 5);
    const struct {
        uint16_t slave, index;
        uint8_t subindex;
        uint32_t code;
    } expected[] = {{1, 0x5555, 0, 0x06020000},
                    {1, 0x1018, 9, 0x06090011},
                    {2, 0x5555, 1, 0x06020000},  // the subindex as sent under complete access
                    {1, 0x6000, 0, 0x06010002},
                    {1, 0x3000, 0, 0x06070010}};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(Error(i).error_type, SDO_ABORT) << i;
        EXPECT_EQ(Error(i).slave, expected[i].slave) << i;
        EXPECT_EQ(Error(i).index, expected[i].index) << i;
        EXPECT_EQ(Error(i).subindex, expected[i].subindex) << i;
        EXPECT_EQ(static_cast<uint32_t>(Error(i).abort_code), expected[i].code) << i;
    }
    EXPECT_EQ(size, 8) << "a failed upload leaves the size alone";
}

TEST_F(Coe, AbortNamingTheRequestsObjectIsNoSuccess) {
    // Aborts sent as SDO responses that repeat the request's index and subindex.
    Script(1, SdoReply(0x80, 0x3000, 0, 0x08000020));
    uint32_t value = 5;
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, &value, 100000), 0);
    Script(1, SdoReply(0x80, 0x2100, 0, 0x08000021));
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2100, 0, 0, 8, "12345678", 100000), 0);
    Script(1, SdoReply(0x80, 0x2100, 0, 0x08000022));
    uint8_t data[64];
    int32_t size = sizeof(data);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data, 100000), 0);
    ASSERT_EQ(ErrorCount(), 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(Error(i).error_type, SDO_ABORT);
        EXPECT_EQ(static_cast<uint32_t>(Error(i).abort_code), 0x08000020u + static_cast<uint32_t>(i));
    }
}

TEST_F(Coe, UnexpectedRepliesAreProtocolErrors) {
    uint8_t data[8];
    int32_t size = sizeof(data);
    Script(1, SdoReply(0x43, 0x3001, 0, 0));  // another object's answer
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 0);
    Script(1, SdoReply(0x60, 0x3000, 1, 0));  // another subindex
    uint32_t value = 7;
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, &value, 100000), 0);
    Script(1, SdoReply(0x60, 0x3000, 0, 0, {}, 0x2000));  // an SDO request, not a response
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, &value, 100000), 0);
    ASSERT_EQ(ErrorCount(), 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(Error(i).error_type, PACKET_ERROR);
        EXPECT_EQ(Error(i).error_code, 1);
    }
}

TEST_F(Coe, ExpeditedDownloadLayout) {
    KeepRequests(1);
    const uint8_t two[2] = {0xAB, 0xCD};
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2000, 2, 0, 2, two, 100000), 1);
    const std::vector<uint8_t>& request = Requests(1)[0];
    EXPECT_EQ(request[8], 0x2B);
    EXPECT_EQ(SimGet16(request.data()), 10);
    EXPECT_EQ(request[12], 0xAB);
    EXPECT_EQ(request[13], 0xCD);
    EXPECT_EQ(request[14], 0);
    EXPECT_EQ(request[15], 0);
    EXPECT_EQ(SimGet16(Stored(1, 0x2000, 2).data()), 0xCDAB);
    const uint8_t one = 9, three[3] = {1, 2, 3}, four[4] = {1, 2, 3, 4};
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2000, 1, 0, 1, &one, 100000), 1);
    EXPECT_EQ(Requests(1)[1][8], 0x2F);
    SimObjectDefine(Sim(1), 0x2101, 0, kSimOctets, true, nullptr, 0);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2101, 0, 0, 3, three, 100000), 1);
    EXPECT_EQ(Requests(1)[2][8], 0x27);
    EXPECT_EQ(Stored(1, 0x2101).size(), 3u);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, four, 100000), 1);
    EXPECT_EQ(Requests(1)[3][8], 0x23);
}

TEST_F(Coe, CompleteAccessDownloadIsNormal) {
    SimObjectDefineInteger(Sim(1), 0x2200, 0, kSimU8, false, 1);
    SimObjectDefineInteger(Sim(1), 0x2200, 1, kSimU32, true, 0);
    KeepRequests(1);
    const uint8_t four[4] = {0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2200, 3, 1, 4, four, 100000), 1);
    const std::vector<uint8_t>& request = Requests(1)[0];
    EXPECT_EQ(request[8], 0x31);
    EXPECT_EQ(SimGet16(request.data()), 14);
    EXPECT_EQ(request[11], 1);
    EXPECT_EQ(SimGet32(request.data() + 12), 4u) << "complete size";
    EXPECT_EQ(SimGet32(request.data() + 16), 0x11223344u);
    EXPECT_EQ(SimGet32(Stored(1, 0x2200, 1).data()), 0x11223344u);
}

TEST_F(Coe, SegmentedDownloadLayout) {
    SimObjectDefine(Sim(1), 0x2100, 0, kSimOctets, true, nullptr, 0);
    KeepRequests(1);
    std::vector<uint8_t> value = Pattern(1000, 1);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2100, 0, 0, 1000, value.data(), 100000), 1);
    const auto& requests = Requests(1);
    ASSERT_EQ(requests.size(), 9u);
    EXPECT_EQ(SimGet16(requests[0].data()), 122);
    EXPECT_EQ(requests[0][8], 0x21);
    EXPECT_EQ(SimGet32(requests[0].data() + 12), 1000u);
    for (size_t i = 1; i <= 7; i++) {
        EXPECT_EQ(SimGet16(requests[i].data()), 122) << "119 bytes in segment " << i;
        EXPECT_EQ(requests[i][8], (i % 2) == 1 ? 0x00 : 0x10) << "segment " << i;
    }
    EXPECT_EQ(SimGet16(requests[8].data()), 58);
    EXPECT_EQ(requests[8][8], 0x11);
    EXPECT_EQ(Stored(1, 0x2100), value);

    // A last segment of 3 bytes: Length 10, four unused bytes in bits 1-3.
    std::vector<uint8_t> short_tail = Pattern(112 + 119 + 3, 2);
    EXPECT_EQ(
        SdoDownload(&g_master, 1, 0x2100, 0, 0, static_cast<int32_t>(short_tail.size()), short_tail.data(), 100000), 1);
    ASSERT_EQ(requests.size(), 12u);
    EXPECT_EQ(requests[11][8], 0x19);
    EXPECT_EQ(SimGet16(requests[11].data()), 10);
    EXPECT_EQ(Stored(1, 0x2100), short_tail);
}

TEST_F(Coe, DownloadsOfManySizesRoundTrip) {
    const uint16_t mailboxes[] = {128, 1486, 16};
    TearDown();
    for (uint16_t mailbox : mailboxes) {
        StartMailboxSegment(1, mailbox, mailbox < 128 ? 128 : mailbox);
        SimObjectDefine(Sim(1), 0x2100, 0, kSimOctets, true, nullptr, 0);
        for (size_t length : {1u, 2u, 4u, 5u, 100u, 1000u, 5000u, 65535u}) {
            std::vector<uint8_t> value = Pattern(length, static_cast<uint8_t>(mailbox));
            ASSERT_EQ(SdoDownload(&g_master, 1, 0x2100, 0, 0, static_cast<int32_t>(length), value.data(), 100000), 1)
                << length << " via " << mailbox;
            EXPECT_EQ(Stored(1, 0x2100), value) << length << " via " << mailbox;
        }
        TearDown();
    }
    StartMailboxSegment(2);
}

TEST_F(Coe, RefusedDownloadsSendNothing) {
    const uint8_t data[8] = {0};
    uint64_t before = InprocFramesSent();
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 0, data, 100000), 0) << "size 0";
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, -1, data, 100000), 0);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 65536, data, 100000), 0);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, nullptr, 100000), 0);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, data, -5), 0);
    for (uint16_t length : {0, 1, 15, 1487}) {
        Record(1).mbx_length = length;
        EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, data, 100000), 0) << "write mailbox " << length;
        EXPECT_EQ(SdoDownload(&g_master, 1, 0x2100, 0, 0, 8, data, 100000), 0) << "write mailbox " << length;
        int32_t size = 8;
        uint8_t out[8];
        EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, out, 100000), 0) << "write mailbox " << length;
    }
    int32_t negative = -1;
    uint8_t out[8];
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &negative, out, 100000), 0);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, nullptr, out, 100000), 0);
    EXPECT_EQ(InprocFramesSent(), before);
    EXPECT_EQ(ErrorCount(), 0);
}

TEST_F(Coe, FailedSegmentExchangeEndsTheTransfer) {
    SimObjectDefine(Sim(1), 0x2100, 0, kSimOctets, true, nullptr, 0);
    std::vector<uint8_t> value = Pattern(1000, 4);
    KeepRequests(1);
    // The slave answers the initiate and one segment, then falls silent.
    Sim(1)->mailbox.faults.stalls = true;
    Sim(1)->mailbox.faults.answers_before_stall = 2;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2100, 0, 0, 1000, value.data(), 10000), 0);
    EXPECT_EQ(Requests(1).size(), 3u) << "no segment follows the unanswered one";
    Sim(1)->mailbox.faults.stalls = false;

    // The same for an upload: the silent segment exchange ends it, with what came so far.
    Define(1, 0x2100, value);
    KeepRequests(1);
    Sim(1)->mailbox.faults.stalls = true;
    Sim(1)->mailbox.faults.answers_before_stall = 1;
    std::vector<uint8_t> data(1000, 0);
    int32_t size = 1000;
    // The download's last request is still owed an answer: the timeout leaves room for
    // the wait that writes it off.
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 150000), 0);
    EXPECT_EQ(Requests(1).size(), 2u);
    EXPECT_EQ(size, 112);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(ErrorCount(), 0);
}

TEST_F(Coe, TransfersSurviveEmergenciesErrorRepliesAndLostReads) {
    std::vector<uint8_t> value = Pattern(1000, 5);
    Define(1, 0x2100, value);
    SimMailboxFaults& faults = Sim(1)->mailbox.faults;
    faults.emergencies = 2;
    faults.mailbox_errors = 1;
    std::vector<uint8_t> data(1000, 0);
    int32_t size = 1000;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 1);
    EXPECT_EQ(size, 1000);
    EXPECT_EQ(data, value);
    ASSERT_EQ(ErrorCount(), 3);
    EXPECT_EQ(Error(0).error_type, EMERGENCY);
    EXPECT_EQ(Error(0).error_code, 0xFF10);
    EXPECT_EQ(Error(1).error_type, MAILBOX_ERROR);
    EXPECT_EQ(Error(1).error_code, 0x0007);
    EXPECT_EQ(Error(2).error_type, EMERGENCY);

    // The initiate reply and two segments lose their first read; the repeat handshake
    // brings each back, and no segment is taken twice.
    faults.lose_first_reads = 3;
    std::fill(data.begin(), data.end(), 0);
    size = 1000;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data.data(), 100000), 1);
    EXPECT_EQ(size, 1000);
    EXPECT_EQ(data, value);
    EXPECT_EQ(Sim(1)->mailbox.repeats_served, 3u);
    EXPECT_EQ(ErrorCount(), 3);
}

TEST_F(Coe, LateReplyIsFlushedBeforeTheNextTransfer) {
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0x11111111);
    SimObjectDefineInteger(Sim(1), 0x3001, 0, kSimU32, true, 0x22222222);
    Sim(1)->mailbox.faults.delay_us = 20000;
    uint8_t data[4] = {0};
    int32_t size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 2000), 0) << "the reply comes too late";
    Sim(1)->mailbox.faults.delay_us = 0;
    WaitMicroseconds(25000);
    // The late answer to 0x3000 now waits in the read mailbox; the next transfer takes
    // it away first instead of mistaking it for its own reply.
    size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3001, 0, 0, &size, data, 100000), 1);
    EXPECT_EQ(SimGet32(data), 0x22222222u);
    EXPECT_EQ(ErrorCount(), 0);
    // A slow slave within the timeout is simply waited for.
    Sim(1)->mailbox.faults.delay_us = 5000;
    size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 200000), 1);
    EXPECT_EQ(SimGet32(data), 0x11111111u);
}

// The late answer has not arrived yet when the next transfer starts: a flush alone
// would miss it, and the next upload of the same entry would return the earlier value.
TEST_F(Coe, AnAnswerStillOwedIsAwaitedBeforeTheNextRequest) {
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0x11111111);
    Sim(1)->mailbox.faults.delay_us = 30000;
    uint8_t data[4] = {0};
    int32_t size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 5000), 0) << "the answer comes too late";
    EXPECT_EQ(g_master.owed_answers[1].count, 1);
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0x22222222);
    Sim(1)->mailbox.faults.delay_us = 0;
    size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 1);
    EXPECT_EQ(SimGet32(data), 0x22222222u) << "the earlier request's answer was taken for this one";
    EXPECT_EQ(g_master.owed_answers[1].count, 0);

    // An owed answer that never comes is written off after a bounded wait.
    Sim(1)->mailbox.faults.stalls = true;
    Sim(1)->mailbox.faults.answers_before_stall = 0;
    size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 2000), 0);
    Sim(1)->mailbox.faults.stalls = false;
    TimeStamp start = ClockNow();
    size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 1);
    TimeStamp end = ClockNow();
    int64_t took = (static_cast<int64_t>(end.seconds) - start.seconds) * 1000000 + end.microseconds - start.microseconds;
    EXPECT_LT(took, 2000000) << "the wait for an answer that never comes is bounded";
    EXPECT_EQ(SimGet32(data), 0x22222222u);
}

// The wait for an owed answer is part of the next call's timeout, never added to it: a
// call whose timeout ends first sends nothing and reports that no answer came.
TEST_F(Coe, TheWaitForAnOwedAnswerCountsAgainstTheTimeout) {
    VirtualClock clock;
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0x11111111);
    Sim(1)->mailbox.faults.stalls = true;
    Sim(1)->mailbox.faults.answers_before_stall = 0;
    uint8_t data[4] = {0};
    int32_t size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 2000), 0);
    ASSERT_EQ(g_master.owed_answers[1].count, 1);
    Sim(1)->mailbox.faults.stalls = false;
    KeepRequests(1);
    uint64_t start = clock.Micros();
    size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 20000), NoFrame);
    uint64_t took = clock.Micros() - start;
    EXPECT_GE(took, 20000u);
    EXPECT_LT(took, 20000u + 3000u) << "the call overran its timeout";
    EXPECT_EQ(Requests(1).size(), 0u) << "a request went out while an answer was still owed";
    EXPECT_EQ(g_master.owed_answers[1].count, 1);
    // Once the owed answer is written off, the next call goes through.
    clock.Advance(kOwedAnswerWaitUs);
    size = 4;
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 20000), 1);
    EXPECT_EQ(SimGet32(data), 0x11111111u);
}

// A request whose mailbox write got no reply may still have reached the slave: its
// answer is owed like that of a request whose answer never came, and never passes for
// the next request's.
TEST_F(Coe, ARequestWhoseWriteGotNoReplyIsOwedAnAnswer) {
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0x11111111);
    WireFilter::Install();
    WireFilter::Add(CMD_FPWR, kWriteOffset, DatagramFate::kReplyLost, 3);
    uint8_t data[4] = {0};
    int32_t size = 4;
    EXPECT_LT(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 0) << "the write got no reply";
    EXPECT_GE(g_master.owed_answers[1].count, 1);
    WireFilter::Clear();
    SimObjectDefineInteger(Sim(1), 0x3000, 0, kSimU32, true, 0x22222222);
    for (int i = 0; i < 3; i++) {
        size = 4;
        memset(data, 0, sizeof(data));
        int result = SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000);
        if (result > 0) {
            EXPECT_EQ(SimGet32(data), 0x22222222u) << "upload " << i << " took the lost request's answer";
        }
    }
    WireFilter::Remove();
}

TEST_F(Coe, AnswersForTheOtherDirectionOrAnotherEntryAreNoSuccess) {
    uint8_t data[16];
    memset(data, 0xEE, sizeof(data));
    int32_t size = sizeof(data);
    uint32_t value = 7;
    // A download's confirmation of the same entry, taken as an upload's answer, would
    // be a "normal" transfer of 0 bytes.
    Script(1, SdoReply(0x60, 0x3000, 0, 0));
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x3000, 0, 0, &size, data, 100000), 0);
    EXPECT_EQ(size, static_cast<int32_t>(sizeof(data)));
    // Another subindex of the same object hands over another entry's bytes.
    Script(1, SdoReply(0x43, 0x1018, 2, 0x12345678));
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x1018, 1, 0, &size, data, 100000), 0);
    EXPECT_EQ(size, static_cast<int32_t>(sizeof(data)));
    EXPECT_EQ(data[0], 0xEE);
    // An upload's answer does not confirm a download, expedited or normal.
    Script(1, SdoReply(0x43, 0x3000, 0, 0x11111111));
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x3000, 0, 0, 4, &value, 100000), 0);
    Script(1, SdoReply(0x41, 0x2100, 0, 8));
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2100, 0, 0, 8, "12345678", 100000), 0);
    ASSERT_EQ(ErrorCount(), 4);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(Error(i).error_type, PACKET_ERROR);
        EXPECT_EQ(Error(i).error_code, 1);
    }
}

TEST_F(Coe, LateConfirmationOfAnAbandonedDownloadIsNotTheNextUploadsAnswer) {
    // A slow slave: the download gives up before its confirmation comes. The upload that
    // follows at once first collects that owed confirmation, then gets its own answer:
    // the bytes the download wrote, not an empty "success" made of the confirmation.
    Sim(1)->mailbox.faults.delay_us = 20000;
    const std::vector<uint8_t> pattern = Pattern(8, 3);
    EXPECT_EQ(SdoDownload(&g_master, 1, 0x2100, 0, 0, 8, pattern.data(), 2000), 0);
    Sim(1)->mailbox.faults.delay_us = 0;
    uint8_t data[16] = {0};
    int32_t size = sizeof(data);
    EXPECT_EQ(SdoUpload(&g_master, 1, 0x2100, 0, 0, &size, data, 100000), 1);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 8), pattern);
    EXPECT_EQ(ErrorCount(), 0);
}
