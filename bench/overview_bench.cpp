// Figures of the overview: many chambers read in turn between the selected
// chamber's polls, against the simulator in a process of its own.
//   build/overview_bench            (about two minutes)
//   build/overview_bench --quick    (shorter runs, for a smoke test)
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "AppSupport.h"
#include "link/ChamberContract.h"
#include "link/PortUnit.h"
#include "monitoring/LineOwner.h"
#include "monitoring/Overview.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::chrono::microseconds kControllerDelay{5000};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct RunResult {
    std::map<int, std::vector<Clock::time_point>> answered;  // per address
    std::vector<Clock::time_point> selectedReads;  // the reader's reads of the selected chamber
    std::vector<double> overheadMs;  // took minus wire and controller time
    int polls = 0;
    int pollsAnswered = 0;
    double cpuSeconds = 0;
    double seconds = 0;
    double rssStart = 0, rssEnd = 0;
    long reads = 0;
};

// Reads `chambers` for `seconds` with the selected chamber (if > 0) polled
// every 4 s as the main window does, through the same line; or, with
// byReader, read by the overview's own scheduler as the main window has it
// while the overview runs.
RunResult Run(const std::vector<int>& chambers, int selected, int seconds, std::chrono::microseconds controllerDelay,
              bool byReader = false)
{
    RunResult r;
    std::mutex lock;
    // The simulator takes the request the moment it is written (a pseudo-
    // terminal has no wire time that way) and sends the reply at the wire's
    // pace after its controller time.
    const double wireAndController = Ms(sim::BusSimulator::WireTime(39) + controllerDelay);
    OverviewReader reader;
    QObject::connect(
        &reader, &OverviewReader::Read, &reader,
        [&](const OverviewRead& read) {
            std::lock_guard<std::mutex> guard(lock);
            ++r.reads;
            if (read.selected)
                r.selectedReads.push_back(Clock::now());
            if (!read.answered)
                return;
            r.answered[read.address].push_back(Clock::now());
            r.overheadMs.push_back(Ms(read.took) - wireAndController);
        },
        Qt::DirectConnection);
    reader.SetAddresses(QVector<int>(chambers.begin(), chambers.end()));

    std::atomic<bool> stop{false};
    std::thread poller;
    if (selected > 0 && byReader)
        reader.SetSelected(selected, kStatusPollPeriodMs);
    if (selected > 0 && !byReader) {
        poller = std::thread([&] {
            auto due = Clock::now() + milliseconds(500);
            while (!stop) {
                DesktopLine().ExpectExchangeAt(due);
                std::this_thread::sleep_until(due);
                if (stop)
                    break;
                const StatusExchange e = RunStatusExchange(selected);
                {
                    std::lock_guard<std::mutex> guard(lock);
                    ++r.polls;
                    r.pollsAnswered += e.found;
                }
                // Timer1 ticks every 4 s from its start, whatever a poll took.
                due += milliseconds(4000);
            }
            DesktopLine().ClearExpectedExchange();
        });
    }
    const double cpu0 = bench::CpuSeconds();
    const auto t0 = Clock::now();
    reader.Start();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    r.rssStart = bench::RssMb();
    std::this_thread::sleep_until(t0 + std::chrono::seconds(seconds));
    reader.Stop();
    stop = true;
    if (poller.joinable())
        poller.join();
    r.seconds = Ms(Clock::now() - t0) / 1000.0;
    r.cpuSeconds = bench::CpuSeconds() - cpu0;
    r.rssEnd = bench::RssMb();
    return r;
}

