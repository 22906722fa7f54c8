// ecalias alias get | set | plan: station aliases, one slave or a whole line.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tool/cli/alias_plan.h"
#include "tool/cli/cli.h"
#include "tool/cli/signal_hold.h"

namespace {

constexpr size_t kMaxPlanBytes = 1 << 20;

std::string Hex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// What a failed alias write left in the EEPROM, and how to finish it.
std::string AliasWriteLeft(const ec_alias_report& report, int position) {
    if (report.alias_acknowledged && !report.checksum_acknowledged)
        return "; word 4 holds the new alias but word 7 was not written, so the checksum is WRONG: once the slave "
               "answers, run `ecalias alias set -p " +
               std::to_string(position) + " " + std::to_string(report.alias_written) + " --force`";
    if (!report.alias_acknowledged) return "; the alias word was not written";
    return "";
}

std::string Identity(const ec_slave_info& info) {
    if ((info.parts_read & EC_PART_IDENTITY) == 0) return "identity unread";
    std::string text = "vendor " + Hex(info.vendor_id, 8) + " product " + Hex(info.product_code, 8);
    if ((info.parts_read & EC_PART_SERIAL) != 0) text += " serial " + std::to_string(info.serial);
    return text;
}

// Words 0-7 of a slave's SII: false when words 0-6 cannot be read. *word7_read says
// whether word 7 came too.
bool ReadHeader(Cli& cli, int position, uint16_t words[EC_SII_HEADER_WORDS], bool* word7_read) {
    *word7_read = true;
    if (ec_sii_read(cli.master(), position, 0, EC_SII_HEADER_WORDS, words) == EC_OK) return true;
    *word7_read = false;
    return ec_sii_read(cli.master(), position, 0, EC_SII_HEADER_WORDS - 1, words) == EC_OK;
}

bool ChecksumOk(const uint16_t words[EC_SII_HEADER_WORDS], bool word7_read, uint8_t* expected) {
    ec_sii_checksum(words, expected);
    return word7_read && (words[7] & 0xFF) == *expected;
}

uint16_t NewChecksumWord(const uint16_t before[EC_SII_HEADER_WORDS], uint16_t alias) {
    uint16_t image[EC_SII_HEADER_WORDS];
    memcpy(image, before, sizeof image);
    image[4] = alias;
    uint8_t checksum = 0;
    ec_sii_checksum(image, &checksum);
    return static_cast<uint16_t>((before[7] & 0xFF00) | checksum);
}

void JsonSlave(JsonWriter& json, int position, const ec_slave_info& info) {
    const bool identity = (info.parts_read & EC_PART_IDENTITY) != 0;
    json.Field("position", position).Field("vendor", info.vendor_id, identity);
    json.Field("product", info.product_code, identity);
    json.Field("serial", info.serial, (info.parts_read & EC_PART_SERIAL) != 0);
}

void JsonWords(JsonWriter& json, const char* key, const uint16_t* words, unsigned read_mask) {
    json.Key(key).BeginArray();
    for (unsigned n = 0; n < EC_SII_HEADER_WORDS; n++) {
        if ((read_mask & (1u << n)) != 0) json.Number(words[n]);
        else json.Null();
    }
    json.EndArray();
}

// A failure after the report was begun: the message on standard error and an "error"
// member in the report, which is then closed.
int FailInReport(Cli& cli, int code, const std::string& message) {
    cli.Note("ecalias: %s\n", message.c_str());
    cli.Json().Key("error").BeginObject().Field("code", code).Field("message", message).EndObject();
    cli.Json().EndObject();
    return kExitFailed;
}

bool CanWriteDirectory(const std::string& dir, std::string* why) {
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
        *why = dir + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        *why = dir + " is not a directory";
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *why = dir + ": " + strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int RunAliasGet(Cli& cli, const ParsedArgs& args) {
    SlaveSelector selector;
    if (int usage = ParseSlaveSelector(cli, args, true, &selector); usage != kExitDone) return usage;
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    int position = 0;
    if (int resolved = ResolveSlave(cli, selector, &position); resolved != kExitDone) return resolved;
    uint16_t sii_alias = 0, reg_alias = 0;
    const int sii = ec_sii_read(cli.master(), position, 4, 1, &sii_alias);
    const int reg = ec_reg_read(cli.master(), position, 0x0012, &reg_alias, sizeof reg_alias, 20000);
    if (sii != EC_OK && reg != EC_OK)
        return cli.Fail(sii, "slave " + std::to_string(position) + ": neither alias could be read: " + cli.Explain(reg));
    ec_slave_info info{};
    ec_slave_info_get(cli.master(), position, &info);
    const bool pending = sii == EC_OK && reg == EC_OK && sii_alias != reg_alias;
    JsonWriter& json = cli.Json();
    json.BeginObject();
    JsonSlave(json, position, info);
    json.Field("sii_alias", sii_alias, sii == EC_OK).Field("alias", reg_alias, reg == EC_OK);
    json.FieldBool("alias_pending", pending);
    if (sii != EC_OK || reg != EC_OK)
        json.Key("error").BeginObject().Field("code", sii != EC_OK ? sii : reg).Field(
            "message", sii != EC_OK ? "SII word 4 could not be read" : "register 0x0012 could not be read").EndObject();
    json.EndObject();
    cli.Out("slave %d: SII alias (word 4) %s, alias register 0x0012 %s%s\n", position,
            sii == EC_OK ? std::to_string(sii_alias).c_str() : "unreadable",
            reg == EC_OK ? std::to_string(reg_alias).c_str() : "unreadable",
            pending ? " (the SII alias takes effect after power cycle)" : "");
    if (sii != EC_OK || reg != EC_OK) {
        cli.Note("ecalias: slave %d: %s could not be read\n", position, sii != EC_OK ? "SII word 4" : "register 0x0012");
        return kExitFailed;
    }
    return kExitDone;
}

int RunAliasSet(Cli& cli, const ParsedArgs& args) {
    SlaveSelector selector;
    if (int usage = ParseSlaveSelector(cli, args, true, &selector); usage != kExitDone) return usage;
    uint64_t parsed = 0;
    const std::string value_text = args.operands()[0];
    if (!ParseNumber(value_text.c_str(), 65535, &parsed))
        return cli.Usage("bad alias \"" + value_text + "\": a whole number 0-65535 (decimal or 0x)");
    const uint16_t value = static_cast<uint16_t>(parsed);
    const bool force = args.Has("--force"), dry_run = args.Has("--dry-run");
    const std::string backup_dir = args.Value("--backup-dir") != nullptr ? args.Value("--backup-dir") : ".";
    std::string why;
    if (!dry_run && !CanWriteDirectory(backup_dir, &why))
        return cli.Usage("cannot write backups into " + why + "; choose another folder with --backup-dir DIR");
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    int position = 0;
    if (int resolved = ResolveSlave(cli, selector, &position); resolved != kExitDone) return resolved;
    ec_slave_info info{};
    ec_slave_info_get(cli.master(), position, &info);
    const std::string slave = "slave " + std::to_string(position);

    uint16_t before[EC_SII_HEADER_WORDS] = {};
    bool word7_read = false;
    if (!ReadHeader(cli, position, before, &word7_read))
        return cli.Fail(EC_EEEPROM_READ, slave + ": SII words 0-6 cannot be read, so no checksum can be made; "
                                             "nothing written (--force does not change this)");
    uint8_t expected = 0;
    const bool checksum_ok = ChecksumOk(before, word7_read, &expected);
    if (!checksum_ok && !force)
        return cli.Fail(EC_ECHECKSUM, slave + ": the stored SII checksum is wrong (word 7 " +
                                          (word7_read ? Hex(before[7], 4) : std::string("unreadable")) +
                                          ", words 0-6 give " + Hex(expected, 2) +
                                          "); nothing written. --force writes the alias with a right checksum");
    const uint16_t checksum_word = NewChecksumWord(before, value);

    JsonWriter& json = cli.Json();
    json.BeginObject();
    JsonSlave(json, position, info);
    json.Key("before").BeginObject().Field("alias", static_cast<unsigned>(before[4]));
    json.Field("checksum", before[7], word7_read).FieldBool("checksum_valid", checksum_ok);
    JsonWords(json, "words", before, word7_read ? 0xFF : 0x7F);
    json.EndObject();
    cli.Out("%s (%s)\n", slave.c_str(), Identity(info).c_str());
    cli.Out("before:    alias %u (word 4), checksum word 7 %s (%s)\n", before[4],
            word7_read ? Hex(before[7], 4).c_str() : "unreadable", checksum_ok ? "valid" : "WRONG");

    if (checksum_ok && before[4] == value) {
        json.FieldBool("dry_run", dry_run).Key("written").Null().FieldBool("unchanged", true);
        json.FieldBool("verified", true).EndObject();
        cli.Out("the SII alias is already %u: nothing written\n", value);
        return kExitDone;
    }
    json.Key("written").BeginObject().Field("alias", static_cast<unsigned>(value));
    json.Field("checksum", static_cast<unsigned>(checksum_word)).EndObject();
    json.FieldBool("unchanged", false).FieldBool("dry_run", dry_run);
    const std::string plan = "write: alias " + std::to_string(before[4]) + " -> " + std::to_string(value) +
                             " (word 4), checksum word 7 -> " + Hex(checksum_word, 4) + " on " + slave + " of " +
                             cli.adapter();
    if (dry_run) {
        json.EndObject();
        cli.Out("would %s\ndry run: nothing written\n", plan.c_str());
        return kExitDone;
    }
    if (!cli.Confirm(args, "about to " + plan)) return FailInReport(cli, EC_EINVAL, "not confirmed; nothing written");

    char backup[EC_PATH_BYTES];
    const int saved = ec_sii_backup(cli.master(), position, backup_dir.c_str(), backup, sizeof backup);
    if (saved != EC_OK)
        return FailInReport(cli, saved, slave + ": no backup, no write: " + cli.Explain(saved) + "; nothing written");
    json.Field("backup", backup);
    cli.Out("backup:    %s\n", backup);

    ec_alias_report report{};
    cli.HoldSignals();  // the two words are written together, or the report says why not
    const int set = ec_alias_set(cli.master(), position, value, force ? EC_FORCE : 0, &report);
    cli.Out("written:   alias %u (word 4)%s, checksum %s (word 7)%s\n", value,
            report.alias_acknowledged ? "" : " NOT ACKNOWLEDGED", Hex(report.checksum_written, 4).c_str(),
            report.checksum_acknowledged ? "" : " NOT WRITTEN");
    const bool alias_back = (report.after_read & (1u << 4)) != 0, checksum_back = (report.after_read & (1u << 7)) != 0;
    cli.Out("read back: alias %s, checksum %s: %s\n", alias_back ? std::to_string(report.after[4]).c_str() : "unreadable",
            checksum_back ? Hex(report.after[7], 4).c_str() : "unreadable",
            report.verified ? "verified" : "NOT VERIFIED");
    json.Key("read_back").BeginObject().Field("alias", report.after[4], alias_back);
    json.Field("checksum", report.after[7], checksum_back);
    JsonWords(json, "words", report.after, report.after_read);
    json.EndObject();
    json.FieldBool("alias_acknowledged", report.alias_acknowledged != 0);
    json.FieldBool("checksum_acknowledged", report.checksum_acknowledged != 0);
    json.Field("attempts", report.attempts).FieldBool("verified", report.verified != 0 && set == EC_OK);
    json.Field("alias_register", report.alias_register, report.register_read != 0);
    json.FieldBool("takes_effect_after_power_cycle", !report.register_shows_new);
    if (set != EC_OK)
        return FailInReport(cli, set, slave + ": " + cli.Explain(set) + AliasWriteLeft(report, position) +
                                          "; the backup is " + backup);
    json.EndObject();
    if (!report.register_shows_new)
        cli.Out("register 0x0012 still shows %s: the new alias takes effect after the slave is powered again\n",
                report.register_read ? std::to_string(report.alias_register).c_str() : "(unreadable)");
    return kExitDone;
}

namespace {

enum class RowResult { kProblem, kUnchanged, kToWrite, kVerified, kFailed, kNotDone };

const char* ResultName(RowResult result) {
    switch (result) {
    case RowResult::kProblem: return "refused";
    case RowResult::kUnchanged: return "unchanged";
    case RowResult::kToWrite: return "to write";
    case RowResult::kVerified: return "verified";
    case RowResult::kFailed: return "failed";
    default: return "not done";
    }
}

struct RowState {
    RowResult result = RowResult::kProblem;
    bool header_read = false;
    uint16_t current_alias = 0;
    std::string backup;
    std::string message;  // problems or the failure
};

// Reads a plan file whole: false with *error for an unreadable or oversized file.
bool ReadPlanFile(const std::string& path, std::string* text, std::string* error) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    char buffer[8192];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        text->append(buffer, got);
        if (text->size() > kMaxPlanBytes) {
            fclose(file);
            *error = path + " is larger than 1 MiB; this is not an alias plan";
            return false;
        }
    }
    const bool failed = ferror(file) != 0;
    const int error_number = errno;
    fclose(file);
    if (failed) {
        *error = "cannot read " + path + ": " + strerror(error_number);
        return false;
    }
    return true;
}

void PrintPlanTable(Cli& cli, const std::vector<PlanRow>& rows, const std::vector<RowState>& states,
                    const std::vector<ec_slave_info>& infos) {
    cli.Out("%-5s %-4s %-10s %-10s %-10s %-8s %-8s %s\n", "LINE", "POS", "VENDOR", "PRODUCT", "SERIAL", "CURRENT",
            "NEW", "RESULT");
    for (size_t r = 0; r < rows.size(); r++) {
        const PlanRow& row = rows[r];
        const RowState& state = states[r];
        const bool present = row.position <= infos.size();
        const ec_slave_info info = present ? infos[row.position - 1] : ec_slave_info{};
        const bool identity = present && (info.parts_read & EC_PART_IDENTITY) != 0;
        const bool serial = present && (info.parts_read & EC_PART_SERIAL) != 0;
        std::string result = ResultName(state.result);
        if (!state.message.empty()) result += ": " + state.message;
        cli.Out("%-5d %-4u %-10s %-10s %-10s %-8s %-8u %s\n", row.line, row.position,
                identity ? Hex(info.vendor_id, 8).c_str() : "-", identity ? Hex(info.product_code, 8).c_str() : "-",
                serial ? std::to_string(info.serial).c_str() : "-",
                state.header_read ? std::to_string(state.current_alias).c_str() : "-", row.alias, result.c_str());
    }
}

}  // namespace

