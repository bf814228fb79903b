// The one owner of the line: every exchange (a scan probe, the status poll,
// a control frame, an overview read, the port's open and close) runs while
// it holds the line, so two requests are never outstanding at once.
//
// The operator's exchanges (the scan, the poll, the commands, the port) run
// on the user-interface thread and come first: they wait at most for the one
// overview read in flight. The overview reads on a thread of its own, takes
// the line only when no operator exchange waits, and never starts a read
// that could still run when a reserved exchange falls due, so the poll keeps
// its period.
#pragma once

#include <atomic>
#include <chrono>

#include "link/PortUnit.h"
#include "monitoring/StatusDecode.h"

using LineClock = std::chrono::steady_clock;

// Held for the scope of one operator exchange. Nests on the same thread (a
// program written frame by frame holds the line for all of its frames).
class LineHold {
public:
    LineHold();
    ~LineHold();
    LineHold(const LineHold&) = delete;
    LineHold& operator=(const LineHold&) = delete;
};

// The overview's hold: taken with TakeLineForOverview, given back by its end.
class OverviewLineHold {
public:
    explicit OverviewLineHold(bool held) : m_held(held) {}
    ~OverviewLineHold();
    OverviewLineHold(OverviewLineHold&& other) noexcept : m_held(other.m_held) { other.m_held = false; }
    OverviewLineHold(const OverviewLineHold&) = delete;
    OverviewLineHold& operator=(const OverviewLineHold&) = delete;
    bool Held() const { return m_held; }

private:
    bool m_held;
};

// Waits until the line is free, no operator exchange waits and no reserved
// exchange falls due within needMs; gives up (returns a hold that is not
// held) when stop becomes true or the deadline passes.
OverviewLineHold TakeLineForOverview(int needMs, const std::atomic<bool>& stop, LineClock::time_point deadline);
// Wakes TakeLineForOverview to look at its stop flag.
void WakeLineWaiters();

// The exchanges that fall due by a timer: their next start is reserved.
enum class LineReservation { Poll = 0 };
void ReserveLine(LineReservation which, LineClock::time_point due);
void ClearLineReservation(LineReservation which);
// A reservation that was not taken this long after it fell due no longer
// holds the overview back (the timer was held up or stopped unseen).
constexpr std::chrono::milliseconds kStaleReservation{1000};

// Exchanges seen at once on the line since the start: 0 unless the owner
// failed. Counted where the line is taken.
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

// The overview's read: the status request, taken the moment the reply is
// whole. The caller holds the line (TakeLineForOverview).
struct OverviewRead {
    int address = 0;
    WholeReply::Outcome outcome = WholeReply::Outcome::Silent;
    bool answered = false;  // a whole status reply with a good CRC
    bool selected = false;  // the main window's chamber, read on its own schedule
    StatusReply reply;      // decoded by the poll's own table when answered
    std::chrono::microseconds took{0};
};
OverviewRead RunOverviewExchange(int address, int timeoutMs);
// The decoding of what one such exchange brought.
OverviewRead OverviewReadOf(int address, const WholeReply& whole);
