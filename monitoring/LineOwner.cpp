#include "monitoring/LineOwner.h"

#include <atomic>
#include <memory>
#include <string>

#include "link/ChamberContract.h"
#include "monitoring/ReadWatch.h"
#include "link/Waits.h"
#include "monitoring/Overview.h"

namespace {

std::atomic<int> g_inExchange{0};
std::atomic<int> g_collisions{0};
thread_local int t_depth = 0;

// Counts a second exchange entering while one runs; the line's one thread
// should make this impossible. Nested exchanges of one thread are one.
class ExchangeMark {
public:
    ExchangeMark()
    {
        if (t_depth++ == 0 && g_inExchange.fetch_add(1) != 0)
            ++g_collisions;
    }
    ~ExchangeMark()
    {
        if (--t_depth == 0)
            --g_inExchange;
    }
    ExchangeMark(const ExchangeMark&) = delete;
    ExchangeMark& operator=(const ExchangeMark&) = delete;
};

// The port the port unit holds (PortHandle and its receive thread): opened
// and closed by the operator's exchanges, so Open only says whether it is
// open and Close leaves it; its reads are the port unit's whole-reply reads.
class OpenPortTransport : public Transport {
public:
    OpenPortTransport() : Transport(TransportAddress{}) {}
    bool Open(int, std::string* reason) override
    {
        if (IsOpen())
            return true;
        if (reason)
            *reason = "порт не открыт";
        return false;
    }
    void Close() override {}
    bool IsOpen() const override { return PortHandle != kNoPort && !PortLost(); }
    WholeReply Read(uint8_t address, uint8_t function, uint8_t count, int timeoutMs) override
    {
        ExchangeMark mark;
        return ReadWholeReply(address, function, count, timeoutMs);
    }
    WriteReply Write(const uint8_t* frame, int length, int timeoutMs) override
    {
        ExchangeMark mark;
        return WriteWithReply(frame, length, timeoutMs);
    }

protected:
    // The port unit frames its own exchanges: these are never reached.
    bool Send(const uint8_t*, size_t) override { return false; }
    bool Receive(std::vector<uint8_t>*, std::chrono::steady_clock::time_point) override { return false; }
    void DropInput() override {}
};

LineScheduler* MakeDesktopLine()
{
    LineSchedule schedule;
    schedule.opensLine = false;
    schedule.periodMs = kOverviewCycleMs;
    // A cycle of 3 s already leaves room for a poll and a silent chamber
    // within every chamber's 4 s.
    schedule.aheadMs = 0;
    schedule.timeoutMs = kDefaultOverviewTimeoutMs;
    // Never deleted: the thread may still wait when the process ends, and
    // no static destructor must join it then.
    return new LineScheduler(QString(), std::make_unique<OpenPortTransport>(), schedule, nullptr, nullptr);
}

}  // namespace

LineScheduler& DesktopLine()
{
    static LineScheduler* line = [] {
        LineScheduler* made = MakeDesktopLine();
        made->Start();
        return made;
    }();
    return *line;
}

void StopDesktopLine() { DesktopLine().Stop(); }

void OnLine(const std::function<void()>& exchange)
{
    DesktopLine().Exchange([&] {
        ExchangeMark mark;
        exchange();
    });
}

int LineCollisions() { return g_collisions.load(); }

StatusExchange RunStatusExchange(int chamberAddress)
{
    StatusExchange result;
    OnLine([&] {
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
    });
    // One snapshot: the receive thread may still be writing a late chunk.
    result.reply = DecodeStatus(ReceiveBufferSnapshot(), chamberAddress);
    return result;
}

ProbeOutcome RunProbeExchange(int address)
{
    ProbeOutcome outcome = ProbeOutcome::NotFound;
    OnLine([&] {
        bool found = false;
        for (int attempt = 0; attempt < kProbeAttempts && !found && !WaitsAbandoned(); ++attempt) {
            if (PortLost()) {
                outcome = ProbeOutcome::PortLost;
                return;
            }
            found = ReadExchange(address, kReadInputRegisters, kProbeRegisterCount, kProbeWait);
        }
        // Pulled during the last attempt: its silence says nothing of the address.
        if (!found && PortLost())
            outcome = ProbeOutcome::PortLost;
        else
            outcome = found ? ProbeOutcome::Found : ProbeOutcome::NotFound;
    });
    return outcome;
}

OverviewRead RunOverviewExchange(int address, int timeoutMs)
{
    WholeReply whole;
    OnLine([&] {
        whole = ReadWholeReply(static_cast<uint8_t>(address & 0xFF), kStatusFunction, kStatusRegisterCount, timeoutMs);
    });
    return OverviewReadOf(address, whole);
}
