// The ecalias command line: global options, the command table, and what every command
// gets to work with.
//
// Adding a command:
//   1. Write `int RunXxx(Cli& cli, const ParsedArgs& args)` in the file of its family,
//      tool/cli/cmd_FAMILY.cpp (one file per family: cmd_alias.cpp holds alias get, set
//      and plan). Print text with cli.Out() (nothing when cli.json is set), build the
//      JSON document with cli.Json(), send messages to standard error with cli.Note(),
//      and return one of the exit statuses below (or cli.Fail(...), which prints the
//      error, or its JSON document, and returns kExitFailed).
//   2. Declare it and add ONE line to kCommands in tool/cli/command_table.cpp: family,
//      subcommand (nullptr for a one-word command), synopsis, summary, its options (a
//      kNoOptions-terminated OptionSpec array), whether it writes, and the function.
//      `ecalias --help`, `ecalias COMMAND --help`, the argument parser and the
//      --yes/--dry-run rules for writing commands all come from that line.
//   3. A writing command lists kYesOption and kDryRunOption among its options (the
//      parser refuses to go on without --yes off a terminal before anything is sent) and
//      calls cli.Confirm(what) right before the first write.
//   4. Open the slaves with cli.OpenScanned(...) (adapter choice, open, scan, the errors
//      that name the fix), then use the ec_* calls of api/ecalias.h on cli.master().
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ecalias.h"
#include "tool/cli/json_writer.h"

enum CliExit { kExitDone = 0, kExitFailed = 1, kExitUsage = 2 };

// One option a command takes. value_name is nullptr for a flag.
struct OptionSpec {
    const char* long_name;   // "--backup-dir"
    char short_name;         // 'p', or 0
    const char* value_name;  // "DIR", or nullptr
    const char* help;
};
#define kNoOptions \
    OptionSpec { nullptr, 0, nullptr, nullptr }

inline constexpr OptionSpec kYesOption{"--yes", 'y', nullptr,
                                      "write without asking (needed when input is not a terminal)"};
inline constexpr OptionSpec kDryRunOption{"--dry-run", 0, nullptr, "show what would be written; write nothing"};

// The options and operands given to one command.
class ParsedArgs {
public:
    bool Has(const char* long_name) const;
    // The value of an option given with a value; nullptr when absent.
    const char* Value(const char* long_name) const;
    const std::vector<std::string>& operands() const { return operands_; }

    struct Given {
        const OptionSpec* spec;
        std::string value;
    };
    std::vector<Given> given;
    std::vector<std::string> operands_;
};

class Cli;
class SignalHold;
using CommandRun = int (*)(Cli& cli, const ParsedArgs& args);

struct CommandSpec {
    const char* family;      // "alias", "list"
    const char* name;        // "set", or nullptr
    const char* synopsis;    // operands and options after the command words
    const char* summary;     // one line for `ecalias --help`
    const char* details;     // more text for `ecalias COMMAND --help`, or nullptr
    const OptionSpec* options;
    int min_operands;
    int max_operands;
    bool writes;
    CommandRun run;
};

// The table (tool/cli/command_table.cpp) and its size.
extern const CommandSpec kCommands[];
extern const size_t kCommandCount;
// A second name of a one-word command ("slaves" for "list").
struct CommandAlias {
    const char* word;
    const char* family;
};
extern const CommandAlias kCommandAliases[];
extern const size_t kCommandAliasCount;

// The state of one run of the program.
class Cli {
public:
    Cli(FILE* out, FILE* err);
    ~Cli();
    Cli(const Cli&) = delete;
    Cli& operator=(const Cli&) = delete;

    // Global options.
    std::string iface;  // -i; empty: choose
    bool json = false;
    const CommandSpec* command = nullptr;
    // Set by a command that writes although its table line does not say so (e.g. a
    // plan with --apply): OpenScanned then refuses to guess among adapters.
    bool will_write = false;

