// CoE SDO server of a simulated slave (coe_sdo_server.cpp) and its object dictionary
// (coe_dictionary.cpp): an object dictionary configurable per slave,
// expedited, normal and segmented transfers in both directions, complete access to
// records, and the device register window behind objects 0x7012 (command word) and
// 0x7013 (data word).
#pragma once
#include <cstdint>
#include <unordered_map>
#include <vector>

struct SimSlave;

enum SimObjectType : uint8_t {
    kSimU8,
    kSimU16,
    kSimU32,
    kSimI8,
    kSimI16,
    kSimI32,
    kSimOctets,  // octet or visible string: any length up to max_size
    kSimBool,    // one byte, 0 or 1
    kSimU64,
    kSimI64,
    kSimF32,     // IEEE 754 single precision, little-endian
    kSimF64,     // IEEE 754 double precision, little-endian
};

// Bytes an object of this type holds (0 for octets: any length).
uint32_t SimObjectTypeSize(SimObjectType type);

// Abort codes as the CoE standard names them.
enum : uint32_t {
    kAbortToggle = 0x05030000,             // toggle bit not alternated
    kAbortCommand = 0x05040001,            // client/server command specifier not valid
    kAbortUnsupportedAccess = 0x06010000,  // unsupported access to an object
    kAbortReadOnly = 0x06010002,           // attempt to write a read-only object
    kAbortNoObject = 0x06020000,           // object does not exist in the dictionary
    kAbortLength = 0x06070010,             // data type does not match, length does not match
    kAbortNoSubindex = 0x06090011,         // subindex does not exist
    kAbortValueRange = 0x06090030,         // value range of parameter exceeded
    kAbortGeneral = 0x08000000,            // general error
};

// The device register window: writing REGISTER << 8 | 1 to the command object writes the
// data object's value to that register; REGISTER << 8 reads the register into it.
enum : uint16_t {
    kSimObjectRegisterCommand = 0x7012,
    kSimObjectRegisterData = 0x7013,
};

struct SimObject {
    uint16_t index;
    uint8_t subindex;
    SimObjectType type;
    bool writable;
    uint32_t max_size;           // octets only; integers have their type's size
    std::vector<uint8_t> value;  // little-endian for numbers
};

struct SimCoeTransfer {
    bool active;
    bool upload;
    uint16_t index;
    uint8_t subindex;
    bool complete_access;
    uint8_t toggle;      // toggle the next segment request must carry
    uint32_t total;      // complete size
    uint32_t position;   // bytes moved so far
    std::vector<uint8_t> data;
};

struct SimCoeServer {
    bool defaults_built;
    std::vector<SimObject> objects;
    SimCoeTransfer transfer;
    std::unordered_map<uint32_t, uint32_t> registers;  // device registers written so far
    uint64_t requests_served;
    uint32_t last_abort;  // last abort code sent, 0 when none
};

// The dictionary every simulated slave starts with (see coe_dictionary.cpp); identity values
// come from the slave's SII. Objects defined earlier (options, tests) are kept.
void SimCoeBuildDefaults(SimSlave* slave);
// Ends a transfer in progress (state change to INIT, power-on).
void SimCoeReset(SimSlave* slave);
// Serves one CoE SDO request message (mailbox header first, `request_bytes` valid).
// Writes the reply message into `reply` (room for `reply_room` bytes: the read
// mailbox's size) with its Length field and CoE header set; the mailbox layer sets the
// type and counter. Returns the reply's size in bytes, 0 when no reply is due.
int SimCoeServe(SimSlave* slave, const uint8_t* request, int request_bytes, uint8_t* reply, int reply_room);

// Defines or replaces an object entry. For a record, define subindex 0 (kSimU8, the
// highest subindex) and the subindices 1..n. Numbers take value_size = their size.
void SimObjectDefine(SimSlave* slave, uint16_t index, uint8_t subindex, SimObjectType type, bool writable,
                     const void* value, uint32_t value_size, uint32_t max_size = 65535);
// Integer and bool types: the low bytes of `value`, as many as the type holds.
void SimObjectDefineInteger(SimSlave* slave, uint16_t index, uint8_t subindex, SimObjectType type, bool writable,
                            int64_t value);
SimObject* SimObjectFind(SimSlave* slave, uint16_t index, uint8_t subindex);
void SimObjectRemove(SimSlave* slave, uint16_t index);
// Device register file behind 0x7012/0x7013. A register never written reads as
// (position << 24) | register, so tests see which slave and register answered.
uint32_t SimRegisterGet(const SimSlave* slave, uint32_t reg);
void SimRegisterSet(SimSlave* slave, uint32_t reg, uint32_t value);
// Parses a type name for options: bool u8 u16 u32 u64 i8 i16 i32 i64 f32 f64 octets
// string (any case). False if unknown.
bool SimObjectTypeParse(const char* text, SimObjectType* type);
// The value of a number or bool object as an option gives it: an integer (decimal, 0x
// hex or 0 octal, as every option takes numbers) within the type's range; 0, 1, true or
// false for bool; a decimal or hex float (inf and nan included) within the type's range
// for f32/f64. Fills `out` (8 bytes of room) little-endian and returns the size; returns
// 0 and points `expected` at a constant text saying what the type takes when the text
// is no such value. Octets: always 0.
uint32_t SimObjectValueParse(SimObjectType type, const char* text, uint8_t* out, const char** expected);
// Help text: the objects every slave starts with, one line each.
const char* SimCoeDefaultObjectsHelp();
