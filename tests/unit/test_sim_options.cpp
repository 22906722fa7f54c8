// ecsim's options: the split of an option string, the table that reads them for ecsim
// and for an in-process segment, the refusals and their messages, the EEPROM size and
// the object types of the CoE server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/segment.h"
#include "sim/sim_coe.h"
#include "sim/sim_options.h"
#include "sim/wire.h"

namespace {

std::vector<std::string> Split(const char* text, bool* ok, std::string* error = nullptr) {
    std::vector<std::string> words{"left over"};
    char errbuf[256] = "";
    *ok = SimSplitOptions(text, &words, errbuf, sizeof(errbuf));
    if (error != nullptr) *error = errbuf;
    return words;
}

// Builds a segment from `options`; nothing may be printed, whatever the outcome.
struct Built {
    bool ok;
    SimBuild build;
    std::string error;
};

Built Build(const std::string& options) {
    Built result{};
    char errbuf[512];
    memset(errbuf, 'x', sizeof(errbuf));
    errbuf[sizeof(errbuf) - 1] = '\0';
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.ok = SimBuildFromOptions(options.c_str(), &result.build, errbuf, sizeof(errbuf));
    std::string printed = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "") << options;
    if (!result.ok) result.error = errbuf;
    return result;
}

SimSlave* Slave(const SimBuild& build, int position) {
    return build.segment->slaves[static_cast<size_t>(position - 1)];
}

void Destroy(Built* built) {
    char errbuf[256] = "";
    EXPECT_TRUE(SimBuildDestroy(&built->build, errbuf, sizeof(errbuf))) << errbuf;
    EXPECT_EQ(built->build.segment, nullptr);
}

std::string MakeFolder() {
    char pattern[] = "/tmp/ecalias-sim-options.XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    return made != nullptr ? made : "/nonexistent";
}

