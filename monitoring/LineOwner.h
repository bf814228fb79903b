// The desktop's one line: its scheduler, on a thread of its own, runs every
// exchange on the port (a scan probe, the status poll, a control frame, an
// overview read, the port's open and close), so two requests are never
// outstanding at once.
//
// The operator's exchanges are queued to it from the user-interface thread,
// which waits for each as it always waited for its exchange: they come before
// every read not yet begun, so they wait at most for the one read in flight.
#pragma once

#include <chrono>
#include <functional>

#include "link/PortUnit.h"
#include "monitoring/LineScheduler.h"
#include "monitoring/StatusDecode.h"

// The line of the port the desktop opened, its thread started at first use.
// Reading is off until the overview switches it on.
LineScheduler& DesktopLine();
// Ends its thread (the program closing, a test's windows going); exchanges
// then run on the caller's thread until it starts again.
void StopDesktopLine();
// One exchange of the operator's on the desktop's line; nests (a program
// written frame by frame is one exchange of all its frames).
void OnLine(const std::function<void()>& exchange);

// Exchanges seen at once on the line since the start: 0 unless the owner
// failed. Counted where each exchange begins.
int LineCollisions();

// The status poll's exchange: at most kStatusAttempts read attempts of
// kStatusWait until a reply is found, then the receive buffer decoded as the
// poll decodes it. While the port is lost the poll ends at once unanswered.
struct StatusExchange {
    bool found = false;
    bool portLost = false;
    int attempts = 0;
    StatusReply reply;
};
StatusExchange RunStatusExchange(int chamberAddress);

// One scan probe: up to kProbeAttempts attempts of kProbeWait. PortLost when
// the adapter was gone before or during the probe: the address was not
// really asked and is to be probed again once the port is back.
enum class ProbeOutcome { Found, NotFound, PortLost };
ProbeOutcome RunProbeExchange(int address);

// One overview read on the desktop's line, as its scheduler makes it: the
// status request, taken the moment the reply is whole.
OverviewRead RunOverviewExchange(int address, int timeoutMs);
