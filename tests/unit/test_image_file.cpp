// SII image files: what is refused before anything is sent (short, odd, too large,
// unreadable), little-endian words both ways, and that no file is ever replaced.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tool/cli/image_file.h"

namespace {

class ImageFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ecalias-image-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string Put(const char* name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return path;
    }
    std::string dir;
};

TEST_F(ImageFile, WordsAreLittleEndianBothWays) {
    const std::vector<uint16_t> words = {0x0102, 0xA0B0, 0, 0xFFFF, 5, 6, 7, 8, 0x1234};
    const std::string path = dir + "/image.bin";
    std::string error;
    ASSERT_TRUE(ImageFileWrite(path.c_str(), words.data(), words.size(), &error)) << error;
    std::vector<uint16_t> back;
    ASSERT_TRUE(ImageFileRead(path.c_str(), &back, &error)) << error;
    EXPECT_EQ(back, words);
    FILE* f = fopen(path.c_str(), "rb");
    uint8_t first[4] = {0};
    ASSERT_EQ(fread(first, 1, 4, f), 4u);
    fclose(f);
    EXPECT_EQ(first[0], 0x02);
    EXPECT_EQ(first[1], 0x01);
    EXPECT_EQ(first[2], 0xB0);
    // Nothing but the image is left in the folder.
    std::string command = "test $(ls -A '" + dir + "' | wc -l) -eq 1";
    EXPECT_EQ(system(command.c_str()), 0);
}

TEST_F(ImageFile, AnExistingFileIsNeverReplaced) {
    const std::string path = Put("taken.bin", {1, 2, 3});
    const uint16_t words[8] = {0};
    std::string error;
    EXPECT_FALSE(ImageFileWrite(path.c_str(), words, 8, &error));
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 3);
    EXPECT_FALSE(ImageFileWrite((dir + "/no/such/dir/x.bin").c_str(), words, 8, &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST_F(ImageFile, FilesThatCannotBeImagesAreRefusedWithTheReason) {
    struct Case {
        std::string path;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {Put("empty.bin", {}), "holds 0 bytes; an SII image has at least 16"},
        {Put("short.bin", std::vector<uint8_t>(14, 0)), "holds 14 bytes; an SII image has at least 16"},
        {Put("odd.bin", std::vector<uint8_t>(17, 0)), "odd number of bytes (17)"},
        {Put("large.bin", std::vector<uint8_t>(65538, 0)), "larger than 64 KiB"},
        {dir + "/missing.bin", "cannot read"},
        {dir, "not a regular file"},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> words = {1, 2, 3};
        std::string error;
        EXPECT_FALSE(ImageFileRead(c.path.c_str(), &words, &error)) << c.path;
        EXPECT_TRUE(words.empty());
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_NE(error.find(c.path), std::string::npos) << error;
    }
    // The edges that are images.
    std::vector<uint16_t> words;
    std::string error;
    EXPECT_TRUE(ImageFileRead(Put("min.bin", std::vector<uint8_t>(16, 0)).c_str(), &words, &error)) << error;
    EXPECT_EQ(words.size(), 8u);
    EXPECT_TRUE(ImageFileRead(Put("max.bin", std::vector<uint8_t>(65536, 0xFF)).c_str(), &words, &error)) << error;
    EXPECT_EQ(words.size(), 32768u);
}

}  // namespace
