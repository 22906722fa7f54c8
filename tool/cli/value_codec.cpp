#include "tool/cli/value_codec.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

struct TypeRow {
    ValueType type;
    const char* name;
    size_t bytes;
};

constexpr TypeRow kTypes[] = {
    {ValueType::kBool, "bool", 1},     {ValueType::kU8, "u8", 1},   {ValueType::kU16, "u16", 2},
    {ValueType::kU32, "u32", 4},       {ValueType::kU64, "u64", 8}, {ValueType::kI8, "i8", 1},
    {ValueType::kI16, "i16", 2},       {ValueType::kI32, "i32", 4}, {ValueType::kI64, "i64", 8},
    {ValueType::kF32, "f32", 4},       {ValueType::kF64, "f64", 8}, {ValueType::kString, "string", 0},
    {ValueType::kOctets, "octets", 0},
};

bool IsUnsigned(ValueType t) {
    return t == ValueType::kU8 || t == ValueType::kU16 || t == ValueType::kU32 || t == ValueType::kU64;
}
bool IsSigned(ValueType t) {
    return t == ValueType::kI8 || t == ValueType::kI16 || t == ValueType::kI32 || t == ValueType::kI64;
}

void PutLittle(uint64_t value, size_t bytes, std::vector<uint8_t>* out) {
    for (size_t n = 0; n < bytes; n++) out->push_back(static_cast<uint8_t>(value >> (8 * n)));
}

uint64_t GetLittle(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t n = 0; n < count; n++) value |= static_cast<uint64_t>(bytes[n]) << (8 * n);
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digits only: no sign, no spaces; base 10 or 16 after "0x".
bool ParseMagnitude(const std::string& text, size_t at, uint64_t* value) {
    unsigned base = 10;
    if (text.size() >= at + 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
    }
    if (at >= text.size()) return false;
    uint64_t v = 0;
    for (; at < text.size(); at++) {
        const int digit = HexDigit(text[at]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
        if (v > (std::numeric_limits<uint64_t>::max() - static_cast<unsigned>(digit)) / base) return false;
        v = v * base + static_cast<unsigned>(digit);
    }
    *value = v;
    return true;
}

std::string RangeText(ValueType t) {
    char text[96];
    switch (t) {
    case ValueType::kU8: return "a whole number 0 to 255 (decimal or 0x)";
    case ValueType::kU16: return "a whole number 0 to 65535 (decimal or 0x)";
    case ValueType::kU32: return "a whole number 0 to 4294967295 (decimal or 0x)";
    case ValueType::kU64: return "a whole number 0 to 18446744073709551615 (decimal or 0x)";
    case ValueType::kI8: return "a whole number -128 to 127 (decimal or 0x)";
    case ValueType::kI16: return "a whole number -32768 to 32767 (decimal or 0x)";
    case ValueType::kI32: return "a whole number -2147483648 to 2147483647 (decimal or 0x)";
    case ValueType::kI64:
        snprintf(text, sizeof text, "a whole number %lld to %lld (decimal or 0x)",
                 static_cast<long long>(std::numeric_limits<int64_t>::min()),
                 static_cast<long long>(std::numeric_limits<int64_t>::max()));
        return text;
    case ValueType::kF32: return "a finite number within the range of a 32-bit float";
    case ValueType::kF64: return "a finite number";
    case ValueType::kBool: return "0, 1, true or false";
    case ValueType::kOctets: return "hex digit pairs such as 0a1b2c, or @FILE";
    default: return "a text";
    }
}

bool ParseFloat(const std::string& text, double* value) {
    if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
    // Hex floats and the words inf/nan are not numbers an operator means to type.
    for (char c : text)
        if (!(isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'))
            return false;
    errno = 0;
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
    if (errno == ERANGE && std::fabs(v) > 1.0) return false;  // overflow; underflow to 0 or denormal is a value
    *value = v;
    return true;
}

std::string FormatDouble(double v, int digits) {
    char text[64];
    snprintf(text, sizeof text, "%.*g", digits, v);
    return text;
}

bool CheckSize(ValueType type, size_t count, std::string* error) {
    const size_t want = ValueTypeBytes(type);
    if (want == 0 || count == want) return true;
    char text[128];
    snprintf(text, sizeof text, "the value has %zu bytes, a %s has %zu", count, ValueTypeName(type), want);
    *error = text;
    return false;
}

}  // namespace

bool ValueTypeParse(const char* name, ValueType* type) {
    if (name == nullptr) return false;
    for (const TypeRow& row : kTypes)
        if (strcmp(row.name, name) == 0) {
            *type = row.type;
            return true;
        }
    return false;
}

const char* ValueTypeName(ValueType type) {
    for (const TypeRow& row : kTypes)
        if (row.type == type) return row.name;
    return "?";
}

size_t ValueTypeBytes(ValueType type) {
    for (const TypeRow& row : kTypes)
        if (row.type == type) return row.bytes;
    return 0;
}

const char* ValueTypeList() { return "bool u8 u16 u32 u64 i8 i16 i32 i64 f32 f64 string octets"; }

bool ValueParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    uint64_t v = 0;
    if (!ParseMagnitude(text, 0, &v) || v > max) return false;
    *value = v;
    return true;
}

bool ValueParseSigned(const std::string& text, int64_t min, int64_t max, int64_t* value) {
    const bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    if (!ParseMagnitude(text, negative ? 1 : 0, &magnitude)) return false;
    int64_t v = 0;
    if (negative) {
        // -(2^63) is the one magnitude beyond INT64_MAX that has a value.
        if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) return false;
        v = magnitude == static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                ? std::numeric_limits<int64_t>::min()
                : -static_cast<int64_t>(magnitude);
    } else {
        if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
        v = static_cast<int64_t>(magnitude);
    }
    if (v < min || v > max) return false;
    *value = v;
    return true;
}

