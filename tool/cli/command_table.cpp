// The commands of ecalias: one line each. See tool/cli/cli.h for how to add one.
#include "tool/cli/cli.h"

// tool/cli/cmd_slaves.cpp
int RunAdapters(Cli& cli, const ParsedArgs& args);
int RunList(Cli& cli, const ParsedArgs& args);
// tool/cli/cmd_alias.cpp
int RunAliasGet(Cli& cli, const ParsedArgs& args);
int RunAliasSet(Cli& cli, const ParsedArgs& args);
int RunAliasPlan(Cli& cli, const ParsedArgs& args);
// tool/cli/cmd_sii.cpp, cmd_sdo.cpp, cmd_reg.cpp, cmd_state.cpp
int RunSiiDump(Cli& cli, const ParsedArgs& args);
int RunSiiShow(Cli& cli, const ParsedArgs& args);
int RunSiiWrite(Cli& cli, const ParsedArgs& args);
int RunSdoRead(Cli& cli, const ParsedArgs& args);
int RunSdoWrite(Cli& cli, const ParsedArgs& args);
int RunRegRead(Cli& cli, const ParsedArgs& args);
int RunRegWrite(Cli& cli, const ParsedArgs& args);
int RunState(Cli& cli, const ParsedArgs& args);

namespace {

const OptionSpec kNone[] = {kNoOptions};
const OptionSpec kAliasGetOptions[] = {kPositionOption, kSerialOption, kNoOptions};
const OptionSpec kAliasSetOptions[] = {
    kPositionOption,
    kSerialOption,
    kYesOption,
    kDryRunOption,
    {"--force", 0, nullptr, "write over a wrong stored checksum (unreadable words still refuse)"},
    {"--backup-dir", 0, "DIR", "where the backup of the SII image goes (default: the current directory)"},
    kNoOptions};
const OptionSpec kAliasPlanOptions[] = {
    {"--apply", 0, nullptr, "write the plan (without it: check and show only)"},
    kYesOption,
    {"--backup-dir", 0, "DIR", "where the backups of the SII images go (default: the current directory)"},
    kNoOptions};

constexpr OptionSpec kPositionOrAllOption{"--position", 'p', "POS", "the slave's position (1 = first), or all"};
constexpr OptionSpec kTypeOption{"--type", 't', "TYPE",
                                 "bool u8 u16 u32 u64 i8 i16 i32 i64 f32 f64 string octets"};
constexpr OptionSpec kCompleteOption{"--complete", 0, nullptr, "complete access: the whole object from the subindex on"};
const OptionSpec kSiiDumpOptions[] = {
    kPositionOrAllOption,
    {"--output", 'o', "FILE", "write the binary image to FILE (with -p all: a directory, one file per slave)"},
    {"--words", 0, "FIRST-LAST", "only these words (default: up to the end marker, else the EEPROM size)"},
    kNoOptions};
const OptionSpec kSiiShowOptions[] = {
    kPositionOption, {"--file", 0, "FILE", "decode an image file instead (nothing is sent)"}, kNoOptions};
const OptionSpec kSiiWriteOptions[] = {
    kPositionOrAllOption,
    kYesOption,
    kDryRunOption,
    {"--force", 0, nullptr, "write an image with a wrong checksum or another vendor/product"},
    {"--backup-dir", 0, "DIR", "where the backup of the SII image goes (default: the current directory)"},
    kNoOptions};
const OptionSpec kSdoReadOptions[] = {kPositionOption, kTypeOption, kCompleteOption, kNoOptions};
const OptionSpec kSdoWriteOptions[] = {kPositionOption, kTypeOption, kCompleteOption, kYesOption, kDryRunOption,
                                       kNoOptions};
constexpr OptionSpec kWindowOption{"--window", 0, "REG",
                                   "a device register through the CoE register window (objects 0x7012/0x7013)"};
const OptionSpec kRegReadOptions[] = {kPositionOption, kTypeOption,
                                      {"--length", 'n', "LEN", "read LEN bytes (1-1486), shown in hex"},
                                      kWindowOption, kNoOptions};
const OptionSpec kRegWriteOptions[] = {kPositionOption, kTypeOption, kWindowOption, kYesOption, kDryRunOption,
                                       kNoOptions};
const OptionSpec kStateOptions[] = {
    kPositionOrAllOption,
    {"--ack", 0, nullptr, "acknowledge an error indication (AL control bit 4)"},
    {"--timeout", 0, "MS", "how long to wait for the requested state (default 5000)"},
    kYesOption,
    kDryRunOption,
    kNoOptions};

}  // namespace

