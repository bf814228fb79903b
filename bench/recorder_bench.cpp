// Figures of the recorder.
//   build/recorder_bench [--seconds S]      8 lines of 32 chambers (5 ms
//       controllers), lines 7 and 8 through a raw TCP relay and a Modbus TCP
//       gateway, chamber 32 silent on every line; the recorder runs as its own
//       program. Longest gap between reads of an answering chamber per line,
//       the recorder's CPU, resident memory over the run, wake-ups.
//       S = 600 gives the ten-minute run; default 60.
//   build/recorder_bench --line250 [--seconds S]   one line of 250 chambers
//       read by the line's scheduler: every chamber's longest gap, and the
//       scheduler's own cost per read (the read's time beyond wire and
//       controller time), median and 99th percentile; then the same per read
//       over TCP on loopback.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>
#include <unistd.h>

#include "link/ChamberContract.h"
#include "monitoring/LineScheduler.h"
#include "sim/BusSimulator.h"
#include "sim/TcpGateway.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::microseconds kControllerDelay{5000};
constexpr int kLines = 8;
constexpr int kChambersPerLine = 32;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The longest gap between requests to each chamber after the warm-up.
double LongestGapMs(const std::vector<sim::LineFrame>& frames, int silent, Clock::time_point from)
{
    std::map<int, Clock::time_point> last;
    double longest = 0;
    for (const sim::LineFrame& f : frames) {
        if (f.bytes.size() < 2 || f.bytes[1] != kStatusFunction || f.bytes[0] == silent || f.time < from)
            continue;
        auto it = last.find(f.bytes[0]);
        if (it != last.end())
            longest = std::max(longest, Ms(f.time - it->second));
        last[f.bytes[0]] = f.time;
    }
    return longest;
}

