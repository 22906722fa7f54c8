#include "sim/sii_image.h"

#include <cstdio>
#include <cstring>

namespace {

struct CategorySpan {
    uint16_t type;
    int first_word;   // the type word
    int data_words;
};

enum { kMaxCategories = 64 };

// Reads the chain into `spans`; returns how many categories were found before the end
// marker. A chain that runs off the image, leads backwards or has too many categories
// ends where it stops making sense.
int ReadChain(const uint16_t* words, CategorySpan* spans) {
    int count = 0;
    int at = kSiiWordFirstCategory;
    while (at + 1 < kSiiImageWords && count < kMaxCategories) {
        uint16_t type = words[at];
        if (type == kSiiCategoryEnd) break;
        int length = words[at + 1];
        int next = at + 2 + length;
        if (next > kSiiImageWords) break;
        spans[count++] = CategorySpan{type, at, length};
        at = next;
    }
    return count;
}

int ChainEnd(const CategorySpan* spans, int count) {
    if (count == 0) return kSiiWordFirstCategory;
    return spans[count - 1].first_word + 2 + spans[count - 1].data_words;
}

// Rebuilds the chain with category `type` replaced by `data` (or removed when data is
// null), keeping every other category in its place.
bool RewriteChain(uint16_t* words, uint16_t type, const uint8_t* data, int byte_count) {
    CategorySpan spans[kMaxCategories];
    int count = ReadChain(words, spans);
    uint16_t rebuilt[kSiiImageWords];
    int out = kSiiWordFirstCategory;
    bool placed = data == nullptr;
    int data_words = (byte_count + 1) / 2;
    auto put_ours = [&]() -> bool {
        if (out + 2 + data_words + 1 > kSiiImageWords) return false;
        rebuilt[out++] = type;
        rebuilt[out++] = static_cast<uint16_t>(data_words);
        for (int i = 0; i < data_words; i++) {
            uint8_t low = data[2 * i];
            uint8_t high = 2 * i + 1 < byte_count ? data[2 * i + 1] : 0;
            rebuilt[out++] = static_cast<uint16_t>(low | (high << 8));
        }
        return true;
    };
    for (int c = 0; c < count; c++) {
        if (spans[c].type == type) {
            if (!placed && !put_ours()) return false;
            placed = true;
            continue;
        }
        if (out + 2 + spans[c].data_words + 1 > kSiiImageWords) return false;
        memcpy(rebuilt + out, words + spans[c].first_word, sizeof(uint16_t) * (2 + spans[c].data_words));
        out += 2 + spans[c].data_words;
    }
    if (!placed && !put_ours()) return false;
    // The old chain may have been longer: everything behind the new end marker is erased
    // EEPROM (0xFFFF) up to where the old chain ended.
    int old_end = ChainEnd(spans, count) + 1;
    rebuilt[out++] = kSiiCategoryEnd;
    memcpy(words + kSiiWordFirstCategory, rebuilt + kSiiWordFirstCategory,
           sizeof(uint16_t) * (out - kSiiWordFirstCategory));
    for (int w = out; w < old_end && w < kSiiImageWords; w++) words[w] = 0xFFFF;
    return true;
}

}  // namespace

void SiiSetIdentity(uint16_t* words, uint32_t vendor, uint32_t product, uint32_t revision) {
    const uint32_t values[3] = {vendor, product, revision};
    for (int i = 0; i < 3; i++) {
        words[kSiiWordVendor + 2 * i] = static_cast<uint16_t>(values[i]);
        words[kSiiWordVendor + 2 * i + 1] = static_cast<uint16_t>(values[i] >> 16);
    }
}

void SiiSetMailbox(uint16_t* words, uint16_t write_offset, uint16_t write_size, uint16_t read_offset,
                   uint16_t read_size, uint16_t protocols) {
    if (write_size == 0) {
        write_offset = read_offset = read_size = protocols = 0;
    }
    // The bootstrap mailbox uses the same memory as the standard one.
    const uint16_t bases[2] = {kSiiWordBootWriteOffset, kSiiWordWriteMailboxOffset};
    for (uint16_t base : bases) {
        words[base] = write_offset;
        words[base + 1] = write_size;
        words[base + 2] = read_offset;
        words[base + 3] = read_size;
    }
    words[kSiiWordMailboxProtocols] = protocols;
}

