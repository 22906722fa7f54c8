// libecalias on in-process segments ("sim:" adapters): every function against the
// simulator's state, refused arguments that send nothing, several masters, SDO aborts,
// the station-alias report and SII round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "api/ec/ecalias_internal.h"
#include "ecalias.h"
#include "sim/segment.h"
#include "sim/sii_image.h"
#include "sim/sim_capture.h"
#include "sim/sim_coe.h"
#include "slave/eeprom.h"
#include "support_virtual_clock.h"

namespace {

// A master opened on an in-process segment, closed at the end of the test.
struct Opened {
    ec_master* m = nullptr;
    explicit Opened(const char* adapter) {
        EXPECT_EQ(ec_open(adapter, &m), EC_OK) << adapter;
    }
    ~Opened() {
        if (m != nullptr) ec_close(m);
    }
    SimSegment* Segment() const { return SimCaptureSegment(m->context->port.capture); }
    SimSlave* Slave(int position) const { return Segment()->slaves[position - 1]; }
    uint64_t Frames() const { return Segment()->frames_processed; }
    int Scan() {
        int count = -1;
        EXPECT_EQ(ec_scan(m, &count), EC_OK);
        return count;
    }
    ec_error_detail Last() const {
        ec_error_detail d{};
        EXPECT_EQ(ec_last_error(m, &d), EC_OK);
        return d;
    }
};

class EcaliasApi : public ::testing::Test {
protected:
    VirtualClock clock{};
};

TEST_F(EcaliasApi, VersionAndTexts) {
    EXPECT_STREQ(ec_version(), EC_VERSION);
    EXPECT_STREQ(ec_version(), ECALIAS_VERSION);
    char composed[32];
    snprintf(composed, sizeof composed, "%d.%d.%d", ECALIAS_VERSION_MAJOR, ECALIAS_VERSION_MINOR, ECALIAS_VERSION_PATCH);
    EXPECT_STREQ(composed, ECALIAS_VERSION);
    // Every status has a sentence of its own.
    std::set<std::string> texts;
    for (int code = EC_EFILE; code <= EC_OK; code++) {
        const std::string text = ec_strerror(code);
        EXPECT_NE(text, ec_strerror(-1000)) << code;
        EXPECT_TRUE(texts.insert(text).second) << code << " " << text;
    }
    EXPECT_NE(strstr(ec_strerror(EC_EPERM), "setcap cap_net_raw,cap_net_admin+ep"), nullptr);
    EXPECT_STREQ(ec_sdo_abort_text(0x06020000), "object does not exist in the object dictionary");
    EXPECT_STREQ(ec_sdo_abort_text(0x05030000), "toggle bit not alternated");
    EXPECT_NE(strstr(ec_sdo_abort_text(0x08000022), "device state"), nullptr);
    EXPECT_STREQ(ec_sdo_abort_text(0x12345678), "unknown abort code");
}

TEST_F(EcaliasApi, OpenFailuresAreReportedWithTheAdaptersText) {
    ec_master* m = reinterpret_cast<ec_master*>(1);
    EXPECT_EQ(ec_open("sim:--slaves 3 --name 7:X", &m), EC_ENOADAPTER);
    EXPECT_EQ(m, nullptr);
    ec_error_detail d{};
    ASSERT_EQ(ec_last_error(nullptr, &d), EC_OK);
    EXPECT_EQ(d.code, EC_ENOADAPTER);
    EXPECT_NE(strstr(d.adapter_text, "out of range"), nullptr) << d.adapter_text;
    EXPECT_EQ(ec_open(nullptr, &m), EC_EINVAL);
    EXPECT_EQ(ec_open("", &m), EC_EINVAL);
    EXPECT_EQ(ec_open("sim:--slaves 1", nullptr), EC_EINVAL);
    EXPECT_EQ(ec_last_error(nullptr, nullptr), EC_EINVAL);
}

TEST_F(EcaliasApi, ScanDescribesEverySlaveAsTheSegmentHoldsIt) {
    Opened o("sim:--slaves 5 --name 2:Drive --identity 3:0x99:0x1234:7 --alias 4:0x0042 --sii-word 5:0x0E:0xBEEF");
    ASSERT_NE(o.m, nullptr);
    ASSERT_EQ(o.Scan(), 5);
    int count = 0;
    ASSERT_EQ(ec_slave_count(o.m, &count), EC_OK);
    EXPECT_EQ(count, 5);
    for (int n = 1; n <= 5; n++) {
        ec_slave_info info{};
        ASSERT_EQ(ec_slave_info_get(o.m, n, &info), EC_OK);
        const SimSlave* slave = o.Slave(n);
        const uint16_t* w = slave->eeprom.words;
        EXPECT_EQ(info.position, n);
        EXPECT_EQ(info.station_address, SimGet16(slave->memory + 0x0010));
        EXPECT_EQ(info.alias_register, SimGet16(slave->memory + 0x0012));
        EXPECT_EQ(info.sii_alias, w[4]);
        EXPECT_EQ(info.vendor_id, w[8] | (uint32_t{w[9]} << 16));
        EXPECT_EQ(info.product_code, w[10] | (uint32_t{w[11]} << 16));
        EXPECT_EQ(info.revision, w[12] | (uint32_t{w[13]} << 16));
        EXPECT_EQ(info.serial, w[14] | (uint32_t{w[15]} << 16));
        EXPECT_EQ(info.mailbox_write_size, w[0x19]);
        EXPECT_EQ(info.mailbox_read_offset, w[0x1A]);
        EXPECT_EQ(info.mailbox_protocols, w[0x1C]);
        EXPECT_EQ(info.sii_words, (uint32_t{w[0x3E]} + 1) * 64);
        EXPECT_EQ(info.al_state, SimGet16(slave->memory + 0x0130));
        EXPECT_EQ(info.al_state & 0x0F, EC_STATE_PREOP) << "a scan makes the mailboxes ready";
        EXPECT_EQ(info.complete, 1) << n;
        EXPECT_EQ(info.parts_read, unsigned{EC_PART_ALL});
    }
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(o.m, 2, &info), EC_OK);
    EXPECT_STREQ(info.name, "Drive");
    ASSERT_EQ(ec_slave_info_get(o.m, 1, &info), EC_OK);
    EXPECT_STREQ(info.name, "ecsim slave 1");
    ASSERT_EQ(ec_slave_info_get(o.m, 3, &info), EC_OK);
    EXPECT_EQ(info.vendor_id, 0x99u);
    EXPECT_EQ(info.product_code, 0x1234u);
    ASSERT_EQ(ec_slave_info_get(o.m, 4, &info), EC_OK);
    EXPECT_EQ(info.alias_register, 0x42);
    EXPECT_EQ(info.sii_alias, 0x42);
    ASSERT_EQ(ec_slave_info_get(o.m, 5, &info), EC_OK);
    EXPECT_EQ(info.serial & 0xFFFF, 0xBEEFu);
}