bool ValueEncode(ValueType type, const std::string& text, std::vector<uint8_t>* bytes, std::string* error) {
    bytes->clear();
    const size_t size = ValueTypeBytes(type);
    bool ok = true;
    if (type == ValueType::kBool) {
        if (text == "1" || text == "true")
            bytes->push_back(1);
        else if (text == "0" || text == "false")
            bytes->push_back(0);
        else
            ok = false;
    } else if (IsUnsigned(type)) {
        const uint64_t max = size == 8 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << (8 * size)) - 1;
        uint64_t v = 0;
        ok = ValueParseUnsigned(text, max, &v);
        if (ok) PutLittle(v, size, bytes);
    } else if (IsSigned(type)) {
        const int64_t max = size == 8 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (8 * size - 1)) - 1;
        int64_t v = 0;
        ok = ValueParseSigned(text, -max - 1, max, &v);
        if (ok) PutLittle(static_cast<uint64_t>(v), size, bytes);
    } else if (type == ValueType::kF32) {
        double v = 0;
        // Values that round to the largest float are fine; from 2^128 - 2^103 on they round to infinity.
        ok = ParseFloat(text, &v) && std::fabs(v) < std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
        if (ok) {
            const float f = static_cast<float>(v);
            uint32_t raw = 0;
            memcpy(&raw, &f, sizeof raw);
            PutLittle(raw, 4, bytes);
        }
    } else if (type == ValueType::kF64) {
        double v = 0;
        ok = ParseFloat(text, &v);
        if (ok) {
            uint64_t raw = 0;
            memcpy(&raw, &v, sizeof raw);
            PutLittle(raw, 8, bytes);
        }
    } else if (type == ValueType::kString) {
        ok = !text.empty();
        bytes->assign(text.begin(), text.end());
    } else {  // octets
        ok = !text.empty() && text.size() % 2 == 0;
        for (size_t n = 0; ok && n < text.size(); n += 2) {
            const int high = HexDigit(text[n]), low = HexDigit(text[n + 1]);
            if (high < 0 || low < 0) ok = false;
            else bytes->push_back(static_cast<uint8_t>(high << 4 | low));
        }
    }
    if (!ok) {
        bytes->clear();
        *error = "\"" + text + "\" is not a " + ValueTypeName(type) + " value: expected " + RangeText(type);
    }
    return ok;
}

