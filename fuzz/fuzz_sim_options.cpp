// The option string of an in-process segment: the text after "sim:", as a host program
// or a test hands it over.
//
// The input is the string (up to its first NUL). Properties:
//  - the split is reversible: every word it gives, quoted again and split once more,
//    comes back unchanged;
//  - a build either succeeds with a segment of the slave count it reports, or fails with
//    a message that fits the buffer and no segment; a refused split fails the build with
//    the split's own message;
//  - a segment that was built answers a broadcast read with every slave on the line;
//  - destroying a build leaves it zeroed (and the sanitizers see no leak).
// Inputs that name an image file or folder (--image, --eeprom-dir) are passed over: a
// fuzzer must not write to the disk. So are those asking for more than 16 slaves, which
// only cost memory.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "sim/segment.h"
#include "sim/sim_options.h"

namespace {

constexpr int kMostSlaves = 16;

std::string Quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

bool StartsWith(const std::string& word, const char* prefix) { return word.rfind(prefix, 0) == 0; }

// A BRD of register 0x0000, 2 bytes: every slave on the line raises the working counter.
int BroadcastWorkingCounter(SimSegment* segment, bool* returned) {
    uint8_t frame[30] = {0};
    memset(frame, 0xFF, 6);
    frame[12] = 0x88;
    frame[13] = 0xA4;
    SimPut16(frame + 14, static_cast<uint16_t>((1 << 12) | 14));
    frame[16] = 7;                // BRD
    SimPut16(frame + 22, 2);      // length, last datagram
    *returned = SimProcessFrame(segment, frame, sizeof(frame));
    return SimGet16(frame + 28);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();  // up to the first NUL, as a C caller hands it over

    std::vector<std::string> words;
    char split_error[256] = "";
    bool split = SimSplitOptions(text.c_str(), &words, split_error, sizeof(split_error));
    bool answers_everywhere = true;
    if (split) {
        std::string again;
        for (const std::string& word : words) {
            if (StartsWith(word, "--image") || StartsWith(word, "--eeprom-dir")) return 0;
            if (StartsWith(word, "--eeprom-no-answer")) answers_everywhere = false;
            again += Quote(word) + " ";
        }
        std::vector<std::string> resplit;
        char error[256] = "";
        FUZZ_CHECK(SimSplitOptions(again.c_str(), &resplit, error, sizeof(error)));
        FUZZ_CHECK(resplit == words);
        std::vector<const char*> args;
        for (const std::string& word : words) args.push_back(word.c_str());
        SimSettings settings;
        char parse_error[256];
        if (SimParseArguments(static_cast<int>(args.size()), args.data(), SimOptionUse::kInProcess, &settings,
                              parse_error, sizeof(parse_error)) &&
            settings.slaves > kMostSlaves)
            return 0;
    } else {
        FUZZ_CHECK(words.empty());
        FUZZ_CHECK(split_error[0] != '\0');
    }

    SimBuild build;
    memset(&build, 0x5A, sizeof(build));
    char errbuf[512];
    memset(errbuf, 0x5A, sizeof(errbuf));
    bool built = SimBuildFromOptions(text.c_str(), &build, errbuf, sizeof(errbuf));
    FuzzTrace("options '%s': %s", text.c_str(), built ? "built" : errbuf);
    if (!split) FUZZ_CHECK(!built && strcmp(errbuf, split_error) == 0);
    if (!built) {
        FUZZ_CHECK(build.segment == nullptr);
        size_t length = strnlen(errbuf, sizeof(errbuf));
        FUZZ_CHECK(length > 0 && length < sizeof(errbuf));
        return 0;
    }
    FUZZ_CHECK(build.segment != nullptr);
    FUZZ_CHECK(build.slaves >= 0 && build.slaves <= kMostSlaves);
    FUZZ_CHECK(static_cast<int>(build.segment->slaves.size()) == build.slaves);
    bool returned = false;
    int working_counter = BroadcastWorkingCounter(build.segment, &returned);
    FUZZ_CHECK(returned == (build.slaves > 0));
    if (answers_everywhere) FUZZ_CHECK(!returned || working_counter == build.slaves);
    SimBuildDestroy(&build);
    FUZZ_CHECK(build.segment == nullptr && build.slaves == 0);
    return 0;
}