void RemoveFolder(const std::string& folder) {
    std::string command = "rm -rf '" + folder + "'";
    ASSERT_EQ(system(command.c_str()), 0);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

long long FileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

std::string Help(SimOptionUse use) {
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    SimPrintOptionHelp(out, use);
    fclose(out);
    std::string help(text, length);
    free(text);
    return help;
}

// The option names at the start of the help's option lines ("  --name ...").
std::vector<std::string> HelpOptions(const std::string& help) {
    std::vector<std::string> names;
    size_t at = 0;
    while ((at = help.find("\n  --", at)) != std::string::npos) {
        size_t start = at + 3;
        size_t end = help.find_first_of(" ,[\n", start);
        names.push_back(help.substr(start, end - start));
        at = end;
    }
    return names;
}

// ---- the CoE server, spoken to directly ----

std::vector<uint8_t> Serve(SimSlave* slave, const std::vector<uint8_t>& request) {
    uint8_t reply[256] = {0};
    int size = SimCoeServe(slave, request.data(), static_cast<int>(request.size()), reply, sizeof(reply));
    return std::vector<uint8_t>(reply, reply + (size > 0 ? size : 0));
}

std::vector<uint8_t> UploadRequest(uint16_t index, uint8_t subindex) {
    std::vector<uint8_t> m(16, 0);
    SimPut16(m.data(), 10);
    m[5] = 0x03;
    SimPut16(m.data() + 6, 0x2000);
    m[8] = 0x40;
    SimPut16(m.data() + 9, index);
    m[11] = subindex;
    return m;
}

// The value an upload delivers (expedited or normal in one piece), or the abort code in
// *abort.
std::vector<uint8_t> Upload(SimSlave* slave, uint16_t index, uint8_t subindex, uint32_t* abort) {
    std::vector<uint8_t> reply = Serve(slave, UploadRequest(index, subindex));
    *abort = 0;
    if (reply.size() < 16) return {};
    if (reply[8] == 0x80) {
        *abort = SimGet32(reply.data() + 12);
        return {};
    }
    if ((reply[8] & 0xE3) == 0x43)  // expedited: 4 bytes less those the command says are unused
        return std::vector<uint8_t>(reply.begin() + 12, reply.begin() + 16 - ((reply[8] >> 2) & 3));
    uint32_t total = SimGet32(reply.data() + 12);
    return std::vector<uint8_t>(reply.begin() + 16, reply.begin() + 16 + total);
}

// A download of `data`: expedited with the size given when it fits 4 bytes and
// `expedited`, otherwise normal in one message. Returns the abort code, 0 on success.
uint32_t Download(SimSlave* slave, uint16_t index, uint8_t subindex, const std::vector<uint8_t>& data,
                  bool expedited, bool size_given = true) {
    std::vector<uint8_t> m(16, 0);
    m[5] = 0x03;
    SimPut16(m.data() + 6, 0x2000);
    SimPut16(m.data() + 9, index);
    m[11] = subindex;
    if (expedited) {
        SimPut16(m.data(), 10);
        m[8] = static_cast<uint8_t>(size_given ? 0x23 | ((4 - data.size()) << 2) : 0x22);
        memcpy(m.data() + 12, data.data(), data.size());
    } else {
        SimPut16(m.data(), static_cast<uint16_t>(10 + data.size()));
        m[8] = 0x21;
        SimPut32(m.data() + 12, static_cast<uint32_t>(data.size()));
        m.insert(m.end(), data.begin(), data.end());
    }
    std::vector<uint8_t> reply = Serve(slave, m);
    if (reply.size() < 16) return 0xFFFFFFFF;
    if (reply[8] == 0x80) return SimGet32(reply.data() + 12);
    EXPECT_EQ(reply[8], 0x60);
    return 0;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> bytes;
    for (int b : list) bytes.push_back(static_cast<uint8_t>(b));
    return bytes;
}

// ---- the EEPROM interface, register by register ----

constexpr uint16_t kControl = 0x0502;
constexpr uint16_t kData = 0x0508;

// Reads one word through the ESC's EEPROM interface (latency 0).
uint16_t ReadWord(SimSlave* slave, uint32_t word) {
    uint8_t record[6] = {0};
    SimPut16(record, 0x0100);
    SimPut32(record + 2, word);
    EXPECT_TRUE(SimSlaveWrite(slave, kControl, 6, record));
    uint8_t status[2];
    EXPECT_TRUE(SimSlaveRead(slave, kControl, 2, status));
    EXPECT_EQ(SimGet16(status) & 0xE000, 0);
    uint8_t data[4];
    EXPECT_TRUE(SimSlaveRead(slave, kData, 4, data));
    return SimGet16(data);
}

// Writes one word through the interface; with `wait` the write cycle (latency 0) is
// seen to end without an error.
void WriteWord(SimSlave* slave, uint32_t word, uint16_t value, bool wait = true) {
    uint8_t data[2];
    SimPut16(data, value);
    ASSERT_TRUE(SimSlaveWrite(slave, kData, 2, data));
    uint8_t record[6] = {0};
    SimPut16(record, 0x0201);
    SimPut32(record + 2, word);
    ASSERT_TRUE(SimSlaveWrite(slave, kControl, 6, record));
    if (!wait) return;
    uint8_t status[2];
    ASSERT_TRUE(SimSlaveRead(slave, kControl, 2, status));
    EXPECT_EQ(SimGet16(status) & 0xE000, 0);
}

// ======================================================================================

TEST(SimOptionSplit, BlanksSeparateQuotesGroupBackslashesEscape) {
    bool ok = false;
    EXPECT_EQ(Split("  --slaves\t3 \n --drop   0.1 ", &ok),
              (std::vector<std::string>{"--slaves", "3", "--drop", "0.1"}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(Split("--name 2:'Drive A'", &ok), (std::vector<std::string>{"--name", "2:Drive A"}));
    EXPECT_EQ(Split("'a \"b\" c'", &ok), (std::vector<std::string>{"a \"b\" c"})) << "double quotes in single quotes";
    EXPECT_EQ(Split("'a\\b'", &ok), (std::vector<std::string>{"a\\b"})) << "a backslash in single quotes is kept";
    EXPECT_EQ(Split("\"it's \\\"x\\\" \\\\ \\n\"", &ok), (std::vector<std::string>{"it's \"x\" \\ \\n"}))
        << "in double quotes a backslash escapes only \" and \\";
    EXPECT_EQ(Split("Drive\\ A \\'q\\' a\\\\b", &ok), (std::vector<std::string>{"Drive A", "'q'", "a\\b"}));
    EXPECT_EQ(Split("a'b c'\"d e\"f", &ok), (std::vector<std::string>{"ab cd ef"})) << "adjacent parts make one word";
    EXPECT_EQ(Split("'' \"\" x", &ok), (std::vector<std::string>{"", "", "x"})) << "empty quotes are empty words";
    EXPECT_TRUE(ok);
    EXPECT_TRUE(Split("", &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_TRUE(Split(" \t\n", &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_TRUE(Split(nullptr, &ok).empty());
    EXPECT_TRUE(ok);
}

TEST(SimOptionSplit, UnterminatedQuotesAndALoneBackslashAreRefused) {
    bool ok = true;
    std::string error;
    EXPECT_TRUE(Split("--name 2:'Drive A", &ok, &error).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "unterminated single quote at offset 9 of the options");
    EXPECT_TRUE(Split("--name \"2:Drive \\\"A", &ok, &error).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "unterminated double quote at offset 7 of the options");
    EXPECT_TRUE(Split("--name x\\", &ok, &error).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "the options end in a lone backslash");

    Built built = Build("--slaves 2 --name '1:x");
    EXPECT_FALSE(built.ok);
    EXPECT_EQ(built.build.segment, nullptr);
    EXPECT_NE(built.error.find("unterminated single quote"), std::string::npos) << built.error;
}

TEST(SimOptions, EveryFamilyReachesItsField) {
    std::string folder = MakeFolder();
    std::string image = folder + "/one slave.bin";
    Built built = Build(
        "--name 3:'Drive A' --slaves 3 --drop 0.25 --dup=0.125 --foreign 0.5 --late 0.75:1234 --seed 0x99 "
        "--identity 2-3:0xAB:2:0x10 --general 1:1:2:3:4:2:-500 --alias 1:4660 --sii-word 2:0x30:0xBEEF "
        "--mailbox-size 3:256 --eight-byte all --eeprom-latency 0:100 --eeprom-nack 1:all --eeprom-nack 2:3 "
        "--eeprom-nack-writes 3:4 --eeprom-busy-stuck 3 --eeprom-bad-words 2:0x43:8 --eeprom-no-answer 2:0x0502 "
        "--vanish-after-writes 1:2 --vanish-at-write 2:5 --come-back-after 2:250 --no-strings 1 "
        "--image \"2:" + image + "\" --eeprom-size 3:16384 "
        "--object 'all:0x4000:1:ro-string:a b:c' --register 2:0x20:0xFFFFFFFF --sdo-emergency 1:1 "
        "--sdo-mbx-error 2:2 --sdo-lose-first-read 3:3 --sdo-refuse-read 1:4 --sdo-stall 2:5 --sdo-delay all:500 "
        "--preop-reads-sii 3");
    ASSERT_TRUE(built.ok) << built.error;
    const SimBuild& b = built.build;
    ASSERT_NE(b.segment, nullptr);
    EXPECT_EQ(b.slaves, 3);
    EXPECT_EQ(b.segment->slaves.size(), 3u);
    EXPECT_EQ(b.faults.drop, 0.25);
    EXPECT_EQ(b.faults.duplicate, 0.125);
    EXPECT_EQ(b.faults.foreign_rate, 0.5);
    EXPECT_EQ(b.faults.late, 0.75);
    EXPECT_EQ(b.faults.late_us, 1234u);
    EXPECT_EQ(b.faults.seed, 0x99u);

    // EEPROM layer.
    const SimEeprom& e1 = Slave(b, 1)->eeprom;
    const SimEeprom& e2 = Slave(b, 2)->eeprom;
    const SimEeprom& e3 = Slave(b, 3)->eeprom;
    int strings = SiiFindCategory(e3.words, kSiiCategoryStrings);
    ASSERT_GE(strings, 0);
    EXPECT_EQ(e3.words[strings + 2] >> 8, 7) << "\"Drive A\", quoted";
    EXPECT_EQ(memcmp(reinterpret_cast<const char*>(&e3.words[strings + 3]), "Drive A", 7), 0);
    EXPECT_LT(SiiFindCategory(e1.words, kSiiCategoryStrings), 0);
    EXPECT_EQ(e3.words[kSiiWordVendor], 0xAB);
    EXPECT_EQ(e2.words[kSiiWordProduct], 2);
    EXPECT_EQ(e2.words[kSiiWordRevision], 0x10);
    EXPECT_EQ(e1.words[kSiiWordVendor], kSiiDefaultVendor & 0xFFFF);
    int general = SiiFindCategory(e1.words, kSiiCategoryGeneral);
    ASSERT_GE(general, 0);
    EXPECT_EQ(static_cast<int16_t>(e1.words[general + 2 + 6]), -500);
    EXPECT_EQ(e1.words[kSiiWordAlias], 4660);
    EXPECT_EQ(SimGet16(Slave(b, 1)->memory + 0x0012), 4660) << "the alias register follows the new header";
    EXPECT_EQ(e2.words[0x30], 0xBEEF);
    EXPECT_EQ(e3.words[kSiiWordWriteMailboxSize], 256);
    EXPECT_EQ(e2.words[kSiiWordWriteMailboxSize], kSiiDefaultMailboxBytes);
    for (int n = 1; n <= 3; n++) EXPECT_TRUE(Slave(b, n)->eeprom.eight_byte_reads);
    EXPECT_EQ(e2.read_latency_us, 0u);
    EXPECT_EQ(e2.write_latency_us, 100u);
    EXPECT_TRUE(e1.faults.nack_all);
    EXPECT_EQ(e2.faults.nack_first, 3);
    EXPECT_EQ(e3.faults.nack_writes_first, 4);
    EXPECT_TRUE(e3.faults.busy_stuck);
    EXPECT_FALSE(e2.faults.busy_stuck);
    EXPECT_EQ(e2.faults.bad_words_first, 0x43);
    EXPECT_EQ(e2.faults.bad_words_count, 8);
    EXPECT_EQ(e2.faults.no_answer_register, 0x0502);
    EXPECT_EQ(e1.faults.vanish_after_writes, 2);
    EXPECT_EQ(e2.faults.vanish_at_write, 5);
    EXPECT_TRUE(e2.faults.come_back);
    EXPECT_EQ(e2.faults.come_back_after_ms, 250u);
    EXPECT_EQ(SimEepromWordCount(&e3), 8192u);
    EXPECT_EQ(SimEepromWordCount(&e2), 2048u);
    EXPECT_EQ(e3.words[kSiiWordSize], 127) << "16 KiB = 128 Kbit";
    EXPECT_EQ(e1.segment, b.segment);
    // The image file, path with a blank from double quotes: created at the EEPROM's size.
    EXPECT_STREQ(e2.path, image.c_str());
    EXPECT_EQ(FileSize(image), 4096);

    // Mailbox and CoE layer.
    for (int n = 1; n <= 3; n++) {
        SimObject* object = SimObjectFind(Slave(b, n), 0x4000, 1);
        ASSERT_NE(object, nullptr) << n;
        EXPECT_FALSE(object->writable);
        EXPECT_EQ(std::string(object->value.begin(), object->value.end()), "a b:c");
        EXPECT_EQ(Slave(b, n)->mailbox.faults.delay_us, 500u);
    }
    EXPECT_EQ(SimRegisterGet(Slave(b, 2), 0x20), 0xFFFFFFFFu);
    EXPECT_EQ(SimRegisterGet(Slave(b, 1), 0x20), 0x01000020u);
    EXPECT_EQ(Slave(b, 1)->mailbox.faults.emergencies, 1);
    EXPECT_EQ(Slave(b, 2)->mailbox.faults.mailbox_errors, 2);
    EXPECT_EQ(Slave(b, 3)->mailbox.faults.lose_first_reads, 3);
    EXPECT_EQ(Slave(b, 1)->mailbox.faults.refuse_reads, 4);
    EXPECT_TRUE(Slave(b, 2)->mailbox.faults.stalls);
    EXPECT_EQ(Slave(b, 2)->mailbox.faults.answers_before_stall, 5);
    EXPECT_TRUE(Slave(b, 3)->mailbox.faults.reads_sii_on_preop);
    EXPECT_FALSE(Slave(b, 2)->mailbox.faults.reads_sii_on_preop);
    Destroy(&built);
    RemoveFolder(folder);
}

TEST(SimOptions, DefaultsWithoutOptions) {
    Built built = Build("");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_EQ(built.build.slaves, 1);
    EXPECT_EQ(built.build.segment->slaves.size(), 1u);
    EXPECT_EQ(built.build.faults.drop, 0.0);
    EXPECT_EQ(built.build.faults.seed, 0u);
    Destroy(&built);
    built = Build("--slaves 0");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_TRUE(built.build.segment->slaves.empty());
    Destroy(&built);
}

TEST(SimOptions, WireTimingTakesAnOptionalValueAfterEquals) {
    Built built = Build("--wire-timing --slaves 2");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_TRUE(built.build.faults.wire_timing);
    EXPECT_EQ(built.build.faults.forward_ns, static_cast<uint32_t>(kSimDefaultForwardNs));
    EXPECT_EQ(built.build.slaves, 2);
    Destroy(&built);
    built = Build("--wire-timing=250");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_EQ(built.build.faults.forward_ns, 250u);
    Destroy(&built);
    built = Build("--wire-timing 250");
    EXPECT_FALSE(built.ok) << "a value is given only after '='";
    EXPECT_NE(built.error.find("250"), std::string::npos) << built.error;
    built = Build("--wire-timing=-1");
    EXPECT_FALSE(built.ok);
    EXPECT_NE(built.error.find("--wire-timing"), std::string::npos) << built.error;
    built = Build("");
    ASSERT_TRUE(built.ok);
    EXPECT_FALSE(built.build.faults.wire_timing);
    Destroy(&built);
}

TEST(SimOptions, EcsimReadsItsOwnOptionsAndStopsAtAnAction) {
    const char* serve[] = {"--iface", "vs1", "--busy-poll", "--cpu=1", "--slaves", "2", "--name", "2:x"};
    SimSettings settings;
    char errbuf[256] = "";
    ASSERT_TRUE(SimParseArguments(8, serve, SimOptionUse::kEcsim, &settings, errbuf, sizeof(errbuf))) << errbuf;
    EXPECT_EQ(settings.action, SimAction::kServe);
    EXPECT_STREQ(settings.iface, "vs1");
    EXPECT_TRUE(settings.busy_poll);
    EXPECT_EQ(settings.cpu, 1);
    EXPECT_EQ(settings.slaves, 2);
    ASSERT_EQ(settings.layer.size(), 1u);
    EXPECT_STREQ(settings.layer[0].value, "2:x");

    const char* blocking[] = {"--busy-poll", "--blocking"};
    SimSettings later;
    ASSERT_TRUE(SimParseArguments(2, blocking, SimOptionUse::kEcsim, &later, errbuf, sizeof(errbuf)));
    EXPECT_FALSE(later.busy_poll) << "the later of the two counts";

    // An action ends the reading: what follows is not looked at.
    struct {
        std::vector<const char*> args;
        SimAction action;
    } actions[] = {
        {{"--help", "--frobnicate"}, SimAction::kHelp},
        {{"-h"}, SimAction::kHelp},
        {{"--slaves", "2", "--version", "stray"}, SimAction::kVersion},
        {{"-V"}, SimAction::kVersion},
        {{"--print-header", "img.bin", "--drop", "7"}, SimAction::kPrintHeader},
    };
    for (const auto& c : actions) {
        SimSettings s;
        errbuf[0] = '\0';
        ASSERT_TRUE(SimParseArguments(static_cast<int>(c.args.size()), c.args.data(), SimOptionUse::kEcsim, &s, errbuf,
                                      sizeof(errbuf)))
            << c.args[0] << ": " << errbuf;
        EXPECT_EQ(s.action, c.action) << c.args[0];
    }
    SimSettings header;
    const char* print[] = {"--print-header=img.bin"};
    ASSERT_TRUE(SimParseArguments(1, print, SimOptionUse::kEcsim, &header, errbuf, sizeof(errbuf)));
    EXPECT_STREQ(header.print_header, "img.bin");
}

TEST(SimOptions, CommandLineMistakesAreNamed) {
    struct {
        std::vector<const char*> args;
        const char* message;
    } cases[] = {
        {{"stray"}, "unexpected argument 'stray' (see ecsim --help)"},
        {{"-x"}, "unexpected argument '-x' (see ecsim --help)"},
        {{"--frobnicate", "1"}, "unknown option --frobnicate (see ecsim --help)"},
        {{"--frobnicate=1"}, "unknown option --frobnicate (see ecsim --help)"},
        {{"--drop"}, "--drop needs a value"},
        {{"--name"}, "--name needs a value"},
        {{"--busy-poll=1"}, "--busy-poll takes no value"},
        {{"--slaves", "1001"}, "bad value for --slaves: '1001' (expected 0 to 1000)"},
        {{"--slaves", "-1"}, "bad value for --slaves: '-1' (expected 0 to 1000)"},
        {{"--slaves", "3x"}, "bad value for --slaves: '3x' (expected 0 to 1000)"},
        {{"--drop", "1.5"}, "bad value for --drop: '1.5' (expected a probability 0..1)"},
        {{"--dup=-0.1"}, "bad value for --dup: '-0.1' (expected a probability 0..1)"},
        {{"--foreign", "nan"}, "bad value for --foreign: 'nan' (expected a probability 0..1)"},
        {{"--late", "0.5"}, "bad value for --late: '0.5' (expected P:US, a probability and microseconds)"},
        {{"--late", "0.5:-1"}, "bad value for --late: '0.5:-1' (expected P:US, a probability and microseconds)"},
        {{"--seed", "abc"}, "bad value for --seed: 'abc' (expected an unsigned integer)"},
        {{"--seed", "-1"}, "bad value for --seed: '-1' (expected an unsigned integer)"},
        {{"--cpu", "x"}, "bad value for --cpu: 'x' (expected a CPU number)"},
        {{"--iface", ""}, "bad value for --iface: '' (expected an interface name)"},
        {{"--iface", "a-name-far-too-long-for-linux"},
         "bad value for --iface: 'a-name-far-too-long-for-linux' (expected an interface name)"},
    };
    for (const auto& c : cases) {
        SimSettings settings;
        char errbuf[256] = "";
        EXPECT_FALSE(SimParseArguments(static_cast<int>(c.args.size()), c.args.data(), SimOptionUse::kEcsim,
                                       &settings, errbuf, sizeof(errbuf)))
            << c.args[0];
        EXPECT_STREQ(errbuf, c.message);
    }
    // A refusal fits any buffer, down to none at all.
    const char* bad[] = {"--slaves", "1001"};
    SimSettings settings;
    char tiny[8];
    EXPECT_FALSE(SimParseArguments(2, bad, SimOptionUse::kEcsim, &settings, tiny, sizeof(tiny)));
    EXPECT_STREQ(tiny, "bad val");
    EXPECT_FALSE(SimParseArguments(2, bad, SimOptionUse::kEcsim, &settings, nullptr, 0));
}

TEST(SimOptions, BadLayerValuesAreRefusedWithNothingCreated) {
    std::string folder = MakeFolder();
    std::string made = folder + "/made";
    struct {
        std::string options;
        std::string message;
    } cases[] = {
        {"--name 0:x", "bad value for --name: '0:x' (slave 0 is out of range"},
        {"--name x", "bad value for --name: 'x' (expected a slave selector (N, A-B or all) first)"},
        {"--name 1-x:y", "expected a slave selector"},
        {"--name 2-1:x", "bad value for --name: '2-1:x' (the range 2-1 runs backwards)"},
        {"--name 1:" + std::string(256, 'n'), "(expected SEL:TEXT of at most 255 bytes)"},
        {"--identity 1:1:2", "bad value for --identity: '1:1:2' (expected SEL:VENDOR:PRODUCT:REVISION"},
        {"--identity 1:a:b:c", "bad value for --identity: '1:a:b:c'"},
        {"--eight-byte 1:2", "bad value for --eight-byte: '1:2' (expected SEL alone)"},
        {"--alias 1", "bad value for --alias: '1' (expected SEL:VALUE)"},
        {"--alias 1:65536", "bad value for --alias: '1:65536' (expected SEL:ALIAS (0 to 65535))"},
        {"--sii-word 1:2048:0", "bad value for --sii-word: '1:2048:0' (expected SEL:WORD:VALUE, WORD 0 to 2047"},
        {"--general 1:1:2:3:4:256:0", "bad value for --general: '1:1:2:3:4:256:0'"},
        {"--eeprom-latency 5", "bad value for --eeprom-latency: '5' (expected READ_US:WRITE_US"},
        {"--eeprom-nack 1:some", "bad value for --eeprom-nack: '1:some' (expected SEL:K (0 to 1000000000) or SEL:all)"},
        {"--eeprom-nack-writes 1:-1", "bad value for --eeprom-nack-writes: '1:-1'"},
        {"--eeprom-bad-words 1:5:0", "bad value for --eeprom-bad-words: '1:5:0' (expected SEL:FIRST_WORD:COUNT"},
        {"--eeprom-no-answer 1:0x10000", "bad value for --eeprom-no-answer: '1:0x10000'"},
        {"--vanish-after-writes 1:0", "bad value for --vanish-after-writes: '1:0' (expected SEL:K (1 to 1000000000))"},
        {"--vanish-at-write 1:x", "bad value for --vanish-at-write: '1:x'"},
        {"--come-back-after 1:-5", "bad value for --come-back-after: '1:-5' (expected SEL:MS (0 to 86400000))"},
        {"--mailbox-size 1:7",
         "bad value for --mailbox-size: '1:7' (expected SEL:BYTES, 16 to 1486, or 0 for no mailbox)"},
        {"--mailbox-size 1:15", "(expected SEL:BYTES, 16 to 1486, or 0 for no mailbox)"},
        {"--mailbox-size 1:1487", "(expected SEL:BYTES, 16 to 1486, or 0 for no mailbox)"},
        {"--mailbox-size 1:-1", "(expected SEL:BYTES, 16 to 1486, or 0 for no mailbox)"},
        {"--eeprom-size 1:4000",
         "bad value for --eeprom-size: '1:4000' (expected SEL:BYTES, 2048, 4096, 8192, 16384, 32768 or 65536)"},
        {"--eeprom-size 1:1024", "(expected SEL:BYTES, 2048, 4096, 8192, 16384, 32768 or 65536)"},
        {"--eeprom-size 1:131072", "(expected SEL:BYTES, 2048, 4096, 8192, 16384, 32768 or 65536)"},
        {"--eeprom-dir ''", "bad value for --eeprom-dir: '' (expected a folder)"},
        {"--eeprom-dir " + std::string(500, 'd'), "bad value for --eeprom-dir: '" + std::string(77, 'd') +
                                                      "...' (expected a shorter folder name)"},
        {"--image 1:", "bad value for --image: '1:' (expected SEL:FILE, a path of 1 to 511 bytes)"},
        {"--sdo-delay all", "bad value for --sdo-delay: 'all' (expected SEL:VALUE)"},
        {"--sdo-delay all:-5", "bad value for --sdo-delay: 'all:-5' (expected SEL:N with N 0 to 1000000000)"},
        {"--sdo-emergency 1:x", "bad value for --sdo-emergency: '1:x'"},
        {"--sdo-stall ''", "bad value for --sdo-stall: '' (expected a value)"},
        {"--register 1:0x1000000:1", "bad value for --register: '1:0x1000000:1' (expected SEL:REGISTER:VALUE with"},
        {"--register 1:5", "bad value for --register: '1:5' (expected SEL:REGISTER:VALUE)"},
        {"--preop-reads-sii 1:2", "bad value for --preop-reads-sii: '1:2' (expected SEL alone)"},
        {"--object 1:0x4000:0", "bad value for --object: '1:0x4000:0' (expected SEL:INDEX:SUB:TYPE:VALUE)"},
        {"--object 1:0x10000:0:u8:1", "(expected SEL:INDEX:SUB:TYPE:VALUE with INDEX 0 to 0xFFFF and SUB 0 to 255)"},
        {"--object 1:0x4000:256:u8:1", "(expected SEL:INDEX:SUB:TYPE:VALUE with INDEX 0 to 0xFFFF and SUB 0 to 255)"},
        {"--object 1:0x4000:0:f128:1", "(expected TYPE bool, u8, u16, u32, u64, i8, i16, i32, i64, f32, f64, string"},
        {"--object 1:0x4000:0:octets:65536", "(expected a length 0 to 65535 for octets)"},
        {"--object 1:0x4000:0:u16:70000",
         "bad value for --object: '1:0x4000:0:u16:70000' (expected a u16 value, 0 to 65535)"},
        {"--object 1:0x4000:0:ro-u16:-1", "(expected a u16 value, 0 to 65535)"},
        {"--object 1:0x4000:0:u8:256", "(expected a u8 value, 0 to 255)"},
        {"--object 1:0x4000:0:u8:-1", "(expected a u8 value, 0 to 255)"},
        {"--object 1:0x4000:0:u32:0x100000000", "(expected a u32 value, 0 to 4294967295)"},
        {"--object 1:0x4000:0:u64:18446744073709551616", "(expected a u64 value, 0 to 18446744073709551615)"},
        {"--object 1:0x4000:0:u64:-1", "(expected a u64 value, 0 to 18446744073709551615)"},
        {"--object 1:0x4000:0:i8:-129", "(expected a i8 value, -128 to 127)"},
        {"--object 1:0x4000:0:i8:128", "(expected a i8 value, -128 to 127)"},
        {"--object 1:0x4000:0:i16:32768", "(expected a i16 value, -32768 to 32767)"},
        {"--object 1:0x4000:0:i32:-2147483649", "(expected a i32 value, -2147483648 to 2147483647)"},
        {"--object 1:0x4000:0:i64:9223372036854775808", "(expected a i64 value, -9223372036854775808 to"},
        {"--object 1:0x4000:0:i64:-9223372036854775809", "(expected a i64 value, -9223372036854775808 to"},
        {"--object 1:0x4000:0:u16:", "(expected a u16 value, 0 to 65535)"},
        {"--object 1:0x4000:0:u16:' 5'", "(expected a u16 value, 0 to 65535)"},
        {"--object 1:0x4000:0:u16:5x", "(expected a u16 value, 0 to 65535)"},
        {"--object 1:0x4000:0:bool:2", "(expected a bool value, 0, 1, true or false)"},
        {"--object 1:0x4000:0:bool:yes", "(expected a bool value, 0, 1, true or false)"},
        {"--object 1:0x4000:0:f32:1e39", "(expected a f32 value, a number within the range of f32"},
        {"--object 1:0x4000:0:f32:-1e39", "(expected a f32 value, a number within the range of f32"},
        {"--object 1:0x4000:0:f32:1e-50", "(expected a f32 value, a number within the range of f32"},
        {"--object 1:0x4000:0:f64:1e400", "(expected a f64 value, a number within the range of f64"},
        {"--object 1:0x4000:0:f64:1.5x", "(expected a f64 value"},
        {"--object 1:0x4000:0:f32:", "(expected a f32 value"},
    };
    for (const auto& c : cases) {
        // A folder, an image file and a slave option ahead of the bad one: none of them
        // may leave anything behind.
        std::string options = "--slaves 2 --eeprom-dir " + made + " --image 1:" + folder + "/one.bin --alias 2:7 " +
                              c.options;
        Built built = Build(options);
        EXPECT_FALSE(built.ok) << c.options;
        EXPECT_EQ(built.build.segment, nullptr) << c.options;
        EXPECT_NE(built.error.find(c.message), std::string::npos) << c.options << "\n  gave: " << built.error;
        EXPECT_FALSE(Exists(made)) << c.options;
        EXPECT_FALSE(Exists(folder + "/one.bin")) << c.options;
        // The same value alone, also refused by the layer's own entry.
        Built alone = Build("--slaves 2 " + c.options);
        EXPECT_FALSE(alone.ok) << c.options;
        EXPECT_EQ(alone.error, built.error);
    }
    RemoveFolder(folder);
}

TEST(SimOptions, SelectorsBeyondTheSegmentAreOutOfRange) {
    struct {
        const char* options;
        const char* message;
    } cases[] = {
        {"--slaves 3 --name 7:X",
         "bad value for --name: '7:X' (slave 7 is out of range: the segment has 3 slaves, counted from 1)"},
        {"--name 7:X --slaves 3", "(slave 7 is out of range: the segment has 3 slaves, counted from 1)"},
        {"--slaves 3 --eeprom-nack 2-5:1", "(slave 5 is out of range: the segment has 3 slaves, counted from 1)"},
        {"--slaves 1 --object 2:0x4000:0:u8:1", "(slave 2 is out of range: the segment has 1 slave, counted from 1)"},
        {"--slaves 3 --sdo-delay 4:5", "bad value for --sdo-delay: '4:5' (slave 4 is out of range"},
        {"--slaves 3 --preop-reads-sii 0", "(slave 0 is out of range: the segment has 3 slaves, counted from 1)"},
        {"--slaves 3 --eeprom-size 9:8192", "bad value for --eeprom-size: '9:8192' (slave 9 is out of range"},
        {"--slaves 0 --no-strings all", "bad value for --no-strings: 'all' (the segment has no slaves to select)"},
        {"--slaves 0 --name 1:x", "(slave 1 is out of range: the segment has no slaves)"},
        {"--slaves 3 --name 99999999999:x", "(expected a slave selector (N, A-B or all) first)"},
    };
    for (const auto& c : cases) {
        Built built = Build(c.options);
        EXPECT_FALSE(built.ok) << c.options;
        EXPECT_EQ(built.build.segment, nullptr);
        EXPECT_NE(built.error.find(c.message), std::string::npos) << c.options << "\n  gave: " << built.error;
    }
    Built edge = Build("--slaves 3 --name 3:x --alias 1-3:5 --sdo-delay 3-3:1");
    EXPECT_TRUE(edge.ok) << edge.error;
    Destroy(&edge);
}

TEST(SimOptions, ProgramOptionsAreRefusedInProcess) {
    const char* options[] = {"--iface vs0", "--busy-poll", "--blocking", "--cpu 1", "--print-header x.bin",
                             "--help", "-h", "--version", "-V", "--iface=vs0"};
    for (const char* option : options) {
        Built built = Build(std::string("--slaves 2 ") + option);
        EXPECT_FALSE(built.ok) << option;
        EXPECT_EQ(built.build.segment, nullptr);
        std::string name(option, strcspn(option, " ="));
        if (name == "-h") name = "--help";
        if (name == "-V") name = "--version";
        EXPECT_EQ(built.error.find(name + " is an option of the ecsim program, not of an in-process segment: "), 0u)
            << built.error;
    }
    // The ecsim program takes them all.
    const char* args[] = {"--iface", "vs0", "--busy-poll", "--blocking", "--cpu", "1"};
    SimSettings settings;
    char errbuf[256] = "";
    EXPECT_TRUE(SimParseArguments(6, args, SimOptionUse::kEcsim, &settings, errbuf, sizeof(errbuf))) << errbuf;
}

TEST(SimOptions, FileProblemsAreReportedNotPrinted) {
    std::string folder = MakeFolder();
    // A folder where an image file should be: it cannot be read.
    ASSERT_EQ(mkdir((folder + "/slave-1.bin").c_str(), 0755), 0);
    Built built = Build("--slaves 2 --eeprom-dir " + folder);
    EXPECT_FALSE(built.ok);
    EXPECT_EQ(built.build.segment, nullptr);
    EXPECT_EQ(built.error, "--eeprom-dir: cannot read " + folder + "/slave-1.bin");
    built = Build("--image '1:" + folder + "/no/such/folder/x.bin'");
    EXPECT_FALSE(built.ok);
    EXPECT_EQ(built.error.find("--image: cannot create " + folder + "/no/such/folder/x.bin: "), 0u) << built.error;
    RemoveFolder(folder);
}

TEST(SimOptions, DestroyFinishesWritesAndSavesImages) {
    std::string folder = MakeFolder();
    Built built = Build("--slaves 2 --eeprom-dir " + folder + " --eeprom-latency 0:1000000");
    ASSERT_TRUE(built.ok) << built.error;
    WriteWord(Slave(built.build, 2), 4, 0x4321, false);  // still in its write cycle
    FILE* file = fopen((folder + "/slave-2.bin").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    uint8_t bytes[10];
    ASSERT_EQ(fread(bytes, 1, sizeof(bytes), file), sizeof(bytes));
    fclose(file);
    EXPECT_NE(SimGet16(bytes + 8), 0x4321);
    Destroy(&built);
    file = fopen((folder + "/slave-2.bin").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fread(bytes, 1, sizeof(bytes), file), sizeof(bytes));
    fclose(file);
    EXPECT_EQ(SimGet16(bytes + 8), 0x4321);
    // Destroying twice, or a build that never was, is harmless.
    EXPECT_TRUE(SimBuildDestroy(&built.build));
    RemoveFolder(folder);
}

TEST(SimOptions, EepromSizeGrowsTheImageAndItsFile) {
    std::string folder = MakeFolder();
    // Given after the folder, applied before it: the files are created at 8 KiB.
    Built built = Build("--slaves 2 --eeprom-dir " + folder + " --eeprom-latency 0:0 --eeprom-size 1:8192");
    ASSERT_TRUE(built.ok) << built.error;
    SimSlave* big = Slave(built.build, 1);
    SimSlave* small = Slave(built.build, 2);
    EXPECT_EQ(FileSize(folder + "/slave-1.bin"), 8192);
    EXPECT_EQ(FileSize(folder + "/slave-2.bin"), 4096);
    EXPECT_EQ(ReadWord(big, kSiiWordSize), 63) << "8 KiB = 64 Kbit";
    EXPECT_EQ(ReadWord(small, kSiiWordSize), 31);
    EXPECT_TRUE(SimSiiHeaderValid(&big->eeprom)) << "the size word is not under the checksum";
    // Beyond 4 KiB: erased in the larger EEPROM; the smaller one wraps around to word 0.
    EXPECT_EQ(ReadWord(big, 0x0800), 0xFFFF);
    EXPECT_EQ(ReadWord(small, 0x0800), ReadWord(small, 0));
    WriteWord(big, 0x0FFF, 0xA55A);
    EXPECT_EQ(ReadWord(big, 0x0FFF), 0xA55A);
    EXPECT_EQ(ReadWord(big, 0x1FFF), 0xA55A) << "wraps at the end of 8 KiB";
    EXPECT_NE(ReadWord(big, 0x07FF), 0xA55A);
    WriteWord(small, 0x0800 + 4, 0x1234);
    EXPECT_EQ(ReadWord(small, 4), 0x1234);
    Destroy(&built);

    // The files load at their size again; an 8 KiB file does not fit a 4 KiB EEPROM.
    built = Build("--slaves 2 --eeprom-size 1:8192 --eeprom-dir " + folder + " --eeprom-latency 0:0");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_EQ(ReadWord(Slave(built.build, 1), 0x0FFF), 0xA55A);
    Destroy(&built);
    built = Build("--slaves 2 --eeprom-dir " + folder);
    EXPECT_FALSE(built.ok);
    EXPECT_EQ(built.error, "--eeprom-dir: " + folder +
                               "/slave-1.bin holds more than the 4096 bytes of the slave's EEPROM (--eeprom-size "
                               "SEL:BYTES gives it a larger one)");
    EXPECT_EQ(FileSize(folder + "/slave-1.bin"), 8192) << "a refused file is left as it was";

    // 2 KiB, the smallest: the default image fits, the size word says 16 Kbit, reads wrap
    // at word 0x400 and the file holds 2048 bytes.
    std::string small_image = folder + "/small.bin";
    built = Build("--eeprom-size 1:2048 --image 1:" + small_image + " --eeprom-latency 0:0");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_EQ(FileSize(small_image), 2048);
    EXPECT_EQ(ReadWord(Slave(built.build, 1), kSiiWordSize), 15);
    EXPECT_TRUE(SimSiiHeaderValid(&Slave(built.build, 1)->eeprom));
    EXPECT_EQ(ReadWord(Slave(built.build, 1), 0x0400 + 8), ReadWord(Slave(built.build, 1), 8));
    Destroy(&built);

    // 64 KiB, the largest: the last word, and a file of that size.
    std::string image = folder + "/big.bin";
    built = Build("--eeprom-size 1:65536 --image 1:" + image + " --eeprom-latency 0:0 --sii-word 1:0x7FFF:0x0102");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_EQ(FileSize(image), 65536);
    EXPECT_EQ(ReadWord(Slave(built.build, 1), kSiiWordSize), 511);
    EXPECT_EQ(ReadWord(Slave(built.build, 1), 0x7FFF), 0x0102);
    Destroy(&built);
    FILE* file = fopen(image.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseek(file, 65534, SEEK_SET), 0);
    EXPECT_EQ(fgetc(file), 0x02);
    EXPECT_EQ(fgetc(file), 0x01);
    fclose(file);
    // Word numbers are checked against the size of every selected slave.
    built = Build("--slaves 2 --eeprom-size 1:65536 --sii-word all:0x7FFF:1");
    EXPECT_FALSE(built.ok);
    EXPECT_NE(built.error.find("(expected SEL:WORD:VALUE, WORD 0 to 2047, VALUE 0 to 0xFFFF)"), std::string::npos)
        << built.error;
    RemoveFolder(folder);
}

TEST(SimOptions, NewObjectTypesHoldTheirExactBytes) {
    Built built = Build(
        "--slaves 2 --object 1:0x5000:0:bool:true --object 1:0x5001:0:ro-bool:0 "
        "--object 1:0x5002:0:u64:0x0102030405060708 --object 1:0x5003:0:ro-u64:18446744073709551615 "
        "--object 1:0x5004:0:i64:-2 --object 1:0x5005:0:ro-i64:-9223372036854775808 "
        "--object 1:0x5006:0:f32:1.5 --object 1:0x5007:0:ro-f32:-0x1p-3 --object 1:0x5008:0:f32:inf "
        "--object 1:0x5009:0:f64:-2.5 --object 1:0x500A:0:ro-F64:1e300 --object 1:0x500B:0:f64:nan "
        "--object 1:0x500C:0:i8:-128 --object 1:0x500D:0:u16:65535 --object 1:0x500E:0:i32:-2147483648 "
        "--object 1:0x500F:0:BOOL:False --object 2:0x5000:0:u8:7");
    ASSERT_TRUE(built.ok) << built.error;
    SimSlave* slave = Slave(built.build, 1);
    struct {
        uint16_t index;
        std::vector<uint8_t> bytes;
        bool writable;
    } expected[] = {
        {0x5000, Bytes({0x01}), true},
        {0x5001, Bytes({0x00}), false},
        {0x5002, Bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}), true},
        {0x5003, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), false},
        {0x5004, Bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), true},
        {0x5005, Bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}), false},
        {0x5006, Bytes({0x00, 0x00, 0xC0, 0x3F}), true},  // 1.5f
        {0x5007, Bytes({0x00, 0x00, 0x00, 0xBE}), false},  // -0.125f
        {0x5008, Bytes({0x00, 0x00, 0x80, 0x7F}), true},  // +inf
        {0x5009, Bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xC0}), true},  // -2.5
        {0x500A, Bytes({0x9C, 0x75, 0x00, 0x88, 0x3C, 0xE4, 0x37, 0x7E}), false},  // 1e300
        {0x500C, Bytes({0x80}), true},
        {0x500D, Bytes({0xFF, 0xFF}), true},
        {0x500E, Bytes({0x00, 0x00, 0x00, 0x80}), true},
        {0x500F, Bytes({0x00}), true},
    };
    for (const auto& e : expected) {
        uint32_t abort = 0;
        EXPECT_EQ(Upload(slave, e.index, 0, &abort), e.bytes) << std::hex << e.index;
        EXPECT_EQ(abort, 0u);
        SimObject* object = SimObjectFind(slave, e.index, 0);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->writable, e.writable) << std::hex << e.index;
    }
    uint32_t abort = 0;
    std::vector<uint8_t> nan_bytes = Upload(slave, 0x500B, 0, &abort);
    ASSERT_EQ(nan_bytes.size(), 8u);
    uint64_t bits = 0;
    for (int i = 7; i >= 0; i--) bits = (bits << 8) | nan_bytes[static_cast<size_t>(i)];
    double value = 0;
    memcpy(&value, &bits, sizeof(value));
    EXPECT_TRUE(std::isnan(value));
    // The other slave was not selected.
    EXPECT_EQ(Upload(Slave(built.build, 2), 0x5000, 0, &abort), Bytes({7}));
    EXPECT_EQ(Upload(Slave(built.build, 2), 0x5002, 0, &abort), std::vector<uint8_t>{});
    EXPECT_EQ(abort, kAbortNoObject);

    // Writes: 8 bytes in a normal transfer; an expedited one carries 4 at most and is
    // refused for the size; a bool takes 0 or 1; read-only stays read-only.
    EXPECT_EQ(Download(slave, 0x5002, 0, Bytes({1, 2, 3, 4, 5, 6, 7, 8}), false), 0u);
    EXPECT_EQ(Upload(slave, 0x5002, 0, &abort), Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(Download(slave, 0x5002, 0, Bytes({1, 2, 3, 4}), true, false), kAbortLength);
    EXPECT_EQ(Download(slave, 0x5002, 0, Bytes({1, 2, 3, 4}), true), kAbortLength);
    EXPECT_EQ(Download(slave, 0x5009, 0, Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}), false), 0u);  // 1.0
    EXPECT_EQ(Upload(slave, 0x5009, 0, &abort), Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
    EXPECT_EQ(Download(slave, 0x5006, 0, Bytes({0, 0, 0x80, 0x3F}), true), 0u);  // 1.0f
    EXPECT_EQ(Upload(slave, 0x5006, 0, &abort), Bytes({0, 0, 0x80, 0x3F}));
    EXPECT_EQ(Download(slave, 0x5000, 0, Bytes({0}), true), 0u);
    EXPECT_EQ(Upload(slave, 0x5000, 0, &abort), Bytes({0}));
    EXPECT_EQ(Download(slave, 0x5000, 0, Bytes({2}), true), kAbortValueRange);
    EXPECT_EQ(Upload(slave, 0x5000, 0, &abort), Bytes({0})) << "a refused value leaves the object alone";
    EXPECT_EQ(Download(slave, 0x5003, 0, Bytes({0, 0, 0, 0, 0, 0, 0, 0}), false), kAbortReadOnly);
    EXPECT_EQ(Download(slave, 0x5001, 0, Bytes({1}), true), kAbortReadOnly);
    Destroy(&built);
}

