// ecsim's option table, the reading of a command line or option string with it, and the
// building of a segment from what was read.
#include "sim/sim_options.h"

#include <net/if.h>
#include <sched.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "sim/sim_coe.h"
#include "sim/sim_eeprom.h"
#include "sim/sim_mailbox.h"

namespace {

enum class Group { kProgram, kSegment, kEeprom, kMailbox };

using LayerApply = int (*)(SimSegment* segment, const char* option, const char* value, bool check_only,
                           char* errbuf, size_t errbuf_size);

}  // namespace

struct SimOptionSpec {
    const char* name;
    const char* alias;   // a short form, or null
    const char* syntax;  // the value as the help shows it; null for an option without value
    const char* help;    // lines separated by '\n'
    Group group;
    // Options read into SimSettings: the parser (value null for an option without one)
    // and what a refused value should have been.
    bool (*parse)(const char* value, SimSettings* settings);
    const char* expected;
    // Layer options: the layer's parser, and whether the option goes before all others.
    LayerApply apply;
    bool first;
    // Null when an in-process segment takes the option; otherwise why it does not.
    const char* not_in_process;
};

namespace {

// ---- values of the settings options ----

bool ParseProbabilityText(const char* text, double* out) {
    char* end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0.0 && value <= 1.0)) return false;
    *out = value;
    return true;
}

bool ParseSlaves(const char* value, SimSettings* settings) {
    long long n = 0;
    if (!SimOptionNumber(value, 0, kSimMaxSlaves, &n)) return false;
    settings->slaves = static_cast<int>(n);
    return true;
}

bool ParseDrop(const char* value, SimSettings* settings) {
    return ParseProbabilityText(value, &settings->faults.drop);
}
bool ParseDuplicate(const char* value, SimSettings* settings) {
    return ParseProbabilityText(value, &settings->faults.duplicate);
}
bool ParseForeign(const char* value, SimSettings* settings) {
    return ParseProbabilityText(value, &settings->faults.foreign_rate);
}

// --late P:US
bool ParseLate(const char* value, SimSettings* settings) {
    const char* colon = strchr(value, ':');
    if (colon == nullptr) return false;
    char head[64];
    size_t head_length = static_cast<size_t>(colon - value);
    if (head_length == 0 || head_length >= sizeof(head)) return false;
    memcpy(head, value, head_length);
    head[head_length] = '\0';
    double probability = 0;
    long long us = 0;
    if (!ParseProbabilityText(head, &probability) || !SimOptionNumber(colon + 1, 0, 10000000, &us)) return false;
    settings->faults.late = probability;
    settings->faults.late_us = static_cast<uint32_t>(us);
    return true;
}

// --wire-timing[=NS]: no value gives the default forwarding delay per slave.
bool ParseWireTiming(const char* value, SimSettings* settings) {
    long long ns = kSimDefaultForwardNs;
    if (value != nullptr && !SimOptionNumber(value, 0, 1000000, &ns)) return false;
    settings->faults.wire_timing = true;
    settings->faults.forward_ns = static_cast<uint32_t>(ns);
    return true;
}

bool ParseSeed(const char* value, SimSettings* settings) {
    if (value[0] == '-' || value[0] == '\0') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long seed = strtoull(value, &end, 0);
    if (errno != 0 || end == value || *end != '\0') return false;
    settings->faults.seed = seed;
    return true;
}

bool ParseInterface(const char* value, SimSettings* settings) {
    if (value[0] == '\0' || strlen(value) >= IFNAMSIZ) return false;
    settings->iface = value;
    return true;
}

bool ParseCpu(const char* value, SimSettings* settings) {
    long long cpu = 0;
    if (!SimOptionNumber(value, 0, CPU_SETSIZE - 1, &cpu)) return false;
    settings->cpu = static_cast<int>(cpu);
    return true;
}

bool SetBusyPoll(const char*, SimSettings* settings) {
    settings->busy_poll = true;
    return true;
}
bool SetBlocking(const char*, SimSettings* settings) {
    settings->busy_poll = false;
    return true;
}
bool SetHelp(const char*, SimSettings* settings) {
    settings->action = SimAction::kHelp;
    return true;
}
bool SetVersion(const char*, SimSettings* settings) {
    settings->action = SimAction::kVersion;
    return true;
}
bool SetPrintHeader(const char* value, SimSettings* settings) {
    settings->action = SimAction::kPrintHeader;
    settings->print_header = value;
    return true;
}

