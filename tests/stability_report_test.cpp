// The stability report end to end: the command line on a small log with a
// known excursion, a door opening and a gap, read back with poppler's tools;
// its CSV; the refusals of a bad condition or delay; a long list of
// excursions over several pages; and the alarms cited beside an excursion.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <functional>

#include "monitoring/ActionJournal.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/Csv.h"
#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "monitoring/Stability.h"
#include "monitoring/StabilityAlarms.h"
#include "monitoring/TestReport.h"
#include "report/ReportPdf.h"
#include "support/AppFixture.h"
#include "ui/ChartWindow.h"

namespace {

bool HavePoppler()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty();
}

QString Tool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// Drawing order, white space made single: a wrapped cell reads as one.
QString FlowText(const QString& pdf)
{
    return Tool(QStringLiteral("pdftotext"), {QStringLiteral("-raw"), pdf, QStringLiteral("-")}).simplified();
}

int PdfPages(const QString& pdf)
{
    const auto m = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(Tool(QStringLiteral("pdfinfo"), {pdf}));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

const QDateTime kStart(QDate(2026, 12, 9), QTime(10, 0, 30));

qint64 At(int minute) { return kStart.addSecs(minute * 60).toMSecsSinceEpoch(); }

// A log of chamber 12 from 10:00:30, one record a minute at 25,0 °C / 60,0 %,
// with temperature tenths given for some minutes and the minutes left out.
QString WriteLog(const QString& folder, int minutes, const std::function<int(int)>& tenths,
                 const std::function<bool(int)>& skipped)
{
    const QString log = folder + QStringLiteral("/КТХ№12 09.12.2026 10_00_00.txt");
    QString text = LogHeaderText() + QStringLiteral("\r\n");
    for (int m = 0; m < minutes; ++m) {
        if (skipped(m))
            continue;
        text += RecordLine(kStart.addSecs(m * 60).toString(QStringLiteral("H:mm:ss")),
                           TenthsText(tenths(m), QStringLiteral(",")), QStringLiteral("60,0"), QStringLiteral("3"),
                           QStringLiteral("0(0)"), QStringLiteral("0(0)")) +
                QStringLiteral("\r\n");
    }
    QFile f(log);
    f.open(QIODevice::WriteOnly);
    f.write(ToLogCodePage(text));
    return log;
}

// 180 minutes: 28,3 °C from minute 30 to 49 (29,1 at 35), 21,5 °C from 80
// to 82 (a door opening against a 10-minute delay), no records from 100 to
// 119. Alarm 5 rises at 32, is acknowledged with a comment at 40, ends at 50.
struct Fixture {
    QTemporaryDir dir;
    QString log;

    Fixture()
    {
        log = WriteLog(
            dir.path(), 180,
            [](int m) {
                if (m == 35)
                    return 291;
                if (m >= 30 && m < 50)
                    return 283;
                if (m >= 80 && m < 83)
                    return 215;
                return 250;
            },
            [](int m) { return m >= 100 && m < 120; });
        AlarmEvent e;
        e.alarm.id = 5;
        e.alarm.kind = AlarmKind::Temperature;
        e.alarm.text = QStringLiteral("Температура вне полосы");
        for (const auto& [type, minute] : {std::pair{AlarmEventType::Start, 32}, std::pair{AlarmEventType::Acknowledge, 40},
                                           std::pair{AlarmEventType::End, 50}}) {
            e.type = type;
            e.time = At(minute);
            AppendAlarmEvent(AlarmEventFileName(dir.path()), AlarmEventLine(e, {12, QStringLiteral("/dev/ttyUSB0")}));
        }
        SetJournalIdentityForTests(QStringLiteral("ivanov"), QStringLiteral("lab1"));
        JournalEntry ack;
        ack.action = JournalAction::AlarmAcknowledge;
        ack.chamber = QStringLiteral("12");
        ack.oldValue = QStringLiteral("тревога №5: Температура вне полосы");
        ack.newValue = QStringLiteral("дверь оставлена открытой");
        ack.outcome = JournalOutcomeDone();
        AppendJournal(dir.path(), ack, QDateTime::fromMSecsSinceEpoch(At(40)));
        SetJournalIdentityForTests(QString(), QString());
    }
};

struct Finished {
    int exitCode = -1;
    QString err;
};

Finished RunProgram(const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // A decimal point in the report, whatever the machine's locale.
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/calvetra"), args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
}

}  // namespace

