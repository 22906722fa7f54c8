// CoE SDO transfers: expedited, normal and segmented, with complete access.
//
// Every transfer is a sequence of request/reply pairs through the mailbox transport.
// Failures the slave reports (an abort) and replies the master cannot use are recorded
// in the error list: SDO_ABORT with the abort code, PACKET_ERROR code 1 (not the
// expected SDO response, or a reply whose Length runs past the bytes read) or code 3
// (data does not fit the caller's buffer).
#pragma once
#include <cstdint>

struct MasterContext;

enum : uint16_t {
    kCoeServiceEmergency = 1,
    kCoeServiceSdoRequest = 2,
    kCoeServiceSdoResponse = 3,
    kCoeHeaderSdoRequest = 0x2000,
};

// SDO command bytes and bits.
enum : uint8_t {
    kSdoUploadInitiate = 0x40,
    kSdoUploadSegment = 0x60,
    kSdoDownloadExpedited = 0x23,  // + (4 - size) * 4
    kSdoDownloadNormal = 0x21,
    kSdoCompleteAccess = 0x10,
    kSdoToggle = 0x10,
    kSdoLastSegment = 0x01,
    kSdoExpeditedBit = 0x02,
    kSdoAbort = 0x80,
};

enum {
    // The smallest message an SDO transfer sends: mailbox header, CoE header, command,
    // index, subindex and four data bytes. A write mailbox shorter than this cannot
    // carry a request.
    kSdoMinimumMailbox = 16,
    kSdoMaximumDownload = 65535,
};

// How long an answer the master gave up on is still awaited before the next request to
// the same slave goes out. A slave answers late when it is slow (a flash write, a busy
// firmware); an answer later than this is taken to be lost.
constexpr uint32_t kOwedAnswerWaitUs = 100000;

// Reads index:subindex into data. *size: capacity on entry, bytes delivered on return
// (left unchanged when nothing was delivered). Above 0: success, the working counter of
// the last reply; 0: failure; below 0: a datagram failure passed through.
int SdoUpload(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, uint8_t complete_access,
              int32_t* size, void* data, int32_t timeout_us);
// Writes size bytes (1..65535) of data to index:subindex. Results as SdoUpload.
int SdoDownload(MasterContext* master, uint16_t slave, uint16_t index, uint8_t subindex, uint8_t complete_access,
                int32_t size, const void* data, int32_t timeout_us);
