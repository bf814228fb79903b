// The test report from a data log to a finished PDF: a 7-day log (10,080
// records) and a 90-day one, the time each takes and the size of the file;
// then the stability report of 90 days of storage at 25/60 with excursions,
// door openings and a gap.
//   build/report_bench [folder]
// (QT_QPA_PLATFORM=offscreen is set here.) Targets: 7 days under 3 s,
// 90 days under 10 s, the 7-day PDF under 2 MB, the 90-day stability
// report under 3 s.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <tuple>

#include "bench/AppSupport.h"
#include "bench/LogGenerator.h"
#include "report/ReportPdf.h"

namespace {

// A week of a short-step program: 15 steps of 10 minutes a cycle, so the
// step table has a row every 10 minutes (1,008 rows): the largest report a
// week gives.
QString WriteShortStepLog(const QString& folder)
{
    const QString name = folder + QStringLiteral("/short КТХ№7 01.06.2026 10_00_00.txt");
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::exit(2);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-3, 3);
    QByteArray bytes = ToLogCodePage(LogHeaderText() + QStringLiteral("\r\n"));
    for (int i = 0; i < 7 * kRecordsPerDay; ++i) {
        const int seconds = (10 * 3600 + i * 60) % (24 * 3600);
        const QString time = QStringLiteral("%1:%2:30").arg(seconds / 3600, 2, 10, QLatin1Char('0')).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
        const int step = i % 150 / 10 + 1;
        const int tenths = -400 + step * 80 + noise(random);
        bytes += ToLogCodePage(RecordLine(time, TenthsText(tenths, QStringLiteral(",")), TenthsText(500 + noise(random), QStringLiteral(",")),
                                          NumberText(3), PairText(step, 15), PairText(i / 150 + 1, 999)) +
                               QStringLiteral("\r\n"));
    }
    file.write(bytes);
    return name;
}

// 90 days at 25/60: a 40-minute excursion every third day, a 5-minute door
// opening every day, and a 6-hour gap on day 45.
QString WriteStorageLog(const QString& folder)
{
    const QString name = folder + QStringLiteral("/storage КТХ№7 01.06.2026 10_00_00.txt");
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::exit(2);
    std::mt19937 random(90);
    std::uniform_int_distribution<int> noise(-4, 4);
    QByteArray chunk = ToLogCodePage(LogHeaderText() + QStringLiteral("\r\n"));
    for (int i = 0; i < 90 * kRecordsPerDay; ++i) {
        const int day = i / kRecordsPerDay, minute = i % kRecordsPerDay;
        if (day == 45 && minute >= 600 && minute < 960)
            continue;
        int tenths = 250 + noise(random);
        if (day % 3 == 1 && minute >= 300 && minute < 340)
            tenths = 282 + noise(random);
        if (minute >= 720 && minute < 725)
            tenths = 215 + noise(random);
        const int seconds = (10 * 3600 + i * 60) % (24 * 3600);
        const QString time = QStringLiteral("%1:%2:30").arg(seconds / 3600, 2, 10, QLatin1Char('0')).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
        chunk += ToLogCodePage(RecordLine(time, TenthsText(tenths, QStringLiteral(",")), TenthsText(600 + noise(random), QStringLiteral(",")),
                                          NumberText(3), QStringLiteral("0(0)"), QStringLiteral("0(0)")) +
                               QStringLiteral("\r\n"));
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return name;
}

}  // namespace

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
    for (const auto& [days, seconds, megabytes, shortSteps] :
         {std::tuple{7, 3.0, 2.0, false}, std::tuple{7, 3.0, 2.0, true}, std::tuple{90, 10.0, 1e9, false}}) {
        const QString log = shortSteps ? WriteShortStepLog(folder) : WriteLog(folder, days, QStringLiteral("report"));
        ReportRequest request;
        request.logPath = log;
        request.outPath = folder + QStringLiteral("/report-%1%2.pdf").arg(days).arg(shortSteps ? "-short" : "");
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
        std::printf("%2d days%s, %6d records: %.2f s (processor %.2f s, target < %.0f s), %d pages, %.3f MB%s, RSS %.1f MB  %s\n",
                    days, shortSteps ? " (10-min steps)" : "", outcome.records, took, bench::CpuSeconds() - cpu, seconds, outcome.pages, size,
                    megabytes < 1e8 ? " (target < 2 MB)" : "", bench::RssMb(), bench::Verdict(ok));
    }
    {
        StabilityReportRequest request;
        request.report.logPath = WriteStorageLog(folder);
        request.report.outPath = folder + QStringLiteral("/stability-90.pdf");
        request.report.settingsFolder = folder + QStringLiteral("/settings");
        request.csvPath = folder + QStringLiteral("/stability-90.csv");
        QString error;
        ParseStabilityCondition(QStringLiteral("25/60"), &request.condition, &error);
        request.delayMs = 15 * 60000;
        ReportOutcome outcome;
        const double cpu = bench::CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        if (!WriteStabilityReport(request, &error, &outcome)) {
            std::fprintf(stderr, "stability report failed: %s\n", qPrintable(error));
            return 2;
        }
        const double took = wall.nsecsElapsed() / 1e9;
        const bool ok = took < 3.0;
        pass = pass && ok;
        std::printf("90 days stability 25/60, %6d records: %.2f s (processor %.2f s, target < 3 s), %d pages, %.3f MB, RSS %.1f MB  %s\n",
                    outcome.records, took, bench::CpuSeconds() - cpu, outcome.pages,
                    QFileInfo(request.report.outPath).size() / 1048576.0, bench::RssMb(), bench::Verdict(ok));
    }
    return pass ? 0 : 1;
}