TEST(SimOptions, ABoolInARecordIsCheckedBeforeAnyEntryChanges) {
    Built built = Build("--object 1:0x5100:0:ro-u8:2 --object 1:0x5100:1:u16:0x1111 --object 1:0x5100:2:bool:1");
    ASSERT_TRUE(built.ok) << built.error;
    SimSlave* slave = Slave(built.build, 1);
    // Complete access from subindex 1: u16 then bool.
    std::vector<uint8_t> m(16, 0);
    SimPut16(m.data(), 13);
    m[5] = 0x03;
    SimPut16(m.data() + 6, 0x2000);
    m[8] = 0x21 | 0x10;
    SimPut16(m.data() + 9, 0x5100);
    m[11] = 1;
    SimPut32(m.data() + 12, 3);
    std::vector<uint8_t> image = Bytes({0x22, 0x22, 0x05});
    m.insert(m.end(), image.begin(), image.end());
    std::vector<uint8_t> reply = Serve(slave, m);
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[8], 0x80);
    EXPECT_EQ(SimGet32(reply.data() + 12), static_cast<uint32_t>(kAbortValueRange));
    uint32_t abort = 0;
    EXPECT_EQ(Upload(slave, 0x5100, 1, &abort), Bytes({0x11, 0x11}));
    m[18] = 0x01;
    reply = Serve(slave, m);
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[8], 0x60);
    EXPECT_EQ(Upload(slave, 0x5100, 1, &abort), Bytes({0x22, 0x22}));
    Destroy(&built);
}

