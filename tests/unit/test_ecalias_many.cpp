// The many-slave calls of libecalias on in-process segments, on the virtual clock: they
// give the same images, backups, restores and alias reports as the one-slave calls,
// also with lost, duplicated and late frames; NACKing, busy and vanishing slaves fail
// alone (a slave cut off the line takes the slaves behind it along, the others finish);
// refused calls send nothing.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "api/ec/ecalias_internal.h"
#include "ecalias.h"
#include "link/capture.h"
#include "link/frame_port.h"
#include "sim/segment.h"
#include "sim/sim_capture.h"
#include "support_temp_files.h"
#include "support_virtual_clock.h"
#include "wire/sii_crc.h"

namespace {

struct Opened {
    ec_master* m = nullptr;
    explicit Opened(const std::string& adapter) {
        EXPECT_EQ(ec_open(adapter.c_str(), &m), EC_OK) << adapter;
        int count = 0;
        EXPECT_EQ(ec_scan(m, &count), EC_OK);
    }
    ~Opened() {
        if (m != nullptr) ec_close(m);
    }
    int Count() const {
        int count = 0;
        ec_slave_count(m, &count);
        return count;
    }
    SimSegment* Segment() const { return SimCaptureSegment(m->context->port.capture); }
    SimEeprom& Eeprom(int position) const { return Segment()->slaves[position - 1]->eeprom; }
    std::vector<uint16_t> Stored(int position, size_t count) const {
        return std::vector<uint16_t>(Eeprom(position).words, Eeprom(position).words + count);
    }
    std::vector<uint16_t> Image(int position) const {
        std::vector<uint16_t> words(EC_SII_MAX_WORDS);
        size_t count = 0;
        EXPECT_EQ(ec_sii_read_image(m, position, words.data(), words.size(), &count), EC_OK) << position;
        words.resize(count);
        return words;
    }
    uint32_t Commands() const {
        uint32_t commands = 0;
        for (int n = 1; n <= Count(); n++) commands += Eeprom(n).counters.commands + Eeprom(n).counters.data_writes;
        return commands;
    }
};

// Cuts the line at a slave once a number of frames went out: from then on that slave
// and every slave behind it are silent, as when a cable is pulled during a dump.
struct LineCut {
    const CaptureBackend* inner = nullptr;
    CaptureBackend wrapped{};
    SimSegment* segment = nullptr;
    int after_frames = 0, at_slave = 0, frames = 0;
};
LineCut g_cut;

int CutSend(void* handle, const uint8_t* frame, int length) {
    if (++g_cut.frames == g_cut.after_frames) g_cut.segment->vanished_from = g_cut.at_slave;
    return g_cut.inner->send(handle, frame, length);
}

// Every slave's whole image through the many-slave call.
std::vector<ec_sii_image_entry> ReadImagesMany(const Opened& o, std::vector<std::vector<uint16_t>>* buffers,
                                               int* status) {
    const int count = o.Count();
    buffers->assign(static_cast<size_t>(count), std::vector<uint16_t>(EC_SII_MAX_WORDS, 0xDEAD));
    std::vector<ec_sii_image_entry> images(static_cast<size_t>(count));
    for (int n = 0; n < count; n++)
        images[static_cast<size_t>(n)] = ec_sii_image_entry{n + 1, (*buffers)[static_cast<size_t>(n)].data(),
                                                            EC_SII_MAX_WORDS, 0, 0, {}};
    *status = ec_sii_read_image_many(o.m, images.data(), images.size());
    return images;
}

// Puts the master's own back end in place again; made after the master, so it goes first.
struct LineCutUndo {
    ec_master* m;
    ~LineCutUndo() {
        if (g_cut.inner != nullptr) PortUseBackend(&m->context->port, g_cut.inner);
        g_cut = LineCut{};
    }
};

class ManySlaves : public ::testing::Test {
protected:
    LineCutUndo CutLineAt(const Opened& o, int slave, int after_frames) {
        g_cut.inner = o.m->context->port.backend;
        g_cut.wrapped = *g_cut.inner;
        g_cut.wrapped.send = CutSend;
        g_cut.segment = o.Segment();
        g_cut.after_frames = after_frames;
        g_cut.at_slave = slave;
        g_cut.frames = 0;
        PortUseBackend(&o.m->context->port, &g_cut.wrapped);
        return LineCutUndo{o.m};
    }
    VirtualClock clock{};
};

TEST_F(ManySlaves, ImagesAndRangesAreTheOneSlaveCallsAlsoUnderLossDuplicatesAndLateReplies) {
    for (const char* faults : {"", " --drop 0.05 --seed 7", " --dup 0.3 --seed 2", " --late 0.2:3000 --seed 5"}) {
        SCOPED_TRACE(faults);
        // Slave 3 has an 8 KiB EEPROM; slave 5 a longer name, so the images differ in length.
        Opened o(std::string("sim:--slaves 5 --eeprom-size 3:8192 --name 5:a-much-longer-name-of-slave-five") +
                 faults);
        ASSERT_EQ(o.Count(), 5);
        std::vector<std::vector<uint16_t>> buffers;
        int status = 0;
        const std::vector<ec_sii_image_entry> images = ReadImagesMany(o, &buffers, &status);
        EXPECT_EQ(status, EC_OK);
        for (int n = 1; n <= 5; n++) {
            const ec_sii_image_entry& image = images[static_cast<size_t>(n - 1)];
            ASSERT_EQ(image.status, EC_OK) << n << " " << image.step;
            EXPECT_STREQ(image.step, "");
            const std::vector<uint16_t> many(image.words, image.words + image.count);
            EXPECT_EQ(many, o.Image(n)) << "slave " << n;
            EXPECT_EQ(many, o.Stored(n, image.count)) << "slave " << n;
            EXPECT_EQ(image.words[image.count], 0xDEAD) << "nothing past the image is touched";
        }
        EXPECT_GT(images[4].count, images[0].count);

        // Ranges: two of one slave, one past slave 1's EEPROM (that entry alone fails).
        std::vector<uint16_t> a(16), b(3000), c(4), past(8);
        ec_sii_range ranges[] = {{2, 8, 16, a.data(), 0, 0, {}},
                                 {3, 100, 3000, b.data(), 0, 0, {}},
                                 {2, 0x40, 4, c.data(), 0, 0, {}},
                                 {1, 2044, 8, past.data(), 0, 0, {}}};
        EXPECT_EQ(ec_sii_read_many(o.m, ranges, 4), EC_EINVAL);
        for (int k = 0; k < 3; k++) EXPECT_EQ(ranges[k].status, EC_OK) << k << " " << ranges[k].step;
        EXPECT_EQ(a, o.Stored(2, 24).size() == 24 ? std::vector<uint16_t>(o.Eeprom(2).words + 8, o.Eeprom(2).words + 24)
                                                   : a);
        EXPECT_EQ(b, std::vector<uint16_t>(o.Eeprom(3).words + 100, o.Eeprom(3).words + 3100));
        EXPECT_EQ(c, std::vector<uint16_t>(o.Eeprom(2).words + 0x40, o.Eeprom(2).words + 0x44));
        EXPECT_EQ(ranges[3].status, EC_EINVAL);
        EXPECT_EQ(ranges[3].words_read, 0u);
        ec_error_detail detail{};
        ASSERT_EQ(ec_last_error(o.m, &detail), EC_OK);
        EXPECT_EQ(detail.position, 1);
    }
}

TEST_F(ManySlaves, NackingAndBusyEepromsFailAloneAsInTheOneSlavePath) {
    // Slave 2 NACKs two words of its name; slave 4's interface stays busy.
    Opened o("sim:--slaves 5 --eeprom-bad-words 2:0x48:2");
    ASSERT_EQ(o.Count(), 5);
    o.Eeprom(4).faults.busy_stuck = true;
    std::vector<std::vector<uint16_t>> buffers;
    int status = 0;
    const std::vector<ec_sii_image_entry> images = ReadImagesMany(o, &buffers, &status);
    EXPECT_EQ(status, EC_EEEPROM_READ);
    ec_error_detail detail{};
    ASSERT_EQ(ec_last_error(o.m, &detail), EC_OK);
    EXPECT_EQ(detail.position, 2) << "the first failed slave is named";
    for (int n : {2, 4}) {
        const ec_sii_image_entry& image = images[static_cast<size_t>(n - 1)];
        EXPECT_EQ(image.status, EC_EEEPROM_READ) << n;
        EXPECT_NE(std::string(image.step), "") << n;
        std::vector<uint16_t> words(EC_SII_MAX_WORDS);
        size_t count = 0;
        EXPECT_NE(ec_sii_read_image(o.m, n, words.data(), words.size(), &count), EC_OK) << "one-slave path, " << n;
    }
    EXPECT_NE(std::string(images[1].step).find("NACK"), std::string::npos) << images[1].step;
    EXPECT_NE(std::string(images[3].step).find("busy"), std::string::npos) << images[3].step;
    o.Eeprom(4).faults.busy_stuck = false;
    for (int n : {1, 3, 5}) {
        const ec_sii_image_entry& image = images[static_cast<size_t>(n - 1)];
        ASSERT_EQ(image.status, EC_OK) << n;
        EXPECT_EQ(std::vector<uint16_t>(image.words, image.words + image.count), o.Image(n)) << n;
    }
}

TEST_F(ManySlaves, ASlaveCutOffMidDumpSilencesTheSlavesBehindItTheOthersAreWhole) {
    Opened o("sim:--slaves 6");
    ASSERT_EQ(o.Count(), 6);
    std::vector<std::vector<uint16_t>> expected;
    for (int n = 1; n <= 6; n++) expected.push_back(o.Image(n));
    const LineCutUndo undo = CutLineAt(o, 4, 30);  // some way into the image reads
    std::vector<std::vector<uint16_t>> buffers;
    int status = 0;
    const std::vector<ec_sii_image_entry> images = ReadImagesMany(o, &buffers, &status);
    EXPECT_EQ(status, EC_EEEPROM_READ);
    for (int n = 1; n <= 3; n++) {
        const ec_sii_image_entry& image = images[static_cast<size_t>(n - 1)];
        ASSERT_EQ(image.status, EC_OK) << n;
        EXPECT_EQ(std::vector<uint16_t>(image.words, image.words + image.count), expected[static_cast<size_t>(n - 1)]);
    }
    for (int n = 4; n <= 6; n++) {
        const ec_sii_image_entry& image = images[static_cast<size_t>(n - 1)];
        EXPECT_EQ(image.status, EC_EEEPROM_READ) << n;
        EXPECT_EQ(image.count, 0u) << n;
        EXPECT_NE(std::string(image.step).find("no answer"), std::string::npos) << n << ": " << image.step;
    }
}

TEST_F(ManySlaves, BackupsAreTheOneSlaveBackupsAndNoneIsLeftWhenTheFolderIsMissing) {
    Opened o("sim:--slaves 3 --eeprom-size 2:8192");
    TempDir dir;
    ec_sii_backup_entry entries[3] = {};
    for (int n = 0; n < 3; n++) entries[n].position = n + 1;
    ASSERT_EQ(ec_sii_backup_many(o.m, entries, 3, dir.path.c_str()), EC_OK);
    for (int n = 1; n <= 3; n++) {
        const ec_sii_backup_entry& e = entries[n - 1];
        EXPECT_EQ(e.status, EC_OK);
        char prefix[96];
        snprintf(prefix, sizeof prefix, "/slave%d-vendor00000ec5-product%08x-serial%08x-", n, 0x10000 + n, n);
        EXPECT_EQ(std::string(e.path).rfind(dir.path + prefix, 0), 0u) << e.path;
        EXPECT_EQ(FileWords(e.path), o.Image(n)) << n;
    }
    // A second round in the same second takes the next free names.
    ec_sii_backup_entry again[3] = {};
    for (int n = 0; n < 3; n++) again[n].position = n + 1;
    ASSERT_EQ(ec_sii_backup_many(o.m, again, 3, dir.path.c_str()), EC_OK);
    EXPECT_EQ(dir.Files().size(), 6u);

    ec_sii_backup_entry missing[2] = {};
    missing[0].position = 1;
    missing[1].position = 3;
    EXPECT_EQ(ec_sii_backup_many(o.m, missing, 2, (dir.path + "/gone").c_str()), EC_EFILE);
    for (const ec_sii_backup_entry& e : missing) {
        EXPECT_EQ(e.status, EC_EFILE);
        EXPECT_STREQ(e.path, "");
    }
    EXPECT_EQ(dir.Files().size(), 6u);
}

// The alias reports of the many-slave call equal the one-slave call's, slave by slave,
// on two segments built alike: a plain slave, one with a wrong stored checksum, one
// whose header word cannot be read, one that NACKs writes.
TEST_F(ManySlaves, AliasesAreSetAsTheOneSlaveCallSetsThemRefusalsAndFailuresIncluded) {
    const std::string segment =
        "sim:--slaves 5 --sii-word 2:5:0x0101 --eeprom-bad-words 3:2:1 --eeprom-nack-writes 4:all";
    for (unsigned flags : {0u, static_cast<unsigned>(EC_FORCE)}) {
        SCOPED_TRACE(flags);
        Opened one(segment), many(segment);
        std::vector<ec_alias_report> single(5);
        std::vector<int> single_status(5);
        for (int n = 1; n <= 5; n++)
            single_status[n - 1] = ec_alias_set(one.m, n, static_cast<uint16_t>(700 + n), flags, &single[n - 1]);
        ec_alias_entry entries[5] = {};
        for (int n = 1; n <= 5; n++) {
            entries[n - 1].position = n;
            entries[n - 1].value = static_cast<uint16_t>(700 + n);
        }
        const int status = ec_alias_set_many(many.m, entries, 5, flags);
        EXPECT_EQ(status, flags == 0 ? EC_ECHECKSUM : EC_EEEPROM_READ);
        for (int n = 1; n <= 5; n++) {
            SCOPED_TRACE(n);
            const ec_alias_report& a = single[n - 1];
            const ec_alias_report& b = entries[n - 1].report;
            EXPECT_EQ(entries[n - 1].status, single_status[n - 1]) << entries[n - 1].step;
            EXPECT_EQ(memcmp(a.before, b.before, sizeof a.before), 0);
            EXPECT_EQ(a.stored_checksum_ok, b.stored_checksum_ok);
            EXPECT_EQ(a.alias_written, b.alias_written);
            EXPECT_EQ(a.checksum_written, b.checksum_written);
            EXPECT_EQ(a.alias_acknowledged, b.alias_acknowledged);
            EXPECT_EQ(a.checksum_acknowledged, b.checksum_acknowledged);
            EXPECT_EQ(memcmp(a.after, b.after, sizeof a.after), 0);
            EXPECT_EQ(a.after_read, b.after_read);
            EXPECT_EQ(a.verified, b.verified);
            EXPECT_EQ(a.register_read, b.register_read);
            EXPECT_EQ(a.alias_register, b.alias_register);
            EXPECT_EQ(a.register_shows_new, b.register_shows_new);
            EXPECT_EQ(one.Stored(n, 64), many.Stored(n, 64));
        }
        // The plain slave is set and verified; its record follows.
        EXPECT_EQ(entries[0].status, EC_OK);
        EXPECT_TRUE(entries[0].report.verified);
        EXPECT_EQ(entries[0].report.attempts, 2);
        EXPECT_EQ(many.Eeprom(1).words[4], 701);
        EXPECT_EQ(many.Eeprom(1).words[7] & 0xFF, SiiHeaderCrc(many.Eeprom(1).words));
        ec_slave_info info{};
        ASSERT_EQ(ec_slave_info_get(many.m, 1, &info), EC_OK);
        EXPECT_EQ(info.sii_alias, 701);
        // The unreadable header is refused even when forced; nothing written there.
        EXPECT_EQ(entries[2].status, EC_EEEPROM_READ);
        EXPECT_STREQ(entries[2].step, "read SII words 0-6");
        EXPECT_EQ(many.Eeprom(3).counters.writes, 0u);
        // The refused write leaves word 7 alone.
        EXPECT_EQ(entries[3].status, EC_EEEPROM_NACK);
        EXPECT_EQ(entries[3].report.alias_acknowledged, 0);
        EXPECT_EQ(entries[3].report.checksum_acknowledged, 0);
        EXPECT_NE(std::string(entries[3].step).find("word 4"), std::string::npos) << entries[3].step;
        // The wrong stored checksum: refused unless forced, then mended.
        if (flags == 0) {
            EXPECT_EQ(entries[1].status, EC_ECHECKSUM);
            EXPECT_EQ(many.Eeprom(2).counters.writes, 0u);
        } else {
            EXPECT_EQ(entries[1].status, EC_OK);
            EXPECT_EQ(many.Eeprom(2).words[7] & 0xFF, SiiHeaderCrc(many.Eeprom(2).words));
        }
    }
}

// Under lost, duplicated and late frames both paths end with every alias set and every
// image restored, and the EEPROMs hold the same words.
TEST_F(ManySlaves, AliasesAndRestoresUnderLossDuplicatesAndLateRepliesEndAsTheOneSlaveCalls) {
    for (const char* faults : {" --drop 0.05 --seed 11", " --dup 0.3 --seed 4", " --late 0.2:3000 --seed 9"}) {
        SCOPED_TRACE(faults);
        TempDir dir_one, dir_many;
        const std::string segment = std::string("sim:--slaves 4") + faults;
        Opened one(segment), many(segment);
        ec_alias_entry entries[4] = {};
        for (int n = 1; n <= 4; n++) {
            ec_alias_report report{};
            EXPECT_EQ(ec_alias_set(one.m, n, static_cast<uint16_t>(900 + n), 0, &report), EC_OK) << n;
            entries[n - 1].position = n;
            entries[n - 1].value = static_cast<uint16_t>(900 + n);
        }
        EXPECT_EQ(ec_alias_set_many(many.m, entries, 4, 0), EC_OK);
        for (int n = 1; n <= 4; n++) {
            EXPECT_EQ(entries[n - 1].status, EC_OK) << n << " " << entries[n - 1].step;
            EXPECT_TRUE(entries[n - 1].report.verified) << n;
            EXPECT_EQ(one.Stored(n, 128), many.Stored(n, 128)) << n;
        }
        // Back to the images the segment started with, through a restore.
        std::vector<std::vector<uint16_t>> images(4);
        ec_sii_restore_entry restores[4] = {};
        for (int n = 1; n <= 4; n++) {
            std::vector<uint16_t>& w = images[static_cast<size_t>(n - 1)];
            w = many.Image(n);
            w[4] = 0;
            w[7] = SiiHeaderCrc(w.data());
            ec_sii_restore_report report{};
            EXPECT_EQ(ec_sii_restore(one.m, n, w.data(), w.size(), 0, dir_one.path.c_str(), &report), EC_OK) << n;
            restores[n - 1] = ec_sii_restore_entry{n, w.data(), w.size(), 0, {}, {}};
        }
        EXPECT_EQ(ec_sii_restore_many(many.m, restores, 4, 0, dir_many.path.c_str()), EC_OK);
        for (int n = 1; n <= 4; n++) {
            EXPECT_EQ(restores[n - 1].status, EC_OK) << n << " " << restores[n - 1].step;
            EXPECT_EQ(restores[n - 1].report.words_written, 2u) << n;
            EXPECT_EQ(restores[n - 1].report.words_verified, 2u) << n;
            EXPECT_EQ(one.Stored(n, 128), many.Stored(n, 128)) << n;
        }
        EXPECT_EQ(dir_many.Files().size(), 4u);
    }
}

TEST_F(ManySlaves, ASlaveVanishingAtItsChecksumWordLeavesItAndTheSlavesBehindWithTheAliasOnly) {
    Opened o("sim:--slaves 5 --vanish-at-write 3:2");
    std::vector<std::vector<uint16_t>> before;
    for (int n = 1; n <= 5; n++) before.push_back(o.Stored(n, 8));
    ec_alias_entry entries[5] = {};
    for (int n = 1; n <= 5; n++) {
        entries[n - 1].position = n;
        entries[n - 1].value = static_cast<uint16_t>(200 + n);
    }
    EXPECT_EQ(ec_alias_set_many(o.m, entries, 5, 0), EC_ENOFRAME);
    for (int n = 1; n <= 2; n++) {
        EXPECT_EQ(entries[n - 1].status, EC_OK) << n;
        EXPECT_TRUE(entries[n - 1].report.verified) << n;
    }
    // All five wrote word 4 together; slave 3 went at word 7 and took 4 and 5 along.
    for (int n = 3; n <= 5; n++) {
        SCOPED_TRACE(n);
        const ec_alias_entry& e = entries[n - 1];
        EXPECT_EQ(e.status, EC_ENOFRAME);
        EXPECT_EQ(e.report.alias_acknowledged, 1);
        EXPECT_EQ(e.report.checksum_acknowledged, 0);
        EXPECT_EQ(e.report.verified, 0);
        EXPECT_NE(std::string(e.step).find("word 7"), std::string::npos) << e.step;
        EXPECT_EQ(o.Eeprom(n).words[4], 200 + n);
        EXPECT_EQ(o.Eeprom(n).words[7], before[static_cast<size_t>(n - 1)][7]) << "no checksum for a word 4 unconfirmed";
    }
}

TEST_F(ManySlaves, ASlaveBackWithinTheWordRetriesGetsItsPairFinished) {
    // Slave 2 goes at its checksum word and is back 160 ms later: the fresh starts of
    // that word (five, 25 ms apart, each waiting up to 20 ms for an idle interface) reach
    // it, and every alias is verified.
    Opened o("sim:--slaves 3 --vanish-at-write 2:2 --come-back-after 2:160");
    ec_alias_entry entries[3] = {};
    for (int n = 1; n <= 3; n++) {
        entries[n - 1].position = n;
        entries[n - 1].value = static_cast<uint16_t>(300 + n);
    }
    EXPECT_EQ(ec_alias_set_many(o.m, entries, 3, 0), EC_OK) << entries[1].step;
    for (const ec_alias_entry& e : entries) {
        EXPECT_EQ(e.status, EC_OK) << e.position;
        EXPECT_TRUE(e.report.verified) << e.position;
    }
    EXPECT_GT(entries[1].report.attempts, 2);
}

TEST_F(ManySlaves, RestoresAreTheOneSlaveRestoresRefusalsAndACutShortRestoreIncluded) {
    TempDir dir_one, dir_many;
    // Slave 2 vanishes at its second write (word 7) and comes back 3 s later.
    const std::string segment = "sim:--slaves 4 --vanish-at-write 2:2 --come-back-after 2:3000";
    Opened one(segment), many(segment);
    std::vector<std::vector<uint16_t>> wanted(4);
    for (int n = 1; n <= 4; n++) {
        std::vector<uint16_t> w = one.Image(n);
        w[4] = static_cast<uint16_t>(0x0770 + n);
        w[7] = SiiHeaderCrc(w.data());
        w[0x44] ^= 0x2020;
        wanted[static_cast<size_t>(n - 1)] = w;
    }
    // Slave 3 gets slave 4's image (another product), slave 4 one with a broken checksum.
    wanted[2] = wanted[3];
    wanted[3][4] ^= 1;
    std::vector<ec_sii_restore_report> single(4);
    std::vector<int> single_status(4);
    for (int n = 1; n <= 4; n++) {
        const std::vector<uint16_t>& w = wanted[static_cast<size_t>(n - 1)];
        single_status[n - 1] = ec_sii_restore(one.m, n, w.data(), w.size(), 0, dir_one.path.c_str(), &single[n - 1]);
    }
    ec_sii_restore_entry entries[4] = {};
    for (int n = 1; n <= 4; n++) {
        entries[n - 1].position = n;
        entries[n - 1].words = wanted[static_cast<size_t>(n - 1)].data();
        entries[n - 1].count = wanted[static_cast<size_t>(n - 1)].size();
    }
    EXPECT_EQ(ec_sii_restore_many(many.m, entries, 4, 0, dir_many.path.c_str()), EC_ENOFRAME);
    for (int n = 1; n <= 4; n++) {
        SCOPED_TRACE(n);
        const ec_sii_restore_report& a = single[n - 1];
        const ec_sii_restore_report& b = entries[n - 1].report;
        EXPECT_EQ(entries[n - 1].status, single_status[n - 1]) << entries[n - 1].step;
        EXPECT_EQ(a.words_compared, b.words_compared);
        EXPECT_EQ(a.words_differing, b.words_differing);
        EXPECT_EQ(a.words_written, b.words_written);
        EXPECT_EQ(a.words_verified, b.words_verified);
        EXPECT_EQ(a.first_failed_word, b.first_failed_word);
        EXPECT_EQ(a.backup_path[0] != '\0', b.backup_path[0] != '\0');
        if (b.backup_path[0] != '\0') {
            EXPECT_EQ(FileWords(b.backup_path), FileWords(a.backup_path));
        }
        EXPECT_EQ(one.Stored(n, 256), many.Stored(n, 256));
    }
    EXPECT_EQ(entries[0].status, EC_OK);
    EXPECT_EQ(entries[0].report.words_written, 3u);
    EXPECT_EQ(entries[1].report.first_failed_word, 7);
    EXPECT_EQ(entries[2].status, EC_EIDENTITY);
    EXPECT_EQ(entries[3].status, EC_ECHECKSUM);
    EXPECT_EQ(dir_many.Files().size(), 2u) << "backups of slaves 1 and 2 only";

    // Slave 2 is back: the same restore again writes what is missing; slave 1 has nothing
    // left to write (no backup); the refusals stay refusals.
    WaitMicroseconds(3500000);
    EXPECT_EQ(ec_sii_restore_many(many.m, entries, 4, 0, dir_many.path.c_str()), EC_EIDENTITY);
    EXPECT_EQ(entries[0].report.words_differing, 0u);
    EXPECT_STREQ(entries[0].report.backup_path, "");
    EXPECT_EQ(entries[1].status, EC_OK);
    EXPECT_EQ(entries[1].report.words_written, 2u);
    EXPECT_EQ(many.Stored(2, wanted[1].size()), wanted[1]);
    EXPECT_EQ(dir_many.Files().size(), 3u);

    // A dry run compares only.
    std::vector<uint16_t> back = many.Image(1);
    back[0x50] ^= 1;
    ec_sii_restore_entry dry{1, back.data(), back.size(), 0, {}, {}};
    const uint32_t writes = many.Eeprom(1).counters.writes;
    EXPECT_EQ(ec_sii_restore_many(many.m, &dry, 1, EC_DRY_RUN, dir_many.path.c_str()), EC_OK);
    EXPECT_EQ(dry.report.words_differing, 1u);
    EXPECT_EQ(many.Eeprom(1).counters.writes, writes);
    EXPECT_EQ(dir_many.Files().size(), 3u);
}

TEST_F(ManySlaves, RefusedCallsSendNothingAndMarkEveryEntry) {
    Opened o("sim:--slaves 3");
    const uint32_t commands = o.Commands();
    std::vector<uint16_t> words(64);
    ec_sii_range ranges[2] = {{1, 0, 8, words.data(), 0, 0, {}}, {4, 0, 8, words.data(), 0, 0, {}}};
    EXPECT_EQ(ec_sii_read_many(o.m, ranges, 2), EC_ENOSLAVE);
    EXPECT_EQ(ranges[0].status, EC_ENOSLAVE);
    EXPECT_EQ(ranges[1].status, EC_ENOSLAVE);
    ranges[1] = ec_sii_range{2, 0, 0, words.data(), 0, 0, {}};
    EXPECT_EQ(ec_sii_read_many(o.m, ranges, 2), EC_EINVAL);
    ranges[1] = ec_sii_range{2, 0, 8, nullptr, 0, 0, {}};
    EXPECT_EQ(ec_sii_read_many(o.m, ranges, 2), EC_EINVAL);
    EXPECT_EQ(ec_sii_read_many(o.m, nullptr, 2), EC_EINVAL);
    EXPECT_EQ(ec_sii_read_many(o.m, ranges, 0), EC_EINVAL);
    EXPECT_EQ(ec_sii_read_many(nullptr, ranges, 2), EC_EINVAL);
    EXPECT_EQ(ranges[0].status, EC_EINVAL);

    ec_alias_entry twice[2] = {};
    twice[0].position = 2;
    twice[1].position = 2;
    EXPECT_EQ(ec_alias_set_many(o.m, twice, 2, 0), EC_EINVAL) << "a slave named twice where the call writes";
    ec_alias_entry zero[1] = {};
    EXPECT_EQ(ec_alias_set_many(o.m, zero, 1, 0), EC_ENOSLAVE);
    ec_sii_restore_entry short_image{1, words.data(), 7, 0, {}, {}};
    EXPECT_EQ(ec_sii_restore_many(o.m, &short_image, 1, 0, nullptr), EC_EINVAL);
    ec_sii_restore_entry repeated[2] = {{1, words.data(), 64, 0, {}, {}}, {1, words.data(), 64, 0, {}, {}}};
    EXPECT_EQ(ec_sii_restore_many(o.m, repeated, 2, EC_FORCE, nullptr), EC_EINVAL);
    ec_sii_image_entry no_room{1, words.data(), 0, 0, 0, {}};
    EXPECT_EQ(ec_sii_read_image_many(o.m, &no_room, 1), EC_EINVAL);
    ec_sii_backup_entry nobody{9, 0, {}, {}};
    EXPECT_EQ(ec_sii_backup_many(o.m, &nobody, 1, nullptr), EC_ENOSLAVE);
    EXPECT_EQ(o.Commands(), commands) << "a refused call sent an EEPROM command";

    // An image too large for the room given says how much it needs, the others are read.
    std::vector<uint16_t> big(EC_SII_MAX_WORDS), small(16);
    ec_sii_image_entry images[2] = {{1, small.data(), small.size(), 0, 0, {}}, {2, big.data(), big.size(), 0, 0, {}}};
    EXPECT_EQ(ec_sii_read_image_many(o.m, images, 2), EC_ETOOBIG);
    EXPECT_EQ(images[0].count, o.Image(1).size());
    EXPECT_EQ(images[1].status, EC_OK);
}

}  // namespace
