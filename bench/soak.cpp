// A long run of the whole application against a simulated line of 32
// chambers, with the waits shortened by the time scale and the chambers'
// climate sped up by as much: the overview reads every chamber with its own
// data log, the main window polls one of them with its data log on, three
// chambers fall silent for a while and come back, their alarms rise and the
// operator acknowledges them, a set point command goes out through
// the control window every simulated hour (each one a journal record), the
// endpoint is scraped every real second, and a test report is made of the
// main log at the end.
// It checks: resident memory and open descriptors flat, every log line
// accounted for (minutes with an answered read = records, per chamber), no
// logged value that no read gave, the journal's chain whole, the alarms
// raised and acknowledged, every scrape answered, the report written.
// Usage: soak [--hours H] [--scale S] [--fault-rate P] [--seed N] [--keep]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QRegularExpression>
#include <QLineEdit>
#include <QSet>
#include <QSpinBox>
#include <QCheckBox>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>

#include "AppSupport.h"
#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/Alarms.h"
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/LogReader.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Overview.h"
#include "monitoring/Presentation.h"
#include "ui/AlarmCenter.h"
#include "ui/ErrorDisplay.h"
#include "ui/OverviewWindow.h"
#include "report/ReportPdf.h"
#include "ui/Startup.h"
#include "ui/Unit3.h"
#include "ui/Unit5.h"
#include "services/Watching.h"
#include "ui/main.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChambers = 32;
constexpr int kSelected = 12;
// The chambers that fall silent, and when, as parts of the whole run.
struct PlannedOutage {
    int address;
    double from, to;
};
constexpr PlannedOutage kOutages[] = {{kSelected, 0.20, 0.26}, {5, 0.45, 0.52}, {27, 0.70, 0.75}};

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count - 1;  // the directory's own
}

// A port nobody listens on now.
int FreePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// One GET /metrics as a watcher sends it; true when it was answered 200 with
// the chambers' metrics in it.
bool Scrape(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    timeval limit{5, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: soak\r\nConnection: close\r\n\r\n";
        if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[16384];
            for (;;) {
                const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                answer.append(buffer, static_cast<size_t>(n));
            }
        }
    }
    ::close(s);
    return answer.rfind("HTTP/1.1 200", 0) == 0 && answer.find("\r\n\r\n# ") != std::string::npos &&
           answer.find("calvetra_") != std::string::npos;
}

// The part of a record line after its time: the values it carries.
QString ValuesOfRecord(const QString& line)
{
    QString values = line.mid(line.indexOf(QLatin1Char(';')) + 1);
    const int end = values.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
    return end < 0 ? values : values.left(end);
}

// A record line as the file holds it, without its line end.
QString RecordKey(QString line)
{
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

struct LogCheck {
    int headers = 0;
    int records = 0;
    int damaged = 0;     // lines that are neither a header nor a whole record
    int notRead = 0;     // records whose values no read gave
};

// A record is four blanks, the time, ";" and five more columns each ending
// in ";", then five blanks.
bool IsRecordLine(const QString& line)
{
    return line.startsWith(QStringLiteral("    ")) && line.endsWith(QStringLiteral(";     ")) &&
           line.count(QLatin1Char(';')) == 6;
}

// Each record, as its minute writes it, against the time and values of the
// answered reads since the minute before. Only those reads are kept, so the
// check itself does not grow the memory the soak measures.
struct RecordTimeCheck {
    QSet<QString> answeredSinceTick;
    qint64 checkedBytes = 0;
    int notAtReadTime = 0;
    void AtTick(const QString& path)
    {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.seek(checkedBytes)) {
            const QByteArray written = file.readAll();
            checkedBytes += written.size();
            for (const QString& line : DecodeWindows1251(written).split(QLatin1Char('\n')))
                if (IsRecordLine(RecordKey(line)))
                    notAtReadTime += !answeredSinceTick.contains(RecordKey(line));
        }
        answeredSinceTick.clear();
    }
};

