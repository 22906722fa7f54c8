// ecalias reg read | write: the slave controller's registers and memory by configured
// address (FPRD/FPWR), or device registers through the CoE register window (--window).
// Values are always values: nothing typed here is ever opened as a file.
#include <cstring>
#include <string>
#include <vector>

#include "tool/cli/cli.h"
#include "tool/cli/value_codec.h"

namespace {

constexpr int kRegisterTimeoutUs = 20000;

struct RegisterRequest {
    bool window = false;
    uint32_t address = 0;  // ESC address, or the device register with --window
    ValueType type = ValueType::kU16;
    bool typed = false;
    size_t length = 0;  // bytes to read
};

std::string HexText(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// ADDR (or --window REG), -t and -n, checked before anything is sent. `operands` are the
// command's operands; *value_at gets the index of the value operand (write).
int ParseRequest(Cli& cli, const ParsedArgs& args, bool write, RegisterRequest* request, size_t* value_at) {
    const std::vector<std::string>& operands = args.operands();
    const char* window = args.Value("--window");
    const size_t wanted = (window != nullptr ? 0 : 1) + (write ? 1 : 0);
    if (operands.size() != wanted)
        return cli.Usage(window != nullptr ? (write ? "give the value: reg write -p POS --window REG VALUE"
                                                    : "reg read --window REG takes no address")
                                           : (write ? "give the address and the value: reg write -p POS ADDR VALUE"
                                                    : "give the address: reg read -p POS ADDR"));
    uint64_t number = 0;
    if (window != nullptr) {
        if (!ParseNumber(window, 0xFFFFFF, &number))
            return cli.Usage(std::string("bad device register \"") + window + "\": 0-0xFFFFFF");
        request->window = true;
        request->type = ValueType::kU32;
        request->length = 4;
        if (args.Value("--type") != nullptr && strcmp(args.Value("--type"), "u32") != 0)
            return cli.Usage("the register window carries 32-bit values: -t u32 or no -t");
        if (args.Value("--length") != nullptr) return cli.Usage("-n does not go with --window (32-bit values)");
    } else {
        if (!ParseNumber(operands[0].c_str(), 0xFFFF, &number))
            return cli.Usage("bad register address \"" + operands[0] + "\": 0-0xFFFF (decimal or 0x)");
    }
    request->address = static_cast<uint32_t>(number);
    *value_at = window != nullptr ? 0 : 1;
    if (request->window) return kExitDone;

    const char* type = args.Value("--type");
    const char* length = args.Value("--length");
    if (type != nullptr && length != nullptr && !write) {
        ValueType parsed{};
        if (!ValueTypeParse(type, &parsed) || ValueTypeBytes(parsed) != 0)
            return cli.Usage("give -t TYPE or -n LEN, not both (-n goes with -t string or octets only)");
    }
    if (type != nullptr) {
        if (!ValueTypeParse(type, &request->type))
            return cli.Usage(std::string("unknown type \"") + type + "\": one of " + ValueTypeList());
        request->typed = true;
    }
    request->length = ValueTypeBytes(request->type);
    if (length != nullptr) {
        if (write) return cli.Usage("-n is for reads; a write's length is its value's");
        if (!ParseNumber(length, EC_MAX_DATAGRAM_BYTES, &number) || number == 0)
            return cli.Usage(std::string("bad length \"") + length + "\": 1-1486 bytes");
        request->length = static_cast<size_t>(number);
        if (!request->typed) request->type = ValueType::kOctets;
    } else if (!write && request->length == 0) {
        return cli.Usage(std::string("-t ") + ValueTypeName(request->type) + " needs the length: add -n LEN");
    }
    if (!write && request->address + request->length > 0x10000)
        return cli.Usage("the range " + HexText(request->address, 4) + " + " + std::to_string(request->length) +
                         " bytes runs past 0xffff");
    return kExitDone;
}

void JsonWhere(JsonWriter& json, int position, const RegisterRequest& request) {
    json.Field("position", position).FieldBool("window", request.window);
    json.Field("address", request.address).Field("type", ValueTypeName(request.type));
}

}  // namespace

int RunRegRead(Cli& cli, const ParsedArgs& args) {
    SlaveSelector selector;
    if (int usage = ParseSlaveSelector(cli, args, false, &selector); usage != kExitDone) return usage;
    RegisterRequest request;
    size_t value_at = 0;
    if (int usage = ParseRequest(cli, args, false, &request, &value_at); usage != kExitDone) return usage;
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    int position = 0;
    if (int resolved = ResolveSlave(cli, selector, &position); resolved != kExitDone) return resolved;

    std::vector<uint8_t> data(request.length);
    int status = EC_OK;
    if (request.window) {
        uint32_t value = 0;
        status = ec_window_read(cli.master(), position, request.address, &value);
        for (size_t n = 0; n < 4; n++) data[n] = static_cast<uint8_t>(value >> (8 * n));
    } else {
        status = ec_reg_read(cli.master(), position, static_cast<uint16_t>(request.address), data.data(), data.size(),
                             kRegisterTimeoutUs);
    }
    const std::string where = request.window ? "device register " + HexText(request.address, 6) + " (window)"
                                             : "register " + HexText(request.address, 4);
    if (status != EC_OK)
        return cli.Fail(status, "slave " + std::to_string(position) + ": read of " + where + " failed: " +
                                    cli.Explain(status));
    std::string text, json_value, error;
    ValueDecode(request.type, data.data(), data.size(), &text, &error);
    ValueDecodeJson(request.type, data.data(), data.size(), &json_value, &error);
    JsonWriter& json = cli.Json();
    json.BeginObject();
    JsonWhere(json, position, request);
    json.Field("size", static_cast<unsigned>(data.size())).Field("hex", ValueHex(data.data(), data.size()));
    json.Key("value").Raw(json_value).EndObject();
    if (request.type == ValueType::kOctets)
        cli.Out("%s (%zu bytes)\n", text.c_str(), data.size());
    else if (request.type == ValueType::kString || request.type == ValueType::kBool ||
             request.type == ValueType::kF32 || request.type == ValueType::kF64)
        cli.Out("%s\n", text.c_str());
    else
        cli.Out("%s (0x%s)\n", text.c_str(), ValueHex(std::vector<uint8_t>(data.rbegin(), data.rend()).data(), data.size()).c_str());
    return kExitDone;
}

int RunRegWrite(Cli& cli, const ParsedArgs& args) {
    SlaveSelector selector;
    if (int usage = ParseSlaveSelector(cli, args, false, &selector); usage != kExitDone) return usage;
    RegisterRequest request;
    size_t value_at = 0;
    if (int usage = ParseRequest(cli, args, true, &request, &value_at); usage != kExitDone) return usage;
    const std::string value_text = args.operands()[value_at];
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ValueEncode(request.type, value_text, &bytes, &error)) return cli.Usage(error);
    if (!request.window && bytes.size() > EC_MAX_DATAGRAM_BYTES)
        return cli.Usage("the value has " + std::to_string(bytes.size()) + " bytes; one write takes at most 1486");
    if (!request.window && request.address + bytes.size() > 0x10000)
        return cli.Usage("the value runs past address 0xffff");
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    int position = 0;
    if (int resolved = ResolveSlave(cli, selector, &position); resolved != kExitDone) return resolved;

