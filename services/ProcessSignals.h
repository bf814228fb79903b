// SIGTERM, SIGINT and SIGHUP taken on the event loop: the handler only writes
// the signal's number into a pipe, and the taker runs between events, where
// it may close windows, stop lines or read a configuration anew. The desktop
// and the recorder install it alike.
#pragma once

#include <functional>

struct SignalHandling {
    // An exchange under way (a silent chamber's poll with its waits) ends at
    // once, so that the event loop takes the signal without delay.
    bool abandonWaits = false;
    // A second signal while the first still waits, or after one was taken,
    // ends the program at once: a program stuck in its closing can still be
    // stopped.
    bool secondEndsAtOnce = false;
};

using SignalTaker = std::function<void(int number)>;

// Installs the handlers (again: the new taker replaces the old). False when
// no pipe could be made: the signals then keep their default action.
bool HandleProcessSignals(SignalHandling how, SignalTaker take);
// Gives the signals back their default action.
void StopHandlingProcessSignals();
