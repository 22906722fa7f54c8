// One master per adapter: the lock the capture back end takes before it opens an adapter.
// Every case works in a directory of its own; the cases that need a second process fork
// one, and the ones that need a second network namespace skip when they cannot make it.
#include "link/adapter_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "link/capture.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kWhy = "two masters on one segment take each other's replies";
constexpr int kSkipped = 77;

std::string NetnsInode() {
    struct stat ns {};
    EXPECT_EQ(stat("/proc/self/ns/net", &ns), 0);
    return std::to_string(ns.st_ino);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A child process that reports one line of text back and an exit code.
struct Child {
    pid_t pid = -1;
    int from_child = -1;  // what the child wrote
    int to_child = -1;    // closed by the parent to let a waiting child go on

    // Runs body in a child; body gets the write end for its report and the read end it
    // may wait on, and returns the exit code.
    template <typename Body>
    static Child Start(Body body) {
        int report[2], go[2];
        EXPECT_EQ(pipe(report), 0);
        EXPECT_EQ(pipe(go), 0);
        Child child;
        child.pid = fork();
        if (child.pid == 0) {
            close(report[0]);
            close(go[1]);
            _exit(body(report[1], go[0]));
        }
        close(report[1]);
        close(go[0]);
        child.from_child = report[0];
        child.to_child = go[1];
        return child;
    }

    void Release() {
        if (to_child >= 0) close(to_child);
        to_child = -1;
    }

    // Waits for the end; returns the exit code, the report in *text.
    int Finish(std::string* text) {
        Release();
        char chunk[512];
        ssize_t n;
        while ((n = read(from_child, chunk, sizeof chunk)) > 0) text->append(chunk, static_cast<size_t>(n));
        close(from_child);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

void Report(int fd, const std::string& text) {
    ssize_t ignored = write(fd, text.data(), text.size());
    (void)ignored;
}

// Brings the loopback of a fresh network namespace up (it starts down).
bool LoopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    snprintf(request.ifr_name, sizeof(request.ifr_name), "lo");
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

void WaitForParent(int fd) {
    char byte;
    while (read(fd, &byte, 1) > 0) {
    }
}

class AdapterLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/adapter-lock-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        dir_ = base_ / "locks";
    }
    void TearDown() override {
        for (AdapterLock* lock : held_) AdapterLockRelease(lock);
        fs::remove_all(base_);
    }

    AdapterLock* Acquire(const char* name) {
        errbuf_[0] = '\0';
        AdapterLock* lock = AdapterLockAcquire(name, errbuf_, dir_.c_str());
        if (lock != nullptr) held_.push_back(lock);
        return lock;
    }
    void Release(AdapterLock* lock) {
        AdapterLockRelease(lock);
        std::erase(held_, lock);
    }
    fs::path LockFile(const std::string& name) const { return dir_ / (NetnsInode() + "-" + name + ".lock"); }
    std::set<std::string> FilesInDirectory() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            EXPECT_TRUE(entry.is_regular_file()) << entry.path();
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    fs::path base_;
    fs::path dir_;
    char errbuf_[kCaptureErrorSize] = {0};
    std::vector<AdapterLock*> held_;
};

// Within one process: a second master on the adapter is refused and told why, the
// directory is made shareable, the file names the holder, and a release frees the adapter
// and removes its file.
TEST_F(AdapterLockTest, OneProcessHoldsAnAdapterOnceAndFreesItOnRelease) {
    AdapterLock* first = Acquire("eth1");
    ASSERT_NE(first, nullptr) << errbuf_;
    struct stat dir {};
    ASSERT_EQ(stat(dir_.c_str(), &dir), 0);
    EXPECT_EQ(dir.st_mode & 07777, 01777u);
    EXPECT_EQ(ReadFile(LockFile("eth1")), std::to_string(getpid()) + "\n");

    EXPECT_EQ(Acquire("eth1"), nullptr);
    EXPECT_EQ(std::string(errbuf_), "adapter eth1 is in use by another ecalias master in this process (process " +
                                         std::to_string(getpid()) + "); close it first: " + kWhy);

    // Other adapters stay free, also those whose names only begin alike.
    AdapterLock* other = Acquire("eth10");
    ASSERT_NE(other, nullptr) << errbuf_;

    Release(first);
    EXPECT_FALSE(fs::exists(LockFile("eth1")));
    EXPECT_NE(Acquire("eth1"), nullptr) << errbuf_;
    // Releasing nothing is harmless.
    AdapterLockRelease(nullptr);
}

// Another process on the adapter is refused and named; a holder that dies without a
// release leaves no lock behind; a child made by fork does not take its parent's lock
// with it.
TEST_F(AdapterLockTest, OtherProcessesAreRefusedAndNamedAndDeadHoldersLeaveNoLock) {
    AdapterLock* parent_lock = Acquire("eth1");
    ASSERT_NE(parent_lock, nullptr) << errbuf_;
    std::string parent = std::to_string(getpid());
    fs::path dir = dir_;

    std::string report;
    Child refused = Child::Start([&](int out, int) {
        char errbuf[kCaptureErrorSize] = {0};
        AdapterLock* lock = AdapterLockAcquire("eth1", errbuf, dir.c_str());
        Report(out, errbuf);
        return lock == nullptr ? 0 : 1;
    });
    EXPECT_EQ(refused.Finish(&report), 0) << "the child took an adapter its parent holds";
    EXPECT_EQ(report, "adapter eth1 is in use by another ecalias master (process " + parent + "); stop it first: " + kWhy);

    // A child that dies holding an adapter: its file stays, its lock does not.
    Release(parent_lock);
    report.clear();
    Child crashed = Child::Start([&](int out, int) {
        char errbuf[kCaptureErrorSize] = {0};
        AdapterLock* lock = AdapterLockAcquire("eth1", errbuf, dir.c_str());
        Report(out, std::to_string(getpid()));
        return lock != nullptr ? 0 : 1;  // _exit without a release
    });
    EXPECT_EQ(crashed.Finish(&report), 0);
    ASSERT_TRUE(fs::exists(LockFile("eth1"))) << "the dead holder's file should still be there";
    EXPECT_EQ(ReadFile(LockFile("eth1")), report + "\n");
    ASSERT_NE(Acquire("eth1"), nullptr) << errbuf_;
    EXPECT_EQ(ReadFile(LockFile("eth1")), parent + "\n");
}

TEST_F(AdapterLockTest, AForkedChildDoesNotKeepItsParentsLock) {
    AdapterLock* parent_lock = Acquire("eth1");
    ASSERT_NE(parent_lock, nullptr) << errbuf_;
    std::string parent = std::to_string(getpid());
    fs::path dir = dir_;

    // The child drops the handle it inherited: that must not free the parent's adapter,
    // nor close what the child has opened since under the numbers the lock files had.
    std::string report;
    Child child = Child::Start([&](int out, int go) {
        int mine[2] = {open("/dev/null", O_RDONLY), open("/dev/null", O_RDONLY)};
        AdapterLockRelease(parent_lock);
        if (fcntl(mine[0], F_GETFD) < 0 || fcntl(mine[1], F_GETFD) < 0) return 2;
        char errbuf[kCaptureErrorSize] = {0};
        AdapterLock* lock = AdapterLockAcquire("eth1", errbuf, dir.c_str());
        Report(out, lock == nullptr ? errbuf : "taken");
        WaitForParent(go);
        return lock == nullptr ? 0 : 1;
    });
    // While that child still runs, the parent releases and takes the adapter again.
    char first = 0;
    if (read(child.from_child, &first, 1) != 1) {
        ADD_FAILURE() << "the child ended early with " << child.Finish(&report);
        return;
    }
    report.push_back(first);
    Release(parent_lock);
    EXPECT_NE(Acquire("eth1"), nullptr) << errbuf_;
    EXPECT_EQ(child.Finish(&report), 0) << "the child took the adapter while its parent held it";
    EXPECT_EQ(report, "adapter eth1 is in use by another ecalias master (process " + parent + "); stop it first: " + kWhy);
}

// A holder that forks and then dies without a release: its child lives on, but the
// adapter is free.
TEST_F(AdapterLockTest, AChildOfADeadHolderDoesNotHoldItsAdapter) {
    fs::path dir = dir_;
    int grandchild_done[2];
    ASSERT_EQ(pipe(grandchild_done), 0);
    std::string report;
    Child holder = Child::Start([&](int out, int) {
        char errbuf[kCaptureErrorSize] = {0};
        if (AdapterLockAcquire("eth1", errbuf, dir.c_str()) == nullptr) return 1;
        if (fork() == 0) {
            close(out);
            close(grandchild_done[1]);
            WaitForParent(grandchild_done[0]);  // until the test is done
            _exit(0);
        }
        Report(out, "forked");
        return 0;  // dies holding the adapter
    });
    close(grandchild_done[0]);
    EXPECT_EQ(holder.Finish(&report), 0);
    EXPECT_EQ(report, "forked");
    EXPECT_NE(Acquire("eth1"), nullptr) << errbuf_;
    close(grandchild_done[1]);
}

// The lock names the adapter within its network namespace: eth1 of another namespace is
// another adapter.
TEST_F(AdapterLockTest, TheSameNameInAnotherNetworkNamespaceIsAnotherAdapter) {
    ASSERT_NE(Acquire("eth1"), nullptr) << errbuf_;
    fs::path dir = dir_;
    std::string report;
    Child child = Child::Start([&](int out, int) {
        if (unshare(CLONE_NEWNET) != 0) return kSkipped;
        char errbuf[kCaptureErrorSize] = {0};
        AdapterLock* lock = AdapterLockAcquire("eth1", errbuf, dir.c_str());
        Report(out, errbuf);
        return lock != nullptr ? 0 : 1;
    });
    int rc = child.Finish(&report);
    if (rc == kSkipped) GTEST_SKIP() << "cannot make a network namespace (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(rc, 0) << report;
    EXPECT_EQ(FilesInDirectory().size(), 2u);
}

// Names come from the capture library: whatever they hold, each adapter gets one plain
// file right in the lock directory, and different names never share one.
TEST_F(AdapterLockTest, AdapterNamesNeitherLeaveTheDirectoryNorShareAFile) {
    const char* names[] = {"../escape", "..",      ".",      "",      "/abs",     "a/b",      "x/../../y",
                           "a.b",       "a_b",     "a%2Eb",  "a%2Fb", "tab\tname", "eth0.100", "\xff\x01"};
    for (const char* name : names) ASSERT_NE(Acquire(name), nullptr) << "[" << name << "] " << errbuf_;
    EXPECT_EQ(FilesInDirectory().size(), std::size(names));
    std::vector<std::string> in_base;
    for (const auto& entry : fs::directory_iterator(base_)) in_base.push_back(entry.path().filename().string());
    EXPECT_EQ(in_base, std::vector<std::string>{"locks"});
    for (const std::string& file : FilesInDirectory()) EXPECT_EQ(file.rfind(NetnsInode() + "-", 0), 0u) << file;

    // Each is still refused a second time.
    EXPECT_EQ(Acquire("../escape"), nullptr);
    EXPECT_NE(std::string(errbuf_).find("adapter ../escape is in use"), std::string::npos) << errbuf_;
    // Control bytes do not reach the message.
    EXPECT_EQ(Acquire("tab\tname"), nullptr);
    EXPECT_NE(std::string(errbuf_).find("adapter tab?name is in use"), std::string::npos) << errbuf_;

    std::string too_long(120, '/');
    EXPECT_EQ(Acquire(too_long.c_str()), nullptr);
    EXPECT_STREQ(errbuf_, "adapter name too long to lock");
}

// The lock directory is shared by every user: a link planted in place of a lock file is
// never followed, so the file it points at is neither locked nor overwritten.
TEST_F(AdapterLockTest, APlantedLinkIsNeverFollowedNorWritten) {
    ASSERT_NE(Acquire("eth9"), nullptr) << errbuf_;  // makes the directory
    fs::path victim = base_ / "victim";
    std::ofstream(victim) << "keep me\n";

    fs::create_symlink(victim, LockFile("eth1"));
    EXPECT_EQ(Acquire("eth1"), nullptr);
    EXPECT_NE(std::string(errbuf_).find("cannot open the adapter lock file"), std::string::npos) << errbuf_;

    fs::create_hard_link(victim, LockFile("eth2"));
    EXPECT_EQ(Acquire("eth2"), nullptr);
    EXPECT_NE(std::string(errbuf_).find("is not a plain file"), std::string::npos) << errbuf_;

    EXPECT_EQ(ReadFile(victim), "keep me\n");
}

// EC_LOCK_DIR moves the default directory (the capture back end passes none).
TEST_F(AdapterLockTest, TheEnvironmentNamesTheDefaultDirectory) {
    ASSERT_EQ(setenv("EC_LOCK_DIR", dir_.c_str(), 1), 0);
    AdapterLock* lock = AdapterLockAcquire("eth1", errbuf_, nullptr);
    unsetenv("EC_LOCK_DIR");
    ASSERT_NE(lock, nullptr) << errbuf_;
    held_.push_back(lock);
    EXPECT_TRUE(fs::exists(LockFile("eth1")));
}

// The libpcap back end holds the lock as long as the adapter is open. Runs in a network
// namespace of its own, whose loopback carries nothing of anybody else's.
TEST_F(AdapterLockTest, TheCaptureBackEndOpensAnAdapterOnce) {
    std::string lock_dir = dir_.string();
    std::string report;
    Child child = Child::Start([&](int out, int) {
        if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp() || setenv("EC_LOCK_DIR", lock_dir.c_str(), 1) != 0)
            return kSkipped;
        char errbuf[kCaptureErrorSize] = {0};
        void* first = kPcapCaptureBackend.open("lo", errbuf);
        if (first == nullptr) {
            Report(out, errbuf);
            return kSkipped;
        }
        void* second = kPcapCaptureBackend.open("lo", errbuf);
        Report(out, std::string(errbuf) + "\n");
        if (second != nullptr) return 1;
        kPcapCaptureBackend.close(first);
        errbuf[0] = '\0';
        void* again = kPcapCaptureBackend.open("lo", errbuf);
        Report(out, errbuf);
        if (again == nullptr) return 2;
        kPcapCaptureBackend.close(again);
        return 0;
    });
    int rc = child.Finish(&report);
    if (rc == kSkipped) GTEST_SKIP() << "cannot capture in a network namespace of its own: " << report;
    EXPECT_EQ(rc, 0) << report;
    EXPECT_EQ(report, "adapter lo is in use by another ecalias master in this process (process " +
                          std::to_string(child.pid) + "); close it first: " + kWhy + "\n");
    EXPECT_TRUE(FilesInDirectory().empty()) << "the closed adapter left its lock file";
}

}  // namespace
