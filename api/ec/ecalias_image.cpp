// libecalias: a slave's whole SII image, and backups of it in files.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "api/ec/ecalias_internal.h"
#include "api/ec/ecalias_sii_files.h"

namespace {

constexpr uint32_t kFirstCategoryWord = 0x40;
constexpr uint16_t kEndOfCategories = 0xFFFF;
constexpr int kMaxNameSuffix = 999;

// A file failure: EC_EFILE with the file and the system's reason in the detail.
int FileFailure(ec_master* m, int position, const char* step, const char* path, int error_number) {
    EcFail(m, EC_EFILE, position, step);
    std::lock_guard<std::mutex> hold(m->detail_lock);
    snprintf(m->last.adapter_text, sizeof m->last.adapter_text, "%s: %s", path, strerror(error_number));
    return EC_EFILE;
}

// The image's length in words: the category chain from word 0x40 on is walked by its
// headers up to the end marker (included); without one, the EEPROM size. The caller
// holds the call guard.
int ImageLength(ec_master* m, int position, uint32_t* length) {
    const uint32_t limit = EcSiiWordLimit(m, position);
    if (limit == 0) return EcFail(m, EC_EEEPROM_READ, position, "read the EEPROM size (SII word 0x3E)");
    uint32_t word = kFirstCategoryWord;
    while (word < limit) {
        uint16_t header[2] = {0, 0};
        const uint32_t count = word + 1 < limit ? 2 : 1;
        if (EcSiiReadWords(m, position, word, count, header, nullptr) != EC_OK)
            return EcFail(m, EC_EEEPROM_READ, position, "read an SII category header");
        if (header[0] == kEndOfCategories) {
            *length = word + 1;
            return EC_OK;
        }
        if (count < 2) break;
        // Each step moves on by at least the two header words: the walk ends.
        word += 2 + static_cast<uint32_t>(header[1]);
    }
    *length = limit;
    return EC_OK;
}

// Reads the image into words; the caller holds the call guard.
int ReadImage(ec_master* m, int position, uint16_t* words, size_t capacity, size_t* count) {
    uint32_t length = 0;
    const int measured = ImageLength(m, position, &length);
    if (measured != EC_OK) return measured;
    if (length > capacity) {
        *count = length;
        return EcFail(m, EC_ETOOBIG, position, "read the SII image");
    }
    if (EcSiiReadWords(m, position, 0, length, words, nullptr) != EC_OK)
        return EcFail(m, EC_EEEPROM_READ, position, "read the SII image");
    *count = length;
    return EC_OK;
}

uint32_t Long(const uint16_t* words, size_t count, uint32_t first) {
    if (first + 1 >= count) return 0;
    return words[first] | (static_cast<uint32_t>(words[first + 1]) << 16);
}

// Writes all of data to fd; false with errno set otherwise.
bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (done == 0) {
            errno = EIO;
            return false;
        }
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

EC_EXPORT int ec_sii_read_image(ec_master* m, int position, uint16_t* words, size_t capacity, size_t* count) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (count == nullptr || (words == nullptr && capacity > 0)) return EcFail(m, EC_EINVAL, position, "read the SII image");
    if (EcCheckSlave(m, position, "read the SII image") != EC_OK) return EC_ENOSLAVE;
    return ReadImage(m, position, words, capacity, count);
}

EC_EXPORT int ec_sii_backup(ec_master* m, int position, const char* dir, char* path, size_t path_size) {
    EcCall call(m, false);
    if (call.status() != EC_OK) return call.status();
    if (path == nullptr && path_size > 0) return EcFail(m, EC_EINVAL, position, "back up the SII image");
    if (EcCheckSlave(m, position, "back up the SII image") != EC_OK) return EC_ENOSLAVE;
    std::unique_ptr<uint16_t[]> words(new (std::nothrow) uint16_t[EC_SII_MAX_WORDS]);
    if (!words) return EcFail(m, EC_ENOMEM, position, "back up the SII image");
    size_t count = 0;
    const int read = ReadImage(m, position, words.get(), EC_SII_MAX_WORDS, &count);
    if (read != EC_OK) return read;
    return EcWriteBackupFile(m, position, words.get(), count, dir, path, path_size);
}

namespace {

// A backup file being made: created and written, not yet flushed.
struct BackupFile {
    int fd = -1;
    char file[EC_PATH_BYTES];
};

// Names, creates (exclusively) and writes one backup file; on failure nothing is left
// and the failure is recorded.
int CreateBackupFile(ec_master* m, int position, const uint16_t* words, size_t count, const char* folder,
                     size_t path_size, BackupFile* out) {
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[count * 2 + 1]);
    if (!bytes) return EcFail(m, EC_ENOMEM, position, "back up the SII image");
    for (size_t n = 0; n < count; n++) {
        bytes[2 * n] = static_cast<uint8_t>(words[n]);
        bytes[2 * n + 1] = static_cast<uint8_t>(words[n] >> 8);
    }

