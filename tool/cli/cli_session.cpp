// What every command shares: output, errors, the adapter choice, open and scan, and the
// confirmation before a write.
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <vector>

#include "tool/cli/cli.h"
#include "tool/cli/signal_hold.h"

Cli::Cli(FILE* out, FILE* err) : out_(out), err_(err) {}

Cli::~Cli() {
    if (master_ != nullptr) ec_close(master_);
}

void Cli::Out(const char* format, ...) {
    if (json) return;
    va_list list;
    va_start(list, format);
    vfprintf(out_, format, list);
    va_end(list);
}

void Cli::Note(const char* format, ...) {
    // What was printed before comes first, also when both go to one file.
    fflush(out_);
    va_list list;
    va_start(list, format);
    vfprintf(err_, format, list);
    va_end(list);
}

int Cli::Fail(int code, const std::string& message, int exit_status) {
    fflush(out_);
    fprintf(err_, "ecalias: %s\n", message.c_str());
    if (json) {
        json_.Clear();
        json_.BeginObject().Key("error").BeginObject();
        json_.Field("code", code).Field("message", message);
        json_.EndObject().EndObject();
        json_failed_ = true;
    }
    return exit_status;
}

int Cli::Usage(const std::string& message) {
    const std::string hint =
        command != nullptr ? std::string("; see: ecalias ") + command->family +
                                 (command->name != nullptr ? std::string(" ") + command->name : std::string()) +
                                 " --help"
                           : std::string("; see: ecalias --help");
    return Fail(EC_EINVAL, message + hint, kExitUsage);
}

std::string Cli::Explain(int status) const {
    std::string text = ec_strerror(status);
    if (!text.empty() && text.back() == '.') text.pop_back();
    ec_error_detail detail{};
    if (ec_last_error(master_, &detail) == EC_OK && detail.code == status) {
        if (detail.position > 0) text += " (slave " + std::to_string(detail.position);
        if (detail.step[0] != '\0') text += std::string(detail.position > 0 ? ", " : " (") + detail.step;
        if (detail.position > 0 || detail.step[0] != '\0') text += ")";
        if (detail.sdo_abort_code != 0) {
            char code[16];
            snprintf(code, sizeof code, "0x%08X", detail.sdo_abort_code);
            text += std::string(": abort ") + code + " " + detail.sdo_abort_text;
        }
        if (detail.adapter_text[0] != '\0') text += std::string(": ") + detail.adapter_text;
    }
    return text;
}

std::string Cli::ExplainEntry(int status, int position, const char* step) {
    std::string text = ec_strerror(status);
    if (!text.empty() && text.back() == '.') text.pop_back();
    text += " (slave " + std::to_string(position);
    if (step[0] != '\0') text += std::string(", ") + step;
    return text + ")";
}

namespace {

// The sentence that tells how to fix a failed open.
std::string OpenFix(int status, const char* adapter) {
    switch (status) {
    case EC_EPERM:
        return "; grant the capture permission with `sudo setcap cap_net_raw,cap_net_admin+ep $(command -v "
               "ecalias)` or run as root";
    case EC_EINUSE: return "; close the other program using it, or choose another adapter with -i";
    case EC_ENOADAPTER:
        return strncmp(adapter, "sim:", 4) == 0 ? "; see `ecsim --help` for the options a sim: segment takes"
                                                 : "; `ecalias adapters` lists the adapters";
    default: return "";
    }
}

}  // namespace

int Cli::OpenScanned(bool require_slaves) {
    if (iface.empty()) {
        std::vector<ec_adapter_info> adapters(64);
        size_t count = 0;
        const int listed = ec_adapters(adapters.data(), adapters.size(), &count);
        if (listed != EC_OK)
            return Fail(listed, std::string("cannot list the adapters: ") + ec_strerror(listed) +
                                    "; name one with -i IF");
        if (count < adapters.size()) adapters.resize(count);
        std::vector<std::string> with_slaves;
        bool permission_missing = false;
        for (const ec_adapter_info& a : adapters) {
            if (a.status == EC_OK && a.slaves > 0) with_slaves.push_back(a.name);
            if (a.status == EC_EPERM) permission_missing = true;
        }
        if (with_slaves.empty()) {
            std::string message = "no slaves answer on any adapter";
            if (permission_missing) message += OpenFix(EC_EPERM, "");
            else message += "; check the cable and power, or name the adapter with -i IF (`ecalias adapters` lists them)";
            return Fail(EC_ENOSLAVE, message);
        }
        if (with_slaves.size() > 1 && (will_write || (command != nullptr && command->writes))) {
            std::string names;
            for (const std::string& name : with_slaves) names += (names.empty() ? "" : ", ") + name;
            return Fail(EC_EINVAL, "slaves answer on more than one adapter (" + names +
                                       "); name the one to write with -i IF");
        }
        iface = with_slaves.front();
    }
    adapter_ = iface;
    const int opened = ec_open(iface.c_str(), &master_);
    if (opened != EC_OK) {
        ec_error_detail detail{};
        ec_last_error(nullptr, &detail);
        std::string message = "cannot open " + iface + ": " + ec_strerror(opened);
        if (detail.adapter_text[0] != '\0') message += std::string(" (") + detail.adapter_text + ")";
        return Fail(opened, message + OpenFix(opened, iface.c_str()));
    }
    int count = 0;
    const int scanned = ec_scan(master_, &count);
    if (scanned == EC_ENOFRAME)
        return Fail(scanned, "no slaves answer on " + iface +
                                 " (no frame came back); check the cable and the slaves' power");
    if (scanned != EC_OK) return Fail(scanned, "scan of " + iface + " failed: " + Explain(scanned));
    slave_count_ = count;
    if (require_slaves && count == 0)
        return Fail(EC_ENOSLAVE, "no slaves answer on " + iface + "; check the cable and the slaves' power");
    return kExitDone;
}

bool Cli::Confirm(const ParsedArgs& args, const std::string& what) {
    if (args.Has("--dry-run") || args.Has("--yes")) return true;
    // The parser refused to start without --yes off a terminal; check again all the same.
    if (!isatty(STDIN_FILENO)) return false;
    fprintf(err_, "%s\nproceed? [y/N] ", what.c_str());
    fflush(err_);
    char answer[32];
    if (fgets(answer, sizeof answer, stdin) == nullptr) return false;
    return (answer[0] == 'y' || answer[0] == 'Y') &&
           (answer[1] == '\n' || answer[1] == '\0' || strcmp(answer + 1, "es\n") == 0 ||
            strcmp(answer + 1, "ES\n") == 0);
}

const SignalHold& Cli::HoldSignals() {
    if (!signal_hold_) signal_hold_ = std::make_unique<SignalHold>();
    return *signal_hold_;
}

void Cli::Finish() {
    if (json && (json_failed_ || json_.Complete())) fprintf(out_, "%s\n", json_.text().c_str());
    fflush(out_);
    fflush(err_);
    signal_hold_.reset();
}