// Headers, whole records and damaged lines; every line is followed by an
// empty one.
LogCheck CheckLog(const QString& path, const QSet<QString>& valuesRead)
{
    LogCheck check;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return check;
    const QString header = LogHeaderText();
    const QString headerLine = header.left(header.indexOf(QRegularExpression(QStringLiteral("[\r\n]"))));
    const QStringList lines = DecodeWindows1251(file.readAll()).split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (line == headerLine) {
            ++check.headers;
        } else if (IsRecordLine(line)) {
            ++check.records;
            check.notRead += !valuesRead.contains(ValuesOfRecord(line));
        } else {
            ++check.damaged;
        }
    }
    return check;
}

void Row(const char* what, const std::string& value, const char* target, bool pass)
{
    std::printf("%-46s %-30s target %-22s %s\n", what, value.c_str(), target, bench::Verdict(pass));
}

std::string Format(const char* format, double a, double b = 0, double c = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    double hours = 8;
    double scale = 0.02;
    double faultRate = 0;
    unsigned seed = 1;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--hours" && i + 1 < argc)
            hours = std::atof(argv[++i]);
        else if (a == "--scale" && i + 1 < argc)
            scale = std::atof(argv[++i]);
        else if (a == "--fault-rate" && i + 1 < argc)
            faultRate = std::atof(argv[++i]);
        else if (a == "--seed" && i + 1 < argc)
            seed = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: soak [--hours H] [--scale S] [--fault-rate P] [--seed N] [--keep]\n");
            return 2;
        }
    }
    if (hours <= 0 || scale <= 0 || scale > 1) {
        std::fprintf(stderr, "soak: --hours must be > 0 and --scale in (0, 1]\n");
        return 2;
    }
    const auto realMs = [scale](double simulatedMs) { return static_cast<int>(simulatedMs * scale); };
    const double totalRealMs = hours * 3600000 * scale;

    bench::SimSetup setup;
    setup.chambers.clear();
    for (int a = 1; a <= kChambers; ++a)
        setup.chambers.push_back(a);
    setup.faults.faultRate = faultRate;
    setup.seed = seed;
    setup.speed = 1.0 / scale;  // the chambers' climate moves in simulated time
    setup.runningAtRoomClimate = true;
    for (const PlannedOutage& o : kOutages)
        setup.outages[o.address] = {o.from * totalRealMs / 1000, o.to * totalRealMs / 1000};
    bench::SimProcess line;
    std::string error;
    if (!line.Start(setup, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto simStart = Clock::now();
    // Whether the selected chamber is silent now (its outage, in real time).
    const auto selectedSilent = [&] {
        const double at = std::chrono::duration<double, std::milli>(Clock::now() - simStart).count() / totalRealMs;
        return at >= kOutages[0].from && at < kOutages[0].to;
    };

    QTemporaryDir folder;
    folder.setAutoRemove(!keep);
    // The settings, the report counter and the journal stay inside the run.
    qputenv("XDG_CONFIG_HOME", QDir(folder.path()).filePath(QStringLiteral("config")).toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "");
    // The log file is named after the date; the dotted Russian date format
    // gives the names the operators see.
    if (!std::setlocale(LC_TIME, "ru_RU.UTF-8"))
        std::fprintf(stderr, "soak: ru_RU.UTF-8 is not installed; log names follow the C locale\n");
    SetProgramFolderForTests(folder.path());
    int errors = 0;
    SetErrorDisplayHook([&](const QString& text) {
        ++errors;
        std::fprintf(stderr, "error display: %s\n", qPrintable(text));
    });
    SetTimeScale(scale);
    const double rssStart = bench::RssMb();
    const int fdStart = OpenDescriptors();
    CreateApplicationWindows(true);
    // No desktop session here: the notifications are counted, not sent.
    int notifications = 0;
    AlarmCenter->SetNotifier([&](const QString&, const QString&, bool) {
        ++notifications;
        return true;
    });
    const int port = FreePort();
    StartWatching({QStringLiteral("soak"), QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)});

    ::setenv("CALVETRA_COM1", line.Path().c_str(), 1);
    Form1->ComboBox1->setCurrentIndex(0);
    Guarded([] { Form1->Button5Click(); });

    // The overview: every chamber, each with its own log, reads as short as
    // the line allows (the read's timeout is not scaled with the waits).
    FormOverview->SpinTimeout->setValue(kMinOverviewTimeoutMs);
    for (int a = 1; a <= kChambers; ++a)
        FormOverview->Watch(a);
    FormOverview->StartReading();

    std::map<int, bool> answeredSinceTick;
    std::map<int, int> expectedRecords;
    std::map<int, int> answeredReads;
    std::map<int, QSet<QString>> valuesRead;
    std::map<int, RecordTimeCheck> recordTimes;
    std::map<int, int> unansweredReads;
    int readsWhileSelectedSilent = 0;
    QObject::connect(FormOverview, &TOverviewWindow::ChamberRead, [&](const WatchedChamber& c, bool answered) {
        readsWhileSelectedSilent += selectedSilent();
        if (!answered) {
            ++unansweredReads[c.address];
            return;
        }
        ++answeredReads[c.address];
        answeredSinceTick[c.address] = true;
        const StatusView& v = c.view;
        valuesRead[c.address].insert(ValuesOfRecord(
            RecordLine(QString(), v.currentTempText, v.currentHumidityText, v.programText, v.stepText, v.cycleText)));
        // The record as the window made it at this answer, time included;
        // its values are checked apart, against the view, above.
        if (const ChamberLog* log = FormOverview->Log(c.address))
            recordTimes[c.address].answeredSinceTick.insert(RecordKey(log->Record()));
    });
    // Connected after the window's own: runs once its lines are written.
    int chamberMinutes = 0;
    QObject::connect(&FormOverview->LogTimer(), &QTimer::timeout, [&] {
        for (int a = 1; a <= kChambers; ++a) {
            const ChamberLog* log = FormOverview->Log(a);
            if (!log || !log->HeaderWritten())
                continue;
            ++chamberMinutes;
            expectedRecords[a] += answeredSinceTick[a];
            answeredSinceTick[a] = false;
            recordTimes[a].AtTick(log->FileName());
        }
    });
    std::map<int, int> linkStarts, linkEnds;
    QObject::connect(FormOverview, &TOverviewWindow::ChamberAlarmEvents,
                     [&](int address, const std::vector<AlarmEvent>& events) {
                         for (const AlarmEvent& e : events) {
                             if (e.alarm.kind != AlarmKind::Link)
                                 continue;
                             linkStarts[address] += e.type == AlarmEventType::Start;
                             linkEnds[address] += e.type == AlarmEventType::End;
                         }
                     });

    // The main window: the selected chamber read every 4 s, its log on.
    Form1->ListBox1->addItem(ChamberEntryText(kSelected));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->ListBox1Click(); });
    int polls = 0;
    int unanswered = 0;
    int logTicks = 0;
    int mainExpected = 0;
    bool mainAnswered = false;
    QSet<QString> mainValuesRead;
    RecordTimeCheck mainRecordTimes;
    // After the window's own slot: the overview's read of the selected
    // chamber has been shown and LogLine is new.
    QObject::connect(FormOverview, &TOverviewWindow::SelectedRead, [&](const OverviewRead& read) {
        if (read.address != kSelected)
            return;
        ++polls;
        if (!read.answered) {
            ++unanswered;
        } else {
            mainAnswered = true;
            mainValuesRead.insert(ValuesOfRecord(LogLine));
            mainRecordTimes.answeredSinceTick.insert(RecordKey(LogLine));
        }
    });
    // A minute's record is due when a poll was answered since the last one.
    QObject::connect(Form1->Timer4, &QTimer::timeout, [&] {
        if (!Form1->CheckBox1->isChecked())
            return;
        ++logTicks;
        mainExpected += mainAnswered;
        mainAnswered = false;
        mainRecordTimes.AtTick(LogFileName);
    });
    Guarded([] { Form1->Button6Click(); });
    // The first read comes from the overview's scheduler at once.
    QElapsedTimer waited;
    waited.start();
    while (!Form1->CheckBox1->isEnabled() && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    Form1->CheckBox1->setChecked(true);
    Guarded([] { Form1->CheckBox1Click(); });
    // The chambers' logs a little later: a log's name holds the time to the
    // second, and the selected chamber's overview log would otherwise get
    // the main window's name.
    QTimer::singleShot(1500, [] { FormOverview->CheckLogAll->click(); });

    // A set point command through the control window now and every
    // simulated hour; the chamber is started in manual mode to follow them.
    int commands = 0;
    const auto command = [&] {
        ++commands;
        Form3->Edit3->setText(QString::number(commands % 2 ? 30 : 25));
        Form3->Edit4->setText(QString::number(commands % 2 ? 60 : 50));
        Guarded([] { Form3->Button4Click(); });
    };
    command();
    Guarded([] { Form3->Button2Click(); });
    QTimer commandTimer;
    QObject::connect(&commandTimer, &QTimer::timeout, command);
    commandTimer.start(realMs(3600000));

    // The operator looks at the alarms every simulated five minutes and
    // acknowledges what is waiting.
    int acknowledged = 0;
    const auto waiting = [] {
        int count = 0;
        for (const ChamberAlarm& a : AlarmCenter->AllAlarms())
            count += !a.alarm.acknowledged;
        return count;
    };
    QTimer acknowledgeTimer;
    QObject::connect(&acknowledgeTimer, &QTimer::timeout, [&] {
        const int before = waiting();
        if (before == 0)
            return;
        AlarmCenter->AcknowledgeAll(QStringLiteral("soak"));
        acknowledged += before - waiting();
    });
    acknowledgeTimer.start(realMs(300000));

    // The endpoint scraped every second, as a watcher's collector does;
    // paused while the descriptors are counted.
    std::mutex scraperLock;
    std::atomic<bool> stopScraping{false};
    std::atomic<int> scrapes{0}, scrapesFailed{0};
    std::thread scraper([&] {
        auto due = Clock::now();
        while (!stopScraping) {
            {
                std::lock_guard<std::mutex> guard(scraperLock);
                ++scrapes;
                scrapesFailed += !Scrape(port);
            }
            due += std::chrono::seconds(1);
            while (!stopScraping && Clock::now() < due)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const auto descriptors = [&] {
        std::lock_guard<std::mutex> guard(scraperLock);
        return OpenDescriptors();
    };

    // Warmed up after the first simulated hour (a sixth of a shorter run):
    // every log has its header, the endpoint has answered, the chart has points.
    double rssWarm = 0, rssPeak = 0;
    int fdWarm = 0;
    QTimer::singleShot(realMs(std::min(3600000.0, hours * 3600000 / 6)), [&] {
        rssWarm = bench::RssMb();
        fdWarm = descriptors();
    });
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { rssPeak = std::max(rssPeak, bench::RssMb()); });
    sampler.start(std::max(100, realMs(60000)));
    double rssEnd = 0;
    int fdEnd = 0;
    const auto start = Clock::now();
    QTimer::singleShot(static_cast<int>(totalRealMs), [&] {
        rssEnd = bench::RssMb();
        fdEnd = descriptors();
        QCoreApplication::quit();
    });
    std::printf("soak: %g simulated hours at time scale %g (about %.0f s), 32 chambers, endpoint on port %d\n", hours,
                scale, totalRealMs / 1000, port);
    std::fflush(stdout);
    QCoreApplication::exec();
    const double realSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    rssPeak = std::max(rssPeak, rssEnd);
    stopScraping = true;
    scraper.join();

    // Everything that will be checked, taken before the windows go.
    const QString mainLog = LogFileName;
    std::map<int, QString> chamberLogs;
    for (int a = 1; a <= kChambers; ++a)
        if (const ChamberLog* log = FormOverview->Log(a))
            chamberLogs[a] = log->FileName();
    int alarmsRaised = 0, alarmsActive = 0, alarmsWaiting = 0;
    for (const ChamberAlarm& c : AlarmCenter->AllAlarms()) {
        const Alarm& a = c.alarm;
        std::printf("soak: alarm %d, chamber %d, %s: %s%s%s\n", a.id, c.chamberAddress,
                    qPrintable(AlarmKindKey(a.kind)), qPrintable(a.text), a.active ? ", active" : "",
                    a.acknowledged ? ", acknowledged" : "");
        ++alarmsRaised;
        alarmsActive += a.active;
        alarmsWaiting += !a.acknowledged;
    }
    const int collisions = LineCollisions();
    Guarded([] { Form1->Button6Click(); });
    commandTimer.stop();
    acknowledgeTimer.stop();
    StopWatching();
    DestroyApplicationWindows();
    line.Stop();

    std::printf("soak: %.1f simulated hours in %.0f s (time scale %g), fault rate %g, seed %u\n", hours, realSeconds,
                scale, faultRate, seed);
    bool ok = true;
    const auto row = [&](const char* what, const std::string& value, const char* target, bool pass) {
        Row(what, value, target, pass);
        ok = ok && pass;
    };

    // The selected chamber's own log: one record per tick of its timer.
    const LogCheck mainCheck = CheckLog(mainLog, mainValuesRead);
    std::printf("soak: main window: %d polls, %d without a reply, %d log ticks\n", polls, unanswered, logTicks);
    row("main log records vs minutes answered",
        std::to_string(mainCheck.records) + " of " + std::to_string(mainExpected) + ", " +
            std::to_string(mainCheck.damaged) + " damaged",
        "equal, none torn", mainCheck.headers == 1 && mainCheck.records == mainExpected &&
                                mainCheck.damaged == 0 && mainExpected > 0);
    row("main log records with a value not read", std::to_string(mainCheck.notRead), "0", mainCheck.notRead == 0);
    row("main log records at a time nothing was read", std::to_string(mainRecordTimes.notAtReadTime), "0",
        mainRecordTimes.notAtReadTime == 0);

    // The chambers' logs: one record per minute with an answered read.
    int expectedAll = 0, writtenAll = 0, damagedAll = 0, notReadAll = 0, notAtReadTimeAll = 0, chambersOff = 0,
        readsAll = 0;
    for (int a = 1; a <= kChambers; ++a) {
        const LogCheck c = CheckLog(chamberLogs[a], valuesRead[a]);
        const int notAtReadTime = recordTimes[a].notAtReadTime;
        expectedAll += expectedRecords[a];
        writtenAll += c.records;
        damagedAll += c.damaged;
        notReadAll += c.notRead;
        notAtReadTimeAll += notAtReadTime;
        readsAll += answeredReads[a];
        const bool whole = c.headers == 1 && c.records == expectedRecords[a] && c.damaged == 0 && c.notRead == 0 &&
                           notAtReadTime == 0;
        chambersOff += !whole;
        bool outage = false;
        for (const PlannedOutage& o : kOutages)
            outage = outage || o.address == a;
        if (!whole || outage)
            std::printf("soak: chamber %2d%s: %d unanswered, %d answered reads, %d records expected, %d written, %d header(s), "
                        "%d damaged, %d not read, %d at a time nothing was read\n",
                        a, outage ? " (outage)" : "", unansweredReads[a], answeredReads[a], expectedRecords[a], c.records, c.headers,
                        c.damaged, c.notRead, notAtReadTime);
    }
    row("chamber log records vs minutes answered",
        std::to_string(writtenAll) + " of " + std::to_string(expectedAll) + " (" + std::to_string(chambersOff) +
            " chambers off)",
        "equal, every chamber", chambersOff == 0 && expectedAll > 0);
    row("chamber log lines damaged / values not read",
        std::to_string(damagedAll) + " / " + std::to_string(notReadAll), "0 / 0", damagedAll == 0 && notReadAll == 0);
    row("chamber log records at a time nothing was read", std::to_string(notAtReadTimeAll), "0", notAtReadTimeAll == 0);
    std::printf("soak: overview: %d answered reads of 32 chambers; %d chamber-minutes, %d without an answered read\n",
                readsAll, chamberMinutes, chamberMinutes - expectedAll);
    // A silent selected chamber blinds nobody: while it is silent the others
    // are read at least half as often as over the whole run (its poll of
    // 20 attempts used to leave them almost none).
    const double silentMs = (kOutages[0].to - kOutages[0].from) * totalRealMs;
    const int readsDue = static_cast<int>(0.5 * readsAll * silentMs / totalRealMs);
    const std::string due = ">= " + std::to_string(readsDue);
    row("reads of the others while the selected chamber was silent", std::to_string(readsWhileSelectedSilent),
        due.c_str(), readsWhileSelectedSilent >= readsDue);

    // The silent chambers: their link alarms rose and ended, and every alarm
    // was acknowledged. The selected chamber's link alarm is the main
    // window's, counted there.
    std::string outages;
    bool outagesSeen = true;
    for (const PlannedOutage& o : kOutages) {
        if (o.address == kSelected)
            continue;
        outages += std::to_string(o.address) + ":" + std::to_string(linkStarts[o.address]) + "/" +
                   std::to_string(linkEnds[o.address]) + " ";
        outagesSeen = outagesSeen && linkStarts[o.address] >= 1 && linkEnds[o.address] == linkStarts[o.address];
    }
    int otherLinkAlarms = 0;
    for (const auto& [address, count] : linkStarts) {
        bool planned = false;
        for (const PlannedOutage& o : kOutages)
            planned = planned || o.address == address;
        otherLinkAlarms += planned ? 0 : count;
    }
    row("overview link alarms of the silent (start/end)", outages, "each >= 1, all ended", outagesSeen);
    row("overview link alarms of answering chambers", std::to_string(otherLinkAlarms), "0", otherLinkAlarms == 0);
    row("alarms raised / acknowledged",
        std::to_string(alarmsRaised) + " / " + std::to_string(acknowledged) + " (" + std::to_string(alarmsActive) +
            " active, " + std::to_string(alarmsWaiting) + " waiting)",
        ">= 3, all, none active", alarmsRaised >= 3 && alarmsWaiting == 0 && alarmsActive == 0);
    std::printf("soak: desktop notifications asked for: %d\n", notifications);

    // The journal: whole, with a record for every command and acknowledgement.
    int setPointRecords = 0, acknowledgeRecords = 0;
    const JournalCheck journal = CheckJournal(JournalFileName(folder.path()), [&](const JournalRecord& r) {
        setPointRecords += r.action == JournalActionText(JournalAction::SetPointWrite);
        acknowledgeRecords += r.action == JournalActionText(JournalAction::AlarmAcknowledge);
    });
    row("journal chain", std::to_string(journal.records) + " records, " + (journal.ok ? "whole" : "broken"), "whole",
        journal.ok && journal.records > 0);
    row("journal set point / acknowledgement records",
        std::to_string(setPointRecords) + " of " + std::to_string(commands) + ", " +
            std::to_string(acknowledgeRecords) + " of " + std::to_string(acknowledged),
        "all", commands >= static_cast<int>(hours) + 1 && setPointRecords == commands &&
                   acknowledgeRecords == acknowledged);

    row("endpoint scrapes answered", std::to_string(scrapes - scrapesFailed) + " of " + std::to_string(scrapes),
        "all", scrapes > 0 && scrapesFailed == 0);
    row("line collisions", std::to_string(collisions), "0", collisions == 0);

    // The report of the main log, as `calvetra --report` makes it.
    const QString pdf = QDir(folder.path()).filePath(QStringLiteral("Отчёт.pdf"));
    int reportExit = -1;
    RunReportCommand({QStringLiteral("calvetra"), QStringLiteral("--report"), mainLog, QStringLiteral("-o"), pdf},
                     &reportExit);
    QFile report(pdf);
    const bool reportOk = reportExit == 0 && report.open(QIODevice::ReadOnly) && report.read(5) == "%PDF-";
    row("report of the main log", "exit " + std::to_string(reportExit) + ", " + std::to_string(report.size()) +
                                      " bytes", "written", reportOk);

    row("resident memory at start / warmed up / end",
        Format("%.1f / %.1f / %.1f MB", rssStart, rssWarm, rssEnd), "growth after warm-up < 2",
        rssEnd - rssWarm < 2.0);
    row("resident memory peak", Format("%.1f MB", rssPeak), "< 80 MB", rssPeak < 80);
    row("open descriptors at start / warmed up / end",
        std::to_string(fdStart) + " / " + std::to_string(fdWarm) + " / " + std::to_string(fdEnd),
        // A scrape in flight at either moment holds one more; a leak only grows.
        "end <= warmed up", fdEnd <= fdWarm);
    row("errors shown during the soak", std::to_string(errors), "0", errors == 0);
    if (keep)
        std::printf("soak: files kept in %s\n", qPrintable(folder.path()));
    return ok ? 0 : 1;
}
