// A long run of the application against a simulated chamber that misbehaves
// now and then: reading on (a poll every 4 s), the data log on (a record a
// minute), each request with a chance of a random fault (ignored, late,
// split, noise, bad CRC, exception, short reply). Waits are shortened by the
// time scale, so 30 simulated minutes take 90 s at 0.05.
// It reports the resident memory after start, after warming up and at the
// end, and compares the records in the log file with the ticks of the log
// timer: none may be lost, none torn.
// Usage: soak [--minutes M] [--scale S] [--fault-rate P] [--seed N] [--keep]
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "AppSupport.h"
#include "link/PortUnit.h"
#include "monitoring/DataLog.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "ui/ErrorDisplay.h"
#include "ui/Startup.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {

using Clock = std::chrono::steady_clock;

struct LogCount {
    int headers = 0;
    int records = 0;
    int damaged = 0;  // lines that are neither a header nor a whole record
};

// A record is four blanks, the time, ";" and five more columns each ending
// in ";", then five blanks; every line is followed by an empty one.
LogCount CountLog(const QString& path)
{
    LogCount count;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return count;
    const QByteArray header = ToLogCodePage(LogHeaderText()).chopped(2);
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (line == header)
            ++count.headers;
        else if (line.startsWith("    ") && line.endsWith(";     ") && line.count(';') == 6)
            ++count.records;
        else
            ++count.damaged;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    double minutes = 30;
    double scale = 0.05;
    double faultRate = 0.1;
    unsigned seed = 1;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--minutes" && i + 1 < argc)
            minutes = std::atof(argv[++i]);
        else if (a == "--scale" && i + 1 < argc)
            scale = std::atof(argv[++i]);
        else if (a == "--fault-rate" && i + 1 < argc)
            faultRate = std::atof(argv[++i]);
        else if (a == "--seed" && i + 1 < argc)
            seed = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: soak [--minutes M] [--scale S] [--fault-rate P] [--seed N] [--keep]\n");
            return 2;
        }
    }

    bench::SimSetup setup;
    setup.faults.faultRate = faultRate;
    setup.seed = seed;
    setup.speed = 1.0 / scale;  // the chamber's climate moves in simulated time
    bench::SimProcess line;
    std::string error;
    if (!line.Start(setup, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "");
    // The log file is named after the date; a short date format with "/"
    // (en_US, C) cannot name a file, so the dotted Russian one is used.
    if (!std::setlocale(LC_TIME, "ru_RU.UTF-8"))
        std::fprintf(stderr, "soak: ru_RU.UTF-8 is not installed; the log may not be writable\n");
    QTemporaryDir folder;
    folder.setAutoRemove(!keep);
    SetProgramFolderForTests(folder.path());
    int errors = 0;
    SetErrorDisplayHook([&](const QString& text) {
        ++errors;
        std::fprintf(stderr, "error display: %s\n", qPrintable(text));
    });
    SetTimeScale(scale);
    CreateApplicationWindows(true);

    ::setenv("CALVETRA_COM1", line.Path().c_str(), 1);
    Form1->ComboBox1->setCurrentIndex(0);
    Guarded([] { Form1->Button5Click(); });
    Form1->ListBox1->addItem(ChamberEntryText(12));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->ListBox1Click(); });

    int polls = 0;
    int unanswered = 0;
    int logTicks = 0;
    QObject::connect(Form1->Timer1, &QTimer::timeout, [&] {
        ++polls;
        unanswered += Form5->isVisible();
    });
    QObject::connect(Form1->Timer4, &QTimer::timeout, [&] { logTicks += Form1->CheckBox1->isChecked(); });

    // Reading on (its first poll runs now), then the log box ticked.
    Guarded([] { Form1->Button6Click(); });
    ++polls;
    const double rssStart = bench::RssMb();
    Form1->CheckBox1->setChecked(true);
    Guarded([] { Form1->CheckBox1Click(); });

    const auto realMs = [scale](double simulatedMinutes) { return static_cast<int>(simulatedMinutes * 60000 * scale); };
    double rssWarm = 0;
    double rssPeak = 0;
    QTimer::singleShot(realMs(std::min(5.0, minutes / 6)), [&] { rssWarm = bench::RssMb(); });
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { rssPeak = std::max(rssPeak, bench::RssMb()); });
    sampler.start(std::max(100, realMs(1)));
    const auto start = Clock::now();
    QTimer::singleShot(realMs(minutes), [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    const double realSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double rssEnd = bench::RssMb();
    rssPeak = std::max(rssPeak, rssEnd);

    const QString logFile = LogFileName;
    Guarded([] { Form1->Button6Click(); });
    DestroyApplicationWindows();
    line.Stop();
    const LogCount log = CountLog(logFile);

    std::printf("soak: %.1f simulated minutes in %.0f s (time scale %g), fault rate %g, seed %u\n", minutes,
                realSeconds, scale, faultRate, seed);
    std::printf("soak: %d polls, %d without a reply; %d log ticks; %d errors shown\n", polls, unanswered, logTicks,
                errors);
    std::printf("soak: log %s: %d header(s), %d records, %d damaged lines\n", qPrintable(logFile), log.headers,
                log.records, log.damaged);
    const bool recordsOk = log.headers == 1 && log.records == logTicks && log.damaged == 0 && logTicks > 0;
    std::printf("%-46s %-26s target %-18s %s\n", "log records vs log timer ticks",
                (std::to_string(log.records) + " of " + std::to_string(logTicks)).c_str(), "all, none torn",
                bench::Verdict(recordsOk));
    char value[64];
    std::snprintf(value, sizeof value, "%.1f MB", rssStart);
    std::printf("%-46s %-26s target %-18s %s\n", "resident memory after start", value, "< 80 MB",
                bench::Verdict(rssStart < 80));
    std::snprintf(value, sizeof value, "%.1f -> %.1f MB (peak %.1f)", rssWarm, rssEnd, rssPeak);
    const bool noGrowth = rssEnd - rssWarm < 2.0;
    std::printf("%-46s %-26s target %-18s %s\n", "resident memory, warmed up -> end of soak", value,
                "< 80 MB, growth < 2", bench::Verdict(rssPeak < 80 && noGrowth));
    std::printf("%-46s %-26d target %-18s %s\n", "errors shown during the soak", errors, "0",
                bench::Verdict(errors == 0));
    if (keep)
        std::printf("soak: log kept in %s\n", qPrintable(folder.path()));
    return recordsOk && noGrowth && rssPeak < 80 && errors == 0 ? 0 : 1;
}
