// How fast the simulator answers over its pseudo-terminal, and how cheap the
// chamber model is to step.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "link/Rtu.h"
#include "sim/ChamberSim.h"

namespace {

// One status read and its 39-byte reply, end to end. The floor is the
// controller time (set to 0 here) plus the wire time of the reply, 6.8 ms.
void BM_StatusRoundTrip(benchmark::State& state)
{
    sim::BusSimulator bus;
    bus.SetControllerDelay(std::chrono::microseconds(0));
    bus.AddChamber(1);
    std::string error;
    if (!bus.Start(&error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const int fd = ::open(bus.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    const auto request = BuildReadRequest(1, 0x04, 15);
    uint8_t buffer[64];
    for (auto _ : state) {
        (void)!::write(fd, request.data(), request.size());
        size_t got = 0;
        pollfd p{fd, POLLIN, 0};
        while (got < 39 && ::poll(&p, 1, 1000) == 1) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got != 39)
            state.SkipWithError("short reply");
    }
    ::close(fd);
}
BENCHMARK(BM_StatusRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();

// A simulated day of a running program, one-second integration steps.
void BM_ModelDay(benchmark::State& state)
{
    for (auto _ : state) {
        sim::ChamberModel m;
        m.WriteRegisters(0x0000, {1, 1, 40, 99, 0, 60, 1, 0, 2, 1, 0, 0, 1});
        m.WriteRegisters(0x0011, {1, 1});
        m.Step(24 * 3600);
        benchmark::DoNotOptimize(m.Temperature());
    }
}
BENCHMARK(BM_ModelDay)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
