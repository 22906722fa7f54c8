// ecalias state: each slave's AL state and status code with its meaning; requesting a
// state and waiting for it (bounded); acknowledging an error indication.
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tool/cli/cli.h"

namespace {

constexpr uint16_t kRegAlControl = 0x0120;
constexpr int kRegisterTimeoutUs = 20000;
constexpr uint64_t kDefaultTimeoutMs = 5000;

bool ParseState(const std::string& word, uint16_t* state) {
    static const struct {
        const char* name;
        uint16_t state;
    } kStates[] = {{"init", EC_STATE_INIT}, {"preop", EC_STATE_PREOP}, {"safeop", EC_STATE_SAFEOP}, {"op", EC_STATE_OP}};
    for (const auto& s : kStates)
        if (strcasecmp(word.c_str(), s.name) == 0) {
            *state = s.state;
            return true;
        }
    return false;
}

std::string StateText(uint16_t al_state) {
    const char* name = AlStateName(al_state);
    char text[16];
    snprintf(text, sizeof text, "0x%02x", al_state & 0x0F);
    return std::string(name != nullptr ? name : text) + ((al_state & EC_STATE_ERROR) != 0 ? "+ERR" : "");
}

// One slave's line and JSON object; false when its state could not be read.
bool Report(Cli& cli, int position, const uint16_t* requested) {
    uint16_t state = 0, code = 0;
    const int status = ec_state_read(cli.master(), position, &state, &code);
    JsonWriter& json = cli.Json();
    json.BeginObject().Field("position", position);
    if (status != EC_OK) {
        json.Key("state").Null().Key("error").Null().Key("status_code").Null().Key("status_text").Null();
        if (requested != nullptr) json.FieldBool("reached", false);
        json.EndObject();
        cli.Out("%-4d %-10s the AL state could not be read: %s\n", position, "?", cli.Explain(status).c_str());
        return false;
    }
    const char* name = AlStateName(state);
    if (name != nullptr) json.Field("state", name);
    else json.Key("state").Null();
    json.FieldBool("error", (state & EC_STATE_ERROR) != 0);
    json.Field("status_code", static_cast<unsigned>(code)).Field("status_text", ec_al_status_text(code));
    const bool reached = requested == nullptr || ((state & 0x0F) == *requested && (state & EC_STATE_ERROR) == 0);
    if (requested != nullptr) json.FieldBool("reached", reached);
    json.EndObject();
    cli.Out("%-4d %-10s 0x%04x %s%s\n", position, StateText(state).c_str(), code, ec_al_status_text(code),
            reached ? "" : "  (NOT REACHED)");
    return reached;
}

// Acknowledges the error indication: the current state with the acknowledge bit.
int Acknowledge(Cli& cli, int position) {
    uint16_t state = 0;
    int status = ec_state_read(cli.master(), position, &state, nullptr);
    if (status != EC_OK) return status;
    const uint8_t control[2] = {static_cast<uint8_t>((state & 0x0F) | EC_STATE_ERROR), 0};
    return ec_reg_write(cli.master(), position, kRegAlControl, control, sizeof control, kRegisterTimeoutUs);
}

}  // namespace

