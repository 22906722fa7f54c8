// Values typed for SDOs and registers: every type's range edges, both number notations,
// what is refused (and that a refusal yields no bytes), and the way back to text and
// JSON.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tool/cli/value_codec.h"

namespace {

std::vector<uint8_t> Encode(ValueType type, const std::string& text) {
    std::vector<uint8_t> bytes{0xEE};
    std::string error;
    if (!ValueEncode(type, text, &bytes, &error)) {
        EXPECT_TRUE(bytes.empty()) << "a refused value leaves bytes behind";
        EXPECT_NE(error.find(ValueTypeName(type)), std::string::npos) << error;
        return {0xBA, 0xD0};  // no value encodes to this for the types tested with it
    }
    return bytes;
}

std::string Decode(ValueType type, const std::vector<uint8_t>& bytes) {
    std::string text, error;
    EXPECT_TRUE(ValueDecode(type, bytes.data(), bytes.size(), &text, &error)) << error;
    return text;
}

const std::vector<uint8_t> kRefused = {0xBA, 0xD0};

struct Edge {
    ValueType type;
    const char* text;
    std::vector<uint8_t> bytes;  // kRefused when the text must be refused
    const char* back;            // text decoded from bytes, nullptr: same as text
};

TEST(ValueCodec, EveryTypeAtItsRangeEdges) {
    const std::vector<Edge> edges = {
        {ValueType::kBool, "0", {0}, "false"},
        {ValueType::kBool, "true", {1}, "true"},
        {ValueType::kBool, "2", kRefused, nullptr},
        {ValueType::kBool, "yes", kRefused, nullptr},
        {ValueType::kU8, "0", {0}, nullptr},
        {ValueType::kU8, "255", {0xFF}, nullptr},
        {ValueType::kU8, "0xff", {0xFF}, "255"},
        {ValueType::kU8, "256", kRefused, nullptr},
        {ValueType::kU8, "-1", kRefused, nullptr},
        {ValueType::kU16, "65535", {0xFF, 0xFF}, nullptr},
        {ValueType::kU16, "0x1234", {0x34, 0x12}, "4660"},
        {ValueType::kU16, "65536", kRefused, nullptr},
        {ValueType::kU32, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}, nullptr},
        {ValueType::kU32, "4294967296", kRefused, nullptr},
        {ValueType::kU64, "18446744073709551615", std::vector<uint8_t>(8, 0xFF), nullptr},
        {ValueType::kU64, "0xFFFFFFFFFFFFFFFF", std::vector<uint8_t>(8, 0xFF), "18446744073709551615"},
        {ValueType::kU64, "18446744073709551616", kRefused, nullptr},
        {ValueType::kU64, "0x1FFFFFFFFFFFFFFFF", kRefused, nullptr},
        {ValueType::kI8, "-128", {0x80}, nullptr},
        {ValueType::kI8, "127", {0x7F}, nullptr},
        {ValueType::kI8, "128", kRefused, nullptr},
        {ValueType::kI8, "-129", kRefused, nullptr},
        {ValueType::kI8, "-0x80", {0x80}, "-128"},
        {ValueType::kI16, "-32768", {0x00, 0x80}, nullptr},
        {ValueType::kI16, "32767", {0xFF, 0x7F}, nullptr},
        {ValueType::kI16, "32768", kRefused, nullptr},
        {ValueType::kI32, "-2147483648", {0, 0, 0, 0x80}, nullptr},
        {ValueType::kI32, "2147483647", {0xFF, 0xFF, 0xFF, 0x7F}, nullptr},
        {ValueType::kI32, "-2147483649", kRefused, nullptr},
        {ValueType::kI64, "-9223372036854775808", {0, 0, 0, 0, 0, 0, 0, 0x80}, nullptr},
        {ValueType::kI64, "9223372036854775807", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, nullptr},
        {ValueType::kI64, "9223372036854775808", kRefused, nullptr},
        {ValueType::kI64, "-9223372036854775809", kRefused, nullptr},
        {ValueType::kF32, "1.5", {0x00, 0x00, 0xC0, 0x3F}, nullptr},
        {ValueType::kF32, "-2", {0x00, 0x00, 0x00, 0xC0}, nullptr},
        {ValueType::kF32, "3.40282347e+38", {0xFF, 0xFF, 0x7F, 0x7F}, nullptr},
        {ValueType::kF32, "3.4028236e38", kRefused, nullptr},  // rounds to infinity
        {ValueType::kF32, "3.5e38", kRefused, nullptr},
        {ValueType::kF32, "nan", kRefused, nullptr},
        {ValueType::kF64, "0.1", {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}, "0.10000000000000001"},
        {ValueType::kF64, "1e308", {0xA0, 0xC8, 0xEB, 0x85, 0xF3, 0xCC, 0xE1, 0x7F}, "1e+308"},
        {ValueType::kF64, "1e309", kRefused, nullptr},
        {ValueType::kF64, "inf", kRefused, nullptr},
        {ValueType::kF64, "0x1p3", kRefused, nullptr},
        {ValueType::kString, "abc", {'a', 'b', 'c'}, nullptr},
        {ValueType::kOctets, "0a1B2c", {0x0A, 0x1B, 0x2C}, "0a1b2c"},
        {ValueType::kOctets, "0a1", kRefused, nullptr},
        {ValueType::kOctets, "0g", kRefused, nullptr},
    };
    for (const Edge& e : edges) {
        SCOPED_TRACE(std::string(ValueTypeName(e.type)) + " " + e.text);
        const std::vector<uint8_t> bytes = Encode(e.type, e.text);
        EXPECT_EQ(bytes, e.bytes);
        if (e.bytes != kRefused) {
            EXPECT_EQ(Decode(e.type, bytes), e.back != nullptr ? e.back : e.text);
        }
    }
}

