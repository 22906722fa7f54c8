#include "tool/stay_open.h"

#include <unistd.h>

#include <cstdio>

void StayOpenUntilClosed() {
    // The operator reads the last lines while the process waits; make sure they left
    // the buffer even when standard output is a pipe or a file.
    fflush(stdout);
    // pause() sleeps until a signal is caught; a signal that ends the process ends it here.
    for (;;) pause();
}
