// Segments of more slaves than the legacy master's 199: libecalias describes every slave
// a scan counts (its table is sized by the count), each with a station address of its
// own; the legacy Init still stops at 199; a table that cannot be allocated fails the
// scan cleanly. This executable replaces the global allocation functions with ones that
// can be told to refuse a request of a given size.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "api/connection.h"
#include "api/ecdevice.h"
#include "ecalias.h"
#include "sim/sii_image.h"
#include "sim/sim_capture.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/sii_engine.h"
#include "support_virtual_clock.h"
#include "tool/cli/cli.h"
#include "support_temp_files.h"

// Makes every slave with a mailbox ready for SDO traffic (slave/mailbox_setup.cpp).
int PrepareMailboxes(MasterContext* master);

namespace {

// Non-throwing requests of exactly this many bytes fail (0: none fails).
size_t g_refused_size = 0;

void* Allocate(std::size_t size) {
    if (g_refused_size != 0 && size == g_refused_size) return nullptr;
    return malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) abort();  // gtest's own objects: never refused
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }

namespace {

struct Opened {
    ec_master* m = nullptr;
    explicit Opened(const char* adapter) { EXPECT_EQ(ec_open(adapter, &m), EC_OK) << adapter; }
    ~Opened() {
        if (m != nullptr) ec_close(m);
    }
};

uint16_t SiiWord(ec_master* m, int position, uint32_t word) {
    uint16_t value = 0;
    EXPECT_EQ(ec_sii_read(m, position, word, 1, &value), EC_OK) << "slave " << position << " word " << word;
    return value;
}

uint32_t SdoU32(ec_master* m, int position, uint16_t index, uint8_t subindex) {
    uint32_t value = 0;
    size_t size = sizeof value;
    EXPECT_EQ(ec_sdo_upload(m, position, index, subindex, 0, &value, &size, 1000000), EC_OK)
        << "slave " << position << " " << std::hex << index << ":" << int{subindex};
    EXPECT_EQ(size, sizeof value);
    return value;
}

size_t Occurrences(const std::string& text, const std::string& word) {
    size_t found = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) found++;
    return found;
}

}  // namespace

TEST(StationAddresses, EveryPositionTheProtocolCountsHasItsOwnNonZeroAddress) {
    std::vector<bool> taken(0x10000, false);
    for (int position = 1; position <= kProtocolMaxSlaves; position++) {
        const uint16_t address = StationAddressFor(position);
        ASSERT_NE(address, 0) << position;
        ASSERT_FALSE(taken[address]) << "position " << position << " repeats address " << address;
        taken[address] = true;
        // The addresses every earlier release gave stay as they were.
        if (position <= kLastPlainPosition) {
            ASSERT_EQ(address, 0x1000 + position) << position;
        }
    }
    EXPECT_EQ(StationAddressFor(kLastPlainPosition), 0xFFFF);
    EXPECT_EQ(StationAddressFor(kLastPlainPosition + 1), 0x0001);
    EXPECT_EQ(StationAddressFor(kProtocolMaxSlaves), 0x1000);
    EXPECT_EQ(EC_MAX_SLAVES, kProtocolMaxSlaves);
}

// A thousand slaves, the most a virtual segment holds: every record, an SDO and a
// register read on the last slave, an alias written to slave 600 and to no other.
TEST(LargeSegment, AScanDescribesEveryOneOfAThousandSlavesAndReachesEach) {
    VirtualClock clock{2};
    Opened open("sim:--slaves 1000 --name 1000:Last --name 600:Drive");
    ec_master* m = open.m;
    ASSERT_NE(m, nullptr);
    int count = 0;
    ASSERT_EQ(ec_scan(m, &count), EC_OK);
    ASSERT_EQ(count, 1000);
    int counted = 0;
    ASSERT_EQ(ec_slave_count(m, &counted), EC_OK);
    EXPECT_EQ(counted, 1000);
    std::set<uint16_t> addresses;
    for (int n = 1; n <= count; n++) {
        ec_slave_info info{};
        ASSERT_EQ(ec_slave_info_get(m, n, &info), EC_OK) << n;
        EXPECT_EQ(info.position, n);
        EXPECT_EQ(info.station_address, 0x1000 + n) << n;
        addresses.insert(info.station_address);
        EXPECT_EQ(info.complete, 1) << n << " parts " << info.parts_read;
        EXPECT_EQ(info.vendor_id, static_cast<uint32_t>(kSiiDefaultVendor)) << n;
        EXPECT_EQ(info.product_code, kSiiDefaultProductBase + static_cast<uint32_t>(n)) << n;
        EXPECT_EQ(info.mailbox_write_size, 128u) << n;
        EXPECT_EQ(info.al_state & 0x0F, EC_STATE_PREOP) << n;
        const std::string expected = n == 1000 ? "Last" : n == 600 ? "Drive" : "ecsim slave " + std::to_string(n);
        EXPECT_EQ(std::string(info.name), expected) << n;
    }
    EXPECT_EQ(addresses.size(), 1000u);
    ec_slave_info beyond{};
    EXPECT_EQ(ec_slave_info_get(m, 1001, &beyond), EC_ENOSLAVE);

    // The last slave answers its own station address, and its own objects.
    uint16_t station = 0;
    ASSERT_EQ(ec_reg_read(m, 1000, 0x0010, &station, sizeof station, 100000), EC_OK);
    EXPECT_EQ(station, 0x1000 + 1000);
    EXPECT_EQ(SdoU32(m, 1000, 0x1018, 4), 1000u);  // serial number: the position
    EXPECT_EQ(SdoU32(m, 1000, 0x1018, 2), kSiiDefaultProductBase + 1000);

    // An alias on slave 600 lands there and nowhere else.
    const uint16_t neighbours_before[2] = {SiiWord(m, 599, 4), SiiWord(m, 601, 4)};
    ec_alias_report report{};
    ASSERT_EQ(ec_alias_set(m, 600, 0x2600, 0, &report), EC_OK);
    EXPECT_EQ(report.verified, 1);
    EXPECT_EQ(report.after[4], 0x2600);
    EXPECT_EQ(SiiWord(m, 600, 4), 0x2600);
    EXPECT_EQ(SiiWord(m, 599, 4), neighbours_before[0]);
    EXPECT_EQ(SiiWord(m, 601, 4), neighbours_before[1]);
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(m, 600, &info), EC_OK);
    EXPECT_EQ(info.sii_alias, 0x2600);
}

