// Writes seed inputs for the fuzz targets, made from real exchanges with the virtual
// segment: reply frames of a bring-up, the responses of mailbox and SDO transfers, EEPROM
// images as the simulated slaves carry them. Each seed is in its target's input format,
// so a target given it replays the recorded exchange before the fuzzer mutates it.
//
//   make_seeds OUTPUT_DIR     (writes OUTPUT_DIR/<target>/<seed>)
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ecdevice.h"
#include "harness.h"
#include "link/datagram.h"
#include "link/frame_port.h"
#include "responder.h"
#include "sim/inproc_capture.h"
#include "sim/segment.h"
#include "sim/sim_eeprom.h"
#include "sim/sim_mailbox.h"
#include "slave/bringup.h"
#include "slave/coe.h"
#include "slave/context.h"
#include "slave/mailbox.h"
#include "virtual_clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_output;
int g_written = 0;

void Put8(Bytes* out, uint8_t v) { out->push_back(v); }
void Put16(Bytes* out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes* out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}
void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

bool WriteSeed(const char* target, const char* name, const Bytes& bytes) {
    std::string folder = g_output + "/" + target;
    mkdir(g_output.c_str(), 0755);
    mkdir(folder.c_str(), 0755);
    std::string path = folder + "/" + name;
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
        return false;
    }
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fclose(file) == 0 && ok;
    g_written++;
    return ok;
}

// --- frame port: requests laid into slots, the segment's replies fed back -----------

struct Request {
    uint8_t command;
    uint16_t adp;
    uint16_t ado;
    uint16_t length;
};

// The reply the segment gives to `request` laid into a slot the way the master lays it.
Bytes SegmentReply(SimSegment* segment, int slot, const Request& request) {
    static FramePort scratch;  // only its transmit buffer is used
    uint8_t* frame = scratch.tx_frame[slot];
    const uint8_t header[14] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 1, 1, 1, 1, 1, 0x88, 0xA4};
    memcpy(frame, header, sizeof(header));
    SetupDatagram(&scratch, slot, request.command, static_cast<uint8_t>(slot), request.adp, request.ado,
                  request.length, nullptr);
    int length = scratch.tx_length[slot];
    Bytes reply(frame, frame + length);
    SimProcessFrame(segment, reply.data(), length);
    return reply;
}

void FramePortSeeds() {
    SimSegment* segment = SimSegmentCreate(2);
    const Request requests[] = {
        {7, 0x0000, 0x0000, 2},   // counting read
        {2, 0x0000, 0x0010, 2},   // station address by position
        {4, 0x1001, 0x0130, 6},   // AL status by configured address
        {4, 0x1001, 0x0502, 2},   // EEPROM status
        {5, 0x1001, 0x0502, 6},   // EEPROM command
        {4, 0x1001, 0x1080, 128}, // a mailbox-sized read
    };
    const int count = sizeof(requests) / sizeof(requests[0]);
    Bytes setup;
    Put8(&setup, count);
    for (const Request& r : requests) {
        Put8(&setup, r.command);
        Put16(&setup, r.adp);
        Put16(&setup, r.ado);
        Put16(&setup, r.length);
        Put8(&setup, 1);  // sent
    }
    // The port hands out slots 1, 2, ... after opening.
    Bytes replies = setup;
    for (int i = 0; i < count; i++) {
        Bytes reply = SegmentReply(segment, i + 1, requests[i]);
        Put8(&replies, 0);  // raw frame
        Put16(&replies, static_cast<uint16_t>(reply.size()));
        Append(&replies, reply);
        Put8(&replies, static_cast<uint8_t>(i + 1 + 1));  // receive for its own slot (PickSlot: -1 offset)
    }
    WriteSeed("fuzz_frame_port", "segment-replies", replies);

    Bytes stray = setup;
    Bytes reply = SegmentReply(segment, 3, requests[2]);
    Put8(&stray, 0);
    Put16(&stray, static_cast<uint16_t>(reply.size()));
    Append(&stray, reply);
    Put8(&stray, 1 + 1);  // received while slot 1 waits: parked for slot 3
    Put8(&stray, 5);      // wait on slot 3: collected through the fast path
    Put8(&stray, 3);
    Put8(&stray, 0);
    Put8(&stray, 1);  // a near-miss of slot 2's reply: length field changed
    Put8(&stray, 2);
    Put8(&stray, 0);
    Put8(&stray, 1);
    Put16(&stray, 14);
    Put8(&stray, 0xFF);
    Put8(&stray, 2 + 1);
    Put8(&stray, 2);  // send and receive on slot 4 with its untouched reply waiting
    Put8(&stray, 1);
    Put8(&stray, 4);
    Put8(&stray, 0);
    Put8(&stray, 0);
    Put8(&stray, 4);
    WriteSeed("fuzz_frame_port", "stray-and-near-miss", stray);

    Bytes foreign = setup;
    const uint8_t ip_frame[20] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0x5E, 0x10, 0x20, 0x30, 0x08, 0x00};
    Put8(&foreign, 0);
    Put16(&foreign, sizeof(ip_frame));
    foreign.insert(foreign.end(), ip_frame, ip_frame + sizeof(ip_frame));
    Put8(&foreign, 2);
    Bytes high_index = SegmentReply(segment, 5, requests[0]);
    high_index[17] = 0x20;
    Put8(&foreign, 0);
    Put16(&foreign, static_cast<uint16_t>(high_index.size()));
    Append(&foreign, high_index);
    Put8(&foreign, 6);
    WriteSeed("fuzz_frame_port", "foreign-frames", foreign);
    SimSegmentDestroy(segment);
}

