// ecalias sii dump | show | write: a slave's SII EEPROM saved, read in words, restored.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tool/cli/cli.h"
#include "tool/cli/hex_dump.h"
#include "tool/cli/image_file.h"
#include "tool/cli/sii_decode.h"
#include "tool/cli/signal_hold.h"

namespace {

std::string Hex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// -p POS or -p all. Returns kExitDone, or the usage error's status (reported).
int ParsePositionOrAll(Cli& cli, const ParsedArgs& args, bool* all, int* position) {
    const char* text = args.Value("--position");
    if (text == nullptr) return cli.Usage("which slave? give -p POS or -p all");
    *all = strcmp(text, "all") == 0;
    if (*all) return kExitDone;
    uint64_t value = 0;
    if (!ParseNumber(text, 65535, &value) || value == 0)
        return cli.Usage(std::string("bad slave position \"") + text + "\": a whole number from 1, or all");
    *position = static_cast<int>(value);
    return kExitDone;
}

int CheckPosition(Cli& cli, int position) {
    if (position <= cli.slave_count()) return kExitDone;
    return cli.Fail(EC_ENOSLAVE, "no slave at position " + std::to_string(position) + " (" +
                                     std::to_string(cli.slave_count()) + " slaves answer on " + cli.adapter() + ")");
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

bool CanWriteDirectory(const std::string& dir, std::string* why) {
    if (!IsDirectory(dir)) {
        *why = dir + (Exists(dir) ? " is not a directory" : ": no such directory");
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *why = dir + ": " + strerror(errno);
        return false;
    }
    return true;
}

// The file name of a slave's image in a `dump -p all` folder.
std::string DumpFileName(int position, const ec_slave_info& info) {
    char name[96];
    snprintf(name, sizeof name, "slave%03d-vendor%08x-product%08x-serial%08x.bin", position, info.vendor_id,
             info.product_code, info.serial);
    return name;
}

struct WordRange {
    bool given = false;
    uint32_t first = 0, last = 0;
};

int ParseWordRange(Cli& cli, const char* text, WordRange* range) {
    if (text == nullptr) return kExitDone;
    const char* dash = strchr(text, '-');
    uint64_t first = 0, last = 0;
    const std::string first_text = dash != nullptr ? std::string(text, dash) : std::string();
    if (dash == nullptr || !ParseNumber(first_text.c_str(), EC_SII_MAX_WORDS - 1, &first) ||
        !ParseNumber(dash + 1, EC_SII_MAX_WORDS - 1, &last) || last < first)
        return cli.Usage(std::string("bad word range \"") + text +
                         "\": FIRST-LAST, word numbers 0-32767 (decimal or 0x), FIRST not above LAST");
    range->given = true;
    range->first = static_cast<uint32_t>(first);
    range->last = static_cast<uint32_t>(last);
    return kExitDone;
}

// Reads a slave's image (or the range): EC_OK or the failing call's status.
int ReadWords(Cli& cli, int position, const WordRange& range, std::vector<uint16_t>* words) {
    if (range.given) {
        words->assign(range.last - range.first + 1, 0);
        return ec_sii_read(cli.master(), position, range.first, static_cast<uint32_t>(words->size()), words->data());
    }
    words->assign(EC_SII_MAX_WORDS, 0);
    size_t count = 0;
    const int status = ec_sii_read_image(cli.master(), position, words->data(), words->size(), &count);
    words->resize(status == EC_OK ? count : 0);
    return status;
}

// Every slave's image (or the range) at once. statuses[n] and messages[n] tell what
// became of slave n + 1; EC_OK when every read succeeded.
void ReadEverySlave(Cli& cli, const WordRange& range, std::vector<std::vector<uint16_t>>* words,
                    std::vector<int>* statuses, std::vector<std::string>* messages) {
    const size_t count = static_cast<size_t>(cli.slave_count());
    words->assign(count, {});
    statuses->assign(count, EC_OK);
    messages->assign(count, "");
    if (range.given) {
        std::vector<ec_sii_range> ranges(count);
        for (size_t n = 0; n < count; n++) {
            (*words)[n].assign(range.last - range.first + 1, 0);
            ranges[n] = ec_sii_range{static_cast<int>(n + 1), range.first, range.last - range.first + 1,
                                     (*words)[n].data(), 0, 0, {}};
        }
        ec_sii_read_many(cli.master(), ranges.data(), count);
        for (size_t n = 0; n < count; n++) {
            (*statuses)[n] = ranges[n].status;
            if (ranges[n].status != EC_OK) {
                (*words)[n].clear();
                (*messages)[n] = Cli::ExplainEntry(ranges[n].status, ranges[n].position, ranges[n].step);
            }
        }
        return;
    }
    // Most images are small: a first pass with room for 4096 words, then the larger ones
    // again with the room they need.
    constexpr size_t kFirstCapacity = 4096;
    std::vector<ec_sii_image_entry> images(count);
    for (size_t n = 0; n < count; n++) {
        (*words)[n].assign(kFirstCapacity, 0);
        images[n] = ec_sii_image_entry{static_cast<int>(n + 1), (*words)[n].data(), kFirstCapacity, 0, 0, {}};
    }
    ec_sii_read_image_many(cli.master(), images.data(), count);
    std::vector<ec_sii_image_entry> larger;
    std::vector<size_t> larger_owners;
    for (size_t n = 0; n < count; n++) {
        if (images[n].status != EC_ETOOBIG || images[n].count <= kFirstCapacity) continue;
        (*words)[n].assign(images[n].count, 0);
        larger.push_back(ec_sii_image_entry{images[n].position, (*words)[n].data(), images[n].count, 0, 0, {}});
        larger_owners.push_back(n);
    }
    if (!larger.empty()) {
        ec_sii_read_image_many(cli.master(), larger.data(), larger.size());
        for (size_t k = 0; k < larger.size(); k++) images[larger_owners[k]] = larger[k];
    }
    for (size_t n = 0; n < count; n++) {
        (*statuses)[n] = images[n].status;
        if (images[n].status == EC_OK) {
            (*words)[n].resize(images[n].count);
        } else {
            (*words)[n].clear();
            (*messages)[n] = Cli::ExplainEntry(images[n].status, images[n].position, images[n].step);
        }
    }
}

void JsonWordArray(JsonWriter& json, const std::vector<uint16_t>& words) {
    json.Key("words").BeginArray();
    for (uint16_t w : words) json.Number(w);
    json.EndArray();
}

}  // namespace

int RunSiiDump(Cli& cli, const ParsedArgs& args) {
    bool all = false;
    int position = 0;
    if (int usage = ParsePositionOrAll(cli, args, &all, &position); usage != kExitDone) return usage;
    WordRange range;
    if (int usage = ParseWordRange(cli, args.Value("--words"), &range); usage != kExitDone) return usage;
    const char* output = args.Value("--output");
    // Everything about the output is checked before anything is sent.
    if (output != nullptr && all) {
        if (Exists(output) && !IsDirectory(output))
            return cli.Usage(std::string(output) + " is not a directory: -p all -o takes a directory");
        if (!Exists(output) && mkdir(output, 0755) != 0)
            return cli.Usage(std::string("cannot create the directory ") + output + ": " + strerror(errno));
        std::string why;
        if (!CanWriteDirectory(output, &why)) return cli.Usage("cannot write into " + why);
    } else if (output != nullptr) {
        if (IsDirectory(output)) return cli.Usage(std::string(output) + " is a directory: -p POS -o takes a file name");
        if (Exists(output)) return cli.Usage(std::string(output) + " exists: choose another name or remove it first");
    }
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    if (!all && CheckPosition(cli, position) != kExitDone) return kExitFailed;

    const int first = all ? 1 : position, last = all ? cli.slave_count() : position;
    JsonWriter& json = cli.Json();
    json.BeginObject().Field("adapter", cli.adapter()).Key("slaves").BeginArray();
    int failures = 0;
    // Every slave's EEPROM is read at once; the report goes slave after slave.
    std::vector<std::vector<uint16_t>> every_words;
    std::vector<int> every_status;
    std::vector<std::string> every_message;
    std::vector<std::string> every_path, every_file_error;
    if (all) ReadEverySlave(cli, range, &every_words, &every_status, &every_message);
    if (all && output != nullptr) {
        // The files of the whole segment, flushed to disk together.
        std::vector<ImageFileJob> files;
        every_path.assign(every_words.size(), "");
        for (size_t n = 0; n < every_words.size(); n++) {
            if (every_status[n] != EC_OK) continue;
            ec_slave_info info{};
            ec_slave_info_get(cli.master(), static_cast<int>(n + 1), &info);
            every_path[n] = std::string(output) + "/" + DumpFileName(static_cast<int>(n + 1), info);
            files.push_back(ImageFileJob{every_path[n], every_words[n].data(), every_words[n].size()});
        }
        std::vector<std::string> errors;
        ImageFilesWrite(files, &errors);
        every_file_error.assign(every_words.size(), "");
        for (size_t n = 0, k = 0; n < every_words.size(); n++)
            if (every_status[n] == EC_OK) every_file_error[n] = errors[k++];
    }
    for (int n = first; n <= last; n++) {
        std::vector<uint16_t> words;
        int status = EC_OK;
        std::string explained;
        if (all) {
            const size_t index = static_cast<size_t>(n - 1);
            words.swap(every_words[index]);
            status = every_status[index];
            explained = every_message[index];
        } else {
            status = ReadWords(cli, n, range, &words);
            if (status != EC_OK) explained = cli.Explain(status);
        }
        json.BeginObject().Field("position", n).Field("first_word", range.first);
        if (status != EC_OK) {
            const std::string message = "slave " + std::to_string(n) + ": " + explained +
                                        (status == EC_EINVAL && range.given ? " (is the range inside the EEPROM?)" : "");
            cli.Note("ecalias: %s\n", message.c_str());
            json.Key("error").BeginObject().Field("code", status).Field("message", message).EndObject().EndObject();
            failures++;
            continue;
        }
        json.Field("word_count", static_cast<unsigned>(words.size()));
        if (output == nullptr) {
            JsonWordArray(json, words);
            if (all) cli.Out("slave %d:\n", n);
            cli.Out("%s", HexDumpWords(words.data(), words.size(), range.first).c_str());
            json.EndObject();
            continue;
        }
        std::string path = output;
        std::string error;
        bool written = false;
        if (all) {
            path = every_path[static_cast<size_t>(n - 1)];
            error = every_file_error[static_cast<size_t>(n - 1)];
            written = error.empty();
        } else {
            written = ImageFileWrite(path.c_str(), words.data(), words.size(), &error);
        }
        if (!written) {
            cli.Note("ecalias: slave %d: %s\n", n, error.c_str());
            json.Key("error").BeginObject().Field("code", EC_EFILE).Field("message", error).EndObject().EndObject();
            failures++;
            continue;
        }
        json.Field("file", path).EndObject();
        cli.Out("slave %d: %zu words (%zu bytes) from word %u -> %s\n", n, words.size(), 2 * words.size(), range.first,
                path.c_str());
    }
    json.EndArray().Field("failed", failures).EndObject();
    return failures == 0 ? kExitDone : kExitFailed;
}

int RunSiiShow(Cli& cli, const ParsedArgs& args) {
    const char* file = args.Value("--file");
    const bool by_position = args.Value("--position") != nullptr;
    if (file != nullptr && by_position) return cli.Usage("give -p POS or --file FILE, not both");
    if (file == nullptr && !by_position) return cli.Usage("which image? give -p POS or --file FILE");
    std::vector<uint16_t> words;
    std::string source;
    if (file != nullptr) {
        std::string error;
        if (!ImageFileRead(file, &words, &error)) return cli.Fail(EC_EFILE, error, kExitUsage);
        source = file;
    } else {
        SlaveSelector selector;
        if (int usage = ParseSlaveSelector(cli, args, false, &selector); usage != kExitDone) return usage;
        if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
        int position = 0;
        if (int resolved = ResolveSlave(cli, selector, &position); resolved != kExitDone) return resolved;
        const int status = ReadWords(cli, position, WordRange{}, &words);
        if (status != EC_OK)
            return cli.Fail(status, "slave " + std::to_string(position) + ": " + cli.Explain(status));
        source = "slave " + std::to_string(position) + " on " + cli.adapter();
    }
    const SiiDecoded decoded = SiiDecode(words.data(), words.size());
    cli.Json().BeginObject().Field("source", source).Key("sii").Raw(SiiRenderJson(decoded)).EndObject();
    cli.Out("%s:\n%s", source.c_str(), SiiRenderText(decoded).c_str());
    return kExitDone;
}

namespace {

struct RestoreJob {
    int position = 0;
    std::string file;
    std::vector<uint16_t> words;
};

std::string Describe(const ec_slave_info& info) {
    return "vendor " + Hex(info.vendor_id, 8) + " product " + Hex(info.product_code, 8) + " serial " +
           std::to_string(info.serial);
}

// The words of the slave's EEPROM that differ from the image, for a dry run. `read` holds
// the EEPROM's words when they were read already (a whole segment's at once), with the
// status of that read in *read_status.
int ListChanges(Cli& cli, const RestoreJob& job, JsonWriter& json, const std::vector<uint16_t>* read = nullptr,
                int read_status = EC_OK) {
    std::vector<uint16_t> current(job.words.size());
    if (read != nullptr) {
        if (read_status != EC_OK) return read_status;
        current = *read;
    } else {
        const int status =
            ec_sii_read(cli.master(), job.position, 0, static_cast<uint32_t>(current.size()), current.data());
        if (status != EC_OK) return status;
    }
    json.Key("changes").BeginArray();
    unsigned changes = 0;
    for (size_t n = 0; n < current.size(); n++) {
        if (current[n] == job.words[n]) continue;
        changes++;
        json.BeginObject().Field("word", static_cast<unsigned>(n)).Field("from", static_cast<unsigned>(current[n]));
        json.Field("to", static_cast<unsigned>(job.words[n])).EndObject();
        cli.Out("  word 0x%04zx: 0x%04x -> 0x%04x\n", n, current[n], job.words[n]);
    }
    json.EndArray().Field("words_differing", changes);
    cli.Out("slave %d: %u of %zu words would change; dry run: nothing written\n", job.position, changes,
            job.words.size());
    return EC_OK;
}

// A slave's restore that did not complete: the message on standard error and an
// "error" member closing the slave's object in the report. Returns false.
bool FailSlave(Cli& cli, int code, const std::string& message) {
    cli.Note("ecalias: %s\n", message.c_str());
    cli.Json().Key("error").BeginObject().Field("code", code).Field("message", message).EndObject().EndObject();
    return false;
}

// The checks of an unforced restore: EC_OK, or the refusal with the message to show.
int CheckForRestore(Cli& cli, const RestoreJob& job, const ec_slave_info& info, std::string* message) {
    const std::string slave = "slave " + std::to_string(job.position);
    const int checked = ec_sii_check_image(cli.master(), job.position, job.words.data(), job.words.size());
    if (checked == EC_ECHECKSUM) {
        uint8_t expected = 0;
        ec_sii_checksum(job.words.data(), &expected);
        *message = slave + ": the image's checksum is wrong (word 7 " + Hex(job.words[7], 4) + ", words 0-6 give " +
                   Hex(expected, 2) + "); nothing written. --force writes it as it is";
    } else if (checked == EC_EIDENTITY) {
        const uint32_t vendor = job.words.size() >= 12 ? job.words[8] | (uint32_t{job.words[9]} << 16) : 0;
        const uint32_t product = job.words.size() >= 12 ? job.words[10] | (uint32_t{job.words[11]} << 16) : 0;
        *message = slave + ": the image is for vendor " + Hex(vendor, 8) + " product " + Hex(product, 8) +
                   ", the slave is " + Describe(info) + "; nothing written. --force writes it all the same";
    } else if (checked != EC_OK) {
        *message = slave + ": " + cli.Explain(checked) + "; nothing written";
    }
    return checked;
}

// Reports what a restore did into the slave's open object; true when it completed.
// `explained` is the failure as one English line.
bool ReportRestore(Cli& cli, const RestoreJob& job, int status, const std::string& explained,
                   const ec_sii_restore_report& report) {
    JsonWriter& json = cli.Json();
    const std::string slave = "slave " + std::to_string(job.position);
    json.Field("words_compared", report.words_compared).Field("words_differing", report.words_differing);
    json.Field("words_written", report.words_written).Field("words_verified", report.words_verified);
    if (report.backup_path[0] != '\0') json.Field("backup", report.backup_path);
    else json.Key("backup").Null();
    if (report.backup_path[0] != '\0') cli.Out("backup:   %s\n", report.backup_path);
    if (status != EC_OK) {
        json.Field("first_failed_word", report.first_failed_word, report.first_failed_word >= 0);
        std::string message = slave + ": " + explained;
        if (report.first_failed_word >= 0)
            message += "; word " + Hex(static_cast<uint32_t>(report.first_failed_word), 4) + " is the first not " +
                       (status == EC_EVERIFY ? "verified" : "written") + " (" + std::to_string(report.words_written) +
                       " written, " + std::to_string(report.words_verified) + " verified before it)";
        if (report.backup_path[0] != '\0')
            message += "; the backup is " + std::string(report.backup_path) +
                       "; run the same sii write again to finish once the slave answers";
        else
            message += "; nothing written";
        cli.Out("written:  %u of %u words, %u verified: FAILED\n", report.words_written, report.words_differing,
                report.words_verified);
        return FailSlave(cli, status, message);
    }
    json.Key("first_failed_word").Null().FieldBool("verified", true).EndObject();
    if (report.words_differing == 0)
        cli.Out("the EEPROM already holds this image: nothing written\n");
    else
        cli.Out("written:  %u words, %u verified\n", report.words_written, report.words_verified);
    return true;
}

void BeginSlaveReport(Cli& cli, const RestoreJob& job, ec_slave_info* info) {
    ec_slave_info_get(cli.master(), job.position, info);
    cli.Json().BeginObject().Field("position", job.position).Field("file", job.file);
    cli.Out("slave %d (%s) <- %s (%zu words)\n", job.position, Describe(*info).c_str(), job.file.c_str(),
            job.words.size());
}

// One restore, reported; true when it completed. *holding is set once signals are held.
bool Restore(Cli& cli, const ParsedArgs& args, const RestoreJob& job, const std::string& backup_dir, bool* holding,
             const std::vector<uint16_t>* read = nullptr, int read_status = EC_OK,
             const std::string& read_failure = "") {
    JsonWriter& json = cli.Json();
    const unsigned force = args.Has("--force") ? EC_FORCE : 0;
    const std::string slave = "slave " + std::to_string(job.position);
    ec_slave_info info{};
    BeginSlaveReport(cli, job, &info);
    if (force == 0) {
        std::string message;
        const int checked = CheckForRestore(cli, job, info, &message);
        if (checked != EC_OK) return FailSlave(cli, checked, message);
    }
    if (args.Has("--dry-run")) {
        const int listed = ListChanges(cli, job, json, read, read_status);
        if (listed != EC_OK)
            return FailSlave(cli, listed,
                             slave + ": " + (read != nullptr ? read_failure : cli.Explain(listed)) + "; nothing written");
        json.EndObject();
        return true;
    }
    if (!args.Has("--yes")) {
        ec_sii_restore_report preview{};
        const int compared = ec_sii_restore(cli.master(), job.position, job.words.data(), job.words.size(),
                                             force | EC_DRY_RUN, backup_dir.c_str(), &preview);
        if (compared != EC_OK)
            return FailSlave(cli, compared, slave + ": " + cli.Explain(compared) + "; nothing written");
        if (!cli.Confirm(args, "about to write " + std::to_string(preview.words_differing) + " words of " + job.file +
                                   " into " + slave + " on " + cli.adapter()))
            return FailSlave(cli, EC_EINVAL, "not confirmed; nothing written");
    }
    // From here on an interruption waits until the report is printed (a header cut between
    // word 4 and word 7 would keep the slave in INIT); not during the question above.
    cli.HoldSignals();
    *holding = true;
    ec_sii_restore_report report{};
    const int status = ec_sii_restore(cli.master(), job.position, job.words.data(), job.words.size(), force,
                                      backup_dir.c_str(), &report);
    return ReportRestore(cli, job, status, status == EC_OK ? "" : cli.Explain(status), report);
}

// A whole segment restored at once: the images judged, one question on a terminal, then
// every slave's restore in one many-slave call (compare, backups, runs of words written
// and read back, each step for all slaves together). Signals are held from the call on
// until the report is printed: the segment's restore is one step, so an interruption
// waits for every slave's. Returns the number of slaves whose restore did not complete.
int RestoreEverySlave(Cli& cli, const ParsedArgs& args, const std::vector<RestoreJob>& jobs,
                      const std::string& backup_dir) {
    const unsigned force = args.Has("--force") ? EC_FORCE : 0;
    std::vector<ec_slave_info> infos(jobs.size());
    std::vector<int> refused(jobs.size(), EC_OK);
    std::vector<std::string> refusals(jobs.size());
    std::vector<ec_sii_restore_entry> entries;
    std::vector<size_t> owners;
    for (size_t n = 0; n < jobs.size(); n++) {
        ec_slave_info_get(cli.master(), jobs[n].position, &infos[n]);
        if (force == 0) refused[n] = CheckForRestore(cli, jobs[n], infos[n], &refusals[n]);
        if (refused[n] != EC_OK) continue;
        entries.push_back(ec_sii_restore_entry{jobs[n].position, jobs[n].words.data(), jobs[n].words.size(), 0, {}, {}});
        owners.push_back(n);
    }
    bool confirmed = true;
    if (!args.Has("--yes") && !entries.empty()) {
        std::vector<ec_sii_restore_entry> preview = entries;
        ec_sii_restore_many(cli.master(), preview.data(), preview.size(), force | EC_DRY_RUN, backup_dir.c_str());
        unsigned words = 0, slaves = 0;
        for (const ec_sii_restore_entry& e : preview) {
            words += e.report.words_differing;
            slaves += e.report.words_differing > 0 ? 1 : 0;
        }
        confirmed = cli.Confirm(args, "about to write " + std::to_string(words) + " words into " +
                                          std::to_string(slaves) + " slaves on " + cli.adapter());
    }
    if (confirmed && !entries.empty()) {
        cli.HoldSignals();
        ec_sii_restore_many(cli.master(), entries.data(), entries.size(), force, backup_dir.c_str());
    }
    int failures = 0;
    size_t next = 0;
    for (size_t n = 0; n < jobs.size(); n++) {
        ec_slave_info info{};
        BeginSlaveReport(cli, jobs[n], &info);
        if (refused[n] != EC_OK) {
            failures += FailSlave(cli, refused[n], refusals[n]) ? 0 : 1;
            continue;
        }
        const ec_sii_restore_entry& e = entries[next++];
        if (!confirmed) {
            failures += FailSlave(cli, EC_EINVAL, "not confirmed; nothing written") ? 0 : 1;
            continue;
        }
        const std::string explained = e.status == EC_OK ? "" : Cli::ExplainEntry(e.status, e.position, e.step);
        failures += ReportRestore(cli, jobs[n], e.status, explained, e.report) ? 0 : 1;
    }
    return failures;
}

// The images of a `dump -p all` folder: every *.bin file, read and checked.
int ReadFolder(Cli& cli, const std::string& dir, std::vector<RestoreJob>* images) {
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return cli.Usage("cannot read the directory " + dir + ": " + strerror(errno));
    std::vector<std::string> names;
    while (dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0) names.push_back(name);
    }
    closedir(folder);
    if (names.empty()) return cli.Usage(dir + " holds no .bin image files (as `ecalias sii dump -p all -o DIR` writes)");
    for (const std::string& name : names) {
        RestoreJob job;
        job.file = dir + "/" + name;
        std::string error;
        if (!ImageFileRead(job.file.c_str(), &job.words, &error)) return cli.Fail(EC_EFILE, error, kExitUsage);
        images->push_back(std::move(job));
    }
    return kExitDone;
}

uint32_t ImageLong(const std::vector<uint16_t>& words, size_t at) {
    return at + 1 < words.size() ? words[at] | (static_cast<uint32_t>(words[at + 1]) << 16) : 0;
}

}  // namespace

