// ecalias adapters, ecalias list: what is on the wire.
#include <string>
#include <vector>

#include "tool/cli/cli.h"

namespace {

std::string HexOrUnknown(uint32_t value, bool known, int digits) {
    if (!known) return "?";
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

std::string DecimalOrUnknown(uint32_t value, bool known) { return known ? std::to_string(value) : "?"; }

// A name read from a slave's EEPROM, safe for a terminal: control characters (escape
// sequences among them) are shown as '?'.
std::string PrintableName(const char* name) {
    std::string text = name;
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

}  // namespace

int RunAdapters(Cli& cli, const ParsedArgs&) {
    std::vector<ec_adapter_info> adapters(32);
    size_t count = 0;
    int listed = ec_adapters(adapters.data(), adapters.size(), &count);
    if (listed == EC_OK && count > adapters.size()) {
        adapters.resize(count);
        listed = ec_adapters(adapters.data(), adapters.size(), &count);
    }
    if (listed != EC_OK) return cli.Fail(listed, std::string("cannot list the adapters: ") + ec_strerror(listed));
    if (count < adapters.size()) adapters.resize(count);
    JsonWriter& json = cli.Json();
    json.BeginObject().Key("adapters").BeginArray();
    if (adapters.empty()) cli.Out("no capture adapters found\n");
    else cli.Out("%-16s %-7s %s\n", "ADAPTER", "SLAVES", "STATUS");
    bool permission_missing = false;
    for (const ec_adapter_info& a : adapters) {
        const bool opened = a.status == EC_OK;
        std::string status = opened ? "opened" : std::string("not opened: ") + (a.error[0] != '\0' ? a.error : ec_strerror(a.status));
        if (a.status == EC_EPERM) permission_missing = true;
        cli.Out("%-16s %-7s %s%s%s\n", a.name, opened ? std::to_string(a.slaves).c_str() : "-", status.c_str(),
                a.description[0] != '\0' ? " - " : "", a.description);
        json.BeginObject().Field("name", a.name).Field("description", a.description).FieldBool("opened", opened);
        json.Field("slaves", static_cast<uint32_t>(a.slaves), opened && a.slaves >= 0);
        if (opened) json.Key("error").Null();
        else json.Field("error", a.error[0] != '\0' ? a.error : ec_strerror(a.status));
        json.EndObject();
    }
    json.EndArray().EndObject();
    if (permission_missing)
        cli.Note("ecalias: capture needs permission: sudo setcap cap_net_raw,cap_net_admin+ep $(command -v ecalias), "
                 "or run as root\n");
    return kExitDone;
}

int RunList(Cli& cli, const ParsedArgs&) {
    const int opened = cli.OpenScanned();
    if (opened != kExitDone) return opened;
    JsonWriter& json = cli.Json();
    json.BeginObject().Field("adapter", cli.adapter()).Key("slaves").BeginArray();
    cli.Out("%-4s %-7s %-6s %-10s %-7s %-10s %-10s %-10s %-10s %s\n", "POS", "STATION", "ALIAS", "SII-ALIAS", "STATE",
            "VENDOR", "PRODUCT", "REVISION", "SERIAL", "NAME");
    bool any_pending = false;
    bool any_incomplete = false;
    for (int position = 1; position <= cli.slave_count(); position++) {
        ec_slave_info info{};
        const int got = ec_slave_info_get(cli.master(), position, &info);
        if (got != EC_OK) return cli.Fail(got, "slave " + std::to_string(position) + ": " + cli.Explain(got));
        const unsigned parts = info.parts_read;
        const bool reg = (parts & EC_PART_ALIAS_REGISTER) != 0, sii = (parts & EC_PART_SII_ALIAS) != 0;
        const bool identity = (parts & EC_PART_IDENTITY) != 0, serial = (parts & EC_PART_SERIAL) != 0;
        const bool name = (parts & EC_PART_NAME) != 0, state = (parts & EC_PART_STATE) != 0;
        const bool pending = reg && sii && info.alias_register != info.sii_alias;
        any_pending = any_pending || pending;
        any_incomplete = any_incomplete || !info.complete;
        const char* state_name = state ? AlStateName(info.al_state) : nullptr;
        std::string state_text = state ? (state_name != nullptr ? state_name : HexOrUnknown(info.al_state, true, 2)) : "?";
        if (state && (info.al_state & EC_STATE_ERROR) != 0) state_text += "+ERR";
        std::string sii_text = DecimalOrUnknown(info.sii_alias, sii) + (pending ? " *" : "");
        cli.Out("%-4d 0x%04x  %-6s %-10s %-7s %-10s %-10s %-10s %-10s %s%s\n", position, info.station_address,
                DecimalOrUnknown(info.alias_register, reg).c_str(), sii_text.c_str(), state_text.c_str(),
                HexOrUnknown(info.vendor_id, identity, 8).c_str(), HexOrUnknown(info.product_code, identity, 8).c_str(),
                HexOrUnknown(info.revision, identity, 8).c_str(), DecimalOrUnknown(info.serial, serial).c_str(),
                name ? PrintableName(info.name).c_str() : "?", info.complete ? "" : " (incomplete)");
        json.BeginObject().Field("position", position).Field("station", static_cast<unsigned>(info.station_address));
        json.Field("alias", info.alias_register, reg).Field("sii_alias", info.sii_alias, sii);
        if (state_name != nullptr) json.Field("state", state_name);
        else json.Key("state").Null();
        json.Field("vendor", info.vendor_id, identity).Field("product", info.product_code, identity);
        json.Field("revision", info.revision, identity).Field("serial", info.serial, serial);
        if (name) json.Field("name", info.name);
        else json.Key("name").Null();
        json.FieldBool("complete", info.complete != 0);
        if (state) json.FieldBool("error_indication", (info.al_state & EC_STATE_ERROR) != 0);
        else json.Key("error_indication").Null();
        json.FieldBool("alias_pending", pending);
        json.EndObject();
    }
    json.EndArray().EndObject();
    if (any_pending) cli.Out("* SII alias differs from register 0x0012: takes effect after power cycle\n");
    if (any_incomplete)
        cli.Note("ecalias: some records could not be read whole (marked incomplete); unread fields show as ?\n");
    return kExitDone;
}
