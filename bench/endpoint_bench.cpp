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
#include "services/StatusEndpoint.h"
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

// The polls with scrapers at work, and the poll's own extra work alone.
struct ScrapedFigures {
    Figures everySecond, tenPerSecond, hook;
    int scrapes = 0, failures = 0;
};

ScrapedFigures PollsWhileScraped(quint16 port, int polls)
{
    ScrapedFigures f;
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
    f.everySecond = Summary(PollTimes(polls));

    // Summing up the reply, the alarm rules and handing the status to the
    // endpoint, measured alone.
    const StatusReply reply = DecodeStatus(ReceiveBufferSnapshot(), 12);
    std::vector<double> hook;
    for (int i = 0; i < 20000; ++i) {
        const auto start = std::chrono::steady_clock::now();
        AlarmsAfterPoll(true, reply);
        hook.push_back(Ms(std::chrono::steady_clock::now() - start));
    }
    f.hook = Summary(hook);

    // A scraper ten times a second as well, for a harsher case.
    std::thread tenPerSecond = scraper(100);
    f.tenPerSecond = Summary(PollTimes(polls));
    stop = true;
    everySecond.join();
    tenPerSecond.join();
    f.scrapes = scrapes;
    f.failures = failures;
    return f;
}

// One request after another.
Figures MetricsAnswers(quint16 port, int count, int* failures)
{
    std::vector<double> answers;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!Get(port, "/metrics"))
            ++*failures;
        answers.push_back(Ms(std::chrono::steady_clock::now() - start));
    }
    return Summary(answers);
}

struct BurstFigures {
    int answered = 0, failed = 0;
    long refused = 0, dropped = 0;
    double allDoneMs = 0;
    Figures request;
};

// Clients at once, each with its requests one after another: the ones
// beyond the endpoint's places wait for one.
BurstFigures Burst(int clients, int requests)
{
    const quint16 port = Endpoint->Port();
    std::atomic<int> answered{0}, failed{0}, ready{0};
    std::atomic<bool> go{false};
    std::vector<std::vector<double>> times(clients);
    std::vector<std::thread> threads;
    const long refusedBefore = Endpoint->Refused(), droppedBefore = Endpoint->Dropped();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            ++ready;
            while (!go)
                std::this_thread::yield();
            for (int r = 0; r < requests; ++r) {
                const auto start = std::chrono::steady_clock::now();
                (Get(port, "/metrics") ? answered : failed)++;
                times[c].push_back(Ms(std::chrono::steady_clock::now() - start));
            }
        });
    while (ready < clients)
        std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    go = true;
    for (std::thread& t : threads)
        t.join();
    BurstFigures b;
    b.allDoneMs = Ms(std::chrono::steady_clock::now() - start);
    std::vector<double> all;
    for (const auto& v : times)
        all.insert(all.end(), v.begin(), v.end());
    b.request = Summary(all);
    b.answered = answered;
    b.failed = failed;
    b.refused = Endpoint->Refused() - refusedBefore;
    b.dropped = Endpoint->Dropped() - droppedBefore;
    return b;
}

void PrintFigures(const char* what, const Figures& f)
{
    std::printf("%-26s median %.3f ms  p99 %.3f ms  max %.3f ms\n", what, f.median, f.p99, f.max);
}

// The application on the in-process simulator, chamber 12 picked; false
// when the simulator does not start.
bool StartOnSimulator(sim::BusSimulator& bus)
{
    SetErrorDisplayHook([](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });
    std::string error;
    if (!bus.Start(&error) || !bus.AddChamber(12)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return false;
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
    // extra cost is also measured on its own.
    SetTimeScale(0.01);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int polls = argc > 1 ? std::max(20, std::atoi(argv[1])) : 300;
    QApplication app(argc, argv);
    sim::BusSimulator bus;
    if (!StartOnSimulator(bus))
        return 1;
    const Figures off = Summary(PollTimes(polls));

    Endpoint = new StatusEndpoint;
    QString failure;
    if (!Endpoint->Start("127.0.0.1", 0, &failure)) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        return 1;
    }
    const ScrapedFigures on = PollsWhileScraped(Endpoint->Port(), polls);
    int failures = on.failures;
    const Figures metrics = MetricsAnswers(Endpoint->Port(), 1000, &failures);
    constexpr int kClients = 50, kRequests = 4;
    const BurstFigures burst = Burst(kClients, kRequests);

    std::printf("polls per case                      %d (reply windows scaled to 8 ms)\n", polls);
    PrintFigures("poll, endpoint off", off);
    PrintFigures("poll, scraped every 1 s", on.everySecond);
    PrintFigures("poll, scraped 10 per s", on.tenPerSecond);
    std::printf("extra cost per poll (median on - off)  %.3f ms\n", on.everySecond.median - off.median);
    std::printf("poll hook alone            median %.4f ms  p99 %.4f ms  max %.4f ms\n", on.hook.median, on.hook.p99,
                on.hook.max);
    PrintFigures("/metrics answer (1000 GETs)", metrics);
    std::printf("scrapes %d, failed requests %d\n", on.scrapes, failures);
    std::printf("burst %d x %d: answered %d, failed %d, refused %ld, dropped %ld, all done in %.1f ms\n", kClients,
                kRequests, burst.answered, burst.failed, burst.refused, burst.dropped, burst.allDoneMs);
    PrintFigures("burst request", burst.request);
    std::printf("most connections at once %d\n", Endpoint->MostConnectionsAtOnce());
    const bool extraOk = on.hook.p99 < 1.0 && on.everySecond.median - off.median < 1.0;
    std::printf("target extra cost < 1 ms per poll: %s\n", extraOk ? "PASS" : "FAIL");
    std::printf("target /metrics median < 5 ms: %s\n", metrics.median < 5.0 ? "PASS" : "FAIL");
    std::printf("target burst of %d x %d all answered: %s\n", kClients, kRequests,
                burst.answered == kClients * kRequests ? "PASS" : "FAIL");

    delete Endpoint;
    Endpoint = nullptr;
    DestroyApplicationWindows();
    bus.Stop();
    return 0;
}
