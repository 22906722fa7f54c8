// The command line's parsing: numbers, options and operands, the usage errors that stop
// a run before anything is opened, help and version, and JSON strings.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tool/cli/cli.h"
#include "tool/cli/json_writer.h"
#include "support_temp_files.h"

namespace {

TEST(CliNumbers, DecimalAndHexWithinTheirRange) {
    uint64_t v = 99;
    EXPECT_TRUE(ParseNumber("0", 65535, &v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(ParseNumber("65535", 65535, &v));
    EXPECT_EQ(v, 65535u);
    EXPECT_TRUE(ParseNumber("0x1234", 65535, &v));
    EXPECT_EQ(v, 0x1234u);
    EXPECT_TRUE(ParseNumber("0XffFF", 65535, &v));
    EXPECT_EQ(v, 0xFFFFu);
    EXPECT_TRUE(ParseNumber("4294967295", UINT32_MAX, &v));
    EXPECT_EQ(v, UINT32_MAX);
    EXPECT_TRUE(ParseNumber("007", 65535, &v)) << "leading zeros are decimal, not octal";
    EXPECT_EQ(v, 7u);
}

TEST(CliNumbers, AnythingElseIsRefusedAndLeavesTheValue) {
    for (const char* bad : {"", "65536", "70000", "0x10000", "-1", "+1", " 1", "1 ", "12abc", "abc", "0x", "0x-1",
                            "1.5", "1e3", "0b101", "99999999999999999999999", "0x1g"}) {
        uint64_t v = 42;
        EXPECT_FALSE(ParseNumber(bad, 65535, &v)) << '"' << bad << '"';
        EXPECT_EQ(v, 42u) << bad;
    }
    uint64_t v = 0;
    EXPECT_FALSE(ParseNumber("18446744073709551616", UINT64_MAX, &v)) << "overflow of 64 bits";
    EXPECT_TRUE(ParseNumber("18446744073709551615", UINT64_MAX, &v));
    EXPECT_FALSE(ParseNumber(nullptr, 10, &v));
}

const CommandSpec* Find(const char* family, const char* name) {
    for (size_t n = 0; n < kCommandCount; n++) {
        const CommandSpec& c = kCommands[n];
        if (std::string(c.family) == family && ((name == nullptr && c.name == nullptr) ||
                                                (name != nullptr && c.name != nullptr && std::string(c.name) == name)))
            return &c;
    }
    return nullptr;
}

struct Parsed {
    int status;
    std::string error;
    ParsedArgs args;
    std::string iface;
    bool json;
};

Parsed Parse(const CommandSpec& command, std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    Cli cli(stdout, stderr);
    Parsed p;
    p.status = ParseCommandArgs(command, static_cast<int>(argv.size()), argv.data(), &cli, &p.args, &p.error);
    p.iface = cli.iface;
    p.json = cli.json;
    return p;
}

TEST(CliOptions, LongShortInlineAndGlobalOptionsAfterTheCommand) {
    const CommandSpec* set = Find("alias", "set");
    ASSERT_NE(set, nullptr);
    Parsed p = Parse(*set, {"-p", "3", "0x10", "--backup-dir=/tmp/b", "--yes", "-i", "sim:--slaves 3", "--json"});
    ASSERT_EQ(p.status, kExitDone) << p.error;
    EXPECT_STREQ(p.args.Value("--position"), "3");
    EXPECT_STREQ(p.args.Value("--backup-dir"), "/tmp/b");
    EXPECT_TRUE(p.args.Has("--yes"));
    EXPECT_FALSE(p.args.Has("--dry-run"));
    EXPECT_EQ(p.iface, "sim:--slaves 3");
    EXPECT_TRUE(p.json);
    ASSERT_EQ(p.args.operands().size(), 1u);
    EXPECT_EQ(p.args.operands()[0], "0x10");

    p = Parse(*set, {"-p3", "--", "-1"});
    ASSERT_EQ(p.status, kExitDone) << p.error;
    EXPECT_STREQ(p.args.Value("--position"), "3");
    EXPECT_EQ(p.args.operands()[0], "-1") << "after --, words are operands";
}

TEST(CliOptions, UsageErrorsNameWhatIsWrong) {
    const CommandSpec* set = Find("alias", "set");
    const CommandSpec* list = Find("list", nullptr);
    ASSERT_NE(set, nullptr);
    ASSERT_NE(list, nullptr);
    struct Case {
        const CommandSpec* command;
        std::vector<std::string> words;
        const char* error_part;
    } cases[] = {
        {set, {"-p", "1", "5", "--frobnicate"}, "unknown option --frobnicate"},
        {set, {"-p", "1", "5", "-z"}, "unknown option -z"},
        {set, {"5", "-p"}, "--position needs a value"},
        {set, {"-p", "1", "-p", "2", "5"}, "given twice"},
        {set, {"-p", "1"}, "missing operand"},
        {set, {"-p", "1", "5", "6"}, "unexpected operand \"6\""},
        {set, {"-p", "1", "5", "--yes=1"}, "takes no value"},
        {set, {"-p", "1", "5", "-i"}, "needs a value"},
        {list, {"extra"}, "unexpected operand"},
        {list, {"-p", "1"}, "unknown option -p"},
    };
    for (const Case& c : cases) {
        const Parsed p = Parse(*c.command, c.words);
        EXPECT_EQ(p.status, kExitUsage) << c.error_part;
        EXPECT_NE(p.error.find(c.error_part), std::string::npos) << p.error;
    }
}

TEST(CliOptions, EveryCommandOfTheTableHasHelpAndARunFunction) {
    for (size_t n = 0; n < kCommandCount; n++) {
        const CommandSpec& c = kCommands[n];
        EXPECT_NE(c.run, nullptr) << c.family;
        EXPECT_NE(c.summary, nullptr) << c.family;
        EXPECT_LE(c.min_operands, c.max_operands) << c.family;
        bool yes = false, dry_run = false;
        for (const OptionSpec* o = c.options; o->long_name != nullptr; o++) {
            yes = yes || std::string(o->long_name) == "--yes";
            dry_run = dry_run || std::string(o->long_name) == "--dry-run";
        }
        if (c.writes) {
            EXPECT_TRUE(yes && dry_run) << c.family << " writes: it needs --yes and --dry-run";
        }
    }
}

// Runs the whole program on argv and gives back its output, error text and status.
struct ProgramRun {
    int status;
    std::string out, err;
};

ProgramRun RunProgram(std::vector<std::string> words) {
    words.insert(words.begin(), "ecalias");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    ProgramRun r;
    r.status = RunCommandLine(static_cast<int>(words.size()), argv.data(), out, err);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

TEST(CliProgram, HelpAndVersionSucceedAndOpenNothing) {
    ProgramRun r = RunProgram({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("ecalias ") + ec_version() + "\n");
    r = RunProgram({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("alias plan"), std::string::npos);
    // An adapter that would fail to open shows that nothing is opened.
    r = RunProgram({"-i", "sim:--no-such-option", "alias", "set", "--help"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("--backup-dir DIR"), std::string::npos);
    r = RunProgram({"-i", "sim:--no-such-option", "alias", "--help"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("alias get"), std::string::npos);
}

TEST(CliProgram, UsageErrorsExitWithTwoBeforeOpening) {
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"-i", "sim:--no-such-option", "frobnicate"},
             {"-i", "sim:--no-such-option", "alias"},
             {"-i", "sim:--no-such-option", "alias", "rename"},
             {"-i", "sim:--no-such-option", "alias", "set", "-p", "1", "70000", "--yes"},
             {"-i", "sim:--no-such-option", "alias", "set", "-p", "1", "12abc", "--yes"},
             {"-i", "sim:--no-such-option", "alias", "set", "-p", "0", "1", "--yes"},
             {"-i", "sim:--no-such-option", "alias", "set", "-p", "1", "--serial", "2", "1", "--yes"},
             {"-i", "sim:--no-such-option", "alias", "get"},
             {"-i", "sim:--no-such-option", "alias", "plan", "/nonexistent/plan.csv"},
             {"-i"},
             {"--bogus"},
             {"--json"},
         }) {
        const ProgramRun r = RunProgram(words);
        EXPECT_EQ(r.status, kExitUsage) << words.back() << ": " << r.err;
        EXPECT_EQ(r.err.find("cannot open"), std::string::npos) << r.err;
    }
}

TEST(CliProgram, JsonErrorsAreOneDocumentOnStandardOutput) {
    const ProgramRun r = RunProgram({"--json", "-i", "sim:--slaves 1", "alias", "set", "-p", "1", "x", "--yes"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_EQ(r.out.rfind("{\"error\": {\"code\": ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("bad alias \\\"x\\\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
}

TEST(CliProgram, ASlaveMissingOnASimulatedSegmentIsAFailureNotAUsageError) {
    const ProgramRun r = RunProgram({"-i", "sim:--slaves 2", "alias", "get", "-p", "3"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_NE(r.err.find("no slave at position 3 (2 slaves"), std::string::npos) << r.err;
}

TEST(CliJson, StringsAreEscapedAndStayValid) {
    EXPECT_EQ(JsonWriter::Quote("plain"), "\"plain\"");
    EXPECT_EQ(JsonWriter::Quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonWriter::Quote("x\n\r\t\x01\x7f"), "\"x\\n\\r\\t\\u0001\\u007f\"");
    EXPECT_EQ(JsonWriter::Quote("Gr\xc3\xbc\xc3\x9f"), "\"Gr\xc3\xbc\xc3\x9f\"") << "UTF-8 kept";
    EXPECT_EQ(JsonWriter::Quote("Gr\xfc\xdf"), "\"Gr\\u00fc\\u00df\"") << "Latin-1 bytes become code points";
    EXPECT_EQ(JsonWriter::Quote("\xc0\xaf"), "\"\\u00c0\\u00af\"") << "overlong form refused";
    EXPECT_EQ(JsonWriter::Quote("\xe2\x82"), "\"\\u00e2\\u0082\"") << "cut sequence";
    EXPECT_EQ(JsonWriter::Quote(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(CliJson, CommasNullsAndNesting) {
    JsonWriter json;
    json.BeginObject().Field("a", 1).Field("b", 7u, false).Key("c").BeginArray().Number(-1).Null().Bool(true);
    json.BeginObject().EndObject().EndArray().Field("d", "x").EndObject();
    EXPECT_TRUE(json.Complete());
    EXPECT_EQ(json.text(), "{\"a\": 1, \"b\": null, \"c\": [-1, null, true, {}], \"d\": \"x\"}");
}

TEST(CliState, NamesOfTheAlStates) {
    EXPECT_STREQ(AlStateName(1), "INIT");
    EXPECT_STREQ(AlStateName(2), "PREOP");
    EXPECT_STREQ(AlStateName(3), "BOOT");
    EXPECT_STREQ(AlStateName(4), "SAFEOP");
    EXPECT_STREQ(AlStateName(8), "OP");
    EXPECT_STREQ(AlStateName(0x14), "SAFEOP") << "the error bit is not part of the name";
    EXPECT_EQ(AlStateName(0), nullptr);
    EXPECT_EQ(AlStateName(5), nullptr);
}

}  // namespace
