// Figures of the line monitor:
//   (a) what recording one chunk costs the receive thread (the hook in
//       StoreChunk), with the window's drain running meanwhile,
//   (b) resident memory after 10,000 and 100,000 recorded frames: bounded by
//       the monitor's list and the rings, not by the traffic.
// Usage: monitor_bench
#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "AppSupport.h"
#include "link/PortUnit.h"
#include "monitoring/LineMonitor.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

void Report(const char* what, double value, const char* unit, const char* target, bool pass)
{
    std::printf("%-52s %10.3f %-4s target %-10s %s\n", what, value, unit, target, pass ? "PASS" : "FAIL");
}

// A status reply's worth of bytes, as the receive thread stores it.
const uint8_t kReply[37] = {0x01, 0x04, 0x22, 0x00, 0xFD, 0x00, 0x02, 0x01, 0x2C, 0x00, 0x00, 0x00, 0x0A,
                            0x00, 0x01, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x1E, 0x00, 0x01, 0x00, 0x03, 0x00,
                            0x01, 0x00, 0x02, 0x00, 0x5F, 0x01, 0xC8, 0x01, 0xF4, 0x12, 0x34};

// StoreChunk timed one by one on a thread of its own (the receive thread's
// part), while this thread drains every 100 ms as the window does.
std::vector<double> TimeStoreChunk(int chunks, LineMonitor* monitor)
{
    std::vector<double> ns(static_cast<size_t>(chunks));
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        for (int i = 0; i < chunks; ++i) {
            const auto start = Clock::now();
            StoreChunk(kReply, sizeof kReply);
            ns[static_cast<size_t>(i)] = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            // A chunk every 100 µs: ten thousand a second, some twenty times
            // what a 57600-baud line can carry, yet within what the rings
            // hold between two drains.
            const auto until = start + std::chrono::microseconds(100);
            while (Clock::now() < until) {
            }
        }
        done = true;
    });
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (monitor)
            DrainLineRecording(*monitor);
    }
    receiver.join();
    if (monitor)
        DrainLineRecording(*monitor);
    return ns;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    constexpr int kChunks = 50000;
    constexpr int kFrames = 100000;

    const std::vector<double> bare = TimeStoreChunk(kChunks, nullptr);
    LineMonitor monitor;
    StartLineRecording();
    const std::vector<double> recorded = TimeStoreChunk(kChunks, &monitor);
    const double median = Percentile(recorded, 0.5);
    std::printf("StoreChunk without the monitor: median %.0f ns, p99 %.0f ns\n", Percentile(bare, 0.5),
                Percentile(bare, 0.99));
    std::printf("StoreChunk with the monitor:    median %.0f ns, p99 %.0f ns; dropped %llu of %d\n", median,
                Percentile(recorded, 0.99), static_cast<unsigned long long>(monitor.Counters().dropped), kChunks);
    Report("(a) receive-thread cost per recorded chunk, median", median / 1000.0, "us", "< 5", median < 5000);

    // (b) requests and replies alternately, drained as the window would.
    monitor.Clear();
    const auto request = BuildReadRequest(1, 0x04, 15);
    double at10k = 0;
    const double start = bench::RssMb();
    for (int i = 1; i <= kFrames / 2; ++i) {
        WriteFrame(request.data(), static_cast<int>(request.size()));  // no port open: recorded, not sent
        StoreChunk(kReply, sizeof kReply);
        if (i % 500 == 0)
            DrainLineRecording(monitor);
        if (i == 5000)
            at10k = bench::RssMb();
    }
    DrainLineRecording(monitor);
    const double at100k = bench::RssMb();
    StopLineRecording();
    std::printf("frames recorded %d, entries kept %zu (list capacity %zu)\n", kFrames, monitor.Entries().size(),
                monitor.Capacity());
    std::printf("resident memory: %.1f MB before, %.1f MB at 10,000 frames, %.1f MB at 100,000 frames\n", start,
                at10k, at100k);
    Report("(b) memory growth from 10,000 to 100,000 frames", at100k - at10k, "MB", "< 1", at100k - at10k < 1.0);
    return 0;
}
