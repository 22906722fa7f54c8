// One master per adapter: the lock file behind every capture open (see adapter_lock.h).
#include "link/adapter_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "link/capture.h"
#include "link/clock.h"

namespace {

constexpr const char* kRunLockDirectory = "/run/lock/ecalias";
constexpr const char* kTmpLockDirectory = "/tmp/ecalias-locks";
constexpr const char* kWhy = "two masters on one segment take each other's replies";

// Longest lock file name; NAME_MAX is 255 and the adapter names of Linux are short.
constexpr int kFileNameSize = 201;
// Adapters one process may hold at once.
constexpr int kMaxHeld = 32;
// A holder that has just taken the lock may not have written its process id yet.
constexpr int kPidReadAttempts = 10;
constexpr uint32_t kPidReadPauseUs = 1000;

}  // namespace

struct AdapterLock {
    bool used;    // false once released, or in a child made by fork
    pid_t owner;  // the process that took it
    int fd;       // the locked file
    int dir_fd;   // its directory, to remove it on release
    dev_t dir_device;
    ino_t dir_inode;
    char file[kFileNameSize];
};

namespace {

// The locks this process holds. A handle is one of these objects; it is freed by its
// release only, so a handle a child inherited never points at a lock the child took.
pthread_mutex_t g_table_mutex = PTHREAD_MUTEX_INITIALIZER;
AdapterLock* g_table[kMaxHeld];
bool g_fork_handlers_installed = false;

// A child made by fork shares the parent's open lock files: if it kept them, the lock
// would outlive the parent's release for as long as the child runs. The child closes its
// copies (the parent's lock stays, it holds its own descriptors) and starts with an
// empty table; its inherited handles are then released without effect.
void BeforeFork() { pthread_mutex_lock(&g_table_mutex); }
void AfterForkParent() { pthread_mutex_unlock(&g_table_mutex); }
void AfterForkChild() {
    for (AdapterLock*& entry : g_table) {
        if (entry == nullptr) continue;
        close(entry->fd);
        close(entry->dir_fd);
        entry->used = false;
        entry = nullptr;
    }
    pthread_mutex_unlock(&g_table_mutex);
}

// Adapter names from the capture library are written into the file name as they are
// where that is safe; every other byte becomes %XX ('%' too), so two names never share
// a file and no name can leave the directory: the result is one path component that
// starts with the namespace number, never "." or "..".
bool LockFileName(const char* adapter_name, char* out) {
    struct stat ns {};
    unsigned long long netns = stat("/proc/self/ns/net", &ns) == 0 ? static_cast<unsigned long long>(ns.st_ino) : 0;
    int length = snprintf(out, kFileNameSize, "%llu-", netns);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(adapter_name); *p != '\0'; p++) {
        bool plain = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '.' ||
                     *p == '_' || *p == '-';
        if (length + 3 + 5 >= kFileNameSize) return false;  // room for "%XX" and ".lock"
        if (plain)
            out[length++] = static_cast<char>(*p);
        else
            length += snprintf(out + length, 4, "%%%02X", *p);
    }
    snprintf(out + length, kFileNameSize - length, ".lock");
    return true;
}

// The adapter name as a message may show it: control bytes and the like as '?'.
void PrintableName(const char* adapter_name, char* out, size_t size) {
    size_t n = 0;
    for (const char* p = adapter_name; *p != '\0' && n + 1 < size; p++)
        out[n++] = (*p >= 0x20 && *p < 0x7f) ? *p : '?';
    out[n] = '\0';
}

// Opens (making it when it is missing) a lock directory. 0 or an errno value.
int OpenDirectory(const char* path, bool only_real_directory, int* dir_fd) {
    bool made = mkdir(path, 01777) == 0;
    if (!made && errno != EEXIST) return errno;
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (only_real_directory ? O_NOFOLLOW : 0);
    int fd = open(path, flags);
    if (fd < 0) return errno;
    // mkdir's mode passed through the umask: set the shared mode for good.
    if (made) fchmod(fd, 01777);
    if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        int error = errno;
        close(fd);
        return error;
    }
    *dir_fd = fd;
    return 0;
}

