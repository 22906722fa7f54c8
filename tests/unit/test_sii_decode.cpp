// The SII decoder on the simulator's default image and on hand-made images, damaged the
// ways real images are: it reads only inside the image, names what is wrong and where,
// and the text and JSON renderings carry the same content.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/sii_image.h"
#include "tool/cli/sii_decode.h"

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool AnyWarning(const SiiDecoded& d, const std::string& part) {
    for (const std::string& w : d.warnings)
        if (Has(w, part)) return true;
    return false;
}

// A hand-made image builder: header with a right checksum, identity, then categories.
struct ImageBuilder {
    std::vector<uint16_t> words = std::vector<uint16_t>(0x40, 0);
    ImageBuilder() {
        words[0] = 0x0C08;
        words[2] = 0x0064;
        words[4] = 0x1234;
        SetDword(0x08, 0x00000002);
        SetDword(0x0A, 0x0BB83052);
        SetDword(0x0C, 0x00120000);
        SetDword(0x0E, 4711);
        words[0x18] = 0x1000, words[0x19] = 0x80, words[0x1A] = 0x1080, words[0x1B] = 0x80;
        words[0x1C] = 0x000C;
        words[0x3E] = 0x000F;
        words[0x3F] = 1;
        Checksum();
    }
    void SetDword(size_t at, uint32_t v) {
        words[at] = static_cast<uint16_t>(v);
        words[at + 1] = static_cast<uint16_t>(v >> 16);
    }
    void Checksum() { words[7] = SiiHeaderCrc(words.data()); }
    void Category(uint16_t type, const std::vector<uint8_t>& bytes) {
        words.push_back(type);
        words.push_back(static_cast<uint16_t>((bytes.size() + 1) / 2));
        for (size_t n = 0; n < bytes.size(); n += 2)
            words.push_back(static_cast<uint16_t>(bytes[n] | (n + 1 < bytes.size() ? bytes[n + 1] << 8 : 0)));
    }
    void End() { words.push_back(0xFFFF); }
};


ImageBuilder FullImage() {
    ImageBuilder b;
    b.Category(kSiiCategoryStrings, {3, 4, 'E', 'L', '1', '0', 0, 5, 'I', 'n', 'p', 'u', 't'});
    std::vector<uint8_t> general(32, 0);
    general[0] = 1, general[1] = 0, general[2] = 2, general[3] = 1, general[5] = 0x23, general[11] = 0x02;
    general[12] = 0x9C, general[13] = 0xFF;  // -100 mA
    general[5] = general[6] = general[7] = general[8] = general[9] = general[10] = 0xFF;  // the longest JSON
    general[16] = general[17] = 0xFF;
    b.Category(kSiiCategoryGeneral, general);
    b.Category(kSiiCategoryFmmu, {1, 2, 3, 0xFF});
    b.Category(kSiiCategorySyncManager,
               {0x00, 0x10, 0x80, 0x00, 0x26, 0x00, 0x01, 0x01, 0x80, 0x10, 0x80, 0x00, 0x22, 0x00, 0x01, 0x02});
    std::vector<uint8_t> pdo = {0x00, 0x1A, 2, 3, 0, 3, 0, 0};
    for (uint8_t sub = 1; sub <= 2; sub++) {
        std::vector<uint8_t> entry = {0x00, 0x60, sub, 2, 7, 16, 0, 0};
        pdo.insert(pdo.end(), entry.begin(), entry.end());
    }
    b.Category(kSiiCategoryTxPdo, pdo);
    std::vector<uint8_t> dc(24, 0);
    dc[0] = 0x40, dc[1] = 0x42, dc[2] = 0x0F;  // 1000000 ns
    dc[14] = 0x00, dc[15] = 0x03;              // assign activate 0x0300
    b.Category(kSiiCategoryDc, dc);
    b.Category(0x0800, {1, 2, 3, 4});
    b.End();
    return b;
}

// Decodes a copy that ends exactly where the image ends, so a read past it is a fault
// the address sanitizer reports.
SiiDecoded DecodeExact(const std::vector<uint16_t>& words, size_t count) {
    std::unique_ptr<uint16_t[]> copy(new uint16_t[count]);
    memcpy(copy.get(), words.data(), count * sizeof(uint16_t));
    return SiiDecode(copy.get(), count);
}

