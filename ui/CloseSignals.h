// SIGTERM, SIGINT and SIGHUP (systemctl stop, Ctrl+C, the end of a session)
// close the main window, as the operator's closing does: the port is closed
// and a log line being written is finished first.
#pragma once

// Installs the handlers. The handler only writes the signal's number into a
// pipe; the window is closed from the event loop. A second signal while the
// first still waits (the window busy with a poll) or after closing has begun
// ends the program at once.
void HandleCloseSignals();
// Gives the signals back their default action (tests).
void StopHandlingCloseSignals();
