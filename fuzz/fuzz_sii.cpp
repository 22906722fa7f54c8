// EEPROM images into the SII byte cache, the category walk, the name string and the
// bring-up's reading of identity, mailbox words and the general category.
//
// One simulated slave (sim/segment.h) behind the in-process back end, whose EEPROM holds
// the fuzz input as its image; the master brings the segment up with its real code and
// then searches categories and copies the name again. Whatever the image holds, the walk
// must end, the name must be terminated within its 41 bytes, no cache fill may leave the
// cache, and the table must hold one slave. Where the image is plain (a short category
// chain inside the 4 KiB, the string inside it too), the results must also match a
// straightforward reading of the image.
//
// Input: flags (1: bit 0 8-byte reads, bit 1 blank bytes read 0x00 instead of 0xFF,
// bits 2-4 EEPROM interface faults: NACK the first commands, one register that never
// answers, a busy bit that never clears), a fault byte (1: how many commands are
// NACKed, which register stays silent), a category type to search (2), then the image,
// low byte of word 0 first (up to 4096 bytes; the rest of the EEPROM is blank). With a
// fault the results are judged for safety only: reads may fail, and then fields stay 0.
#include <cstdio>
#include <cstring>

#include "harness.h"
#include "link/frame_port.h"
#include "sim/inproc_capture.h"
#include "sim/segment.h"
#include "sim/sim_eeprom.h"
#include "slave/bringup.h"
#include "slave/context.h"
#include "slave/eeprom.h"
#include "virtual_clock.h"

