// libecalias: SII reads, whole images, backups, restores and station aliases of many
// slaves at once. Each step is one call of the SII engine (slave/sii_engine.h) for every
// slave still going, so the slaves' EEPROMs work side by side and their datagrams share
// frames; every slave keeps its own status and the step it failed at. The rules are the
// one-slave calls' (ecalias_access.cpp, ecalias_image.cpp, ecalias_restore.cpp), step for
// step, so both paths give the same images, reports and verdicts.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "api/ec/ecalias_internal.h"
#include "api/ec/ecalias_sii_files.h"
#include "link/datagram.h"
#include "slave/alias_write.h"
#include "slave/packed_exchange.h"
#include "slave/sii_engine.h"
#include "wire/esc_registers.h"
#include "wire/sii_crc.h"
#include "wire/sii_layout.h"

namespace {

constexpr uint32_t kFirstCategoryWord = 0x40;
constexpr uint16_t kEndOfCategories = 0xFFFF;
constexpr uint32_t kRegisterReplyWaitUs = 2000;
constexpr int kRegisterSends = 5;

template <typename T>
std::unique_ptr<T[]> Allocate(size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count > 0 ? count : 1]());
}

void SetStep(char (&step)[64], const char* text) { snprintf(step, sizeof step, "%s", text); }

// An engine job's failure as the status the one-slave write gives.
int WriteFailureStatus(int32_t job_status) {
    switch (job_status) {
        case kSiiNack: return EC_EEEPROM_NACK;
        case kSiiBusy: return EC_EEEPROM_BUSY;
        case kSiiNoAnswer: return EC_ENOFRAME;
        case kSiiNoMemory: return EC_ENOMEM;
        case kSiiBadJob: return EC_EINVAL;
        default: return EC_ETIMEOUT;
    }
}

// "read SII words: no answer" and the like: the step with the engine's reason.
void SetStepWithReason(char (&step)[64], const char* what, int32_t job_status) {
    snprintf(step, sizeof step, "%s: %s", what, SiiJobStatusText(job_status));
}

SiiJob Job(int position, uint32_t first, uint32_t count, uint16_t* words) {
    return SiiJob{static_cast<uint16_t>(position), static_cast<uint16_t>(first), static_cast<uint16_t>(count), words,
                  0, 0, 0};
}

int ReadJobs(ec_master* m, SiiJob* jobs, size_t count) {
    return count > 0 ? SiiReadMany(m->context.get(), jobs, static_cast<int>(count), nullptr) : 0;
}

int WriteJobs(ec_master* m, SiiJob* jobs, size_t count) {
    return count > 0 ? SiiWriteMany(m->context.get(), jobs, static_cast<int>(count), nullptr) : 0;
}

// Sets every entry's status and step to a refusal of the whole call and returns it.
template <typename Entry>
int RefuseAll(Entry* entries, size_t count, int code, const char* step) {
    if (entries != nullptr)
        for (size_t n = 0; n < count; n++) {
            entries[n].status = code;
            SetStep(entries[n].step, step);
        }
    return code;
}

// Positions on the last scan, and (where the call writes) each slave once.
template <typename Entry>
int CheckPositions(ec_master* m, Entry* entries, size_t count, bool once_each, const char* step) {
    for (size_t n = 0; n < count; n++) {
        if (EcCheckSlave(m, entries[n].position, step) != EC_OK) return EC_ENOSLAVE;
        if (!once_each) continue;
        for (size_t k = 0; k < n; k++)
            if (entries[k].position == entries[n].position) return EcFail(m, EC_EINVAL, entries[n].position, step);
    }
    return EC_OK;
}

// The first failed entry (list order) becomes the master's last error; the call's status.
template <typename Entry>
int Outcome(ec_master* m, Entry* entries, size_t count) {
    for (size_t n = 0; n < count; n++)
        if (entries[n].status != EC_OK) return EcFail(m, entries[n].status, entries[n].position, entries[n].step);
    return EC_OK;
}

