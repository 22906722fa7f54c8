#include "tool/cli/json_writer.h"

#include <cinttypes>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence starting at text[at], or 0.
size_t Utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t n) { return static_cast<unsigned char>(text[n]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t n = 1; n < length; n++) {
        if ((byte(at + n) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + n) & 0x3F);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::string JsonWriter::Quote(const std::string& text) {
    std::string quoted = "\"";
    for (size_t n = 0; n < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[n]);
        char escape[8];
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else if (c < 0x80) {
            quoted += static_cast<char>(c);
        } else {
            const size_t length = Utf8Length(text, n);
            if (length == 0) {
                // A byte of a name in another encoding: its value as a code point, so the
                // document stays valid.
                snprintf(escape, sizeof escape, "\\u%04x", c);
                quoted += escape;
            } else {
                quoted.append(text, n, length);
                n += length;
                continue;
            }
        }
        n++;
    }
    quoted += '"';
    return quoted;
}

void JsonWriter::BeforeValue() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!open_.empty()) {
        if (!open_.back()) text_ += ", ";
        open_.back() = false;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    text_ += '{';
    open_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    text_ += '}';
    if (!open_.empty()) open_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    text_ += '[';
    open_.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    text_ += ']';
    if (!open_.empty()) open_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(const char* key) {
    BeforeValue();
    text_ += Quote(key);
    text_ += ": ";
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& text) {
    BeforeValue();
    text_ += Quote(text);
    return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
    BeforeValue();
    char digits[24];
    snprintf(digits, sizeof digits, "%" PRId64, value);
    text_ += digits;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
    return *this;
}

JsonWriter& JsonWriter::Raw(const std::string& json) {
    BeforeValue();
    text_ += json;
    return *this;
}

void JsonWriter::Clear() {
    text_.clear();
    open_.clear();
    after_key_ = false;
}