namespace {

constexpr int kImageBytes = 4096;
constexpr int kPlainWalkSteps = 32;  // chains longer than this are judged for safety only

struct Image {
    uint8_t bytes[kImageBytes];
    uint8_t Byte(uint32_t address) const { return address < kImageBytes ? bytes[address] : 0xFF; }
    uint16_t Word(uint32_t address) const { return static_cast<uint16_t>(Byte(address) | (Byte(address + 1) << 8)); }
};

// The category walk as the image reads, for chains that move forward inside the image
// within a few steps. Returns false when the chain is not plain (no judgement then);
// otherwise *found is the address of the found category's length word, or 0.
bool PlainFind(const Image& image, uint16_t wanted, uint32_t* found) {
    uint16_t type = image.Word(0x80);
    uint32_t position = 0x82;
    for (int step = 0; step < kPlainWalkSteps; step++) {
        if (type == wanted || type == 0xFFFF) {
            *found = type == wanted ? position : 0;
            return true;
        }
        uint32_t next = position + 2 + 2u * image.Word(position);
        if (next + 2 > kImageBytes) return false;  // leaves the image: the cache's edge decides
        type = image.Word(next);
        position = next + 2;
    }
    return false;
}

// Slave 1's name as the image gives it, when the strings category and its first string
// lie wholly inside the image. Returns false when that cannot be judged plainly.
bool PlainName(const Image& image, const SlaveRecord& record, char* expected) {
    uint32_t strings = 0;
    if (!PlainFind(image, 10, &strings)) return false;
    if (strings == 0) {
        snprintf(expected, kSlaveNameBytes, "? M:%8.8x I:%8.8x", record.vendor_id, record.product_code);
        return true;
    }
    if (strings + 4 > kImageBytes) return false;
    if (image.Byte(strings + 2) == 0) {
        expected[0] = '\0';
        return true;
    }
    uint32_t length = image.Byte(strings + 3);
    uint32_t kept = length < 40 ? length : 40;
    if (strings + 4 + kept > kImageBytes) return false;
    memcpy(expected, image.bytes + strings + 4, kept);
    expected[kept] = '\0';
    return true;
}

void CheckAgainstImage(const Image& image, const SlaveRecord& record) {
    FUZZ_CHECK(record.config_address == 0x1001);
    FUZZ_CHECK(record.vendor_id == (image.Word(0x10) | static_cast<uint32_t>(image.Word(0x12)) << 16));
    FUZZ_CHECK(record.product_code == (image.Word(0x14) | static_cast<uint32_t>(image.Word(0x16)) << 16));
    FUZZ_CHECK(record.revision_no == (image.Word(0x18) | static_cast<uint32_t>(image.Word(0x1A)) << 16));
    FUZZ_CHECK(record.mbx_write_offset == image.Word(0x30) && record.mbx_length == image.Word(0x32));
    char expected[kSlaveNameBytes];
    if (PlainName(image, record, expected)) FUZZ_CHECK(memcmp(record.name, expected, strlen(expected) + 1) == 0);
    uint32_t general = 0;
    if (PlainFind(image, 30, &general) && general != 0 && general + 16 <= kImageBytes) {
        FUZZ_CHECK(record.coe_details == image.Byte(general + 7));
        FUZZ_CHECK(record.ebus_current == static_cast<int16_t>(image.Word(general + 14)));
        FUZZ_CHECK(record.block_lrw == ((image.Byte(general + 13) & 0x02) ? 1 : 0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzResetMaster();
    VirtualClockReset(5999000000ULL);
    FuzzReader in = MakeReader(data, size);
    uint8_t flags = in.Byte();
    uint8_t fault = in.Byte();
    uint16_t extra_type = in.Word();
    Image image;
    memset(image.bytes, (flags & 2) ? 0x00 : 0xFF, sizeof(image.bytes));
    in.Take(image.bytes, sizeof(image.bytes));

    SimSegment* segment = SimSegmentCreate(1);
    SimSlave* slave = segment->slaves[0];
    for (int w = 0; w < kSimEepromWords; w++) slave->eeprom.words[w] = image.Word(2u * w);
    SimEepromSetEightByteReads(slave, (flags & 1) != 0);
    // The master runs on the virtual clock (virtual_clock.h) and the EEPROM on the real
    // one: with no latency every command is done before the master looks.
    SimEepromSetLatency(slave, 0, 0);
    slave->eeprom.reload_latency_us = 0;
    const bool faulty = (flags & 0x1C) != 0;
    if (flags & 0x04) slave->eeprom.faults.nack_first = fault & 0x07;
    if (flags & 0x08) {
        const int silent_registers[4] = {0x0502, 0x0508, 0x050A, 0x0504};
        slave->eeprom.faults.no_answer_register = silent_registers[(fault >> 3) & 3];
    }
    if (flags & 0x10) slave->eeprom.faults.busy_stuck = true;
    SimEepromRepowerOn(slave);
    SimWire wire;
    SimWireInit(&wire, segment, SimFaultSettings{});
    InprocAdapter adapter{};
    adapter.name = "sim0";
    adapter.wire = &wire;
    InprocInstall(&adapter, 1);
    FUZZ_CHECK(PortOpen(&g_master.port, "sim0") == 1);

    FUZZ_CHECK(ConfigureNetwork(&g_master) == 1);
    FuzzTrace("bring-up: vendor 0x%08x product 0x%08x mailbox %u bytes, name \"%s\"",
              g_master.slave_table[1].vendor_id, g_master.slave_table[1].product_code,
              g_master.slave_table[1].mbx_length, g_master.slave_table[1].name);
    FUZZ_CHECK(g_master.slave_count == 1);
    FuzzCheckMasterInvariants();
    if (!faulty) CheckAgainstImage(image, g_master.slave_table[1]);

    const uint16_t types[] = {10, 30, extra_type, 0xFFFF, 0};
    for (uint16_t type : types) {
        int16_t found = SiiFind(&g_master, 1, type);
        if (type != 0xFFFF) FUZZ_CHECK(found == 0 || (found >= 0x82 && found <= kImageBytes));
        uint32_t expected = 0;
        if (!faulty && PlainFind(image, type, &expected)) FUZZ_CHECK(found == static_cast<int16_t>(expected));
    }
    // The last bytes of the cache: a fill there must stay inside it. A fill that ran
    // over would mark bytes of the header filled that were never read, so the header
    // is read through the cache afterwards and must still be what the EEPROM holds.
    for (uint32_t address = kImageBytes - 8; address <= kImageBytes; address++) {
        uint8_t byte = SiiGetByte(&g_master, 1, static_cast<uint16_t>(address));
        if (!faulty || address >= kImageBytes) FUZZ_CHECK(byte == image.Byte(address));
    }
    for (uint32_t address = 0; address < 64; address++) {
        uint8_t byte = SiiGetByte(&g_master, 1, static_cast<uint16_t>(address));
        if (!faulty) FUZZ_CHECK(byte == image.Byte(address));
    }
    char* name = new char[kSlaveNameBytes];
    memset(name, 0x5A, kSlaveNameBytes);
    SiiString(&g_master, name, 1);
    bool touched = false;
    for (int i = 0; i < kSlaveNameBytes; i++) touched = touched || name[i] != 0x5A;
    if (touched) FUZZ_CHECK(memchr(name, '\0', kSlaveNameBytes) != nullptr);
    delete[] name;
    FuzzCheckMasterInvariants();

    PortClose(&g_master.port);
    InprocUninstall();
    SimSegmentDestroy(segment);
    return 0;
}
