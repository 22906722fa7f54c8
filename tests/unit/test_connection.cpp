#include <unistd.h>

#include <cstdio>
#include <string>

#include "api/connection.h"
#include "api/ecdevice.h"
#include "sim/inproc_capture.h"
#include "support_segment.h"
#include "tool/program_entry.h"

namespace {

// Collects what the code under test writes to one of the standard streams.
class StreamCapture {
public:
    explicit StreamCapture(FILE* stream) : stream_(stream) {
        fflush(stream_);
        file_ = tmpfile();
        saved_fd_ = dup(fileno(stream_));
        dup2(fileno(file_), fileno(stream_));
    }
    ~StreamCapture() { Restore(); }
    std::string Text() {
        Restore();
        std::string text;
        rewind(file_);
        char chunk[512];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, n);
        return text;
    }

private:
    void Restore() {
        if (saved_fd_ < 0) return;
        fflush(stream_);
        dup2(saved_fd_, fileno(stream_));
        close(saved_fd_);
        saved_fd_ = -1;
    }
    FILE* stream_;
    FILE* file_;
    int saved_fd_;
};

int g_handler_calls;
int g_slaves_seen_by_handler;
bool g_port_open_in_handler;

void RecordingHandler() {
    g_handler_calls++;
    g_slaves_seen_by_handler = GetSlaveCount();
    g_port_open_in_handler = PortIsOpen(&g_master.port);
}

class Connection : public SegmentTest {
protected:
    void SetUp() override {
        ResetMaster();
        SetSegmentHandler(nullptr);
        g_handler_calls = 0;
        g_slaves_seen_by_handler = -1;
        g_port_open_in_handler = false;
    }
    void TearDown() override {
        SetSegmentHandler(nullptr);
        SegmentTest::TearDown();
    }
    // A segment of `slaves` simulated slaves on `wire`, for an adapter to carry.
    void AttachSegment(int slaves) {
        segment = SimSegmentCreate(slaves);
        SimWireInit(&wire, segment, SimFaultSettings{});
    }
    InprocAdapter adapters[3]{};
};

int ListLength(const AdapterEntry* head) {
    int n = 0;
    for (; head != nullptr; head = head->next) n++;
    return n;
}

}  // namespace

TEST_F(Connection, AdapterListCopiesNamesInOrderCutTo127Characters) {
    const std::string long_name(200, 'n');
    adapters[0] = InprocAdapter{long_name.c_str(), "first adapter"};
    adapters[1] = InprocAdapter{"eth1", nullptr};
    const std::string long_description(130, 'd');
    adapters[2] = InprocAdapter{nullptr, long_description.c_str()};
    InprocInstall(adapters, 3);

    bool listing_failed = true;
    AdapterEntry* list = BuildAdapterList(&listing_failed);
    EXPECT_FALSE(listing_failed);
    ASSERT_EQ(ListLength(list), 3);
    EXPECT_EQ(std::string(list->name), long_name.substr(0, 127));
    EXPECT_STREQ(list->description, "first adapter");
    EXPECT_STREQ(list->next->name, "eth1");
    EXPECT_STREQ(list->next->description, "");  // absent: empty, and the adapter is still listed
    EXPECT_STREQ(list->next->next->name, "");
    EXPECT_EQ(std::string(list->next->next->description), long_description.substr(0, 127));
    EXPECT_EQ(list->next->next->next, nullptr);
    FreeAdapterList(list);

    InprocInstall(adapters, 0);
    EXPECT_EQ(BuildAdapterList(&listing_failed), nullptr);
    EXPECT_FALSE(listing_failed);
}

TEST_F(Connection, ListingFailureIsReportedOnStandardErrorAndInitGivesZero) {
    adapters[0] = InprocAdapter{"eth0", "never listed"};
    InprocInstall(adapters, 1, /*list_fails=*/true);
    bool listing_failed = false;
    {
        StreamCapture err(stderr);
        const AdapterEntry* list = BuildAdapterList(&listing_failed);
        EXPECT_EQ(err.Text(), "Error in pcap_findalldevs_ex: simulated adapter listing failure\n");
        EXPECT_EQ(list, nullptr);
    }
    EXPECT_TRUE(listing_failed);

    StreamCapture err(stderr);
    const int found = Init();
    EXPECT_EQ(err.Text(), "Error in pcap_findalldevs_ex: simulated adapter listing failure\n");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(adapters[0].opens, 0);
    EXPECT_EQ(GetSlaveCount(), 0);
}

TEST_F(Connection, InitSkipsAdaptersThatFailOrCarryNoSlaves) {
    AttachSegment(3);
    adapters[0] = InprocAdapter{"broken", "cannot open"};
    adapters[0].fails_to_open = true;
    adapters[1] = InprocAdapter{"empty", "no slaves behind it"};
    adapters[2] = InprocAdapter{"segment", "three slaves"};
    adapters[2].wire = &wire;
    InprocInstall(adapters, 3);

    StreamCapture out(stdout);
    const int found = Init();
    const std::string printed = out.Text();
    EXPECT_EQ(found, 3);  // a host's Init: no dialog, the count comes back
    EXPECT_EQ(printed, "interface broken could not open with pcap\n");
    EXPECT_EQ(adapters[0].closes, 0);  // a port that never opened is not closed
    EXPECT_EQ(adapters[1].opens, 1);
    EXPECT_EQ(adapters[1].closes, 1);  // opened, no slaves, closed again
    EXPECT_EQ(adapters[2].opens, 1);
    EXPECT_EQ(adapters[2].closes, 0);  // stays open for the host's calls
    EXPECT_TRUE(PortIsOpen(&g_master.port));
    EXPECT_EQ(GetSlaveCount(), 3);
    EXPECT_EQ(g_master.slave_table[3].config_address, 0x1003);

    // Deinit closes the port; the table stays readable.
    EXPECT_EQ(Deinit(), 0);
    EXPECT_EQ(adapters[2].closes, 1);
    EXPECT_FALSE(PortIsOpen(&g_master.port));
    EXPECT_EQ(GetSlaveCount(), 3);
    EXPECT_NE(GetSlaveName(3), nullptr);
    EXPECT_EQ(Deinit(), 0);  // twice is harmless
}