// Every step of the bring-up works through the slaves in runs; 600 slaves take three
// runs, the last one short: the table, the identity words, the started reads, the names
// and the mailbox setup reach every slave.
TEST(LargeSegment, TheBringUpReachesEverySlaveOfEveryRun) {
    VirtualClock clock{2};
    std::unique_ptr<MasterContext> master = std::make_unique<MasterContext>();
    char errbuf[kCaptureErrorSize] = {0};
    ASSERT_EQ(PortOpenOn(&master->port, &kSimCaptureBackend, "sim:--slaves 600 --name 600:Last --name 257:Next", errbuf),
              1)
        << errbuf;
    ASSERT_EQ(ConfigureNetwork(master.get()), 600);
    EXPECT_EQ(master->slave_table.capacity, 601);
    for (int n = 1; n <= 600; n++) {
        const SlaveRecord& record = master->slave_table[n];
        EXPECT_EQ(record.config_address, 0x1000 + n) << n;
        EXPECT_EQ(record.product_code, kSiiDefaultProductBase + static_cast<uint32_t>(n)) << n;
        EXPECT_EQ(record.mbx_length, 128) << n;
        // The read of word 0x001A stays started on every slave but the first.
        EXPECT_EQ(master->eeprom_reads[n].read_issued, n >= 2 ? 1 : 0) << n;
    }
    NameSlaves(master.get(), 2);
    for (int n = 2; n <= 600; n++) {
        const std::string expected = n == 600 ? "Last" : n == 257 ? "Next" : "ecsim slave " + std::to_string(n);
        EXPECT_EQ(std::string(master->slave_table[n].name), expected) << n;
    }
    EXPECT_EQ(PrepareMailboxes(master.get()), 600);
    for (int n = 1; n <= 600; n++) {
        EXPECT_EQ(master->slave_table[n].state & 0x0F, kAlStatePreOp) << n;
        EXPECT_EQ(master->slave_table[n].sync_managers[1].length, 128) << n;
    }
    PortClose(&master->port);
}

// More slaves than the SII engine works on at once, with read commands broadcast: the
// slaves waiting for a place meet the others' broadcasts (a read with no effect but on
// the interface registers), and once they start they get their own words all the same.
// Here a broadcast passes 286 slaves and reaches each well after its poll (the virtual
// clock moves on with every slave), so a read that was busy at the poll has often ended
// by then and the broadcast starts the next word over the unread one: the slave sees
// another word's address, reads on without broadcasts about, and is not overtaken again.
TEST(LargeSegment, BroadcastSiiReadsStarveNoSlaveWaitingOrOvertaken) {
    VirtualClock clock{2};
    std::unique_ptr<MasterContext> master = std::make_unique<MasterContext>();
    char errbuf[kCaptureErrorSize] = {0};
    const int slaves = kSiiEngineSlots + 30;
    const std::string adapter = "sim:--slaves " + std::to_string(slaves);
    ASSERT_EQ(PortOpenOn(&master->port, &kSimCaptureBackend, adapter.c_str(), errbuf), 1) << errbuf;
    ASSERT_EQ(ConfigureNetwork(master.get()), slaves);
    // Words 0x08-0x0F (identity and serial) differ from slave to slave.
    SiiJob jobs[kSiiEngineSlots + 30];
    uint16_t shared[kSiiEngineSlots + 30][8];
    uint16_t each[kSiiEngineSlots + 30][8];
    auto read_all = [&](SiiReach reach, uint16_t (*words)[8]) {
        for (int n = 1; n <= slaves; n++) {
            for (int k = 0; k < 8; k++) words[n - 1][k] = 0xDEAD;
            jobs[n - 1] = SiiJob{static_cast<uint16_t>(n), 0x08, 8, words[n - 1], 0, 0, 0};
        }
        return SiiReadMany(master.get(), jobs, slaves, nullptr, reach);
    };
    EXPECT_EQ(read_all(kSiiWholeSegment, shared), slaves);
    EXPECT_EQ(read_all(kSiiEachSlave, each), slaves);
    for (int n = 1; n <= slaves; n++) {
        for (int k = 0; k < 8; k++) ASSERT_EQ(shared[n - 1][k], each[n - 1][k]) << "slave " << n << " word " << 8 + k;
        // Product code (words 0x0A-0x0B): the default image's, one per position.
        ASSERT_EQ(shared[n - 1][2] | (shared[n - 1][3] << 16), kSiiDefaultProductBase + static_cast<uint32_t>(n))
            << "slave " << n;
    }
    PortClose(&master->port);
}

