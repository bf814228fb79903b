// The chart window with a season of data: redrawing the live chart after a
// poll at 25 h of points, opening data logs of 1, 30 and 90 days, zooming and
// panning a 90-day log, memory with it open, and a 50 MB file of random bytes.
//   build/chart_bench [folder [live|open|zoom|random]]
// (QT_QPA_PLATFORM=offscreen is set here; the second word runs one case only)
// The logs are written as the data log writes them: the header, then one
// record a minute in Windows-1251 with CR LF and the empty line, running past
// midnight. Each case runs in a process of its own, so that its peak memory
// is its own.
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "bench/LogGenerator.h"
#include "monitoring/DataLog.h"
#include "ui/ChartWindow.h"

namespace {

// A field of /proc/self/status in MB (VmRSS: now, VmHWM: the peak).
double StatusMb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            double kb = 0;
            status >> kb;
            return kb / 1024.0;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Wall time, and the processor time of the process over the same stretch:
// on a machine shared with other work the second shows what the wall time
// owes to waiting for a core.
class Clock {
public:
    Clock() { Restart(); }
    void Restart()
    {
        m_wall.start();
        m_cpu = CpuMs();
    }
    double WallMs() const { return m_wall.nsecsElapsed() / 1e6; }
    double ProcessorMs() const { return CpuMs() - m_cpu; }

private:
    static double CpuMs()
    {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    }
    QElapsedTimer m_wall;
    double m_cpu = 0;
};

double LoadAverage()
{
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Worst(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

const char* Verdict(bool pass) { return pass ? "PASS" : "FAIL"; }

QString WriteRandom(const QString& folder, qint64 bytes)
{
    const QString name = folder + QStringLiteral("/random.txt");
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::exit(2);
    std::mt19937_64 random(50);
    std::vector<quint64> block(1 << 17);
    for (qint64 done = 0; done < bytes; done += static_cast<qint64>(block.size() * 8)) {
        for (auto& word : block)
            word = random();
        file.write(reinterpret_cast<const char*>(block.data()),
                   std::min<qint64>(bytes - done, static_cast<qint64>(block.size() * 8)));
    }
    return name;
}

struct Window {
    explicit Window(int& argc, char** argv) : app(argc, argv)
    {
        window.resize(1000, 600);
        window.show();
        QCoreApplication::processEvents();
        view = window.findChild<QChartView*>();
    }
    // Whatever is pending, then the chart painted (as the screen would get it).
    void Paint()
    {
        QCoreApplication::processEvents();
        view->grab();
    }
    QApplication app;
    TChartWindow window;
    QChartView* view = nullptr;
};

TrendSample LiveSample(int i)
{
    TrendSample s;
    s.time = 1'780'000'000'000LL + i * 4000LL;
    s.answered = i % 600 != 599;  // a silent poll now and then
    s.currentTemp = 25 + 20 * std::sin(i / 900.0) + (i % 7) * 0.1;
    s.setTemp = i / 1800 % 2 ? 45 : 25;
    s.currentHumidity = i % 1000 == 3 ? NAN : 60 + 10 * std::cos(i / 700.0);  // a refused value
    s.setHumidity = 60;
    return s;
}

void LiveCase(int argc, char** argv)
{
    Window w(argc, argv);
    const int kPoints = static_cast<int>(kTrendCapacity);  // 25 h at one poll per 4 s
    for (int i = 0; i < kPoints; ++i)
        w.window.AddLiveSample(LiveSample(i));
    w.window.SyncView();
    w.Paint();
    std::vector<double> sync, redraw, processor;
    for (int i = 0; i < 60; ++i) {
        Clock t;
        w.window.AddLiveSample(LiveSample(kPoints + i));
        w.window.SyncView();
        sync.push_back(t.WallMs());
        w.Paint();
        redraw.push_back(t.WallMs());
        processor.push_back(t.ProcessorMs());
    }
    std::printf("live, %zu points: sync after a poll median %.2f ms; redraw (sync + paint) median %.2f ms "
                "(processor %.2f ms), worst %.2f ms  target < 10 ms  %s\n",
                w.window.LiveModel().samples.size(), Median(sync), Median(redraw), Median(processor),
                Worst(redraw), Verdict(Median(redraw) < 10));
}

void OpenCase(int argc, char** argv, const QString& path, int days, double target, bool zoom)
{
    Window w(argc, argv);
    const double before = StatusMb("VmRSS:");
    Clock t;
    QString message;
    const bool ok = w.window.OpenLog(path, &message);
    const double open = t.WallMs();
    w.Paint();
    const double firstPaint = t.WallMs();
    std::printf("open %2d-day log (%s): OpenLog %.0f ms, to first paint %.0f ms (processor %.0f ms)", days,
                qPrintable(message), open, firstPaint, t.ProcessorMs());
    if (target > 0)
        std::printf("  target < %.0f ms  %s", target, Verdict(ok && firstPaint < target));
    std::printf("\n");
    if (!zoom)
        return;
    std::printf("  resident with it open: %.1f MB (%.1f MB before opening, peak %.1f MB)\n", StatusMb("VmRSS:"),
                before, StatusMb("VmHWM:"));

    // Wheel steps about the middle of the plot, then right-button drags.
    QWidget* viewport = w.view->viewport();
    const QPointF middle(viewport->width() / 2.0, viewport->height() / 2.0);
    std::vector<double> steps, stepsProcessor;
    auto wheel = [&](int delta) {
        QWheelEvent event(middle, viewport->mapToGlobal(middle), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(viewport, &event);
    };
    auto mouse = [&](QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, viewport->mapToGlobal(at), button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &event);
    };
    auto step = [&](const std::function<void()>& action) {
        Clock s;
        action();
        w.Paint();
        steps.push_back(s.WallMs());
        stepsProcessor.push_back(s.ProcessorMs());
    };
    for (int i = 0; i < 8; ++i)
        step([&] { wheel(120); });
    mouse(QEvent::MouseButtonPress, middle, Qt::RightButton, Qt::RightButton);
    for (int i = 1; i <= 8; ++i)
        step([&] { mouse(QEvent::MouseMove, middle + QPointF(i * 40.0, 0), Qt::NoButton, Qt::RightButton); });
    mouse(QEvent::MouseButtonRelease, middle + QPointF(320, 0), Qt::RightButton, Qt::NoButton);
    for (int i = 0; i < 8; ++i)
        step([&] { wheel(-120); });
    std::printf("  zoom/pan step (%zu steps): median %.1f ms (processor %.1f ms), worst %.1f ms  target < 30 ms  %s\n",
                steps.size(), Median(steps), Median(stepsProcessor), Worst(steps), Verdict(Median(steps) < 30));
}

void RandomCase(int argc, char** argv, const QString& path)
{
    Window w(argc, argv);
    const double before = StatusMb("VmRSS:");
    Clock t;
    QString message;
    const bool ok = w.window.OpenLog(path, &message);
    w.Paint();
    const double elapsed = t.WallMs();
    const double peak = StatusMb("VmHWM:");
    std::printf("50 MB of random bytes: %s (%s) in %.0f ms (processor %.0f ms)  target < 300 ms  %s; peak resident "
                "%.1f MB (%.1f MB before)  target < 150 MB  %s\n",
                ok ? "opened" : "refused", qPrintable(message.section(u'(', 0, 0).trimmed()), elapsed, t.ProcessorMs(),
                Verdict(elapsed < 300), peak, before, Verdict(peak < 150));
}

template <class F>
void InChild(F f)
{
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        f();
        std::fflush(stdout);
        std::_Exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::printf("  (case ended abnormally: status %d)\n", status);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir temporary;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path();
    QDir().mkpath(folder);
    const std::string only = argc > 2 ? argv[2] : "";
    QString day1, day30, day90, random;
    if (only != "live") {
        day1 = WriteLog(folder, 1, QStringLiteral("d1"));
        day30 = WriteLog(folder, 30, QStringLiteral("d30"));
        day90 = WriteLog(folder, 90, QStringLiteral("d90"));
        random = WriteRandom(folder, 50LL << 20);
        std::printf("logs: 1 day %lld bytes, 30 days %lld bytes, 90 days %lld bytes; random %lld bytes\n",
                    QFileInfo(day1).size(), QFileInfo(day30).size(), QFileInfo(day90).size(),
                    QFileInfo(random).size());
    }
    auto run = [&](const char* name, const std::function<void()>& f) {
        if (only.empty())
            InChild(f);
        else if (only == name)
            f();
    };
    std::printf("load average before: %.2f\n", LoadAverage());
    run("live", [&] { LiveCase(argc, argv); });
    run("open", [&] { OpenCase(argc, argv, day1, 1, 0, false); });
    for (int i = 0; i < 2; ++i)
        run("open", [&] { OpenCase(argc, argv, day30, 30, 100, false); });
    run("open", [&] { OpenCase(argc, argv, day90, 90, 250, false); });
    run("zoom", [&] { OpenCase(argc, argv, day90, 90, 250, true); });
    run("random", [&] { RandomCase(argc, argv, random); });
    std::printf("load average after: %.2f\n", LoadAverage());
    return 0;
}
