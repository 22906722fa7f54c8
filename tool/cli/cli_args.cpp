// The argument parser of the command line: numbers, options and operands. Sends nothing.
#include <cstring>

#include "tool/cli/cli.h"

namespace {

const OptionSpec kIfaceOption{"--iface", 'i', "IF", "the adapter, or sim:OPTIONS"};
const OptionSpec kJsonOption{"--json", 0, nullptr, "one JSON document on standard output"};

const OptionSpec* FindLong(const OptionSpec* options, const char* name, size_t length) {
    for (const OptionSpec* o = options; o->long_name != nullptr; o++)
        if (strlen(o->long_name) == length && strncmp(o->long_name, name, length) == 0) return o;
    for (const OptionSpec* o : {&kIfaceOption, &kJsonOption})
        if (strlen(o->long_name) == length && strncmp(o->long_name, name, length) == 0) return o;
    return nullptr;
}

const OptionSpec* FindShort(const OptionSpec* options, char name) {
    for (const OptionSpec* o = options; o->long_name != nullptr; o++)
        if (o->short_name == name) return o;
    for (const OptionSpec* o : {&kIfaceOption, &kJsonOption})
        if (o->short_name == name) return o;
    return nullptr;
}

// Stores one option; false with *error set for a second one of the same name.
bool Store(const OptionSpec* spec, const std::string& value, Cli* cli, ParsedArgs* args, std::string* error) {
    if (spec == &kJsonOption) {
        cli->json = true;
        return true;
    }
    if (spec == &kIfaceOption) {
        if (value.empty()) {
            *error = "option --iface needs an adapter name (or sim:OPTIONS)";
            return false;
        }
        cli->iface = value;
        return true;
    }
    if (args->Has(spec->long_name)) {
        *error = std::string("option ") + spec->long_name + " given twice";
        return false;
    }
    args->given.push_back({spec, value});
    return true;
}

}  // namespace

bool ParseNumber(const char* text, uint64_t max, uint64_t* value) {
    if (text == nullptr || *text == '\0') return false;
    unsigned base = 10;
    const char* digits = text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text + 2;
        if (*digits == '\0') return false;
    }
    uint64_t result = 0;
    for (const char* c = digits; *c != '\0'; c++) {
        unsigned digit;
        if (*c >= '0' && *c <= '9')
            digit = static_cast<unsigned>(*c - '0');
        else if (base == 16 && *c >= 'a' && *c <= 'f')
            digit = static_cast<unsigned>(*c - 'a' + 10);
        else if (base == 16 && *c >= 'A' && *c <= 'F')
            digit = static_cast<unsigned>(*c - 'A' + 10);
        else
            return false;
        if (result > (max - digit) / base) return false;
        result = result * base + digit;
    }
    *value = result;
    return true;
}

bool ParsedArgs::Has(const char* long_name) const {
    for (const Given& g : given)
        if (strcmp(g.spec->long_name, long_name) == 0) return true;
    return false;
}

const char* ParsedArgs::Value(const char* long_name) const {
    for (const Given& g : given)
        if (strcmp(g.spec->long_name, long_name) == 0 && g.spec->value_name != nullptr) return g.value.c_str();
    return nullptr;
}

int ParseCommandArgs(const CommandSpec& command, int argc, char** argv, Cli* cli, ParsedArgs* args,
                     std::string* error) {
    bool options_end = false;
    for (int n = 0; n < argc; n++) {
        const char* word = argv[n];
        // A negative number ("-5", a value of sdo/reg write) is an operand: no option is a digit.
        if (options_end || word[0] != '-' || word[1] == '\0' || (word[1] >= '0' && word[1] <= '9')) {
            args->operands_.push_back(word);
            continue;
        }
        if (strcmp(word, "--") == 0) {
            options_end = true;
            continue;
        }
        const OptionSpec* spec = nullptr;
        std::string value;
        bool has_inline_value = false;
        if (word[1] == '-') {
            const char* equals = strchr(word, '=');
            const size_t length = equals != nullptr ? static_cast<size_t>(equals - word) : strlen(word);
            spec = FindLong(command.options, word, length);
            if (spec == nullptr) {
                *error = "unknown option " + std::string(word, length);
                return kExitUsage;
            }
            if (equals != nullptr) {
                if (spec->value_name == nullptr) {
                    *error = std::string("option ") + spec->long_name + " takes no value";
                    return kExitUsage;
                }
                value = equals + 1;
                has_inline_value = true;
            }
        } else {
            spec = FindShort(command.options, word[1]);
            if (spec == nullptr) {
                *error = "unknown option " + std::string(word, 2);
                return kExitUsage;
            }
            if (word[2] != '\0') {
                if (spec->value_name == nullptr) {
                    *error = std::string("option -") + word[1] + " takes no value (got " + word + ")";
                    return kExitUsage;
                }
                value = word + 2;
                has_inline_value = true;
            }
        }
        if (spec->value_name != nullptr && !has_inline_value) {
            if (n + 1 >= argc) {
                *error = std::string("option ") + spec->long_name + " needs a value (" + spec->value_name + ")";
                return kExitUsage;
            }
            value = argv[++n];
        }
        if (!Store(spec, value, cli, args, error)) return kExitUsage;
    }
    const int operands = static_cast<int>(args->operands_.size());
    if (operands < command.min_operands) {
        *error = "missing operand; usage: ecalias " + std::string(command.family) +
                 (command.name != nullptr ? std::string(" ") + command.name : std::string()) + " " + command.synopsis;
        return kExitUsage;
    }
    if (operands > command.max_operands) {
        *error = "unexpected operand \"" + args->operands_[static_cast<size_t>(command.max_operands)] + "\"";
        return kExitUsage;
    }
    return kExitDone;
}

const char* AlStateName(uint16_t al_state) {
    switch (al_state & 0x0F) {
    case EC_STATE_INIT: return "INIT";
    case EC_STATE_PREOP: return "PREOP";
    case EC_STATE_BOOT: return "BOOT";
    case EC_STATE_SAFEOP: return "SAFEOP";
    case EC_STATE_OP: return "OP";
    default: return nullptr;
    }
}
