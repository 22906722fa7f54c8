// The station-alias write shared by the library and the console dialog, on the
// in-process virtual segment: what it refuses, what reaches the EEPROM, in which order,
// and what it reports.
#include <cstring>

#include "sim/segment.h"
#include "sim/sim_eeprom.h"
#include "slave/alias_write.h"
#include "slave/bringup.h"
#include "slave/eeprom.h"
#include "support_segment.h"
#include "support_virtual_clock.h"

namespace {

// The library's bounds and the dialog's (see api/ec/ecalias_access.cpp, tool/alias_dialog.cpp).
constexpr AliasWriteLimits kPerWord{5, 25000, 10, 0, false, false, true};
constexpr AliasWriteLimits kShared{5, 25000, 0, 100, true, true, false};

AliasWriteLimits Forced(AliasWriteLimits limits) {
    limits.force = true;
    return limits;
}

class AliasWriteTest : public SegmentTest {
protected:
    void Bring(int slaves) {
        StartSegment(slaves);
        ASSERT_EQ(ConfigureNetwork(&g_master), slaves);
        first = segment->slaves[0];
        for (int i = 0; i < slaves; i++) SimEepromSetLatency(segment->slaves[i], 0, 0);
    }
    void Header(const uint16_t (&words)[kSiiHeaderWordCount], bool valid_checksum) {
        for (int i = 0; i < kSiiHeaderWordCount; i++) SimEepromSetWord(first, static_cast<uint16_t>(i), words[i]);
        if (valid_checksum) SimEepromUpdateChecksum(first);
    }
    AliasWriteStatus Write(uint16_t value, const AliasWriteLimits& limits, const AliasPairHooks* hooks = nullptr) {
        return AliasWrite(&g_master, 1, value, limits, hooks, &result);
    }
    uint16_t Word(int n) const { return first->eeprom.words[n]; }

    VirtualClock clock{1};
    SimSlave* first = nullptr;
    AliasWriteResult result{};
};

const uint16_t kHeader[kSiiHeaderWordCount] = {0x0C05, 0x0011, 0x03E8, 0x0000, 0x1234, 0x0000, 0x0000, 0xAB00};

}  // namespace

TEST_F(AliasWriteTest, WritesTheAliasAndItsChecksumAndVerifiesWordsZeroToSeven) {
    Bring(2);
    Header(kHeader, true);
    const uint16_t old_checksum_word = Word(7);
    EXPECT_EQ(Write(0x0BEE, kPerWord), AliasWriteStatus::kVerified);
    EXPECT_EQ(Word(4), 0x0BEE);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    EXPECT_EQ(Word(7) & 0xFF00, old_checksum_word & 0xFF00);  // the library keeps the high byte
    for (int n : {0, 1, 2, 3, 5, 6}) EXPECT_EQ(Word(n), kHeader[n]) << "word " << n;
    EXPECT_EQ(first->eeprom.counters.writes, 2u);
    EXPECT_EQ(segment->slaves[1]->eeprom.counters.writes, 0u);  // nothing on the slave next door

    EXPECT_EQ(result.before_read, 0xFF);
    EXPECT_EQ(result.before[4], 0x1234);
    EXPECT_EQ(result.before[7], old_checksum_word);
    EXPECT_TRUE(result.stored_checksum_ok);
    EXPECT_TRUE(result.alias_acknowledged);
    EXPECT_TRUE(result.checksum_acknowledged);
    EXPECT_EQ(result.attempts, 2);
    EXPECT_EQ(result.after_read, 0xFF);
    EXPECT_TRUE(result.verified);
    EXPECT_EQ(memcmp(result.after, first->eeprom.words, sizeof result.after), 0);
    EXPECT_EQ(result.write_stop, AliasWriteStop::kNone);
    // The slave loads word 4 into 0x0012 only at power-on: the register still shows the old alias.
    EXPECT_TRUE(result.register_read);
    EXPECT_NE(result.alias_register, 0x0BEE);

    // The dialog's choice: word 7 is the checksum byte alone, and 0x0012 is not read.
    EXPECT_EQ(Write(7, kShared), AliasWriteStatus::kVerified);
    EXPECT_EQ(Word(4), 7);
    EXPECT_EQ(Word(7) & 0xFF00, 0);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
    EXPECT_FALSE(result.register_read);
}

