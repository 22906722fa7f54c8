#include <gtest/gtest.h>
#include <iconv.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tool/console_text.h"

namespace {

std::string Utf8ToGbk(const char* utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "<no GBK converter>";
    char out[512] = {0};
    char* in_ptr = const_cast<char*>(utf8);
    size_t in_left = strlen(utf8);
    char* out_ptr = out;
    size_t out_left = sizeof out - 1;
    size_t rc = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) return "<not convertible>";
    return std::string(out, static_cast<size_t>(out_ptr - out));
}

// The printf conversions of a format, in order ("%d%s" for "a %d b %s").
std::string Conversions(const char* format) {
    std::string found;
    for (const char* p = strchr(format, '%'); p != nullptr; p = strchr(p + 1, '%')) {
        const char* end = p + 1;
        while (*end != '\0' && strchr("diouxXcsp%", *end) == nullptr) end++;
        found.append(p, static_cast<size_t>(end - p + 1));
        p = end;
    }
    return found;
}

bool IsAscii(const char* text) {
    for (const char* p = text; *p != '\0'; p++)
        if (static_cast<unsigned char>(*p) > 0x7F) return false;
    return true;
}

}  // namespace

TEST(ConsoleText, GbkAndUtf8FormsCarryTheSameTexts) {
    int chinese = 0;
    for (int m = 1; m <= kDialogMessageCount; m++) {
        const char* gbk = DialogText(m, ConsoleEncoding::kGbk);
        const char* utf8 = DialogText(m, ConsoleEncoding::kUtf8);
        ASSERT_NE(gbk, nullptr) << m;
        ASSERT_NE(utf8, nullptr) << m;
        if (DialogTextIsChinese(m)) {
            chinese++;
            EXPECT_FALSE(IsAscii(gbk)) << m;
            EXPECT_EQ(Utf8ToGbk(utf8), std::string(gbk)) << "message " << m;
        } else {
            EXPECT_TRUE(IsAscii(gbk)) << m;
            EXPECT_STREQ(gbk, utf8) << m;
        }
    }
    EXPECT_EQ(chinese, 13);  // 1, 3, 6, 8, 9, 12, 13, 17, 18, 20, 22, 24, 26
    EXPECT_EQ(DialogText(0, ConsoleEncoding::kGbk), nullptr);
    EXPECT_EQ(DialogText(27, ConsoleEncoding::kUtf8), nullptr);
}

TEST(ConsoleText, BannerUsesTheFullWidthColonAndItsDashCounts) {
    const std::string banner = DialogText(kMsgBanner, ConsoleEncoding::kGbk);
    EXPECT_EQ(banner, std::string(13, '-') + "ORB:config_id tools\xA3\xBAR1.2-2021.03.02" + std::string(17, '-') + "\n\r ");
    EXPECT_EQ(std::string(DialogText(kMsgBanner, ConsoleEncoding::kUtf8)).find("tools\xEF\xBC\x9AR1.2"), 27u);
    EXPECT_EQ(std::string(DialogText(kMsgRule29, ConsoleEncoding::kGbk)), std::string(29, '-') + "\n\r ");
    EXPECT_EQ(std::string(DialogText(kMsgRule30, ConsoleEncoding::kGbk)), std::string(30, '-') + "\n\r ");
}

TEST(ConsoleText, LineEndingsAndConversionsFitTheArgumentsGiven) {
    // What the dialog passes to each message; a mismatch would print garbage or crash.
    const char* expected[kDialogMessageCount + 1] = {
        "", "", "%d%s", "%d%s", "", "", "", "%s", "%s", "%d", "", "", "", "%d",
        "%02x", "", "%02x", "", "%d", "", "%d", "", "", "", "", "", ""};
    for (ConsoleEncoding encoding : {ConsoleEncoding::kGbk, ConsoleEncoding::kUtf8}) {
        for (int m = 1; m <= kDialogMessageCount; m++) {
            const std::string text = DialogText(m, encoding);
            EXPECT_EQ(Conversions(text.c_str()), expected[m]) << "message " << m;
            if (m == kMsgSlaveLine || m == kMsgSlaveLineZh)
                EXPECT_EQ(text.substr(text.size() - 4), "  \n\r") << m;
            else if (m == kMsgDumpEntry)
                EXPECT_EQ(text, "  %02x ");
            else
                EXPECT_EQ(text.substr(text.size() - 3), "\n\r ") << m;
        }
    }
    EXPECT_STREQ(DialogText(kMsgPassed, ConsoleEncoding::kGbk), "write passed! \n\r ");
    EXPECT_STREQ(DialogText(kMsgFailed, ConsoleEncoding::kGbk), "write fail\n\r ");
}

TEST(ConsoleText, EncodingFollowsTheLocaleCharacterSetAndLeavesTheLocaleAlone) {
    unsetenv("LC_CTYPE");
    unsetenv("LANG");
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(ConsoleEncodingFromLocale(), ConsoleEncoding::kGbk);
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(ConsoleEncodingFromLocale(), ConsoleEncoding::kUtf8);
    unsetenv("LC_ALL");
    setenv("LANG", "C.UTF-8", 1);
    EXPECT_EQ(ConsoleEncodingFromLocale(), ConsoleEncoding::kUtf8);
    setenv("LC_CTYPE", "POSIX", 1);  // LC_CTYPE outranks LANG
    EXPECT_EQ(ConsoleEncodingFromLocale(), ConsoleEncoding::kGbk);
    unsetenv("LC_CTYPE");
    setenv("LANG", "xx_NOWHERE.UTF-8", 1);  // a locale that is not installed: keep the original bytes
    EXPECT_EQ(ConsoleEncodingFromLocale(), ConsoleEncoding::kGbk);
    unsetenv("LANG");
    EXPECT_STREQ(setlocale(LC_CTYPE, nullptr), "C");
}
