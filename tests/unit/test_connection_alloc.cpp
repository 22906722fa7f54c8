// The adapter list under memory pressure, and its release. This executable replaces the
// global allocation functions with counting ones that can be told to fail.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "api/connection.h"
#include "api/ecdevice.h"
#include "sim/inproc_capture.h"
#include "support_segment.h"

namespace {

long g_live_allocations;
int g_allocations_until_failure = -1;  // -1: never fail

void* CountedAllocate(std::size_t size) {
    if (g_allocations_until_failure == 0) return nullptr;
    if (g_allocations_until_failure > 0) g_allocations_until_failure--;
    void* p = malloc(size == 0 ? 1 : size);
    if (p != nullptr) g_live_allocations++;
    return p;
}

void CountedRelease(void* p) {
    if (p == nullptr) return;
    g_live_allocations--;
    free(p);
}

}  // namespace

void* operator new(std::size_t size) {
    void* p = CountedAllocate(size);
    if (p == nullptr) abort();  // the code under test uses only the non-throwing form
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void operator delete(void* p) noexcept { CountedRelease(p); }
void operator delete[](void* p) noexcept { CountedRelease(p); }
void operator delete(void* p, std::size_t) noexcept { CountedRelease(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedRelease(p); }

namespace {

std::string ReadAll(FILE* file) {
    std::string text;
    rewind(file);
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    return text;
}

class AdapterListMemory : public SegmentTest {
protected:
    void SetUp() override {
        ResetMaster();
        SetSegmentHandler(nullptr);
        adapters[0] = InprocAdapter{"eth0", "first"};
        adapters[1] = InprocAdapter{"eth1", "second"};
        adapters[2] = InprocAdapter{"eth2", "third"};
        InprocInstall(adapters, 3);
    }
    void TearDown() override {
        g_allocations_until_failure = -1;
        SegmentTest::TearDown();
    }
    InprocAdapter adapters[3]{};
};

}  // namespace

TEST_F(AdapterListMemory, AllocationFailureKeepsTheAdaptersListedSoFarAndSaysSo) {
    FILE* captured = tmpfile();
    fflush(stderr);
    int saved = dup(fileno(stderr));
    dup2(fileno(captured), fileno(stderr));

    const long before = g_live_allocations;
    g_allocations_until_failure = 1;  // the first entry is made, the second is not
    bool listing_failed = true;
    AdapterEntry* list = BuildAdapterList(&listing_failed);
    g_allocations_until_failure = -1;

    fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);
    EXPECT_EQ(ReadAll(captured), "out of memory: the adapter list is incomplete\n");
    fclose(captured);

    EXPECT_FALSE(listing_failed);  // the listing itself worked
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->name, "eth0");
    EXPECT_EQ(list->next, nullptr);  // nothing after the failure, not even the third adapter
    FreeAdapterList(list);
    EXPECT_EQ(g_live_allocations, before);

    // Init scans what it could list: only the first adapter is tried.
    g_allocations_until_failure = 1;
    fflush(stderr);
    EXPECT_EQ(Init(), 0);
    g_allocations_until_failure = -1;
    EXPECT_EQ(adapters[0].opens, 1);
    EXPECT_EQ(adapters[1].opens, 0);
    EXPECT_EQ(adapters[2].opens, 0);

    // No memory at all: nothing is scanned, Init still ends with 0.
    g_allocations_until_failure = 0;
    EXPECT_EQ(Init(), 0);
    g_allocations_until_failure = -1;
    EXPECT_EQ(adapters[0].opens, 1);
}

TEST_F(AdapterListMemory, InitReleasesItsAdapterListEveryTime) {
    const long before = g_live_allocations;
    for (int run = 0; run < 5; run++) EXPECT_EQ(Init(), 0);
    EXPECT_EQ(g_live_allocations, before);
    EXPECT_EQ(adapters[2].opens, 5);
    EXPECT_EQ(adapters[2].closes, 5);
}

namespace {
long g_live_in_handler = -1;
void NoteLiveAllocations() { g_live_in_handler = g_live_allocations; }
}  // namespace

TEST_F(AdapterListMemory, TheListIsGoneBeforeTheDialogTakesOver) {
    segment = SimSegmentCreate(1);
    SimWireInit(&wire, segment, SimFaultSettings{});
    adapters[1].wire = &wire;
    SetSegmentHandler(NoteLiveAllocations);
    const long before = g_live_allocations;
    EXPECT_EQ(Init(), 1);
    SetSegmentHandler(nullptr);
    // The dialog never returns, so nothing after it could release the list.
    EXPECT_EQ(g_live_in_handler, before);
    EXPECT_EQ(g_live_allocations, before);
}