TEST(SiiDecode, TheSimulatorsDefaultImageDecodesWithoutWarnings) {
    std::vector<uint16_t> image(kSiiImageWords);
    SiiDefaultImage(image.data(), 3);
    const SiiDecoded d = SiiDecode(image.data(), image.size());
    EXPECT_TRUE(d.warnings.empty()) << d.warnings.front();
    EXPECT_TRUE(d.header.checksum_valid);
    EXPECT_EQ(d.header.pdi_control.value, kSiiDefaultPdiControl);
    EXPECT_EQ(d.vendor.value, kSiiDefaultVendor);
    EXPECT_EQ(d.product.value, kSiiDefaultProductBase + 3);
    EXPECT_EQ(d.revision.value, kSiiDefaultRevision);
    EXPECT_EQ(d.standard_mailbox.receive_offset.value, kSiiDefaultMailboxOffset);
    EXPECT_EQ(d.standard_mailbox.receive_size.value, kSiiDefaultMailboxBytes);
    EXPECT_EQ(d.mailbox_protocols.value, kSiiDefaultProtocols);
    EXPECT_EQ(SiiEepromBytes(d.size_word.value), 4096u);
    EXPECT_TRUE(d.end_marker);
    ASSERT_EQ(d.categories.size(), 2u);
    EXPECT_EQ(d.categories[0].type, kSiiCategoryStrings);
    ASSERT_EQ(d.categories[0].strings.size(), 1u);
    EXPECT_EQ(d.categories[0].strings[0].text, "ecsim slave 3");
    EXPECT_EQ(d.categories[1].type, kSiiCategoryGeneral);
    EXPECT_EQ(d.categories[1].general.coe_details, kSiiDefaultCoeDetails);

    const std::string text = SiiRenderText(d);
    EXPECT_TRUE(Has(text, "valid")) << text;
    EXPECT_TRUE(Has(text, "1: ecsim slave 3")) << text;
    EXPECT_TRUE(Has(text, "(CoE)")) << text;
    EXPECT_TRUE(Has(text, "EEPROM size: 4096 bytes")) << text;
    const std::string json = SiiRenderJson(d);
    EXPECT_TRUE(Has(json, "\"checksum_valid\": true")) << json;
    EXPECT_TRUE(Has(json, "\"vendor\": 3781")) << json;
    EXPECT_TRUE(Has(json, "{\"number\": 1, \"text\": \"ecsim slave 3\"}")) << json;
    EXPECT_TRUE(Has(json, "\"end_marker\": true, \"warnings\": []")) << json;
}

TEST(SiiDecode, EveryCategoryOfAFullImageIsDecoded) {
    const ImageBuilder b = FullImage();
    const SiiDecoded d = SiiDecode(b.words.data(), b.words.size());
    EXPECT_TRUE(d.warnings.empty()) << d.warnings.front();
    EXPECT_EQ(d.header.station_alias.value, 0x1234u);
    EXPECT_EQ(d.serial.value, 4711u);
    ASSERT_EQ(d.categories.size(), 7u);
    const SiiCategory& strings = d.categories[0];
    ASSERT_EQ(strings.strings.size(), 3u);
    EXPECT_EQ(strings.strings[0].text, "EL10");
    EXPECT_EQ(strings.strings[1].text, "");
    EXPECT_EQ(strings.strings[2].text, "Input");
    EXPECT_EQ(d.categories[1].general.current_ma, -100);
    EXPECT_EQ(d.categories[1].general.flags, 0x02);
    EXPECT_EQ(d.categories[1].general.physical_ports, 0xFFFF);
    EXPECT_EQ(d.categories[2].fmmus, (std::vector<uint8_t>{1, 2, 3, 0xFF}));
    ASSERT_EQ(d.categories[3].sync_managers.size(), 2u);
    EXPECT_EQ(d.categories[3].sync_managers[1].start, 0x1080);
    EXPECT_EQ(d.categories[3].sync_managers[1].control, 0x22);
    EXPECT_EQ(d.categories[3].sync_managers[1].type, 2);
    ASSERT_EQ(d.categories[4].pdos.size(), 1u);
    const SiiPdo& pdo = d.categories[4].pdos[0];
    EXPECT_EQ(pdo.index, 0x1A00);
    EXPECT_EQ(pdo.sync_manager, 3);
    ASSERT_EQ(pdo.entries.size(), 2u);
    EXPECT_EQ(pdo.entries[1].index, 0x6000);
    EXPECT_EQ(pdo.entries[1].subindex, 2);
    EXPECT_EQ(pdo.entries[1].bit_length, 16);
    ASSERT_EQ(d.categories[5].dc.size(), 1u);
    EXPECT_EQ(d.categories[5].dc[0].cycle_time0, 1000000u);
    EXPECT_EQ(d.categories[5].dc[0].assign_activate, 0x0300);
    EXPECT_EQ(d.categories[6].type, 0x0800);
    EXPECT_EQ(d.categories[6].size_words, 2u);

    const std::string text = SiiRenderText(d);
    for (const char* part : {"category TxPDO (50)", "0x6000:2, 16 bits", "SM1: start 0x1080", "FMMU 2: SyncManager status",
                             "category unknown (2048) at word", "current -100 mA", "protocols: 0x000C (CoE FoE)", "CoE details 0xFF"})
        EXPECT_TRUE(Has(text, part)) << part << "\n" << text;
    const std::string json = SiiRenderJson(d);
    for (const char* part : {"\"entries\": [{\"index\": 24576, \"subindex\": 1, \"bit_length\": 16",
                             "{\"type\": 2048, \"name\": \"unknown\"", "\"current_ma\": -100, \"physical_ports\": 65535}", "\"fmmus\": [1, 2, 3, 255]"})
        EXPECT_TRUE(Has(json, part)) << part << "\n" << json;
}

