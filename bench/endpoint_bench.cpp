// The status endpoint's cost: what it adds to the poll path while a scraper
// reads /metrics every second (target: under 1 ms per poll), and how long
// /metrics takes to answer (target: median under 5 ms), and a burst of 50
// parallel scrapers of 4 requests each, more than the endpoint's places
// (target: every request answered, none reset). Loopback only; the
// chamber is the in-process simulator on a pseudo-terminal.
//
//   QT_QPA_PLATFORM=offscreen build/endpoint_bench [polls]
#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/PortUnit.h"
#include "monitoring/Presentation.h"
#include "monitoring/StatusDecode.h"
#include "sim/ChamberSim.h"
#include "ui/AlarmCenter.h"
#include "ui/ErrorDisplay.h"
#include "ui/Startup.h"
#include "ui/StatusEndpoint.h"
#include "ui/main.h"

namespace {

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
    double median, p99, max;
};

Figures Summary(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)], v.back()};
}

bool Get(quint16 port, const char* path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    const std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    ok = ok && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    char buffer[8192];
    std::string answer;
    ssize_t n;
    while (ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return ok && answer.rfind("HTTP/1.1 200", 0) == 0;
}

// Wall time of `polls` status polls, each one ReadStatus to its end.
std::vector<double> PollTimes(int polls)
{
    std::vector<double> times;
    for (int i = 0; i < polls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        Form1->ReadStatus();
        times.push_back(Ms(std::chrono::steady_clock::now() - start));
        QCoreApplication::processEvents();
    }
    return times;
}

}  // namespace

