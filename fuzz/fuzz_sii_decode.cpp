// The SII decoder of `ecalias sii show` on any image: bytes become little-endian words
// (an odd last byte is dropped, as no image file has one), decoded and rendered as text
// and JSON. Whatever the words hold, the decoder must stay inside them (the address
// sanitizer watches a copy of exactly their size), every category it reports must lie
// where the chain put it, and the JSON must be one balanced document.
//
// Input: the image, low byte of word 0 first (at most 64 KiB are used).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tool/cli/sii_decode.h"

namespace {

// Brackets balance outside strings, and strings end: a cheap structural check of the
// renderer's output.
bool Balanced(const std::string& json) {
    int depth = 0;
    bool in_string = false;
    for (size_t n = 0; n < json.size(); n++) {
        const char c = json[n];
        if (in_string) {
            if (c == '\\') n++;
            else if (c == '"') in_string = false;
            else if (static_cast<unsigned char>(c) < 0x20) return false;
            continue;
        }
        if (c == '"') in_string = true;
        else if (c == '{' || c == '[') depth++;
        else if (c == '}' || c == ']') {
            if (--depth < 0) return false;
        }
    }
    return depth == 0 && !in_string;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t count = size / 2;
    if (count > 32768) count = 32768;
    std::unique_ptr<uint16_t[]> words(new uint16_t[count == 0 ? 1 : count]);
    for (size_t n = 0; n < count; n++) words[n] = static_cast<uint16_t>(data[2 * n] | (data[2 * n + 1] << 8));
    const SiiDecoded decoded = SiiDecode(count == 0 ? nullptr : words.get(), count);
    uint32_t next = 0x40;
    for (const SiiCategory& c : decoded.categories) {
        if (c.word != next || c.word + 2 > count || c.data_words > c.size_words || c.word + 2 + c.data_words > count)
            abort();
        next = c.word + 2 + c.size_words;
    }
    SiiRenderText(decoded);
    if (!Balanced(SiiRenderJson(decoded))) abort();
    return 0;
}