constexpr char kNotServed[] = "an in-process segment is not served on an interface";
constexpr char kNoPolling[] = "an in-process segment answers in the caller's thread; there is no socket to wait on";
constexpr char kNoCpu[] = "an in-process segment runs on the caller's threads";
constexpr char kNoHeader[] = "run ecsim --print-header FILE";
constexpr char kNoHelp[] = "run ecsim --help or ecsim --version";

// Settings option; layer option.
#define SETTING(name, alias, syntax, help, group, parse, expected, why) \
    {name, alias, syntax, help, group, parse, expected, nullptr, false, why}
#define LAYER(name, syntax, help, group, apply) \
    {name, nullptr, syntax, help, group, nullptr, nullptr, apply, false, nullptr}

const SimOptionSpec kOptions[] = {
    SETTING("--iface", nullptr, "IF", "interface to serve on (needs CAP_NET_RAW); served once it is up",
            Group::kProgram, ParseInterface, "an interface name", kNotServed),
    SETTING("--busy-poll", nullptr, nullptr, "spin on the socket (lowest latency, one core busy)", Group::kProgram,
            SetBusyPoll, nullptr, kNoPolling),
    SETTING("--blocking", nullptr, nullptr,
            "sleep in poll() between frames (default; raises its own scheduling priority where permitted)",
            Group::kProgram, SetBlocking, nullptr, kNoPolling),
    SETTING("--cpu", nullptr, "K", "run on CPU K only", Group::kProgram, ParseCpu, "a CPU number", kNoCpu),
    SETTING("--print-header", nullptr, "FILE", "print words 0-7 of an EEPROM image file and exit", Group::kProgram,
            SetPrintHeader, nullptr, kNoHeader),
    SETTING("--version", "-V", nullptr, "print \"ecsim VERSION\" and exit", Group::kProgram, SetVersion, nullptr,
            kNoHelp),
    SETTING("--help", "-h", nullptr, "this text", Group::kProgram, SetHelp, nullptr, kNoHelp),

    SETTING("--slaves", nullptr, "N", "number of slaves, 0 to 1000 (default 1)", Group::kSegment, ParseSlaves,
            "0 to 1000", nullptr),
    SETTING("--drop", nullptr, "P", "probability 0..1 that an exchange is lost (request or reply)", Group::kSegment,
            ParseDrop, "a probability 0..1", nullptr),
    SETTING("--seed", nullptr, "S", "seed of the fault generator (default fixed)", Group::kSegment, ParseSeed,
            "an unsigned integer", nullptr),
    SETTING("--foreign", nullptr, "RATE", "probability 0..1 that a foreign frame precedes a reply", Group::kSegment,
            ParseForeign, "a probability 0..1", nullptr),
    SETTING("--dup", nullptr, "P", "probability 0..1 that a reply arrives twice", Group::kSegment, ParseDuplicate,
            "a probability 0..1", nullptr),
    SETTING("--late", nullptr, "P:US", "probability 0..1 that a reply is held back US microseconds",
            Group::kSegment, ParseLate, "P:US, a probability and microseconds", nullptr),
    SETTING("--wire-timing", nullptr, "[=NS]",
            "replies take the time a real wire takes: the frame's serialisation at 100 Mbit/s (at least 84 byte "
            "times, one frame at a time on the line) plus NS nanoseconds per slave it passes (default 1000)",
            Group::kSegment, ParseWireTiming, "nanoseconds per slave, 0 to 1000000", nullptr),

    {"--eeprom-size", nullptr, "SEL:BYTES",
     "EEPROM of 2048, 4096 (default), 8192, 16384, 32768 or 65536 bytes; word 0x3E tells its size; image files "
     "hold as many bytes. Applied before every other option",
     Group::kEeprom, nullptr, nullptr, SimEepromApplyOption, true, nullptr},
    LAYER("--eeprom-dir", "DIR",
          "image of slave N in DIR/slave-N.bin: loaded when present, created from the default otherwise; EEPROM "
          "writes go back to the file",
          Group::kEeprom, SimEepromApplyOption),
    LAYER("--image", "SEL:FILE", "the same for one file (shared by all selected slaves)", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--name", "SEL:TEXT", "string 1 of the strings category (at most 255 bytes)", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--no-strings", "SEL", "no strings category", Group::kEeprom, SimEepromApplyOption),
    LAYER("--identity", "SEL:VENDOR:PRODUCT:REVISION", "vendor, product code and revision (words 8-13)",
          Group::kEeprom, SimEepromApplyOption),
    LAYER("--general", "SEL:COE:FOE:EOE:SOE:FLAGS:CURRENT_MA", "general category", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--alias", "SEL:VALUE", "station alias (word 4), checksum recomputed", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--sii-word", "SEL:WORD:VALUE", "any word, checksum left as it is", Group::kEeprom, SimEepromApplyOption),
    LAYER("--mailbox-size", "SEL:BYTES",
          "both mailboxes (write at 0x1000, read behind it): 16 to 1486 bytes, 0 = none (default 128)",
          Group::kEeprom, SimEepromApplyOption),
    LAYER("--eight-byte", "SEL", "the EEPROM interface delivers 8 bytes per read", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--eeprom-latency", "READ_US:WRITE_US", "busy time per command (default 250:5000)", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--eeprom-nack", "SEL:K", "NACK the first K commands (K = all: every command)", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--eeprom-nack-writes", "SEL:K",
          "NACK the first K write commands (K = all: every write command); reads pass", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--eeprom-busy-stuck", "SEL", "a started command never finishes", Group::kEeprom, SimEepromApplyOption),
    LAYER("--eeprom-bad-words", "SEL:FIRST:COUNT", "reads and writes of these words are NACKed", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--eeprom-no-answer", "SEL:REG", "reads of register REG (2 bytes) are not answered", Group::kEeprom,
          SimEepromApplyOption),
    LAYER("--vanish-after-writes", "SEL:K", "the slave drops off the line after its K-th EEPROM write",
          Group::kEeprom, SimEepromApplyOption),
    LAYER("--vanish-at-write", "SEL:K",
          "the slave drops off the line as its K-th EEPROM write command arrives; that write is never carried out "
          "(1: before the first). With either, the slaves behind it drop off too; each fires once",
          Group::kEeprom, SimEepromApplyOption),
    LAYER("--come-back-after", "SEL:MS",
          "a slave that dropped off through --vanish-at-write or --vanish-after-writes is back on the line MS "
          "milliseconds later, with the slaves behind it; it kept its power and registers. Its EEPROM then holds "
          "every write it took: the K-th write of --vanish-after-writes is done, that of --vanish-at-write is not",
          Group::kEeprom, SimEepromApplyOption),

    LAYER("--object", "SEL:INDEX:SUB:TYPE:VALUE",
          "define an object entry. TYPE bool, u8 u16 u32 u64, i8 i16 i32 i64, f32 f64 (VALUE a number within the "
          "type's range; bool takes 0, 1, true or false), string (VALUE is the text) or octets (VALUE is the "
          "length, bytes 0,1,2,...); prefix ro- for read-only, e.g. ro-u16",
          Group::kMailbox, SimMailboxApplyOption),
    LAYER("--register", "SEL:REGISTER:VALUE",
          "preset a device register behind 0x7012/0x7013 (unwritten registers read as position<<24 | register)",
          Group::kMailbox, SimMailboxApplyOption),
    LAYER("--sdo-emergency", "SEL:N", "the next N requests get an emergency before the answer", Group::kMailbox,
          SimMailboxApplyOption),
    LAYER("--sdo-mbx-error", "SEL:N", "the next N requests get a mailbox error reply first", Group::kMailbox,
          SimMailboxApplyOption),
    LAYER("--sdo-lose-first-read", "SEL:N", "the next N answers lose their first read (repeat needed)",
          Group::kMailbox, SimMailboxApplyOption),
    LAYER("--sdo-refuse-read", "SEL:N", "the next N reads of a full read mailbox are not executed", Group::kMailbox,
          SimMailboxApplyOption),
    LAYER("--sdo-stall", "SEL:AFTER", "answer AFTER more requests, then fall silent", Group::kMailbox,
          SimMailboxApplyOption),
    LAYER("--sdo-delay", "SEL:US", "every answer is due US microseconds after its request", Group::kMailbox,
          SimMailboxApplyOption),
    LAYER("--preop-reads-sii", "SEL",
          "INIT->PRE-OP needs the EEPROM offered to the PDI (0x0500 bit 0), else AL status code 0x0050",
          Group::kMailbox, SimMailboxApplyOption),
};

#undef SETTING
#undef LAYER

const SimOptionSpec* FindOption(const char* name) {
    for (const SimOptionSpec& spec : kOptions)
        if (strcmp(spec.name, name) == 0 || (spec.alias != nullptr && strcmp(spec.alias, name) == 0)) return &spec;
    return nullptr;
}

// ---- help ----

constexpr int kHelpColumn = 31;
constexpr int kHelpWidth = 79;

// "  --name SYNTAX" and the help text beside it, wrapped at kHelpWidth.
void PrintOption(FILE* out, const SimOptionSpec& spec) {
    char left[96];
    // A value that may be left out is written straight behind the name: --name[=VALUE].
    const bool joined = spec.syntax != nullptr && spec.syntax[0] == '[';
    int used = snprintf(left, sizeof(left), "  %s%s%s%s%s", spec.name, spec.alias != nullptr ? ", " : "",
                        spec.alias != nullptr ? spec.alias : "", spec.syntax != nullptr && !joined ? " " : "",
                        spec.syntax != nullptr ? spec.syntax : "");
    fputs(left, out);
    if (used >= kHelpColumn - 1) {
        fputc('\n', out);
        used = 0;
    }
    int column = used;
    bool line_empty = true;
    for (const char* word = spec.help; *word != '\0';) {
        while (*word == ' ') word++;
        if (*word == '\0') break;
        int length = static_cast<int>(strcspn(word, " "));
        if (!line_empty && column + 1 + length > kHelpWidth) {
            fputc('\n', out);
            column = 0;
            line_empty = true;
        }
        if (line_empty) {
            fprintf(out, "%*s", kHelpColumn - column, "");
            column = kHelpColumn;
        } else {
            fputc(' ', out);
            column++;
        }
        fprintf(out, "%.*s", length, word);
        column += length;
        line_empty = false;
        word += length;
    }
    fputc('\n', out);
}

void PrintGroup(FILE* out, Group group, const char* heading, const char* footer) {
    fprintf(out, "\n%s\n", heading);
    for (const SimOptionSpec& spec : kOptions)
        if (spec.group == group) PrintOption(out, spec);
    if (footer != nullptr) fputs(footer, out);
}

}  // namespace

