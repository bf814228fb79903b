// How long the window is blocked by a status poll and a scan probe, with the
// real reply windows, against the chamber simulator:
//   answered poll  = 800 ms + overhead (one attempt)
//   silent poll    = 20 × 800 ms + overhead
//   probe attempt  = 160 ms + overhead (gap between two requests of one
//                    probe of a silent address, as the simulator saw them)
// Usage: poll_timing [answered polls] [silent polls] [silent probes]
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/PortUnit.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "ui/ErrorDisplay.h"
#include "ui/Startup.h"
#include "ui/main.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(const char* what, std::vector<double> ms, double nominal)
{
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    std::printf("%-26s n=%-3zu min %9.2f  median %9.2f  max %9.2f ms   over %5.0f ms: median %+7.2f, max %+7.2f\n",
                what, ms.size(), ms.front(), median, ms.back(), nominal, median - nominal, ms.back() - nominal);
}

// Times one call of a handler body.
template <class Body>
double Timed(Body&& body)
{
    const auto start = Clock::now();
    body();
    return Ms(Clock::now() - start);
}

void Select(int address)
{
    Form1->ListBox1->clear();
    Form1->ListBox1->addItem(ChamberEntryText(address));
    Form1->ListBox1->setCurrentRow(0);
}

}  // namespace

int main(int argc, char** argv)
{
    const int answeredPolls = argc > 1 ? std::atoi(argv[1]) : 20;
    const int silentPolls = argc > 2 ? std::atoi(argv[2]) : 2;
    const int silentProbes = argc > 3 ? std::atoi(argv[3]) : 10;

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetErrorDisplayHook([](const QString& text) { std::fprintf(stderr, "error: %s\n", qPrintable(text)); });
    SetTimeScale(1.0);
    CreateApplicationWindows(false);

    sim::BusSimulator bus;
    std::string error;
    if (!bus.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    bus.AddChamber(12);
    bus.AddChamber(13);
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(13, silent);
    ::setenv("CALVETRA_COM1", bus.SlavePath().c_str(), 1);
    Form1->ComboBox1->setCurrentIndex(0);
    Guarded([] { Form1->Button5Click(); });

    std::printf("poll_timing: simulator on %s, controller delay 3 ms, 57600 baud\n", bus.SlavePath().c_str());

    std::vector<double> answered;
    Select(12);
    for (int i = 0; i < answeredPolls; ++i) {
        bus.ResetRequestCount(12);
        answered.push_back(Timed([] { Form1->ReadStatus(); }));
        if (bus.RequestCount(12) != 1)
            std::fprintf(stderr, "answered poll %d took %d attempts\n", i, bus.RequestCount(12));
    }
    Report("answered poll", answered, 800);

    std::vector<double> silentMs;
    std::vector<double> pollAttempts;
    Select(13);
    for (int i = 0; i < silentPolls; ++i) {
        bus.ClearReceivedFrames();
        silentMs.push_back(Timed([] { Form1->ReadStatus(); }));
        const auto frames = bus.ReceivedFrames();
        for (size_t k = 1; k < frames.size(); ++k)
            pollAttempts.push_back(Ms(frames[k].time - frames[k - 1].time));
    }
    Report("silent poll (20 attempts)", silentMs, 16000);
    Report("  its attempt gaps", pollAttempts, 800);

    std::vector<double> probeMs;
    std::vector<double> probeGaps;
    for (int i = 0; i < silentProbes; ++i) {
        bus.ClearReceivedFrames();
        probeMs.push_back(Timed([] { Form1->ProbeAddress(13); }));
        const auto frames = bus.ReceivedFrames();
        for (size_t k = 1; k < frames.size(); ++k)
            probeGaps.push_back(Ms(frames[k].time - frames[k - 1].time));
    }
    Report("silent probe (5 attempts)", probeMs, 800);
    Report("probe attempt gap", probeGaps, 160);

    DestroyApplicationWindows();
    bus.Stop();
    return 0;
}