TEST_F(Connection, InitWithoutSlavesAnywhereLeavesThePortClosed) {
    adapters[0] = InprocAdapter{"lo", "loopback"};
    adapters[1] = InprocAdapter{"eth0", nullptr};
    InprocInstall(adapters, 2);
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(adapters[0].opens, 0);  // loopback carries no slave: passed over unopened
    EXPECT_EQ(adapters[0].closes, 0);
    EXPECT_EQ(adapters[1].opens, 1);
    EXPECT_EQ(adapters[1].closes, 1);
    EXPECT_FALSE(PortIsOpen(&g_master.port));
    EXPECT_EQ(GetSlaveCount(), 0);

    InprocInstall(adapters, 0);
    EXPECT_EQ(Init(), 0);
}

TEST_F(Connection, TheInstalledHandlerTakesOverOnTheAdapterWithSlaves) {
    AttachSegment(2);
    adapters[0] = InprocAdapter{"empty", nullptr};
    adapters[1] = InprocAdapter{"segment", nullptr};
    adapters[1].wire = &wire;
    adapters[2] = InprocAdapter{"later", nullptr};
    InprocInstall(adapters, 3);
    SetSegmentHandler(RecordingHandler);

    // The tool's handler never returns; one that does hands the count back.
    EXPECT_EQ(Init(), 2);
    EXPECT_EQ(g_handler_calls, 1);
    EXPECT_EQ(g_slaves_seen_by_handler, 2);
    EXPECT_TRUE(g_port_open_in_handler);
    EXPECT_EQ(adapters[2].opens, 0);  // the scan ended where the slaves were

    // A second Init starts afresh on the same segment.
    EXPECT_EQ(Init(), 2);
    EXPECT_EQ(g_handler_calls, 2);
    EXPECT_EQ(adapters[1].opens, 2);
    EXPECT_EQ(adapters[1].closes, 1);

    // One that finds nothing leaves no count of the earlier one behind.
    InprocInstall(adapters, 1);
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(GetSlaveCount(), 0);
    EXPECT_EQ(GetSlaveName(1), nullptr);
    InprocInstall(adapters, 0, /*list_fails=*/true);
    g_master.slave_count = 2;
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(GetSlaveCount(), 0);
}

TEST_F(Connection, QueriesCheckTheSlaveNumber) {
    EXPECT_EQ(GetSlaveCount(), 0);
    EXPECT_EQ(GetSlaveHardFlag(1), -1);  // before any bring-up every number is bad
    EXPECT_EQ(GetSlaveName(1), nullptr);

    g_master.slave_count = 3;
    snprintf(g_master.slave_table[3].name, kSlaveNameBytes, "%s", "third");
    EXPECT_EQ(GetSlaveHardFlag(0), -1);
    EXPECT_EQ(GetSlaveName(0), nullptr);
    EXPECT_EQ(GetSlaveHardFlag(-5), -1);
    EXPECT_EQ(GetSlaveHardFlag(3), 0);
    EXPECT_EQ(GetSlaveHardFlag(4), -1);
    EXPECT_EQ(GetSlaveName(4), nullptr);
    EXPECT_EQ(GetSlaveName(3), g_master.slave_table[3].name);  // into the table, not a copy
    EXPECT_STREQ(GetSlaveName(3), "third");
}

TEST_F(Connection, SummaryListsEverySlaveAndEndsWithTheEndLine) {
    {
        StreamCapture out(stdout);
        PrintSlaveSummary(stdout);
        EXPECT_EQ(out.Text(), "Number of slaves:0\r\n=============End=============\r\n");
    }
    g_master.slave_count = 2;
    snprintf(g_master.slave_table[1].name, kSlaveNameBytes, "%s", "EL1008");
    snprintf(g_master.slave_table[2].name, kSlaveNameBytes, "%s", "? M:000000ab I:00000002");
    StreamCapture out(stdout);
    PrintSlaveSummary(stdout);
    EXPECT_EQ(out.Text(),
              "Number of slaves:2\r\n"
              "Slave: 1, Name:EL1008  GetSlaveHardFlag(int slave)--->   0\r\n"
              "Slave: 2, Name:? M:000000ab I:00000002  GetSlaveHardFlag(int slave)--->   0\r\n"
              "=============End=============\r\n");
}

TEST_F(Connection, AHostsInitNamesEverySlaveFromItsSii) {
    AttachSegment(3);
    SimEepromSetName(segment->slaves[1], "second drive");
    SimEepromSetName(segment->slaves[2], nullptr);  // no strings category
    SimEepromSetIdentity(segment->slaves[2], 0xAB, 2, 1);
    adapters[0] = InprocAdapter{"segment", "three slaves"};
    adapters[0].wire = &wire;
    InprocInstall(adapters, 1);

    ASSERT_EQ(Init(), 3);
    EXPECT_STREQ(GetSlaveName(1), "ecsim slave 1");
    EXPECT_STREQ(GetSlaveName(2), "second drive");
    EXPECT_STREQ(GetSlaveName(3), "? M:000000ab I:00000002");
    Deinit();
}
