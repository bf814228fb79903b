#include "monitoring/LineOwner.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "link/ChamberContract.h"
#include "monitoring/ReadWatch.h"
#include "link/Waits.h"

namespace {

constexpr int kReservations = 1;

struct Line {
    std::mutex lock;
    std::condition_variable changed;
    bool busy = false;
    std::thread::id operatorThread;
    int operatorDepth = 0;
    int operatorsWaiting = 0;
    bool reserved[kReservations] = {};
    LineClock::time_point due[kReservations];
    std::atomic<int> inExchange{0};
    std::atomic<int> collisions{0};
};

Line& TheLine()
{
    static Line line;
    return line;
}

// Counts a second exchange entering while one runs; the owner's locking
// should make this impossible.
void EnterExchange(Line& line)
{
    if (line.inExchange.fetch_add(1) != 0)
        ++line.collisions;
}

// Whether a reservation stops the overview from starting a read of need now;
// when one does, *wakeAt is brought forward to the moment the reservation
// goes stale, and the overview looks again then at the latest.
bool ReservationBlocks(const Line& line, LineClock::time_point now, std::chrono::milliseconds need,
                       LineClock::time_point* wakeAt)
{
    bool blocks = false;
    for (int i = 0; i < kReservations; ++i) {
        if (!line.reserved[i])
            continue;
        const auto due = line.due[i];
        if (now > due + kStaleReservation)
            continue;
        if (now + need < due)
            continue;
        blocks = true;
        *wakeAt = std::min(*wakeAt, due + kStaleReservation);
    }
    return blocks;
}

}  // namespace

LineHold::LineHold()
{
    Line& line = TheLine();
    std::unique_lock<std::mutex> lock(line.lock);
    if (line.busy && line.operatorDepth > 0 && line.operatorThread == std::this_thread::get_id()) {
        ++line.operatorDepth;
        return;
    }
    ++line.operatorsWaiting;
    line.changed.wait(lock, [&] { return !line.busy; });
    --line.operatorsWaiting;
    line.busy = true;
    line.operatorThread = std::this_thread::get_id();
    line.operatorDepth = 1;
    EnterExchange(line);
}

LineHold::~LineHold()
{
    Line& line = TheLine();
    std::lock_guard<std::mutex> guard(line.lock);
    if (--line.operatorDepth > 0)
        return;
    --line.inExchange;
    line.busy = false;
    line.operatorThread = std::thread::id();
    line.changed.notify_all();
}

OverviewLineHold::~OverviewLineHold()
{
    if (!m_held)
        return;
    Line& line = TheLine();
    std::lock_guard<std::mutex> guard(line.lock);
    --line.inExchange;
    line.busy = false;
    line.changed.notify_all();
}

OverviewLineHold TakeLineForOverview(int needMs, const std::atomic<bool>& stop, LineClock::time_point deadline)
{
    Line& line = TheLine();
    std::unique_lock<std::mutex> lock(line.lock);
    const std::chrono::milliseconds need(needMs);
    for (;;) {
        if (stop.load())
            return OverviewLineHold(false);
        const auto now = LineClock::now();
        if (now >= deadline)
            return OverviewLineHold(false);
        LineClock::time_point wakeAt = deadline;
        if (!line.busy && line.operatorsWaiting == 0 && !ReservationBlocks(line, now, need, &wakeAt)) {
            line.busy = true;
            EnterExchange(line);
            return OverviewLineHold(true);
        }
        line.changed.wait_until(lock, wakeAt);
    }
}

void WakeLineWaiters()
{
    Line& line = TheLine();
    std::lock_guard<std::mutex> guard(line.lock);
    line.changed.notify_all();
}

void ReserveLine(LineReservation which, LineClock::time_point due)
{
    Line& line = TheLine();
    std::lock_guard<std::mutex> guard(line.lock);
    line.reserved[static_cast<int>(which)] = true;
    line.due[static_cast<int>(which)] = due;
    line.changed.notify_all();
}

void ClearLineReservation(LineReservation which)
{
    Line& line = TheLine();
    std::lock_guard<std::mutex> guard(line.lock);
    line.reserved[static_cast<int>(which)] = false;
    line.changed.notify_all();
}

int LineCollisions() { return TheLine().collisions.load(); }

StatusExchange RunStatusExchange(int chamberAddress)
{
    StatusExchange result;
    {
        LineHold hold;
        // A port that is gone cannot answer; twenty attempts at it would
        // only hold the window for sixteen seconds.
        while (result.attempts < kStatusAttempts && !result.found && !WaitsAbandoned()) {
            if (PortLost()) {
                result.portLost = true;
                break;
            }
            ++result.attempts;
            result.found = ReadExchange(chamberAddress, kStatusFunction, kStatusRegisterCount, kStatusWait);
            // Each attempt is a read, answered or not: a silent chamber's
            // sixteen seconds of attempts are no gap in its reads.
            NoteChamberRead(ReadSource::Poll, chamberAddress, ChamberPeriodMs());
        }
    }
    // One snapshot: the receive thread may still be writing a late chunk.
    result.reply = DecodeStatus(ReceiveBufferSnapshot(), chamberAddress);
    return result;
}

ProbeOutcome RunProbeExchange(int address)
{
    LineHold hold;
    bool found = false;
    for (int attempt = 0; attempt < kProbeAttempts && !found && !WaitsAbandoned(); ++attempt) {
        if (PortLost())
            return ProbeOutcome::PortLost;
        found = ReadExchange(address, kReadInputRegisters, kProbeRegisterCount, kProbeWait);
    }
    // Pulled during the last attempt: its silence says nothing of the address.
    if (!found && PortLost())
        return ProbeOutcome::PortLost;
    return found ? ProbeOutcome::Found : ProbeOutcome::NotFound;
}

OverviewRead RunOverviewExchange(int address, int timeoutMs)
{
    const WholeReply whole =
        ReadWholeReply(static_cast<uint8_t>(address & 0xFF), kStatusFunction, kStatusRegisterCount, timeoutMs);
    return OverviewReadOf(address, whole);
}

OverviewRead OverviewReadOf(int address, const WholeReply& whole)
{
    OverviewRead read;
    read.address = address;
    read.outcome = whole.outcome;
    read.took = whole.took;
    read.answered = whole.outcome == WholeReply::Outcome::Answered && whole.frame.size() >= 5;
    if (read.answered) {
        // Whole words of the data only: positions the reply did not reach
        // are 0, never its CRC nor half of a word.
        ReceiveBytes bytes{};
        const size_t data = std::min<size_t>(
            {whole.frame.size() - 2, kReplyHeaderBytes + (whole.frame[2] & 0xFEu), bytes.size()});
        std::memcpy(bytes.data(), whole.frame.data(), data);
        read.reply = DecodeStatus(bytes, address);
        read.answered = read.reply.decoded;
        // Controllers that send only the fifteen words asked for carry no humidities.
        if (data < static_cast<size_t>(ReplyBytesThroughWord(kCurrentHumidityWord)))
            read.reply.currentHumidity.accepted = false;
        if (data < static_cast<size_t>(ReplyBytesThroughWord(kSetHumidityWord)))
            read.reply.setHumidity.accepted = false;
    }
    return read;
}
