// The eleven exported functions called the way a careless host program calls them: bad
// slave numbers, null pointers, negative and huge sizes, lengths and timeouts, before
// Init and after Deinit. Each call must answer with the value ecdevice.h documents,
// send nothing when it refuses, and touch no memory it was not given.
#include <chrono>
#include <climits>
#include <cstring>

#include "api/connection.h"
#include "api/ecdevice.h"
#include "sim/inproc_capture.h"
#include "sim/segment.h"
#include "support_segment.h"

namespace {

constexpr int kSlaves = 1;
constexpr uint8_t kUntouched = 0xA5;

class BadArguments : public SegmentTest {
protected:
    void SetUp() override {
        ResetMaster();
        SetSegmentHandler(nullptr);  // a host's Init: no dialog
        segment = SimSegmentCreate(kSlaves);
        SimWireInit(&wire, segment, SimFaultSettings{});
        adapter = InprocAdapter{"sim0", "virtual segment"};
        adapter.wire = &wire;
        InprocInstall(&adapter, 1);
        memset(buffer, kUntouched, sizeof(buffer));
    }

    bool BufferUntouched() const {
        for (uint8_t b : buffer)
            if (b != kUntouched) return false;
        return true;
    }

    // Every function that takes a slave number, called with `slave`; each must refuse
    // with EC_BAD_SLAVE (null, nothing) whatever its other arguments are.
    void ExpectSlaveRefused(int slave) {
        SCOPED_TRACE(testing::Message() << "slave " << slave);
        int size = 8;
        EXPECT_EQ(GetSlaveHardFlag(slave), EC_BAD_SLAVE);
        EXPECT_EQ(GetSlaveName(slave), nullptr);
        EXPECT_EQ(ReadRegister(slave, 0x20), EC_BAD_SLAVE);
        WriteRegister(slave, 0x20, 5);
        EXPECT_EQ(SdoRead(slave, 0x1000, 0, 0, &size, buffer, 20000), EC_BAD_SLAVE);
        EXPECT_EQ(size, 8);
        EXPECT_EQ(SdoWrite(slave, 0x3000, 0, 0, 4, buffer, 20000), EC_BAD_SLAVE);
        EXPECT_EQ(FPRead(slave, 0x0130, 2, buffer, 2000), EC_BAD_SLAVE);
        EXPECT_EQ(FPWrite(slave, 0x0F80, 2, buffer, 2000), EC_BAD_SLAVE);
        // The slave number is checked first: bad arguments do not change the answer.
        EXPECT_EQ(SdoRead(slave, 0x1000, 0, 0, nullptr, nullptr, -1), EC_BAD_SLAVE);
        EXPECT_EQ(SdoWrite(slave, 0x3000, 0, 0, -1, nullptr, -1), EC_BAD_SLAVE);
        EXPECT_EQ(FPRead(slave, 0x0130, -1, nullptr, -1), EC_BAD_SLAVE);
        EXPECT_EQ(FPWrite(slave, 0x0F80, INT_MAX, nullptr, INT_MIN), EC_BAD_SLAVE);
        EXPECT_TRUE(BufferUntouched());
    }

    uint8_t buffer[64];
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(BadArguments, BeforeInitEverySlaveNumberIsRefusedAndNothingIsSent) {
    EXPECT_EQ(GetSlaveCount(), 0);
    EXPECT_EQ(Deinit(), 0) << "closing a port that was never opened is harmless";
    const uint64_t sent = InprocFramesSent();
    for (int slave : {1, 2, 0, -1, INT_MIN, INT_MAX}) ExpectSlaveRefused(slave);
    EXPECT_EQ(InprocFramesSent(), sent);

    // An Init that finds no slaves leaves every number as bad as before.
    adapter.wire = nullptr;
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(GetSlaveCount(), 0);
    ExpectSlaveRefused(1);
}

TEST_F(BadArguments, SlaveNumbersOutsideTheSegmentAreRefusedAndNothingIsSent) {
    ASSERT_EQ(Init(), kSlaves);
    const uint64_t sent = InprocFramesSent();
    for (int slave : {0, -1, kSlaves + 1, INT_MIN, INT_MAX, INT_MIN + 1, 0x10001}) ExpectSlaveRefused(slave);
    EXPECT_EQ(InprocFramesSent(), sent);
    // The edges of the range are good numbers.
    EXPECT_EQ(GetSlaveHardFlag(1), 0);
    EXPECT_EQ(GetSlaveHardFlag(kSlaves), 0);
    EXPECT_NE(GetSlaveName(kSlaves), nullptr);
}

TEST_F(BadArguments, NullPointersAreRefusedBeforeAnythingIsSent) {
    ASSERT_EQ(Init(), kSlaves);
    int size = sizeof(buffer);
    const uint64_t sent = InprocFramesSent();
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, nullptr, buffer, 20000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, nullptr, 20000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, nullptr, nullptr, 20000), EC_BAD_ARGUMENT);
    int no_room = 0;
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &no_room, nullptr, 20000), EC_BAD_ARGUMENT) << "no buffer even for 0 bytes";
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 4, nullptr, 20000), EC_BAD_ARGUMENT);
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 1, 4, nullptr, 20000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPRead(1, 0x0130, 2, nullptr, 2000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPRead(1, 0x0130, EC_MAX_DATAGRAM_DATA, nullptr, 2000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPWrite(1, 0x0F80, 1, nullptr, 2000), EC_BAD_ARGUMENT);
    EXPECT_EQ(InprocFramesSent(), sent);
    EXPECT_EQ(size, static_cast<int>(sizeof(buffer)));
    EXPECT_EQ(no_room, 0);

    // A zero-length register access needs no buffer, and is carried out.
    EXPECT_EQ(FPRead(1, 0x0130, 0, nullptr, 2000), 1);
    EXPECT_EQ(FPWrite(1, 0x0F80, 0, nullptr, 2000), 1);
}

