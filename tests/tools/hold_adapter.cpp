// hold_adapter: a host program that brings the segment up with Init, prints init=N on
// its own line, and then keeps the adapter open until it is killed. The end-to-end
// scripts run it only inside their network namespaces, as the first of two masters.
//
//   hold_adapter
//
// Exit code: none while it holds the adapter (it waits for a signal); 1 when Init found
// no slaves, so that a script waiting for it does not wait for nothing.
#include <unistd.h>

#include <cstdio>

#include "api/ecdevice.h"

int main() {
    int count = Init();
    printf("init=%d\n", count);
    fflush(stdout);
    if (count <= 0) return 1;
    for (;;) pause();
}