// CPU seconds (user + system) and the thread wake-ups (context switches)
// of a process, from /proc.
struct ProcessFigures {
    double cpuSeconds = 0;
    long switches = 0;
    double rssMb = 0;
};
ProcessFigures Figures(qint64 pid)
{
    ProcessFigures f;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
        if (fields.size() > 12)
            f.cpuSeconds = (fields[11].toDouble() + fields[12].toDouble()) / tick;
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                f.rssMb = line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    for (const QString& task : QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile t(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(task));
        if (!t.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : t.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                f.switches += line.mid(line.indexOf(':') + 1).trimmed().toLong();
    }
    return f;
}

int EightLines(int seconds, const QString& recorderPath)
{
    std::vector<std::unique_ptr<sim::BusSimulator>> buses;
    sim::TcpGateway relay;
    sim::TcpGateway gateway;
    QTemporaryDir dir;
    QString conf = QStringLiteral("[recorder]\nfolder=%1/data\nlisten=\nsocket=\n").arg(dir.path());
    for (int line = 0; line < kLines; ++line) {
        auto bus = std::make_unique<sim::BusSimulator>();
        for (int address = 1; address <= kChambersPerLine; ++address)
            bus->AddChamber(address);
        sim::Faults quiet;
        quiet.silent = true;
        bus->SetFaults(kChambersPerLine, quiet);
        bus->SetControllerDelay(kControllerDelay);
        std::string error;
        if (!bus->Start(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        QString where = QStringLiteral("device=%1").arg(QString::fromStdString(bus->SlavePath()));
        if (line >= kLines - 2) {
            sim::TcpGateway& box = line == kLines - 2 ? relay : gateway;
            sim::TcpGateway::Options options;
            options.linePath = bus->SlavePath();
            options.mode = line == kLines - 2 ? sim::TcpGateway::Mode::RawRtu : sim::TcpGateway::Mode::ModbusTcp;
            options.replyTimeout = std::chrono::milliseconds(100);
            options.answerTargetFailure = true;
            if (!box.Start(options, &error)) {
                std::fprintf(stderr, "gateway: %s\n", error.c_str());
                return 1;
            }
            where = QStringLiteral("%1=127.0.0.1:%2")
                        .arg(line == kLines - 2 ? QStringLiteral("rtu-over-tcp") : QStringLiteral("modbus-tcp"))
                        .arg(box.Port());
        }
        conf += QStringLiteral("[line.l%1]\n%2\nchambers=1-%3\ntimeout=150\n").arg(line + 1).arg(where).arg(kChambersPerLine);
        buses.push_back(std::move(bus));
    }
    const QString path = dir.filePath(QStringLiteral("recorder.conf"));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(conf.toUtf8());
    file.close();

    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    recorder.start(recorderPath, {QStringLiteral("--config"), path});
    if (!recorder.waitForStarted()) {
        std::fprintf(stderr, "%s does not start\n", qPrintable(recorderPath));
        return 1;
    }
    // Warm-up: lines opened, first turns done, before anything is counted.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const Clock::time_point from = Clock::now();
    const ProcessFigures start = Figures(recorder.processId());
    double rssMax = start.rssMb;
    for (int s = 0; s < seconds; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        rssMax = std::max(rssMax, Figures(recorder.processId()).rssMb);
    }
    const ProcessFigures end = Figures(recorder.processId());
    recorder.terminate();
    recorder.waitForFinished(10000);

    std::printf("recorder_bench: %d lines of %d chambers (5 ms controllers), lines 7 and 8 over TCP, chamber %d silent on every line, %d s\n",
                kLines, kChambersPerLine, kChambersPerLine, seconds);
    double worst = 0;
    for (int line = 0; line < kLines; ++line) {
        const double gap = LongestGapMs(buses[line]->ReceivedFrames(), kChambersPerLine, from);
        worst = std::max(worst, gap);
        std::printf("  line l%d%s: longest gap between reads of an answering chamber %.0f ms\n", line + 1,
                    line == kLines - 2 ? " (rtu-over-tcp)" : line == kLines - 1 ? " (modbus-tcp)" : "", gap);
    }
    const double cpu = 100.0 * (end.cpuSeconds - start.cpuSeconds) / seconds;
    std::printf("  longest gap on any line: %.0f ms (target <= 4000)\n", worst);
    std::printf("  recorder CPU: %.2f %% of one core (target < 2 %%)\n", cpu);
    std::printf("  recorder resident memory: %.1f MB at start, %.1f MB at end, %.1f MB at most (target < 100 MB, flat)\n",
                start.rssMb, end.rssMb, rssMax);
    std::printf("  recorder wake-ups: %.1f per second (context switches of all its threads)\n",
                static_cast<double>(end.switches - start.switches) / seconds);
    gateway.Stop();
    relay.Stop();
    return worst <= 4000 && cpu < 2 && rssMax < 100 ? 0 : 1;
}

// One line's scheduler in this process: the cost per read is the read's time
// beyond the reply's wire time and the controller's.
struct LineRun {
    std::vector<double> overheadMs;
    double longestGapMs = 0;
};
LineRun ReadLine(const TransportAddress& address, const std::vector<int>& chambers, int seconds,
                 sim::BusSimulator* bus)
{
    LineRun run;
    std::mutex lock;
    const double wireAndController = Ms(sim::BusSimulator::WireTime(39) + kControllerDelay);
    LineSchedule schedule;
    schedule.chambers = QVector<int>(chambers.begin(), chambers.end());
    schedule.timeoutMs = 150;
    LineScheduler line(
        QStringLiteral("bench"), MakeTransport(address), schedule,
        [&](const ChamberRead& r) {
            if (!r.read.answered)
                return;
            std::lock_guard<std::mutex> guard(lock);
            run.overheadMs.push_back(std::chrono::duration<double, std::milli>(r.read.took).count() - wireAndController);
        },
        nullptr);
    line.Start();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const Clock::time_point from = Clock::now();
    {
        std::lock_guard<std::mutex> guard(lock);
        run.overheadMs.clear();
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    line.Stop();
    run.longestGapMs = LongestGapMs(bus->ReceivedFrames(), -1, from);
    return run;
}

int Line250(int seconds)
{
    sim::BusSimulator bus;
    std::vector<int> chambers;
    for (int address = 1; address <= kLastAddress; ++address) {
        bus.AddChamber(address);
        chambers.push_back(address);
    }
    bus.SetControllerDelay(kControllerDelay);
    std::string error;
    if (!bus.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    const LineRun serial = ReadLine({TransportKind::Serial, bus.SlavePath(), "", 0}, chambers, seconds, &bus);
    std::printf("recorder_bench --line250: %d chambers on one line (5 ms controllers), %d s\n", kLastAddress, seconds);
    std::printf("  longest gap between reads of a chamber: %.0f ms (target <= 4000), %zu reads\n", serial.longestGapMs,
                serial.overheadMs.size());
    std::printf("  cost per read beyond wire and controller time: median %.3f ms, p99 %.3f ms (targets < 0.28 and < 1 ms)\n",
                Percentile(serial.overheadMs, 0.5), Percentile(serial.overheadMs, 0.99));

    // The same over TCP on loopback, through the simulated relay.
    sim::BusSimulator small;
    std::vector<int> few;
    for (int address = 1; address <= kChambersPerLine; ++address) {
        small.AddChamber(address);
        few.push_back(address);
    }
    small.SetControllerDelay(kControllerDelay);
    small.Start(&error);
    sim::TcpGateway relay;
    sim::TcpGateway::Options options;
    options.linePath = small.SlavePath();
    relay.Start(options, &error);
    const LineRun tcp = ReadLine({TransportKind::RtuOverTcp, "", "127.0.0.1", relay.Port()}, few, std::min(seconds, 20), &small);
    std::printf("  over TCP on loopback (raw relay), per read beyond wire and controller time: median %.3f ms, p99 %.3f ms (target median < 1 ms)\n",
                Percentile(tcp.overheadMs, 0.5), Percentile(tcp.overheadMs, 0.99));
    relay.Stop();
    return serial.longestGapMs <= 4000 && Percentile(serial.overheadMs, 0.5) < 0.28 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 60;
    bool line250 = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--line250") == 0)
            line250 = true;
    }
    if (line250)
        return Line250(seconds);
    return EightLines(seconds, QCoreApplication::applicationDirPath() + QStringLiteral("/calvetra-recorder"));
}