TEST_F(BadArguments, SizesAndLengthsOutsideTheirRangeAreRefused) {
    ASSERT_EQ(Init(), kSlaves);
    const uint64_t sent = InprocFramesSent();
    for (int capacity : {-1, -4, INT_MIN}) {
        int size = capacity;
        EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, buffer, 20000), EC_BAD_ARGUMENT) << capacity;
        EXPECT_EQ(size, capacity) << "a refused read leaves the size as it was";
    }
    for (int size : {0, -1, INT_MIN, 65536, INT_MAX})
        EXPECT_EQ(SdoWrite(1, 0x2100, 0, 0, size, buffer, 20000), EC_BAD_ARGUMENT) << size;
    for (int length : {-1, INT_MIN, EC_MAX_DATAGRAM_DATA + 1, 0x10000, INT_MAX}) {
        EXPECT_EQ(FPRead(1, 0x0F80, length, buffer, 2000), EC_BAD_ARGUMENT) << length;
        EXPECT_EQ(FPWrite(1, 0x0F80, length, buffer, 2000), EC_BAD_ARGUMENT) << length;
    }
    EXPECT_EQ(InprocFramesSent(), sent);
    EXPECT_TRUE(BufferUntouched());

    // The largest values still in range are taken. A capacity of INT_MAX must not
    // overflow the room left for the data: the 4 bytes of 0x1000 arrive, nothing more.
    int size = INT_MAX;
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, buffer, 20000), 1);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(buffer[4], kUntouched);
    uint8_t memory[EC_MAX_DATAGRAM_DATA];
    memset(memory, 0x5A, sizeof(memory));
    EXPECT_EQ(FPWrite(1, 0x1800, EC_MAX_DATAGRAM_DATA, memory, 2000), 1);
    memset(memory, 0, sizeof(memory));
    EXPECT_EQ(FPRead(1, 0x1800, EC_MAX_DATAGRAM_DATA, memory, 2000), 1);
    EXPECT_EQ(memory[0], 0x5A);
    EXPECT_EQ(memory[EC_MAX_DATAGRAM_DATA - 1], 0x5A);
}

TEST_F(BadArguments, NegativeTimeoutsAreRefusedAndZeroIsOneTry) {
    ASSERT_EQ(Init(), kSlaves);
    const uint64_t sent = InprocFramesSent();
    for (int timeout : {-1, -2000, INT_MIN}) {
        int size = sizeof(buffer);
        EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, buffer, timeout), EC_BAD_ARGUMENT) << timeout;
        EXPECT_EQ(size, static_cast<int>(sizeof(buffer)));
        EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 4, buffer, timeout), EC_BAD_ARGUMENT) << timeout;
        EXPECT_EQ(FPRead(1, 0x0130, 2, buffer, timeout), EC_BAD_ARGUMENT) << timeout;
        EXPECT_EQ(FPWrite(1, 0x0F80, 2, buffer, timeout), EC_BAD_ARGUMENT) << timeout;
    }
    EXPECT_EQ(InprocFramesSent(), sent);
    EXPECT_TRUE(BufferUntouched());
    // Timeout 0 is one send and one look at the adapter; the in-process slaves answer
    // at once.
    uint8_t status[2] = {0, 0};
    EXPECT_EQ(FPRead(1, 0x0130, 2, status, 0), 1);
    EXPECT_EQ(status[0], 2) << "PRE-OP, as Init left it";
}

TEST_F(BadArguments, AfterDeinitCallsFailAtOnceAndInitStartsAgain) {
    ASSERT_EQ(Init(), kSlaves);
    EXPECT_EQ(Deinit(), 0);
    EXPECT_EQ(Deinit(), 0);
    // The table of the last bring-up stays readable.
    EXPECT_EQ(GetSlaveCount(), kSlaves);
    EXPECT_EQ(GetSlaveHardFlag(kSlaves), 0);
    EXPECT_NE(GetSlaveName(1), nullptr);

    const uint64_t sent = InprocFramesSent();
    const auto start = std::chrono::steady_clock::now();
    int size = sizeof(buffer);
    EXPECT_EQ(ReadRegister(1, 0x20), 0) << "no read succeeded";
    WriteRegister(1, 0x20, 5);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, buffer, INT_MAX), EC_NO_FRAME);
    EXPECT_EQ(size, static_cast<int>(sizeof(buffer)));
    EXPECT_EQ(SdoWrite(1, 0x3000, 0, 0, 4, buffer, INT_MAX), EC_NO_FRAME);
    EXPECT_EQ(FPRead(1, 0x0130, 2, buffer, INT_MAX), EC_NO_FRAME);
    EXPECT_EQ(FPWrite(1, 0x0F80, 2, buffer, INT_MAX), EC_NO_FRAME);
    // Nobody can answer a closed port: the calls must not sit out their timeouts (the
    // ones above would take half an hour each), nor ReadRegister its 20 uploads.
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(InprocFramesSent(), sent);
    EXPECT_TRUE(BufferUntouched());
    // Argument checks still come first.
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, nullptr, buffer, 1000), EC_BAD_ARGUMENT);
    EXPECT_EQ(FPRead(kSlaves + 1, 0x0130, 2, buffer, 1000), EC_BAD_SLAVE);

    // A new Init brings the segment back.
    ASSERT_EQ(Init(), kSlaves);
    size = sizeof(buffer);
    EXPECT_EQ(SdoRead(1, 0x1000, 0, 0, &size, buffer, 20000), 1);
    EXPECT_EQ(size, 4);
}