const CommandSpec kCommands[] = {
    {"adapters", nullptr, "", "list the capture adapters, whether they open and how many slaves answer", nullptr,
     kNone, 0, 0, false, RunAdapters},
    {"list", nullptr, "", "one line per slave: address, aliases, state, identity, name (also: slaves)",
     "SII alias marked *: it differs from register 0x0012 and takes effect after a power cycle.\n"
     "A record marked (incomplete) could not be read whole; its unread fields show as ? (null in JSON).",
     kNone, 0, 0, false, RunList},
    {"alias", "get", "(-p POS | --serial SN)", "show a slave's SII alias (word 4) and alias register 0x0012",
     nullptr, kAliasGetOptions, 0, 0, false, RunAliasGet},
    {"alias", "set", "(-p POS | --serial SN) VALUE [--yes] [--dry-run] [--force] [--backup-dir DIR]",
     "set a slave's station alias (SII word 4 and checksum word 7), verified",
     "VALUE: a whole number 0-65535 (decimal or 0x). The slave's whole SII image is saved to a\n"
     "backup file first (no backup, no write); words 0-7 are read back after writing. The slave\n"
     "loads the new alias at its next power-on.",
     kAliasSetOptions, 1, 1, true, RunAliasSet},
    {"alias", "plan", "FILE [--apply] [--yes] [--backup-dir DIR]",
     "check, and with --apply write, the aliases of a whole line from a CSV file",
     "FILE: CSV with a header line; columns position and alias required, vendor, product and\n"
     "serial optional (checked when given). Every row is checked before anything is written:\n"
     "the slave exists, its identity matches, and every non-zero alias is unique on the segment\n"
     "(against the SII alias of every other slave). Slaves that already carry their planned\n"
     "alias are left alone. Exit status 0 only when every row is fine (and, with --apply,\n"
     "verified); 2 for a malformed file.",
     kAliasPlanOptions, 1, 1, false, RunAliasPlan},
    {"sii", "dump", "-p POS|all [-o FILE|DIR] [--words FIRST-LAST]", "save or show a slave's SII EEPROM",
     "Without -o: a hex dump with word offsets (also on a pipe). With -o: the binary image, little-endian\nwords, as `sii write` and ecsim --image take it; -p all -o DIR writes one file per slave, named\nafter position, vendor, product and serial. By default up to the end-of-categories marker, else\nthe size word 0x3E announces.",
     kSiiDumpOptions, 0, 0, false, RunSiiDump},
    {"sii", "show", "(-p POS | --file FILE)", "decode a slave's SII EEPROM or an image file",
     "Words 0-7 with the checksum, identity, mailboxes, size and version, then every category.\nWhat an image gets wrong is shown as a warning; the exit status stays 0.",
     kSiiShowOptions, 0, 0, false, RunSiiShow},
    {"sii", "write", "-p POS FILE | -p all DIR [--yes] [--dry-run] [--force] [--backup-dir DIR]",
     "restore an SII image into a slave (only the differing words, verified)",
     "Refused (nothing written) when the image's checksum is wrong or its vendor/product differ from\nthe slave's, unless --force. The slave's image is saved to a backup file first (no backup, no\nwrite); only the words that differ are written, each read back. -p all DIR restores every slave\nfrom a `sii dump -p all` folder, matched by identity and serial. A restore that was cut short\nnames the first word not done; the same command again finishes it.",
     kSiiWriteOptions, 1, 1, true, RunSiiWrite},
    {"sdo", "read", "-p POS INDEX:SUB [-t TYPE] [--complete]", "read a CoE object (SDO upload)",
     "Without -t: the bytes in hex and their count. An abort shows its code and meaning (status 1).",
     kSdoReadOptions, 1, 1, false, RunSdoRead},
    {"sdo", "write", "-p POS INDEX:SUB VALUE -t TYPE [--complete] [--yes] [--dry-run]",
     "write a CoE object (SDO download)",
     "VALUE: decimal or 0x for numbers; 0, 1, true, false for bool; hex pairs (0a1b2c) or @FILE for\noctets; the text for string. Out-of-range values are refused (status 2, nothing sent).",
     kSdoWriteOptions, 2, 2, true, RunSdoWrite},
    {"reg", "read", "-p POS (ADDR [-t TYPE | -n LEN] | --window REG)", "read ESC registers or memory",
     "ADDR: the slave controller's register or memory address (configured-address read); default\ntype u16. --window REG reads a device register through the CoE register window of the legacy\nAPI (objects 0x7012/0x7013) instead.",
     kRegReadOptions, 0, 1, false, RunRegRead},
    {"reg", "write", "-p POS (ADDR VALUE [-t TYPE] | --window REG VALUE) [--yes] [--dry-run]",
     "write ESC registers or memory",
     "ADDR: the slave controller's register or memory address (configured-address write); default\ntype u16. VALUE is always a value, never a file. --window REG writes a device register through\nthe CoE register window (objects 0x7012/0x7013) instead.",
     kRegWriteOptions, 1, 2, true, RunRegWrite},
    {"state", nullptr, "[-p POS|all] [init|preop|safeop|op] [--ack] [--timeout MS] [--yes] [--dry-run]",
     "show AL states and status codes, or request a state",
     "Without a state: each slave's AL state and status code with its meaning. With one: request it,\nwait up to --timeout and report the state reached (status 1 when a slave did not reach it).\n--ack acknowledges an error indication first. Without -p: every slave.",
     kStateOptions, 0, 1, false, RunState},
};
const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

const CommandAlias kCommandAliases[] = {{"slaves", "list"}};
const size_t kCommandAliasCount = sizeof kCommandAliases / sizeof kCommandAliases[0];
