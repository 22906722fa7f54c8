#include "slave/alias_write.h"

#include "link/clock.h"
#include "link/datagram.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "wire/esc_registers.h"
#include "wire/sii_crc.h"

namespace {

constexpr int32_t kRegisterTimeoutUs = 20000;

uint16_t Station(MasterContext* master, uint16_t slave) { return master->slave_table[slave].config_address; }

// Writes one word until it is acknowledged or a bound is reached: the word's own bound,
// or the count shared by both words passing its limit. At least one command goes out.
bool WriteWord(MasterContext* master, uint16_t slave, uint16_t word, uint16_t value, const AliasWriteLimits& limits,
               int* attempts) {
    for (int tries = 0;;) {
        EepromToMaster(master, slave);
        const int written = EepromWriteWord(master, Station(master, slave), word, value);
        (*attempts)++;
        tries++;
        if (written == 1) return true;
        if (limits.word_write_tries > 0 && tries >= limits.word_write_tries) return false;
        if (limits.shared_write_limit > 0 && *attempts > limits.shared_write_limit) return false;
        if (limits.word_write_tries <= 0 && limits.shared_write_limit <= 0) return false;  // no bound: one try
    }
}

AliasWriteStop WhyTheWriteStopped(MasterContext* master, uint16_t slave) {
    uint16_t status = 0;
    if (EepromWaitNotBusy(master, Station(master, slave), &status))
        return (status & kEepromStatusCommandErrors) != 0 ? AliasWriteStop::kRefused : AliasWriteStop::kUnconfirmed;
    return (status & kEepromStatusBusy) != 0 ? AliasWriteStop::kBusy : AliasWriteStop::kNoAnswer;
}

void WritePair(MasterContext* master, uint16_t slave, const AliasWriteLimits& limits, const AliasPairHooks* hooks,
               AliasWriteResult* r) {
    if (hooks != nullptr && hooks->pair_begins != nullptr) hooks->pair_begins(hooks->user);
    r->write_tried = true;
    r->alias_acknowledged = WriteWord(master, slave, kSiiAliasWord, r->image[kSiiAliasWord], limits, &r->attempts);
    // A checksum for the new value next to the old word 4 would make the slave reject
    // its whole configuration area at the next power-on: word 7 only after word 4.
    if (r->alias_acknowledged)
        r->checksum_acknowledged =
            WriteWord(master, slave, kSiiChecksumWord, r->image[kSiiChecksumWord], limits, &r->attempts);
    if (hooks != nullptr && hooks->pair_ends != nullptr) hooks->pair_ends(hooks->user);
    if (!r->alias_acknowledged || !r->checksum_acknowledged) r->write_stop = WhyTheWriteStopped(master, slave);
}

}  // namespace

uint8_t AliasHeaderChecksum(const uint16_t* words) {
    uint8_t bytes[kSiiChecksumBytes];
    for (int n = 0; n < kSiiChecksumBytes / 2; n++) {
        bytes[2 * n] = static_cast<uint8_t>(words[n] & 0xFF);
        bytes[2 * n + 1] = static_cast<uint8_t>(words[n] >> 8);
    }
    return SiiChecksum(bytes, kSiiChecksumBytes);
}

bool AliasReadWord(MasterContext* master, uint16_t slave, uint16_t word, const AliasWriteLimits& limits,
                   uint16_t* value) {
    // Reading changes nothing, and on a lossy line one lost exchange would otherwise count
    // as an unreadable word. Each new try waits a little first: after a run of lost frames
    // the frame port passes over the slots that lost them for a while.
    const int tries = limits.word_read_tries > 0 ? limits.word_read_tries : 1;
    for (int n = 0; n < tries; n++) {
        if (n > 0) WaitMicrosecondsOf(master->port.clock, limits.read_retry_gap_us);
        EepromReadStart(master, slave, word);
        const uint32_t data = EepromReadFinish(master, slave);
        if (!EepromLastFinishFailed(master, slave)) {
            *value = static_cast<uint16_t>(data & 0xFFFF);
            return true;
        }
    }
    *value = 0;
    return false;
}

uint8_t AliasReadHeader(MasterContext* master, uint16_t slave, const AliasWriteLimits& limits, uint16_t* words) {
    uint8_t read = 0;
    for (int n = 0; n < kSiiHeaderWordCount; n++)
        if (AliasReadWord(master, slave, static_cast<uint16_t>(n), limits, &words[n]))
            read = static_cast<uint8_t>(read | (1u << n));
    return read;
}

AliasWriteStatus AliasWrite(MasterContext* master, uint16_t slave, uint16_t value, const AliasWriteLimits& limits,
                            const AliasPairHooks* hooks, AliasWriteResult* result) {
    AliasWriteResult& r = *result;
    r = AliasWriteResult{};
    r.unreadable_word = -1;
    // Record 0 is the aggregate, not a slave; past the table there is nothing to address.
    if (slave == 0 || slave >= master->slave_table.capacity) {
        r.unreadable_word = 0;
        return AliasWriteStatus::kHeaderUnreadable;
    }
    const bool was_at_pdi = master->slave_table[slave].eeprom_at_pdi != 0;

    // Words 0-7 first: the checksum covers 0-6, and a caller shows or keeps them.
    r.before_read = AliasReadHeader(master, slave, limits, r.before);
    for (int n = 0; n < kSiiChecksumWord; n++)
        if ((r.before_read & (1u << n)) == 0) {
            r.unreadable_word = n;
            break;
        }
    r.stored_checksum_ok = (r.before_read & (1u << kSiiChecksumWord)) != 0 &&
                           (r.before[kSiiChecksumWord] & 0xFF) == AliasHeaderChecksum(r.before);
    for (int n = 0; n < kSiiHeaderWordCount; n++) r.image[n] = r.before[n];
    r.image[kSiiAliasWord] = value;
    const uint8_t checksum = AliasHeaderChecksum(r.image);
    r.image[kSiiChecksumWord] = limits.checksum_high_byte_zero
                                    ? checksum
                                    : static_cast<uint16_t>((r.before[kSiiChecksumWord] & 0xFF00) | checksum);

    AliasWriteStatus status = AliasWriteStatus::kVerified;
    if (r.unreadable_word >= 0) {
        // A word entering the checksum as 0 would leave a checksum that does not match.
        status = AliasWriteStatus::kHeaderUnreadable;
    } else if (!r.stored_checksum_ok && !limits.force) {
        status = AliasWriteStatus::kChecksumWrong;
    } else {
        WritePair(master, slave, limits, hooks, &r);
        if (!r.alias_acknowledged || !r.checksum_acknowledged) status = AliasWriteStatus::kWriteFailed;
        // Read back also after a failed write: the caller learns what the EEPROM holds.
        r.after_read = AliasReadHeader(master, slave, limits, r.after);
        r.verified = r.after_read == 0xFF;
        for (int n = 0; n < kSiiHeaderWordCount; n++)
            if (r.after[n] != r.image[n]) r.verified = false;
        if (status == AliasWriteStatus::kVerified && !r.verified) status = AliasWriteStatus::kNotVerified;
        if (limits.read_register) {
            uint16_t alias = 0;
            if (FPRD(&master->port, Station(master, slave), kRegStationAlias, 2, &alias, kRegisterTimeoutUs) > 0) {
                r.register_read = true;
                r.alias_register = alias;
            }
        }
    }
    if (was_at_pdi) EepromToPdi(master, slave);
    return status;
}
