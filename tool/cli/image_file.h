// SII image files: little-endian 16-bit words, as `sii dump -o` writes them and ecsim's
// --image and --eeprom-dir files hold them. Files are checked before anything is sent
// to a slave: too short, odd length, too large or unreadable is a usage error.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum {
    kImageFileMinBytes = 16,     // words 0-7
    kImageFileMaxBytes = 65536,  // the largest SII EEPROM
};

// Reads and checks an image file. False with *error naming the file, what is wrong and
// what is expected.
bool ImageFileRead(const char* path, std::vector<uint16_t>* words, std::string* error);

// Writes `count` words to a new file at `path`: written to a temporary file beside it
// and renamed, so a reader never sees half an image; an existing file is never
// replaced (false, and *error says so).
bool ImageFileWrite(const char* path, const uint16_t* words, size_t count, std::string* error);

// One image of ImageFilesWrite.
struct ImageFileJob {
    std::string path;
    const uint16_t* words;
    size_t count;
};
// Writes each image as ImageFileWrite does, the files flushed to disk together before any
// gets its name. errors[n] is "" for a file written, else why it was not.
void ImageFilesWrite(const std::vector<ImageFileJob>& jobs, std::vector<std::string>* errors);