TEST(StabilityReport, CommandLineWritesTheConditionExcursionsDoorOpeningMktAndGap)
{
    if (!HavePoppler())
        GTEST_SKIP() << "poppler-utils are not installed";
    Fixture f;
    const QString pdf = f.dir.filePath(QStringLiteral("stab.pdf"));
    const QString csv = f.dir.filePath(QStringLiteral("stab.csv"));
    const Finished run = RunProgram({"--report", f.log, "--stability", "--condition", "25/60", "--delay", "10", "-o", pdf,
                                "--stability-csv", csv});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString text = FlowText(pdf);

    EXPECT_TRUE(text.contains(QStringLiteral("Отчёт об условиях хранения №"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Условие «25/60»: температура 25.0 ± 2.0 °C, влажность 60.0 ± 5.0 %")));
    EXPECT_TRUE(text.contains(QStringLiteral("задержки 10 мин")));
    // The excursion: 20 records out of band, the extreme with its time, the
    // mean of 19 × 28,3 and 29,1, and alarm 5 with its acknowledgement and comment.
    EXPECT_TRUE(text.contains(QStringLiteral("09.12.2026 10:30:30 09.12.2026 10:50:30 0:20:00 29.1 °C (09.12.2026 10:35:30) 28.3 °C")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("подтверждена 09.12.2026 10:40:30; «дверь оставлена открытой»")));
    // The door opening is set apart, named as such.
    const qsizetype doors = text.indexOf(QStringLiteral("Открытия двери"));
    ASSERT_GE(doors, 0);
    EXPECT_TRUE(text.mid(doors).contains(QStringLiteral("09.12.2026 11:20:30 09.12.2026 11:23:30 0:03:00 21.5 °C")));
    EXPECT_TRUE(text.mid(doors).contains(QStringLiteral("открытие двери")));
    // Out of band: the excursion and the door opening.
    EXPECT_TRUE(text.contains(QStringLiteral("0:23:00"))) << text.toStdString();

    LogContents contents;
    QString error;
    ASSERT_TRUE(ReadLogFile(f.log, &contents, &error));
    const MeanKineticTemperature mkt =
        MeanKineticTemperatureOf(contents.records, RecordSpan{0, static_cast<int>(contents.records.size()) - 1});
    ASSERT_EQ(mkt.gaps, 1);
    const QString mktText = QString::number(mkt.celsius, 'f', 2);
    EXPECT_TRUE(text.contains(QStringLiteral("Средняя кинетическая температура за интервал: %1 °C (по %2 записям); "
                                             "пропуски исключены: 1, всего 0:21:00.")
                                  .arg(mktText)
                                  .arg(mkt.records)))
        << mktText.toStdString() << "\n"
        << text.toStdString();
    // The gap: from the last record before it to the first after it.
    EXPECT_TRUE(text.contains(QStringLiteral("09.12.2026 11:39:30 09.12.2026 12:00:30 0:21:00")));
    EXPECT_TRUE(text.contains(QStringLiteral("Конец отчёта")));

    // The CSV: a header and one row per excursion, door opening included.
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    const QList<QByteArray> records = SplitCsvRecords(bytes.mid(3));
    ASSERT_EQ(records.size(), 3);
    QList<QByteArray> header, excursion, door;
    ASSERT_TRUE(SplitCsvRecord(records[0], &header));
    ASSERT_TRUE(SplitCsvRecord(records[1], &excursion));
    ASSERT_TRUE(SplitCsvRecord(records[2], &door));
    ASSERT_EQ(excursion.size(), header.size());
    ASSERT_EQ(door.size(), header.size());
    const auto column = [&](const char* name) { return header.indexOf(QByteArray(name)); };
    ASSERT_GE(column("Длительность, мин"), 0);
    EXPECT_EQ(excursion[column("Длительность, мин")], "20.00");
    EXPECT_EQ(excursion[column("Кратковременное (открытие двери)")], "0");
    EXPECT_EQ(door[column("Длительность, мин")], "3.00");
    EXPECT_EQ(door[column("Кратковременное (открытие двери)")], "1");

    // Still PDF/A-1b, every font embedded.
    const QString meta = Tool(QStringLiteral("pdfinfo"), {QStringLiteral("-meta"), pdf});
    EXPECT_TRUE(meta.contains(QStringLiteral("pdfaid:part=\"1\""))) << meta.toStdString();
    EXPECT_TRUE(meta.contains(QStringLiteral("pdfaid:conformance=\"B\"")));
    const QStringList fonts = Tool(QStringLiteral("pdffonts"), {pdf}).split(u'\n', Qt::SkipEmptyParts).mid(2);
    ASSERT_FALSE(fonts.isEmpty());
    for (const QString& font : fonts)
        EXPECT_TRUE(font.contains(QRegularExpression(QStringLiteral("\\syes\\s+(yes|no)\\s+(yes|no)\\s+\\d+")))) << font.toStdString();
}

TEST(StabilityReport, DelayDecidesWhatIsADoorOpeningAndCsvAloneWritesNoPdf)
{
    if (!HavePoppler())
        GTEST_SKIP() << "poppler-utils are not installed";
    Fixture f;
    // With a 2-minute delay the 3-minute dip is an excursion of its own.
    const QString csv = f.dir.filePath(QStringLiteral("only.csv"));
    const Finished run = RunProgram({"--report", f.log, "--condition", "25±2/60±5", "--delay", "2", "--stability-csv", csv});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> records = SplitCsvRecords(file.readAll().mid(3));
    ASSERT_EQ(records.size(), 3);
    EXPECT_TRUE(records[2].endsWith(",0,0,0,0,0")) << records[2].toStdString();
    EXPECT_EQ(QDir(f.dir.path()).entryList({QStringLiteral("*.pdf*")}, QDir::Files), QStringList());
}

TEST(StabilityReport, BadConditionOrDelayIsRefusedAsOtherBadArguments)
{
    Fixture f;
    const QString out = f.dir.filePath(QStringLiteral("bad.pdf"));
    // The exit code a bad --from gets.
    const int badArgument = RunProgram({"--report", f.log, "--from", "10.12.2026", "-o", out}).exitCode;
    ASSERT_NE(badArgument, 0);
    const struct {
        const char* name;
        QStringList args;
        const char* stderrHas;
    } cases[] = {
        {"an unknown preset", {"--report", f.log, "--stability", "--condition", "26/61", "-o", out}, "--condition"},
        {"no tolerance", {"--report", f.log, "--stability", "--condition", "25±0/60±5", "-o", out}, "--condition"},
        {"humidity over 100", {"--report", f.log, "--condition", "25±2/160±5", "-o", out}, "--condition"},
        {"no condition", {"--report", f.log, "--stability", "-o", out}, "не указано условие"},
        {"a word for a delay", {"--report", f.log, "--condition", "25/60", "--delay", "долго", "-o", out}, "--delay"},
        {"a negative delay", {"--report", f.log, "--condition", "25/60", "--delay", "-5", "-o", out}, "--delay"},
        {"a delay over a day", {"--report", f.log, "--condition", "25/60", "--delay", "1441", "-o", out}, "--delay"},
        {"no delay value", {"--report", f.log, "--condition", "25/60", "--delay"}, "не хватает значения"},
        {"nothing to write", {"--report", f.log, "--condition", "25/60"}, "--stability-csv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Finished run = RunProgram(c.args);
        EXPECT_EQ(run.exitCode, badArgument) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(QString::fromUtf8(c.stderrHas))) << run.err.toStdString();
        EXPECT_FALSE(QFile::exists(out));
    }
}

TEST(StabilityReport, ManyExcursionsRunOverSeveralPagesWithTheirHeading)
{
    if (!HavePoppler())
        GTEST_SKIP() << "poppler-utils are not installed";
    QTemporaryDir dir;
    // 150 excursions of 20 minutes, one an hour.
    const QString log = WriteLog(
        dir.path(), 150 * 60, [](int m) { return m % 60 >= 20 && m % 60 < 40 ? 300 : 250; }, [](int) { return false; });
    StabilityReportRequest request;
    request.report.logPath = log;
    request.report.outPath = dir.filePath(QStringLiteral("many.pdf"));
    request.report.settingsFolder = dir.filePath(QStringLiteral("settings"));
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("25/60"), &request.condition, nullptr));
    request.delayMs = 10 * 60000;
    QString error;
    ReportOutcome outcome;
    ASSERT_TRUE(WriteStabilityReport(request, &error, &outcome)) << error.toStdString();
    const int pages = PdfPages(request.report.outPath);
    EXPECT_GE(pages, 4);
    EXPECT_EQ(outcome.pages, pages);
    const QString text = FlowText(request.report.outPath);
    // Every excursion is there, the last one too, and the heading opens each page the list goes on.
    EXPECT_TRUE(text.contains(QStringLiteral(" 150 температура")));
    EXPECT_GE(text.count(QStringLiteral("Тревоги: подтверждения, комментарии")), 3);
    EXPECT_TRUE(text.contains(QStringLiteral("стр. %1 из %1").arg(pages)));
}

TEST(StabilityReport, AlarmsCitedBesideAnExcursion)
{
    const auto event = [](int minute, const char* what, const char* number) {
        AlarmFileEvent e;
        e.time = At(minute);
        e.event = QString::fromUtf8(what);
        e.number = QString::fromUtf8(number);
        e.text = QStringLiteral("тревога %1").arg(e.number);
        return e;
    };
    const auto acknowledged = [](int minute, const char* number, const char* comment) {
        JournalRecord j;
        j.utc = QDateTime::fromMSecsSinceEpoch(At(minute)).toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
        j.action = JournalActionText(JournalAction::AlarmAcknowledge);
        j.oldValue = QStringLiteral("тревога №%1: что-то").arg(QString::fromUtf8(number));
        j.newValue = QString::fromUtf8(comment);
        return j;
    };
    const QVector<AlarmFileEvent> events{
        event(0, "начало", "1"),          event(5, "конец", "1"),           // over before the excursion
        event(8, "подтверждение", "2"),                                     // begun before the events read
        event(12, "начало", "3"),                                           // never ended
        event(15, "начало", "4"),         event(18, "подтверждение", "4"), event(19, "конец", "4"),
        event(30, "начало", "4"),         event(33, "конец", "4"),          // the number again, after the excursion
        event(40, "начало", "5"),         event(45, "конец", "5"),
    };
    const QVector<JournalRecord> journal{acknowledged(18, "4", "первый раз"), acknowledged(31, "4", "второй раз"),
                                         acknowledged(18, "9", "нет такой")};
    const QVector<ReportedAlarm> alarms = ReportedAlarmsOf(events, journal);
    ASSERT_EQ(alarms.size(), 6);

    const struct {
        const char* name;
        int from, to;
        QStringList numbers;
    } cases[] = {
        {"between 1 and the rest", 6, 7, {}},
        {"touching 1's end", 5, 7, {"1"}},
        {"an excursion over 2, 3 and 4", 10, 20, {"2", "3", "4"}},
        {"a clock set back inside it", 20, 10, {"2", "3", "4"}},
        {"after 4's second rise", 31, 32, {"2", "3", "4"}},
        {"long after", 50, 60, {"2", "3"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList numbers;
        for (const ReportedAlarm& a : AlarmsOverlapping(alarms, At(c.from), At(c.to)))
            numbers << a.number;
        EXPECT_EQ(numbers, c.numbers);
    }
    // Each comment to its own occurrence of number 4.
    EXPECT_EQ(alarms[3].comments, QStringList{QStringLiteral("первый раз")});
    EXPECT_EQ(alarms[3].acknowledgements, QVector<qint64>{At(18)});
    EXPECT_EQ(alarms[4].comments, QStringList{QStringLiteral("второй раз")});
    EXPECT_EQ(alarms[1].start, At(8));
    EXPECT_EQ(alarms[1].end, -1);
}

TEST(StabilityReport, ChartWindowWritesItForTheRangeInView)
{
    if (!HavePoppler())
        GTEST_SKIP() << "poppler-utils are not installed";
    Fixture f;
    TChartWindow window;
    QString message;
    ASSERT_TRUE(window.OpenLog(f.log, &message)) << message.toStdString();
    const QStringList choices = window.ReportChoices(&message);
    ASSERT_FALSE(choices.isEmpty());
    EXPECT_TRUE(choices.back().startsWith(QStringLiteral("Условия хранения")));
    EXPECT_TRUE(window.IsStabilityChoice(static_cast<int>(choices.size()) - 1));
    EXPECT_FALSE(window.IsStabilityChoice(0));
    StabilityCondition condition;
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("30/65"), &condition, &message));
    const QString out = f.dir.filePath(QStringLiteral("window.pdf"));
    ASSERT_TRUE(window.WriteStabilityReport(out, condition, 10 * 60000, &message)) << message.toStdString();
    const QString text = FlowText(out);
    EXPECT_TRUE(text.contains(QStringLiteral("Условие «30/65»: температура 30")));
    EXPECT_TRUE(text.contains(QStringLiteral("интервал на экране")));
    // At 30 ± 2 °C the log's 25 °C is out of band up to its last record.
    EXPECT_TRUE(text.contains(QStringLiteral("не закончилось")));
}