// The EEPROM size of every slave in words, as EcSiiWordLimit gives it (0: unreadable):
// from the scan, else word 0x3E read now, for all slaves together.
bool WordLimits(ec_master* m, const int* positions, size_t count, uint32_t* limits) {
    std::unique_ptr<SiiJob[]> jobs = Allocate<SiiJob>(count);
    std::unique_ptr<uint16_t[]> sizes = Allocate<uint16_t>(count);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(count);
    if (!jobs || !sizes || !owners) return false;
    size_t used = 0;
    for (size_t n = 0; n < count; n++) {
        const ec_slave_info& info = m->info[positions[n]];
        limits[n] = 0;
        if ((info.parts_read & EC_PART_SII_SIZE) != 0 && info.sii_words != 0) {
            limits[n] = info.sii_words;
            continue;
        }
        jobs[used] = Job(positions[n], kSiiWordSize, 1, &sizes[used]);
        owners[used++] = n;
    }
    ReadJobs(m, jobs.get(), used);
    for (size_t k = 0; k < used; k++) {
        if (jobs[k].status != kSiiDone) continue;
        const uint32_t words = (static_cast<uint32_t>(sizes[k]) + 1) * 64;
        limits[owners[k]] = words > EC_SII_MAX_WORDS ? static_cast<uint32_t>(EC_SII_MAX_WORDS) : words;
    }
    return true;
}

// What the image calls need of a slave: position in, length and failure out.
struct ImageWalk {
    int position;
    uint32_t limit;   // EEPROM words
    uint32_t header;  // the next category header to read
    uint32_t length;  // the image's words, once known
    bool walking;
    int status;
    const char* step;
    int32_t reason;  // the engine's status of the read that failed
    uint16_t words[2];
};

void SetWalkStep(char (&step)[64], const ImageWalk& walk) {
    if (walk.reason != 0) SetStepWithReason(step, walk.step, walk.reason);
    else SetStep(step, walk.step);
}

// The images' lengths, one category header per slave and round, as the one-slave walk:
// up to and including the end marker, else the EEPROM size. Walks whose status is not
// EC_OK on entry are left alone.
bool MeasureImages(ec_master* m, ImageWalk* walks, size_t count) {
    std::unique_ptr<int[]> positions = Allocate<int>(count);
    std::unique_ptr<uint32_t[]> limits = Allocate<uint32_t>(count);
    std::unique_ptr<SiiJob[]> jobs = Allocate<SiiJob>(count);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(count);
    if (!positions || !limits || !jobs || !owners) return false;
    for (size_t n = 0; n < count; n++) positions[n] = walks[n].position;
    if (!WordLimits(m, positions.get(), count, limits.get())) return false;
    for (size_t n = 0; n < count; n++) {
        ImageWalk& walk = walks[n];
        walk.limit = limits[n];
        walk.header = kFirstCategoryWord;
        walk.walking = walk.status == EC_OK;
        if (walk.walking && walk.limit == 0) {
            walk.status = EC_EEEPROM_READ;
            walk.step = "read the EEPROM size (SII word 0x3E)";
            walk.walking = false;
        }
    }
    for (;;) {
        size_t used = 0;
        for (size_t n = 0; n < count; n++) {
            ImageWalk& walk = walks[n];
            if (!walk.walking) continue;
            if (walk.header >= walk.limit) {
                walk.length = walk.limit;
                walk.walking = false;
                continue;
            }
            const uint32_t words = walk.header + 1 < walk.limit ? 2 : 1;
            jobs[used] = Job(walk.position, walk.header, words, walk.words);
            owners[used++] = n;
        }
        if (used == 0) return true;
        ReadJobs(m, jobs.get(), used);
        for (size_t k = 0; k < used; k++) {
            ImageWalk& walk = walks[owners[k]];
            if (jobs[k].status != kSiiDone) {
                walk.status = EC_EEEPROM_READ;
                walk.step = "read an SII category header";
                walk.reason = jobs[k].status;
                walk.walking = false;
            } else if (walk.words[0] == kEndOfCategories) {
                walk.length = walk.header + 1;
                walk.walking = false;
            } else if (jobs[k].word_count < 2) {
                walk.length = walk.limit;
                walk.walking = false;
            } else {
                // Each step moves on by at least the two header words: the walk ends.
                walk.header += 2 + static_cast<uint32_t>(walk.words[1]);
            }
        }
    }
}

// Reads words 0..length-1 of every walk whose status is EC_OK into buffers[n].
bool ReadMeasuredImages(ec_master* m, ImageWalk* walks, uint16_t* const* buffers, size_t count) {
    std::unique_ptr<SiiJob[]> jobs = Allocate<SiiJob>(count);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(count);
    if (!jobs || !owners) return false;
    size_t used = 0;
    for (size_t n = 0; n < count; n++) {
        if (walks[n].status != EC_OK) continue;
        jobs[used] = Job(walks[n].position, 0, walks[n].length, buffers[n]);
        owners[used++] = n;
    }
    ReadJobs(m, jobs.get(), used);
    for (size_t k = 0; k < used; k++)
        if (jobs[k].status != kSiiDone) {
            walks[owners[k]].status = EC_EEEPROM_READ;
            walks[owners[k]].step = "read the SII image";
            walks[owners[k]].reason = jobs[k].status;
        }
    return true;
}

