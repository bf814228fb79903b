// The application's own figures, each with its target and PASS or FAIL:
//   idle CPU     the whole application with a port open on the simulated line
//                and reading on, real waits, averaged over a minute;
//   memory       resident memory after start and after the idle minute;
//   start-up     from starting build/calvetra to its main window being mapped
//                on an X server (Xvfb, started here): the program is watched
//                from outside, through the X server's map notification for a
//                window whose _NET_WM_PID is the started process.
// The simulator runs in a child process, so its work is not counted.
// Usage: app_figures [--idle-seconds N] [--startup-runs N] [--calvetra PATH]
//                    [--no-startup]
#include <QApplication>
#include <QListWidget>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <type_traits>
#include <vector>

#include "AppSupport.h"
#include "link/PortUnit.h"
#include "monitoring/Presentation.h"
#include "ui/ErrorDisplay.h"
#include "ui/Startup.h"
#include "ui/main.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void Line(const char* figure, const std::string& value, const char* target, bool pass)
{
    std::printf("%-58s %-22s target %-14s %s\n", figure, value.c_str(), target, bench::Verdict(pass));
    std::fflush(stdout);
}

std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void RunEventLoop(int ms)
{
    QTimer::singleShot(ms, qApp, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
}

// ---------------------------------------------------------------------------
// The few Xlib calls the start-up figure needs, taken from libX11 at run time
// so that the build needs no X11 development files.

struct XDisplay;
using XWindow = unsigned long;
using XAtom = unsigned long;
// Layout of XMapEvent; XEvent is a union padded to 24 longs.
struct XMapEventLayout {
    int type;
    unsigned long serial;
    int sendEvent;
    XDisplay* display;
    XWindow event;
    XWindow window;
    int overrideRedirect;
};
union XEventLayout {
    int type;
    XMapEventLayout map;
    long pad[24];
};
constexpr int kMapNotify = 19;
constexpr long kSubstructureNotifyMask = 1L << 19;
constexpr XAtom kCardinal = 6;

struct X11 {
    void* lib = nullptr;
    XDisplay* (*OpenDisplay)(const char*);
    int (*CloseDisplay)(XDisplay*);
    XWindow (*DefaultRootWindow)(XDisplay*);
    int (*SelectInput)(XDisplay*, XWindow, long);
    int (*Sync)(XDisplay*, int);
    int (*Pending)(XDisplay*);
    int (*NextEvent)(XDisplay*, XEventLayout*);
    int (*ConnectionNumber)(XDisplay*);
    XAtom (*InternAtom)(XDisplay*, const char*, int);
    int (*GetWindowProperty)(XDisplay*, XWindow, XAtom, long, long, int, XAtom, XAtom*, int*, unsigned long*,
                             unsigned long*, unsigned char**);
    int (*Free)(void*);

    bool Load()
    {
        lib = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return false;
        bool ok = true;
        const auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
            ok = ok && fn;
        };
        get(OpenDisplay, "XOpenDisplay");
        get(CloseDisplay, "XCloseDisplay");
        get(DefaultRootWindow, "XDefaultRootWindow");
        get(SelectInput, "XSelectInput");
        get(Sync, "XSync");
        get(Pending, "XPending");
        get(NextEvent, "XNextEvent");
        get(ConnectionNumber, "XConnectionNumber");
        get(InternAtom, "XInternAtom");
        get(GetWindowProperty, "XGetWindowProperty");
        get(Free, "XFree");
        return ok;
    }

    // The CARDINAL _NET_WM_PID of a window, 0 when it has none.
    long WindowPid(XDisplay* d, XWindow w)
    {
        XAtom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        long pid = 0;
        if (GetWindowProperty(d, w, InternAtom(d, "_NET_WM_PID", 0), 0, 1, 0, kCardinal, &type, &format, &items,
                              &after, &data) == 0 &&
            data && items == 1 && format == 32)
            pid = *reinterpret_cast<long*>(data);
        if (data)
            Free(data);
        return pid;
    }
};

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    return pid;
}

// Environment of this process without the variables named.
std::vector<std::string> EnvironmentWithout(const std::vector<std::string>& names)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::find(names.begin(), names.end(), name) == names.end())
            env.push_back(entry);
    }
    return env;
}