// The longest time between two answered reads of any of the chambers,
// counted from the first read of each (the first cycle's start is not a gap).
double LongestGapMs(const RunResult& r, const std::vector<int>& chambers, int* missing)
{
    double longest = 0;
    *missing = 0;
    for (int a : chambers) {
        auto it = r.answered.find(a);
        if (it == r.answered.end() || it->second.size() < 2) {
            ++*missing;
            continue;
        }
        for (size_t i = 1; i < it->second.size(); ++i)
            longest = std::max(longest, Ms(it->second[i] - it->second[i - 1]));
    }
    return longest;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Chambers 1..count behind a simulator of their own, controllers answering
// in 5 ms, and the port opened on it.
bool OpenOnSim(bench::SimProcess& sim, int count, const std::vector<int>& silent, double speed)
{
    bench::SimSetup setup;
    setup.chambers.clear();
    for (int a = 1; a <= count; ++a)
        setup.chambers.push_back(a);
    sim::Faults quiet;
    quiet.silent = true;
    for (int a : silent)
        setup.chamberFaults[a] = quiet;
    setup.speed = speed;
    setup.controllerDelay = kControllerDelay;
    std::string error;
    if (!sim.Start(setup, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return OpenPortDevice("COM1", sim.Path()).ok;
}

std::vector<int> Addresses(int count)
{
    std::vector<int> all;
    for (int a = 1; a <= count; ++a)
        all.push_back(a);
    return all;
}

// 1 and 2: 100 chambers answering in 5 ms, chamber 1 also polled.
std::optional<bool> HundredChambers(bool quick)
{
    bench::SimProcess sim;
    if (!OpenOnSim(sim, 100, {}, 0))
        return std::nullopt;
    const std::vector<int> chambers = Addresses(100);
    const RunResult r = Run(chambers, 1, quick ? 10 : 18, kControllerDelay);
    int missing = 0;
    const double gap = LongestGapMs(r, chambers, &missing);
    const bool pass = missing == 0 && gap <= 4000 + 20;
    std::printf("100 chambers, 5 ms controllers, poll of chamber 1 every 4 s:\n");
    std::printf("  longest time between two reads of one chamber: %.0f ms (%d never read twice)  %s\n", gap,
                missing, bench::Verdict(pass));
    std::printf("  polls %d, answered %d; overview reads %ld in %.1f s\n", r.polls, r.pollsAnswered, r.reads,
                r.seconds);
    const double median = Median(r.overheadMs);
    const bool fast = median < 3.0;
    std::printf("  time per read beyond wire and controller time: median %.2f ms  %s\n", median,
                bench::Verdict(fast));
    ClosePort();
    return pass && fast;
}

// 3: 32 chambers, 5 of them silent.
std::optional<bool> ThirtyTwoWithFiveSilent(bool quick)
{
    bench::SimProcess sim;
    const std::vector<int> silent = {3, 9, 15, 21, 27};
    if (!OpenOnSim(sim, 32, silent, 0))
        return std::nullopt;
    std::vector<int> answering;
    for (int a : Addresses(32))
        if (std::find(silent.begin(), silent.end(), a) == silent.end())
            answering.push_back(a);
    const RunResult r = Run(Addresses(32), 1, quick ? 10 : 18, kControllerDelay);
    int missing = 0;
    const double gap = LongestGapMs(r, answering, &missing);
    const bool pass = missing == 0 && gap <= 4000 + 20;
    std::printf("32 chambers, 5 silent, poll of chamber 1 every 4 s:\n");
    std::printf("  longest time between two reads of an answering chamber: %.0f ms  %s\n", gap,
                bench::Verdict(pass));
    ClosePort();
    return pass;
}

// 4: processor time and resident memory with 32 chambers watched.
std::optional<bool> ProcessorAndMemory(bool quick)
{
    bench::SimProcess sim;
    if (!OpenOnSim(sim, 32, {}, 60))
        return std::nullopt;
    const RunResult r = Run(Addresses(32), 1, quick ? 20 : 60, kControllerDelay);
    const double percent = 100.0 * r.cpuSeconds / r.seconds;
    const bool pass = percent < 1.0;
    std::printf("32 chambers watched for %.0f s (%ld reads, %d polls):\n", r.seconds, r.reads, r.polls);
    std::printf("  processor time of the reading (overview thread, receive thread, poll): %.2f %% of a core  %s\n",
                percent, bench::Verdict(pass));
    std::printf("  resident memory: %.1f MB after 2 s, %.1f MB at the end\n", r.rssStart, r.rssEnd);
    ClosePort();
    return pass;
}

// 5: 32 chambers, the selected one silent and read by the overview's
// scheduler: no chamber blinds the line.
std::optional<bool> SilentSelectedChamber(bool quick)
{
    bench::SimProcess sim;
    const int selected = 20;
    if (!OpenOnSim(sim, 32, {selected}, 0))
        return std::nullopt;
    std::vector<int> answering;
    for (int a : Addresses(32))
        if (a != selected)
            answering.push_back(a);
    const RunResult r = Run(Addresses(32), selected, quick ? 12 : 30, kControllerDelay, true);
    int missing = 0;
    const double gap = LongestGapMs(r, answering, &missing);
    double selectedGap = 0;
    for (size_t i = 1; i < r.selectedReads.size(); ++i)
        selectedGap = std::max(selectedGap, Ms(r.selectedReads[i] - r.selectedReads[i - 1]));
    const bool pass = missing == 0 && gap <= 4000 + 20 && r.selectedReads.size() >= 2 && selectedGap <= 4000 + 20;
    std::printf("32 chambers watched, the selected chamber %d silent, read by the overview every 4 s:\n", selected);
    std::printf("  longest time between two reads of an answering chamber: %.0f ms (%d never read twice)\n"
                "  reads of the silent selected chamber: %zu, longest time between two: %.0f ms  %s\n",
                gap, missing, r.selectedReads.size(), selectedGap, bench::Verdict(pass));
    ClosePort();
    return pass;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    bool ok = true;
    for (auto run : {HundredChambers, ThirtyTwoWithFiveSilent, ProcessorAndMemory, SilentSelectedChamber}) {
        const std::optional<bool> passed = run(quick);
        if (!passed)
            return 1;  // the simulator or the port did not come up
        ok = ok && *passed;
    }
    return ok ? 0 : 1;
}
