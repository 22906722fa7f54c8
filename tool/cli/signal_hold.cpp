#include "tool/cli/signal_hold.h"

#include <initializer_list>

SignalHold::SignalHold() {
    sigemptyset(&held_);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held_, signal_number);
    sigprocmask(SIG_BLOCK, &held_, &before_);
}

SignalHold::~SignalHold() { sigprocmask(SIG_SETMASK, &before_, nullptr); }

bool SignalHold::Pending() const {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return false;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        if (sigismember(&pending, signal_number) == 1 && sigismember(&before_, signal_number) != 1) return true;
    return false;
}