    // Text for standard output; ignored with --json.
    void Out(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A message on standard error (also with --json).
    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    JsonWriter& Json() { return json_; }

    // A failure: text "ecalias: MESSAGE" on standard error, or with --json the document
    // {"error": {"code": CODE, "message": MESSAGE}} in place of any report. Returns
    // kExitFailed (or `exit_status`).
    int Fail(int code, const std::string& message, int exit_status = kExitFailed);
    // A usage error: message on standard error (and the JSON error document), status 2.
    int Usage(const std::string& message);

    // Chooses the adapter (-i, else the only/first one where slaves answer; a writing
    // command refuses when slaves answer on several), opens it and scans. On failure it
    // has reported the error and returns kExitFailed; else kExitDone with master() set.
    // With require_slaves, a segment without slaves is a failure.
    int OpenScanned(bool require_slaves = true);
    ec_master* master() const { return master_; }
    const std::string& adapter() const { return adapter_; }
    int slave_count() const { return slave_count_; }

    // The error of the last failed ec_* call on the master, as one English line.
    std::string Explain(int status) const;
    // The same line for one entry of a many-slave call, from the entry's own status,
    // position and step.
    static std::string ExplainEntry(int status, int position, const char* step);

    // Asks "proceed? [y/N]" on a terminal (the parser made sure --yes is given when
    // standard input is not one). True to go on. `what` is shown before the question.
    bool Confirm(const ParsedArgs& args, const std::string& what);

    // Holds SIGINT, SIGTERM, SIGHUP and SIGQUIT from now until the report is printed
    // (Finish): a write is not cut in half, and an interruption acts after the report.
    const SignalHold& HoldSignals();

    // Prints the JSON document (when --json), flushes, and lets held signals act.
    // Called once by the driver.
    void Finish();

private:
    FILE* out_;
    FILE* err_;
    JsonWriter json_;
    bool json_failed_ = false;
    ec_master* master_ = nullptr;
    std::unique_ptr<SignalHold> signal_hold_;
    std::string adapter_;
    int slave_count_ = 0;
};

// The program: `ecalias [GLOBAL OPTIONS] [COMMAND ...]`. Without a command it hands over
// to the dialog. Returns the exit status.
int RunCommandLine(int argc, char** argv, FILE* out, FILE* err);

// Parses the words after the command words against a command's options. Global options
// (-i, --json) may also stand there; they are stored into `cli`. Returns kExitDone, or
// kExitUsage with *error set. Sends nothing.
int ParseCommandArgs(const CommandSpec& command, int argc, char** argv, Cli* cli, ParsedArgs* args,
                     std::string* error);

// The name of an AL state value (low four bits): "INIT", "PREOP", "BOOT", "SAFEOP",
// "OP"; nullptr for any other value.
const char* AlStateName(uint16_t al_state);

// A whole number in decimal or with 0x (hex), 0..max: no sign, no spaces, no other
// characters. False for anything else.
bool ParseNumber(const char* text, uint64_t max, uint64_t* value);

// Choosing one slave: -p POS, or --serial SN where a command allows it.
inline constexpr OptionSpec kPositionOption{"--position", 'p', "POS", "the slave's position on the line (1 = first)"};
inline constexpr OptionSpec kSerialOption{"--serial", 0, "SN", "the slave with this serial number (SII words 0x0E-0x0F)"};
struct SlaveSelector {
    int position = 0;  // 1-based; 0 when chosen by serial
    bool by_serial = false;
    uint32_t serial = 0;
};
// Reads -p (or --serial when allow_serial) before anything is sent: kExitDone, or the
// usage error's status (reported).
int ParseSlaveSelector(Cli& cli, const ParsedArgs& args, bool allow_serial, SlaveSelector* selector);
// After OpenScanned: the position of the selected slave (kExitDone), or the failure,
// reported (no such position, no or several slaves with that serial).
int ResolveSlave(Cli& cli, const SlaveSelector& selector, int* position);
