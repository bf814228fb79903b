// The report's figures against values worked out by hand from a small log
// with known steps, the runs found in a log, and the alarm file, journal and
// report counter the report reads.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <climits>
#include <cstring>
#include <set>
#include <thread>

#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/TestReport.h"

namespace {

struct Row {
    const char* time;
    const char* temp;
    const char* humidity;
    const char* step;
    const char* cycle;
};

// Header, records, one torn line after the third record, and a run past midnight.
QByteArray LogOf(const std::vector<Row>& rows, int tornAfter = -1)
{
    QString text = LogHeaderText() + QStringLiteral("\r\n");
    int n = 0;
    for (const Row& r : rows) {
        text += RecordLine(QString::fromUtf8(r.time), QString::fromUtf8(r.temp), QString::fromUtf8(r.humidity),
                           QStringLiteral("3"), QString::fromUtf8(r.step), QString::fromUtf8(r.cycle)) +
                QStringLiteral("\r\n");
        if (n++ == tornAfter)
            text += QStringLiteral("    23:0;   2\r\n\r\n");
    }
    return ToLogCodePage(text);
}

// Step 1 and 2 of cycle 1, step 1 of cycle 2 across midnight, then stopped.
const std::vector<Row> kRun = {
    {"23:50:30", "20", "50", "1(2)", "1(2)"},     {"23:51:30", "22", "", "1(2)", "1(2)"},
    {"23:52:30", "27", "60", "1(2)", "1(2)"},     {"23:53:30", "-5,5", "", "2(2)", "1(2)"},
    {"23:54:30", "-4,5", "", "2(2)", "1(2)"},     {"23:59:30", "24,8", "54,9", "1(2)", "2(2)"},
    {"0:00:30", "25,2", "55,1", "1(2)", "2(2)"},  {"0:01:30", "25", "55", "0(0)", "0(0)"},
};

qint64 DayStart() { return QDateTime(QDate(2026, 12, 9), QTime(0, 0)).toMSecsSinceEpoch(); }
qint64 At(int day, int h, int m, int s) { return DayStart() + ((day * 24 + h) * 3600 + m * 60 + s) * 1000LL; }

}  // namespace

