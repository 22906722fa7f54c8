// A capture back end wrapped around the in-process one that loses chosen datagrams:
// the EEPROM and bring-up tests use it to make one register access go unanswered
// (no reply at all) or unexecuted (a reply with working counter 0), which the virtual
// segment cannot do for writes.
#pragma once
#include <cstdint>
#include <cstring>

#include "link/capture.h"
#include "link/datagram.h"
#include "slave/context.h"

enum class DatagramFate {
    kLost,        // the request never reaches the segment: no reply
    kUnexecuted,  // it reaches the segment addressed to nobody: working counter 0
                  // (configured or position addressing only)
    kCounted,     // it passes; the rule only counts it
    kReplyLost,   // it reaches the segment and is executed, but its reply is lost
};

struct DatagramRule {
    uint8_t command;
    uint16_t ado;
    uint16_t length;  // data length to match; 0 matches any
    DatagramFate fate;
    int skip;       // matching datagrams let through before the rule bites
    int remaining;  // datagrams it still affects; -1 for ever
    int hits;       // datagrams it affected
};

class WireFilter {
public:
    // Wraps whatever back end is installed now (the in-process one of the fixture).
    static void Install() {
        state().inner = CaptureActiveBackend();
        state().wrapped = *state().inner;
        state().wrapped.send = Send;
        state().wrapped.next = Next;
        state().rule_count = 0;
        CaptureInstallBackend(&state().wrapped);
        if (PortIsOpen(&g_master.port)) PortUseBackend(&g_master.port, &state().wrapped);
    }
    // Restores the wrapped back end; the fixture's TearDown then removes it.
    static void Remove() {
        if (state().inner != nullptr) {
            CaptureInstallBackend(state().inner);
            if (PortIsOpen(&g_master.port)) PortUseBackend(&g_master.port, state().inner);
        }
        state().inner = nullptr;
        state().rule_count = 0;
    }
    static DatagramRule* Add(uint8_t command, uint16_t ado, DatagramFate fate, int remaining = -1, int skip = 0,
                             uint16_t length = 0) {
        State& s = state();
        DatagramRule& rule = s.rules[s.rule_count++];
        rule = DatagramRule{command, ado, length, fate, skip, remaining, 0};
        return &rule;
    }
    static void Clear() { state().rule_count = 0; }

private:
    struct State {
        const CaptureBackend* inner;
        CaptureBackend wrapped;
        DatagramRule rules[8];
        int rule_count;
        uint8_t altered[1518];
        uint8_t restored[1518];
        uint8_t original_address[256][2];  // per index byte: the address an unexecuted datagram was sent to
        bool address_altered[256];
        bool reply_lost[256];  // per index byte: the next reply with it is swallowed
    };
    static State& state() {
        static State s{};
        return s;
    }
    static int Send(void* handle, const uint8_t* frame, int length) {
        State& s = state();
        if (length >= 28 && length <= 1518 && frame[12] == 0x88 && frame[13] == 0xA4) {
            uint8_t command = frame[16];
            uint16_t ado = static_cast<uint16_t>(frame[20] | (frame[21] << 8));
            uint16_t data_length = static_cast<uint16_t>((frame[22] | (frame[23] << 8)) & 0x07FF);
            for (int i = 0; i < s.rule_count; i++) {
                DatagramRule& rule = s.rules[i];
                if (rule.command != command || rule.ado != ado || rule.remaining == 0) continue;
                if (rule.length != 0 && rule.length != data_length) continue;
                if (rule.skip > 0) {
                    rule.skip--;
                    continue;
                }
                if (rule.remaining > 0) rule.remaining--;
                rule.hits++;
                if (rule.fate == DatagramFate::kCounted) break;
                if (rule.fate == DatagramFate::kLost) return 0;
                if (rule.fate == DatagramFate::kReplyLost) {
                    s.reply_lost[frame[17]] = true;
                    return s.inner->send(handle, frame, length);
                }
                // Address a station nobody has: the frame comes back unexecuted.
                memcpy(s.altered, frame, static_cast<size_t>(length));
                s.altered[18] = 0xFE;
                s.altered[19] = 0xEF;
                s.original_address[frame[17]][0] = frame[18];
                s.original_address[frame[17]][1] = frame[19];
                s.address_altered[frame[17]] = true;
                return s.inner->send(handle, s.altered, length);
            }
        }
        return s.inner->send(handle, frame, length);
    }
    // The reply of an unexecuted datagram carries the address it was sent to, as a real
    // slave line returns a configured-address datagram nobody took: the stand-in
    // station is replaced by the original one.
    static int Next(void* handle, const uint8_t** frame, int* length) {
        State& s = state();
        int result = s.inner->next(handle, frame, length);
        if (result <= 0 || *length < 28 || *length > 1518) return result;
        const uint8_t* in = *frame;
        if (in[12] == 0x88 && in[13] == 0xA4 && s.reply_lost[in[17]]) {
            s.reply_lost[in[17]] = false;
            return 0;  // nothing arrived
        }
        if (in[12] != 0x88 || in[13] != 0xA4 || !s.address_altered[in[17]]) return result;
        if (in[18] != 0xFE || in[19] != 0xEF) return result;
        memcpy(s.restored, in, static_cast<size_t>(*length));
        s.restored[18] = s.original_address[in[17]][0];
        s.restored[19] = s.original_address[in[17]][1];
        *frame = s.restored;
        return result;
    }
};
