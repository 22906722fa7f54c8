#include "tool/cli/hex_dump.h"

#include <cstdio>

namespace {
constexpr size_t kWordsPerLine = 8;
}

std::string HexDumpWords(const uint16_t* words, size_t count, uint32_t first_word) {
    std::string out;
    for (size_t line = 0; line < count; line += kWordsPerLine) {
        char text[16];
        snprintf(text, sizeof text, "%04zx:", first_word + line);
        out += text;
        std::string printable;
        for (size_t n = 0; n < kWordsPerLine; n++) {
            if (line + n < count) {
                const uint16_t w = words[line + n];
                snprintf(text, sizeof text, " %04x", w);
                out += text;
                for (int b = 0; b < 2; b++) {
                    const unsigned char c = static_cast<unsigned char>(w >> (8 * b));
                    printable.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
                }
            } else {
                out += "     ";
            }
        }
        out += "  |" + printable + "|\n";
    }
    return out;
}