TEST(SimOptions, MailboxSizeBoundsAreTheSimulatorsOwn) {
    Built built = Build("--slaves 3 --mailbox-size 1:16 --mailbox-size 2:1486 --mailbox-size 3:0");
    ASSERT_TRUE(built.ok) << built.error;
    EXPECT_EQ(Slave(built.build, 1)->eeprom.words[kSiiWordWriteMailboxSize], 16);
    EXPECT_EQ(Slave(built.build, 1)->eeprom.words[kSiiWordReadMailboxOffset], 0x1010);
    EXPECT_EQ(Slave(built.build, 2)->eeprom.words[kSiiWordReadMailboxSize], 1486);
    EXPECT_EQ(Slave(built.build, 3)->eeprom.words[kSiiWordWriteMailboxSize], 0);
    // The smallest mailbox still carries a whole SDO exchange: an upload reply of 16 bytes.
    uint8_t reply[16];
    std::vector<uint8_t> request = UploadRequest(0x1000, 0);
    EXPECT_EQ(SimCoeServe(Slave(built.build, 1), request.data(), 16, reply, kSimMailboxMinimumBytes), 16);
    EXPECT_EQ(reply[8], 0x43);
    EXPECT_EQ(SimGet32(reply + 12), 0x00020192u);
    EXPECT_EQ(SimCoeServe(Slave(built.build, 1), request.data(), 16, reply, kSimMailboxMinimumBytes - 1), 0);
    Destroy(&built);
}

