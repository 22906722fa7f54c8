#include "tool/program_entry.h"

#include <unistd.h>

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

void StayOpenUntilClosed() {
    // The operator reads the last lines while the process waits; make sure they left
    // the buffer even when standard output is a pipe or a file.
    fflush(stdout);
    // pause() sleeps until a signal is caught; signals that end the process end it here.
    for (;;) pause();
}