void SiiSetGeneral(uint16_t* words, const SiiGeneral& general) {
    uint8_t data[kSiiGeneralBytes] = {0};
    int at = SiiFindCategory(words, kSiiCategoryGeneral);
    if (at >= 0) {  // keep the bytes this call does not set (group, image, order indices...)
        int length = words[at + 1] * 2;
        for (int i = 0; i < kSiiGeneralBytes && i < length; i++)
            data[i] = static_cast<uint8_t>(words[at + 2 + i / 2] >> (8 * (i & 1)));
    } else {
        data[3] = 1;  // name index: string 1
    }
    data[5] = general.coe_details;
    data[6] = general.foe_details;
    data[7] = general.eoe_details;
    data[8] = general.soe_channels;
    data[11] = general.flags;
    data[12] = static_cast<uint8_t>(general.ebus_current);
    data[13] = static_cast<uint8_t>(static_cast<uint16_t>(general.ebus_current) >> 8);
    SiiPutCategory(words, kSiiCategoryGeneral, data, kSiiGeneralBytes);
}

bool SiiSetName(uint16_t* words, const char* name) {
    size_t name_length = strlen(name);
    if (name_length > 255) return false;
    // Collect the strings after string 1 from the existing category.
    uint8_t data[2 * kSiiImageWords + 512];  // the old strings plus the new name
    int out = 1;
    data[0] = 1;
    data[out++] = static_cast<uint8_t>(name_length);
    memcpy(data + out, name, name_length);
    out += static_cast<int>(name_length);
    int at = SiiFindCategory(words, kSiiCategoryStrings);
    if (at >= 0) {
        int length = words[at + 1] * 2;
        auto byte = [&](int i) { return static_cast<uint8_t>(words[at + 2 + i / 2] >> (8 * (i & 1))); };
        int count = length > 0 ? byte(0) : 0;
        int position = 1;
        for (int s = 1; s <= count && position < length; s++) {
            int string_length = byte(position);
            if (position + 1 + string_length > length) break;
            if (s > 1) {
                for (int i = 0; i <= string_length; i++) data[out++] = byte(position + i);
                data[0]++;
            }
            position += 1 + string_length;
        }
    }
    return SiiPutCategory(words, kSiiCategoryStrings, data, out);
}

int SiiFindCategory(const uint16_t* words, uint16_t type) {
    CategorySpan spans[kMaxCategories];
    int count = ReadChain(words, spans);
    for (int c = 0; c < count; c++)
        if (spans[c].type == type) return spans[c].first_word;
    return -1;
}

bool SiiPutCategory(uint16_t* words, uint16_t type, const uint8_t* data, int byte_count) {
    if (type == kSiiCategoryEnd || byte_count < 0 || data == nullptr) return false;
    return RewriteChain(words, type, data, byte_count);
}

bool SiiRemoveCategory(uint16_t* words, uint16_t type) {
    if (SiiFindCategory(words, type) < 0) return false;
    return RewriteChain(words, type, nullptr, 0);
}

void SiiDefaultImage(uint16_t* words, int position) {
    memset(words, 0xFF, sizeof(uint16_t) * kSiiImageWords);  // erased EEPROM
    memset(words, 0, sizeof(uint16_t) * kSiiWordFirstCategory);
    words[kSiiWordPdiControl] = kSiiDefaultPdiControl;
    words[kSiiWordSyncImpulse] = 1000;  // 10 us, in 10 ns steps
    SiiUpdateChecksum(words);
    SiiSetIdentity(words, kSiiDefaultVendor, kSiiDefaultProductBase + static_cast<uint32_t>(position),
                   kSiiDefaultRevision);
    words[kSiiWordSerial] = static_cast<uint16_t>(position);
    SiiSetMailbox(words, kSiiDefaultMailboxOffset, kSiiDefaultMailboxBytes,
                  kSiiDefaultMailboxOffset + kSiiDefaultMailboxBytes, kSiiDefaultMailboxBytes, kSiiDefaultProtocols);
    words[kSiiWordSize] = 31;  // (size in Kbit) - 1
    words[kSiiWordVersion] = 1;
    words[kSiiWordFirstCategory] = kSiiCategoryEnd;
    char name[32];
    snprintf(name, sizeof(name), "ecsim slave %d", position);
    SiiSetName(words, name);
    SiiGeneral general{};
    general.coe_details = kSiiDefaultCoeDetails;
    SiiSetGeneral(words, general);
}