// The directory the locks live in: the caller's, $EC_LOCK_DIR, /run/lock/ecalias or
// /tmp/ecalias-locks. Returns the open directory, or -1 with the reason in errbuf.
int OpenLockDirectory(const char* directory, char* errbuf) {
    if (directory == nullptr) {
        const char* from_environment = getenv("EC_LOCK_DIR");
        if (from_environment != nullptr && from_environment[0] != '\0') directory = from_environment;
    }
    int dir_fd = -1;
    if (directory != nullptr) {
        int error = OpenDirectory(directory, false, &dir_fd);
        if (error == 0) return dir_fd;
        snprintf(errbuf, kCaptureErrorSize, "cannot use the adapter lock directory %s: %s", directory,
                 strerror(error));
        return -1;
    }
    // The shared directories are writable by everyone: never follow a link planted there.
    if (OpenDirectory(kRunLockDirectory, true, &dir_fd) == 0) return dir_fd;
    int error = OpenDirectory(kTmpLockDirectory, true, &dir_fd);
    if (error == 0) return dir_fd;
    snprintf(errbuf, kCaptureErrorSize, "cannot use the adapter lock directory %s or %s: %s", kRunLockDirectory,
             kTmpLockDirectory, strerror(error));
    return -1;
}

// The process id the holder wrote into the lock file, or 0 when there is none (yet) or
// it names no living process.
pid_t ReadHolder(int fd) {
    for (int attempt = 0; attempt < kPidReadAttempts; attempt++) {
        if (attempt > 0) WaitMicroseconds(kPidReadPauseUs);
        char text[24] = {0};
        ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
        if (n <= 0) continue;
        char* end = nullptr;
        long pid = strtol(text, &end, 10);
        if (end == text || *end != '\n' || pid <= 0 || pid > 0x7fffffffL) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) return static_cast<pid_t>(pid);
    }
    return 0;
}