TEST(SimOptionHelp, ListsEveryOptionTheTableTakes) {
    std::string ecsim = Help(SimOptionUse::kEcsim);
    std::string inproc = Help(SimOptionUse::kInProcess);
    std::vector<std::string> all = HelpOptions(ecsim);
    std::vector<std::string> in_process = HelpOptions(inproc);
    ASSERT_GT(all.size(), 40u);
    const char* program_only[] = {"--iface", "--busy-poll", "--blocking", "--cpu", "--print-header", "--version",
                                  "--help"};
    for (const char* name : program_only) {
        EXPECT_NE(std::find(all.begin(), all.end(), name), all.end()) << name;
        EXPECT_EQ(std::find(in_process.begin(), in_process.end(), name), in_process.end()) << name;
    }
    EXPECT_EQ(all.size(), in_process.size() + 7);
    EXPECT_NE(ecsim.find("--version, -V"), std::string::npos);
    EXPECT_NE(ecsim.find("--help, -h"), std::string::npos);
    // Every option the help names is one the parser knows, and each layer option is
    // taken by its layer: a value that is wrong for all of them is refused as a value.
    for (const std::string& name : in_process) {
        Built built = Build("--slaves 2 " + name + "=''");
        EXPECT_FALSE(built.ok) << name;
        EXPECT_EQ(built.error.find("unknown option"), std::string::npos) << name << ": " << built.error;
        EXPECT_EQ(built.error.find("bad value for " + name + ": "), 0u) << name << ": " << built.error;
    }
    // Lines fit 79 columns.
    size_t start = 0;
    while (start < ecsim.size()) {
        size_t end = ecsim.find('\n', start);
        EXPECT_LE(end - start, 79u) << ecsim.substr(start, end - start);
        start = end + 1;
    }
}

