// SII images of simulated slaves: checksum, default content and category chain edits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/sii_image.h"

namespace {

struct Image {
    uint16_t words[kSiiImageWords];
};

uint8_t DataByte(const uint16_t* words, int type_word, int k) {
    return static_cast<uint8_t>(words[type_word + 2 + k / 2] >> (8 * (k & 1)));
}

std::string StringAt(const uint16_t* words, int type_word, int index) {
    int position = 1;
    for (int s = 1; s < index; s++) position += 1 + DataByte(words, type_word, position);
    int length = DataByte(words, type_word, position);
    std::string text;
    for (int i = 1; i <= length; i++) text += static_cast<char>(DataByte(words, type_word, position + i));
    return text;
}

}  // namespace

TEST(SiiImage, Crc8IsPoly07FromFF) {
    const char* check = "123456789";
    EXPECT_EQ(SiiChecksum(reinterpret_cast<const uint8_t*>(check), 9), 0xFB);
    uint16_t words[8] = {0};
    EXPECT_EQ(SiiHeaderCrc(words), SiiChecksum(reinterpret_cast<const uint8_t*>("\0\0\0\0\0\0\0\0\0\0\0\0\0\0"), 14));
    SiiUpdateChecksum(words);
    EXPECT_TRUE(SiiHeaderValid(words));
    EXPECT_EQ(words[7] >> 8, 0);
    words[4] = 1;  // any change of words 0-6 breaks it
    EXPECT_FALSE(SiiHeaderValid(words));
    SiiUpdateChecksum(words);
    words[7] |= 0xAB00;  // the high byte does not take part
    EXPECT_TRUE(SiiHeaderValid(words));
}

TEST(SiiImage, DefaultImageDescribesASlaveAtItsPosition) {
    Image image;
    SiiDefaultImage(image.words, 3);
    const uint16_t* w = image.words;
    EXPECT_TRUE(SiiHeaderValid(w));
    EXPECT_EQ(w[kSiiWordPdiControl], kSiiDefaultPdiControl);
    EXPECT_EQ(w[kSiiWordAlias], 0);
    EXPECT_EQ(w[0x08] | (w[0x09] << 16), static_cast<int>(kSiiDefaultVendor));
    EXPECT_EQ(w[0x0A] | (w[0x0B] << 16), static_cast<int>(kSiiDefaultProductBase + 3));
    EXPECT_EQ(w[0x0C] | (w[0x0D] << 16), static_cast<int>(kSiiDefaultRevision));
    EXPECT_EQ(w[0x18], 0x1000);
    EXPECT_EQ(w[0x19], 128);
    EXPECT_EQ(w[0x1A], 0x1080);
    EXPECT_EQ(w[0x1B], 128);
    EXPECT_EQ(w[0x1C], 0x0004);
    int strings = SiiFindCategory(w, kSiiCategoryStrings);
    ASSERT_EQ(strings, 0x40);  // strings first, at byte 0x80
    EXPECT_EQ(DataByte(w, strings, 0), 1);
    EXPECT_EQ(StringAt(w, strings, 1), "ecsim slave 3");
    int general = SiiFindCategory(w, kSiiCategoryGeneral);
    ASSERT_GT(general, strings);
    EXPECT_EQ(w[general + 1], kSiiGeneralBytes / 2);
    EXPECT_EQ(DataByte(w, general, 3), 1);  // name index
    EXPECT_EQ(DataByte(w, general, 5), kSiiDefaultCoeDetails);
    EXPECT_EQ(w[general + 2 + kSiiGeneralBytes / 2], kSiiCategoryEnd);
}

