// The end of every console run: the tool has no orderly stop, the operator closes it.
#pragma once

// Flushes standard output and waits, without using the processor, until a signal ends
// the process. Never returns.
[[noreturn]] void StayOpenUntilClosed();