int RunSiiWrite(Cli& cli, const ParsedArgs& args) {
    bool all = false;
    int position = 0;
    if (int usage = ParsePositionOrAll(cli, args, &all, &position); usage != kExitDone) return usage;
    const std::string source = args.operands()[0];
    const std::string backup_dir = args.Value("--backup-dir") != nullptr ? args.Value("--backup-dir") : ".";
    std::string why;
    if (!args.Has("--dry-run") && !CanWriteDirectory(backup_dir, &why))
        return cli.Usage("cannot write backups into " + why + "; choose another folder with --backup-dir DIR");
    std::vector<RestoreJob> images;
    if (all) {
        if (!IsDirectory(source)) return cli.Usage(source + " is not a directory: -p all takes a `sii dump -p all` folder");
        if (int usage = ReadFolder(cli, source, &images); usage != kExitDone) return usage;
    } else {
        RestoreJob job;
        job.file = source;
        std::string error;
        if (!ImageFileRead(source.c_str(), &job.words, &error)) return cli.Fail(EC_EFILE, error, kExitUsage);
        images.push_back(std::move(job));
    }
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;

    std::vector<RestoreJob> jobs;
    if (!all) {
        if (CheckPosition(cli, position) != kExitDone) return kExitFailed;
        images[0].position = position;
        jobs.push_back(std::move(images[0]));
    } else {
        // Every slave gets the one image whose identity and serial are its own; anything
        // else stops the restore before a word is written.
        std::string problems;
        for (int n = 1; n <= cli.slave_count(); n++) {
            ec_slave_info info{};
            ec_slave_info_get(cli.master(), n, &info);
            if ((info.parts_read & (EC_PART_IDENTITY | EC_PART_SERIAL)) != (EC_PART_IDENTITY | EC_PART_SERIAL)) {
                problems += "\n  slave " + std::to_string(n) + ": its identity could not be read";
                continue;
            }
            int found = -1, matches = 0;
            for (size_t i = 0; i < images.size(); i++) {
                const std::vector<uint16_t>& w = images[i].words;
                if (ImageLong(w, 8) == info.vendor_id && ImageLong(w, 10) == info.product_code &&
                    ImageLong(w, 14) == info.serial) {
                    found = static_cast<int>(i);
                    matches++;
                }
            }
            if (matches != 1) {
                problems += "\n  slave " + std::to_string(n) + " (" + Describe(info) + "): " +
                            (matches == 0 ? "no image in " + source : std::to_string(matches) + " images match");
                continue;
            }
            RestoreJob job = images[static_cast<size_t>(found)];
            job.position = n;
            jobs.push_back(std::move(job));
        }
        if (!problems.empty())
            return cli.Fail(EC_EIDENTITY, "the folder does not match the segment; nothing written:" + problems);
    }

    JsonWriter& json = cli.Json();
    json.BeginObject().Field("adapter", cli.adapter()).FieldBool("dry_run", args.Has("--dry-run"));
    json.Key("slaves").BeginArray();
    int failures = 0;
    bool holding = false;
    if (all && !args.Has("--dry-run")) {
        failures = RestoreEverySlave(cli, args, jobs, backup_dir);
        json.EndArray().Field("failed", failures).EndObject();
        return failures == 0 ? kExitDone : kExitFailed;
    }
    // A dry run of a whole segment reads every slave's EEPROM at once.
    std::vector<std::vector<uint16_t>> current;
    std::vector<ec_sii_range> ranges;
    if (all && args.Has("--dry-run") && !jobs.empty()) {
        current.resize(jobs.size());
        for (size_t n = 0; n < jobs.size(); n++) {
            current[n].assign(jobs[n].words.size(), 0);
            ranges.push_back(ec_sii_range{jobs[n].position, 0, static_cast<uint32_t>(current[n].size()),
                                          current[n].data(), 0, 0, {}});
        }
        ec_sii_read_many(cli.master(), ranges.data(), ranges.size());
    }
    for (size_t n = 0; n < jobs.size(); n++) {
        if (!ranges.empty()) {
            const ec_sii_range& r = ranges[n];
            const std::string failure = r.status == EC_OK ? "" : Cli::ExplainEntry(r.status, r.position, r.step);
            if (!Restore(cli, args, jobs[n], backup_dir, &holding, &current[n], r.status, failure)) failures++;
            continue;
        }
        // An interruption during a write stops the line before the next slave.
        if (holding && cli.HoldSignals().Pending()) {
            std::string left;
            for (size_t k = n; k < jobs.size(); k++) left += (k > n ? ", " : "") + std::to_string(jobs[k].position);
            const std::string message = "interrupted: slave(s) " + left + " not restored";
            cli.Note("ecalias: %s\n", message.c_str());
            json.EndArray().Field("failed", failures + static_cast<int>(jobs.size() - n));
            json.Key("error").BeginObject().Field("code", EC_EINVAL).Field("message", message).EndObject().EndObject();
            return kExitFailed;
        }
        if (!Restore(cli, args, jobs[n], backup_dir, &holding)) failures++;
    }
    json.EndArray().Field("failed", failures).EndObject();
    return failures == 0 ? kExitDone : kExitFailed;
}