// --- bring-up over the scripted responder ------------------------------------------

void BringupSeeds() {
    const int sizes[] = {1, 3};
    for (int slaves : sizes) {
        FuzzResetMaster();
        VirtualClockReset(5999000000ULL);
        SimSegment* segment = SimSegmentCreate(slaves);
        // The master runs on the virtual clock, the EEPROM on the real one: with no
        // latency every command is done before the master looks.
        for (SimSlave* slave : segment->slaves) {
            SimEepromSetLatency(slave, 0, 0);
            slave->eeprom.reload_latency_us = 0;
        }
        Bytes record;
        ResponderInstallRecorder(segment, &record);
        PortOpen(&g_master.port, "fuzz0");
        int found = ConfigureNetwork(&g_master);
        PortClose(&g_master.port);
        ResponderUninstall();
        SimSegmentDestroy(segment);
        char name[32];
        snprintf(name, sizeof(name), "segment-of-%d", slaves);
        WriteSeed("fuzz_bringup_wire", name, record);
        printf("make_seeds: bring-up of %d slave(s) found %d, slave 1 \"%s\", %zu script bytes\n", slaves, found,
               g_master.slave_table[1].name, record.size());
    }
}

// --- mailbox and SDO transfers with a simulated slave -------------------------------

constexpr int32_t kSeedTimeout = 3000;  // the largest timeout the targets choose

// A one-slave segment whose slave is ready for mailbox traffic: station address set,
// SyncManagers 0 and 1 as its SII says, EEPROM offered to its PDI, PRE-OP. Set up by the
// master's datagram services through the in-process back end, as a master would do it;
// nothing of this is recorded.
struct MailboxSegment {
    SimSegment* segment;
    SimWire wire;
    InprocAdapter adapter;
};