TEST(ReportStats, StepTableAgainstFiguresWorkedOutByHand)
{
    const LogContents log = ParseLog(LogOf(kRun, 2), DayStart());
    ASSERT_EQ(log.records.size(), 8);
    ASSERT_EQ(log.damagedLines, QVector<int>{9});  // header, empty, 3 × (record, empty), torn line
    const RecordSpan all = RecordsInRange(log.records, LLONG_MIN, LLONG_MAX);
    const QVector<StepSetPoint> setPoints =
        StepSetPointsOfProgramText(QStringLiteral("Программа 3, шагов 2, циклов 2; Шаг 1: 25 °C, 55 %, 00:30, 01:00; "
                                                  "шаг 2: -5 °C, 0 %, 00:10, 00:20"));
    const QVector<StepStats> rows = StepTable(log.records, all, setPoints, 2.0, 5.0);
    ASSERT_EQ(rows.size(), 4);

    struct Expect {
        int step, cycle, records;
        qint64 start, end;
        int tCount;
        double tMin, tMax, tMean;
        int hCount;
        double hMin, hMax, hMean;
        double setT, setH;
        int tIn, hIn;
    };
    const Expect expected[] = {
        // (20 + 22 + 27) / 3 = 23; humidity (50 + 60) / 2 = 55, the empty one not counted;
        // in band 25 ± 2: 27 only; 55 ± 5: 50 and 60 (on the edge).
        {1, 1, 3, At(0, 23, 50, 30), At(0, 23, 53, 30), 3, 20, 27, 23, 2, 50, 60, 55, 25, 55, 1, 2},
        // (-5.5 − 4.5) / 2 = −5; no humidity; 0 % set means none.
        {2, 1, 2, At(0, 23, 53, 30), At(0, 23, 59, 30), 2, -5.5, -4.5, -5, 0, NAN, NAN, NAN, -5, NAN, 2, -1},
        // Across midnight: (24.8 + 25.2) / 2 = 25, (54.9 + 55.1) / 2 = 55.
        {1, 2, 2, At(0, 23, 59, 30), At(1, 0, 1, 30), 2, 24.8, 25.2, 25, 2, 54.9, 55.1, 55, 25, 55, 2, 2},
        {0, 0, 1, At(1, 0, 1, 30), At(1, 0, 1, 30), 1, 25, 25, 25, 1, 55, 55, 55, NAN, NAN, -1, -1},
    };
    for (int i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const StepStats& r = rows[i];
        const Expect& e = expected[i];
        EXPECT_EQ(r.step, e.step);
        EXPECT_EQ(r.cycle, e.cycle);
        EXPECT_EQ(r.records, e.records);
        EXPECT_EQ(r.start, e.start);
        EXPECT_EQ(r.end, e.end);
        EXPECT_EQ(r.temperature.count, e.tCount);
        EXPECT_EQ(r.humidity.count, e.hCount);
        auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || std::fabs(a - b) < 1e-9; };
        EXPECT_PRED2(same, r.temperature.min, e.tMin);
        EXPECT_PRED2(same, r.temperature.max, e.tMax);
        EXPECT_PRED2(same, r.temperature.mean, e.tMean);
        EXPECT_PRED2(same, r.humidity.min, e.hMin);
        EXPECT_PRED2(same, r.humidity.max, e.hMax);
        EXPECT_PRED2(same, r.humidity.mean, e.hMean);
        EXPECT_PRED2(same, r.setTemperature, e.setT);
        EXPECT_PRED2(same, r.setHumidity, e.setH);
        EXPECT_EQ(r.temperatureInBand, e.tIn);
        EXPECT_EQ(r.humidityInBand, e.hIn);
    }
    // The whole range: 8 temperatures sum to 20+22+27−5.5−4.5+24.8+25.2+25 = 134.
    const ValueStats t = StatsOf(log.records, all, &LogRecord::currentTemp);
    EXPECT_EQ(t.count, 8);
    EXPECT_DOUBLE_EQ(t.mean, 134.0 / 8);
}

// The mean of values that are all the same is that value, and no mean lies
// outside its minimum and maximum, whatever the rounding of the sum.
TEST(ReportStats, MeanStaysBetweenMinimumAndMaximum)
{
    struct Case {
        double value;
        int count;
    };
    const Case cases[] = {{0.1, 3}, {0.7, 3}, {24.4, 3}, {23.3, 7}, {25.3, 7}, {-40.5, 5}, {85.0, 4}};
    for (const Case& c : cases) {
        QVector<LogRecord> records(c.count);
        for (LogRecord& r : records)
            r.currentTemp = c.value;
        const ValueStats s = StatsOf(records, RecordSpan{0, c.count - 1}, &LogRecord::currentTemp);
        EXPECT_EQ(s.count, c.count);
        EXPECT_EQ(s.min, c.value);
        EXPECT_EQ(s.max, c.value);
        EXPECT_EQ(s.mean, c.value) << c.value << " x" << c.count;
    }
}

TEST(ReportStats, DamagedLinesBetweenTheRecordsAroundTheRange)
{
    // Records on lines 3, 5, 7, the torn line 9, then records on 11 ... 19.
    const LogContents log = ParseLog(LogOf(kRun, 2), DayStart());
    struct Case {
        qint64 from, to;
        QVector<int> lines;
    } cases[] = {
        {LLONG_MIN, LLONG_MAX, {9}},
        {At(0, 23, 50, 30), At(0, 23, 52, 30), {9}},  // ends just before it: the next record is after it
        {At(0, 23, 53, 30), At(0, 23, 54, 30), {9}},  // starts just after it
        {At(0, 23, 50, 30), At(0, 23, 51, 30), {}},
        {At(0, 23, 54, 30), LLONG_MAX, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DamagedLinesOfSpan(log, RecordsInRange(log.records, c.from, c.to)), c.lines) << c.from;
}

TEST(ReportStats, RecordsWithoutAStepStayInTheRowTheyFollow)
{
    const LogContents log = ParseLog(LogOf({{"10:00:30", "20", "", "1(2)", "1(1)"},
                                            {"10:01:30", "30", "", "", ""},
                                            {"10:02:30", "40", "", "2(2)", "1(1)"}}),
                                     DayStart());
    const QVector<StepStats> rows = StepTable(log.records, RecordsInRange(log.records, LLONG_MIN, LLONG_MAX), {}, 2, 5);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].records, 2);
    EXPECT_DOUBLE_EQ(rows[0].temperature.mean, 25);
    EXPECT_EQ(rows[0].temperatureInBand, -1);  // no set point known
    EXPECT_EQ(rows[1].step, 2);
}