bool SimParseArguments(int count, const char* const* args, SimOptionUse use, SimSettings* settings, char* errbuf,
                       size_t errbuf_size) {
    for (int i = 0; i < count; i++) {
        const char* arg = args[i];
        bool short_form = arg[0] == '-' && arg[1] != '-' && arg[1] != '\0';
        if (strncmp(arg, "--", 2) != 0 && !(short_form && FindOption(arg) != nullptr)) {
            SimOptionFail(errbuf, errbuf_size, "unexpected argument '%s' (see ecsim --help)", arg);
            return false;
        }
        // A value follows as the next argument or after '='.
        char name[64];
        const char* equals = strchr(arg, '=');
        size_t name_length = equals != nullptr ? static_cast<size_t>(equals - arg) : strlen(arg);
        const SimOptionSpec* spec = nullptr;
        if (name_length < sizeof(name)) {
            memcpy(name, arg, name_length);
            name[name_length] = '\0';
            spec = FindOption(name);
        }
        if (spec == nullptr) {
            SimOptionFail(errbuf, errbuf_size, "unknown option %.*s (see ecsim --help)", static_cast<int>(name_length),
                          arg);
            return false;
        }
        if (use == SimOptionUse::kInProcess && spec->not_in_process != nullptr) {
            SimOptionFail(errbuf, errbuf_size, "%s is an option of the ecsim program, not of an in-process segment: %s",
                          spec->name, spec->not_in_process);
            return false;
        }
        const char* value = nullptr;
        if (spec->syntax != nullptr && spec->syntax[0] == '[') {
            // An optional value comes only after '=': the next argument is an option.
            if (equals != nullptr) value = equals + 1;
        } else if (spec->syntax == nullptr) {
            if (equals != nullptr) {
                SimOptionFail(errbuf, errbuf_size, "%s takes no value", spec->name);
                return false;
            }
        } else if (equals != nullptr) {
            value = equals + 1;
        } else if (i + 1 < count) {
            value = args[++i];
        } else {
            SimOptionFail(errbuf, errbuf_size, "%s needs a value", arg);
            return false;
        }
        if (spec->parse != nullptr) {
            if (!spec->parse(value, settings)) {
                SimOptionBadValue(errbuf, errbuf_size, spec->name, value, spec->expected);
                return false;
            }
            if (settings->action != SimAction::kServe) return true;
        } else {
            settings->layer.push_back(SimLayerOption{spec, value});
        }
    }
    return true;
}