TEST(ValueCodec, TextThatIsNotExactlyANumberIsRefused) {
    for (ValueType type : {ValueType::kU8, ValueType::kU16, ValueType::kU32, ValueType::kU64, ValueType::kI8,
                           ValueType::kI16, ValueType::kI32, ValueType::kI64}) {
        for (const char* text : {"", " 1", "1 ", "+1", "1.0", "12abc", "0x", "x12", "--1", "0x-1", "1e3"}) {
            SCOPED_TRACE(std::string(ValueTypeName(type)) + " '" + text + "'");
            EXPECT_EQ(Encode(type, text), kRefused);
        }
    }
    EXPECT_EQ(Encode(ValueType::kF32, ""), kRefused);
    EXPECT_EQ(Encode(ValueType::kF32, " 1"), kRefused);
    EXPECT_EQ(Encode(ValueType::kString, ""), kRefused);
    EXPECT_EQ(Encode(ValueType::kOctets, ""), kRefused);
    std::string error;
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(ValueEncode(ValueType::kU16, "70000", &bytes, &error));
    EXPECT_EQ(error, "\"70000\" is not a u16 value: expected a whole number 0 to 65535 (decimal or 0x)");
}

TEST(ValueCodec, TypeNamesAndByteCounts) {
    const std::string list = ValueTypeList();
    size_t names = 0;
    for (size_t at = 0; at < list.size();) {
        const size_t end = list.find(' ', at) == std::string::npos ? list.size() : list.find(' ', at);
        const std::string name = list.substr(at, end - at);
        ValueType type{};
        ASSERT_TRUE(ValueTypeParse(name.c_str(), &type)) << name;
        EXPECT_EQ(ValueTypeName(type), name);
        names++;
        at = end + 1;
    }
    EXPECT_EQ(names, 13u);
    ValueType type{};
    EXPECT_FALSE(ValueTypeParse("uint16", &type));
    EXPECT_FALSE(ValueTypeParse(nullptr, &type));
    EXPECT_EQ(ValueTypeBytes(ValueType::kU64), 8u);
    EXPECT_EQ(ValueTypeBytes(ValueType::kOctets), 0u);
}

TEST(ValueCodec, DecodingNeedsTheTypesByteCount) {
    const uint8_t bytes[3] = {1, 2, 3};
    std::string text, error;
    EXPECT_FALSE(ValueDecode(ValueType::kU16, bytes, 3, &text, &error));
    EXPECT_EQ(error, "the value has 3 bytes, a u16 has 2");
    EXPECT_FALSE(ValueDecode(ValueType::kF64, bytes, 3, &text, &error));
    EXPECT_TRUE(ValueDecode(ValueType::kOctets, bytes, 3, &text, &error));
    EXPECT_EQ(text, "010203");
    const uint8_t padded[5] = {'a', 'b', 0, 0, 0};
    EXPECT_TRUE(ValueDecode(ValueType::kString, padded, 5, &text, &error));
    EXPECT_EQ(text, "ab");
}

TEST(ValueCodec, JsonValuesAreValidJson) {
    std::string json, error;
    const uint8_t minus_one[2] = {0xFF, 0xFF};
    ASSERT_TRUE(ValueDecodeJson(ValueType::kI16, minus_one, 2, &json, &error));
    EXPECT_EQ(json, "-1");
    ASSERT_TRUE(ValueDecodeJson(ValueType::kBool, minus_one, 1, &json, &error));
    EXPECT_EQ(json, "true");
    const uint8_t nan[4] = {0x00, 0x00, 0xC0, 0x7F};
    ASSERT_TRUE(ValueDecodeJson(ValueType::kF32, nan, 4, &json, &error));
    EXPECT_EQ(json, "null");
    const uint8_t text[] = {'a', '"', '\\', '\n', 0xC3, 0xA4, 0xFF};
    ASSERT_TRUE(ValueDecodeJson(ValueType::kString, text, sizeof text, &json, &error));
    EXPECT_EQ(json, "\"a\\\"\\\\\\u000a\xC3\xA4\\u00ff\"");
    EXPECT_EQ(JsonQuote("\xE0\x80\x80"), "\"\\u00e0\\u0080\\u0080\"");  // an overlong form is no text
}

TEST(ValueCodec, OctetsFromAFile) {
    char path[] = "/tmp/ecalias-octets-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const uint8_t content[5] = {0, 1, 2, 0xFE, 0xFF};
    ASSERT_EQ(write(fd, content, sizeof content), 5);
    close(fd);
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(ValueReadOctetsFile(path, 100, &bytes, &error)) << error;
    EXPECT_EQ(bytes, std::vector<uint8_t>(content, content + 5));
    EXPECT_FALSE(ValueReadOctetsFile(path, 4, &bytes, &error));
    EXPECT_NE(error.find("larger than 4 bytes"), std::string::npos) << error;
    unlink(path);
    EXPECT_FALSE(ValueReadOctetsFile(path, 100, &bytes, &error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

}  // namespace
