// A small JSON writer: builds one document in memory, with commas and string escaping
// done here, so commands only name keys and values.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class JsonWriter {
public:
    // Containers. Inside an object each value is preceded by Key().
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(const char* key);

    JsonWriter& String(const std::string& text);
    JsonWriter& Number(int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    // A value that is already one complete JSON value (e.g. a decoder's own rendering).
    JsonWriter& Raw(const std::string& json);

    // Shorthands for a key and its value.
    JsonWriter& Field(const char* key, const std::string& text) { return Key(key).String(text); }
    JsonWriter& Field(const char* key, const char* text) { return Key(key).String(text); }
    JsonWriter& Field(const char* key, int64_t value) { return Key(key).Number(value); }
    JsonWriter& Field(const char* key, int value) { return Key(key).Number(value); }
    JsonWriter& Field(const char* key, unsigned value) { return Key(key).Number(value); }
    JsonWriter& Field(const char* key, uint32_t value, bool known) {
        return known ? Key(key).Number(value) : Key(key).Null();
    }
    JsonWriter& FieldBool(const char* key, bool value) { return Key(key).Bool(value); }

    // The document so far; empty when nothing was written.
    const std::string& text() const { return text_; }
    void Clear();
    // True when every container was closed.
    bool Complete() const { return !text_.empty() && open_.empty(); }

    // `text` as a JSON string with quotes: ", \ and control characters escaped, bytes
    // that are not valid UTF-8 written as \u00XX of their value.
    static std::string Quote(const std::string& text);

private:
    void BeforeValue();
    std::string text_;
    // For each open container: true while it is still empty.
    std::vector<bool> open_;
    bool after_key_ = false;
};