TEST_F(EcaliasApi, AnUnreadableRecordPartIsNotComplete) {
    Opened o("sim:--slaves 2 --eeprom-bad-words 2:0x0E:2");
    ASSERT_EQ(o.Scan(), 2);
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(o.m, 1, &info), EC_OK);
    EXPECT_EQ(info.complete, 1);
    ASSERT_EQ(ec_slave_info_get(o.m, 2, &info), EC_OK);
    EXPECT_EQ(info.complete, 0);
    EXPECT_EQ(info.parts_read & EC_PART_SERIAL, 0u);
    EXPECT_NE(info.parts_read & EC_PART_IDENTITY, 0u);
}

TEST_F(EcaliasApi, BadArgumentsAndClosedMastersSendNothing) {
    // A NULL master.
    uint16_t word = 0;
    uint8_t byte = 0;
    size_t size = 1;
    uint32_t value = 0;
    int count = 0;
    ec_slave_info info{};
    ec_error_detail detail{};
    EXPECT_EQ(ec_close(nullptr), EC_EINVAL);
    EXPECT_EQ(ec_scan(nullptr, &count), EC_EINVAL);
    EXPECT_EQ(ec_slave_count(nullptr, &count), EC_EINVAL);
    EXPECT_EQ(ec_slave_info_get(nullptr, 1, &info), EC_EINVAL);
    EXPECT_EQ(ec_sii_read(nullptr, 1, 0, 1, &word), EC_EINVAL);
    EXPECT_EQ(ec_sii_write(nullptr, 1, 0, 1, &word, 0, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_alias_set(nullptr, 1, 1, 0, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_sdo_upload(nullptr, 1, 0x1000, 0, 0, &byte, &size, 1000), EC_EINVAL);
    EXPECT_EQ(ec_sdo_download(nullptr, 1, 0x1000, 0, 0, &byte, 1, 1000), EC_EINVAL);
    EXPECT_EQ(ec_reg_read(nullptr, 1, 0, &byte, 1, 1000), EC_EINVAL);
    EXPECT_EQ(ec_reg_write(nullptr, 1, 0, &byte, 1, 1000), EC_EINVAL);
    EXPECT_EQ(ec_window_read(nullptr, 1, 0, &value), EC_EINVAL);
    EXPECT_EQ(ec_window_write(nullptr, 1, 0, 0), EC_EINVAL);
    EXPECT_EQ(ec_state_request(nullptr, 1, EC_STATE_INIT, 1000), EC_EINVAL);
    EXPECT_EQ(ec_state_read(nullptr, 1, &word, nullptr), EC_EINVAL);

    Opened o("sim:--slaves 2");
    ASSERT_EQ(o.Scan(), 2);
    const uint64_t frames = o.Frames();
    ec_master* m = o.m;
    // Unknown slaves.
    for (int position : {-1, 0, 3, 200}) {
        EXPECT_EQ(ec_slave_info_get(m, position, &info), EC_ENOSLAVE) << position;
        EXPECT_EQ(ec_sii_read(m, position, 0, 1, &word), EC_ENOSLAVE);
        EXPECT_EQ(ec_sii_write(m, position, 0, 1, &word, 0, nullptr), EC_ENOSLAVE);
        EXPECT_EQ(ec_alias_set(m, position, 1, 0, nullptr), EC_ENOSLAVE);
        EXPECT_EQ(ec_sdo_upload(m, position, 0x1000, 0, 0, &byte, &size, 1000), EC_ENOSLAVE);
        EXPECT_EQ(ec_sdo_download(m, position, 0x1000, 0, 0, &byte, 1, 1000), EC_ENOSLAVE);
        EXPECT_EQ(ec_reg_read(m, position, 0, &byte, 1, 1000), EC_ENOSLAVE);
        EXPECT_EQ(ec_reg_write(m, position, 0, &byte, 1, 1000), EC_ENOSLAVE);
        EXPECT_EQ(ec_window_read(m, position, 0, &value), EC_ENOSLAVE);
        EXPECT_EQ(ec_window_write(m, position, 0, 0), EC_ENOSLAVE);
        EXPECT_EQ(ec_state_read(m, position, &word, nullptr), EC_ENOSLAVE);
        if (position != 0) {
            EXPECT_EQ(ec_state_request(m, position, EC_STATE_INIT, 1000), EC_ENOSLAVE);
        }
    }
    EXPECT_EQ(o.Last().code, EC_ENOSLAVE);
    // Null pointers, sizes and ranges.
    EXPECT_EQ(ec_slave_count(m, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_slave_info_get(m, 1, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_sii_read(m, 1, 0, 1, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_sii_read(m, 1, 0, 0, &word), EC_EINVAL);
    EXPECT_EQ(ec_sii_read(m, 1, 2047, 2, &word), EC_EINVAL) << "past the 4 KiB word 0x3E announces";
    EXPECT_EQ(ec_sii_read(m, 1, 40000, 1, &word), EC_EINVAL);
    EXPECT_EQ(ec_sii_write(m, 1, 0, 1, nullptr, 0, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_sii_write(m, 1, 2048, 1, &word, 0, nullptr), EC_EINVAL);
    size = 0;
    EXPECT_EQ(ec_sdo_upload(m, 1, 0x1000, 0, 0, &byte, &size, 1000), EC_EINVAL);
    size = 1;
    EXPECT_EQ(ec_sdo_upload(m, 1, 0x1000, 0, 0, nullptr, &size, 1000), EC_EINVAL);
    EXPECT_EQ(ec_sdo_upload(m, 1, 0x1000, 0, 0, &byte, nullptr, 1000), EC_EINVAL);
    EXPECT_EQ(ec_sdo_upload(m, 1, 0x1000, 0, 0, &byte, &size, -1), EC_EINVAL);
    EXPECT_EQ(ec_sdo_download(m, 1, 0x1000, 0, 0, nullptr, 1, 1000), EC_EINVAL);
    EXPECT_EQ(ec_sdo_download(m, 1, 0x1000, 0, 0, &byte, 0, 1000), EC_EINVAL);
    EXPECT_EQ(ec_sdo_download(m, 1, 0x1000, 0, 0, &byte, 65536, 1000), EC_EINVAL);
    EXPECT_EQ(ec_reg_read(m, 1, 0, nullptr, 1, 1000), EC_EINVAL);
    EXPECT_EQ(ec_reg_read(m, 1, 0, &byte, 0, 1000), EC_EINVAL);
    EXPECT_EQ(ec_reg_read(m, 1, 0, &byte, 1487, 1000), EC_EINVAL);
    EXPECT_EQ(ec_reg_write(m, 1, 0, &byte, 1, -5), EC_EINVAL);
    EXPECT_EQ(ec_window_read(m, 1, 0, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_state_request(m, 1, 7, 1000), EC_EINVAL);
    EXPECT_EQ(ec_state_read(m, 1, nullptr, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_sii_check_image(m, 1, nullptr, 8), EC_EINVAL);
    EXPECT_EQ(ec_sii_check_image(m, 1, &word, 1), EC_EINVAL);
    EXPECT_EQ(o.Last().code, EC_EINVAL);
    EXPECT_EQ(ec_adapters(nullptr, 0, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_adapters(nullptr, 3, reinterpret_cast<size_t*>(&size)), EC_EINVAL);
    EXPECT_EQ(o.Frames(), frames) << "refused calls send nothing";

    // A closed master.
    ASSERT_EQ(ec_close(m), EC_OK);
    o.m = nullptr;
    EXPECT_EQ(ec_scan(m, &count), EC_ECLOSED);
    EXPECT_EQ(ec_slave_count(m, &count), EC_ECLOSED);
    EXPECT_EQ(ec_sii_read(m, 1, 0, 1, &word), EC_ECLOSED);
    EXPECT_EQ(ec_alias_set(m, 1, 1, 0, nullptr), EC_ECLOSED);
    EXPECT_EQ(ec_sdo_upload(m, 1, 0x1000, 0, 0, &byte, &size, 1000), EC_ECLOSED);
    EXPECT_EQ(ec_reg_read(m, 1, 0, &byte, 1, 1000), EC_ECLOSED);
    EXPECT_EQ(ec_state_request(m, 0, EC_STATE_INIT, 1000), EC_ECLOSED);
    EXPECT_EQ(ec_last_error(m, &detail), EC_ECLOSED);
}

TEST_F(EcaliasApi, TwoMastersInOneProcessEachSeeTheirOwnSegment) {
    Opened a("sim:--slaves 3 --name 1:Alpha");
    Opened b("sim:--slaves 1 --name 1:Beta");
    ASSERT_EQ(a.Scan(), 3);
    ASSERT_EQ(b.Scan(), 1);
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(a.m, 1, &info), EC_OK);
    EXPECT_STREQ(info.name, "Alpha");
    ASSERT_EQ(ec_slave_info_get(b.m, 1, &info), EC_OK);
    EXPECT_STREQ(info.name, "Beta");
    EXPECT_EQ(ec_slave_info_get(b.m, 2, &info), EC_ENOSLAVE);
    const uint16_t mark = 0x5A5A;
    ASSERT_EQ(ec_reg_write(a.m, 1, 0x1800, &mark, 2, 100000), EC_OK);
    EXPECT_EQ(SimGet16(a.Slave(1)->memory + 0x1800), mark);
    EXPECT_NE(SimGet16(b.Slave(1)->memory + 0x1800), mark);
    // Threads on the two masters at once.
    int wrong = 0;
    std::thread other([&] {
        for (int i = 0; i < 200; i++) {
            uint16_t seen = 0;
            if (ec_reg_read(b.m, 1, 0x1800, &seen, 2, 500000) != EC_OK || seen == mark) wrong++;
        }
    });
    for (int i = 0; i < 200; i++) {
        uint16_t seen = 0;
        if (ec_reg_read(a.m, 1, 0x1800, &seen, 2, 500000) != EC_OK || seen != mark) wrong++;
    }
    other.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(EcaliasApi, SdoTransfersAndAborts) {
    Opened o("sim:--slaves 2 --object 2:0x4000:0:u32:1234 --object 2:0x4001:0:ro-u16:7 --object 2:0x4002:0:octets:300");
    ASSERT_EQ(o.Scan(), 2);
    uint32_t value = 0;
    size_t size = sizeof value;
    ASSERT_EQ(ec_sdo_upload(o.m, 2, 0x4000, 0, 0, &value, &size, 700000), EC_OK);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(value, 1234u);
    const uint32_t written = 0xCAFE0001;
    ASSERT_EQ(ec_sdo_download(o.m, 2, 0x4000, 0, 0, &written, sizeof written, 700000), EC_OK);
    const SimObject* object = SimObjectFind(o.Slave(2), 0x4000, 0);
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(object->value.size(), 4u);
    EXPECT_EQ(SimGet32(object->value.data()), written);
    // A segmented upload.
    uint8_t octets[300] = {0};
    size = sizeof octets;
    ASSERT_EQ(ec_sdo_upload(o.m, 2, 0x4002, 0, 0, octets, &size, 700000), EC_OK);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(octets[299], static_cast<uint8_t>(299));
    // Too small a buffer.
    uint8_t small[10];
    size = sizeof small;
    EXPECT_EQ(ec_sdo_upload(o.m, 2, 0x4002, 0, 0, small, &size, 700000), EC_ETOOBIG);
    // Aborts carry their code and text.
    size = sizeof value;
    EXPECT_EQ(ec_sdo_upload(o.m, 2, 0x5555, 0, 0, &value, &size, 700000), EC_ESDOABORT);
    ec_error_detail d = o.Last();
    EXPECT_EQ(d.code, EC_ESDOABORT);
    EXPECT_EQ(d.position, 2);
    EXPECT_EQ(d.sdo_abort_code, 0x06020000u);
    EXPECT_STREQ(d.sdo_abort_text, "object does not exist in the object dictionary");
    EXPECT_STRNE(d.step, "");
    const uint16_t seven = 8;
    EXPECT_EQ(ec_sdo_download(o.m, 2, 0x4001, 0, 0, &seven, 2, 700000), EC_ESDOABORT);
    d = o.Last();
    EXPECT_EQ(d.sdo_abort_code, 0x06010002u);
    EXPECT_STREQ(d.sdo_abort_text, "attempt to write a read-only object");
    // The abort of the other slave is not this slave's.
    size = sizeof value;
    ASSERT_EQ(ec_sdo_upload(o.m, 1, 0x1018, 1, 0, &value, &size, 700000), EC_OK);
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(o.m, 1, &info), EC_OK);
    EXPECT_EQ(value, info.vendor_id);
}

TEST_F(EcaliasApi, AliasSetReportsBeforeAfterAndThatTheRegisterWaitsForPower) {
    Opened o("sim:--slaves 5");
    ASSERT_EQ(o.Scan(), 5);
    SimSlave* slave = o.Slave(3);
    uint16_t before[8];
    memcpy(before, slave->eeprom.words, sizeof before);
    const uint16_t register_before = SimGet16(slave->memory + 0x0012);
    ec_alias_report r{};
    ASSERT_EQ(ec_alias_set(o.m, 3, 0x1234, 0, &r), EC_OK);
    EXPECT_EQ(memcmp(r.before, before, sizeof before), 0);
    EXPECT_EQ(r.stored_checksum_ok, 1);
    EXPECT_EQ(r.alias_written, 0x1234);
    EXPECT_EQ(slave->eeprom.words[4], 0x1234);
    EXPECT_TRUE(SiiHeaderValid(slave->eeprom.words));
    EXPECT_EQ(r.checksum_written, slave->eeprom.words[7]);
    EXPECT_EQ(memcmp(r.after, slave->eeprom.words, sizeof r.after), 0);
    EXPECT_EQ(r.after_read, 0xFFu);
    EXPECT_EQ(r.alias_acknowledged, 1);
    EXPECT_EQ(r.checksum_acknowledged, 1);
    EXPECT_EQ(r.verified, 1);
    EXPECT_GE(r.attempts, 2);
    EXPECT_EQ(r.register_read, 1);
    EXPECT_EQ(r.alias_register, register_before);
    EXPECT_EQ(r.register_shows_new, 0) << "the slave loads the alias at its next power-on";
    for (int word = 0; word < 8; word++)
        if (word != 4 && word != 7) {
            EXPECT_EQ(slave->eeprom.words[word], before[word]) << word;
        }
    // Other slaves untouched.
    EXPECT_EQ(o.Slave(2)->eeprom.counters.writes, 0u);
    EXPECT_EQ(o.Slave(4)->eeprom.counters.writes, 0u);
    // The scan record knows the SII alias at once.
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(o.m, 3, &info), EC_OK);
    EXPECT_EQ(info.sii_alias, 0x1234);
    EXPECT_EQ(info.alias_register, register_before);
    // After a power cycle (and a new scan) the register shows it.
    SimEepromRepowerOn(slave);
    ASSERT_EQ(o.Scan(), 5);
    ASSERT_EQ(ec_slave_info_get(o.m, 3, &info), EC_OK);
    EXPECT_EQ(info.alias_register, 0x1234);
    ASSERT_EQ(ec_alias_set(o.m, 3, 0x1234, 0, &r), EC_OK);
    EXPECT_EQ(r.register_shows_new, 1);
}

TEST_F(EcaliasApi, AliasSetRefusesAnUnreadableHeaderEvenWhenForced) {
    Opened o("sim:--slaves 3 --eeprom-bad-words 3:2:1");
    ASSERT_EQ(o.Scan(), 3);
    for (unsigned flags : {0u, unsigned{EC_FORCE}}) {
        ec_alias_report r{};
        EXPECT_EQ(ec_alias_set(o.m, 3, 0x0777, flags, &r), EC_EEEPROM_READ);
        EXPECT_EQ(o.Slave(3)->eeprom.counters.writes, 0u);
        EXPECT_EQ(r.attempts, 0);
        EXPECT_EQ(r.alias_acknowledged, 0);
        EXPECT_EQ(o.Last().code, EC_EEEPROM_READ);
        EXPECT_EQ(o.Last().position, 3);
    }
}

TEST_F(EcaliasApi, AliasSetRefusesAWrongStoredChecksumUnlessForced) {
    Opened o("sim:--slaves 3 --sii-word 2:2:0x4444");
    ASSERT_EQ(o.Scan(), 3);
    SimSlave* slave = o.Slave(2);
    ASSERT_FALSE(SiiHeaderValid(slave->eeprom.words));
    ec_alias_report r{};
    EXPECT_EQ(ec_alias_set(o.m, 2, 0x0099, 0, &r), EC_ECHECKSUM);
    EXPECT_EQ(slave->eeprom.counters.writes, 0u);
    EXPECT_EQ(r.stored_checksum_ok, 0);
    EXPECT_EQ(r.before[2], 0x4444);
    ASSERT_EQ(ec_alias_set(o.m, 2, 0x0099, EC_FORCE, &r), EC_OK);
    EXPECT_EQ(slave->eeprom.words[4], 0x0099);
    EXPECT_EQ(slave->eeprom.words[2], 0x4444);
    EXPECT_TRUE(SiiHeaderValid(slave->eeprom.words)) << "the forced write repairs the checksum";
    EXPECT_EQ(r.verified, 1);
}

TEST_F(EcaliasApi, AliasWriteThatIsRefusedLeavesWordSevenAlone) {
    Opened o("sim:--slaves 2 --eeprom-nack-writes 2:all");
    ASSERT_EQ(o.Scan(), 2);
    SimSlave* slave = o.Slave(2);
    const uint16_t checksum = slave->eeprom.words[7];
    ec_alias_report r{};
    EXPECT_EQ(ec_alias_set(o.m, 2, 0x0055, 0, &r), EC_EEEPROM_NACK);
    EXPECT_EQ(r.alias_acknowledged, 0);
    EXPECT_EQ(r.checksum_acknowledged, 0);
    EXPECT_EQ(r.verified, 0);
    EXPECT_EQ(slave->eeprom.words[7], checksum);
    EXPECT_EQ(slave->eeprom.counters.words_written, 0u);
}

TEST_F(EcaliasApi, SiiRoundTripAndHeaderChecks) {
    Opened o("sim:--slaves 2 --eeprom-size 2:8192");
    ASSERT_EQ(o.Scan(), 2);
    uint16_t words[17];
    for (int n = 0; n < 17; n++) words[n] = static_cast<uint16_t>(0xA000 + n * 3);
    ec_sii_report report{};
    ASSERT_EQ(ec_sii_write(o.m, 2, 0x0F00, 17, words, 0, &report), EC_OK);
    EXPECT_EQ(report.words_written, 17u);
    EXPECT_EQ(report.verified, 1);
    EXPECT_EQ(report.first_mismatch, -1);
    EXPECT_GE(report.attempts, 17u);
    for (int n = 0; n < 17; n++) EXPECT_EQ(o.Slave(2)->eeprom.words[0x0F00 + n], words[n]);
    uint16_t back[17] = {0};
    ASSERT_EQ(ec_sii_read(o.m, 2, 0x0F00, 17, back), EC_OK);
    EXPECT_EQ(memcmp(back, words, sizeof words), 0);
    // Slave 2 has 8 KiB: word 0x0F00 is beyond slave 1's 4 KiB.
    EXPECT_EQ(ec_sii_read(o.m, 1, 0x0F00, 1, back), EC_EINVAL);
    // A header write that would leave a wrong checksum is refused unless forced.
    uint16_t header[8];
    ASSERT_EQ(ec_sii_read(o.m, 1, 0, 8, header), EC_OK);
    EXPECT_EQ(memcmp(header, o.Slave(1)->eeprom.words, sizeof header), 0);
    EXPECT_EQ(ec_sii_check_image(nullptr, 0, header, 8), EC_OK);
    EXPECT_EQ(ec_sii_check_image(o.m, 1, o.Slave(1)->eeprom.words, 2048), EC_OK);
    EXPECT_EQ(ec_sii_check_image(o.m, 2, o.Slave(1)->eeprom.words, 2048), EC_EIDENTITY);
    const uint16_t changed = static_cast<uint16_t>(header[3] ^ 1);
    EXPECT_EQ(ec_sii_write(o.m, 1, 3, 1, &changed, 0, nullptr), EC_ECHECKSUM);
    EXPECT_EQ(o.Slave(1)->eeprom.counters.writes, 0u);
    header[3] = changed;
    EXPECT_EQ(ec_sii_check_image(nullptr, 0, header, 8), EC_ECHECKSUM);
    uint8_t crc = 0;
    ASSERT_EQ(ec_sii_checksum(header, &crc), EC_OK);
    EXPECT_EQ(crc, SiiHeaderCrc(header));
    header[7] = static_cast<uint16_t>((header[7] & 0xFF00) | crc);
    ASSERT_EQ(ec_sii_write(o.m, 1, 0, 8, header, 0, &report), EC_OK);
    EXPECT_TRUE(SiiHeaderValid(o.Slave(1)->eeprom.words));
    EXPECT_EQ(o.Slave(1)->eeprom.words[3], changed);
}

TEST_F(EcaliasApi, SiiWritesInvalidateTheMastersSiiCache) {
    Opened o("sim:--slaves 2");
    ASSERT_EQ(o.Scan(), 2);
    MasterContext* context = o.m->context.get();
    // The byte cache (the category walk and names of the core read through it) holds
    // word 0x50 of slave 2.
    const uint16_t stored = o.Slave(2)->eeprom.words[0x50];
    ASSERT_EQ(SiiGetByte(context, 2, 0xA0), static_cast<uint8_t>(stored));
    const uint16_t changed = static_cast<uint16_t>(stored ^ 0x00FF);
    ASSERT_EQ(ec_sii_write(o.m, 2, 0x50, 1, &changed, 0, nullptr), EC_OK);
    EXPECT_EQ(SiiGetByte(context, 2, 0xA0), static_cast<uint8_t>(changed)) << "a stale cached byte";
}

TEST_F(EcaliasApi, SiiWriteThatDoesNotReadBackIsAVerifyFailure) {
    Opened o("sim:--slaves 1");
    ASSERT_EQ(o.Scan(), 1);
    // The slave's PDI takes the EEPROM after the first word: the rest is not written.
    const uint16_t words[2] = {0x1111, 0x2222};
    o.Slave(1)->eeprom.faults.bad_words_first = 0x0201;
    o.Slave(1)->eeprom.faults.bad_words_count = 1;
    ec_sii_report report{};
    EXPECT_EQ(ec_sii_write(o.m, 1, 0x0200, 2, words, 0, &report), EC_EEEPROM_NACK);
    EXPECT_EQ(report.words_written, 1u);
    EXPECT_EQ(o.Slave(1)->eeprom.words[0x0200], 0x1111);
    EXPECT_EQ(o.Last().code, EC_EEEPROM_NACK);
}

TEST_F(EcaliasApi, RegistersWindowAndStates) {
    Opened o("sim:--slaves 3 --register 2:0x10:0xABCD");
    ASSERT_EQ(o.Scan(), 3);
    const uint8_t pattern[4] = {1, 2, 3, 4};
    ASSERT_EQ(ec_reg_write(o.m, 3, 0x1900, pattern, 4, 100000), EC_OK);
    EXPECT_EQ(memcmp(o.Slave(3)->memory + 0x1900, pattern, 4), 0);
    uint8_t seen[4] = {0};
    ASSERT_EQ(ec_reg_read(o.m, 3, 0x1900, seen, 4, 100000), EC_OK);
    EXPECT_EQ(memcmp(seen, pattern, 4), 0);
    uint32_t value = 0;
    ASSERT_EQ(ec_window_read(o.m, 2, 0x10, &value), EC_OK);
    EXPECT_EQ(value, 0xABCDu);
    ASSERT_EQ(ec_window_read(o.m, 3, 0x22, &value), EC_OK);
    EXPECT_EQ(value, SimRegisterGet(o.Slave(3), 0x22));
    ASSERT_EQ(ec_window_write(o.m, 1, 0x33, 0x600DF00D), EC_OK);
    EXPECT_EQ(SimRegisterGet(o.Slave(1), 0x33), 0x600DF00Du);
    EXPECT_NE(SimRegisterGet(o.Slave(2), 0x33), 0x600DF00Du);

    uint16_t state = 0, code = 0xFFFF;
    ASSERT_EQ(ec_state_read(o.m, 2, &state, &code), EC_OK);
    EXPECT_EQ(state, SimGet16(o.Slave(2)->memory + 0x0130));
    EXPECT_EQ(code, SimGet16(o.Slave(2)->memory + 0x0134));
    ASSERT_EQ(ec_state_request(o.m, 2, EC_STATE_INIT, 2000000), EC_OK);
    EXPECT_EQ(o.Slave(2)->mailbox.al_state, EC_STATE_INIT);
    EXPECT_EQ(o.Slave(1)->mailbox.al_state, EC_STATE_PREOP);
    ASSERT_EQ(ec_state_read(o.m, 2, &state, nullptr), EC_OK);
    EXPECT_EQ(state & 0x0F, EC_STATE_INIT);
    ASSERT_EQ(ec_state_request(o.m, 0, EC_STATE_INIT, 2000000), EC_OK);
    for (int n = 1; n <= 3; n++) EXPECT_EQ(o.Slave(n)->mailbox.al_state, EC_STATE_INIT) << n;
    ASSERT_EQ(ec_state_request(o.m, 0, EC_STATE_PREOP, 2000000), EC_OK);
    for (int n = 1; n <= 3; n++) EXPECT_EQ(o.Slave(n)->mailbox.al_state, EC_STATE_PREOP) << n;
}

TEST_F(EcaliasApi, CallsOnDifferentSlavesRunSideBySide) {
    Opened o("sim:--slaves 4 --object all:0x4000:0:u32:77");
    ASSERT_EQ(o.Scan(), 4);
    int failures[4] = {0, 0, 0, 0};
    std::thread threads[4];
    for (int t = 0; t < 4; t++)
        threads[t] = std::thread([&, t] {
            for (int i = 0; i < 30; i++) {
                const uint32_t mine = static_cast<uint32_t>(t * 1000 + i);
                uint32_t back = 0;
                size_t size = sizeof back;
                if (ec_sdo_download(o.m, t + 1, 0x4000, 0, 0, &mine, 4, 700000) != EC_OK ||
                    ec_sdo_upload(o.m, t + 1, 0x4000, 0, 0, &back, &size, 700000) != EC_OK || back != mine)
                    failures[t]++;
            }
        });
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 4; t++) EXPECT_EQ(failures[t], 0) << t;
}

TEST_F(EcaliasApi, CloseWaitsForCallsInFlightAndLaterCallsAreClosed) {
    for (int round = 0; round < 20; round++) {
        ec_master* m = nullptr;
        ASSERT_EQ(ec_open("sim:--slaves 2", &m), EC_OK);
        int count = 0;
        ASSERT_EQ(ec_scan(m, &count), EC_OK);
        int unexpected = 0, calls = 0;
        std::thread caller([&] {
            for (;;) {
                uint16_t value = 0;
                const int status = ec_reg_read(m, 2, 0x0010, &value, 2, 100000);
                calls++;
                if (status == EC_ECLOSED) return;
                if (status != EC_OK || value != 0x1002) unexpected++;
            }
        });
        ASSERT_EQ(ec_close(m), EC_OK);
        caller.join();
        EXPECT_EQ(unexpected, 0) << "a call that entered before the close ran on an open adapter";
        EXPECT_GE(calls, 1);
        EXPECT_EQ(ec_close(m), EC_ECLOSED);
    }
}

TEST_F(EcaliasApi, ScanOfAnEmptySegmentAndARescan) {
    Opened o("sim:--slaves 2");
    ASSERT_EQ(o.Scan(), 2);
    ASSERT_EQ(o.Scan(), 2) << "a second scan starts afresh";
    ec_slave_info info{};
    ASSERT_EQ(ec_slave_info_get(o.m, 2, &info), EC_OK);
    EXPECT_EQ(info.complete, 1);
}

}  // namespace