void InUseMessage(const char* adapter_name, pid_t holder, char* errbuf) {
    char name[64];
    PrintableName(adapter_name, name, sizeof(name));
    if (holder == getpid())
        snprintf(errbuf, kCaptureErrorSize,
                 "adapter %s is in use by another ecalias master in this process (process %d); close it first: %s",
                 name, static_cast<int>(holder), kWhy);
    else if (holder > 0)
        snprintf(errbuf, kCaptureErrorSize,
                 "adapter %s is in use by another ecalias master (process %d); stop it first: %s", name,
                 static_cast<int>(holder), kWhy);
    else
        snprintf(errbuf, kCaptureErrorSize, "adapter %s is in use by another ecalias master; stop it first: %s",
                 name, kWhy);
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Takes the lock file in an open directory. Returns the locked descriptor, or -1 with
// the reason in errbuf.
int LockFile(int dir_fd, const char* file, const char* adapter_name, char* errbuf) {
    // A releasing holder removes its file while it still holds the lock: a file opened
    // just before may be locked here just after, and is then no longer the lock file.
    // Open it afresh until the locked file is the one the directory names.
    for (int attempt = 0; attempt < 16; attempt++) {
        int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
        int fd = openat(dir_fd, file, flags);
        if (fd < 0 && errno == ENOENT) {
            // Made only when missing (O_EXCL): an existing file of another user is opened
            // without O_CREAT, which protected sticky directories refuse.
            fd = openat(dir_fd, file, flags | O_CREAT | O_EXCL, 0666);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd >= 0) fchmod(fd, 0666);  // every user's masters write their id into it
        } else if (fd < 0 && errno == EACCES) {
            fd = openat(dir_fd, file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        }
        if (fd < 0) {
            snprintf(errbuf, kCaptureErrorSize, "cannot open the adapter lock file %s: %s", file, strerror(errno));
            return -1;
        }
        struct stat opened {};
        if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink > 1) {
            // A device, a fifo or a hard link to some other file: never lock or write it.
            close(fd);
            snprintf(errbuf, kCaptureErrorSize, "the adapter lock file %s is not a plain file", file);
            return -1;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            if (error == EWOULDBLOCK) {
                InUseMessage(adapter_name, ReadHolder(fd), errbuf);
            } else {
                snprintf(errbuf, kCaptureErrorSize, "cannot lock the adapter lock file %s: %s", file,
                         strerror(error));
            }
            close(fd);
            return -1;
        }
        struct stat named {};
        if (fstatat(dir_fd, file, &named, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(opened, named)) {
            close(fd);
            continue;
        }
        // Ours: the process id replaces whatever an earlier holder left.
        // When it cannot be written, a refused opener names no process: ReadHolder takes
        // only a whole line of a living process.
        char text[24];
        int length = snprintf(text, sizeof(text), "%d\n", static_cast<int>(getpid()));
        [[maybe_unused]] bool named_here = ftruncate(fd, 0) == 0 && pwrite(fd, text, length, 0) == length;
        return fd;
    }
    snprintf(errbuf, kCaptureErrorSize, "cannot lock the adapter lock file %.180s: it keeps being replaced", file);
    return -1;
}

AdapterLock* AcquireLocked(const char* adapter_name, char* errbuf, const char* directory) {
    if (!g_fork_handlers_installed) {
        if (pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild) != 0) {
            snprintf(errbuf, kCaptureErrorSize, "cannot lock adapters: fork handlers not installed");
            return nullptr;
        }
        g_fork_handlers_installed = true;
    }
    char file[kFileNameSize];
    if (!LockFileName(adapter_name, file)) {
        snprintf(errbuf, kCaptureErrorSize, "adapter name too long to lock");
        return nullptr;
    }
    int dir_fd = OpenLockDirectory(directory, errbuf);
    if (dir_fd < 0) return nullptr;
    struct stat dir {};
    if (fstat(dir_fd, &dir) != 0) {
        snprintf(errbuf, kCaptureErrorSize, "cannot use the adapter lock directory: %s", strerror(errno));
        close(dir_fd);
        return nullptr;
    }
    AdapterLock** free_slot = nullptr;
    for (AdapterLock*& entry : g_table) {
        if (entry == nullptr) {
            if (free_slot == nullptr) free_slot = &entry;
            continue;
        }
        if (entry->dir_device == dir.st_dev && entry->dir_inode == dir.st_ino && strcmp(entry->file, file) == 0) {
            InUseMessage(adapter_name, entry->owner, errbuf);
            close(dir_fd);
            return nullptr;
        }
    }
    if (free_slot == nullptr) {
        snprintf(errbuf, kCaptureErrorSize, "cannot lock adapter: this process already holds %d adapters", kMaxHeld);
        close(dir_fd);
        return nullptr;
    }
    AdapterLock* lock = new (std::nothrow) AdapterLock{};
    if (lock == nullptr) {
        snprintf(errbuf, kCaptureErrorSize, "cannot lock adapter: out of memory");
        close(dir_fd);
        return nullptr;
    }
    int fd = LockFile(dir_fd, file, adapter_name, errbuf);
    if (fd < 0) {
        delete lock;
        close(dir_fd);
        return nullptr;
    }
    lock->used = true;
    lock->owner = getpid();
    lock->fd = fd;
    lock->dir_fd = dir_fd;
    lock->dir_device = dir.st_dev;
    lock->dir_inode = dir.st_ino;
    snprintf(lock->file, sizeof(lock->file), "%s", file);
    *free_slot = lock;
    return lock;
}

}  // namespace

AdapterLock* AdapterLockAcquire(const char* adapter_name, char* errbuf, const char* directory) {
    if (adapter_name == nullptr) adapter_name = "";
    pthread_mutex_lock(&g_table_mutex);
    AdapterLock* lock = AcquireLocked(adapter_name, errbuf, directory);
    pthread_mutex_unlock(&g_table_mutex);
    return lock;
}

void AdapterLockRelease(AdapterLock* lock) {
    if (lock == nullptr) return;
    pthread_mutex_lock(&g_table_mutex);
    if (lock->used) {
        // Removed while still locked, and only when the directory still names this file.
        struct stat held {}, named {};
        if (fstat(lock->fd, &held) == 0 && fstatat(lock->dir_fd, lock->file, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(held, named))
            unlinkat(lock->dir_fd, lock->file, 0);
        close(lock->fd);
        close(lock->dir_fd);
        for (AdapterLock*& entry : g_table)
            if (entry == lock) entry = nullptr;
    }
    pthread_mutex_unlock(&g_table_mutex);
    delete lock;
}
