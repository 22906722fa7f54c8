// Little-endian loads and stores: every multi-byte field on the wire, in ESC registers,
// in mailbox messages and in SII images is little-endian, whatever the host's order.
#pragma once
#include <cstdint>

inline uint16_t WireLoad16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t WireLoad32(const uint8_t* p) {
    return WireLoad16(p) | (static_cast<uint32_t>(WireLoad16(p + 2)) << 16);
}
inline uint64_t WireLoad64(const uint8_t* p) {
    return WireLoad32(p) | (static_cast<uint64_t>(WireLoad32(p + 4)) << 32);
}
inline void WireStore16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WireStore32(uint8_t* p, uint32_t v) {
    WireStore16(p, static_cast<uint16_t>(v));
    WireStore16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void WireStore64(uint8_t* p, uint64_t v) {
    WireStore32(p, static_cast<uint32_t>(v));
    WireStore32(p + 4, static_cast<uint32_t>(v >> 32));
}