// Start-up times in ms, one per run; empty when the X server or the program
// could not be used (why on stderr).
std::vector<double> MeasureStartup(const std::string& program, int runs)
{
    std::vector<double> times;
    X11 x;
    if (!x.Load()) {
        std::fprintf(stderr, "start-up: libX11.so.6 not found\n");
        return times;
    }
    int number = 90;
    while (number < 200 && (::access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0 ||
                            ::access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0))
        ++number;
    const std::string display = ":" + std::to_string(number);
    const pid_t server = Spawn({"/usr/bin/Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                               EnvironmentWithout({}));
    if (server < 0) {
        std::fprintf(stderr, "start-up: cannot start /usr/bin/Xvfb\n");
        return times;
    }
    XDisplay* d = nullptr;
    for (int i = 0; i < 200 && !d; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        d = x.OpenDisplay(display.c_str());
    }
    if (!d) {
        std::fprintf(stderr, "start-up: Xvfb on %s did not come up\n", display.c_str());
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
        return times;
    }
    x.SelectInput(d, x.DefaultRootWindow(d), kSubstructureNotifyMask);
    x.Sync(d, 0);

    std::vector<std::string> env = EnvironmentWithout(
        {"DISPLAY", "QT_QPA_PLATFORM", "CALVETRA_COM1", "CALVETRA_COM2", "CALVETRA_COM3", "CALVETRA_COM4",
         "CALVETRA_COM5", "WAYLAND_DISPLAY"});
    env.push_back("DISPLAY=" + display);
    env.push_back("QT_QPA_PLATFORM=xcb");
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        const pid_t app = Spawn({program}, env);
        if (app < 0) {
            std::fprintf(stderr, "start-up: cannot start %s\n", program.c_str());
            break;
        }
        bool shown = false;
        const auto deadline = start + std::chrono::seconds(20);
        while (!shown && Clock::now() < deadline) {
            if (!x.Pending(d)) {
                pollfd p{x.ConnectionNumber(d), POLLIN, 0};
                ::poll(&p, 1, 20);
                continue;
            }
            XEventLayout event{};
            x.NextEvent(d, &event);
            if (event.type == kMapNotify && x.WindowPid(d, event.map.window) == app) {
                times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                shown = true;
            }
        }
        ::kill(app, SIGTERM);
        ::waitpid(app, nullptr, 0);
        while (x.Pending(d)) {
            XEventLayout event{};
            x.NextEvent(d, &event);
        }
        if (!shown) {
            std::fprintf(stderr, "start-up: no window of %s within 20 s\n", program.c_str());
            break;
        }
    }
    x.CloseDisplay(d);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    return times;
}

std::string ProgramNextToThis(const char* name)
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return name;
    std::string self(path, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + name;
}

}  // namespace

int main(int argc, char** argv)
{
    int idleSeconds = 60;
    int startupRuns = 7;
    bool startup = true;
    std::string program = ProgramNextToThis("calvetra");
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--idle-seconds" && i + 1 < argc)
            idleSeconds = std::atoi(argv[++i]);
        else if (a == "--startup-runs" && i + 1 < argc)
            startupRuns = std::atoi(argv[++i]);
        else if (a == "--calvetra" && i + 1 < argc)
            program = argv[++i];
        else if (a == "--no-startup")
            startup = false;
        else {
            std::fprintf(stderr, "usage: app_figures [--idle-seconds N] [--startup-runs N] [--calvetra PATH] "
                                 "[--no-startup]\n");
            return 2;
        }
    }

    bench::SimProcess line;
    std::string error;
    if (!line.Start({}, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int errors = 0;
    SetErrorDisplayHook([&](const QString& text) {
        ++errors;
        std::fprintf(stderr, "error display: %s\n", qPrintable(text));
    });
    SetTimeScale(1.0);
    CreateApplicationWindows(true);
    RunEventLoop(1000);
    const double rssStart = bench::RssMb();

    // Port open on the simulated line, the chamber picked, reading on.
    ::setenv("CALVETRA_COM1", line.Path().c_str(), 1);
    Form1->ComboBox1->setCurrentIndex(0);
    Guarded([] { Form1->Button5Click(); });
    Form1->ListBox1->addItem(ChamberEntryText(12));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->ListBox1Click(); });
    Guarded([] { Form1->Button6Click(); });
    int polls = 1;
    QObject::connect(Form1->Timer1, &QTimer::timeout, [&] { ++polls; });
    RunEventLoop(2000);

    const double cpuBefore = bench::CpuSeconds();
    const auto wallBefore = Clock::now();
    RunEventLoop(idleSeconds * 1000);
    const double cpu = bench::CpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    const double share = 100.0 * cpu / wall;
    const double rssIdle = bench::RssMb();
    const bool answered = Form1->Label5->text() != "0" || Form1->Label2->text() != "0";

    std::printf("figures of the application (offscreen, real waits; simulator in a child process)\n");
    char what[128];
    std::snprintf(what, sizeof what, "idle CPU, port open, reading on (%d polls in %.0f s)", polls, wall);
    Line(what, Format("%.3f %% of a core", share), "< 1 %", share < 1.0 && answered && errors == 0);
    Line("resident memory after start", Format("%.1f MB", rssStart), "< 80 MB", rssStart < 80);
    Line("resident memory after the idle minute", Format("%.1f MB", rssIdle), "< 80 MB", rssIdle < 80);
    if (!answered)
        std::fprintf(stderr, "the chamber's values never reached the window\n");

    Guarded([] { Form1->Button6Click(); });
    DestroyApplicationWindows();
    line.Stop();

    if (startup) {
        std::vector<double> times = MeasureStartup(program, startupRuns);
        if (times.empty()) {
            Line("start-up to main window shown", "not measured", "< 500 ms", false);
        } else {
            std::vector<double> sorted = times;
            std::sort(sorted.begin(), sorted.end());
            const double median = sorted[sorted.size() / 2];
            std::string all;
            for (double t : times)
                all += Format(" %.0f", t);
            std::snprintf(what, sizeof what, "start-up to main window shown, median of %zu (Xvfb)", times.size());
            Line(what, Format("%.0f ms", median), "< 500 ms", median < 500);
            std::printf("  runs (ms):%s; the first one with cold caches\n", all.c_str());
        }
    }
    return 0;
}
