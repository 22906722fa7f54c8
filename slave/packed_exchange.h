// Many datagrams in few frames: a list of datagrams is packed into frames of at most
// the standard Ethernet payload (more-follows chains), several frames go out over the
// port's slots before the first reply is awaited, and each datagram gets its own
// working counter back.
#pragma once
#include <cstdint>

struct FramePort;

enum {
    // Bytes of datagrams (headers, data and working counters) one frame carries: 1514
    // bytes of a standard frame less 14 of Ethernet and 2 of EtherCAT header.
    kPackedFrameBytes = 1498,
    // Frames one call keeps in flight at once; the other slots stay free for other
    // callers of the same port.
    kPackedFramesInFlight = 8,
};

// A packed phase of the bring-up, the mailbox setup or a state request: each frame waits
// this long for its reply, and a datagram whose frame got none goes out again, up to
// kPackedSends sends in all, each waiting twice as long as the one before (2, 4, 8, 16,
// 20 ms: about 50 ms). Three sends (14 ms) were too few for a segment that takes longer
// over a frame of 100 datagrams through 199 slaves (ecsim built with the sanitizers lost
// every station address); a real line answers in well under a millisecond, so only a
// segment in trouble waits longer.
constexpr uint32_t kPackedReplyWaitUs = 2000;
constexpr int kPackedSends = 5;

// One datagram of a packed exchange. The caller fills the request part; `result` is the
// working counter of the datagram's reply (0 included) or NoFrame when its frame got no
// reply. Read data land in `in` only from a datagram whose frame was answered and whose
// working counter is above 0.
struct PackedDatagram {
    uint8_t command;
    uint16_t adp;
    uint16_t ado;
    uint16_t length;   // data bytes, at most 1486
    const void* out;   // data sent by write commands; null sends zeros
    void* in;          // where read data go (may be null)
    int32_t result;
};

// What a packed exchange cost on the wire.
struct PackedTally {
    uint32_t frames;         // frames sent
    uint32_t round_trips;    // batches of frames in flight whose replies were awaited
    uint32_t datagrams;
    uint32_t frames_lost;    // frames that got no reply in time
    uint32_t slowest_reply_us;  // the longest an answered frame took (at most), the highest seen
};

// Sends every datagram of `list` once, in list order (datagrams of one frame reach each
// slave in that order, and frames leave in order), and waits for each frame's reply up
// to `reply_wait_us` after it was sent. A frame that got no reply is abandoned (its slot
// generation rests) and its datagrams report NoFrame: the caller decides what to send
// again. Returns the number of frames sent, or ArgumentError (a datagram longer than
// 1486 bytes, a null list with a count) with nothing sent. `tally` may be null; it is
// added to, not reset.
int PackedExchange(FramePort* port, PackedDatagram* list, int count, uint32_t reply_wait_us, PackedTally* tally);

// PackedExchange, then the datagrams whose frame got no reply go out again, packed
// anew, up to `sends` passes in all, each pass waiting twice as long as the one before
// (at most 20 ms): a reply that seemed lost may only have been late. A datagram answered with working counter 0 is
// answered (it reached the segment) and is not sent again. Datagrams of one pass leave
// in list order; a datagram sent again may reach the slaves after later datagrams of
// the list, so callers put datagrams that depend on each other into separate calls.
int PackedExchangeUntilAnswered(FramePort* port, PackedDatagram* list, int count, uint32_t reply_wait_us, int sends,
                                PackedTally* tally);