int main(int argc, char** argv)
{
    const int polls = argc > 1 ? std::max(20, std::atoi(argv[1])) : 300;
    QApplication app(argc, argv);
    SetErrorDisplayHook([](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
    sim::BusSimulator bus;
    std::string error;
    if (!bus.Start(&error) || !bus.AddChamber(12)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    bus.SetSpeed(0);
    bus.SetControllerDelay(std::chrono::microseconds(200));
    ::setenv("CALVETRA_COM1", bus.SlavePath().c_str(), 1);
    CreateApplicationWindows(false);
    AlarmCenter->SetNotifier([](const QString&, const QString&, bool) { return false; });
    Form1->ComboBox1->setCurrentIndex(0);
    Guarded([] { Form1->Button5Click(); });
    Form1->ListBox1->addItem(ChamberEntryText(12));
    Form1->ListBox1->setCurrentRow(0);
    // 8 ms reply windows: the sleep dominates a poll all the same, so the
    // extra cost is also measured on its own below.
    SetTimeScale(0.01);

    const Figures off = Summary(PollTimes(polls));

    Endpoint = new StatusEndpoint;
    QString failure;
    if (!Endpoint->Start("127.0.0.1", 0, &failure)) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        return 1;
    }
    const quint16 port = Endpoint->Port();
    std::atomic<bool> stop{false};
    std::atomic<int> scrapes{0}, failures{0};
    auto scraper = [&](int periodMs) {
        return std::thread([&, periodMs] {
            while (!stop) {
                (Get(port, "/metrics") ? scrapes : failures)++;
                std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            }
        });
    };
    std::thread everySecond = scraper(1000);
    const Figures on = Summary(PollTimes(polls));

    // The poll's own extra work: summing up the reply, the alarm rules and
    // handing the status to the endpoint, measured alone.
    const StatusReply reply = DecodeStatus(ReceiveBufferSnapshot(), 12);
    std::vector<double> hook;
    for (int i = 0; i < 20000; ++i) {
        const auto start = std::chrono::steady_clock::now();
        AlarmsAfterPoll(true, reply, false);
        hook.push_back(Ms(std::chrono::steady_clock::now() - start));
    }
    const Figures hookFigures = Summary(hook);

    // A scraper ten times a second as well, for a harsher case.
    std::thread tenPerSecond = scraper(100);
    const Figures busy = Summary(PollTimes(polls));
    stop = true;
    everySecond.join();
    tenPerSecond.join();

    std::vector<double> answers;
    for (int i = 0; i < 1000; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!Get(port, "/metrics"))
            ++failures;
        answers.push_back(Ms(std::chrono::steady_clock::now() - start));
    }
    const Figures metrics = Summary(answers);

    // Fifty at once, four each: the ones beyond the places wait for one.
    constexpr int kClients = 50, kRequests = 4;
    std::atomic<int> burstOk{0}, burstFailed{0}, ready{0};
    std::atomic<bool> go{false};
    std::vector<std::vector<double>> burstTimes(kClients);
    std::vector<std::thread> burst;
    const long refusedBefore = Endpoint->Refused(), droppedBefore = Endpoint->Dropped();
    for (int c = 0; c < kClients; ++c)
        burst.emplace_back([&, c] {
            ++ready;
            while (!go)
                std::this_thread::yield();
            for (int r = 0; r < kRequests; ++r) {
                const auto start = std::chrono::steady_clock::now();
                (Get(port, "/metrics") ? burstOk : burstFailed)++;
                burstTimes[c].push_back(Ms(std::chrono::steady_clock::now() - start));
            }
        });
    while (ready < kClients)
        std::this_thread::yield();
    const auto burstStart = std::chrono::steady_clock::now();
    go = true;
    for (std::thread& t : burst)
        t.join();
    const double burstMs = Ms(std::chrono::steady_clock::now() - burstStart);
    std::vector<double> allBurst;
    for (const auto& v : burstTimes)
        allBurst.insert(allBurst.end(), v.begin(), v.end());
    const Figures burstFigures = Summary(allBurst);

    std::printf("polls per case                      %d (reply windows scaled to 8 ms)\n", polls);
    std::printf("poll, endpoint off        median %.3f ms  p99 %.3f ms  max %.3f ms\n", off.median, off.p99, off.max);
    std::printf("poll, scraped every 1 s   median %.3f ms  p99 %.3f ms  max %.3f ms\n", on.median, on.p99, on.max);
    std::printf("poll, scraped 10 per s    median %.3f ms  p99 %.3f ms  max %.3f ms\n", busy.median, busy.p99,
                busy.max);
    std::printf("extra cost per poll (median on - off)  %.3f ms\n", on.median - off.median);
    std::printf("poll hook alone           median %.4f ms  p99 %.4f ms  max %.4f ms\n", hookFigures.median,
                hookFigures.p99, hookFigures.max);
    std::printf("/metrics answer (1000 GETs) median %.3f ms  p99 %.3f ms  max %.3f ms\n", metrics.median, metrics.p99,
                metrics.max);
    std::printf("scrapes %d, failed requests %d\n", scrapes.load(), failures.load());
    std::printf("burst %d x %d: answered %d, failed %d, refused %ld, dropped %ld, all done in %.1f ms\n", kClients,
                kRequests, burstOk.load(), burstFailed.load(), Endpoint->Refused() - refusedBefore,
                Endpoint->Dropped() - droppedBefore, burstMs);
    std::printf("burst request           median %.3f ms  p99 %.3f ms  max %.3f ms; most connections at once %d\n",
                burstFigures.median, burstFigures.p99, burstFigures.max, Endpoint->MostConnectionsAtOnce());
    const bool extraOk = hookFigures.p99 < 1.0 && on.median - off.median < 1.0;
    std::printf("target extra cost < 1 ms per poll: %s\n", extraOk ? "PASS" : "FAIL");
    std::printf("target /metrics median < 5 ms: %s\n", metrics.median < 5.0 ? "PASS" : "FAIL");
    std::printf("target burst of %d x %d all answered: %s\n", kClients, kRequests,
                burstOk == kClients * kRequests ? "PASS" : "FAIL");

    delete Endpoint;
    Endpoint = nullptr;
    DestroyApplicationWindows();
    bus.Stop();
    return 0;
}
