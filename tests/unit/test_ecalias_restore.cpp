// ec_sii_restore on in-process segments: a round trip writes only the words that differ
// and backs up first; a foreign or broken image and a dry run write nothing; a restore
// cut short by a vanished or refusing slave names the first word not done, keeps its
// backup, and a second restore of the same image finishes the job.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/ec/ecalias_internal.h"
#include "ecalias.h"
#include "sim/segment.h"
#include "sim/sii_image.h"
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
    SimEeprom& Eeprom(int position) const {
        return SimCaptureSegment(m->context->port.capture)->slaves[position - 1]->eeprom;
    }
    std::vector<uint16_t> Stored(int position, size_t count) const {
        return std::vector<uint16_t>(Eeprom(position).words, Eeprom(position).words + count);
    }
    std::vector<uint16_t> Image(int position) const {
        std::vector<uint16_t> words(EC_SII_MAX_WORDS);
        size_t count = 0;
        EXPECT_EQ(ec_sii_read_image(m, position, words.data(), words.size(), &count), EC_OK);
        words.resize(count);
        return words;
    }
};

class SiiRestore : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ecalias-restore-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
    int FilesInDir() const {
        FILE* p = popen(("ls -A '" + dir + "' | wc -l").c_str(), "r");
        int n = -1;
        if (p != nullptr) {
            if (fscanf(p, "%d", &n) != 1) n = -1;
            pclose(p);
        }
        return n;
    }
    // The image with a new alias (checksum kept right) and two changed category words.
    static std::vector<uint16_t> Edited(std::vector<uint16_t> words) {
        words[4] = 0x0777;
        words[7] = SiiHeaderCrc(words.data());
        words[0x44] ^= 0x2020;  // inside the name string
        words[0x45] ^= 0x0101;
        return words;
    }
    VirtualClock clock{};
    std::string dir;
};

TEST_F(SiiRestore, ARoundTripWritesOnlyTheDifferingWordsAfterABackup) {
    Opened o("sim:--slaves 2");
    const std::vector<uint16_t> original = o.Image(1);
    const std::vector<uint16_t> wanted = Edited(original);
    const uint32_t writes_before = o.Eeprom(1).counters.words_written;

    ec_sii_restore_report r{};
    ASSERT_EQ(ec_sii_restore(o.m, 1, wanted.data(), wanted.size(), 0, dir.c_str(), &r), EC_OK);
    EXPECT_EQ(r.words_compared, wanted.size());
    EXPECT_EQ(r.words_differing, 4u);  // words 4, 7, 0x44, 0x45
    EXPECT_EQ(r.words_written, 4u);
    EXPECT_EQ(r.words_verified, 4u);
    EXPECT_EQ(r.first_failed_word, -1);
    EXPECT_EQ(o.Eeprom(1).counters.words_written - writes_before, 4u);
    EXPECT_EQ(o.Stored(1, wanted.size()), wanted);
    // The backup holds the image as it was.
    ASSERT_NE(r.backup_path[0], '\0');
    EXPECT_EQ(std::string(r.backup_path).rfind(dir + "/slave1-vendor00000ec5-", 0), 0u) << r.backup_path;
    EXPECT_EQ(FileWords(r.backup_path), original);
    const std::string first_backup = r.backup_path;

    // The same image again: nothing differs, nothing is written, no backup.
    ASSERT_EQ(ec_sii_restore(o.m, 1, wanted.data(), wanted.size(), 0, dir.c_str(), &r), EC_OK);
    EXPECT_EQ(r.words_differing, 0u);
    EXPECT_EQ(r.words_written, 0u);
    EXPECT_EQ(r.backup_path[0], '\0');
    EXPECT_EQ(FilesInDir(), 1);

    // And the backup brings the original back.
    const std::vector<uint16_t> backup = FileWords(first_backup.c_str());
    ASSERT_EQ(ec_sii_restore(o.m, 1, backup.data(), backup.size(), 0, dir.c_str(), &r), EC_OK);
    EXPECT_EQ(r.words_written, 4u);
    EXPECT_EQ(o.Stored(1, original.size()), original);
    EXPECT_NE(first_backup, r.backup_path);  // a second backup, the first one kept
    EXPECT_EQ(FilesInDir(), 2);
    // Slave 2 was never touched.
    std::vector<uint16_t> slave2(kSiiImageWords);
    SiiDefaultImage(slave2.data(), 2);
    EXPECT_EQ(o.Stored(2, kSiiImageWords), slave2);
}

