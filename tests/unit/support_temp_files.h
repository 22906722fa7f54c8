// Files for tests: a fresh folder removed with what it holds, an image file read back as
// little-endian words, and the whole of a captured output file.
#pragma once
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/ecalias-test.XXXXXX";
        const char* made = mkdtemp(pattern);
        path = made != nullptr ? made : "";
    }
    ~TempDir() {
        for (const std::string& name : Files()) unlink((path + "/" + name).c_str());
        rmdir(path.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The names in the folder, without "." and "..".
    std::set<std::string> Files() const {
        std::set<std::string> names;
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) return names;
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.insert(entry->d_name);
        closedir(dir);
        return names;
    }
};

// The words of an image file (empty when it cannot be opened).
inline std::vector<uint16_t> FileWords(const char* path) {
    std::vector<uint16_t> words;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return words;
    uint8_t pair[2];
    while (fread(pair, 1, 2, f) == 2) words.push_back(static_cast<uint16_t>(pair[0] | pair[1] << 8));
    fclose(f);
    return words;
}

// Everything written to `file` (a tmpfile() that took a program's output), which is closed.
inline std::string ReadAll(FILE* file) {
    std::string text;
    rewind(file);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    fclose(file);
    return text;
}
