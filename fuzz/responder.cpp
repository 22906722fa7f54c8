#include "responder.h"

#include <cstring>

#include "link/capture.h"
#include "sim/segment.h"
#include "virtual_clock.h"

namespace {

constexpr int kFrameBytes = 1518;
// Replies the adapter holds before the oldest is lost: more than the frames the master
// keeps in flight at once (8), so only the script loses replies.
constexpr int kQueueFrames = 16;
constexpr uint16_t kAlStatusRegister = 0x0130;
constexpr uint16_t kEepromDataRegister = 0x0508;  // 8 bytes

struct QueuedReply {
    int length;
    uint8_t bytes[kFrameBytes];
};

struct ResponderState {
    FuzzReader* script;
    SimSegment* segment;  // recording when set
    std::vector<uint8_t>* record;
    QueuedReply queue[kQueueFrames];
    int head;
    int count;
    uint8_t delivered[kFrameBytes];  // the frame handed to the port by the last read
    ResponderCounts counts;
};

ResponderState g_responder;
uint8_t g_quiet_image[65536];
bool g_quiet_image_ready = false;
int g_handle;  // the open "adapter": only its address matters

bool IsReadCommand(uint8_t command) {
    return command == 1 || command == 4 || command == 7 || command == 10;
}

// The reply a quiet slave gives: read data from the quiet image, written data echoed.
void QuietData(const uint8_t* request_data, uint8_t command, uint16_t address, uint16_t length, uint8_t* out) {
    if (IsReadCommand(command)) {
        const uint8_t* image = QuietSlaveImage();
        for (uint32_t i = 0; i < length; i++) out[i] = image[(address + i) & 0xFFFF];
    } else {
        memcpy(out, request_data, length);
    }
}

void Enqueue(const uint8_t* frame, int length) {
    if (g_responder.count == kQueueFrames) {  // full: the oldest is lost, as on a busy adapter
        g_responder.head = (g_responder.head + 1) % kQueueFrames;
        g_responder.count--;
    }
    QueuedReply& slot = g_responder.queue[(g_responder.head + g_responder.count) % kQueueFrames];
    slot.length = length;
    memcpy(slot.bytes, frame, static_cast<size_t>(length));
    g_responder.count++;
}

// Appends one script entry that makes the scripted responder give `reply` for
// `request`, or a lost request when reply is null.
void RecordEntry(const uint8_t* request, const uint8_t* reply, uint16_t data_length) {
    std::vector<uint8_t>& out = *g_responder.record;
    if (reply == nullptr) {
        out.push_back(3);
        return;
    }
    uint8_t quiet[kFrameBytes];
    QuietData(request + 26, request[16], static_cast<uint16_t>(request[20] | (request[21] << 8)), data_length,
              quiet);
    const uint8_t* data = reply + 26;
    int differing = data_length;
    while (differing > 0 && data[differing - 1] == quiet[differing - 1]) differing--;
    uint16_t wkc = static_cast<uint16_t>(data[data_length] | (data[data_length + 1] << 8));
    uint8_t counter_mode = wkc == 1 ? 0 : wkc == 0 ? 1 : 2;
    uint8_t count_code = differing < 30 ? static_cast<uint8_t>(differing) : differing < 256 ? 30 : 31;
    out.push_back(static_cast<uint8_t>(counter_mode | (count_code << 3)));
    if (counter_mode == 2) {
        out.push_back(static_cast<uint8_t>(wkc));
        out.push_back(static_cast<uint8_t>(wkc >> 8));
    }
    if (count_code >= 30) out.push_back(static_cast<uint8_t>(differing));
    if (count_code == 31) out.push_back(static_cast<uint8_t>(differing >> 8));
    out.insert(out.end(), data, data + differing);
}

void AnswerFromSegment(const uint8_t* frame, int length, uint16_t data_length) {
    uint8_t reply[kFrameBytes];
    memcpy(reply, frame, static_cast<size_t>(length));
    if (!SimProcessFrame(g_responder.segment, reply, length)) {
        RecordEntry(frame, nullptr, data_length);
        g_responder.counts.lost++;
        return;
    }
    RecordEntry(frame, reply, data_length);
    Enqueue(reply, length);
    g_responder.counts.replies++;
}

// Answers every datagram of the frame (a chain of datagrams linked by the more-follows
// bit), each from its own script entry; an entry that says "lost" loses the whole frame,
// and the first datagram's entry says whether the reply comes twice.
void AnswerFromScript(const uint8_t* frame, int length, uint16_t) {
    FuzzReader* script = g_responder.script;
    uint8_t reply[kFrameBytes];
    memcpy(reply, frame, static_cast<size_t>(length));
    reply[6] |= 0x02;  // a slave controller marks the frames it returns
    bool twice = false;
    for (int at = 16, first = 1;; first = 0) {
        if (at + 12 > length) break;
        const uint16_t length_field = static_cast<uint16_t>(frame[at + 6] | (frame[at + 7] << 8));
        const uint16_t data_length = length_field & 0x07FF;
        if (at + 12 + data_length > length) break;
        const uint16_t address = static_cast<uint16_t>(frame[at + 4] | (frame[at + 5] << 8));
        QuietData(frame + at + 10, frame[at], address, data_length, reply + at + 10);
        uint16_t wkc = 1;
        if (!script->Empty()) {
            uint8_t control = script->Byte();
            int counter_mode = control & 3;
            if (counter_mode == 3) {
                g_responder.counts.lost++;
                return;
            }
            wkc = counter_mode == 0 ? 1 : counter_mode == 1 ? 0 : script->Word();
            if (first) twice = (control & 4) != 0;
            uint32_t count = control >> 3;
            if (count == 30) count = script->Byte();
            else if (count == 31) count = script->Word();
            if (count > data_length) count = data_length;
            script->Take(reply + at + 10, count);
        }
        reply[at + 10 + data_length] = static_cast<uint8_t>(wkc);
        reply[at + 11 + data_length] = static_cast<uint8_t>(wkc >> 8);
        at += 12 + data_length;
        if ((length_field & 0x8000) == 0) break;
    }
    Enqueue(reply, length);
    if (twice) Enqueue(reply, length);
    g_responder.counts.replies++;
}

int ResponderList(void (*visit)(void*, const char*, const char*), void* context, char*) {
    visit(context, "fuzz0", "scripted slaves");
    return 0;
}

void* ResponderOpen(const char*, char*) { return &g_handle; }

int ResponderSend(void*, const uint8_t* frame, int length) {
    g_responder.counts.requests++;
    VirtualClockAdvance(kResponderExchangeMicros);
    // A frame of one datagram or a chain of them; anything else gets no answer.
    if (length < 28 || length > kFrameBytes || frame[12] != 0x88 || frame[13] != 0xA4) return 0;
    uint16_t data_length = static_cast<uint16_t>((frame[22] | (frame[23] << 8)) & 0x07FF);
    if (28 + data_length > length) return 0;
    if (g_responder.segment != nullptr)
        AnswerFromSegment(frame, length, data_length);
    else
        AnswerFromScript(frame, length, data_length);
    return 0;
}

int ResponderNext(void*, const uint8_t** frame, int* length) {
    if (g_responder.count == 0) return 0;
    QueuedReply& front = g_responder.queue[g_responder.head];
    memcpy(g_responder.delivered, front.bytes, static_cast<size_t>(front.length));
    *frame = g_responder.delivered;
    *length = front.length;
    g_responder.head = (g_responder.head + 1) % kQueueFrames;
    g_responder.count--;
    return 1;
}

void ResponderClose(void*) {}

const CaptureBackend kResponderBackend = {"fuzz responder", ResponderList, ResponderOpen,
                                          ResponderSend,    ResponderNext, ResponderClose};

}  // namespace

const uint8_t* QuietSlaveImage() {
    if (!g_quiet_image_ready) {
        g_quiet_image[kAlStatusRegister] = 0x01;  // INIT
        // A blank EEPROM reads all ones: the category walk meets the end marker at once
        // instead of crossing 4 KiB of zero-length categories.
        memset(g_quiet_image + kEepromDataRegister, 0xFF, 8);
        g_quiet_image_ready = true;
    }
    return g_quiet_image;
}

void ResponderInstall(FuzzReader* script) {
    g_responder.script = script;
    g_responder.segment = nullptr;
    g_responder.record = nullptr;
    g_responder.head = 0;
    g_responder.count = 0;
    g_responder.counts = ResponderCounts{};
    CaptureInstallBackend(&kResponderBackend);
}

void ResponderInstallRecorder(SimSegment* segment, std::vector<uint8_t>* record) {
    ResponderInstall(nullptr);
    g_responder.segment = segment;
    g_responder.record = record;
}

void ResponderUninstall() { CaptureInstallBackend(nullptr); }

ResponderCounts ResponderStats() { return g_responder.counts; }
