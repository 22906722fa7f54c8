// The value parsers of `ecalias sdo` and `ecalias reg` on any text: a value that is
// taken must have its type's byte count, and its text must read back to the same bytes
// (for strings: up to the first zero byte); a refused value leaves no bytes. Any bytes
// of any count decode without fault, and their JSON form is no raw control character.
//
// Input: a type selector (1 byte, modulo the 13 types), then the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tool/cli/value_codec.h"

namespace {

constexpr ValueType kTypes[] = {ValueType::kBool, ValueType::kU8,  ValueType::kU16, ValueType::kU32,
                                ValueType::kU64,  ValueType::kI8,  ValueType::kI16, ValueType::kI32,
                                ValueType::kI64,  ValueType::kF32, ValueType::kF64, ValueType::kString,
                                ValueType::kOctets};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const ValueType type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<uint8_t> bytes;
    std::string error;
    if (ValueEncode(type, text, &bytes, &error)) {
        const size_t fixed = ValueTypeBytes(type);
        if (fixed != 0 && bytes.size() != fixed) abort();
        std::string back;
        if (!ValueDecode(type, bytes.data(), bytes.size(), &back, &error)) abort();
        std::vector<uint8_t> again;
        if (!ValueEncode(type, back, &again, &error)) {
            // Only a string with a zero byte shows shorter than it is (and may show empty).
            if (type != ValueType::kString) abort();
        } else if (type != ValueType::kString && again != bytes) {
            abort();
        }
    } else if (!bytes.empty() || error.empty()) {
        abort();
    }
    // The raw input as a value of the type, as it would come back from a slave.
    std::string shown, json;
    if (ValueDecodeJson(type, data + 1, size - 1, &json, &error))
        for (char c : json)
            if (static_cast<unsigned char>(c) < 0x20) abort();
    ValueDecode(type, data + 1, size - 1, &shown, &error);
    return 0;
}