TEST(ReportStats, ProgramRunsFromLeavingStepZeroToItsReturn)
{
    struct Case {
        const char* name;
        std::vector<const char*> steps;  // one record each; "" = no step accepted
        std::vector<std::tuple<int, int, bool>> runs;  // first, last, finished
    } cases[] = {
        {"none", {"0(0)", "0(0)"}, {}},
        {"one finished", {"0(0)", "1(2)", "2(2)", "0(0)", "0(0)"}, {{1, 3, true}}},
        {"two", {"1(1)", "0(0)", "0(0)", "1(3)", "3(3)", "0(0)"}, {{0, 1, true}, {3, 5, true}}},
        {"unfinished at the end", {"0(0)", "1(2)", "2(2)"}, {{1, 2, false}}},
        {"a silent record neither starts nor ends", {"0(0)", "", "1(2)", "", "0(0)"}, {{2, 4, true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Row> rows;
        char times[16][16];
        for (size_t i = 0; i < c.steps.size(); ++i) {
            std::snprintf(times[i], sizeof times[i], "10:%02zu:00", i);
            rows.push_back({times[i], "20", "50", c.steps[i], c.steps[i][0] ? "1(1)" : ""});
        }
        const QVector<ProgramRun> runs = ProgramRuns(ParseLog(LogOf(rows), DayStart()).records);
        ASSERT_EQ(runs.size(), static_cast<int>(c.runs.size()));
        for (int i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].first, std::get<0>(c.runs[i]));
            EXPECT_EQ(runs[i].last, std::get<1>(c.runs[i]));
            EXPECT_EQ(runs[i].finished, std::get<2>(c.runs[i]));
            EXPECT_EQ(runs[i].program, 3);
        }
    }
}

TEST(ReportStats, RangeTakesTheRecordsOnItsEdges)
{
    const LogContents log = ParseLog(LogOf(kRun), DayStart());
    const auto span = [&](qint64 from, qint64 to) {
        const RecordSpan s = RecordsInRange(log.records, from, to);
        return std::pair(s.first, s.last);
    };
    EXPECT_EQ(span(At(0, 23, 51, 30), At(0, 23, 53, 30)), std::pair(1, 3));
    EXPECT_EQ(span(At(0, 23, 51, 31), At(0, 23, 53, 29)), std::pair(2, 2));
    EXPECT_EQ(span(At(1, 0, 0, 0), LLONG_MAX), std::pair(6, 7));
    EXPECT_TRUE(RecordsInRange(log.records, At(0, 23, 55, 0), At(0, 23, 59, 0)).Empty());
    EXPECT_TRUE(RecordsInRange({}, LLONG_MIN, LLONG_MAX).Empty());
}

TEST(ReportStats, ProgramTextSetPoints)
{
    struct Case {
        const char* text;
        std::vector<std::pair<double, double>> points;  // NaN where not given
    } cases[] = {
        {"", {}},
        {"таблица без шагов: 25 °C, 60 %", {}},
        {"шаг 2: 80 °C 95 %", {{NAN, NAN}, {80, 95}}},
        {"ШАГ 1 -40,5 °C 0 %; Шаг 2: 85.5 °C", {{-40.5, NAN}, {85.5, NAN}}},
        {"шаг №1: 25°C, 60%; шаг 16: 1 °C 1 %", {{25, 60}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const QVector<StepSetPoint> got = StepSetPointsOfProgramText(QString::fromUtf8(c.text));
        ASSERT_EQ(got.size(), static_cast<int>(c.points.size()));
        for (int i = 0; i < got.size(); ++i) {
            const auto [t, h] = c.points[i];
            EXPECT_TRUE(std::isnan(t) ? std::isnan(got[i].temperature) : got[i].temperature == t) << i;
            EXPECT_TRUE(std::isnan(h) ? std::isnan(got[i].humidity) : got[i].humidity == h) << i;
        }
    }
}

TEST(ReportStats, AddressAndCsvFields)
{
    EXPECT_EQ(ChamberAddressOfLogName(QStringLiteral("КТХ№12 03.07.2017 14_05_30.txt")), 12);
    EXPECT_EQ(ChamberAddressOfLogName(QStringLiteral("КТХ№250 12_09_2026 11_57_00 PM.txt")), 250);
    EXPECT_EQ(ChamberAddressOfLogName(QStringLiteral("КТХ№> 03.07.2017 14_05_30.txt")), -1);
    EXPECT_EQ(ChamberAddressOfLogName(QStringLiteral("log.txt")), -1);
    EXPECT_EQ(SplitCsvLine(QStringLiteral("a,\"b,c\",\"say \"\"hi\"\"\",,")),
              (QStringList{"a", "b,c", "say \"hi\"", "", ""}));
}

TEST(ReportStats, AlarmEventsOfTheChamberAndRange)
{
    QTemporaryDir dir;
    const QString file = AlarmEventFileName(dir.path());
    auto event = [](AlarmEventType type, qint64 time, int id, const char* text) {
        AlarmEvent e;
        e.type = type;
        e.time = time;
        e.alarm.id = id;
        e.alarm.kind = AlarmKind::Temperature;
        e.alarm.text = QString::fromUtf8(text);
        e.alarm.hasValues = true;
        e.alarm.value = 31.5;
        e.alarm.setPoint = 25;
        return e;
    };
    AppendAlarmEvent(file, AlarmEventLine(event(AlarmEventType::Start, At(0, 10, 0, 0), 1, "before"), {12, "COM1"}));
    AppendAlarmEvent(file, AlarmEventLine(event(AlarmEventType::Start, At(0, 11, 0, 0), 2, "in, with a comma, quoted"), {12, "COM1"}));
    AppendAlarmEvent(file, AlarmEventLine(event(AlarmEventType::Acknowledge, At(0, 11, 5, 0), 2, "ack"), {12, "/dev/ttyUSB0"}));
    AppendAlarmEvent(file, AlarmEventLine(event(AlarmEventType::Start, At(0, 11, 6, 0), 3, "other chamber"), {13, "COM1"}));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("torn,line\r\n");
    }
    int unreadable = 0;
    const QVector<AlarmFileEvent> got = ReadAlarmEvents(file, 12, At(0, 10, 30, 0), At(0, 12, 0, 0), &unreadable);
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(got[0].text, QStringLiteral("in, with a comma, quoted"));
    EXPECT_EQ(got[0].event, QStringLiteral("начало"));
    EXPECT_EQ(got[0].value, QStringLiteral("31.5"));
    EXPECT_EQ(got[0].setPoint, QStringLiteral("25.0"));
    EXPECT_EQ(got[1].event, QStringLiteral("подтверждение"));
    EXPECT_EQ(got[1].port, QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(unreadable, 1);
    EXPECT_TRUE(ReadAlarmEvents(dir.filePath("none.csv"), 12, 0, LLONG_MAX, &unreadable).isEmpty());
}

TEST(ReportStats, JournalRecordsOfTheRangeAndTheProgramWritten)
{
    QTemporaryDir dir;
    SetJournalIdentityForTests(QStringLiteral("ivanov"), QStringLiteral("lab1"));
    auto append = [&](JournalAction action, const char* chamber, const char* value, const QDateTime& utc) {
        JournalEntry e;
        e.action = action;
        e.chamber = QString::fromUtf8(chamber);
        e.newValue = QString::fromUtf8(value);
        e.outcome = JournalOutcomeSent();
        AppendJournal(dir.path(), e, utc.toLocalTime());
    };
    // November's record ends up in the month's own file when December begins.
    append(JournalAction::ProgramWrite, "12", "программа 1, шагов 1, циклов 1; шаг 1: 20 °C, 50 %",
           QDateTime(QDate(2026, 11, 30), QTime(10, 0), Qt::UTC));
    SetJournalIdentityForTests(QStringLiteral("petrov"), QStringLiteral("lab1"));
    append(JournalAction::ProgramWrite, "12", "программа 1, шагов 1, циклов 1; шаг 1: 30 °C, 60 %",
           QDateTime(QDate(2026, 12, 9), QTime(8, 0), Qt::UTC));
    append(JournalAction::Start, "13", "программа 1", QDateTime(QDate(2026, 12, 9), QTime(9, 0), Qt::UTC));
    append(JournalAction::PortOpen, "", "/dev/ttyUSB0", QDateTime(QDate(2026, 12, 9), QTime(9, 30, 0, 123), Qt::UTC));
    SetJournalIdentityForTests(QString(), QString());
    ASSERT_TRUE(QFile::exists(JournalMonthFileName(dir.path(), 2026, 11)));

    const qint64 from = QDateTime(QDate(2026, 12, 9), QTime(7, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 to = QDateTime(QDate(2026, 12, 9), QTime(10, 0), Qt::UTC).toMSecsSinceEpoch();
    QStringList problems;
    const QVector<JournalRecord> got = ReadJournal(dir.path(), 12, from, to, &problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join(u'\n').toStdString();
    ASSERT_EQ(got.size(), 2);  // chamber 12's record and the one of no chamber
    EXPECT_EQ(got[0].number, 1);  // the first record of December's file
    EXPECT_EQ(got[0].newValue, QStringLiteral("программа 1, шагов 1, циклов 1; шаг 1: 30 °C, 60 %"));
    EXPECT_EQ(got[1].action, JournalActionText(JournalAction::PortOpen));
    EXPECT_EQ(JournalRecordTime(got[1]), to - 30 * 60000 + 123);

    JournalRecord program;
    ASSERT_TRUE(LastProgramRecord(dir.path(), 12, from, &program));  // last month's file
    EXPECT_EQ(program.operatorName, QStringLiteral("ivanov"));
    ASSERT_TRUE(LastProgramRecord(dir.path(), 12, to, &program));
    EXPECT_EQ(program.operatorName, QStringLiteral("petrov"));
    EXPECT_FALSE(LastProgramRecord(dir.path(), 13, to, &program));
}

TEST(ReportStats, AJournalChangedAfterwardsIsCitedOnlyUpToTheChange)
{
    QTemporaryDir dir;
    for (int i = 0; i < 3; ++i) {
        JournalEntry e;
        e.action = JournalAction::Start;
        e.chamber = QStringLiteral("12");
        e.newValue = QStringLiteral("программа %1").arg(i + 1);
        e.outcome = JournalOutcomeSent();
        AppendJournal(dir.path(), e, QDateTime(QDate(2026, 12, 9), QTime(8, i)));
    }
    QFile file(JournalFileName(dir.path()));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    const qsizetype at = bytes.indexOf("программа 2");
    ASSERT_GT(at, 0);
    bytes.replace(at, int(strlen("программа 2")), "программа 9");
    file.seek(0);
    file.write(bytes);
    file.close();

    QStringList problems;
    const QVector<JournalRecord> got = ReadJournal(dir.path(), 12, 0, LLONG_MAX, &problems);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0].newValue, QStringLiteral("программа 1"));
    ASSERT_EQ(problems.size(), 1);
}

TEST(ReportStats, ReportNumbersAreNeverReused)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("settings"));  // made on first use
    QString number, error;
    ASSERT_TRUE(NextReportNumber(folder, 12, QDate(2026, 12, 9), &number, &error)) << error.toStdString();
    EXPECT_EQ(number, QStringLiteral("12-20261209-0001"));
    ASSERT_TRUE(NextReportNumber(folder, 7, QDate(2026, 12, 10), &number, &error));
    EXPECT_EQ(number, QStringLiteral("7-20261210-0002"));  // one counter for every chamber and day

    // Many at once: every number once.
    std::vector<std::thread> threads;
    std::vector<QString> got(8 * 20);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                QString e;
                NextReportNumber(folder, 1, QDate(2026, 12, 9), &got[t * 20 + i], &e);
            }
        });
    for (auto& t : threads)
        t.join();
    const std::set<QString> distinct(got.begin(), got.end());
    EXPECT_EQ(distinct.size(), got.size());
    EXPECT_EQ(distinct.count(QString()), 0u);

    // A damaged counter is an error, not a new start from 1.
    QFile counter(QDir(folder).filePath(QStringLiteral("report-counter")));
    ASSERT_TRUE(counter.open(QIODevice::WriteOnly));
    counter.write("garbage");
    counter.close();
    EXPECT_FALSE(NextReportNumber(folder, 12, QDate(2026, 12, 9), &number, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("повреждён")));
}