    const std::string where =
        request.window ? "device register " + HexText(request.address, 6) + " (window)"
                       : "register " + HexText(request.address, 4) +
                             (bytes.size() > 1 ? "-" + HexText(request.address + static_cast<uint32_t>(bytes.size()) - 1, 4) : "");
    const std::string plan = "write " + ValueHex(bytes.data(), bytes.size()) + " (" + ValueTypeName(request.type) + " " +
                             value_text + ") to " + where + " of slave " + std::to_string(position) + " on " +
                             cli.adapter();
    const bool dry_run = args.Has("--dry-run");
    JsonWriter& json = cli.Json();
    json.BeginObject();
    JsonWhere(json, position, request);
    json.Field("size", static_cast<unsigned>(bytes.size())).Field("hex", ValueHex(bytes.data(), bytes.size()));
    json.FieldBool("dry_run", dry_run);
    if (dry_run) {
        json.FieldBool("written", false).EndObject();
        cli.Out("would %s\ndry run: nothing written\n", plan.c_str());
        return kExitDone;
    }
    if (!cli.Confirm(args, "about to " + plan)) return cli.Fail(EC_EINVAL, "not confirmed; nothing written");
    int status = EC_OK;
    if (request.window) {
        uint32_t value = 0;
        for (size_t n = 0; n < 4; n++) value |= static_cast<uint32_t>(bytes[n]) << (8 * n);
        status = ec_window_write(cli.master(), position, request.address, value);
    } else {
        status = ec_reg_write(cli.master(), position, static_cast<uint16_t>(request.address), bytes.data(),
                              bytes.size(), kRegisterTimeoutUs);
    }
    if (status != EC_OK)
        return cli.Fail(status, "slave " + std::to_string(position) + ": write to " + where + " failed: " +
                                    cli.Explain(status));
    json.FieldBool("written", true).EndObject();
    cli.Out("slave %d: %s <- %s: written\n", position, where.c_str(), ValueHex(bytes.data(), bytes.size()).c_str());
    return kExitDone;
}
