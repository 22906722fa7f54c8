// libecalias: restoring an SII image into a slave. Checked first (checksum, identity),
// compared word by word with the EEPROM, backed up, then only the differing words are
// written, each run of them read back. Built on the public SII calls, so every step
// records its own failure; a restore cut short can simply be run again.
#include <cstring>

#include "api/ec/ecalias_internal.h"

namespace {

constexpr uint32_t kCompareChunkWords = 256;

// One bit per image word: set when the EEPROM holds another value.
struct DifferenceMap {
    uint64_t bits[EC_SII_MAX_WORDS / 64];
    void Clear() { memset(bits, 0, sizeof bits); }
    void Set(uint32_t word) { bits[word / 64] |= uint64_t{1} << (word % 64); }
    bool Test(uint32_t word) const { return (bits[word / 64] >> (word % 64) & 1u) != 0; }
};

// Checks the slave and the image's size against the slave's EEPROM, under the call guard
// (released before the public calls that follow take their own).
int CheckTarget(ec_master* m, int position, size_t count) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (EcCheckSlave(m, position, "restore SII image") != EC_OK) return EC_ENOSLAVE;
    const uint32_t limit = EcSiiWordLimit(m, position);
    if (limit == 0) return EcFail(m, EC_EEEPROM_READ, position, "read the EEPROM size (SII word 0x3E)");
    if (count > limit) return EcFail(m, EC_ETOOBIG, position, "fit the image into the slave's EEPROM");
    return EC_OK;
}

int RefuseArguments(ec_master* m, int position) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    return EcFail(m, EC_EINVAL, position, "restore SII image");
}

// Reads the EEPROM in pieces and marks the words that differ from the image.
int Compare(ec_master* m, int position, const uint16_t* words, uint32_t count, DifferenceMap* differ,
            unsigned* differing) {
    uint16_t current[kCompareChunkWords];
    *differing = 0;
    for (uint32_t first = 0; first < count; first += kCompareChunkWords) {
        const uint32_t piece = count - first < kCompareChunkWords ? count - first : kCompareChunkWords;
        const int status = ec_sii_read(m, position, first, piece, current);
        if (status != EC_OK) return status;
        for (uint32_t n = 0; n < piece; n++)
            if (current[n] != words[first + n]) {
                differ->Set(first + n);
                (*differing)++;
            }
    }
    return EC_OK;
}

}  // namespace

EC_EXPORT int ec_sii_restore(ec_master* m, int position, const uint16_t* words, size_t count, unsigned flags,
                             const char* backup_dir, ec_sii_restore_report* report) {
    ec_sii_restore_report local{};
    local.first_failed_word = -1;
    if (report != nullptr) *report = local;
    if (m == nullptr) return EC_EINVAL;
    if (words == nullptr || count < EC_SII_HEADER_WORDS || count > EC_SII_MAX_WORDS) return RefuseArguments(m, position);

    int status = CheckTarget(m, position, count);
    if (status != EC_OK) return status;
    // The whole image is judged before any word of it is written: the words are written in
    // runs, and a header checked run by run would refuse its own intermediate states.
    if ((flags & EC_FORCE) == 0) {
        status = ec_sii_check_image(m, position, words, count);
        if (status != EC_OK) return status;
    }

    DifferenceMap differ;  // 4 KiB on the stack
    differ.Clear();
    const uint32_t total = static_cast<uint32_t>(count);
    status = Compare(m, position, words, total, &differ, &local.words_differing);
    if (status != EC_OK) {
        if (report != nullptr) *report = local;
        return status;
    }
    local.words_compared = total;
    if ((flags & EC_DRY_RUN) != 0 || local.words_differing == 0) {
        if (report != nullptr) *report = local;
        return EC_OK;
    }

    // No backup, no write.
    status = ec_sii_backup(m, position, backup_dir, local.backup_path, sizeof local.backup_path);
    if (status != EC_OK) {
        local.backup_path[0] = '\0';
        if (report != nullptr) *report = local;
        return status;
    }

    // Runs of differing words in ascending order, so word 7 follows words 0-6.
    for (uint32_t word = 0; word < total && status == EC_OK;) {
        if (!differ.Test(word)) {
            word++;
            continue;
        }
        uint32_t end = word;
        while (end < total && differ.Test(end)) end++;
        ec_sii_report run{};
        status = ec_sii_write(m, position, word, end - word, words + word, EC_FORCE, &run);
        local.words_written += run.words_written;
        if (status == EC_OK) {
            local.words_verified += end - word;
        } else if (status == EC_EVERIFY && run.first_mismatch >= 0) {
            local.words_verified += static_cast<unsigned>(run.first_mismatch) - word;
            local.first_failed_word = run.first_mismatch;
        } else if (status == EC_EVERIFY) {
            local.first_failed_word = static_cast<int>(word);  // the read-back itself failed
        } else {
            local.first_failed_word = static_cast<int>(word + run.words_written);
        }
        word = end;
    }
    if (report != nullptr) *report = local;
    return status;
}
