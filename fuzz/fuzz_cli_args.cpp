// The command line's untrusted text: the words of a command line and alias plan files.
//
// The first byte chooses the door. Words (NUL-separated) go through the option parser of
// every command of the table and through the number parser; a plan file goes through
// the CSV parser and the checks against a segment made from the same bytes.
// Properties: a number is accepted exactly when it is 0x-hex or decimal without sign and
// in range, with strtoull's value; a parse that succeeds gives operands within the
// command's bounds and only options of the command; a parsed plan has rows with distinct
// positions from 1 on and aliases that fit; the checks give one list per row and pass
// exactly when every list is empty.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "tool/cli/alias_plan.h"
#include "tool/cli/cli.h"

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "property violated: %s\n", what);
        abort();
    }
}

// The reference: what the number parser must answer.
bool ReferenceNumber(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty()) return false;
    int base = 10;
    std::string digits = text;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
    }
    if (digits.empty()) return false;
    for (char c : digits)
        if (base == 10 ? !isdigit(static_cast<unsigned char>(c)) : !isxdigit(static_cast<unsigned char>(c))) return false;
    errno = 0;
    const unsigned long long parsed = strtoull(digits.c_str(), nullptr, base);
    if (errno == ERANGE || parsed > max) return false;
    *value = parsed;
    return true;
}

void FuzzWords(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    std::string current;
    for (size_t n = 0; n < size && words.size() < 32; n++) {
        if (data[n] == 0) {
            words.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[n]);
        }
    }
    words.push_back(current);
    for (const std::string& word : words) {
        for (uint64_t max : {uint64_t{65535}, uint64_t{UINT32_MAX}, UINT64_MAX}) {
            uint64_t got = 7, want = 0;
            const bool accepted = ParseNumber(word.c_str(), max, &got);
            Require(accepted == ReferenceNumber(word, max, &want), "the number parser agrees with the reference");
            Require(!accepted || got == want, "an accepted number has the reference's value");
            Require(accepted || got == 7, "a refused number leaves the value alone");
        }
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    for (size_t c = 0; c < kCommandCount; c++) {
        const CommandSpec& command = kCommands[c];
        Cli cli(stdout, stderr);
        ParsedArgs args;
        std::string error;
        const int status =
            ParseCommandArgs(command, static_cast<int>(argv.size()), argv.data(), &cli, &args, &error);
        Require(status == kExitDone || status == kExitUsage, "the parser answers done or usage");
        if (status == kExitUsage) {
            Require(!error.empty(), "a usage error says what is wrong");
            continue;
        }
        const int operands = static_cast<int>(args.operands().size());
        Require(operands >= command.min_operands && operands <= command.max_operands, "operands within bounds");
        std::set<std::string> names;
        for (const ParsedArgs::Given& given : args.given) {
            bool known = false;
            for (const OptionSpec* o = command.options; o->long_name != nullptr; o++) known = known || o == given.spec;
            Require(known, "only the command's own options are stored");
            Require(names.insert(given.spec->long_name).second, "no option is stored twice");
        }
    }
}

void FuzzPlan(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<PlanRow> rows;
    std::string error;
    if (!ParseAliasPlan(text, &rows, &error)) {
        Require(!error.empty(), "a refused plan says why");
        return;
    }
    Require(!rows.empty(), "a plan has rows");
    std::set<uint32_t> positions;
    for (const PlanRow& row : rows) {
        Require(row.position >= 1 && row.position <= 65535, "positions from 1");
        Require(positions.insert(row.position).second, "positions are distinct");
        Require(row.line >= 2, "rows come after the header");
    }
    // A segment made from the same bytes: some slaves with unread parts, aliases that
    // collide with the plan's.
    std::vector<PlanSlave> slaves(size % 12);
    for (size_t s = 0; s < slaves.size(); s++) {
        const uint8_t b = data[s % size];
        PlanSlave& slave = slaves[s];
        slave.position = static_cast<int>(s + 1);
        slave.identity_read = (b & 1) != 0;
        slave.serial_read = (b & 2) != 0;
        slave.sii_alias_read = (b & 4) != 0;
        slave.vendor = b >> 4;
        slave.product = b & 0x0F;
        slave.serial = static_cast<uint32_t>(s);
        slave.sii_alias = static_cast<uint16_t>(b % 5);
    }
    std::vector<std::vector<std::string>> problems;
    const bool ok = CheckAliasPlan(rows, slaves, &problems);
    Require(problems.size() == rows.size(), "one list of problems per row");
    bool none = true;
    for (size_t r = 0; r < rows.size(); r++) {
        none = none && problems[r].empty();
        if (rows[r].position > slaves.size()) Require(!problems[r].empty(), "a missing slave is a problem");
    }
    Require(ok == none, "the checks pass exactly when no row has a problem");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) FuzzPlan(data + 1, size - 1);
    else FuzzWords(data + 1, size - 1);
    return 0;
}