bool ValueDecode(ValueType type, const uint8_t* bytes, size_t count, std::string* text, std::string* error) {
    if (!CheckSize(type, count, error)) return false;
    const uint64_t raw = count <= 8 ? GetLittle(bytes, count) : 0;
    char out[64];
    if (type == ValueType::kBool) {
        *text = bytes[0] != 0 ? "true" : "false";
    } else if (IsUnsigned(type)) {
        snprintf(out, sizeof out, "%llu", static_cast<unsigned long long>(raw));
        *text = out;
    } else if (IsSigned(type)) {
        const unsigned bits = 8 * static_cast<unsigned>(count);
        int64_t v = static_cast<int64_t>(raw);
        if (bits < 64 && (raw >> (bits - 1)) & 1u) v = static_cast<int64_t>(raw | (~uint64_t{0} << bits));
        snprintf(out, sizeof out, "%lld", static_cast<long long>(v));
        *text = out;
    } else if (type == ValueType::kF32) {
        const uint32_t r32 = static_cast<uint32_t>(raw);
        float f = 0;
        memcpy(&f, &r32, sizeof f);
        *text = FormatDouble(f, 9);
    } else if (type == ValueType::kF64) {
        double d = 0;
        memcpy(&d, &raw, sizeof d);
        *text = FormatDouble(d, 17);
    } else if (type == ValueType::kString) {
        // Visible strings are often padded with zero bytes: the text ends at the first.
        size_t length = 0;
        while (length < count && bytes[length] != 0) length++;
        text->assign(reinterpret_cast<const char*>(bytes), length);
    } else {
        *text = ValueHex(bytes, count);
    }
    return true;
}

bool ValueDecodeJson(ValueType type, const uint8_t* bytes, size_t count, std::string* json, std::string* error) {
    std::string text;
    if (!ValueDecode(type, bytes, count, &text, error)) return false;
    if (type == ValueType::kString || type == ValueType::kOctets) {
        *json = JsonQuote(text);
    } else if ((type == ValueType::kF32 || type == ValueType::kF64) &&
               (text.find("nan") != std::string::npos || text.find("inf") != std::string::npos)) {
        *json = "null";  // JSON has no NaN or infinity
    } else {
        *json = text;
    }
    return true;
}

bool ValueReadOctetsFile(const char* path, size_t max_bytes, std::vector<uint8_t>* bytes, std::string* error) {
    bytes->clear();
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        *error = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    uint8_t chunk[4096];
    size_t got = 0;
    bool too_big = false;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (bytes->size() + got > max_bytes) {
            too_big = true;
            break;
        }
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    const bool failed = ferror(file) != 0;
    const int saved = errno;
    fclose(file);
    if (failed) {
        *error = std::string("cannot read ") + path + ": " + strerror(saved);
        return false;
    }
    if (too_big) {
        *error = std::string(path) + " is larger than " + std::to_string(max_bytes) + " bytes";
        return false;
    }
    if (bytes->empty()) {
        *error = std::string(path) + " is empty: an SDO needs at least one byte";
        return false;
    }
    return true;
}

std::string ValueHex(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (size_t n = 0; n < count; n++) {
        text.push_back(kDigits[bytes[n] >> 4]);
        text.push_back(kDigits[bytes[n] & 0x0F]);
    }
    return text;
}

namespace {

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none.
size_t Utf8Sequence(const std::string& text, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07;
    else return 0;
    if (at + length > text.size()) return 0;
    for (size_t n = 1; n < length; n++) {
        const unsigned char c = static_cast<unsigned char>(text[at + n]);
        if ((c & 0xC0) != 0x80) return 0;
        code = code << 6 | (c & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string JsonQuote(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size(); at++) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const size_t sequence = c >= 0x80 ? Utf8Sequence(text, at) : 0;
        if (sequence > 0) {
            out.append(text, at, sequence);
            at += sequence - 1;
        } else if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c >= 0x7F) {  // a byte that is no UTF-8 text: its value
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}
