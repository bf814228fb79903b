// The desktop attached to a recorder's line of 32 chambers: the recorder runs
// as its own program on the simulated line and a second one of 32, the main
// window follows one chamber from its reads, the overview shows both lines'
// tiles and the alarm window the recorder's alarms, and a 10 ms probe timer
// on the window's event loop measures the longest gap between two of its
// ticks (a stall of the loop).
// Target: no gap over 50 ms.
// Usage: attach_bench [--seconds N]   (default 300)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "AppSupport.h"
#include "services/RecorderClient.h"
#include "ui/AlarmCenter.h"
#include "ui/ErrorDisplay.h"
#include "ui/Startup.h"
#include "ui/main.h"

namespace {
constexpr int kChambers = 32;
constexpr double kTargetMs = 50;

QString OwnGroup()
{
    const group* g = ::getgrgid(::getegid());
    return g ? QString::fromLocal8Bit(g->gr_name) : QString();
}
}  // namespace

int main(int argc, char** argv)
{
    int seconds = 300;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: attach_bench [--seconds N]\n");
            return 2;
        }
    }
    // Before any thread exists: the simulator forks.
    bench::SimSetup setup;
    setup.chambers.clear();
    for (int address = 1; address <= kChambers; ++address)
        setup.chambers.push_back(address);
    setup.runningAtRoomClimate = true;
    bench::SimProcess line;
    bench::SimProcess other;
    std::string error;
    if (!line.Start(setup, &error) || !other.Start(setup, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("control.sock"));
    ::setenv("CALVETRA_RECORDER_SOCKET", socket.toLocal8Bit().constData(), 1);
    ::setenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit().constData(), 1);
    const QString conf = QStringLiteral("[recorder]\nfolder=%1/data\nlisten=\nsocket=%2\nreaders=%3\noperators=%3\n"
                                        "[line.a]\ndevice=%4\nchambers=1-%5\ntimeout=150\n"
                                        "[line.b]\ndevice=%6\nchambers=1-%5\ntimeout=150\n")
                             .arg(dir.path(), socket, OwnGroup(), QString::fromStdString(line.Path()))
                             .arg(kChambers)
                             .arg(QString::fromStdString(other.Path()));
    const QString confPath = dir.filePath(QStringLiteral("recorder.conf"));
    QFile file(confPath);
    file.open(QIODevice::WriteOnly);
    file.write(conf.toUtf8());
    file.close();
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    recorder.start(QCoreApplication::applicationDirPath() + QStringLiteral("/calvetra-recorder"),
                   {QStringLiteral("--config"), confPath});
    if (!recorder.waitForStarted()) {
        std::fprintf(stderr, "calvetra-recorder does not start\n");
        return 1;
    }
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(socket) && waited.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    SetErrorDisplayHook([](const QString& text) { std::fprintf(stderr, "error window: %s\n", qPrintable(text)); });
    CreateApplicationWindows(false);
    Form1->show();
    Form1->RefreshPortList();
    const int index = Form1->ComboBox1->findText(QStringLiteral("Линия a — регистратор (%1)").arg(ChamberCountText(kChambers)));
    if (index < 0) {
        std::fprintf(stderr, "the recorder's line is not in the port list\n");
        return 1;
    }
    Form1->ComboBox1->setCurrentIndex(index);
    Form1->Button5->click();
    Form1->SelectChamber(kChambers / 2);
    Form1->Button6->click();
    Form1->ButtonOverview->click();
    if (AlarmCenter)
        AlarmCenter->ShowWindow();

    // Warm-up: attached, the first reads shown.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 5000)
        app.processEvents(QEventLoop::AllEvents, 20);
    const QString firstShown = Form1->Label5->text();

    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QElapsedTimer sinceTick;
    double longest = 0;
    long ticks = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (ticks++ > 0)
            longest = std::max(longest, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
    });
    const double cpuFrom = bench::CpuSeconds();
    probe.start();
    sinceTick.start();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double cpu = 100.0 * (bench::CpuSeconds() - cpuFrom) / seconds;
    const QString lastShown = Form1->Label5->text();
    const bool attached = DesktopRecorder().Attached();
    DestroyApplicationWindows();
    recorder.terminate();
    recorder.waitForFinished(10000);

    std::printf("attach_bench: desktop attached to a recorder's line of %d chambers, chamber %d read, the overview "
                "showing it and a second line of %d, %d s\n",
                kChambers, kChambers / 2, kChambers, seconds);
    std::printf("  current temperature shown: %s (first) %s (last); attached at the end: %s\n", qPrintable(firstShown),
                qPrintable(lastShown), attached ? "yes" : "no");
    std::printf("  probe ticks %ld, longest gap between two 10 ms ticks %.1f ms (target < %.0f ms): %s\n", ticks,
                longest, kTargetMs, bench::Verdict(longest < kTargetMs && attached));
    std::printf("  desktop CPU %.2f %%\n", cpu);
    return longest < kTargetMs && attached ? 0 : 1;
}