TEST(SimOptionHelp, DefaultObjectsAreThoseASlaveHas) {
    Built built = Build("--slaves 2 --identity 2:0x11:0x22:0x33");
    ASSERT_TRUE(built.ok) << built.error;
    SimSlave* slave = Slave(built.build, 2);
    std::string help = SimCoeDefaultObjectsHelp();
    EXPECT_NE(Help(SimOptionUse::kEcsim).find(help), std::string::npos);
    int listed = 0;
    size_t start = 0;
    while (start < help.size()) {
        size_t end = help.find('\n', start);
        std::string line = help.substr(start, end - start);
        start = end + 1;
        unsigned index = 0, subindex = 0;
        if (sscanf(line.c_str(), "  0x%4x:%u", &index, &subindex) != 2) continue;
        listed++;
        SCOPED_TRACE(line);
        SimObject* object = SimObjectFind(slave, static_cast<uint16_t>(index), static_cast<uint8_t>(subindex));
        ASSERT_NE(object, nullptr);
        std::string type = line.substr(12, 10);
        type = type.substr(0, type.find(' '));
        std::string value = line.substr(23, 12);
        value = value.substr(0, value.find_last_not_of(' ') + 1);
        bool read_only = type.rfind("ro-", 0) == 0;
        EXPECT_EQ(object->writable, !read_only);
        SimObjectType parsed;
        ASSERT_TRUE(SimObjectTypeParse(read_only ? type.c_str() + 3 : type.c_str(), &parsed));
        EXPECT_EQ(object->type, parsed);
        uint64_t held = 0;
        for (size_t i = object->value.size(); i-- > 0;) held = (held << 8) | object->value[i];
        if (value == "SII") {
            EXPECT_EQ(held, subindex == 1 ? 0x11u : subindex == 2 ? 0x22u : 0x33u);
        } else if (value == "POSITION") {
            EXPECT_EQ(held, 2u);
        } else if (parsed == kSimOctets && type == "octets") {
            ASSERT_EQ(object->value.size(), strtoull(value.c_str(), nullptr, 0));
            for (size_t i = 0; i < object->value.size(); i++) EXPECT_EQ(object->value[i], i);
        } else if (parsed == kSimOctets) {
            EXPECT_EQ(std::string(object->value.begin(), object->value.end()), value);
        } else {
            EXPECT_EQ(held, strtoull(value.c_str(), nullptr, 0));
        }
    }
    EXPECT_EQ(listed, 16);
    // And every object the slave has is listed.
    EXPECT_EQ(slave->mailbox.coe.objects.size(), static_cast<size_t>(listed));
    Destroy(&built);
}

}  // namespace
