// libecalias's adapter listing and the open failures of the capture back end: pseudo
// devices skipped, slaves counted with a broadcast read only, the reason an adapter
// could not be opened; an adapter held by another master is EC_EINUSE. Runs on the
// in-process back end, and on the libpcap back end only for opens that fail before
// anything is sent.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ecalias.h"
#include "link/adapter_lock.h"
#include "link/capture.h"
#include "sim/inproc_capture.h"
#include "sim/segment.h"
#include "support_virtual_clock.h"

namespace {

TEST(EcaliasAdapters, ListingSkipsPseudoDevicesCountsSlavesAndGivesReasons) {
    VirtualClock clock{};
    SimSegment* segment = SimSegmentCreate(3);
    SimWire wire{};
    SimWireInit(&wire, segment, SimFaultSettings{});
    InprocAdapter adapters[6] = {};
    adapters[0] = InprocAdapter{"any", "pseudo device", nullptr, false, false, 0, 0};
    adapters[1] = InprocAdapter{"seg0", "a segment of three", &wire, false, false, 0, 0};
    adapters[2] = InprocAdapter{"usbmon1", "USB bus 1", nullptr, false, false, 0, 0};
    adapters[3] = InprocAdapter{"broken0", "cannot open", nullptr, true, false, 0, 0};
    adapters[4] = InprocAdapter{"empty0", "no slaves", nullptr, false, false, 0, 0};
    adapters[5] = InprocAdapter{"dbus-system", "D-Bus", nullptr, false, false, 0, 0};
    InprocInstall(adapters, 6);
    const uint64_t eeprom_writes_before = segment->slaves[0]->eeprom.counters.writes;

    ec_adapter_info list[4] = {};
    size_t count = 0;
    ASSERT_EQ(ec_adapters(list, 4, &count), EC_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_STREQ(list[0].name, "seg0");
    EXPECT_STREQ(list[0].description, "a segment of three");
    EXPECT_EQ(list[0].status, EC_OK);
    EXPECT_EQ(list[0].slaves, 3);
    EXPECT_STREQ(list[0].error, "");
    EXPECT_STREQ(list[1].name, "broken0");
    EXPECT_NE(list[1].status, EC_OK);
    EXPECT_EQ(list[1].slaves, -1);
    EXPECT_NE(strstr(list[1].error, "broken0"), nullptr) << list[1].error;
    EXPECT_STREQ(list[2].name, "empty0");
    EXPECT_EQ(list[2].slaves, 0);
    EXPECT_EQ(adapters[0].opens, 0) << "pseudo devices are not opened";
    EXPECT_EQ(adapters[2].opens, 0);
    EXPECT_EQ(adapters[5].opens, 0);
    EXPECT_EQ(adapters[1].closes, adapters[1].opens) << "every probe is closed again";
    // Nothing was written: station addresses still unset, no EEPROM command.
    for (SimSlave* slave : segment->slaves) EXPECT_EQ(SimGet16(slave->memory + 0x0010), 0);
    EXPECT_EQ(segment->slaves[0]->eeprom.counters.writes, eeprom_writes_before);

    // A short list still counts every adapter.
    size_t only = 0;
    ASSERT_EQ(ec_adapters(list, 1, &only), EC_OK);
    EXPECT_EQ(only, 3u);
    ASSERT_EQ(ec_adapters(nullptr, 0, &only), EC_OK);
    EXPECT_EQ(only, 3u);

    InprocUninstall();
    InprocInstall(adapters, 6, true);
    EXPECT_EQ(ec_adapters(list, 4, &count), EC_ENOADAPTER);
    InprocUninstall();
    SimSegmentDestroy(segment);
}

TEST(EcaliasAdapters, AnAdapterHeldByAnotherMasterIsInUse) {
    char directory[] = "/tmp/ecalias-api-locks.XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    setenv("EC_LOCK_DIR", directory, 1);
    char errbuf[kCaptureErrorSize] = {0};
    // No such adapter exists: the lock is taken before the capture library is asked.
    const char* name = "ecalias-none0";
    AdapterLock* lock = AdapterLockAcquire(name, errbuf);
    ASSERT_NE(lock, nullptr) << errbuf;
    ec_master* m = nullptr;
    EXPECT_EQ(ec_open(name, &m), EC_EINUSE);
    EXPECT_EQ(m, nullptr);
    ec_error_detail d{};
    ASSERT_EQ(ec_last_error(nullptr, &d), EC_OK);
    EXPECT_EQ(d.code, EC_EINUSE);
    EXPECT_NE(strstr(d.adapter_text, "in use"), nullptr) << d.adapter_text;
    AdapterLockRelease(lock);
    // Without the lock the open fails in the capture library: no such adapter, or no
    // permission to capture at all; either way with a reason, and the permission case
    // names the fix.
    const int status = ec_open(name, &m);
    EXPECT_TRUE(status == EC_ENOADAPTER || status == EC_EPERM) << status;
    ASSERT_EQ(ec_last_error(nullptr, &d), EC_OK);
    EXPECT_EQ(d.code, status);
    EXPECT_NE(d.adapter_text[0], '\0');
    if (status == EC_EPERM) {
        EXPECT_NE(strstr(d.adapter_text, "setcap cap_net_raw,cap_net_admin+ep"), nullptr) << d.adapter_text;
    }
    unsetenv("EC_LOCK_DIR");
    rmdir(directory);
}

}  // namespace