bool OpenMailboxSegment(MailboxSegment* m, uint16_t mailbox_bytes) {
    FuzzResetMaster();
    VirtualClockReset(5999000000ULL);
    m->segment = SimSegmentCreate(1);
    SimSlave* slave = m->segment->slaves[0];
    SimEepromSetMailboxSize(slave, mailbox_bytes);
    SimEepromSetLatency(slave, 0, 0);
    SimWireInit(&m->wire, m->segment, SimFaultSettings{});
    m->adapter = InprocAdapter{};
    m->adapter.name = "sim0";
    m->adapter.wire = &m->wire;
    InprocInstall(&m->adapter, 1);
    if (PortOpen(&g_master.port, "sim0") != 1) return false;
    FramePort* port = &g_master.port;
    const uint16_t* sii = slave->eeprom.words;
    uint16_t station = 0x1001;
    APWR(port, 0, 0x0010, 2, &station, 6000);
    uint8_t sync_managers[16] = {0};
    const uint16_t sm0[4] = {sii[0x18], sii[0x19], 0x0026, 0x0001};
    const uint16_t sm1[4] = {sii[0x1A], sii[0x1B], 0x0022, 0x0001};
    for (int i = 0; i < 4; i++) {
        sync_managers[2 * i] = static_cast<uint8_t>(sm0[i]);
        sync_managers[2 * i + 1] = static_cast<uint8_t>(sm0[i] >> 8);
        sync_managers[8 + 2 * i] = static_cast<uint8_t>(sm1[i]);
        sync_managers[8 + 2 * i + 1] = static_cast<uint8_t>(sm1[i] >> 8);
    }
    // Control bytes sit at offset 4 of each SyncManager, activate at 6: the words above
    // put 0x26 / 0x22 into the control byte and 0x01 into the activate byte.
    FPWR(port, station, 0x0800, sizeof(sync_managers), sync_managers, 6000);
    uint8_t offer_to_pdi = 1;
    FPWR(port, station, 0x0500, 1, &offer_to_pdi, 6000);
    uint8_t preop = 2;
    FPWR(port, station, 0x0120, 1, &preop, 6000);
    uint8_t al_status[2] = {0};
    FPRD(port, station, 0x0130, 2, al_status, 6000);
    g_master.slave_count = 1;
    SlaveRecord& record = g_master.slave_table[1];
    record.config_address = station;
    record.mbx_write_offset = sii[0x18];
    record.mbx_length = sii[0x19];
    record.mbx_read_offset = sii[0x1A];
    record.mbx_read_length = sii[0x1B] != 0 ? sii[0x1B] : sii[0x19];
    if ((al_status[0] & 0x0F) != 2) {
        fprintf(stderr, "make_seeds: the simulated slave did not reach PRE-OP (AL status 0x%02x)\n", al_status[0]);
        return false;
    }
    return true;
}

void CloseMailboxSegment(MailboxSegment* m) {
    PortClose(&g_master.port);
    ResponderUninstall();
    InprocUninstall();
    SimSegmentDestroy(m->segment);
}

// The setup block both mailbox targets start with, for the record of slave 1 as it is.
void PutMailboxWords(Bytes* out) {
    const SlaveRecord& record = g_master.slave_table[1];
    Put16(out, record.mbx_length);
    Put16(out, record.mbx_write_offset);
    Put16(out, record.mbx_read_length);
    Put16(out, record.mbx_read_offset);
    Put8(out, record.mbx_counter);
}

struct SdoSeed {
    const char* name;
    bool upload;
    bool complete_access;
    uint16_t index;
    uint8_t subindex;
    int32_t size;           // capacity or download size
    uint16_t mailbox_bytes;
    int32_t fill_first;     // bytes downloaded into 0x2100 before recording (0: none)
    void (*fault)(SimSlave*);
};

void EmergencyFirst(SimSlave* slave) { slave->mailbox.faults.emergencies = 1; }
void MailboxErrorFirst(SimSlave* slave) { slave->mailbox.faults.mailbox_errors = 1; }
void LoseFirstRead(SimSlave* slave) { slave->mailbox.faults.lose_first_reads = 1; }

// The download data the fuzz target uses past the bytes its input gives.
void DownloadPattern(uint8_t* data, int32_t size) {
    for (int32_t i = 0; i < size; i++) data[i] = static_cast<uint8_t>(i * 7 + 1);
}

