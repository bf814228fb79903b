// Helpers of the application benchmarks: the chamber simulator in a process
// of its own (so that its work is not counted as the application's), and the
// process's processor time and resident memory.
#pragma once

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sim/ChamberSim.h"
#include "sim/SimOptions.h"

namespace bench {

// Processor time of the whole process (every thread), in seconds.
inline double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Resident memory of this process, in MB (VmRSS).
inline double RssMb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            status >> kb;
            return kb / 1024.0;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

inline const char* Verdict(bool pass) { return pass ? "PASS" : "FAIL"; }

struct SimSetup {
    std::vector<int> chambers{12};
    sim::Faults faults;
    double speed = 1.0;
    uint32_t seed = 1;
    // Faults of single chambers (over the common ones) and the controllers'
    // time before a reply.
    std::map<int, sim::Faults> chamberFaults;
    std::chrono::microseconds controllerDelay{3000};
    // Chambers that fall silent and come back, in real seconds after the
    // simulator started (as chamber-sim's --outage).
    std::map<int, sim::SimOptions::Outage> outages;
    // Every chamber already running in manual mode, holding the room's
    // climate (22 °C, 45 %), as chambers of a working lab are.
    bool runningAtRoomClimate = false;
};

// The simulated line in a child process. Must be started before the
// application creates any thread (before QApplication).
class SimProcess {
public:
    bool Start(const SimSetup& setup, std::string* error)
    {
        int toParent[2];
        int fromParent[2];
        if (::pipe(toParent) != 0 || ::pipe(fromParent) != 0) {
            *error = "pipe failed";
            return false;
        }
        m_pid = ::fork();
        if (m_pid < 0) {
            *error = "fork failed";
            return false;
        }
        if (m_pid == 0) {
            ::close(toParent[0]);
            ::close(fromParent[1]);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ServeUntilParentLets(setup, toParent[1], fromParent[0]);
            std::_Exit(0);
        }
        ::close(toParent[1]);
        ::close(fromParent[0]);
        m_control = fromParent[1];
        // Programs started later (an X server, a bus) must not keep the
        // simulator waiting for the end of this pipe.
        ::fcntl(m_control, F_SETFD, FD_CLOEXEC);
        std::string line;
        char c;
        while (::read(toParent[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(toParent[0]);
        if (line.empty() || line[0] != '/') {
            *error = "simulator: " + line;
            return false;
        }
        m_path = line;
        return true;
    }

    const std::string& Path() const { return m_path; }

    void Stop()
    {
        if (m_pid <= 0)
            return;
        ::close(m_control);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    ~SimProcess() { Stop(); }

private:
    static void ServeUntilParentLets(const SimSetup& setup, int report, int control)
    {
        sim::BusSimulator bus;
        bus.SetSeed(setup.seed);
        bus.SetSpeed(setup.speed);
        bus.SetControllerDelay(setup.controllerDelay);
        for (int address : setup.chambers) {
            bus.AddChamber(address);
            auto own = setup.chamberFaults.find(address);
            bus.SetFaults(address, own != setup.chamberFaults.end() ? own->second : setup.faults);
            if (setup.runningAtRoomClimate)
                bus.WithChamber(address, [](sim::ChamberModel& m) {
                    m.WriteRegisters(0x0D, {22, 45, 1});  // manual set points, sign +
                    m.WriteRegisters(0x10, {1});          // manual start
                });
        }
        std::string error;
        const std::string line = bus.Start(&error) ? bus.SlavePath() : error;
        (void)!::write(report, (line + "\n").data(), line.size() + 1);
        ::close(report);
        // Until the parent closes its end (or ends); the frame logs are
        // emptied now and then so a long run does not grow them, and the
        // outages are put in place as they fall due.
        sim::SimOptions timed;
        timed.outages = setup.outages;
        const auto start = std::chrono::steady_clock::now();
        const auto elapsed = [start] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        double nextOutage = sim::ApplyOutages(timed, &bus, 0);
        auto nextClearing = start + std::chrono::seconds(10);
        for (;;) {
            int waitMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(nextClearing - std::chrono::steady_clock::now())
                    .count());
            if (nextOutage >= 0)
                waitMs = std::min(waitMs, static_cast<int>((nextOutage - elapsed()) * 1000) + 1);
            pollfd p{control, POLLIN, 0};
            const int ready = ::poll(&p, 1, std::max(0, waitMs));
            if (ready > 0)
                break;
            if (ready < 0 && errno != EINTR)
                break;
            if (nextOutage >= 0 && elapsed() >= nextOutage)
                nextOutage = sim::ApplyOutages(timed, &bus, elapsed());
            if (std::chrono::steady_clock::now() >= nextClearing) {
                bus.ClearReceivedFrames();
                bus.ClearSentWrites();
                nextClearing += std::chrono::seconds(10);
            }
        }
        bus.Stop();
    }

    pid_t m_pid = -1;
    int m_control = -1;
    std::string m_path;
};

}  // namespace bench
