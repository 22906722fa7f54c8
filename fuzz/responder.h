// A capture back end that answers every datagram the master sends, from a script.
//
// The fuzz targets for the mailbox, the SDO transfers and the bring-up drive the
// master's real code through the real frame port; only the slaves are replaced by this
// responder, whose answers (working counter and read data) come from the fuzz input.
// Replies keep the request's command, address and length, as a slave's do, so the port
// takes them as replies and the code above it sees every value the data can carry.
//
// Script format, one entry per datagram the master sends, in sending order:
//   control byte c
//     bits 0-1  working counter: 0 -> 1, 1 -> 0, 2 -> the two bytes after c
//               (little-endian), 3 -> no reply at all (the request is lost; nothing
//               else of the entry follows)
//     bit 2     the reply arrives twice (a late duplicate for a slot already done)
//     bits 3-7  k, how many data bytes follow: k < 30 -> k bytes; 30 -> the next byte
//               gives the count; 31 -> the next two bytes give it (little-endian).
//               The count is cut to the datagram's data length.
//   then the data bytes: they replace the start of the reply's data. The rest of a read
//   reply comes from the quiet slave's register image (zeros, AL status INIT, a blank
//   EEPROM behind the data register that reads all ones), the rest
//   of a write reply echoes what was written.
// Once the script is used up, every datagram gets the quiet reply: working counter 1 and
// the quiet data, which ends every wait of the master at once (mailbox empty, EEPROM not
// busy, no message waiting, end of the category chain).
#pragma once
#include <cstdint>
#include <vector>

#include "harness.h"

struct SimSegment;

enum {
    kResponderExchangeMicros = 10,  // virtual time a round trip on the wire costs
};

// The registers of a slave that has nothing to say: all zero but AL status INIT and the
// EEPROM data register, which reads as a blank EEPROM (all ones).
const uint8_t* QuietSlaveImage();

// Installs the responder as the process's capture back end; replies come from `script`
// (kept by pointer, read as the master sends).
void ResponderInstall(FuzzReader* script);
// Installs a recording responder: replies come from the simulated segment, and each is
// appended to `record` in the script format, so a target given the record replays the
// same exchanges. Used to make seed inputs from real transfers.
void ResponderInstallRecorder(SimSegment* segment, std::vector<uint8_t>* record);
void ResponderUninstall();

struct ResponderCounts {
    uint64_t requests;
    uint64_t replies;
    uint64_t lost;
};
ResponderCounts ResponderStats();
