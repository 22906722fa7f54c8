// ecsim's options, all in one table: the segment and its wire, the EEPROM and mailbox
// layers of its slaves, and the settings of the ecsim program itself. The table gives
// each option its value syntax and help text and says who parses it; the command line of
// ecsim, the option string of an in-process segment and `ecsim --help` all come from it.
//
// Parsing prints nothing: every refusal is one line of text in the caller's buffer,
// naming the option, the value and what was expected (ecsim prefixes "ecsim: ", prints
// it on standard error and exits 2).
//
// An in-process segment is described by the same options as a string, split the way a
// shell splits words: blanks separate, single quotes keep everything up to the next
// single quote, double quotes keep everything up to the next double quote but let a
// backslash escape " and \, and outside quotes a backslash escapes any character. So
//   --slaves 3 --name 2:'Drive A' --object "all:0x4000:0:string:a b"
// gives five options with their values. Options that only make sense for the ecsim
// program (--iface, --busy-poll, --blocking, --cpu, --print-header, --help, --version)
// are refused there with a message saying so.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/segment.h"
#include "sim/wire.h"

enum { kSimMaxSlaves = 1000 };

// Who reads the options: the ecsim program, or a program that builds an in-process
// segment from a string.
enum class SimOptionUse { kEcsim, kInProcess };

// What ecsim is to do once the command line is read.
enum class SimAction { kServe, kHelp, kVersion, kPrintHeader };

struct SimOptionSpec;

// An option of the EEPROM or mailbox layer, applied once the segment exists. `value`
// points into the caller's argument list.
struct SimLayerOption {
    const SimOptionSpec* spec;
    const char* value;
};

struct SimSettings {
    int slaves = 1;
    SimFaultSettings faults{};
    // ecsim only.
    SimAction action = SimAction::kServe;
    const char* iface = nullptr;
    const char* print_header = nullptr;
    bool busy_poll = false;
    int cpu = -1;
    // In command-line order.
    std::vector<SimLayerOption> layer;
};

// Splits an option string into words (see above). False, with the reason in errbuf,
// for an unterminated quote or a lone backslash at the end.
bool SimSplitOptions(const char* text, std::vector<std::string>* words, char* errbuf, size_t errbuf_size);

// Reads `count` options (no program name in front) into `settings`, which starts out as
// the defaults. Wire and ecsim values are checked here; layer options are checked by
// name and whether they have a value, their values when the segment is built. --help,
// --version and --print-header end the reading at once (the action says which).
bool SimParseArguments(int count, const char* const* args, SimOptionUse use, SimSettings* settings, char* errbuf,
                       size_t errbuf_size);

// A segment built from options, and the faults of the wire to put in front of it
// (SimWireInit(&wire, build.segment, build.faults)).
struct SimBuild {
    SimSegment* segment;
    SimFaultSettings faults;
    int slaves;
};

// Creates the segment of `settings` and applies the layer options: --eeprom-size first,
// then every other one in the order given. Every value is checked before the first one
// is applied, so a refused value leaves nothing behind (no segment, no folder, no image
// file); only a file that cannot be read or written stops the build part-way, and the
// segment is then destroyed too. On failure *out is zeroed.
bool SimBuildSegment(const SimSettings& settings, SimBuild* out, char* errbuf, size_t errbuf_size);

// Split, read and build in one step, for the in-process segment: `options` as the
// string after "sim:". Refuses the ecsim-only options.
bool SimBuildFromOptions(const char* options, SimBuild* out, char* errbuf, size_t errbuf_size);
// Finishes EEPROM write cycles still under way, writes changed images back to their
// files and destroys the segment. Returns false with the reason in errbuf (which may be
// null) when an image could not be written. The build is zeroed either way.
bool SimBuildDestroy(SimBuild* build, char* errbuf = nullptr, size_t errbuf_size = 0);

// The help text of every option `use` takes; for ecsim with the usage lines in front.
void SimPrintOptionHelp(FILE* out, SimOptionUse use);

// ---- shared by the layers' parsers ----

struct SimSelection {
    int first;  // 1 for the first slave
    int last;
};

// Formats a refusal into errbuf (when there is one) and returns -1.
int SimOptionFail(char* errbuf, size_t errbuf_size, const char* format, ...) __attribute__((format(printf, 3, 4)));
// "bad value for OPTION: 'VALUE' (expected EXPECTED)"; OPTION is shown with its two
// leading dashes whether or not `option` has them. Returns -1.
int SimOptionBadValue(char* errbuf, size_t errbuf_size, const char* option, const char* value, const char* expected);
// A number as the options take them: decimal, 0x hex or 0 octal, within low..high.
bool SimOptionNumber(const char* text, long long low, long long high, long long* out);
// Reads the slave selector in front of a value "SEL" or "SEL:REST": a position N, a
// range A-B or all, counted from 1 along the line. `rest` is what follows the first
// colon, null when there is none. A selector beyond the segment is refused as out of
// range, saying how many slaves there are. Returns 1, or -1 with the message in errbuf.
int SimOptionSelect(const SimSegment* segment, const char* option, const char* value, SimSelection* selection,
                    const char** rest, char* errbuf, size_t errbuf_size);
