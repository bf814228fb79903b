// chamber-sim: chamber controllers on a pseudo-terminal, for running the
// operator client without a chamber. See sim/README.md.
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/ChamberSim.h"
#include "sim/SimOptions.h"
#include "sim/TcpGateway.h"
#include <tuple>

namespace {

// Replaces a symlink at path, never a real file.
bool MakeLink(const std::string& path, const std::string& target, std::string* error)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = path + " exists and is not a symlink";
            return false;
        }
        if (::unlink(path.c_str()) != 0) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Removes the link only while it still points at our terminal: another
// simulator may have taken the name over meanwhile.
void RemoveLink(const std::string& path, const std::string& target)
{
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0)
        return;
    buffer[n] = '\0';
    if (target == buffer)
        ::unlink(path.c_str());
}

// Blocked before the serving thread exists, so that only sigwait in
// ServeUntilStopped ever sees them.
sigset_t BlockStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// --verbose: every frame on stderr with its time since the start.
void LogFrames(sim::BusSimulator* bus)
{
    const auto start = std::chrono::steady_clock::now();
    bus->SetLogger([start](const std::string& line) {
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "%10.1f ms  %s\n", ms, line.c_str());
    });
}

// The terminal's path (and the link's) on stdout, for whoever started us.
void Announce(const sim::SimOptions& options, const sim::BusSimulator& bus)
{
    const std::string path = bus.SlavePath();
    if (options.link.empty())
        std::printf("%s\n", path.c_str());
    else
        std::printf("%s %s\n", path.c_str(), options.link.c_str());
    std::fflush(stdout);
    if (options.verbose) {
        std::string list;
        for (int address : bus.Chambers())
            list += " " + std::to_string(address);
        std::fprintf(stderr, "chambers:%s, speed %g\n", list.c_str(), options.speed);
    }
}

// Serves until one of the signals comes (status 0) or, strict, until two
// masters were heard talking at once (status 3). Outages begin and end on
// time meanwhile.
int ServeUntilStopped(const sim::SimOptions& options, sim::BusSimulator* bus, const sigset_t& signals)
{
    // The logs are for tests; a simulator left running for days must not
    // hoard every frame, so they are emptied now and then.
    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    double nextOutage = sim::ApplyOutages(options, bus, 0);
    double nextClear = 10;
    for (;;) {
        // Woken for the next outage change, the next clearing, and (strict)
        // every 100 ms to look for a collision.
        double until = nextClear;
        if (nextOutage >= 0)
            until = std::min(until, nextOutage);
        double wait = std::max(0.0, until - elapsed());
        if (options.strict)
            wait = std::min(wait, 0.1);
        const timespec period{static_cast<time_t>(wait), static_cast<long>((wait - static_cast<long>(wait)) * 1e9)};
        if (sigtimedwait(&signals, nullptr, &period) >= 0)
            return 0;
        if (options.strict) {
            const std::vector<std::string> collisions = bus->Collisions();
            for (const std::string& c : collisions)
                std::fprintf(stderr, "chamber-sim: strict: %s\n", c.c_str());
            if (!collisions.empty())
                return 3;
        }
        if (nextOutage >= 0 && elapsed() >= nextOutage)
            nextOutage = sim::ApplyOutages(options, bus, elapsed());
        if (elapsed() >= nextClear) {
            bus->ClearReceivedFrames();
            bus->ClearSentWrites();
            nextClear = elapsed() + 10;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    sim::SimOptions options;
    std::string error;
    if (!sim::ParseSimOptions(args, &options, &error)) {
        std::fprintf(stderr, "chamber-sim: %s\nTry chamber-sim --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(sim::SimUsage().c_str(), stdout);
        return 0;
    }
    const sigset_t signals = BlockStopSignals();

    sim::BusSimulator bus;
    sim::ApplySimOptions(options, &bus);
    if (options.verbose)
        LogFrames(&bus);
    if (!bus.Start(&error)) {
        std::fprintf(stderr, "chamber-sim: %s\n", error.c_str());
        return 1;
    }
    const std::string path = bus.SlavePath();
    if (!options.link.empty() && !MakeLink(options.link, path, &error)) {
        std::fprintf(stderr, "chamber-sim: %s\n", error.c_str());
        return 1;
    }
    // The boxes in front of the line open its terminal as a client does.
    sim::TcpGateway raw;
    sim::TcpGateway modbus;
    for (auto [port, mode, gateway] : {std::make_tuple(options.tcpPort, sim::TcpGateway::Mode::RawRtu, &raw),
                                       std::make_tuple(options.modbusTcpPort, sim::TcpGateway::Mode::ModbusTcp, &modbus)}) {
        if (port == 0)
            continue;
        sim::TcpGateway::Options served;
        served.mode = mode;
        served.linePath = path;
        served.port = static_cast<uint16_t>(port);
        // As a gateway set up for a short line: a silent controller is
        // answered with exception 0x0B soon, not left to the client's timeout.
        served.replyTimeout = std::chrono::milliseconds(100);
        served.answerTargetFailure = true;
        if (!gateway->Start(served, &error)) {
            std::fprintf(stderr, "chamber-sim: TCP port %d: %s\n", port, error.c_str());
            if (!options.link.empty())
                RemoveLink(options.link, path);
            return 1;
        }
    }
    Announce(options, bus);
    const int status = ServeUntilStopped(options, &bus, signals);
    if (!options.link.empty())
        RemoveLink(options.link, path);
    raw.Stop();
    modbus.Stop();
    bus.Stop();
    return status;
}