TEST_F(SiiRestore, AForeignOrBrokenImageAndADryRunWriteNothing) {
    Opened o("sim:--slaves 2");
    const std::vector<uint16_t> slave1 = o.Image(1);
    const std::vector<uint16_t> foreign = Edited(o.Image(2));
    std::vector<uint16_t> broken = Edited(slave1);
    broken[4] ^= 1;  // the checksum no longer matches
    const uint32_t writes = o.Eeprom(1).counters.writes;
    ec_sii_restore_report r{};

    EXPECT_EQ(ec_sii_restore(o.m, 1, foreign.data(), foreign.size(), 0, dir.c_str(), &r), EC_EIDENTITY);
    EXPECT_EQ(ec_sii_restore(o.m, 1, broken.data(), broken.size(), 0, dir.c_str(), &r), EC_ECHECKSUM);
    EXPECT_EQ(r.words_written, 0u);
    EXPECT_EQ(r.first_failed_word, -1);
    // An image larger than the EEPROM.
    std::vector<uint16_t> large(kSiiImageWords + 2, 0xFFFF);
    std::copy(slave1.begin(), slave1.end(), large.begin());
    EXPECT_EQ(ec_sii_restore(o.m, 1, large.data(), large.size(), 0, dir.c_str(), &r), EC_ETOOBIG);
    // Arguments.
    EXPECT_EQ(ec_sii_restore(o.m, 1, slave1.data(), 7, 0, dir.c_str(), &r), EC_EINVAL);
    EXPECT_EQ(ec_sii_restore(o.m, 1, nullptr, 8, 0, dir.c_str(), &r), EC_EINVAL);
    EXPECT_EQ(ec_sii_restore(o.m, 3, slave1.data(), slave1.size(), 0, dir.c_str(), &r), EC_ENOSLAVE);
    EXPECT_EQ(ec_sii_restore(nullptr, 1, slave1.data(), slave1.size(), 0, dir.c_str(), &r), EC_EINVAL);

    // A dry run compares only.
    const std::vector<uint16_t> wanted = Edited(slave1);
    ASSERT_EQ(ec_sii_restore(o.m, 1, wanted.data(), wanted.size(), EC_DRY_RUN, dir.c_str(), &r), EC_OK);
    EXPECT_EQ(r.words_differing, 4u);
    EXPECT_EQ(r.words_written, 0u);
    EXPECT_EQ(r.backup_path[0], '\0');

    EXPECT_EQ(o.Eeprom(1).counters.writes, writes);
    EXPECT_EQ(o.Stored(1, slave1.size()), slave1);
    EXPECT_EQ(FilesInDir(), 0);

    // Forced, the broken header goes in as it is.
    ASSERT_EQ(ec_sii_restore(o.m, 1, broken.data(), broken.size(), EC_FORCE, dir.c_str(), &r), EC_OK);
    EXPECT_EQ(o.Stored(1, broken.size()), broken);
    EXPECT_EQ(FilesInDir(), 1);
}

TEST_F(SiiRestore, NoBackupNoWrite) {
    Opened o("sim:--slaves 1");
    const std::vector<uint16_t> slave1 = o.Image(1);
    const std::vector<uint16_t> wanted = Edited(slave1);
    ec_sii_restore_report r{};
    EXPECT_EQ(ec_sii_restore(o.m, 1, wanted.data(), wanted.size(), 0, (dir + "/missing").c_str(), &r), EC_EFILE);
    EXPECT_EQ(r.words_written, 0u);
    EXPECT_EQ(r.backup_path[0], '\0');
    EXPECT_EQ(o.Stored(1, slave1.size()), slave1);
}

