// SII EEPROM images decoded into a parsed representation: the configuration words 0-7
// with their checksum, identity, mailbox words, size and version, and every category
// behind word 0x40. The decoder reads only inside the image it is given; what a real
// image gets wrong becomes a warning, and a chain that cannot be followed stops the
// walk with a message saying where. Renderers for text and JSON follow the same order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum : uint16_t {
    kSiiCategoryStrings = 10,
    kSiiCategoryDataTypes = 20,
    kSiiCategoryGeneral = 30,
    kSiiCategoryFmmu = 40,
    kSiiCategorySyncManager = 41,
    kSiiCategoryTxPdo = 50,
    kSiiCategoryRxPdo = 51,
    kSiiCategoryDc = 60,
    kSiiCategoryEnd = 0xFFFF,
};

enum { kSiiFirstCategoryWord = 0x40, kSiiSizeWordNumber = 0x3E, kSiiVersionWordNumber = 0x3F };

// A word that the image may not reach: `present` says whether it was inside.
struct SiiField {
    bool present = false;
    uint32_t value = 0;
};

struct SiiHeaderWords {
    SiiField pdi_control, pdi_config, sync_impulse, pdi_config_extended, station_alias;
    SiiField reserved5, reserved6, checksum_word;
    uint8_t checksum_expected = 0;
    bool checksum_valid = false;
};

struct SiiMailboxWords {
    SiiField receive_offset, receive_size, send_offset, send_size;
};

struct SiiStringEntry {
    int number = 0;
    std::string text;
};

struct SiiGeneralCategory {
    uint8_t group_index = 0, image_index = 0, order_index = 0, name_index = 0;
    uint8_t coe_details = 0, foe_details = 0, eoe_details = 0, soe_channels = 0, ds402_channels = 0;
    uint8_t sysman_class = 0, flags = 0;
    int16_t current_ma = 0;
    uint16_t physical_ports = 0;
    bool complete = false;  // all 14 bytes up to the current were present
};

struct SiiSyncManagerEntry {
    uint16_t start = 0, length = 0;
    uint8_t control = 0, status = 0, enable = 0, type = 0;
};

struct SiiPdoEntry {
    uint16_t index = 0;
    uint8_t subindex = 0, name_index = 0, data_type = 0, bit_length = 0;
    uint16_t flags = 0;
};

struct SiiPdo {
    uint16_t index = 0;
    uint8_t entry_count = 0, sync_manager = 0, dc_sync = 0, name_index = 0;
    uint16_t flags = 0;
    std::vector<SiiPdoEntry> entries;
};

struct SiiDcEntry {
    uint32_t cycle_time0 = 0, shift_time0 = 0, shift_time1 = 0;
    int16_t sync1_cycle_factor = 0, sync0_cycle_factor = 0;
    uint16_t assign_activate = 0;
    uint8_t name_index = 0, description_index = 0;
};

struct SiiCategory {
    uint16_t type = 0;
    uint32_t word = 0;        // where its type word is
    uint32_t size_words = 0;  // as its size word announces
    uint32_t data_words = 0;  // of them inside the image
    std::vector<SiiStringEntry> strings;
    SiiGeneralCategory general;
    std::vector<uint8_t> fmmus;
    std::vector<SiiSyncManagerEntry> sync_managers;
    std::vector<SiiPdo> pdos;
    std::vector<SiiDcEntry> dc;
};

struct SiiDecoded {
    size_t image_words = 0;
    SiiHeaderWords header;
    SiiField vendor, product, revision, serial;
    SiiMailboxWords bootstrap_mailbox, standard_mailbox;
    SiiField mailbox_protocols, size_word, version;
    bool end_marker = false;
    std::vector<SiiCategory> categories;
    std::vector<std::string> warnings;
};

// Decodes `count` words (host order). Never reads outside words[0..count).
SiiDecoded SiiDecode(const uint16_t* words, size_t count);

// The category's name ("strings", "general", ..., "unknown").
const char* SiiCategoryName(uint16_t type);
// EEPROM bytes the size word announces: (value + 1) * 128.
uint32_t SiiEepromBytes(uint32_t size_word);

std::string SiiRenderText(const SiiDecoded& decoded);
// One JSON object (no trailing newline).
std::string SiiRenderJson(const SiiDecoded& decoded);
