// The process at rest: one chamber polled every 4 s, real waits, on an X
// server (Xvfb) with a session bus and the accessibility bridge on, as on an
// operator's desktop. Counts the wakeups of every thread (voluntary context
// switches from /proc/self/task/*/status) and the processor time over the
// measuring window, and names the threads that woke.
// The simulator runs in a child process, so its work is not counted.
// By default the session is an operator's: the chamber found in the overview
// and its window open, the alarm, journal and chart windows open, "Запись в
// файл" ticked. --bare opens the main window alone.
// Usage: idle_bench [--seconds N] [--offscreen] [--monitor-shown] [--bare]
#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "AppSupport.h"
#include "monitoring/Presentation.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/DataLog.h"
#include "ui/AlarmCenter.h"
#include "ui/AlarmWindow.h"
#include "ui/ChartWindow.h"
#include "ui/ErrorDisplay.h"
#include "ui/JournalWindow.h"
#include "ui/LineMonitorWindow.h"
#include "ui/OverviewWindow.h"
#include "ui/Startup.h"
#include "ui/main.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadCount {
    std::string name;
    long long wakeups = 0;
};

// Voluntary context switches per thread id, with the thread's name.
std::map<int, ThreadCount> ThreadWakeups()
{
    std::map<int, ThreadCount> counts;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return counts;
    while (dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        ThreadCount count;
        std::ifstream comm(dir + "/comm");
        std::getline(comm, count.name);
        std::ifstream status(dir + "/status");
        std::string key;
        while (status >> key) {
            if (key == "voluntary_ctxt_switches:") {
                status >> count.wakeups;
                break;
            }
            status.ignore(1 << 16, '\n');
        }
        counts[std::atoi(entry->d_name)] = count;
    }
    ::closedir(tasks);
    return counts;
}

