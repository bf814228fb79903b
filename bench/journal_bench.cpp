// Figures of the action journal:
//   (a) one record appended and flushed to the disk (fdatasync), as every
//       action does before its frame goes out: median and 99th percentile,
//   (b) checking a journal of 1,000,000 records in one pass, and the resident
//       memory before and after (flat: it does not grow with the file).
// Usage: journal_bench [FOLDER]   (default: a new folder under the working
// folder, on this machine's disk; removed afterwards)
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <thread>
#include <chrono>
#include <cstdio>
#include <vector>

#include "AppSupport.h"
#include "monitoring/ActionJournal.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

void Report(const char* what, double value, const char* unit, const char* target, bool pass)
{
    std::printf("%-52s %10.3f %-4s target %-10s %s\n", what, value, unit, target, bench::Verdict(pass));
}

// A journal of `count` records written straight (no flush per record): the
// checker's input, the same bytes the application writes.
bool WriteJournal(const QString& path, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QString start(64, u'0');
    file.write("\xEF\xBB\xBF#Calvetra journal," + start.toLatin1() + "\r\n" + JournalHeaderText().toUtf8() + "\r\n");
    JournalRecord r;
    r.utc = QStringLiteral("2026-12-09T20:31:05.123Z");
    r.local = QStringLiteral("2026-12-09T23:31:05.123");
    r.operatorName = QStringLiteral("operator");
    r.computer = QStringLiteral("lab-pc");
    r.chamber = QStringLiteral("12");
    r.action = QStringLiteral("Запись уставок");
    r.oldValue = QStringLiteral("-20 °C, 50 %");
    r.newValue = QStringLiteral("25 °C, 60 %");
    r.outcome = QStringLiteral("отправлено");
    r.previousHash = start;
    QByteArray chunk;
    for (int i = 1; i <= count; ++i) {
        r.number = i;
        chunk += JournalRecordLine(r);
        r.previousHash = r.hash;
        if (chunk.size() > (1 << 20)) {
            file.write(chunk);
            chunk.clear();
        }
    }
    file.write(chunk);
    return file.flush();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir own(QDir::currentPath() + QStringLiteral("/journal-bench-XXXXXX"));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : own.path();
    SetJournalIdentityForTests(QStringLiteral("operator"), QStringLiteral("lab-pc"));

    // (a) Appends with their flush.
    const int appends = 1000;
    std::vector<double> ms;
    ms.reserve(appends);
    JournalEntry entry;
    entry.action = JournalAction::SetPointWrite;
    entry.chamber = QStringLiteral("12");
    entry.oldValue = QStringLiteral("-20 °C, 50 %");
    entry.newValue = QStringLiteral("25 °C, 60 %");
    entry.outcome = JournalOutcomeSent();
    for (int i = 0; i < appends; ++i) {
        const auto start = Clock::now();
        AppendJournal(folder, entry);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("journal folder: %s\n", qPrintable(folder));
    // The disk's own part: the same bytes written and flushed alone.
    {
        std::vector<double> sync;
        const QByteArray path = QFile::encodeName(folder + QStringLiteral("/sync-only"));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const QByteArray line(280, 'x');
        for (int i = 0; i < appends; ++i) {
            const auto start = Clock::now();
            if (::write(fd, line.constData(), line.size()) != line.size() || ::fdatasync(fd) != 0)
                break;
            sync.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        ::close(fd);
        ::unlink(path.constData());
        if (!sync.empty())
            std::printf("%-52s %10.3f ms (99th percentile %.3f ms), for comparison\n",
                        "write + fdatasync alone, median", Percentile(sync, 0.5), Percentile(sync, 0.99));
    }
    Report("append incl. fdatasync, median", Percentile(ms, 0.5), "ms", "< 5", Percentile(ms, 0.5) < 5);
    Report("append incl. fdatasync, 99th percentile", Percentile(ms, 0.99), "ms", "< 5", Percentile(ms, 0.99) < 5);

    // (b) One pass over a million records.
    const QString big = folder + QStringLiteral("/million.csv");
    if (!WriteJournal(big, 1000000)) {
        std::printf("cannot write %s\n", qPrintable(big));
        return 1;
    }
    // Resident memory sampled beside the check, which runs as the command
    // line check does (no record handed out).
    const double rssBefore = bench::RssMb();
    std::atomic<bool> done{false};
    std::atomic<double> rssPeak{rssBefore};
    std::thread sampler([&] {
        while (!done) {
            rssPeak = std::max(rssPeak.load(), bench::RssMb());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = Clock::now();
    const JournalCheck check = CheckJournal(big);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    sampler.join();
    const double rssAfter = std::max(rssPeak.load(), bench::RssMb());
    std::printf("records checked: %lld, whole: %s, file %.1f MB\n", static_cast<long long>(check.records),
                check.ok ? "yes" : "no", QFile(big).size() / 1e6);
    Report("check 1,000,000 records", seconds, "s", "< 5", check.ok && check.records == 1000000 && seconds < 5);
    Report("resident memory growth during the check", rssAfter - rssBefore, "MB", "< 16", rssAfter - rssBefore < 16);
    QFile::remove(big);
    return 0;
}
