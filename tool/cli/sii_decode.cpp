#include "tool/cli/sii_decode.h"

#include <cstdarg>
#include <cstdio>

#include "tool/cli/value_codec.h"

namespace {

constexpr size_t kMaxCategories = 4096;  // a chain of more is no real image

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    // Sized by a first pass: a JSON object cut at a fixed buffer would be no document.
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

uint8_t HeaderCrc(const uint16_t* words) {
    uint8_t crc = 0xFF;
    for (int n = 0; n < 14; n++) {
        crc ^= static_cast<uint8_t>(words[n / 2] >> (8 * (n & 1)));
        for (int bit = 0; bit < 8; bit++) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// The image as words, with bounds: every access goes through here.
struct ImageView {
    const uint16_t* words;
    size_t count;
    SiiField Word(size_t n) const {
        SiiField f;
        if (n < count) {
            f.present = true;
            f.value = words[n];
        }
        return f;
    }
    SiiField Dword(size_t n) const {
        SiiField f;
        if (n + 1 < count) {
            f.present = true;
            f.value = words[n] | (static_cast<uint32_t>(words[n + 1]) << 16);
        }
        return f;
    }
};

// The data bytes of one category, bounded by what lies inside the image.
struct CategoryBytes {
    const uint16_t* words;
    size_t length;  // bytes
    uint8_t U8(size_t at) const { return at < length ? static_cast<uint8_t>(words[at / 2] >> (8 * (at & 1))) : 0; }
    uint16_t U16(size_t at) const { return static_cast<uint16_t>(U8(at) | (U8(at + 1) << 8)); }
    uint32_t U32(size_t at) const { return U16(at) | (static_cast<uint32_t>(U16(at + 2)) << 16); }
};

void DecodeStrings(const CategoryBytes& data, SiiCategory* category, SiiDecoded* out) {
    if (data.length == 0) return;
    const int count = data.U8(0);
    size_t at = 1;
    for (int number = 1; number <= count; number++) {
        if (at >= data.length) {
            out->warnings.push_back(Format("strings category at word 0x%04X: string %d of %d lies past its end",
                                           category->word, number, count));
            return;
        }
        const size_t length = data.U8(at);
        if (at + 1 + length > data.length) {
            out->warnings.push_back(Format("strings category at word 0x%04X: string %d runs past its end",
                                           category->word, number));
            return;
        }
        SiiStringEntry entry;
        entry.number = number;
        for (size_t n = 0; n < length; n++) entry.text.push_back(static_cast<char>(data.U8(at + 1 + n)));
        category->strings.push_back(entry);
        at += 1 + length;
    }
}

void DecodeGeneral(const CategoryBytes& data, SiiCategory* category) {
    SiiGeneralCategory& g = category->general;
    g.group_index = data.U8(0);
    g.image_index = data.U8(1);
    g.order_index = data.U8(2);
    g.name_index = data.U8(3);
    g.coe_details = data.U8(5);
    g.foe_details = data.U8(6);
    g.eoe_details = data.U8(7);
    g.soe_channels = data.U8(8);
    g.ds402_channels = data.U8(9);
    g.sysman_class = data.U8(10);
    g.flags = data.U8(11);
    g.current_ma = static_cast<int16_t>(data.U16(12));
    g.physical_ports = data.U16(16);
    g.complete = data.length >= 14;
}

void DecodeSyncManagers(const CategoryBytes& data, SiiCategory* category) {
    for (size_t at = 0; at + 8 <= data.length; at += 8) {
        SiiSyncManagerEntry sm;
        sm.start = data.U16(at);
        sm.length = data.U16(at + 2);
        sm.control = data.U8(at + 4);
        sm.status = data.U8(at + 5);
        sm.enable = data.U8(at + 6);
        sm.type = data.U8(at + 7);
        category->sync_managers.push_back(sm);
    }
}

void DecodePdos(const CategoryBytes& data, SiiCategory* category, SiiDecoded* out) {
    size_t at = 0;
    while (at + 8 <= data.length) {
        SiiPdo pdo;
        pdo.index = data.U16(at);
        pdo.entry_count = data.U8(at + 2);
        pdo.sync_manager = data.U8(at + 3);
        pdo.dc_sync = data.U8(at + 4);
        pdo.name_index = data.U8(at + 5);
        pdo.flags = data.U16(at + 6);
        at += 8;
        for (int n = 0; n < pdo.entry_count; n++, at += 8) {
            if (at + 8 > data.length) {
                out->warnings.push_back(Format("%s category at word 0x%04X: PDO 0x%04X announces %d entries, %d fit",
                                               SiiCategoryName(category->type), category->word, pdo.index,
                                               pdo.entry_count, n));
                category->pdos.push_back(pdo);
                return;
            }
            SiiPdoEntry entry;
            entry.index = data.U16(at);
            entry.subindex = data.U8(at + 2);
            entry.name_index = data.U8(at + 3);
            entry.data_type = data.U8(at + 4);
            entry.bit_length = data.U8(at + 5);
            entry.flags = data.U16(at + 6);
            pdo.entries.push_back(entry);
        }
        category->pdos.push_back(pdo);
    }
}

void DecodeDc(const CategoryBytes& data, SiiCategory* category) {
    for (size_t at = 0; at + 24 <= data.length; at += 24) {
        SiiDcEntry dc;
        dc.cycle_time0 = data.U32(at);
        dc.shift_time0 = data.U32(at + 4);
        dc.shift_time1 = data.U32(at + 8);
        dc.sync1_cycle_factor = static_cast<int16_t>(data.U16(at + 12));
        dc.assign_activate = data.U16(at + 14);
        dc.sync0_cycle_factor = static_cast<int16_t>(data.U16(at + 16));
        dc.name_index = data.U8(at + 18);
        dc.description_index = data.U8(at + 19);
        category->dc.push_back(dc);
    }
}

void DecodeCategories(const ImageView& image, SiiDecoded* out) {
    size_t at = kSiiFirstCategoryWord;
    if (image.count <= at) {
        out->warnings.push_back(Format("the image ends at word 0x%04zX, before the categories at word 0x0040",
                                       image.count));
        return;
    }
    while (true) {
        if (at >= image.count) {
            out->warnings.push_back(Format("no end marker: the category chain runs to the end of the image (word 0x%04zX)",
                                           image.count));
            return;
        }
        const uint16_t type = image.words[at];
        if (type == kSiiCategoryEnd) {
            out->end_marker = true;
            return;
        }
        if (at + 1 >= image.count) {
            out->warnings.push_back(Format("category %u at word 0x%04zX: its size word lies past the end of the image",
                                           type, at));
            return;
        }
        if (out->categories.size() >= kMaxCategories) {
            out->warnings.push_back(Format("more than %zu categories: the walk stops at word 0x%04zX", kMaxCategories, at));
            return;
        }
        SiiCategory category;
        category.type = type;
        category.word = static_cast<uint32_t>(at);
        category.size_words = image.words[at + 1];
        const size_t data_first = at + 2;
        const size_t inside = image.count - data_first;
        category.data_words = static_cast<uint32_t>(category.size_words <= inside ? category.size_words : inside);
        const CategoryBytes data{image.words + data_first, 2 * static_cast<size_t>(category.data_words)};
        switch (type) {
        case kSiiCategoryStrings: DecodeStrings(data, &category, out); break;
        case kSiiCategoryGeneral: DecodeGeneral(data, &category); break;
        case kSiiCategoryFmmu:
            for (size_t n = 0; n < data.length; n++) category.fmmus.push_back(data.U8(n));
            break;
        case kSiiCategorySyncManager: DecodeSyncManagers(data, &category); break;
        case kSiiCategoryTxPdo:
        case kSiiCategoryRxPdo: DecodePdos(data, &category, out); break;
        case kSiiCategoryDc: DecodeDc(data, &category); break;
        default: break;
        }
        out->categories.push_back(std::move(category));
        if (category.size_words > inside) {
            const SiiCategory& last = out->categories.back();
            out->warnings.push_back(Format("%s category at word 0x%04X (%u words) runs past the end of the image "
                                           "(word 0x%04zX); the walk stops there",
                                           SiiCategoryName(last.type), last.word, last.size_words, image.count));
            return;
        }
        at = data_first + category.size_words;
    }
}

void DecodeMailbox(const ImageView& image, size_t first, SiiMailboxWords* box) {
    box->receive_offset = image.Word(first);
    box->receive_size = image.Word(first + 1);
    box->send_offset = image.Word(first + 2);
    box->send_size = image.Word(first + 3);
}

}  // namespace

const char* SiiCategoryName(uint16_t type) {
    switch (type) {
    case kSiiCategoryStrings: return "strings";
    case kSiiCategoryDataTypes: return "data types";
    case kSiiCategoryGeneral: return "general";
    case kSiiCategoryFmmu: return "FMMU";
    case kSiiCategorySyncManager: return "SyncManager";
    case kSiiCategoryTxPdo: return "TxPDO";
    case kSiiCategoryRxPdo: return "RxPDO";
    case kSiiCategoryDc: return "DC";
    default: return "unknown";
    }
}

uint32_t SiiEepromBytes(uint32_t size_word) { return (size_word + 1) * 128; }

SiiDecoded SiiDecode(const uint16_t* words, size_t count) {
    SiiDecoded out;
    out.image_words = count;
    const ImageView image{words, words != nullptr ? count : 0};
    SiiHeaderWords& h = out.header;
    h.pdi_control = image.Word(0);
    h.pdi_config = image.Word(1);
    h.sync_impulse = image.Word(2);
    h.pdi_config_extended = image.Word(3);
    h.station_alias = image.Word(4);
    h.reserved5 = image.Word(5);
    h.reserved6 = image.Word(6);
    h.checksum_word = image.Word(7);
    if (image.count >= 8) {
        h.checksum_expected = HeaderCrc(image.words);
        h.checksum_valid = (h.checksum_word.value & 0xFF) == h.checksum_expected;
        if (!h.checksum_valid)
            out.warnings.push_back(Format("checksum WRONG, expected %02X (word 7 holds %02X)", h.checksum_expected,
                                          h.checksum_word.value & 0xFF));
        if (h.reserved5.value != 0 || h.reserved6.value != 0)
            out.warnings.push_back(Format("reserved words 5-6 are not zero (0x%04X 0x%04X)", h.reserved5.value,
                                          h.reserved6.value));
    } else {
        out.warnings.push_back("the image is shorter than the 8 configuration words");
    }
    out.vendor = image.Dword(0x08);
    out.product = image.Dword(0x0A);
    out.revision = image.Dword(0x0C);
    out.serial = image.Dword(0x0E);
    DecodeMailbox(image, 0x14, &out.bootstrap_mailbox);
    DecodeMailbox(image, 0x18, &out.standard_mailbox);
    out.mailbox_protocols = image.Word(0x1C);
    out.size_word = image.Word(kSiiSizeWordNumber);
    out.version = image.Word(kSiiVersionWordNumber);
    DecodeCategories(image, &out);
    return out;
}

// ---- text ----

namespace {

void Line(std::string* out, int indent, const std::string& text) {
    out->append(static_cast<size_t>(indent) * 2, ' ');
    out->append(text);
    out->push_back('\n');
}

std::string Hex(const SiiField& f, int digits) {
    if (!f.present) return "(not in the image)";
    return Format("0x%0*X", digits, f.value);
}

std::string Protocols(uint32_t value) {
    static const char* const kNames[] = {"AoE", "EoE", "CoE", "FoE", "SoE", "VoE"};
    std::string text;
    for (int bit = 0; bit < 6; bit++)
        if ((value >> bit) & 1u) {
            if (!text.empty()) text += " ";
            text += kNames[bit];
        }
    return text.empty() ? "none" : text;
}

const char* FmmuUsage(uint8_t usage) {
    switch (usage) {
    case 0: return "unused";
    case 1: return "outputs";
    case 2: return "inputs";
    case 3: return "SyncManager status";
    default: return "unknown";
    }
}

const char* SyncManagerType(uint8_t type) {
    switch (type) {
    case 0: return "unused";
    case 1: return "mailbox out";
    case 2: return "mailbox in";
    case 3: return "process data outputs";
    case 4: return "process data inputs";
    default: return "unknown";
    }
}

void RenderMailboxText(std::string* out, const char* title, const SiiMailboxWords& box) {
    Line(out, 0, Format("%s: receive %s, %s bytes; send %s, %s bytes", title, Hex(box.receive_offset, 4).c_str(),
                        box.receive_size.present ? std::to_string(box.receive_size.value).c_str() : "?",
                        Hex(box.send_offset, 4).c_str(),
                        box.send_size.present ? std::to_string(box.send_size.value).c_str() : "?"));
}

void RenderCategoryText(std::string* out, const SiiCategory& c) {
    Line(out, 0, Format("category %s (%u) at word 0x%04X, %u words", SiiCategoryName(c.type), c.type, c.word,
                        c.size_words));
    switch (c.type) {
    case kSiiCategoryStrings:
        for (const SiiStringEntry& s : c.strings) Line(out, 1, Format("%d: %s", s.number, s.text.c_str()));
        break;
    case kSiiCategoryGeneral: {
        const SiiGeneralCategory& g = c.general;
        Line(out, 1, Format("group string %u, image string %u, order string %u, name string %u", g.group_index,
                            g.image_index, g.order_index, g.name_index));
        Line(out, 1, Format("CoE details 0x%02X, FoE details 0x%02X, EoE details 0x%02X, SoE channels %u, "
                            "DS402 channels %u",
                            g.coe_details, g.foe_details, g.eoe_details, g.soe_channels, g.ds402_channels));
        Line(out, 1, Format("sysman class %u, flags 0x%02X, current %d mA, physical ports 0x%04X", g.sysman_class,
                            g.flags, g.current_ma, g.physical_ports));
        break;
    }
    case kSiiCategoryFmmu:
        for (size_t n = 0; n < c.fmmus.size(); n++)
            Line(out, 1, Format("FMMU %zu: %s (%u)", n, FmmuUsage(c.fmmus[n]), c.fmmus[n]));
        break;
    case kSiiCategorySyncManager:
        for (size_t n = 0; n < c.sync_managers.size(); n++) {
            const SiiSyncManagerEntry& sm = c.sync_managers[n];
            Line(out, 1, Format("SM%zu: start 0x%04X, length %u, control 0x%02X, enable 0x%02X, type %s (%u)", n,
                                sm.start, sm.length, sm.control, sm.enable, SyncManagerType(sm.type), sm.type));
        }
        break;
    case kSiiCategoryTxPdo:
    case kSiiCategoryRxPdo:
        for (const SiiPdo& pdo : c.pdos) {
            Line(out, 1, Format("PDO 0x%04X: SM%u, %u entries, name string %u, flags 0x%04X", pdo.index,
                                pdo.sync_manager, pdo.entry_count, pdo.name_index, pdo.flags));
            for (const SiiPdoEntry& e : pdo.entries)
                Line(out, 2, Format("0x%04X:%u, %u bits, data type %u, name string %u", e.index, e.subindex,
                                    e.bit_length, e.data_type, e.name_index));
        }
        break;
    case kSiiCategoryDc:
        for (const SiiDcEntry& dc : c.dc)
            Line(out, 1, Format("cycle time %u, shift %u / %u, factors %d / %d, assign activate 0x%04X, name "
                                "string %u",
                                dc.cycle_time0, dc.shift_time0, dc.shift_time1, dc.sync0_cycle_factor,
                                dc.sync1_cycle_factor, dc.assign_activate, dc.name_index));
        break;
    default: break;
    }
}

}  // namespace

std::string SiiRenderText(const SiiDecoded& d) {
    std::string out;
    const SiiHeaderWords& h = d.header;
    Line(&out, 0, Format("image: %zu words (%zu bytes)", d.image_words, 2 * d.image_words));
    Line(&out, 0, "words 0-7:");
    Line(&out, 1, "PDI control:             " + Hex(h.pdi_control, 4));
    Line(&out, 1, "PDI configuration:       " + Hex(h.pdi_config, 4));
    Line(&out, 1, "sync impulse:            " + Hex(h.sync_impulse, 4) +
                      (h.sync_impulse.present ? Format(" (%u0 ns)", h.sync_impulse.value) : std::string()));
    Line(&out, 1, "extended PDI config:     " + Hex(h.pdi_config_extended, 4));
    Line(&out, 1, "station alias:           " + Hex(h.station_alias, 4) +
                      (h.station_alias.present ? Format(" (%u)", h.station_alias.value) : std::string()));
    Line(&out, 1, "reserved (words 5-6):    " + Hex(h.reserved5, 4) + " " + Hex(h.reserved6, 4));
    if (h.checksum_word.present)
        Line(&out, 1, Format("checksum:                0x%02X %s", h.checksum_word.value & 0xFF,
                             h.checksum_valid ? "valid" : Format("WRONG, expected %02X", h.checksum_expected).c_str()));
    Line(&out, 0, "identity:");
    Line(&out, 1, "vendor:   " + Hex(d.vendor, 8));
    Line(&out, 1, "product:  " + Hex(d.product, 8));
    Line(&out, 1, "revision: " + Hex(d.revision, 8));
    Line(&out, 1, "serial:   " + Hex(d.serial, 8) + (d.serial.present ? Format(" (%u)", d.serial.value) : ""));
    RenderMailboxText(&out, "bootstrap mailbox", d.bootstrap_mailbox);
    RenderMailboxText(&out, "standard mailbox", d.standard_mailbox);
    Line(&out, 0, "mailbox protocols: " + Hex(d.mailbox_protocols, 4) +
                      (d.mailbox_protocols.present ? " (" + Protocols(d.mailbox_protocols.value) + ")" : ""));
    if (d.size_word.present)
        Line(&out, 0, Format("EEPROM size: %u bytes (word 0x3E: 0x%04X)", SiiEepromBytes(d.size_word.value),
                             d.size_word.value));
    else
        Line(&out, 0, "EEPROM size: (not in the image)");
    Line(&out, 0, "version: " + Hex(d.version, 4));
    for (const SiiCategory& c : d.categories) RenderCategoryText(&out, c);
    if (d.end_marker) Line(&out, 0, "end of categories");
    for (const std::string& w : d.warnings) Line(&out, 0, "warning: " + w);
    return out;
}

// ---- JSON ----

namespace {

std::string JsonField(const SiiField& f) { return f.present ? std::to_string(f.value) : "null"; }

std::string MailboxJson(const SiiMailboxWords& box) {
    return "{\"receive_offset\": " + JsonField(box.receive_offset) + ", \"receive_size\": " +
           JsonField(box.receive_size) + ", \"send_offset\": " + JsonField(box.send_offset) +
           ", \"send_size\": " + JsonField(box.send_size) + "}";
}

std::string CategoryJson(const SiiCategory& c) {
    std::string out = Format("{\"type\": %u, \"name\": \"%s\", \"word\": %u, \"size_words\": %u", c.type,
                             SiiCategoryName(c.type), c.word, c.size_words);
    switch (c.type) {
    case kSiiCategoryStrings: {
        out += ", \"strings\": [";
        for (size_t n = 0; n < c.strings.size(); n++)
            out += (n ? ", " : "") + Format("{\"number\": %d, \"text\": ", c.strings[n].number) +
                   JsonQuote(c.strings[n].text) + "}";
        out += "]";
        break;
    }
    case kSiiCategoryGeneral: {
        const SiiGeneralCategory& g = c.general;
        out += Format(", \"general\": {\"group_index\": %u, \"image_index\": %u, \"order_index\": %u, "
                      "\"name_index\": %u, \"coe_details\": %u, \"foe_details\": %u, \"eoe_details\": %u, "
                      "\"soe_channels\": %u, \"ds402_channels\": %u, \"sysman_class\": %u, \"flags\": %u, "
                      "\"current_ma\": %d, \"physical_ports\": %u}",
                      g.group_index, g.image_index, g.order_index, g.name_index, g.coe_details, g.foe_details,
                      g.eoe_details, g.soe_channels, g.ds402_channels, g.sysman_class, g.flags, g.current_ma,
                      g.physical_ports);
        break;
    }
    case kSiiCategoryFmmu: {
        out += ", \"fmmus\": [";
        for (size_t n = 0; n < c.fmmus.size(); n++) out += Format("%s%u", n ? ", " : "", c.fmmus[n]);
        out += "]";
        break;
    }
    case kSiiCategorySyncManager: {
        out += ", \"sync_managers\": [";
        for (size_t n = 0; n < c.sync_managers.size(); n++) {
            const SiiSyncManagerEntry& sm = c.sync_managers[n];
            out += Format("%s{\"start\": %u, \"length\": %u, \"control\": %u, \"status\": %u, \"enable\": %u, "
                          "\"type\": %u}",
                          n ? ", " : "", sm.start, sm.length, sm.control, sm.status, sm.enable, sm.type);
        }
        out += "]";
        break;
    }
    case kSiiCategoryTxPdo:
    case kSiiCategoryRxPdo: {
        out += ", \"pdos\": [";
        for (size_t n = 0; n < c.pdos.size(); n++) {
            const SiiPdo& pdo = c.pdos[n];
            out += Format("%s{\"index\": %u, \"sync_manager\": %u, \"dc_sync\": %u, \"name_index\": %u, "
                          "\"flags\": %u, \"entries\": [",
                          n ? ", " : "", pdo.index, pdo.sync_manager, pdo.dc_sync, pdo.name_index, pdo.flags);
            for (size_t e = 0; e < pdo.entries.size(); e++) {
                const SiiPdoEntry& en = pdo.entries[e];
                out += Format("%s{\"index\": %u, \"subindex\": %u, \"bit_length\": %u, \"data_type\": %u, "
                              "\"name_index\": %u, \"flags\": %u}",
                              e ? ", " : "", en.index, en.subindex, en.bit_length, en.data_type, en.name_index,
                              en.flags);
            }
            out += "]}";
        }
        out += "]";
        break;
    }
    case kSiiCategoryDc: {
        out += ", \"dc\": [";
        for (size_t n = 0; n < c.dc.size(); n++) {
            const SiiDcEntry& dc = c.dc[n];
            out += Format("%s{\"cycle_time0\": %u, \"shift_time0\": %u, \"shift_time1\": %u, "
                          "\"sync0_cycle_factor\": %d, \"sync1_cycle_factor\": %d, \"assign_activate\": %u, "
                          "\"name_index\": %u}",
                          n ? ", " : "", dc.cycle_time0, dc.shift_time0, dc.shift_time1, dc.sync0_cycle_factor,
                          dc.sync1_cycle_factor, dc.assign_activate, dc.name_index);
        }
        out += "]";
        break;
    }
    default: break;
    }
    return out + "}";
}

}  // namespace

std::string SiiRenderJson(const SiiDecoded& d) {
    const SiiHeaderWords& h = d.header;
    std::string out = Format("{\"image_words\": %zu, \"header\": {", d.image_words);
    out += "\"pdi_control\": " + JsonField(h.pdi_control) + ", \"pdi_config\": " + JsonField(h.pdi_config) +
           ", \"sync_impulse\": " + JsonField(h.sync_impulse) +
           ", \"pdi_config_extended\": " + JsonField(h.pdi_config_extended) +
           ", \"station_alias\": " + JsonField(h.station_alias) + ", \"reserved5\": " + JsonField(h.reserved5) +
           ", \"reserved6\": " + JsonField(h.reserved6) + ", \"checksum\": " +
           (h.checksum_word.present ? std::to_string(h.checksum_word.value & 0xFF) : "null") +
           ", \"checksum_expected\": " + (h.checksum_word.present ? std::to_string(h.checksum_expected) : "null") +
           ", \"checksum_valid\": " + (h.checksum_word.present ? (h.checksum_valid ? "true" : "false") : "null") +
           "}";
    out += ", \"identity\": {\"vendor\": " + JsonField(d.vendor) + ", \"product\": " + JsonField(d.product) +
           ", \"revision\": " + JsonField(d.revision) + ", \"serial\": " + JsonField(d.serial) + "}";
    out += ", \"bootstrap_mailbox\": " + MailboxJson(d.bootstrap_mailbox);
    out += ", \"standard_mailbox\": " + MailboxJson(d.standard_mailbox);
    out += ", \"mailbox_protocols\": " + JsonField(d.mailbox_protocols);
    out += ", \"eeprom_bytes\": " + (d.size_word.present ? std::to_string(SiiEepromBytes(d.size_word.value)) : "null");
    out += ", \"version\": " + JsonField(d.version);
    out += ", \"categories\": [";
    for (size_t n = 0; n < d.categories.size(); n++) out += (n ? ", " : "") + CategoryJson(d.categories[n]);
    out += std::string("], \"end_marker\": ") + (d.end_marker ? "true" : "false") + ", \"warnings\": [";
    for (size_t n = 0; n < d.warnings.size(); n++) out += (n ? ", " : "") + JsonQuote(d.warnings[n]);
    return out + "]}";
}
