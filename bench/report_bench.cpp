// The test report from a data log to a finished PDF: a 7-day log (10,080
// records) and a 90-day one, the time each takes and the size of the file.
//   build/report_bench [folder]
// (QT_QPA_PLATFORM=offscreen is set here.) Targets: 7 days under 3 s,
// 90 days under 10 s, the 7-day PDF under 2 MB.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <tuple>

#include "bench/AppSupport.h"
#include "bench/LogGenerator.h"
#include "ui/ReportPdf.h"

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir temp;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    std::printf("load average %.2f\n", load);
    bool pass = true;
    for (const auto& [days, seconds, megabytes] : {std::tuple{7, 3.0, 2.0}, std::tuple{90, 10.0, 1e9}}) {
        const QString log = WriteLog(folder, days, QStringLiteral("report"));
        ReportRequest request;
        request.logPath = log;
        request.outPath = folder + QStringLiteral("/report-%1.pdf").arg(days);
        request.settingsFolder = folder + QStringLiteral("/settings");
        QString error;
        ReportOutcome outcome;
        const double cpu = bench::CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        if (!WriteReportPdf(request, &error, &outcome)) {
            std::fprintf(stderr, "report of %d days failed: %s\n", days, qPrintable(error));
            return 2;
        }
        const double took = wall.nsecsElapsed() / 1e9;
        const double size = QFileInfo(request.outPath).size() / 1048576.0;
        const bool ok = took < seconds && size < megabytes;
        pass = pass && ok;
        std::printf("%2d days, %6d records: %.2f s (processor %.2f s, target < %.0f s), %d pages, %.3f MB%s, RSS %.1f MB  %s\n",
                    days, outcome.records, took, bench::CpuSeconds() - cpu, seconds, outcome.pages, size,
                    megabytes < 1e8 ? " (target < 2 MB)" : "", bench::RssMb(), bench::Verdict(ok));
    }
    return pass ? 0 : 1;
}