TEST_F(SiiRestore, AVanishedSlaveNamesTheFirstFailedWordAndASecondRestoreFinishes) {
    // The second write command (word 7) finds the slave gone; it is back 3 s later.
    Opened o("sim:--slaves 3 --vanish-at-write 2:2 --come-back-after 2:3000");
    const std::vector<uint16_t> slave2 = o.Image(2);
    const std::vector<uint16_t> wanted = Edited(slave2);
    ec_sii_restore_report r{};
    const int status = ec_sii_restore(o.m, 2, wanted.data(), wanted.size(), 0, dir.c_str(), &r);
    EXPECT_TRUE(status == EC_ENOFRAME || status == EC_ETIMEOUT) << ec_strerror(status);
    EXPECT_EQ(r.words_differing, 4u);
    EXPECT_EQ(r.words_written, 1u);
    EXPECT_EQ(r.words_verified, 1u);
    EXPECT_EQ(r.first_failed_word, 7);
    ASSERT_NE(r.backup_path[0], '\0');
    EXPECT_EQ(FileWords(r.backup_path), slave2);  // the backup stays
    // The EEPROM holds the new alias with the old checksum: a header to repair.
    EXPECT_EQ(o.Eeprom(2).words[4], wanted[4]);
    EXPECT_NE(o.Eeprom(2).words[7], wanted[7]);

    WaitMicroseconds(3500000);
    ASSERT_EQ(ec_sii_restore(o.m, 2, wanted.data(), wanted.size(), 0, dir.c_str(), &r), EC_OK);
    EXPECT_EQ(r.words_differing, 3u);
    EXPECT_EQ(r.words_written, 3u);
    EXPECT_EQ(r.words_verified, 3u);
    EXPECT_EQ(o.Stored(2, wanted.size()), wanted);
    EXPECT_EQ(FilesInDir(), 2);
}

TEST_F(SiiRestore, ARefusedWriteIsNamedAndNothingBehindItIsWritten) {
    Opened o("sim:--slaves 1 --eeprom-nack-writes 1:all");
    const std::vector<uint16_t> slave1 = o.Image(1);
    const std::vector<uint16_t> wanted = Edited(slave1);
    ec_sii_restore_report r{};
    EXPECT_EQ(ec_sii_restore(o.m, 1, wanted.data(), wanted.size(), 0, dir.c_str(), &r), EC_EEEPROM_NACK);
    EXPECT_EQ(r.first_failed_word, 4);
    EXPECT_EQ(r.words_written, 0u);
    EXPECT_EQ(o.Stored(1, slave1.size()), slave1);
    EXPECT_EQ(FilesInDir(), 1);
}

}  // namespace

namespace {

// The AL status codes the restore's users meet after a repaired header (and that ecsim
// produces) have their meaning; unknown ones say so.
TEST(AlStatusText, KnownUnknownAndVendorCodes) {
    EXPECT_STREQ(ec_al_status_text(0x0000), "no error");
    EXPECT_STREQ(ec_al_status_text(0x0011), "invalid requested state change");
    EXPECT_STREQ(ec_al_status_text(0x0012), "unknown requested state");
    EXPECT_STREQ(ec_al_status_text(0x0013), "bootstrap not supported");
    EXPECT_STREQ(ec_al_status_text(0x0016), "invalid mailbox configuration");
    EXPECT_STREQ(ec_al_status_text(0x0050), "EEPROM not accessible");
    EXPECT_STREQ(ec_al_status_text(0x0099), "unknown status code");
    EXPECT_STREQ(ec_al_status_text(0x8001), "vendor-specific status code");
}

}  // namespace