void RecordSdoSeed(const SdoSeed& seed) {
    MailboxSegment m;
    if (!OpenMailboxSegment(&m, seed.mailbox_bytes)) {
        CloseMailboxSegment(&m);
        return;
    }
    static uint8_t buffer[70000];
    if (seed.fill_first > 0) {
        DownloadPattern(buffer, seed.fill_first);
        SdoDownload(&g_master, 1, 0x2100, 0, 0, seed.fill_first, buffer, kSeedTimeout);
    }
    if (seed.fault != nullptr) seed.fault(m.segment->slaves[0]);
    Bytes input;
    Put8(&input, static_cast<uint8_t>((seed.upload ? 0 : 1) | (seed.complete_access ? 2 : 0)));
    Put16(&input, seed.index);
    Put8(&input, seed.subindex);
    PutMailboxWords(&input);
    Put16(&input, kSeedTimeout);
    Put32(&input, static_cast<uint32_t>(seed.size));
    DownloadPattern(buffer, seed.size);
    if (!seed.upload) {  // the target takes up to 64 data bytes from its input
        int32_t given = seed.size < 64 ? seed.size : 64;
        input.insert(input.end(), buffer, buffer + given);
    }
    Bytes record;
    ResponderInstallRecorder(m.segment, &record);
    int32_t size = seed.size;
    int result = seed.upload ? SdoUpload(&g_master, 1, seed.index, seed.subindex, seed.complete_access, &size, buffer,
                                         kSeedTimeout)
                             : SdoDownload(&g_master, 1, seed.index, seed.subindex, seed.complete_access, seed.size,
                                           buffer, kSeedTimeout);
    Append(&input, record);
    WriteSeed("fuzz_sdo", seed.name, input);
    printf("make_seeds: sdo %s: result %d, %zu bytes\n", seed.name, result, input.size());
    CloseMailboxSegment(&m);
}

void SdoSeeds() {
    const SdoSeed seeds[] = {
        {"upload-expedited", true, false, 0x1000, 0, 4, 128, 0, nullptr},
        {"upload-normal", true, false, 0x1008, 0, 64, 128, 0, nullptr},
        {"upload-segmented", true, false, 0x2100, 0, 1000, 128, 1000, nullptr},
        {"upload-complete-access", true, true, 0x2000, 0, 16, 128, 0, nullptr},
        {"upload-abort", true, false, 0x5555, 0, 4, 128, 0, nullptr},
        {"upload-emergency-first", true, false, 0x1000, 0, 4, 128, 0, EmergencyFirst},
        {"upload-mailbox-error-first", true, false, 0x6000, 0, 2, 128, 0, MailboxErrorFirst},
        {"upload-lost-read", true, false, 0x1018, 1, 4, 128, 0, LoseFirstRead},
        {"download-expedited", false, false, 0x3000, 0, 4, 128, 0, nullptr},
        {"download-segmented", false, false, 0x2100, 0, 300, 128, 0, nullptr},
        {"download-large-mailbox", false, false, 0x2100, 0, 2000, 1486, 0, nullptr},
    };
    for (const SdoSeed& seed : seeds) RecordSdoSeed(seed);
}