TEST(SiiImage, NameEditKeepsOtherStringsAndCategories) {
    Image image;
    SiiDefaultImage(image.words, 1);
    uint16_t* w = image.words;
    // A foreign category in front, and a second string.
    const uint8_t fmmu[4] = {1, 2, 3, 0xFF};
    ASSERT_TRUE(SiiPutCategory(w, 40, fmmu, 4));
    const uint8_t strings[] = {2, 3, 'o', 'l', 'd', 4, 'd', 'e', 's', 'c'};
    ASSERT_TRUE(SiiPutCategory(w, kSiiCategoryStrings, strings, sizeof(strings)));

    ASSERT_TRUE(SiiSetName(w, "a much longer first string"));
    int at = SiiFindCategory(w, kSiiCategoryStrings);
    EXPECT_EQ(DataByte(w, at, 0), 2);
    EXPECT_EQ(StringAt(w, at, 1), "a much longer first string");
    EXPECT_EQ(StringAt(w, at, 2), "desc");
    int f = SiiFindCategory(w, 40);
    ASSERT_GE(f, 0);
    EXPECT_EQ(w[f + 1], 2);
    EXPECT_EQ(w[f + 2], 0x0201);
    EXPECT_EQ(w[f + 3], 0xFF03);
    EXPECT_GE(SiiFindCategory(w, kSiiCategoryGeneral), 0);

    // Shorter again: what lay behind the new end is erased.
    ASSERT_TRUE(SiiSetName(w, "x"));
    EXPECT_TRUE(SiiRemoveCategory(w, kSiiCategoryGeneral));
    EXPECT_FALSE(SiiRemoveCategory(w, kSiiCategoryGeneral));
    EXPECT_LT(SiiFindCategory(w, kSiiCategoryStrings), SiiFindCategory(w, 40));  // order kept
    int end = SiiFindCategory(w, 40);
    end += 2 + w[end + 1];
    EXPECT_EQ(w[end], kSiiCategoryEnd);
    for (int i = end; i < end + 40; i++) EXPECT_EQ(w[i], 0xFFFF) << i;

    std::string too_long(256, 'n');
    EXPECT_FALSE(SiiSetName(w, too_long.c_str()));
    EXPECT_TRUE(SiiSetName(w, std::string(255, 'n').c_str()));
}

TEST(SiiImage, CategoriesThatDoNotFitAreRefused) {
    Image image;
    SiiDefaultImage(image.words, 1);
    Image before = image;
    static uint8_t big[2 * kSiiImageWords];
    memset(big, 0x5A, sizeof(big));
    EXPECT_FALSE(SiiPutCategory(image.words, 50, big, 2 * (kSiiImageWords - 0x40)));
    EXPECT_EQ(memcmp(image.words, before.words, sizeof(image.words)), 0);
    EXPECT_FALSE(SiiPutCategory(image.words, kSiiCategoryEnd, big, 2));
    // The largest that fits behind the existing categories.
    int used = SiiFindCategory(image.words, kSiiCategoryGeneral) + 2 + kSiiGeneralBytes / 2;
    int room = kSiiImageWords - used - 2 - 1;
    EXPECT_TRUE(SiiPutCategory(image.words, 50, big, 2 * room));
    EXPECT_EQ(image.words[kSiiImageWords - 1], kSiiCategoryEnd);
}

TEST(SiiImage, MailboxAndGeneralWords) {
    Image image;
    SiiDefaultImage(image.words, 1);
    uint16_t* w = image.words;
    SiiSetMailbox(w, 0x1800, 256, 0x1900, 0, 0x000C);
    EXPECT_EQ(w[0x18], 0x1800);
    EXPECT_EQ(w[0x19], 256);
    EXPECT_EQ(w[0x1A], 0x1900);
    EXPECT_EQ(w[0x1B], 0);
    EXPECT_EQ(w[0x1C], 0x000C);
    EXPECT_EQ(w[0x14], 0x1800);  // bootstrap mailbox alike
    SiiSetMailbox(w, 0x1800, 0, 0x1900, 256, 0x000C);
    for (int i = 0x14; i <= 0x1C; i++) EXPECT_EQ(w[i], 0) << i;

    int general = SiiFindCategory(w, kSiiCategoryGeneral);
    w[general + 2] = 0x0702;  // group and image index: kept by the edit
    SiiGeneral g{};
    g.coe_details = 0x01;
    g.foe_details = 0x02;
    g.eoe_details = 0x03;
    g.soe_channels = 0x04;
    g.flags = 0x02;
    g.ebus_current = -2000;
    SiiSetGeneral(w, g);
    general = SiiFindCategory(w, kSiiCategoryGeneral);
    EXPECT_EQ(w[general + 2], 0x0702);
    EXPECT_EQ(DataByte(w, general, 5), 0x01);
    EXPECT_EQ(DataByte(w, general, 8), 0x04);
    EXPECT_EQ(DataByte(w, general, 11), 0x02);
    EXPECT_EQ(static_cast<int16_t>(DataByte(w, general, 12) | (DataByte(w, general, 13) << 8)), -2000);
}
