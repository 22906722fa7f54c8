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

#include "harness.h"
#include "link/datagram.h"
#include "link/frame_port.h"
#include "responder.h"
#include "sim/inproc_capture.h"
#include "sim/segment.h"
#include "slave/bringup.h"
#include "slave/context.h"
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
        Bytes record;
        ResponderInstallRecorder(segment, &record);
        PortOpen(&g_master.port, "fuzz0");
        int found = ConfigureNetwork();
        PortClose(&g_master.port);
        ResponderUninstall();
        SimSegmentDestroy(segment);
        char name[32];
        snprintf(name, sizeof(name), "segment-of-%d", slaves);
        WriteSeed("fuzz_bringup_wire", name, record);
        printf("make_seeds: bring-up of %d slave(s) found %d, %zu script bytes\n", slaves, found, record.size());
    }
}

// --- the operator's number ------------------------------------------------------------

void OperatorInputSeeds() {
    const char* texts[] = {"1234\n", "  -1\n", "65537\n", "abc\n", "", "2147483648\n", "\t+0042x 7\n", "-2147483648"};
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
    OperatorInputSeeds();
    printf("make_seeds: %d seed files in %s\n", g_written, g_output.c_str());
    return 0;
}