pid_t Spawn(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

// A session bus of our own; its address in DBUS_SESSION_BUS_ADDRESS. The bus
// starts the accessibility bus on demand, as a desktop's does.
pid_t StartSessionBus()
{
    FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    if (!out)
        return -1;
    char address[512] = {};
    char pid[32] = {};
    const bool ok = std::fgets(address, sizeof address, out) && std::fgets(pid, sizeof pid, out);
    ::pclose(out);
    if (!ok)
        return -1;
    std::string text = address;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", text.c_str(), 1);
    // A desktop session runs the accessibility bus from its start; the bridge
    // only talks to one that is there.
    if (std::system("dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus "
                    "org.a11y.Bus.GetAddress >/dev/null") != 0)
        std::fprintf(stderr, "no accessibility bus (at-spi2-core)\n");
    return std::atoi(pid);
}

pid_t StartXvfb()
{
    int number = 90;
    while (number < 200 && (::access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0 ||
                            ::access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0))
        ++number;
    const std::string display = ":" + std::to_string(number);
    const pid_t server = Spawn({"Xvfb", display, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"});
    if (server < 0)
        return -1;
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    for (int i = 0; i < 200 && ::access(socket.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::setenv("DISPLAY", display.c_str(), 1);
    return server;
}

// What the main thread is woken for: every timer event and every call
// queued from another thread, by its receiver, while counting is on.
class CountingApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        if (counting && (event->type() == QEvent::Timer || event->type() == QEvent::MetaCall))
            ++sources[Describe(receiver, event)];
        return QApplication::notify(receiver, event);
    }
    static std::string Describe(QObject* receiver, QEvent* event)
    {
        std::string what = event->type() == QEvent::Timer ? "timer " : "queued call to ";
        what += receiver->metaObject()->className();
        if (const auto* timer = qobject_cast<QTimer*>(receiver))
            what += " " + std::to_string(timer->interval()) + " ms";
        if (!receiver->objectName().isEmpty())
            what += " \"" + receiver->objectName().toStdString() + "\"";
        for (QObject* p = receiver->parent(); p; p = p->parent())
            if (p->isWidgetType() || !p->parent()) {
                what += std::string(" in ") + p->metaObject()->className();
                break;
            }
        return what;
    }
    bool counting = false;
    std::map<std::string, long long> sources;
};

// A loop of its own, not the application's: quitting the application asks
// every window to close, and the main window's closing ends the program's work.
void RunEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    bool offscreen = false;
    bool monitorShown = false;
    bool bare = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (a == "--offscreen")
            offscreen = true;
        else if (a == "--monitor-shown")
            monitorShown = true;
        else if (a == "--bare")
            bare = true;
        else {
            std::fprintf(stderr, "usage: idle_bench [--seconds N] [--offscreen] [--monitor-shown] [--bare]\n");
            return 2;
        }
    }

    // Before any thread exists: the simulator forks.
    bench::SimProcess line;
    std::string error;
    if (!line.Start({}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    pid_t xvfb = -1;
    pid_t bus = -1;
    if (offscreen) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    } else {
        xvfb = StartXvfb();
        bus = StartSessionBus();
        if (xvfb < 0 || bus < 0) {
            std::fprintf(stderr, "needs Xvfb and dbus-daemon\n");
            return 1;
        }
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("QT_ACCESSIBILITY", "1", 1);
        ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
    }
    char configDir[] = "/tmp/idle-bench-XXXXXX";
    if (::mkdtemp(configDir))
        ::setenv("XDG_CONFIG_HOME", configDir, 1);
    // The data log, the event file and the action journal go there too, not
    // beside the program.
    const QString folder = QString::fromLocal8Bit(configDir) + QStringLiteral("/logs/");
    ::mkdir(QFile::encodeName(folder).constData(), 0755);
    ::setenv("CALVETRA_COM1", line.Path().c_str(), 1);

    CountingApplication app(argc, argv);
    int errors = 0;
    SetErrorDisplayHook([&](const QString& text) {
        ++errors;
        std::fprintf(stderr, "error display: %s\n", qPrintable(text));
    });
    SetTimeScale(1.0);
    SetProgramFolderForTests(folder);
    SetJournalFolder(folder);
    CreateApplicationWindows(true);
    if (monitorShown)
        FormLineMonitor->show();
    RunEventLoop(1000);

    Form1->ComboBox1->setCurrentIndex(0);
    Guarded([] { Form1->Button5Click(); });
    Form1->ListBox1->addItem(ChamberEntryText(12));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->ListBox1Click(); });
    Guarded([] { Form1->Button6Click(); });
    int polls = 0;
    QObject::connect(Form1->Timer1, &QTimer::timeout, [&] { ++polls; });
    if (!bare) {
        // What an operator has open while a chamber is read: the scan's
        // chamber in the overview, its window and the others beside the main
        // window, the data log on.
        FormOverview->Watch(12);
        FormOverview->show();
        AlarmCenter->ShowWindow();
        FormJournal->show();
        FormChart->show();
        RunEventLoop(1000);
        if (Form1->CheckBox1->isEnabled())
            Form1->CheckBox1->click();
        else
            std::fprintf(stderr, "\"Запись в файл\" could not be ticked\n");
    }
    // The first poll's start-up work (fonts, the bridge's first questions)
    // and the log's header (5 s after the tick) settle.
    RunEventLoop(bare ? 5000 : 7000);

    polls = 0;
    const auto before = ThreadWakeups();
    const double cpuBefore = bench::CpuSeconds();
    const auto wallBefore = Clock::now();
    app.counting = true;
    RunEventLoop(seconds * 1000);
    app.counting = false;
    const double cpu = bench::CpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const auto after = ThreadWakeups();
    const bool answered = Form1->Label5->text() != "0" || Form1->Label2->text() != "0";

    long long total = 0;
    std::printf("the process at rest, one chamber polled every 4 s (%s; %s; %d polls in %.0f s%s)\n",
                offscreen ? "offscreen" : "Xvfb, session bus, QT_ACCESSIBILITY=1",
                bare ? "main window alone" : "operator's session: overview, alarms, journal, chart, log", polls, wall,
                monitorShown ? ", line monitor shown" : "");
    for (const auto& [tid, count] : after) {
        const auto old = before.find(tid);
        const long long woke = count.wakeups - (old == before.end() ? 0 : old->second.wakeups);
        total += woke;
        std::printf("  thread %-7d %-16s %8.2f wakeups/s\n", tid, count.name.c_str(), woke / wall);
    }
    std::printf("  what the main thread handled (timer events and calls queued from other threads):\n");
    for (const auto& [what, n] : app.sources)
        std::printf("    %8.2f /s  %s\n", n / wall, what.c_str());
    const double rate = total / wall;
    const double share = 100.0 * cpu / wall;
    std::printf("%-58s %-22s target %-10s %s\n", "wakeups, all threads", (std::to_string(rate).substr(0, 5) + " /s").c_str(),
                "<= 4 /s", bench::Verdict(rate <= 4.0));
    char value[64];
    std::snprintf(value, sizeof value, "%.3f %% of a core", share);
    std::printf("%-58s %-22s target %-10s %s\n", "processor time", value, "< 0.1 %",
                bench::Verdict(share < 0.1 && answered && errors == 0));
    if (!answered)
        std::fprintf(stderr, "the chamber's values never reached the window\n");
    std::fflush(stdout);

    Guarded([] { Form1->Button6Click(); });
    DestroyApplicationWindows();
    if (xvfb > 0)
        ::kill(xvfb, SIGTERM);
    if (bus > 0)
        ::kill(bus, SIGTERM);
    line.Stop();
    return 0;
}