bool SimBuildSegment(const SimSettings& settings, SimBuild* out, char* errbuf, size_t errbuf_size) {
    *out = SimBuild{};
    SimSegment* segment = SimSegmentCreate(settings.slaves);
    SimEepromAttach(segment);
    auto fail = [&]() {
        SimSegmentDestroy(segment);
        return false;
    };
    // The options that shape the slaves go first, whatever their place; then every other
    // value is checked before the first of them changes anything.
    for (const SimLayerOption& option : settings.layer)
        if (option.spec->first && option.spec->apply(segment, option.spec->name, option.value, false, errbuf,
                                                     errbuf_size) <= 0)
            return fail();
    for (bool check_only : {true, false}) {
        for (const SimLayerOption& option : settings.layer) {
            if (option.spec->first) continue;
            int taken = option.spec->apply(segment, option.spec->name, option.value, check_only, errbuf, errbuf_size);
            if (taken == 0)
                SimOptionFail(errbuf, errbuf_size, "unknown option %s (see ecsim --help)", option.spec->name);
            if (taken <= 0) return fail();
        }
    }
    out->segment = segment;
    out->faults = settings.faults;
    out->slaves = settings.slaves;
    return true;
}

bool SimBuildFromOptions(const char* options, SimBuild* out, char* errbuf, size_t errbuf_size) {
    *out = SimBuild{};
    std::vector<std::string> words;
    if (!SimSplitOptions(options, &words, errbuf, errbuf_size)) return false;
    std::vector<const char*> args;
    args.reserve(words.size());
    for (const std::string& word : words) args.push_back(word.c_str());
    SimSettings settings;
    if (!SimParseArguments(static_cast<int>(args.size()), args.data(), SimOptionUse::kInProcess, &settings, errbuf,
                           errbuf_size))
        return false;
    return SimBuildSegment(settings, out, errbuf, errbuf_size);
}

