#include "tool/cli/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Reason(const char* what, const char* path) { return std::string(what) + " " + path + ": " + strerror(errno); }

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t done = write(fd, bytes, count);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

bool ImageFileRead(const char* path, std::vector<uint16_t>* words, std::string* error) {
    words->clear();
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = Reason("cannot read", path);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = std::string(path) + " is not a regular file: give an SII image file";
        close(fd);
        return false;
    }
    // One byte more than the limit tells a too-large file apart whatever stat said.
    std::vector<uint8_t> bytes(kImageFileMaxBytes + 1);
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = Reason("cannot read", path);
            close(fd);
            return false;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got > kImageFileMaxBytes) {
        *error = std::string(path) + " is larger than 64 KiB (65536 bytes), the largest SII EEPROM: not an SII image";
        return false;
    }
    if (got < kImageFileMinBytes) {
        *error = std::string(path) + " holds " + std::to_string(got) +
                 " bytes; an SII image has at least 16 (words 0-7)";
        return false;
    }
    if (got % 2 != 0) {
        *error = std::string(path) + " holds an odd number of bytes (" + std::to_string(got) +
                 "); an SII image is made of 16-bit words";
        return false;
    }
    words->resize(got / 2);
    for (size_t n = 0; n < words->size(); n++)
        (*words)[n] = static_cast<uint16_t>(bytes[2 * n] | (bytes[2 * n + 1] << 8));
    return true;
}

namespace {

// A new image file on its way: written to a temporary file beside its path.
struct PendingImage {
    std::string path;
    std::string temporary;
    int fd = -1;
};

// Checks the path is free, and writes the image to a temporary file beside it.
bool BeginImageFile(const char* path, const uint16_t* words, size_t count, PendingImage* pending,
                    std::string* error) {
    struct stat info {};
    if (lstat(path, &info) == 0) {
        *error = std::string(path) + " exists: choose another name or remove it first";
        return false;
    }
    std::vector<uint8_t> bytes(2 * count);
    for (size_t n = 0; n < count; n++) {
        bytes[2 * n] = static_cast<uint8_t>(words[n]);
        bytes[2 * n + 1] = static_cast<uint8_t>(words[n] >> 8);
    }
    pending->path = path;
    pending->temporary = std::string(path) + ".partXXXXXX";
    pending->fd = mkstemp(pending->temporary.data());
    if (pending->fd < 0) {
        *error = Reason("cannot create a file beside", path);
        return false;
    }
    if (!WriteAll(pending->fd, bytes.data(), bytes.size())) {
        *error = Reason("cannot write", path);
        close(pending->fd);
        unlink(pending->temporary.c_str());
        pending->fd = -1;
        return false;
    }
    return true;
}

// Flushes the temporary file to disk and links it into place: only then has the image
// its name.
bool FinishImageFile(PendingImage* pending, std::string* error) {
    const char* path = pending->path.c_str();
    bool ok = fsync(pending->fd) == 0;
    const int saved = errno;
    if (close(pending->fd) != 0) ok = false;
    pending->fd = -1;
    if (ok && fchmodat(AT_FDCWD, pending->temporary.c_str(), 0644, 0) != 0) ok = false;
    // link() fails when the name exists meanwhile: the existing file stays.
    if (ok && link(pending->temporary.c_str(), path) != 0) {
        *error = Reason(errno == EEXIST ? "will not replace" : "cannot write", path);
        unlink(pending->temporary.c_str());
        return false;
    }
    unlink(pending->temporary.c_str());
    if (!ok) {
        errno = saved;
        *error = Reason("cannot write", path);
        return false;
    }
    return true;
}

// Files open at once while a batch is written.
constexpr size_t kImageBatch = 64;

}  // namespace

bool ImageFileWrite(const char* path, const uint16_t* words, size_t count, std::string* error) {
    PendingImage pending;
    return BeginImageFile(path, words, count, &pending, error) && FinishImageFile(&pending, error);
}

void ImageFilesWrite(const std::vector<ImageFileJob>& jobs, std::vector<std::string>* errors) {
    errors->assign(jobs.size(), "");
    std::vector<PendingImage> pending(jobs.size());
    for (size_t first = 0; first < jobs.size(); first += kImageBatch) {
        const size_t end = jobs.size() - first < kImageBatch ? jobs.size() : first + kImageBatch;
        int sync_fd = -1;
        for (size_t n = first; n < end; n++) {
            const ImageFileJob& job = jobs[n];
            if (!BeginImageFile(job.path.c_str(), job.words, job.count, &pending[n], &(*errors)[n])) continue;
            if (sync_fd < 0) sync_fd = pending[n].fd;
        }
        // One flush of the file system for the batch: each file's own flush then finds
        // nothing left to write (a flush per file cost a journal commit each).
        if (sync_fd >= 0) syncfs(sync_fd);
        for (size_t n = first; n < end; n++)
            if (pending[n].fd >= 0) FinishImageFile(&pending[n], &(*errors)[n]);
    }
}