// kRun stops recording from 23:54:30 to 23:59:30 inside step 2 of cycle 1:
// the gap is listed, and the band times of its row leave it out, so that
// inside + outside + gap + time without a value make up the row.
TEST(ReportStats, AGapIsCountedInNeitherBand)
{
    const LogContents log = ParseLog(LogOf(kRun), DayStart());
    const RecordSpan all = RecordsInRange(log.records, LLONG_MIN, LLONG_MAX);
    const QVector<RecordGap> gaps = RecordGapsOfSpan(log.records, all);
    ASSERT_EQ(gaps.size(), 1);
    EXPECT_EQ(gaps[0].start, At(0, 23, 54, 30));
    EXPECT_EQ(gaps[0].end, At(0, 23, 59, 30));
    EXPECT_EQ(gaps[0].Duration(), 5 * 60000);
    // A span that ends before the gap has none.
    EXPECT_TRUE(RecordGapsOfSpan(log.records, {0, 4}).isEmpty());

    const QVector<StepSetPoint> setPoints =
        StepSetPointsOfProgramText(QStringLiteral("шаг 1: 25 °C, 55 %; шаг 2: -5 °C, 0 %"));
    const QVector<StepStats> rows = StepTable(log.records, all, setPoints, 2.0, 5.0);
    ASSERT_EQ(rows.size(), 4);
    const qint64 minute = 60000;
    struct Expect {
        qint64 tIn, tOut, hIn, hOut, recorded, gap;
    } expected[] = {
        // 20 and 22 outside 25 ± 2, 27 inside; a minute each. Humidity 50 and 60 inside, the
        // empty one stands for no band.
        {1 * minute, 2 * minute, 2 * minute, 0, 3 * minute, 0},
        // −5.5 inside for its minute; −4.5 is the record before the gap and stands for none.
        {1 * minute, 0, -1, -1, 1 * minute, 5 * minute},
        {2 * minute, 0, 2 * minute, 0, 2 * minute, 0},
        // The range's last record stands for no time.
        {-1, -1, -1, -1, 0, 0},
    };
    for (int i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const StepStats& r = rows[i];
        const Expect& e = expected[i];
        EXPECT_EQ(r.temperatureInBandMs, e.tIn);
        EXPECT_EQ(r.temperatureOutOfBandMs, e.tOut);
        EXPECT_EQ(r.humidityInBandMs, e.hIn);
        EXPECT_EQ(r.humidityOutOfBandMs, e.hOut);
        EXPECT_EQ(r.recordedMs, e.recorded);
        EXPECT_EQ(r.gapMs, e.gap);
        EXPECT_EQ(r.recordedMs + r.gapMs, r.end - r.start);
    }
}

TEST(ReportStats, ProgramTextTimesOfEachStep)
{
    const QVector<StepSetPoint> got = StepSetPointsOfProgramText(QStringLiteral(
        "программа 3, шагов 3, циклов 2; шаг 1: 25 °C, 60 %, выход на режим 0 ч 30 мин, стабилизация 1 ч 5 мин; "
        "шаг 2: -45 °C, 0 %, выход на режим 12 ч 0 мин; шаг 3: 20 °C"));
    ASSERT_EQ(got.size(), 3);
    const int expected[][2] = {{30, 65}, {720, -1}, {-1, -1}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].reachMinutes, expected[i][0]) << i;
        EXPECT_EQ(got[i].holdMinutes, expected[i][1]) << i;
    }
}