bool SimBuildDestroy(SimBuild* build, char* errbuf, size_t errbuf_size) {
    bool saved = true;
    if (build->segment != nullptr) {
        saved = SimEepromSaveAllQuietly(build->segment, errbuf, errbuf_size);
        SimSegmentDestroy(build->segment);
    }
    *build = SimBuild{};
    return saved;
}

void SimPrintOptionHelp(FILE* out, SimOptionUse use) {
    if (use == SimOptionUse::kEcsim) {
        fputs("usage: ecsim --iface IF --slaves N [options]\n"
              "       ecsim --print-header FILE\n"
              "\n"
              "Serves N simulated EtherCAT slaves on the network interface IF (use one end\n"
              "of a veth pair in a network namespace). Prints \"ecsim: serving N slaves on\n"
              "IF\" once the interface is up; SIGTERM or SIGINT stops it and writes changed\n"
              "EEPROM images back. A value follows its option as the next argument or\n"
              "after '='.\n",
              out);
        PrintGroup(out, Group::kProgram, "Program options:", nullptr);
    } else {
        fputs("Options of an in-process segment, split like shell words (quotes group,\n"
              "backslash escapes), e.g. --slaves 3 --name 2:'Drive A' --drop 0.1\n",
              out);
    }
    PrintGroup(out, Group::kSegment, "Segment and wire options:", nullptr);
    PrintGroup(out, Group::kEeprom, "EEPROM options (SEL: a slave N, a range A-B, or all):",
               "Options apply in the order given, --eeprom-size first; image edits are written\n"
               "to a bound file.\n");
    PrintGroup(out, Group::kMailbox, "Mailbox and CoE options (SEL: a slave N, a range A-B, or all):", nullptr);
    fputc('\n', out);
    fputs(SimCoeDefaultObjectsHelp(), out);
}