// Backs up the slaves of entries (status EC_OK on entry; the others are left alone):
// their images read together, then each written to its file.
bool BackupEntries(ec_master* m, ec_sii_backup_entry* entries, size_t count, const char* dir) {
    std::unique_ptr<ImageWalk[]> walks = Allocate<ImageWalk>(count);
    std::unique_ptr<std::unique_ptr<uint16_t[]>[]> images = Allocate<std::unique_ptr<uint16_t[]>>(count);
    std::unique_ptr<uint16_t*[]> buffers = Allocate<uint16_t*>(count);
    if (!walks || !images || !buffers) return false;
    for (size_t n = 0; n < count; n++) {
        entries[n].path[0] = '\0';
        walks[n] = ImageWalk{entries[n].position, 0, 0, 0, false, entries[n].status, "", 0, {0, 0}};
    }
    if (!MeasureImages(m, walks.get(), count)) return false;
    for (size_t n = 0; n < count; n++) {
        if (walks[n].status != EC_OK) continue;
        images[n] = Allocate<uint16_t>(walks[n].length);
        if (!images[n]) return false;
        buffers[n] = images[n].get();
    }
    if (!ReadMeasuredImages(m, walks.get(), buffers.get(), count)) return false;
    std::unique_ptr<size_t[]> lengths = Allocate<size_t>(count);
    if (!lengths) return false;
    for (size_t n = 0; n < count; n++) {
        ec_sii_backup_entry& entry = entries[n];
        lengths[n] = walks[n].length;
        if (entry.status != EC_OK || walks[n].status == EC_OK) continue;
        entry.status = walks[n].status;
        SetWalkStep(entry.step, walks[n]);
    }
    EcWriteBackupFiles(m, entries, buffers.get(), lengths.get(), count, dir);
    return true;
}

// The checks of ec_sii_check_image for a slave of the last scan (the caller holds the
// guard): the checksum over words 0-6, then vendor and product where the image has them.
int CheckImage(ec_master* m, int position, const uint16_t* words, size_t count, const char** step) {
    if ((words[kSiiWordChecksum] & 0xFF) != SiiHeaderCrc(words)) {
        *step = "check SII image checksum";
        return EC_ECHECKSUM;
    }
    if (count >= 12) {
        const ec_slave_info& info = m->info[position];
        const uint32_t vendor = words[8] | (static_cast<uint32_t>(words[9]) << 16);
        const uint32_t product = words[10] | (static_cast<uint32_t>(words[11]) << 16);
        if ((info.parts_read & EC_PART_IDENTITY) == 0 || vendor != info.vendor_id || product != info.product_code) {
            *step = "check SII image identity";
            return EC_EIDENTITY;
        }
    }
    return EC_OK;
}

}  // namespace

