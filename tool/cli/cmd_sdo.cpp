// ecalias sdo read | write: CoE objects of one slave, typed or as bytes.
#include <cstring>
#include <string>
#include <vector>

#include "tool/cli/cli.h"
#include "tool/cli/value_codec.h"

namespace {

constexpr int kSdoTimeoutUs = 1000000;  // for each answer of the slave
constexpr size_t kSdoMaxBytes = 65535;

struct ObjectAddress {
    uint16_t index = 0;
    uint8_t subindex = 0;
};

int ParseObject(Cli& cli, const std::string& text, ObjectAddress* object) {
    const size_t colon = text.find(':');
    uint64_t index = 0, subindex = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(0, colon).c_str(), 0xFFFF, &index) ||
        !ParseNumber(text.c_str() + colon + 1, 0xFF, &subindex))
        return cli.Usage("bad object \"" + text + "\": INDEX:SUB, e.g. 0x1018:1 (index 0-0xFFFF, subindex 0-255)");
    object->index = static_cast<uint16_t>(index);
    object->subindex = static_cast<uint8_t>(subindex);
    return kExitDone;
}

int ParseType(Cli& cli, const char* text, ValueType* type) {
    if (!ValueTypeParse(text, type))
        return cli.Usage(std::string("unknown type \"") + text + "\": one of " + ValueTypeList());
    return kExitDone;
}

std::string ObjectText(const ObjectAddress& object) {
    char text[16];
    snprintf(text, sizeof text, "0x%04x:%u", object.index, object.subindex);
    return text;
}

// An SDO failure as one line: an abort with its code and meaning.
int SdoFail(Cli& cli, int status, int position, const ObjectAddress& object, const char* what) {
    std::string message = "slave " + std::to_string(position) + ": " + what + " " + ObjectText(object) + " failed: ";
    ec_error_detail detail{};
    if (status == EC_ESDOABORT && ec_last_error(cli.master(), &detail) == EC_OK && detail.code == EC_ESDOABORT) {
        char code[16];
        snprintf(code, sizeof code, "0x%08X", detail.sdo_abort_code);
        message += std::string("abort ") + code + " " + detail.sdo_abort_text;
    } else {
        message += cli.Explain(status);
    }
    return cli.Fail(status, message);
}

void JsonObject(JsonWriter& json, int position, const ObjectAddress& object) {
    json.Field("position", position).Field("index", static_cast<unsigned>(object.index));
    json.Field("subindex", static_cast<unsigned>(object.subindex));
}

}  // namespace

int RunSdoRead(Cli& cli, const ParsedArgs& args) {
    SlaveSelector selector;
    if (int usage = ParseSlaveSelector(cli, args, false, &selector); usage != kExitDone) return usage;
    ObjectAddress object;
    if (int usage = ParseObject(cli, args.operands()[0], &object); usage != kExitDone) return usage;
    const char* type_text = args.Value("--type");
    ValueType type{};
    if (type_text != nullptr)
        if (int usage = ParseType(cli, type_text, &type); usage != kExitDone) return usage;
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    int position = 0;
    if (int resolved = ResolveSlave(cli, selector, &position); resolved != kExitDone) return resolved;

    std::vector<uint8_t> data(kSdoMaxBytes);
    size_t size = data.size();
    const unsigned flags = args.Has("--complete") ? EC_COMPLETE_ACCESS : 0;
    const int status = ec_sdo_upload(cli.master(), position, object.index, object.subindex, flags, data.data(), &size,
                                     kSdoTimeoutUs);
    if (status != EC_OK) return SdoFail(cli, status, position, object, "read");
    JsonWriter& json = cli.Json();
    json.BeginObject();
    JsonObject(json, position, object);
    json.Field("size", static_cast<unsigned>(size)).Field("hex", ValueHex(data.data(), size));
    if (type_text == nullptr) {
        json.EndObject();
        cli.Out("%s (%zu bytes)\n", ValueHex(data.data(), size).c_str(), size);
        return kExitDone;
    }
    std::string text, value_json, error;
    if (!ValueDecode(type, data.data(), size, &text, &error) ||
        !ValueDecodeJson(type, data.data(), size, &value_json, &error)) {
        json.Clear();
        return cli.Fail(EC_ETOOBIG, "slave " + std::to_string(position) + ": " + ObjectText(object) + ": " + error +
                                        " (bytes: " + ValueHex(data.data(), size) + "); read it without -t to see them");
    }
    json.Field("type", ValueTypeName(type)).Key("value").Raw(value_json).EndObject();
    cli.Out("%s\n", text.c_str());
    return kExitDone;
}

int RunSdoWrite(Cli& cli, const ParsedArgs& args) {
    SlaveSelector selector;
    if (int usage = ParseSlaveSelector(cli, args, false, &selector); usage != kExitDone) return usage;
    ObjectAddress object;
    if (int usage = ParseObject(cli, args.operands()[0], &object); usage != kExitDone) return usage;
    const char* type_text = args.Value("--type");
    if (type_text == nullptr) return cli.Usage(std::string("give the value's type with -t TYPE: ") + ValueTypeList());
    ValueType type{};
    if (int usage = ParseType(cli, type_text, &type); usage != kExitDone) return usage;
    const std::string value_text = args.operands()[1];
    std::vector<uint8_t> bytes;
    std::string error;
    if (type == ValueType::kOctets && !value_text.empty() && value_text[0] == '@') {
        if (!ValueReadOctetsFile(value_text.c_str() + 1, kSdoMaxBytes, &bytes, &error)) return cli.Usage(error);
    } else if (!ValueEncode(type, value_text, &bytes, &error)) {
        return cli.Usage(error);
    }
    if (bytes.size() > kSdoMaxBytes) return cli.Usage("the value has more than 65535 bytes, more than an SDO takes");
    if (int opened = cli.OpenScanned(); opened != kExitDone) return opened;
    int position = 0;
    if (int resolved = ResolveSlave(cli, selector, &position); resolved != kExitDone) return resolved;

    const bool dry_run = args.Has("--dry-run");
    const std::string shown = bytes.size() <= 32 ? ValueHex(bytes.data(), bytes.size()) : ValueHex(bytes.data(), 32) + "...";
    const std::string plan = "write " + std::to_string(bytes.size()) + " bytes (" + ValueTypeName(type) + ", " + shown +
                             ") to " + ObjectText(object) + " of slave " + std::to_string(position) + " on " +
                             cli.adapter();
    JsonWriter& json = cli.Json();
    json.BeginObject();
    JsonObject(json, position, object);
    json.Field("type", ValueTypeName(type)).Field("size", static_cast<unsigned>(bytes.size()));
    json.FieldBool("dry_run", dry_run);
    if (dry_run) {
        json.FieldBool("written", false).EndObject();
        cli.Out("would %s\ndry run: nothing written\n", plan.c_str());
        return kExitDone;
    }
    if (!cli.Confirm(args, "about to " + plan)) {
        json.Clear();
        return cli.Fail(EC_EINVAL, "not confirmed; nothing written");
    }
    const unsigned flags = args.Has("--complete") ? EC_COMPLETE_ACCESS : 0;
    const int status = ec_sdo_download(cli.master(), position, object.index, object.subindex, flags, bytes.data(),
                                       bytes.size(), kSdoTimeoutUs);
    if (status != EC_OK) {
        json.Clear();
        return SdoFail(cli, status, position, object, "write");
    }
    json.FieldBool("written", true).EndObject();
    cli.Out("slave %d: %s <- %zu bytes: written\n", position, ObjectText(object).c_str(), bytes.size());
    return kExitDone;
}
