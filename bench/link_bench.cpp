// Figures of the serial link over a pseudo-terminal:
//   (a) how soon a chunk written on the line is in ReceiveBuffer,
//   (b) what the receive thread costs on an idle open port,
//   (c) how much one ReadExchange takes beyond its fixed wait.
// Usage: link_bench [--quick]   (--quick: 2 s instead of 10 s for (b))
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/PortUnit.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double ProcessCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[at];
}

void Report(const char* what, double value, const char* unit, const char* target, bool pass)
{
    std::printf("%-48s %10.4f %-6s target %-10s %s\n", what, value, unit, target, pass ? "PASS" : "FAIL");
}

struct Line {
    int master = -1;
    int slave = -1;
    std::string path;
};

bool OpenLine(Line& line)
{
    if (::openpty(&line.master, &line.slave, nullptr, nullptr, nullptr) != 0)
        return false;
    line.path = ::ttyname(line.slave);
    ::fcntl(line.master, F_SETFL, ::fcntl(line.master, F_GETFL) | O_NONBLOCK);
    ::setenv("CALVETRA_COM1", line.path.c_str(), 1);
    const PortOpenResult result = OpenPort(0);
    if (!result.ok) {
        std::fprintf(stderr, "%s\n", result.Message().c_str());
        return false;
    }
    return true;
}

void WriteAll(int fd, const uint8_t* bytes, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, bytes + done, length - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}

// (a) From the write on the line to the bytes being in ReceiveBuffer.
bool ChunkLatency(const Line& line)
{
    constexpr int kSamples = 1000;
    std::vector<double> samples;
    samples.reserve(kSamples);
    int lost = 0;
    for (int i = 0; i < kSamples; ++i) {
        // A status reply's length, marked with the sample number.
        uint8_t reply[39];
        for (size_t k = 0; k < sizeof reply; ++k)
            reply[k] = static_cast<uint8_t>(i * 31 + k * 7 + 1);
        ClearReceiveBuffer();
        const auto start = Clock::now();
        WriteAll(line.master, reply, sizeof reply);
        bool landed = false;
        while (Clock::now() - start < std::chrono::seconds(1)) {
            const ReceiveBytes buffer = ReceiveBufferSnapshot();
            if (std::equal(reply, reply + sizeof reply, buffer.begin())) {
                landed = true;
                break;
            }
            // Leave the core to the receive thread if the two share one.
            std::this_thread::yield();
        }
        if (!landed) {
            ++lost;
            continue;
        }
        samples.push_back(Ms(Clock::now() - start));
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (samples.empty()) {
        std::printf("(a) no chunk ever landed\n");
        return false;
    }
    const double median = Percentile(samples, 0.5);
    const double p99 = Percentile(samples, 0.99);
    std::printf("(a) chunk landing, %zu samples of 39 bytes (%d lost), max %.3f ms\n", samples.size(), lost,
                *std::max_element(samples.begin(), samples.end()));
    Report("    median write-to-buffer latency", median, "ms", "< 1 ms", median < 1.0);
    Report("    99th percentile write-to-buffer latency", p99, "ms", "< 5 ms", p99 < 5.0);
    return median < 1.0 && p99 < 5.0 && lost == 0;
}

// (b) Processor time of the whole process while the main thread sleeps and
// the receive thread waits on an idle port.
bool IdleCost(int seconds)
{
    const double cpuBefore = ProcessCpuMs();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = Ms(Clock::now() - start);
    const double cpu = ProcessCpuMs() - cpuBefore;
    const double share = 100.0 * cpu / wall;
    std::printf("(b) idle open port for %d s: %.3f ms of processor time\n", seconds, cpu);
    Report("    receive thread share of a core", share, "%", "< 0.1 %", share < 0.1);
    return share < 0.1;
}

// (c) One scan-probe attempt with its real 160 ms wait, answered by a
// controller played on the line; the excess over 160 ms is the link's own.
bool ExchangeOverhead(const Line& line)
{
    constexpr int kRuns = 30;
    constexpr int kWait = 160;
    SetTimeScale(1.0);
    std::atomic<bool> stop{false};
    std::thread controller([&] {
        const auto request = BuildReadRequest(1, 0x04, 3);
        uint8_t reply[11] = {0x01, 0x04, 0x06, 0x00, 0xFA, 0x01, 0x2C, 0x00, 0x07};
        AppendCrc(reply, 9);
        std::vector<uint8_t> seen;
        while (!stop) {
            pollfd p{line.master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            uint8_t chunk[64];
            const ssize_t n = ::read(line.master, chunk, sizeof chunk);
            if (n <= 0)
                continue;
            seen.insert(seen.end(), chunk, chunk + n);
            if (seen.size() >= request.size()) {
                seen.clear();
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                WriteAll(line.master, reply, sizeof reply);
            }
        }
    });
    std::vector<double> overhead;
    int found = 0;
    for (int i = 0; i < kRuns; ++i) {
        const auto start = Clock::now();
        found += ReadExchange(1, 0x04, 3, kWait);
        overhead.push_back(Ms(Clock::now() - start) - kWait);
    }
    stop = true;
    controller.join();
    const double median = Percentile(overhead, 0.5);
    const double worst = *std::max_element(overhead.begin(), overhead.end());
    std::printf("(c) %d exchanges with a %d ms wait, %d answered\n", kRuns, kWait, found);
    Report("    median time beyond the wait", median, "ms", "< 2 ms", median < 2.0);
    Report("    worst time beyond the wait", worst, "ms", "< 2 ms", worst < 2.0);
    return worst < 2.0 && found == kRuns;
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            std::fprintf(stderr, "usage: %s [--quick]\n", argv[0]);
            return 2;
        }
    }
    // The figures are only as good as the machine is quiet.
    if (FILE* load = std::fopen("/proc/loadavg", "r")) {
        char text[64] = {};
        if (std::fgets(text, sizeof text, load))
            std::printf("load average: %s", text);
        std::fclose(load);
    }
    std::printf("processors online: %ld\n", ::sysconf(_SC_NPROCESSORS_ONLN));
    Line line;
    if (!OpenLine(line)) {
        std::fprintf(stderr, "cannot set up a pseudo-terminal line: %s\n", std::strerror(errno));
        return 1;
    }
    bool pass = ChunkLatency(line);
    pass = IdleCost(quick ? 2 : 10) && pass;
    pass = ExchangeOverhead(line) && pass;
    ClosePort();
    ::close(line.master);
    ::close(line.slave);
    std::printf("%s\n", pass ? "all figures within target" : "some figures outside target");
    return pass ? 0 : 1;
}
