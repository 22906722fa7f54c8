// The commands of ecalias: one line each. See tool/cli/cli.h for how to add one.
#include "tool/cli/cli.h"

// tool/cli/cmd_slaves.cpp
int RunAdapters(Cli& cli, const ParsedArgs& args);
int RunList(Cli& cli, const ParsedArgs& args);
// tool/cli/cmd_alias.cpp
int RunAliasGet(Cli& cli, const ParsedArgs& args);
int RunAliasSet(Cli& cli, const ParsedArgs& args);
int RunAliasPlan(Cli& cli, const ParsedArgs& args);

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
};
const size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

const CommandAlias kCommandAliases[] = {{"slaves", "list"}};
const size_t kCommandAliasCount = sizeof kCommandAliases / sizeof kCommandAliases[0];
