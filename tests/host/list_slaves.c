/*
 * A host program of libecdevice.so: brings the network up and lists the slaves.
 * Prints key=value lines for the test scripts. The end-to-end scripts run it only
 * inside their network namespaces.
 */
#include <stdio.h>

#include "ecdevice.h"

int main(void) {
    int count = Init();
    int slave;
    printf("init=%d\n", count);
    printf("count=%d\n", GetSlaveCount());
    for (slave = 1; slave <= GetSlaveCount(); slave++) {
        const char* name = GetSlaveName(slave);
        printf("slave%d.name=%s\n", slave, name != NULL ? name : "(null)");
        printf("slave%d.flag=%d\n", slave, GetSlaveHardFlag(slave));
    }
    /* Numbers outside 1..count are refused. */
    printf("name0=%s\n", GetSlaveName(0) == NULL ? "null" : "set");
    printf("flag0=%d\n", GetSlaveHardFlag(0));
    printf("flag_past_end=%d\n", GetSlaveHardFlag(GetSlaveCount() + 1));
    printf("name_past_end=%s\n", GetSlaveName(GetSlaveCount() + 1) == NULL ? "null" : "set");
    printf("deinit=%d\n", Deinit());
    printf("count_after_deinit=%d\n", GetSlaveCount());
    return 0;
}