TEST(SiiDecode, HeaderFaultsAreWarningsThatNameTheExpectedValue) {
    ImageBuilder b;
    b.End();
    b.words[5] = 0x0001;  // reserved word set, checksum now wrong too
    const SiiDecoded d = SiiDecode(b.words.data(), b.words.size());
    EXPECT_FALSE(d.header.checksum_valid);
    EXPECT_TRUE(AnyWarning(d, "checksum WRONG")) << SiiRenderText(d);
    EXPECT_TRUE(AnyWarning(d, "reserved words 5-6 are not zero"));
    char expected[32];
    snprintf(expected, sizeof expected, "WRONG, expected %02X", SiiHeaderCrc(b.words.data()));
    EXPECT_TRUE(Has(SiiRenderText(d), expected)) << SiiRenderText(d);
    EXPECT_TRUE(Has(SiiRenderJson(d), "\"checksum_valid\": false"));
}

TEST(SiiDecode, ChainsThatRunOutStopWhereTheImageEnds) {
    // No end marker: the chain meets the end of the image.
    ImageBuilder b;
    b.Category(kSiiCategoryStrings, {1, 3, 'a', 'b', 'c'});
    SiiDecoded d = DecodeExact(b.words, b.words.size());
    EXPECT_FALSE(d.end_marker);
    EXPECT_EQ(d.categories.size(), 1u);
    EXPECT_TRUE(AnyWarning(d, "no end marker")) << SiiRenderText(d);

    // A category announcing more words than the image holds: decoded as far as it goes.
    ImageBuilder over;
    over.Category(kSiiCategorySyncManager, std::vector<uint8_t>(16, 0x11));
    over.words[0x41] = 500;
    d = DecodeExact(over.words, over.words.size());
    ASSERT_EQ(d.categories.size(), 1u);
    EXPECT_EQ(d.categories[0].size_words, 500u);
    EXPECT_EQ(d.categories[0].data_words, 8u);
    EXPECT_EQ(d.categories[0].sync_managers.size(), 2u);
    EXPECT_TRUE(AnyWarning(d, "SyncManager category at word 0x0040 (500 words) runs past the end of the image"))
        << SiiRenderText(d);

    // The size word itself past the end.
    ImageBuilder cut;
    cut.words.push_back(kSiiCategoryGeneral);
    d = DecodeExact(cut.words, cut.words.size());
    EXPECT_TRUE(AnyWarning(d, "its size word lies past the end")) << SiiRenderText(d);

    // An image of the configuration area only.
    d = DecodeExact(ImageBuilder().words, 8);
    EXPECT_FALSE(d.vendor.present);
    EXPECT_TRUE(d.header.checksum_valid);
    EXPECT_TRUE(AnyWarning(d, "before the categories"));
    EXPECT_TRUE(Has(SiiRenderText(d), "vendor:   (not in the image)"));
    EXPECT_TRUE(Has(SiiRenderJson(d), "\"vendor\": null"));
}

TEST(SiiDecode, ContentsThatOverrunTheirCategoryStopThere) {
    ImageBuilder b;
    // Three strings announced, the second one's length reaches past the category.
    b.Category(kSiiCategoryStrings, {3, 1, 'x', 40, 'y', 'z'});
    // A PDO announcing 5 entries with room for one.
    std::vector<uint8_t> pdo = {0x00, 0x16, 5, 2, 0, 0, 0, 0, 0x00, 0x70, 1, 0, 0, 8, 0, 0};
    b.Category(kSiiCategoryRxPdo, pdo);
    b.End();
    const SiiDecoded d = DecodeExact(b.words, b.words.size());
    EXPECT_TRUE(d.end_marker);
    ASSERT_EQ(d.categories.size(), 2u);
    EXPECT_EQ(d.categories[0].strings.size(), 1u);
    EXPECT_TRUE(AnyWarning(d, "string 2 runs past its end")) << SiiRenderText(d);
    ASSERT_EQ(d.categories[1].pdos.size(), 1u);
    EXPECT_EQ(d.categories[1].pdos[0].entries.size(), 1u);
    EXPECT_TRUE(AnyWarning(d, "PDO 0x1600 announces 5 entries, 1 fit")) << SiiRenderText(d);
}

TEST(SiiDecode, EveryCutAndEveryMutationStaysInsideTheImage) {
    const ImageBuilder full = FullImage();
    for (size_t count = 0; count <= full.words.size(); count++) {
        const SiiDecoded d = DecodeExact(full.words, count == 0 ? 1 : count);
        SiiRenderText(d);
        SiiRenderJson(d);
    }
    // Mutations of the category area, driven by a fixed generator.
    uint32_t state = 12345;
    for (int round = 0; round < 2000; round++) {
        std::vector<uint16_t> words = full.words;
        for (int k = 0; k < 4; k++) {
            state = state * 1103515245u + 12345u;
            const size_t at = 0x40 + (state >> 8) % (words.size() - 0x40);
            state = state * 1103515245u + 12345u;
            words[at] = static_cast<uint16_t>(state >> 12);
        }
        const SiiDecoded d = DecodeExact(words, words.size());
        EXPECT_LE(d.categories.size(), words.size());
        SiiRenderText(d);
        SiiRenderJson(d);
    }
}

}  // namespace