// The command line lists every slave of a segment larger than the old table.
TEST(LargeSegment, TheCommandLineListsThreeHundredSlaves) {
    VirtualClock clock{2};
    std::vector<std::string> words = {"ecalias", "-i", "sim:--slaves 300 --name 300:Tail", "--json", "list"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    ASSERT_TRUE(out != nullptr && err != nullptr);
    const int status = RunCommandLine(static_cast<int>(words.size()), argv.data(), out, err);
    const std::string text = ReadAll(out);
    const std::string errors = ReadAll(err);
    ASSERT_EQ(status, 0) << errors;
    EXPECT_EQ(Occurrences(text, "\"position\""), 300u) << text.substr(0, 400);
    EXPECT_NE(text.find("\"position\": 300"), std::string::npos);
    EXPECT_NE(text.find("\"Tail\""), std::string::npos);
}

// The legacy Init keeps its 199: host programs size their arrays by it.
TEST(LargeSegment, TheLegacyInitStillDescribesAtMost199Slaves) {
    VirtualClock clock{2};
    ASSERT_EQ(InitOnAdapter(&kSimCaptureBackend, "sim:--slaves 250 --name 199:Edge --name 200:Beyond"), 199);
    EXPECT_EQ(GetSlaveCount(), 199);
    ASSERT_NE(GetSlaveName(199), nullptr);
    EXPECT_STREQ(GetSlaveName(199), "Edge");
    EXPECT_STREQ(GetSlaveName(2), "ecsim slave 2");
    EXPECT_EQ(GetSlaveName(200), nullptr);
    EXPECT_EQ(GetSlaveHardFlag(200), -1);
    EXPECT_EQ(g_master.slave_table.capacity, kMaxSlaveRecords);  // its static table, never replaced
    EXPECT_FALSE(g_master.owns_slave_storage);
    Deinit();
}

// A table, or records, or work space that cannot be allocated fail the scan with
// EC_ENOMEM: no slaves afterwards, nothing sent to a slave by position, and the next scan
// with memory works.
TEST(LargeSegment, StorageThatCannotBeAllocatedFailsTheScanCleanly) {
    VirtualClock clock{2};
    Opened open("sim:--slaves 300");
    ec_master* m = open.m;
    ASSERT_NE(m, nullptr);
    typedef uint16_t NameWords[129];
    const struct {
        size_t size;
        const char* step;
    } refusals[] = {
        {sizeof(SlaveRecord) * 301, "slave table"},
        {sizeof(ec_slave_info) * 301, "slave records"},
        {sizeof(NameWords) * 300, "read the slave records"},
    };
    for (const auto& refusal : refusals) {
        g_refused_size = refusal.size;
        int count = -1;
        EXPECT_EQ(ec_scan(m, &count), EC_ENOMEM) << refusal.step;
        g_refused_size = 0;
        EXPECT_EQ(count, -1) << "no count on failure";
        ec_error_detail detail{};
        ASSERT_EQ(ec_last_error(m, &detail), EC_OK);
        EXPECT_EQ(detail.code, EC_ENOMEM);
        EXPECT_NE(strstr(detail.step, refusal.step), nullptr) << detail.step;
        int counted = -1;
        ASSERT_EQ(ec_slave_count(m, &counted), EC_OK);
        EXPECT_EQ(counted, 0) << refusal.step;
        uint16_t station = 0;
        EXPECT_EQ(ec_reg_read(m, 1, 0x0010, &station, sizeof station, 100000), EC_ENOSLAVE) << refusal.step;
    }
    int count = 0;
    ASSERT_EQ(ec_scan(m, &count), EC_OK);
    EXPECT_EQ(count, 300);
}
