// Choosing the slave a command works on: by position or by serial number.
#include <string>

#include "tool/cli/cli.h"

int ParseSlaveSelector(Cli& cli, const ParsedArgs& args, bool allow_serial, SlaveSelector* selector) {
    const char* position = args.Value("--position");
    const char* serial = allow_serial ? args.Value("--serial") : nullptr;
    if (position != nullptr && serial != nullptr) return cli.Usage("give -p or --serial, not both");
    if (position == nullptr && serial == nullptr)
        return cli.Usage(allow_serial ? "which slave? give -p POS or --serial SN" : "which slave? give -p POS");
    uint64_t value = 0;
    if (position != nullptr) {
        if (!ParseNumber(position, 65535, &value) || value == 0)
            return cli.Usage(std::string("bad slave position \"") + position +
                             "\": a whole number from 1 (the first slave)");
        selector->position = static_cast<int>(value);
        return kExitDone;
    }
    if (!ParseNumber(serial, UINT32_MAX, &value))
        return cli.Usage(std::string("bad serial number \"") + serial + "\": a whole number 0-4294967295 or 0x...");
    selector->by_serial = true;
    selector->serial = static_cast<uint32_t>(value);
    return kExitDone;
}

int ResolveSlave(Cli& cli, const SlaveSelector& selector, int* position) {
    if (!selector.by_serial) {
        if (selector.position > cli.slave_count())
            return cli.Fail(EC_ENOSLAVE, "no slave at position " + std::to_string(selector.position) + " (" +
                                             std::to_string(cli.slave_count()) + " slaves answer on " + cli.adapter() +
                                             ")");
        *position = selector.position;
        return kExitDone;
    }
    std::string matches;
    std::string unread;
    int found = 0;
    for (int n = 1; n <= cli.slave_count(); n++) {
        ec_slave_info info{};
        if (ec_slave_info_get(cli.master(), n, &info) != EC_OK || (info.parts_read & EC_PART_SERIAL) == 0) {
            unread += (unread.empty() ? "" : ", ") + std::to_string(n);
            continue;
        }
        if (info.serial != selector.serial) continue;
        matches += (found > 0 ? ", " : "") + std::to_string(n);
        found++;
        *position = n;
    }
    if (found == 0)
        return cli.Fail(EC_ENOSLAVE, "no slave has serial number " + std::to_string(selector.serial) +
                                         "; `ecalias list` shows the serial numbers");
    if (found > 1)
        return cli.Fail(EC_ENOSLAVE, "serial number " + std::to_string(selector.serial) +
                                         " is shared by the slaves at positions " + matches + "; choose one with -p");
    // A slave whose serial could not be read might carry the same number.
    if (!unread.empty())
        return cli.Fail(EC_EEEPROM_READ, "the serial numbers of the slaves at positions " + unread +
                                             " could not be read, so serial number " +
                                             std::to_string(selector.serial) + " may not be unique; choose with -p");
    return kExitDone;
}
