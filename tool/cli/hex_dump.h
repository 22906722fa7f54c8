// A hex dump of SII words: the word offset, eight words, and the 16 bytes as text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// `words` hold the words from `first_word` on.
std::string HexDumpWords(const uint16_t* words, size_t count, uint32_t first_word);
