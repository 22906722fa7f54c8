// Holds the signals that end a program (SIGINT, SIGTERM, SIGHUP, SIGQUIT) while EEPROM
// words are written: a slave whose alias word is written but not its checksum word
// would refuse its whole configuration area at the next power-on. A signal that
// arrives meanwhile stays pending and acts once the hold ends.
#pragma once
#include <signal.h>

class SignalHold {
public:
    SignalHold();
    ~SignalHold();
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;
    // True when one of the held signals arrived and waits.
    bool Pending() const;

private:
    sigset_t held_;
    sigset_t before_;
};
