#include "tool/program_entry.h"

#include "api/ecdevice.h"

void PrintSlaveSummary(FILE* out) {
    const int slave_count = GetSlaveCount();
    fprintf(out, "Number of slaves:%d\r\n", slave_count);
    for (int slave = 1; slave <= slave_count; slave++) {
        const char* name = GetSlaveName(slave);
        fprintf(out, "Slave: %d, Name:%s  ", slave, name != nullptr ? name : "");
        fprintf(out, "GetSlaveHardFlag(int slave)--->   %d\r\n", GetSlaveHardFlag(slave));
    }
    fprintf(out, "=============End=============\r\n");
}
