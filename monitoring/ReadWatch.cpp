#include "monitoring/ReadWatch.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "link/ChamberContract.h"
#include "link/Waits.h"

namespace {

constexpr size_t kSources = 2;

struct Marks {
    std::mutex lock;
    std::array<std::array<std::optional<ReadMark>, kSources>, kLastAddress + 1> byAddress;
};

Marks& TheMarks()
{
    static Marks marks;
    return marks;
}

ReadClock::time_point Deadline(const ReadMark& mark)
{
    return mark.at + std::chrono::milliseconds(static_cast<long long>(kUnreadPeriods) * mark.periodMs);
}

}  // namespace

int ChamberPeriodMs() { return ScaledMs(kChamberPeriodMs); }

int OverviewReadPeriodMs(int pauseMs) { return std::max(ChamberPeriodMs(), pauseMs); }

long long ReadAgeMs(const ReadMark& mark, ReadClock::time_point now)
{
    return std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(now - mark.at).count());
}

bool ReadOverdue(const ReadMark& mark, ReadClock::time_point now)
{
    return ReadAgeMs(mark, now) > static_cast<long long>(kUnreadPeriods) * mark.periodMs;
}

bool ChamberReadOverdue(int address, ReadClock::time_point now)
{
    const std::optional<ReadMark> mark = LastChamberRead(address);
    return mark && ReadOverdue(*mark, now);
}

void NoteChamberRead(ReadSource source, int address, int periodMs, ReadClock::time_point at)
{
    if (address < 0 || address > kLastAddress)
        return;
    Marks& marks = TheMarks();
    std::lock_guard<std::mutex> guard(marks.lock);
    marks.byAddress[static_cast<size_t>(address)][static_cast<size_t>(source)] = ReadMark{at, std::max(1, periodMs)};
}

std::optional<ReadMark> LastChamberRead(int address)
{
    if (address < 0 || address > kLastAddress)
        return std::nullopt;
    std::array<std::optional<ReadMark>, kSources> sources;
    {
        Marks& marks = TheMarks();
        std::lock_guard<std::mutex> guard(marks.lock);
        sources = marks.byAddress[static_cast<size_t>(address)];
    }
    std::optional<ReadMark> newest;
    ReadClock::time_point deadline;
    for (const std::optional<ReadMark>& m : sources) {
        if (!m)
            continue;
        if (!newest || m->at > newest->at)
            newest = m;
        deadline = std::max(deadline, Deadline(*m));
    }
    if (!newest)
        return std::nullopt;
    // The period that puts the newest read's deadline where the last reader's is.
    const long long allowed = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - newest->at).count();
    newest->periodMs = static_cast<int>(std::max<long long>(1, (allowed + kUnreadPeriods - 1) / kUnreadPeriods));
    return newest;
}

void ForgetChamberReads()
{
    Marks& marks = TheMarks();
    std::lock_guard<std::mutex> guard(marks.lock);
    for (auto& sources : marks.byAddress)
        sources.fill(std::nullopt);
}