TEST_F(AliasWriteTest, AnUnreadableHeaderWordIsRefusedEvenWhenForced) {
    Bring(1);
    Header(kHeader, true);
    first->eeprom.faults.bad_words_first = 3;  // reads and writes of word 3 are NACKed
    first->eeprom.faults.bad_words_count = 1;
    for (const AliasWriteLimits& limits : {kPerWord, Forced(kPerWord), kShared}) {
        EXPECT_EQ(Write(0x0777, limits), AliasWriteStatus::kHeaderUnreadable);
        EXPECT_EQ(result.unreadable_word, 3);
        EXPECT_EQ(result.before_read, 0xFF & ~(1u << 3));
        EXPECT_FALSE(result.write_tried);
        EXPECT_EQ(result.attempts, 0);
    }
    EXPECT_EQ(first->eeprom.counters.writes, 0u);
    EXPECT_EQ(Word(4), 0x1234);

    // Record 0 and numbers past the table address no slave: refused, nothing sent.
    const uint32_t commands = first->eeprom.counters.commands;
    for (uint16_t slave : {uint16_t{0}, uint16_t{kMaxSlaveRecords}, uint16_t{0xFFFF}}) {
        EXPECT_EQ(AliasWrite(&g_master, slave, 1, Forced(kPerWord), nullptr, &result),
                  AliasWriteStatus::kHeaderUnreadable);
        EXPECT_FALSE(result.write_tried);
    }
    EXPECT_EQ(first->eeprom.counters.commands, commands);

    // An unreadable word 7 stops nothing by itself: it is not covered by the checksum,
    // but then the stored checksum cannot be checked either, so only force writes.
    first->eeprom.faults.bad_words_first = 7;
    EXPECT_EQ(Write(0x0777, kPerWord), AliasWriteStatus::kChecksumWrong);
    EXPECT_EQ(first->eeprom.counters.writes, 0u);
}

TEST_F(AliasWriteTest, AWrongStoredChecksumIsRefusedUnlessForcedAndForceRepairsIt) {
    Bring(1);
    Header(kHeader, false);  // word 7 = 0xAB00: does not match words 0-6
    ASSERT_FALSE(SimSiiHeaderValid(&first->eeprom));
    EXPECT_EQ(Write(0x0042, kPerWord), AliasWriteStatus::kChecksumWrong);
    EXPECT_FALSE(result.stored_checksum_ok);
    EXPECT_FALSE(result.write_tried);
    EXPECT_EQ(first->eeprom.counters.writes, 0u);
    EXPECT_EQ(Word(4), 0x1234);
    // The image of what would have been written is still reported.
    EXPECT_EQ(result.image[4], 0x0042);
    EXPECT_EQ(result.image[7] & 0xFF, AliasHeaderChecksum(result.image));

    EXPECT_EQ(Write(0x0042, Forced(kPerWord)), AliasWriteStatus::kVerified);
    EXPECT_FALSE(result.stored_checksum_ok);
    EXPECT_EQ(Word(4), 0x0042);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
}

TEST_F(AliasWriteTest, WordSevenIsNeverWrittenAfterAFailedWordFour) {
    Bring(1);
    Header(kHeader, true);
    const uint16_t old_checksum_word = Word(7);
    first->eeprom.faults.nack_writes_all = true;
    // Library bounds: ten calls for word 4, none for word 7. A NACKed call sends up to
    // three commands, so the EEPROM saw more commands than the report counts calls.
    EXPECT_EQ(Write(0x0555, kPerWord), AliasWriteStatus::kWriteFailed);
    EXPECT_TRUE(result.write_tried);
    EXPECT_FALSE(result.alias_acknowledged);
    EXPECT_FALSE(result.checksum_acknowledged);
    EXPECT_EQ(result.attempts, 10);
    EXPECT_EQ(result.write_stop, AliasWriteStop::kRefused);
    EXPECT_EQ(Word(4), 0x1234);
    EXPECT_EQ(Word(7), old_checksum_word);
    // Read back after the failure: the caller sees the EEPROM unchanged.
    EXPECT_EQ(result.after_read, 0xFF);
    EXPECT_FALSE(result.verified);
    EXPECT_EQ(result.after[4], 0x1234);

    // The dialog's bound: one count shared by both words, ending once it passes 100.
    EXPECT_EQ(Write(0x0555, kShared), AliasWriteStatus::kWriteFailed);
    EXPECT_EQ(result.attempts, 101);
    EXPECT_FALSE(result.alias_acknowledged);
    EXPECT_EQ(Word(7), old_checksum_word);
}

