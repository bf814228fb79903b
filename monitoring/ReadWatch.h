// When each chamber was last read, answered or not, and how often it is
// meant to be read. A read is noted by whoever made it, as it ends: each
// attempt of the poll on the user-interface thread, each overview read on
// the overview's thread as it is handed over. The endpoint's thread and the
// watchdog only look, so the age of the last read keeps growing while
// whatever should read is stalled: a held line, a stopped timer, a thread
// that hangs.
#pragma once

#include <chrono>
#include <optional>

using ReadClock = std::chrono::steady_clock;

// A chamber is read every 4 s, the poll's period (unscaled).
constexpr int kChamberPeriodMs = 4000;
// Its last answer's values stand for it this many periods; no read at all
// for this many periods is the watchdog's "нет опроса".
constexpr int kFreshPeriods = 3;
constexpr int kUnreadPeriods = 3;

// The period as the time scale makes it.
int ChamberPeriodMs();
// A chamber the overview asks less often on purpose (pauseMs: the wait
// before it is asked again) has that pause as its period.
int OverviewReadPeriodMs(int pauseMs);

// Who read: the poll of the selected chamber, or the overview.
enum class ReadSource { Poll = 0, Overview = 1 };

// A chamber's reads as one: when it was last read, and the period that
// makes "more than kUnreadPeriods periods since" the moment every reader of
// it is overdue (a chamber both polled and read by the overview is unread
// only when neither reads it in time).
struct ReadMark {
    ReadClock::time_point at;
    int periodMs = 0;
};

// Milliseconds since the read, never negative.
long long ReadAgeMs(const ReadMark& mark, ReadClock::time_point now);
// More than kUnreadPeriods periods since the read.
bool ReadOverdue(const ReadMark& mark, ReadClock::time_point now);
// The same for a chamber: false when it was never read (nothing to miss).
bool ChamberReadOverdue(int address, ReadClock::time_point now = ReadClock::now());

// Thread-safe. Addresses outside 0..250 are ignored.
void NoteChamberRead(ReadSource source, int address, int periodMs, ReadClock::time_point at = ReadClock::now());
std::optional<ReadMark> LastChamberRead(int address);
// Every mark dropped (a new set of windows in the tests).
void ForgetChamberReads();