    // The name tells whose image it is and when it was taken: from the image itself.
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const size_t folder_length = strlen(folder);
    const char* separator = folder_length > 0 && folder[folder_length - 1] == '/' ? "" : "/";
    // Room for "-999.bin" behind the base name in a path of EC_PATH_BYTES.
    char base[EC_PATH_BYTES - 16];
    const int base_length =
        snprintf(base, sizeof base, "%s%sslave%d-vendor%08x-product%08x-serial%08x-%s", folder, separator, position,
                 Long(words, count, 8), Long(words, count, 10), Long(words, count, 14), stamp);
    if (base_length < 0 || static_cast<size_t>(base_length) >= sizeof base)
        return FileFailure(m, position, "name the backup file", folder, ENAMETOOLONG);

    char* file = out->file;
    int fd = -1;
    for (int suffix = 1; suffix <= kMaxNameSuffix; suffix++) {
        if (suffix == 1)
            snprintf(file, sizeof out->file, "%s.bin", base);
        else
            snprintf(file, sizeof out->file, "%s-%d.bin", base, suffix);
        // Exclusive: an existing file is never opened, let alone overwritten.
        fd = open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) return FileFailure(m, position, "create the backup file", file, errno);
    if (path_size > 0 && strlen(file) + 1 > path_size) {
        close(fd);
        unlink(file);
        return EcFail(m, EC_ETOOBIG, position, "return the backup file's path");
    }
    if (!WriteAll(fd, bytes.get(), count * 2)) {
        const int error_number = errno;
        close(fd);
        unlink(file);
        return FileFailure(m, position, "write the backup file", file, error_number);
    }
    out->fd = fd;
    return EC_OK;
}

// A backup counts only once it is whole on disk: flushes and closes the file; anything
// less removes it. path gets the file's path.
int FinishBackupFile(ec_master* m, int position, BackupFile* f, char* path, size_t path_size) {
    const char* step = nullptr;
    int error_number = 0;
    if (fsync(f->fd) != 0) {
        step = "flush the backup file to disk";
        error_number = errno;
    }
    if (close(f->fd) != 0 && step == nullptr) {
        step = "close the backup file";
        error_number = errno;
    }
    f->fd = -1;
    if (step != nullptr) {
        unlink(f->file);
        return FileFailure(m, position, step, f->file, error_number);
    }
    if (path_size > 0) snprintf(path, path_size, "%s", f->file);
    return EC_OK;
}

// The directory entries too, so the files survive a power loss right after.
void SyncFolder(const char* folder) {
    const int dir_fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
}

const char* Folder(const char* dir) { return dir != nullptr && dir[0] != '\0' ? dir : "."; }

// Files open at once while a batch is written (well below the usual limit of 1024).
constexpr size_t kBackupBatch = 64;

}  // namespace

int EcWriteBackupFile(ec_master* m, int position, const uint16_t* words, size_t count, const char* dir, char* path,
                      size_t path_size) {
    BackupFile f;
    int status = CreateBackupFile(m, position, words, count, Folder(dir), path_size, &f);
    if (status == EC_OK) status = FinishBackupFile(m, position, &f, path, path_size);
    if (status == EC_OK) SyncFolder(Folder(dir));
    return status;
}

void EcWriteBackupFiles(ec_master* m, ec_sii_backup_entry* entries, const uint16_t* const* words,
                        const size_t* counts, size_t count, const char* dir) {
    std::unique_ptr<BackupFile[]> files(new (std::nothrow) BackupFile[kBackupBatch]);
    auto failed = [&](ec_sii_backup_entry& entry, int status) {
        entry.status = status;
        entry.path[0] = '\0';
        std::lock_guard<std::mutex> hold(m->detail_lock);
        snprintf(entry.step, sizeof entry.step, "%s", m->last.step);
    };
    bool any = false;
    for (size_t first = 0; first < count; first += kBackupBatch) {
        const size_t end = count - first < kBackupBatch ? count : first + kBackupBatch;
        int sync_fd = -1;
        for (size_t n = first; n < end; n++) {
            ec_sii_backup_entry& entry = entries[n];
            if (entry.status != EC_OK) continue;
            if (!files) {
                failed(entry, EcFail(m, EC_ENOMEM, entry.position, "back up the SII image"));
                continue;
            }
            BackupFile& f = files[n - first];
            f.fd = -1;
            const int status =
                CreateBackupFile(m, entry.position, words[n], counts[n], Folder(dir), sizeof entry.path, &f);
            if (status != EC_OK) failed(entry, status);
            else if (sync_fd < 0) sync_fd = f.fd;
        }
        // One flush of the file system for the whole batch: each file's own flush then
        // finds nothing left to write (a flush per file cost a journal commit each).
        if (sync_fd >= 0) syncfs(sync_fd);
        for (size_t n = first; n < end; n++) {
            ec_sii_backup_entry& entry = entries[n];
            if (entry.status != EC_OK || !files) continue;
            const int status = FinishBackupFile(m, entry.position, &files[n - first], entry.path, sizeof entry.path);
            if (status != EC_OK) failed(entry, status);
            else any = true;
        }
    }
    if (any) SyncFolder(Folder(dir));
}