TEST_F(AliasWriteTest, AttemptsCountEveryWriteCallOfBothWords) {
    Bring(1);
    Header(kHeader, true);
    // Three NACKed commands make one failed call (the EEPROM layer's own passes).
    first->eeprom.faults.nack_writes_first = 3;
    EXPECT_EQ(Write(0x0101, kPerWord), AliasWriteStatus::kVerified);
    EXPECT_EQ(result.attempts, 3);
    first->eeprom.faults.nack_writes_first = 3 * 4;  // four failed calls
    EXPECT_EQ(Write(0x0202, kShared), AliasWriteStatus::kVerified);
    EXPECT_EQ(result.attempts, 6);
    EXPECT_TRUE(SimSiiHeaderValid(&first->eeprom));
}

TEST_F(AliasWriteTest, ASlaveLostAfterWordFourLeavesAFailedChecksumWriteAndSaysWhy) {
    Bring(1);
    Header(kHeader, true);
    SimEepromAttach(segment);
    first->eeprom.faults.vanish_at_write = 2;  // the slave drops off as the word-7 write arrives
    EXPECT_EQ(Write(0x0909, kPerWord), AliasWriteStatus::kWriteFailed);
    EXPECT_TRUE(result.alias_acknowledged);
    EXPECT_FALSE(result.checksum_acknowledged);
    EXPECT_EQ(result.attempts, 11);
    EXPECT_EQ(result.write_stop, AliasWriteStop::kNoAnswer);
    EXPECT_EQ(result.after_read, 0);  // nothing answers the read-back
    EXPECT_FALSE(result.verified);
    EXPECT_FALSE(result.register_read);
    EXPECT_EQ(Word(4), 0x0909);
    EXPECT_FALSE(SimSiiHeaderValid(&first->eeprom));  // what the dialog's repair line is for
}

struct PairEvents {
    SimSlave* slave;
    uint32_t writes_at_begin = ~0u;
    uint32_t writes_at_end = ~0u;
    int begins = 0;
    int ends = 0;
};

void PairBegins(void* user) {
    auto* events = static_cast<PairEvents*>(user);
    events->begins++;
    events->writes_at_begin = events->slave->eeprom.counters.writes;
}

void PairEnds(void* user) {
    auto* events = static_cast<PairEvents*>(user);
    events->ends++;
    events->writes_at_end = events->slave->eeprom.counters.writes;
}

TEST_F(AliasWriteTest, TheHooksEncloseBothWritesAndNothingElse) {
    Bring(1);
    Header(kHeader, true);
    PairEvents events{first};
    const AliasPairHooks hooks{PairBegins, PairEnds, &events};
    EXPECT_EQ(Write(0x0303, kShared, &hooks), AliasWriteStatus::kVerified);
    EXPECT_EQ(events.begins, 1);
    EXPECT_EQ(events.ends, 1);
    EXPECT_EQ(events.writes_at_begin, 0u);
    EXPECT_EQ(events.writes_at_end, 2u);

    // A refused write never enters the pair.
    events = PairEvents{first};
    SimEepromSetWord(first, 7, 0);
    SimEepromSetWord(first, 0, 0x0001);  // the stored checksum no longer matches
    EXPECT_EQ(Write(0x0404, kPerWord, &hooks), AliasWriteStatus::kChecksumWrong);
    EXPECT_EQ(events.begins, 0);
    EXPECT_EQ(events.ends, 0);
}

TEST_F(AliasWriteTest, TheEepromGoesBackToThePdiWhenItWasThere) {
    Bring(1);
    Header(kHeader, true);
    ASSERT_EQ(EepromToPdi(&g_master, 1), 1);
    ASSERT_TRUE((g_master.slave_table[1].eeprom_at_pdi != 0));
    EXPECT_EQ(Write(0x0606, kPerWord), AliasWriteStatus::kVerified);
    EXPECT_TRUE((g_master.slave_table[1].eeprom_at_pdi != 0));
    EXPECT_EQ(Word(4), 0x0606);

    ASSERT_EQ(EepromToMaster(&g_master, 1), 1);
    EXPECT_EQ(Write(0x0607, kPerWord), AliasWriteStatus::kVerified);
    EXPECT_FALSE((g_master.slave_table[1].eeprom_at_pdi != 0));  // it was with the master: it stays there
}

TEST(AliasHeaderChecksum, CoversWordsZeroToSixLowByteFirst) {
    // Words 0-3, 5 and 6 zero: alias 1 gives 0x19, alias 0 gives 0x30.
    uint16_t words[kSiiHeaderWordCount] = {0, 0, 0, 0, 1, 0, 0, 0xFFFF};
    EXPECT_EQ(AliasHeaderChecksum(words), 0x19);
    words[4] = 0;
    EXPECT_EQ(AliasHeaderChecksum(words), 0x30);
    words[7] = 0;  // word 7 takes no part
    EXPECT_EQ(AliasHeaderChecksum(words), 0x30);
}
