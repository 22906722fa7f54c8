// Whole SII images and backup files: how far an image reaches, what a backup holds, its
// name, that it never replaces a file, and that a failed backup leaves nothing behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "api/ec/ecalias_internal.h"
#include "ecalias.h"
#include "sim/segment.h"
#include "sim/sim_capture.h"
#include "support_temp_files.h"
#include "support_virtual_clock.h"

namespace {

struct Opened {
    ec_master* m = nullptr;
    explicit Opened(const char* adapter) {
        EXPECT_EQ(ec_open(adapter, &m), EC_OK) << adapter;
        int count = 0;
        EXPECT_EQ(ec_scan(m, &count), EC_OK);
    }
    ~Opened() {
        if (m != nullptr) ec_close(m);
    }
    SimSlave* Slave(int position) const {
        return SimCaptureSegment(m->context->port.capture)->slaves[position - 1];
    }
};

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

std::string Stamp(time_t when) {
    struct tm utc {};
    gmtime_r(&when, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// Where the end-of-categories marker of the slave's image is.
uint32_t EndMarker(const SimSlave* slave) {
    uint32_t word = 0x40;
    while (slave->eeprom.words[word] != 0xFFFF) word += 2 + slave->eeprom.words[word + 1];
    return word;
}

class SiiImage : public ::testing::Test {
protected:
    VirtualClock clock{};
};

TEST_F(SiiImage, ReadsUpToAndIncludingTheEndMarker) {
    Opened o("sim:--slaves 2 --name 2:Drive");
    const uint32_t end = EndMarker(o.Slave(2));
    std::vector<uint16_t> words(EC_SII_MAX_WORDS, 0xAAAA);
    size_t count = 0;
    ASSERT_EQ(ec_sii_read_image(o.m, 2, words.data(), words.size(), &count), EC_OK);
    EXPECT_EQ(count, end + 1);
    for (size_t n = 0; n < count; n++) ASSERT_EQ(words[n], o.Slave(2)->eeprom.words[n]) << "word " << n;
    EXPECT_EQ(words[count], 0xAAAA) << "nothing is written past the image";
}

TEST_F(SiiImage, WithoutAnEndMarkerReadsTheWholeAnnouncedSize) {
    Opened o("sim:--slaves 1");
    // A category that runs past the end of the EEPROM: no marker is ever found.
    o.Slave(1)->eeprom.words[0x40] = 0x000A;
    o.Slave(1)->eeprom.words[0x41] = 0x7FFF;
    const uint32_t announced = (static_cast<uint32_t>(o.Slave(1)->eeprom.words[0x3E]) + 1) * 64;
    std::vector<uint16_t> words(EC_SII_MAX_WORDS);
    size_t count = 0;
    ASSERT_EQ(ec_sii_read_image(o.m, 1, words.data(), words.size(), &count), EC_OK);
    EXPECT_EQ(count, announced > uint32_t{EC_SII_MAX_WORDS} ? uint32_t{EC_SII_MAX_WORDS} : announced);
}

TEST_F(SiiImage, TooSmallABufferSaysHowManyWordsAreNeeded) {
    Opened o("sim:--slaves 1");
    const uint32_t end = EndMarker(o.Slave(1));
    std::vector<uint16_t> words(8, 0x5555);
    size_t count = 0;
    EXPECT_EQ(ec_sii_read_image(o.m, 1, words.data(), words.size(), &count), EC_ETOOBIG);
    EXPECT_EQ(count, end + 1);
    for (uint16_t w : words) EXPECT_EQ(w, 0x5555);
    EXPECT_EQ(ec_sii_read_image(o.m, 1, nullptr, 0, &count), EC_ETOOBIG);
}

TEST_F(SiiImage, RefusesBadArguments) {
    Opened o("sim:--slaves 1");
    uint16_t words[8];
    size_t count = 0;
    EXPECT_EQ(ec_sii_read_image(o.m, 2, words, 8, &count), EC_ENOSLAVE);
    EXPECT_EQ(ec_sii_read_image(o.m, 1, words, 8, nullptr), EC_EINVAL);
    EXPECT_EQ(ec_sii_read_image(o.m, 1, nullptr, 8, &count), EC_EINVAL);
    EXPECT_EQ(ec_sii_read_image(nullptr, 1, words, 8, &count), EC_EINVAL);
    char path[64];
    EXPECT_EQ(ec_sii_backup(o.m, 0, "/tmp", path, sizeof path), EC_ENOSLAVE);
    EXPECT_EQ(ec_sii_backup(o.m, 1, "/tmp", nullptr, 10), EC_EINVAL);
    EXPECT_EQ(ec_sii_backup(nullptr, 1, "/tmp", path, sizeof path), EC_EINVAL);
}

TEST_F(SiiImage, BackupHoldsTheImageAsLittleEndianWordsUnderItsIdentity) {
    Opened o("sim:--slaves 3 --identity 3:0x2:0x12345678:1 --sii-word 3:0x0e:7");
    TempDir dir;
    const time_t before = time(nullptr);
    char path[EC_PATH_BYTES];
    ASSERT_EQ(ec_sii_backup(o.m, 3, dir.path.c_str(), path, sizeof path), EC_OK);
    const time_t after = time(nullptr);
    const std::string prefix = dir.path + "/slave3-vendor00000002-product12345678-serial00000007-";
    const std::string name = path;
    ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0) << name;
    std::set<std::string> stamps;
    for (time_t t = before; t <= after; t++) stamps.insert(prefix + Stamp(t) + ".bin");
    EXPECT_TRUE(stamps.count(name)) << name;
    const std::vector<uint8_t> bytes = FileBytes(name);
    const uint32_t end = EndMarker(o.Slave(3));
    ASSERT_EQ(bytes.size(), (end + 1) * 2);
    for (uint32_t n = 0; n <= end; n++) {
        ASSERT_EQ(bytes[2 * n], o.Slave(3)->eeprom.words[n] & 0xFF) << "word " << n;
        ASSERT_EQ(bytes[2 * n + 1], o.Slave(3)->eeprom.words[n] >> 8) << "word " << n;
    }
}

TEST_F(SiiImage, BackupNeverReplacesAFileButTakesTheNextFreeName) {
    Opened o("sim:--slaves 1");
    TempDir dir;
    // Every name the backup may pick in the next seconds is taken already.
    const time_t now = time(nullptr);
    std::vector<std::string> taken;
    for (time_t t = now; t <= now + 3; t++) {
        const std::string base = dir.path + "/slave1-vendor00000ec5-product00010001-serial00000001-" + Stamp(t);
        for (const char* suffix : {".bin", "-2.bin"}) {
            taken.push_back(base + suffix);
            std::ofstream(taken.back()) << "keep me";
        }
    }
    char path[EC_PATH_BYTES];
    ASSERT_EQ(ec_sii_backup(o.m, 1, dir.path.c_str(), path, sizeof path), EC_OK);
    const std::string name = path;
    EXPECT_EQ(name.substr(name.size() - 6), "-3.bin") << name;
    for (const std::string& file : taken) {
        const std::vector<uint8_t> bytes = FileBytes(file);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "keep me") << file;
    }
}

TEST_F(SiiImage, FailedBackupsReportTheFileAndLeaveNothingBehind) {
    Opened o("sim:--slaves 1");
    TempDir dir;
    char path[EC_PATH_BYTES] = "untouched";
    const std::string missing = dir.path + "/no-such-folder";
    EXPECT_EQ(ec_sii_backup(o.m, 1, missing.c_str(), path, sizeof path), EC_EFILE);
    ec_error_detail detail{};
    ASSERT_EQ(ec_last_error(o.m, &detail), EC_OK);
    EXPECT_EQ(detail.code, EC_EFILE);
    EXPECT_EQ(detail.position, 1);
    EXPECT_NE(strstr(detail.adapter_text, missing.c_str()), nullptr) << detail.adapter_text;
    EXPECT_NE(strstr(detail.adapter_text, strerror(ENOENT)), nullptr) << detail.adapter_text;
    EXPECT_STREQ(path, "untouched");

    // A path buffer too small for the name: refused, and no file stays.
    char small[16];
    EXPECT_EQ(ec_sii_backup(o.m, 1, dir.path.c_str(), small, sizeof small), EC_ETOOBIG);
    EXPECT_TRUE(dir.Files().empty());

    // An EEPROM that cannot be read: no file at all.
    o.Slave(1)->eeprom.faults.nack_all = true;
    EXPECT_NE(ec_sii_backup(o.m, 1, dir.path.c_str(), path, sizeof path), EC_OK);
    EXPECT_TRUE(dir.Files().empty());
}

}  // namespace