int RunAliasPlan(Cli& cli, const ParsedArgs& args) {
    const std::string path = args.operands()[0];
    const bool apply = args.Has("--apply");
    std::string text, error;
    if (!ReadPlanFile(path, &text, &error)) return cli.Usage(error);
    std::vector<PlanRow> rows;
    if (!ParseAliasPlan(text, &rows, &error)) return cli.Usage(path + ": " + error);
    if (apply && !args.Has("--yes") && !isatty(STDIN_FILENO))
        return cli.Usage("standard input is not a terminal: add --yes to apply the plan");
    const std::string backup_dir = args.Value("--backup-dir") != nullptr ? args.Value("--backup-dir") : ".";
    if (apply && !CanWriteDirectory(backup_dir, &error))
        return cli.Usage("cannot write backups into " + error + "; choose another folder with --backup-dir DIR");
    cli.will_write = apply;
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;

    std::vector<ec_slave_info> infos(static_cast<size_t>(cli.slave_count()));
    std::vector<PlanSlave> slaves(infos.size());
    for (size_t s = 0; s < infos.size(); s++) {
        ec_slave_info_get(cli.master(), static_cast<int>(s + 1), &infos[s]);
        const ec_slave_info& info = infos[s];
        PlanSlave& slave = slaves[s];
        slave.position = static_cast<int>(s + 1);
        slave.identity_read = (info.parts_read & EC_PART_IDENTITY) != 0;
        slave.vendor = info.vendor_id;
        slave.product = info.product_code;
        slave.serial_read = (info.parts_read & EC_PART_SERIAL) != 0;
        slave.serial = info.serial;
        slave.sii_alias_read = (info.parts_read & EC_PART_SII_ALIAS) != 0;
        slave.sii_alias = info.sii_alias;
    }
    std::vector<std::vector<std::string>> problems;
    bool ok = CheckAliasPlan(rows, slaves, &problems);
    // Each planned slave's header must be readable with a right checksum, or the write
    // would be refused halfway through the plan. Every planned slave's words 0-7 are read
    // at once; where that fails, words 0-6 alone (word 7 may be the unreadable one).
    std::vector<RowState> states(rows.size());
    std::vector<std::array<uint16_t, EC_SII_HEADER_WORDS>> headers(rows.size());
    std::vector<bool> word7_read(rows.size(), false);
    for (uint32_t words : {static_cast<uint32_t>(EC_SII_HEADER_WORDS), static_cast<uint32_t>(EC_SII_HEADER_WORDS - 1)}) {
        std::vector<ec_sii_range> ranges;
        std::vector<size_t> owners;
        for (size_t r = 0; r < rows.size(); r++) {
            if (rows[r].position > infos.size() || states[r].header_read) continue;
            ranges.push_back(ec_sii_range{static_cast<int>(rows[r].position), 0, words, headers[r].data(), 0, 0, {}});
            owners.push_back(r);
        }
        if (ranges.empty()) break;
        ec_sii_read_many(cli.master(), ranges.data(), ranges.size());
        for (size_t k = 0; k < ranges.size(); k++) {
            if (ranges[k].status != EC_OK) continue;
            states[owners[k]].header_read = true;
            word7_read[owners[k]] = words == EC_SII_HEADER_WORDS;
        }
    }
    int to_write = 0;
    for (size_t r = 0; r < rows.size(); r++) {
        const PlanRow& row = rows[r];
        RowState& state = states[r];
        if (row.position <= infos.size()) {
            uint8_t expected = 0;
            if (!state.header_read) {
                problems[r].push_back("SII words 0-6 cannot be read");
            } else {
                state.current_alias = headers[r][4];
                if (!ChecksumOk(headers[r].data(), word7_read[r], &expected))
                    problems[r].push_back("the stored SII checksum is wrong; mend it with `ecalias alias set -p " +
                                          std::to_string(row.position) + " --force` first");
            }
        }
        if (!problems[r].empty()) {
            ok = false;
            state.result = RowResult::kProblem;
            for (const std::string& p : problems[r]) state.message += (state.message.empty() ? "" : "; ") + p;
        } else if (state.current_alias == row.alias) {
            state.result = RowResult::kUnchanged;
        } else {
            state.result = RowResult::kToWrite;
            to_write++;
        }
    }

    int status = kExitDone;
    int stopped_code = ok ? EC_OK : EC_EINVAL;
    if (!ok) {
        PrintPlanTable(cli, rows, states, infos);
        int bad = 0;
        for (const RowState& state : states) bad += state.result == RowResult::kProblem ? 1 : 0;
        cli.Note("ecalias: %s: %d of %zu rows have problems; nothing written\n", path.c_str(), bad, rows.size());
        status = kExitFailed;
    } else if (!apply) {
        PrintPlanTable(cli, rows, states, infos);
        cli.Out("dry run: %d of %zu rows would be written; add --apply to write them\n", to_write, rows.size());
    } else if (to_write > 0 &&
               !cli.Confirm(args, "about to write " + std::to_string(to_write) + " aliases on " + cli.adapter())) {
        for (RowState& state : states)
            if (state.result == RowResult::kToWrite) state.result = RowResult::kNotDone;
        PrintPlanTable(cli, rows, states, infos);
        cli.Note("ecalias: not confirmed; nothing written\n");
        stopped_code = EC_EINVAL;
        status = kExitFailed;
    } else {
        bool stopped = false;
        // Every row is written at once, in steps: the backups of every slave to write,
        // then every alias. Signals are held from here until the table is printed: one
        // that arrives before the aliases are written stops the plan there (nothing
        // written; backups made stay), one that arrives later waits until every pair of
        // words under way is written and read back.
        const SignalHold& hold = cli.HoldSignals();
        std::vector<size_t> writing;
        for (size_t r = 0; r < rows.size(); r++)
            if (states[r].result == RowResult::kToWrite) writing.push_back(r);
        auto stop_the_rest = [&]() {
            for (size_t r : writing)
                if (states[r].result == RowResult::kToWrite) states[r].result = RowResult::kNotDone;
        };
        auto interrupted = [&]() {
            if (!hold.Pending()) return false;
            stopped = true;
            stopped_code = EC_EINVAL;
            cli.Note("ecalias: interrupted; no more rows are written\n");
            stop_the_rest();
            return true;
        };
        if (!writing.empty() && !interrupted()) {
            std::vector<ec_sii_backup_entry> saved(writing.size());
            for (size_t k = 0; k < writing.size(); k++) saved[k].position = static_cast<int>(rows[writing[k]].position);
            ec_sii_backup_many(cli.master(), saved.data(), saved.size(), backup_dir.c_str());
            for (size_t k = 0; k < writing.size(); k++) {
                RowState& state = states[writing[k]];
                if (saved[k].status == EC_OK) {
                    state.backup = saved[k].path;
                    continue;
                }
                // No backup, no write; and with one slave's backup missing nothing is
                // written at all, as a line stops at its first failure.
                state.result = RowResult::kFailed;
                state.message =
                    "no backup, no write: " + Cli::ExplainEntry(saved[k].status, saved[k].position, saved[k].step);
                if (!stopped) stopped_code = saved[k].status;
                stopped = true;
            }
            if (stopped) stop_the_rest();
        }
        if (!writing.empty() && !stopped && !interrupted()) {
            std::vector<ec_alias_entry> entries(writing.size());
            for (size_t k = 0; k < writing.size(); k++) {
                entries[k].position = static_cast<int>(rows[writing[k]].position);
                entries[k].value = rows[writing[k]].alias;
            }
            ec_alias_set_many(cli.master(), entries.data(), entries.size(), 0);
            for (size_t k = 0; k < writing.size(); k++) {
                const ec_alias_entry& entry = entries[k];
                RowState& state = states[writing[k]];
                if (entry.status == EC_OK && entry.report.verified) {
                    state.result = RowResult::kVerified;
                    continue;
                }
                state.result = RowResult::kFailed;
                state.message = Cli::ExplainEntry(entry.status, entry.position, entry.step) +
                                AliasWriteLeft(entry.report, entry.position) + "; backup " + state.backup;
                if (!stopped) stopped_code = entry.status != EC_OK ? entry.status : EC_EVERIFY;
                stopped = true;
            }
        }
        PrintPlanTable(cli, rows, states, infos);
        if (stopped) {
            std::string not_done;
            for (size_t r = 0; r < rows.size(); r++)
                if (states[r].result == RowResult::kFailed || states[r].result == RowResult::kNotDone)
                    not_done += (not_done.empty() ? "" : ", ") + std::to_string(rows[r].line) + " (position " +
                                std::to_string(rows[r].position) + ")";
            cli.Note("ecalias: %s: stopped; rows not done (line numbers): %s\n", path.c_str(), not_done.c_str());
            status = kExitFailed;
        }
    }

    JsonWriter& json = cli.Json();
    json.BeginObject().Field("adapter", cli.adapter()).Field("file", path).FieldBool("applied", apply && ok);
    json.FieldBool("ok", status == kExitDone).Key("rows").BeginArray();
    for (size_t r = 0; r < rows.size(); r++) {
        const PlanRow& row = rows[r];
        const RowState& state = states[r];
        const bool present = row.position <= infos.size();
        const ec_slave_info info = present ? infos[row.position - 1] : ec_slave_info{};
        json.BeginObject().Field("line", row.line).Field("position", static_cast<unsigned>(row.position));
        json.Field("vendor", info.vendor_id, present && (info.parts_read & EC_PART_IDENTITY) != 0);
        json.Field("product", info.product_code, present && (info.parts_read & EC_PART_IDENTITY) != 0);
        json.Field("serial", info.serial, present && (info.parts_read & EC_PART_SERIAL) != 0);
        json.Field("current_alias", state.current_alias, state.header_read);
        json.Field("new_alias", static_cast<unsigned>(row.alias)).Field("result", ResultName(state.result));
        json.Key("problems").BeginArray();
        for (const std::string& p : problems[r]) json.String(p);
        json.EndArray();
        if (state.backup.empty()) json.Key("backup").Null();
        else json.Field("backup", state.backup);
        if (state.result == RowResult::kFailed) json.Field("message", state.message);
        else json.Key("message").Null();
        json.EndObject();
    }
    json.EndArray();
    if (status != kExitDone) {
        json.Key("error").BeginObject().Field("code", stopped_code);
        json.Field("message", ok ? "the plan stopped; rows not done: see the rows" : "rows have problems; nothing written");
        json.EndObject();
    }
    json.EndObject();
    return status;
}