EC_EXPORT int ec_sii_read_many(ec_master* m, ec_sii_range* ranges, size_t count) {
    const char* kStep = "read SII words";
    EcCall call(m, false);
    if (call.status() != EC_OK) return RefuseAll(ranges, count, call.status(), kStep);
    if (ranges == nullptr || count == 0) return RefuseAll(ranges, count, EcFail(m, EC_EINVAL, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++) {
        const ec_sii_range& r = ranges[n];
        if (r.words == nullptr || r.count == 0 || r.count > EC_SII_MAX_WORDS || r.first_word >= EC_SII_MAX_WORDS)
            return RefuseAll(ranges, count, EcFail(m, EC_EINVAL, r.position, kStep), kStep);
    }
    if (int refused = CheckPositions(m, ranges, count, false, kStep); refused != EC_OK)
        return RefuseAll(ranges, count, refused, kStep);
    std::unique_ptr<int[]> positions = Allocate<int>(count);
    std::unique_ptr<uint32_t[]> limits = Allocate<uint32_t>(count);
    std::unique_ptr<SiiJob[]> jobs = Allocate<SiiJob>(count);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(count);
    if (!positions || !limits || !jobs || !owners)
        return RefuseAll(ranges, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++) positions[n] = ranges[n].position;
    if (!WordLimits(m, positions.get(), count, limits.get()))
        return RefuseAll(ranges, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);

    size_t used = 0;
    for (size_t n = 0; n < count; n++) {
        ec_sii_range& r = ranges[n];
        r.status = EC_OK;
        r.words_read = 0;
        r.step[0] = '\0';
        if (limits[n] == 0) {
            r.status = EC_EEEPROM_READ;
            SetStep(r.step, "read the EEPROM size (SII word 0x3E)");
        } else if (r.first_word + r.count > limits[n]) {
            r.status = EC_EINVAL;
            SetStep(r.step, "read SII words past the EEPROM's end");
        } else {
            jobs[used] = Job(r.position, r.first_word, r.count, r.words);
            owners[used++] = n;
        }
    }
    ReadJobs(m, jobs.get(), used);
    for (size_t k = 0; k < used; k++) {
        ec_sii_range& r = ranges[owners[k]];
        r.words_read = jobs[k].words_done;
        if (jobs[k].status == kSiiDone) continue;
        r.status = EC_EEEPROM_READ;
        SetStepWithReason(r.step, kStep, jobs[k].status);
    }
    return Outcome(m, ranges, count);
}

EC_EXPORT int ec_sii_read_image_many(ec_master* m, ec_sii_image_entry* images, size_t count) {
    const char* kStep = "read the SII image";
    EcCall call(m, false);
    if (call.status() != EC_OK) return RefuseAll(images, count, call.status(), kStep);
    if (images == nullptr || count == 0) return RefuseAll(images, count, EcFail(m, EC_EINVAL, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++)
        if (images[n].words == nullptr || images[n].capacity == 0)
            return RefuseAll(images, count, EcFail(m, EC_EINVAL, images[n].position, kStep), kStep);
    if (int refused = CheckPositions(m, images, count, false, kStep); refused != EC_OK)
        return RefuseAll(images, count, refused, kStep);
    std::unique_ptr<ImageWalk[]> walks = Allocate<ImageWalk>(count);
    std::unique_ptr<uint16_t*[]> buffers = Allocate<uint16_t*>(count);
    if (!walks || !buffers) return RefuseAll(images, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++) {
        walks[n] = ImageWalk{images[n].position, 0, 0, 0, false, EC_OK, "", 0, {0, 0}};
        buffers[n] = images[n].words;
        images[n].count = 0;
    }
    if (!MeasureImages(m, walks.get(), count))
        return RefuseAll(images, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++)
        if (walks[n].status == EC_OK && walks[n].length > images[n].capacity) {
            walks[n].status = EC_ETOOBIG;
            walks[n].step = kStep;
            images[n].count = walks[n].length;  // the words needed
        }
    if (!ReadMeasuredImages(m, walks.get(), buffers.get(), count))
        return RefuseAll(images, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++) {
        ec_sii_image_entry& image = images[n];
        image.status = walks[n].status;
        if (image.status == EC_OK) image.step[0] = '\0';
        else SetWalkStep(image.step, walks[n]);
        if (image.status == EC_OK) image.count = walks[n].length;
        else if (image.status != EC_ETOOBIG) image.count = 0;
    }
    return Outcome(m, images, count);
}

EC_EXPORT int ec_sii_backup_many(ec_master* m, ec_sii_backup_entry* entries, size_t count, const char* dir) {
    const char* kStep = "back up the SII image";
    EcCall call(m, false);
    if (call.status() != EC_OK) return RefuseAll(entries, count, call.status(), kStep);
    if (entries == nullptr || count == 0) return RefuseAll(entries, count, EcFail(m, EC_EINVAL, 0, kStep), kStep);
    if (int refused = CheckPositions(m, entries, count, false, kStep); refused != EC_OK)
        return RefuseAll(entries, count, refused, kStep);
    for (size_t n = 0; n < count; n++) {
        entries[n].status = EC_OK;
        entries[n].step[0] = '\0';
    }
    if (!BackupEntries(m, entries, count, dir)) {
        // Files already made stay: each is a whole, flushed backup.
        for (size_t n = 0; n < count; n++)
            if (entries[n].path[0] == '\0' && entries[n].status == EC_OK) {
                entries[n].status = EC_ENOMEM;
                SetStep(entries[n].step, kStep);
            }
    }
    return Outcome(m, entries, count);
}

namespace {

// One slave's restore as it goes.
struct RestoreWork {
    uint16_t* current;   // the EEPROM's words, then the read-back of each run
    uint64_t* differ;    // one bit per image word: the EEPROM holds another value
    uint32_t next_word;  // where the search for the next run of differing words starts
    bool going;          // more runs to write
    bool wrote;
};

bool Differs(const RestoreWork& w, uint32_t word) { return (w.differ[word / 64] >> (word % 64) & 1u) != 0; }

}  // namespace

EC_EXPORT int ec_sii_restore_many(ec_master* m, ec_sii_restore_entry* entries, size_t count, unsigned flags,
                                  const char* backup_dir) {
    const char* kStep = "restore SII image";
    EcCall call(m, false);
    if (call.status() != EC_OK) return RefuseAll(entries, count, call.status(), kStep);
    if (entries == nullptr || count == 0) return RefuseAll(entries, count, EcFail(m, EC_EINVAL, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++)
        if (entries[n].words == nullptr || entries[n].count < EC_SII_HEADER_WORDS ||
            entries[n].count > EC_SII_MAX_WORDS)
            return RefuseAll(entries, count, EcFail(m, EC_EINVAL, entries[n].position, kStep), kStep);
    if (int refused = CheckPositions(m, entries, count, true, kStep); refused != EC_OK)
        return RefuseAll(entries, count, refused, kStep);

    std::unique_ptr<RestoreWork[]> work = Allocate<RestoreWork>(count);
    std::unique_ptr<std::unique_ptr<uint16_t[]>[]> current = Allocate<std::unique_ptr<uint16_t[]>>(count);
    std::unique_ptr<std::unique_ptr<uint64_t[]>[]> differ = Allocate<std::unique_ptr<uint64_t[]>>(count);
    std::unique_ptr<int[]> positions = Allocate<int>(count);
    std::unique_ptr<uint32_t[]> limits = Allocate<uint32_t>(count);
    std::unique_ptr<SiiJob[]> jobs = Allocate<SiiJob>(count);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(count);
    std::unique_ptr<ec_sii_backup_entry[]> backups = Allocate<ec_sii_backup_entry>(count);
    if (!work || !current || !differ || !positions || !limits || !jobs || !owners || !backups)
        return RefuseAll(entries, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++) {
        current[n] = Allocate<uint16_t>(entries[n].count);
        differ[n] = Allocate<uint64_t>((entries[n].count + 63) / 64);
        if (!current[n] || !differ[n]) return RefuseAll(entries, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
        work[n] = RestoreWork{current[n].get(), differ[n].get(), 0, false, false};
        positions[n] = entries[n].position;
    }
    if (!WordLimits(m, positions.get(), count, limits.get()))
        return RefuseAll(entries, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);

    // The target and the image, judged whole before any word is written.
    for (size_t n = 0; n < count; n++) {
        ec_sii_restore_entry& e = entries[n];
        e.report = ec_sii_restore_report{};
        e.report.first_failed_word = -1;
        e.status = EC_OK;
        e.step[0] = '\0';
        const char* step = "";
        if (limits[n] == 0) {
            e.status = EC_EEEPROM_READ;
            step = "read the EEPROM size (SII word 0x3E)";
        } else if (e.count > limits[n]) {
            e.status = EC_ETOOBIG;
            step = "fit the image into the slave's EEPROM";
        } else if ((flags & EC_FORCE) == 0) {
            e.status = CheckImage(m, e.position, e.words, e.count, &step);
        }
        if (e.status != EC_OK) SetStep(e.step, step);
    }

    // Compare.
    size_t used = 0;
    for (size_t n = 0; n < count; n++) {
        if (entries[n].status != EC_OK) continue;
        jobs[used] = Job(entries[n].position, 0, static_cast<uint32_t>(entries[n].count), work[n].current);
        owners[used++] = n;
    }
    ReadJobs(m, jobs.get(), used);
    for (size_t k = 0; k < used; k++) {
        ec_sii_restore_entry& e = entries[owners[k]];
        RestoreWork& w = work[owners[k]];
        if (jobs[k].status != kSiiDone) {
            e.status = EC_EEEPROM_READ;
            SetStepWithReason(e.step, "read SII words", jobs[k].status);
            continue;
        }
        e.report.words_compared = static_cast<unsigned>(e.count);
        for (uint32_t word = 0; word < e.count; word++)
            if (w.current[word] != e.words[word]) {
                w.differ[word / 64] |= uint64_t{1} << (word % 64);
                e.report.words_differing++;
            }
        w.going = (flags & EC_DRY_RUN) == 0 && e.report.words_differing > 0;
    }

    // No backup, no write.
    used = 0;
    for (size_t n = 0; n < count; n++) {
        if (!work[n].going) continue;
        backups[used] = ec_sii_backup_entry{};
        backups[used].position = entries[n].position;
        owners[used++] = n;
    }
    if (used > 0 && !BackupEntries(m, backups.get(), used, backup_dir))
        for (size_t k = 0; k < used; k++)
            if (backups[k].path[0] == '\0' && backups[k].status == EC_OK) backups[k].status = EC_ENOMEM;
    for (size_t k = 0; k < used; k++) {
        ec_sii_restore_entry& e = entries[owners[k]];
        if (backups[k].status != EC_OK) {
            e.status = backups[k].status;
            SetStep(e.step, backups[k].step[0] != '\0' ? backups[k].step : "back up the SII image");
            work[owners[k]].going = false;
            continue;
        }
        snprintf(e.report.backup_path, sizeof e.report.backup_path, "%s", backups[k].path);
    }

    // Runs of differing words in ascending order (word 7 after words 0-6): each run
    // written on every slave, then read back, before the next.
    std::unique_ptr<uint32_t[]> run_first = Allocate<uint32_t>(count);
    if (!run_first) return RefuseAll(entries, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
    for (;;) {
        used = 0;
        for (size_t n = 0; n < count; n++) {
            RestoreWork& w = work[n];
            if (!w.going) continue;
            const uint32_t total = static_cast<uint32_t>(entries[n].count);
            uint32_t word = w.next_word;
            while (word < total && !Differs(w, word)) word++;
            if (word >= total) {
                w.going = false;
                continue;
            }
            uint32_t end = word;
            while (end < total && Differs(w, end)) end++;
            run_first[n] = word;
            w.next_word = end;
            w.wrote = true;
            // The engine only reads a write job's words.
            jobs[used] = Job(entries[n].position, word, end - word, const_cast<uint16_t*>(entries[n].words + word));
            owners[used++] = n;
        }
        if (used == 0) break;
        WriteJobs(m, jobs.get(), used);
        size_t written = 0;
        for (size_t k = 0; k < used; k++) {
            ec_sii_restore_entry& e = entries[owners[k]];
            e.report.words_written += jobs[k].words_done;
            if (jobs[k].status != kSiiDone) {
                e.status = WriteFailureStatus(jobs[k].status);
                SetStepWithReason(e.step, "write SII word", jobs[k].status);
                e.report.first_failed_word = static_cast<int>(run_first[owners[k]] + jobs[k].words_done);
                work[owners[k]].going = false;
                continue;
            }
            // Read back into the same place of the compare buffer.
            RestoreWork& w = work[owners[k]];
            jobs[written] = Job(e.position, jobs[k].first_word, jobs[k].word_count, w.current + jobs[k].first_word);
            owners[written++] = owners[k];
        }
        ReadJobs(m, jobs.get(), written);
        for (size_t k = 0; k < written; k++) {
            ec_sii_restore_entry& e = entries[owners[k]];
            RestoreWork& w = work[owners[k]];
            const uint32_t first = jobs[k].first_word, end = first + jobs[k].word_count;
            if (jobs[k].status != kSiiDone) {
                e.status = EC_EVERIFY;
                SetStep(e.step, "read back SII words");
                e.report.first_failed_word = static_cast<int>(first);  // the read-back itself failed
                w.going = false;
                continue;
            }
            uint32_t word = first;
            while (word < end && w.current[word] == e.words[word]) word++;
            e.report.words_verified += word - first;
            if (word < end) {
                e.status = EC_EVERIFY;
                SetStep(e.step, "read back SII words");
                e.report.first_failed_word = static_cast<int>(word);
                w.going = false;
            }
        }
    }
    for (size_t n = 0; n < count; n++)
        if (work[n].wrote) EcSiiCacheInvalidate(m, entries[n].position);
    return Outcome(m, entries, count);
}

namespace {

// One word per command, as the one-slave path reads them: an unreadable word costs no
// neighbour.
enum { kHeaderJobs = EC_SII_HEADER_WORDS, kHeaderJobWords = 1 };

// One slave's alias write as it goes.
struct AliasWork {
    uint16_t image[EC_SII_HEADER_WORDS];
    bool write;
};

// Words 0-7 of the slaves whose `read` is set into words[n], one word at a time (a failed word
// does not keep the others from being read; unread words are 0, as in the one-slave
// report); masks[n] gets bit k for each word k read. False when out of memory.
bool ReadHeaders(ec_master* m, const ec_alias_entry* entries, size_t count, const bool* read, uint16_t* const* words,
                 unsigned* masks) {
    std::unique_ptr<SiiJob[]> jobs = Allocate<SiiJob>(count * kHeaderJobs);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(count * kHeaderJobs);
    if (!jobs || !owners) return false;
    size_t used = 0;
    for (size_t n = 0; n < count; n++) {
        masks[n] = 0;
        if (!read[n]) continue;
        memset(words[n], 0, EC_SII_HEADER_WORDS * sizeof(uint16_t));
        for (uint32_t j = 0; j < kHeaderJobs; j++) {
            jobs[used] = Job(entries[n].position, j * kHeaderJobWords, kHeaderJobWords, words[n] + j * kHeaderJobWords);
            owners[used++] = n;
        }
    }
    ReadJobs(m, jobs.get(), used);
    for (size_t k = 0; k < used; k++) {
        for (unsigned w = 0; w < jobs[k].words_done; w++) masks[owners[k]] |= 1u << (jobs[k].first_word + w);
        for (unsigned w = jobs[k].words_done; w < jobs[k].word_count; w++) words[owners[k]][jobs[k].first_word + w] = 0;
    }
    return true;
}

// Register 0x0012 of the slaves whose `read` is set, every slave's read in shared frames.
bool ReadAliasRegisters(ec_master* m, const ec_alias_entry* entries, size_t count, const bool* read,
                        uint16_t* values, bool* answered) {
    std::unique_ptr<PackedDatagram[]> list = Allocate<PackedDatagram>(count);
    std::unique_ptr<uint8_t[]> bytes = Allocate<uint8_t>(2 * count);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(count);
    if (!list || !bytes || !owners) return false;
    int used = 0;
    for (size_t n = 0; n < count; n++) {
        answered[n] = false;
        if (!read[n]) continue;
        const uint16_t station = m->context->slave_table[entries[n].position].config_address;
        list[used] = PackedDatagram{CMD_FPRD, station, kRegStationAlias, 2, nullptr, &bytes[2 * used], 0};
        owners[used++] = n;
    }
    if (used == 0) return true;
    PackedExchangeUntilAnswered(&m->context->port, list.get(), used, kRegisterReplyWaitUs, kRegisterSends, nullptr);
    for (int k = 0; k < used; k++) {
        if (list[k].result <= 0) continue;
        answered[owners[k]] = true;
        values[owners[k]] = static_cast<uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
    }
    return true;
}

}  // namespace

EC_EXPORT int ec_alias_set_many(ec_master* m, ec_alias_entry* entries, size_t count, unsigned flags) {
    const char* kStep = "set station alias";
    EcCall call(m, false);
    if (call.status() != EC_OK) return RefuseAll(entries, count, call.status(), kStep);
    if (entries == nullptr || count == 0) return RefuseAll(entries, count, EcFail(m, EC_EINVAL, 0, kStep), kStep);
    if (int refused = CheckPositions(m, entries, count, true, kStep); refused != EC_OK)
        return RefuseAll(entries, count, refused, kStep);
    std::unique_ptr<AliasWork[]> work = Allocate<AliasWork>(count);
    std::unique_ptr<bool[]> selected = Allocate<bool>(count);
    std::unique_ptr<uint16_t*[]> words = Allocate<uint16_t*>(count);
    std::unique_ptr<unsigned[]> masks = Allocate<unsigned>(count);
    std::unique_ptr<SiiJob[]> jobs = Allocate<SiiJob>(2 * count);
    std::unique_ptr<size_t[]> owners = Allocate<size_t>(2 * count);
    std::unique_ptr<uint16_t[]> registers = Allocate<uint16_t>(count);
    std::unique_ptr<bool[]> registers_read = Allocate<bool>(count);
    if (!work || !selected || !words || !masks || !jobs || !owners || !registers || !registers_read)
        return RefuseAll(entries, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);

    // Words 0-7 first: the checksum covers 0-6, and the report keeps them.
    for (size_t n = 0; n < count; n++) {
        entries[n].status = EC_OK;
        entries[n].step[0] = '\0';
        entries[n].report = ec_alias_report{};
        selected[n] = true;
        words[n] = entries[n].report.before;
    }
    if (!ReadHeaders(m, entries, count, selected.get(), words.get(), masks.get()))
        return RefuseAll(entries, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);

    size_t used = 0;
    for (size_t n = 0; n < count; n++) {
        ec_alias_entry& e = entries[n];
        ec_alias_report& r = e.report;
        AliasWork& w = work[n];
        const bool word7_read = (masks[n] & (1u << kSiiChecksumWord)) != 0;
        r.stored_checksum_ok = word7_read && (r.before[kSiiChecksumWord] & 0xFF) == AliasHeaderChecksum(r.before);
        memcpy(w.image, r.before, sizeof w.image);
        w.image[kSiiAliasWord] = e.value;
        w.image[kSiiChecksumWord] =
            static_cast<uint16_t>((r.before[kSiiChecksumWord] & 0xFF00) | AliasHeaderChecksum(w.image));
        w.write = false;
        if ((masks[n] & 0x7F) != 0x7F) {
            // A word entering the checksum as 0 would leave a checksum that does not match.
            e.status = EC_EEEPROM_READ;
            SetStep(e.step, "read SII words 0-6");
        } else if (!r.stored_checksum_ok && (flags & EC_FORCE) == 0) {
            e.status = EC_ECHECKSUM;
            SetStep(e.step, "check the stored header checksum");
        } else {
            // Word 4, then word 7: the engine starts a slave's second write job only once
            // the first was confirmed, and skips it when the first failed.
            w.write = true;
            jobs[used] = Job(e.position, kSiiAliasWord, 1, &w.image[kSiiAliasWord]);
            owners[used++] = n;
            jobs[used] = Job(e.position, kSiiChecksumWord, 1, &w.image[kSiiChecksumWord]);
            owners[used++] = n;
        }
    }
    WriteJobs(m, jobs.get(), used);
    for (size_t k = 0; k + 1 < used; k += 2) {
        ec_alias_entry& e = entries[owners[k]];
        ec_alias_report& r = e.report;
        const SiiJob& alias_job = jobs[k];
        const SiiJob& checksum_job = jobs[k + 1];
        r.alias_written = work[owners[k]].image[kSiiAliasWord];
        r.checksum_written = work[owners[k]].image[kSiiChecksumWord];
        r.alias_acknowledged = alias_job.status == kSiiDone ? 1 : 0;
        r.checksum_acknowledged = checksum_job.status == kSiiDone ? 1 : 0;
        r.attempts = alias_job.commands + checksum_job.commands;
        if (!r.alias_acknowledged) {
            e.status = WriteFailureStatus(alias_job.status);
            SetStepWithReason(e.step, "write SII word 4 (alias)", alias_job.status);
        } else if (!r.checksum_acknowledged) {
            e.status = WriteFailureStatus(checksum_job.status);
            SetStepWithReason(e.step, "write SII word 7 (checksum)", checksum_job.status);
        }
    }

    // Read back wherever a write was tried, also after a failed one: the caller learns
    // what the EEPROM holds.
    for (size_t n = 0; n < count; n++) {
        selected[n] = work[n].write;
        words[n] = entries[n].report.after;
    }
    if (!ReadHeaders(m, entries, count, selected.get(), words.get(), masks.get()) ||
        !ReadAliasRegisters(m, entries, count, selected.get(), registers.get(), registers_read.get()))
        return RefuseAll(entries, count, EcFail(m, EC_ENOMEM, 0, kStep), kStep);
    for (size_t n = 0; n < count; n++) {
        if (!work[n].write) continue;
        ec_alias_entry& e = entries[n];
        ec_alias_report& r = e.report;
        r.after_read = masks[n];
        r.verified = r.after_read == 0xFF && memcmp(r.after, work[n].image, sizeof r.after) == 0 ? 1 : 0;
        if (e.status == EC_OK && !r.verified) {
            e.status = EC_EVERIFY;
            SetStep(e.step, "read back SII words 0-7");
        }
        r.register_read = registers_read[n] ? 1 : 0;
        r.alias_register = registers_read[n] ? registers[n] : 0;
        r.register_shows_new = registers_read[n] && registers[n] == e.value ? 1 : 0;
        EcSiiCacheInvalidate(m, e.position);
        if (e.status == EC_OK) m->info[e.position].sii_alias = e.value;
    }
    return Outcome(m, entries, count);
}
