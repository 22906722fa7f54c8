// The eleven exported functions called the way a careless host program calls them: bad
// slave numbers, null pointers, negative and huge sizes, lengths and timeouts, before
// Init and after Deinit. Each call must answer with the value ecdevice.h documents,
// send nothing when it refuses, and touch no memory it was not given. Then the same for
// the functions of ecalias.h that the other tests of libecalias leave out: AL state
// requests refused for every reason, and every call on a master that has not scanned.
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "api/connection.h"
#include "api/ec/ecalias_internal.h"
#include "api/ecdevice.h"
#include "ecalias.h"
#include "sim/inproc_capture.h"
#include "sim/segment.h"
#include "sim/sim_capture.h"
#include "support_segment.h"
#include "support_virtual_clock.h"

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

// ---- libecalias ----

namespace {

class EcaliasRefusals : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ec_open("sim:--slaves 2", &m), EC_OK); }
    void TearDown() override {
        if (m != nullptr) ec_close(m);
    }
    SimSegment* Segment() const { return SimCaptureSegment(m->context->port.capture); }
    uint64_t Frames() const { return Segment()->frames_processed; }
    // What a state request would change on each slave: its AL control register and its state.
    std::vector<int> AlSnapshot() const {
        std::vector<int> snapshot;
        for (const SimSlave* slave : Segment()->slaves)
            snapshot.push_back(slave->memory[kRegAlControl] << 8 | slave->mailbox.al_state);
        return snapshot;
    }
    // Nothing reached a slave: no frame, no AL register or state changed.
    void ExpectNothingSent(uint64_t frames_before, const std::vector<int>& al_before) const {
        EXPECT_EQ(Frames(), frames_before) << "a refused call sent a frame";
        EXPECT_EQ(AlSnapshot(), al_before);
    }
    int LastCode() const {
        ec_error_detail detail{};
        EXPECT_EQ(ec_last_error(m, &detail), EC_OK);
        return detail.code;
    }

    VirtualClock clock{};
    ec_master* m = nullptr;
};

}  // namespace

TEST_F(EcaliasRefusals, StateRequestsRefusedForAnyReasonSendNothing) {
    // Before a scan: nobody to ask, and the answer says why.
    const uint64_t frames = Frames();
    const std::vector<int> power_on = AlSnapshot();
    EXPECT_EQ(ec_state_request(m, 0, EC_STATE_PREOP, 1000), EC_ENOTSCANNED);
    EXPECT_EQ(LastCode(), EC_ENOTSCANNED);
    EXPECT_EQ(ec_state_request(m, 1, EC_STATE_PREOP, 1000), EC_ENOSLAVE);
    ExpectNothingSent(frames, power_on);

    int count = 0;
    ASSERT_EQ(ec_scan(m, &count), EC_OK);
    ASSERT_EQ(count, 2);
    const uint64_t scanned = Frames();
    const std::vector<int> after_scan = AlSnapshot();
    // Values that are no AL state: the acknowledge bit alone or with INIT, the error
    // bit, codes between the states, anything wider than a nibble.
    for (uint16_t state : {0, 5, 6, 7, 9, 0x0F, 0x10, 0x11, 0x12, 0x0102, 0xFFFF}) {
        for (int position : {0, 1, 2}) {
            EXPECT_EQ(ec_state_request(m, position, state, 1000), EC_EINVAL)
                << "state " << state << " position " << position;
        }
    }
    EXPECT_EQ(LastCode(), EC_EINVAL);
    for (int position : {0, 1, 2}) {
        EXPECT_EQ(ec_state_request(m, position, EC_STATE_SAFEOP, -1), EC_EINVAL) << position;
        EXPECT_EQ(ec_state_request(m, position, EC_STATE_INIT, INT_MIN), EC_EINVAL) << position;
    }
    // Positions outside the segment: the slave number is checked first, whatever else
    // is wrong with the call.
    for (int position : {-1, 3, 200, INT_MIN, INT_MAX}) {
        EXPECT_EQ(ec_state_request(m, position, EC_STATE_PREOP, 1000), EC_ENOSLAVE) << position;
        EXPECT_EQ(ec_state_request(m, position, 7, -1), EC_ENOSLAVE) << position;
    }
    EXPECT_EQ(LastCode(), EC_ENOSLAVE);
    ExpectNothingSent(scanned, after_scan);

    // A closed master, and a second close.
    ASSERT_EQ(ec_close(m), EC_OK);
    EXPECT_EQ(ec_state_request(m, 0, EC_STATE_PREOP, 1000), EC_ECLOSED);
    EXPECT_EQ(ec_state_request(m, 1, EC_STATE_PREOP, 1000), EC_ECLOSED);
    EXPECT_EQ(ec_state_request(m, 1, 7, -1), EC_ECLOSED);
    EXPECT_EQ(ec_close(m), EC_ECLOSED);
    m = nullptr;
    EXPECT_EQ(ec_state_request(nullptr, 0, EC_STATE_PREOP, 1000), EC_EINVAL);
}