int RunState(Cli& cli, const ParsedArgs& args) {
    const char* position_text = args.Value("--position");
    bool all = position_text == nullptr || strcmp(position_text, "all") == 0;
    uint64_t number = 0;
    if (!all && (!ParseNumber(position_text, 65535, &number) || number == 0))
        return cli.Usage(std::string("bad slave position \"") + position_text + "\": a whole number from 1, or all");
    uint16_t requested = 0;
    const bool change = !args.operands().empty();
    if (change && !ParseState(args.operands()[0], &requested))
        return cli.Usage("unknown state \"" + args.operands()[0] + "\": init, preop, safeop or op");
    const bool ack = args.Has("--ack");
    uint64_t timeout_ms = kDefaultTimeoutMs;
    if (args.Value("--timeout") != nullptr && !ParseNumber(args.Value("--timeout"), 600000, &timeout_ms))
        return cli.Usage(std::string("bad timeout \"") + args.Value("--timeout") + "\": milliseconds, 0-600000");
    const bool writes = change || ack;
    const bool dry_run = args.Has("--dry-run");
    if (writes && !dry_run && !args.Has("--yes") && !isatty(STDIN_FILENO))
        return cli.Usage("standard input is not a terminal: add --yes to change states (or --dry-run)");
    // A state change is a write: with slaves on several adapters, the choice must be made.
    CommandSpec writing{};
    if (writes && cli.command != nullptr) {
        writing = *cli.command;
        writing.writes = true;
        cli.command = &writing;
    }
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    const int first = all ? 1 : static_cast<int>(number);
    const int last = all ? cli.slave_count() : static_cast<int>(number);
    if (!all && first > cli.slave_count())
        return cli.Fail(EC_ENOSLAVE, "no slave at position " + std::to_string(first) + " (" +
                                         std::to_string(cli.slave_count()) + " slaves answer on " + cli.adapter() + ")");

    JsonWriter& json = cli.Json();
    json.BeginObject().Field("adapter", cli.adapter());
    if (change) json.Field("requested", AlStateName(requested));
    else json.Key("requested").Null();
    json.FieldBool("acknowledge", ack).FieldBool("dry_run", dry_run);
    const std::string targets = all ? "every slave" : "slave " + std::to_string(first);
    const std::string plan = std::string(ack ? "acknowledge the error indication of " + targets : "") +
                             (ack && change ? " and " : "") +
                             (change ? std::string("request ") + AlStateName(requested) + " of " + targets : "") +
                             " on " + cli.adapter();
    int status = EC_OK;
    if (writes && dry_run) {
        cli.Out("would %s\ndry run: nothing written\n", plan.c_str());
    } else if (writes) {
        if (!cli.Confirm(args, "about to " + plan)) return cli.Fail(EC_EINVAL, "not confirmed; nothing written");
        for (int n = first; ack && n <= last; n++) {
            const int acked = Acknowledge(cli, n);
            if (acked != EC_OK) {
                cli.Note("ecalias: slave %d: acknowledge failed: %s\n", n, cli.Explain(acked).c_str());
                if (status == EC_OK) status = acked;
            }
        }
        if (change) {
            const int asked = ec_state_request(cli.master(), all ? 0 : first, requested,
                                               static_cast<int>(timeout_ms * 1000));
            if (asked != EC_OK && status == EC_OK) status = asked;
        }
    }
    cli.Out("%-4s %-10s %-6s %s\n", "POS", "STATE", "CODE", "MEANING");
    json.Key("slaves").BeginArray();
    int not_reached = 0;
    for (int n = first; n <= last; n++)
        if (!Report(cli, n, change && !dry_run ? &requested : nullptr)) not_reached++;
    json.EndArray();
    const bool failed = (writes && !dry_run && status != EC_OK) || not_reached > 0;
    json.FieldBool("ok", !failed);
    if (!failed) {
        json.EndObject();
        return kExitDone;
    }
    std::string message;
    if (change && !dry_run)
        message = "the requested state " + std::string(AlStateName(requested)) + " was not reached by " +
                  std::to_string(not_reached) + " slave(s)" + (status != EC_OK ? ": " + cli.Explain(status) : "");
    else if (not_reached > 0)
        message = "the AL state of " + std::to_string(not_reached) + " slave(s) could not be read";
    else
        message = "acknowledge failed: " + cli.Explain(status);
    cli.Note("ecalias: %s\n", message.c_str());
    json.Key("error").BeginObject().Field("code", status != EC_OK ? status : EC_ESTATE).Field("message", message);
    json.EndObject().EndObject();
    return kExitFailed;
}
