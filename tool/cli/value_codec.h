// Values of SDO objects and ESC registers as typed on a command line and shown back:
// bool, unsigned and signed integers of 8-64 bits, f32, f64, string and octets, in the
// little-endian byte order of the wire. Numbers are decimal or 0x-hexadecimal and are
// range-checked; nothing out of range is ever truncated into a value.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class ValueType { kBool, kU8, kU16, kU32, kU64, kI8, kI16, kI32, kI64, kF32, kF64, kString, kOctets };

// "u16" -> kU16. False for an unknown name.
bool ValueTypeParse(const char* name, ValueType* type);
const char* ValueTypeName(ValueType type);
// Bytes on the wire, 0 for string and octets (any length).
size_t ValueTypeBytes(ValueType type);
// "bool u8 u16 u32 u64 i8 i16 i32 i64 f32 f64 string octets"
const char* ValueTypeList();

// Text to bytes. Octets are hex digit pairs ("0a1b2c"); "@FILE" is the caller's to read
// (ValueReadOctetsFile). On failure *error says what is wrong and what is expected.
bool ValueEncode(ValueType type, const std::string& text, std::vector<uint8_t>* bytes, std::string* error);

// Bytes to text; integers in decimal, floats so that they read back the same. Fails
// (with *error) when the byte count does not fit the type.
bool ValueDecode(ValueType type, const uint8_t* bytes, size_t count, std::string* text, std::string* error);
// The same as a JSON value: numbers as JSON numbers, bool as true/false, string and
// octets as JSON strings (octets in hex).
bool ValueDecodeJson(ValueType type, const uint8_t* bytes, size_t count, std::string* json, std::string* error);

// Whole numbers as the command line takes them: decimal or 0x, optional '-' for signed.
bool ValueParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);
bool ValueParseSigned(const std::string& text, int64_t min, int64_t max, int64_t* value);

// Reads an octets file named after '@' (at most max_bytes). False with *error.
bool ValueReadOctetsFile(const char* path, size_t max_bytes, std::vector<uint8_t>* bytes, std::string* error);

// Bytes in lower-case hex without separators.
std::string ValueHex(const uint8_t* bytes, size_t count);
// A JSON string literal, quotes included. Well-formed UTF-8 passes; control characters
// and bytes that are no UTF-8 are escaped as \u00XX, so any bytes give valid JSON.
std::string JsonQuote(const std::string& text);