// An SDO upload request for 0x1000:00 as the master builds it.
void UploadRequest(MailboxBuffer* message) {
    memset(message, 0, sizeof(*message));
    const uint8_t request[16] = {10, 0, 0, 0, 0, 0x13, 0x00, 0x20, 0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
    memcpy(message->bytes, request, sizeof(request));
}

void MailboxSeeds() {
    struct {
        const char* name;
        int call;  // 0 receive, 1 send, 2 empty
        void (*fault)(SimSlave*);
    } const seeds[] = {
        {"receive-reply", 0, nullptr},
        {"receive-emergency-first", 0, EmergencyFirst},
        {"receive-mailbox-error-first", 0, MailboxErrorFirst},
        {"receive-lost-read", 0, LoseFirstRead},
        {"send-request", 1, nullptr},
        {"empty", 2, nullptr},
    };
    for (const auto& seed : seeds) {
        MailboxSegment m;
        if (!OpenMailboxSegment(&m, 128)) {
            CloseMailboxSegment(&m);
            continue;
        }
        if (seed.fault != nullptr) seed.fault(m.segment->slaves[0]);
        MailboxBuffer message;
        UploadRequest(&message);
        if (seed.call == 0) MailboxSend(&g_master, 1, &message);  // the request whose answer is received
        Bytes input;
        Put8(&input, static_cast<uint8_t>(seed.call));
        PutMailboxWords(&input);
        Put16(&input, kSeedTimeout);
        Put8(&input, 0);  // no repeated receive
        if (seed.call == 1) {
            Put16(&input, 16);
            input.insert(input.end(), message.bytes, message.bytes + 16);
        }
        Bytes record;
        ResponderInstallRecorder(m.segment, &record);
        int result = 0;
        if (seed.call == 0) {
            MailboxBuffer reply;
            memset(&reply, 0, sizeof(reply));
            result = MailboxReceive(&g_master, 1, &reply, kSeedTimeout);
        } else if (seed.call == 1) {
            // The target draws a fresh counter before sending, as every request does.
            message.bytes[5] = static_cast<uint8_t>(NextMailboxCounter(&g_master, 1) << 4 | 3);
            result = MailboxSend(&g_master, 1, &message);
        } else {
            result = MailboxEmpty(&g_master, 1);
        }
        Append(&input, record);
        WriteSeed("fuzz_mailbox", seed.name, input);
        printf("make_seeds: mailbox %s: result %d, %zu bytes\n", seed.name, result, input.size());
        CloseMailboxSegment(&m);
    }
}

// --- a host program's calls -----------------------------------------------------------

// One call of fuzz_host_calls: its call byte and arguments, then the script of the
// datagrams it sent, recorded from the slave.
template <typename Call>
void RecordHostCall(MailboxSegment* m, Bytes* input, const Bytes& arguments, Call call) {
    Append(input, arguments);
    Bytes record;
    ResponderInstallRecorder(m->segment, &record);
    call();
    Append(input, record);
}

void HostCallSeeds() {
    MailboxSegment m;
    if (!OpenMailboxSegment(&m, 128)) {
        CloseMailboxSegment(&m);
        return;
    }
    Bytes input;
    Put8(&input, 1);  // one slave
    Put16(&input, g_master.slave_table[1].mbx_length);
    Put16(&input, g_master.slave_table[1].mbx_read_length);
    static uint8_t buffer[64];
    Bytes arguments;
    // FPRead(1, 0x0130, 6, data, 3000): slave byte, reg, length, pointer byte, timeout.
    Put8(&arguments, 0);
    Put8(&arguments, 1);
    Put32(&arguments, 0x0130);
    Put32(&arguments, 6);
    Put8(&arguments, 1);
    Put16(&arguments, kSeedTimeout);
    RecordHostCall(&m, &input, arguments, [] { FPRead(1, 0x0130, 6, buffer, kSeedTimeout); });
    // SdoRead(1, 0x1008, 0, 0, capacity 64, data, 3000).
    arguments.clear();
    Put8(&arguments, 2);
    Put8(&arguments, 1);
    Put32(&arguments, 0x1008);
    Put32(&arguments, 0);
    Put8(&arguments, 0);
    Put32(&arguments, 64);
    Put8(&arguments, 1);
    Put16(&arguments, kSeedTimeout);
    RecordHostCall(&m, &input, arguments, [] {
        int size = 64;
        SdoRead(1, 0x1008, 0, 0, &size, buffer, kSeedTimeout);
    });
    // SdoWrite(1, 0x3000, 0, 0, 4, data, 3000); the target's data is 0, 1, 2, 3.
    arguments.clear();
    Put8(&arguments, 3);
    Put8(&arguments, 1);
    Put32(&arguments, 0x3000);
    Put32(&arguments, 0);
    Put8(&arguments, 0);
    Put32(&arguments, 4);
    Put8(&arguments, 1);
    Put16(&arguments, kSeedTimeout);
    RecordHostCall(&m, &input, arguments, [] {
        for (int i = 0; i < 4; i++) buffer[i] = static_cast<uint8_t>(i);
        SdoWrite(1, 0x3000, 0, 0, 4, buffer, kSeedTimeout);
    });
    // WriteRegister(1, 5, 77).
    arguments.clear();
    Put8(&arguments, 4);
    Put8(&arguments, 1);
    Put32(&arguments, 5);
    Put32(&arguments, 77);
    RecordHostCall(&m, &input, arguments, [] { WriteRegister(1, 5, 77); });
    // Names of slave 1, then Deinit, then FPWrite on the closed port.
    Put8(&input, 5);
    Put8(&input, 1);
    Put8(&input, 1);
    Put8(&input, 1);
    Put8(&input, 1);
    Put32(&input, 0x0120);
    Put32(&input, 1);
    Put8(&input, 1);
    Put16(&input, kSeedTimeout);
    WriteSeed("fuzz_host_calls", "read-write-and-close", input);
    printf("make_seeds: host calls: %zu bytes\n", input.size());
    CloseMailboxSegment(&m);
}

// --- EEPROM images as the simulated slaves carry them -------------------------------

// flags and fault as fuzz_sii reads them: bit 0 of flags 8-byte reads, bits 2-4 faults.
void SiiSeed(const char* name, void (*shape)(SimSlave*), uint8_t flags, uint8_t fault, uint16_t extra_type) {
    SimSegment* segment = SimSegmentCreate(1);
    SimSlave* slave = segment->slaves[0];
    if (shape != nullptr) shape(slave);
    Bytes input;
    Put8(&input, flags);
    Put8(&input, fault);
    Put16(&input, extra_type);
    for (int w = 0; w < kSimEepromWords; w++) Put16(&input, slave->eeprom.words[w]);
    // The target fills what the input leaves out with blank (0xFF) bytes.
    while (input.size() > 3 && input.back() == 0xFF) input.pop_back();
    WriteSeed("fuzz_sii", name, input);
    SimSegmentDestroy(segment);
}

void LongName(SimSlave* slave) { SimEepromSetName(slave, "a slave name of forty-five characters, long!!"); }
void NoStrings(SimSlave* slave) { SimEepromSetName(slave, nullptr); }
void NoGeneral(SimSlave* slave) { SimEepromRemoveGeneral(slave); }
void NoMailbox(SimSlave* slave) { SimEepromSetMailboxSize(slave, 0); }
void EmptyChain(SimSlave* slave) {
    SimEepromSetName(slave, nullptr);
    SimEepromRemoveGeneral(slave);
}

void SiiSeeds() {
    SiiSeed("default-image", nullptr, 0, 0, 10);
    SiiSeed("default-image-8-byte-reads", nullptr, 1, 0, 30);
    SiiSeed("name-of-45-characters", LongName, 0, 0, 10);
    SiiSeed("no-strings", NoStrings, 0, 0, 10);
    SiiSeed("no-general", NoGeneral, 1, 0, 30);
    SiiSeed("no-mailbox", NoMailbox, 0, 0, 40);
    SiiSeed("empty-chain", EmptyChain, 0, 0, 0xFFFF);
    SiiSeed("nack-first-two", nullptr, 0x04, 2, 10);
    SiiSeed("data-register-silent", nullptr, 0x08, 1 << 3, 10);
    SiiSeed("busy-for-ever", nullptr, 0x10, 0, 10);
}

// --- the operator's number ------------------------------------------------------------

void OperatorInputSeeds() {
    const char* texts[] = {"1234\n",       "  -1\n",     "65537\n",       "abc\n",     "",
                           "2147483648\n", "\t+0042x 7\n", "-2147483648",    " 4660 \r\n", "0x1234\n",
                           "12abc\n",      "\n\n70000\r", "65535\r\n12\n", "007\t\n"};
    for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); i++) {
        char name[32];
        snprintf(name, sizeof(name), "typed-%zu", i);
        WriteSeed("fuzz_operator_input", name, Bytes(texts[i], texts[i] + strlen(texts[i])));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
        return 2;
    }
    g_output = argv[1];
    FramePortSeeds();
    BringupSeeds();
    SdoSeeds();
    HostCallSeeds();
    SiiSeeds();
    MailboxSeeds();
    OperatorInputSeeds();
    printf("make_seeds: %d seed files in %s\n", g_written, g_output.c_str());
    return 0;
}
