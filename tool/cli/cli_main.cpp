// The driver: global options, --help and --version, the command lookup, and the hand-over
// to the dialog when no command is given. Nothing is sent before a command runs.
#include <unistd.h>

#include <cstring>
#include <string>

#include "ecalias_version.h"
#include "tool/cli/cli.h"
#include "tool/dialog_main.h"

namespace {

std::string CommandWords(const CommandSpec& c) {
    return std::string(c.family) + (c.name != nullptr ? std::string(" ") + c.name : std::string());
}

void PrintTopHelp(FILE* out) {
    fprintf(out,
            "usage: ecalias [-i IF]                       the station-alias dialog for slave 1\n"
            "       ecalias [-i IF] [--json] COMMAND ...  a command (ecalias COMMAND --help for its options)\n"
            "       ecalias -h | --help\n"
            "       ecalias -V | --version\n"
            "\n"
            "Global options:\n"
            "  -i, --iface IF   the adapter, or sim:OPTIONS for an in-process virtual segment\n"
            "                   (ecsim's options, e.g. sim:--slaves 3); without it, the first adapter\n"
            "                   where slaves answer\n"
            "  --json           one JSON document on standard output; messages on standard error\n"
            "\n"
            "Commands:\n");
    for (size_t n = 0; n < kCommandCount; n++) {
        const CommandSpec& c = kCommands[n];
        fprintf(out, "  %-14s %s\n", CommandWords(c).c_str(), c.summary);
    }
    fprintf(out,
            "\n"
            "Numbers are decimal or 0x hex; slave positions start at 1. Exit status: 0 done, 1 the\n"
            "operation failed, 2 usage error (nothing sent). Commands that write ask before writing\n"
            "on a terminal and need --yes otherwise; --dry-run shows what would be written.\n");
}

void PrintCommandHelp(FILE* out, const CommandSpec& c) {
    fprintf(out, "usage: ecalias [-i IF] [--json] %s %s\n\n%s\n", CommandWords(c).c_str(), c.synopsis, c.summary);
    if (c.details != nullptr) fprintf(out, "\n%s\n", c.details);
    fprintf(out, "\nOptions:\n");
    for (const OptionSpec* o = c.options; o->long_name != nullptr; o++) {
        std::string names = o->short_name != 0 ? std::string("-") + o->short_name + ", " : std::string("    ");
        names += o->long_name;
        if (o->value_name != nullptr) names += std::string(" ") + o->value_name;
        fprintf(out, "  %-24s %s\n", names.c_str(), o->help);
    }
    fprintf(out, "  %-24s %s\n", "-i, --iface IF", "the adapter, or sim:OPTIONS");
    fprintf(out, "  %-24s %s\n", "    --json", "one JSON document on standard output");
    fprintf(out, "  %-24s %s\n", "-h, --help", "this text");
}

void PrintFamilyHelp(FILE* out, const char* family) {
    fprintf(out, "usage: ecalias [-i IF] [--json] %s SUBCOMMAND ...\n\nSubcommands:\n", family);
    for (size_t n = 0; n < kCommandCount; n++) {
        const CommandSpec& c = kCommands[n];
        if (strcmp(c.family, family) == 0)
            fprintf(out, "  %s %s\n      %s\n", CommandWords(c).c_str(), c.synopsis, c.summary);
    }
    fprintf(out, "\necalias %s SUBCOMMAND --help shows a subcommand's options.\n", family);
}

const char* ResolveAlias(const char* word) {
    for (size_t n = 0; n < kCommandAliasCount; n++)
        if (strcmp(kCommandAliases[n].word, word) == 0) return kCommandAliases[n].family;
    return word;
}

bool FamilyExists(const char* family) {
    for (size_t n = 0; n < kCommandCount; n++)
        if (strcmp(kCommands[n].family, family) == 0) return true;
    return false;
}

const CommandSpec* FindCommand(const char* family, const char* name) {
    for (size_t n = 0; n < kCommandCount; n++) {
        const CommandSpec& c = kCommands[n];
        if (strcmp(c.family, family) != 0) continue;
        if (c.name == nullptr) return &c;
        if (name != nullptr && strcmp(c.name, name) == 0) return &c;
    }
    return nullptr;
}

bool IsHelp(const char* word) { return strcmp(word, "-h") == 0 || strcmp(word, "--help") == 0; }

// Global options before the command. Returns the index of the command word (argc when
// none), or -1 after a usage error, -2 after help or version was printed.
int ParseGlobal(int argc, char** argv, Cli* cli, FILE* out, std::string* error) {
    int n = 1;
    for (; n < argc; n++) {
        const char* word = argv[n];
        if (IsHelp(word)) {
            PrintTopHelp(out);
            return -2;
        }
        if (strcmp(word, "-V") == 0 || strcmp(word, "--version") == 0) {
            fprintf(out, "ecalias %s\n", ECALIAS_VERSION);
            return -2;
        }
        if (strcmp(word, "--json") == 0) {
            cli->json = true;
            continue;
        }
        const char* value = nullptr;
        if (strcmp(word, "-i") == 0 || strcmp(word, "--iface") == 0) {
            if (n + 1 >= argc) {
                *error = std::string("option ") + word + " needs an adapter name (or sim:OPTIONS)";
                return -1;
            }
            value = argv[++n];
        } else if (strncmp(word, "--iface=", 8) == 0) {
            value = word + 8;
        } else if (strncmp(word, "-i", 2) == 0 && word[2] != '\0') {
            value = word + 2;
        } else if (word[0] == '-') {
            *error = std::string("unknown option ") + word;
            return -1;
        } else {
            break;
        }
        if (*value == '\0') {
            *error = "option --iface needs an adapter name (or sim:OPTIONS)";
            return -1;
        }
        cli->iface = value;
    }
    return n;
}

int RunParsed(Cli& cli, int argc, char** argv, FILE* out, FILE* err) {
    std::string error;
    const int first = ParseGlobal(argc, argv, &cli, out, &error);
    if (first == -2) return kExitDone;
    if (first == -1) return cli.Usage(error);
    if (first >= argc) {
        if (cli.json) return cli.Usage("--json needs a command");
        fflush(out);
        return RunDialogProgram(cli.iface.empty() ? nullptr : cli.iface.c_str());
    }
    const char* family = ResolveAlias(argv[first]);
    if (!FamilyExists(family)) return cli.Usage(std::string("unknown command \"") + argv[first] + "\"");
    int next = first + 1;
    const CommandSpec* command = FindCommand(family, nullptr);
    if (command == nullptr) {
        // A family of subcommands.
        if (next >= argc) {
            PrintFamilyHelp(err, family);
            return cli.Usage(std::string("\"") + family + "\" needs a subcommand");
        }
        if (IsHelp(argv[next])) {
            PrintFamilyHelp(out, family);
            return kExitDone;
        }
        command = FindCommand(family, argv[next]);
        if (command == nullptr)
            return cli.Usage(std::string("unknown command \"") + family + " " + argv[next] + "\"");
        next++;
    }
    cli.command = command;
    for (int n = next; n < argc && strcmp(argv[n], "--") != 0; n++)
        if (IsHelp(argv[n])) {
            PrintCommandHelp(out, *command);
            return kExitDone;
        }
    ParsedArgs args;
    if (ParseCommandArgs(*command, argc - next, argv + next, &cli, &args, &error) != kExitDone)
        return cli.Usage(error);
    if (command->writes && !args.Has("--dry-run") && !args.Has("--yes") && !isatty(STDIN_FILENO))
        return cli.Usage("standard input is not a terminal: add --yes to write (or --dry-run to see what would be "
                         "written)");
    return command->run(cli, args);
}

}  // namespace

int RunCommandLine(int argc, char** argv, FILE* out, FILE* err) {
    Cli cli(out, err);
    const int status = RunParsed(cli, argc, argv, out, err);
    cli.Finish();
    return status;
}
