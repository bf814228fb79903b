// Every fixed wait of the system (reply windows, command pauses, timer
// periods) goes through here, so that tests can shorten them all at once.
#pragma once

// 1.0 is real time; 0.05 makes an 800 ms reply window 40 ms.
void SetTimeScale(double scale);
double TimeScale();

// The scaled length of a wait of ms milliseconds (at least 1 ms).
int ScaledMs(int ms);

// Blocks the calling thread for the scaled wait. The user-interface thread
// sleeps here on purpose: nothing else may run during an exchange.
void Sleep(int ms);

// Closing the program: every wait from now on returns at once, and one under
// way ends, so that no exchange holds the closing up. Safe to call from a
// signal handler once PrepareAbandon has run.
void PrepareAbandon();
void AbandonWaits();
bool WaitsAbandoned();
// A new start in the same process (tests): waits last their length again.
void ResumeWaits();