TEST_F(EcaliasRefusals, AMasterThatHasNotScannedSendsNothingToAnySlave) {
    const uint64_t frames = Frames();
    const std::vector<int> power_on = AlSnapshot();
    uint16_t words[8] = {0};
    uint8_t bytes[4] = {0};
    size_t size = sizeof(bytes);
    uint32_t value = 0;
    uint16_t state = 0;
    int count = -1;
    ec_slave_info info{};
    ec_alias_report report{};
    EXPECT_EQ(ec_slave_count(m, &count), EC_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ec_slave_info_get(m, 1, &info), EC_ENOSLAVE);
    EXPECT_EQ(ec_sii_read(m, 1, 0, 8, words), EC_ENOSLAVE);
    EXPECT_EQ(ec_sii_write(m, 1, 4, 1, words, EC_FORCE, nullptr), EC_ENOSLAVE);
    EXPECT_EQ(ec_alias_set(m, 1, 0x1234, EC_FORCE, &report), EC_ENOSLAVE);
    EXPECT_EQ(ec_sii_check_image(m, 1, words, 8), EC_ENOSLAVE);
    EXPECT_EQ(ec_sdo_upload(m, 1, 0x1000, 0, 0, bytes, &size, 1000), EC_ENOSLAVE);
    EXPECT_EQ(ec_sdo_download(m, 1, 0x3000, 0, 0, bytes, 4, 1000), EC_ENOSLAVE);
    EXPECT_EQ(ec_reg_read(m, 1, 0x0130, bytes, 2, 1000), EC_ENOSLAVE);
    EXPECT_EQ(ec_reg_write(m, 1, 0x0120, bytes, 2, 1000), EC_ENOSLAVE);
    EXPECT_EQ(ec_window_read(m, 1, 0x20, &value), EC_ENOSLAVE);
    EXPECT_EQ(ec_window_write(m, 1, 0x20, 5), EC_ENOSLAVE);
    EXPECT_EQ(ec_state_read(m, 1, &state, nullptr), EC_ENOSLAVE);
    EXPECT_EQ(size, sizeof(bytes));
    EXPECT_EQ(value, 0u);
    ExpectNothingSent(frames, power_on);
    for (const SimSlave* slave : Segment()->slaves) {
        EXPECT_EQ(slave->eeprom.counters.commands, 0u) << "slave " << slave->position;
        EXPECT_EQ(slave->eeprom.words[kSiiWordAlias], 0) << "slave " << slave->position;
    }
    // Checks that need no master.
    uint8_t checksum = 0;
    EXPECT_EQ(ec_sii_checksum(nullptr, &checksum), EC_EINVAL);
    EXPECT_EQ(ec_sii_checksum(words, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_sii_check_image(nullptr, 0, words, 7), EC_EINVAL);
    EXPECT_EQ(ec_sii_check_image(nullptr, -1, words, 8), EC_EINVAL);
    EXPECT_EQ(ec_sii_check_image(nullptr, 1, words, 8), EC_EINVAL) << "a slave needs its master";
}
