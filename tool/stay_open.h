// The end of a console run on a terminal: the tool has no orderly stop there, the
// operator closes it.
#pragma once

// Flushes standard output and waits, without using the processor, until a signal ends
// the process. Never returns.
[[noreturn]] void StayOpenUntilClosed();
