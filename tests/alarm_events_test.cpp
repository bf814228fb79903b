// The alarm event file: its CSV lines, and whole lines under faults.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

#include "support/FileSizeLimit.h"
#include <stdexcept>
#include <sys/resource.h>

#include "monitoring/AlarmEventLog.h"
#include "monitoring/TestReport.h"

namespace {

AlarmEvent Event(AlarmEventType type, AlarmKind kind, const QString& text)
{
    AlarmEvent e;
    e.type = type;
    e.time = QDateTime(QDate(2026, 3, 7), QTime(14, 5, 30)).toMSecsSinceEpoch();
    e.alarm.id = 7;
    e.alarm.kind = kind;
    e.alarm.text = text;
    return e;
}

// Splits one CSV line (RFC 4180 quoting) into its fields, as the report does.
QStringList CsvFields(const QByteArray& line)
{
    QString text = QString::fromUtf8(line);
    while (text.endsWith(u'\n') || text.endsWith(u'\r'))
        text.chop(1);
    return SplitCsvLine(text);
}

QByteArray Bytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST(AlarmEventsTest, LinesCarryEveryFieldAndSurviveCsvQuoting)
{
    struct Case {
        AlarmEvent event;
        QStringList expected;  // event, number, kind, chamber, port, value, set point, text
    };
    AlarmEvent start = Event(AlarmEventType::Start, AlarmKind::Temperature, "Температура вне допуска");
    start.alarm.hasValues = true;
    start.alarm.value = -12.3;
    start.alarm.setPoint = 25;
    AlarmEvent end = start;
    end.type = AlarmEventType::End;
    end.alarm.endValue = 24.1;
    AlarmEvent notice = Event(AlarmEventType::Acknowledge, AlarmKind::ProgramEnd, "Программа 3 \"А,Б\" завершена");
    notice.alarm.value = 3;
    const std::vector<Case> cases = {
        {start, {"начало", "7", "Температура", "12", "COM2", "-12.3", "25.0", "Температура вне допуска"}},
        {end, {"конец", "7", "Температура", "12", "COM2", "24.1", "25.0", "Температура вне допуска"}},
        {notice, {"подтверждение", "7", "Программа", "12", "COM2", "3", "", "Программа 3 \"А,Б\" завершена"}},
    };
    for (const Case& c : cases) {
        const QByteArray line = AlarmEventLine(c.event, {12, "COM2"});
        EXPECT_TRUE(line.endsWith("\r\n"));
        EXPECT_EQ(line.count('\n'), 1);
        const QStringList fields = CsvFields(line);
        ASSERT_EQ(fields.size(), 9) << line.constData();
        EXPECT_TRUE(fields[0].startsWith("2026-03-07T14:05:30")) << fields[0].toStdString();
        EXPECT_EQ(fields.mid(1), c.expected) << line.constData();
    }
    EXPECT_EQ(CsvFields(AlarmEventHeader()).size(), 9);
}

TEST(AlarmEventsTest, NewFileGetsTheHeaderOnceAndATornLineIsClosedFirst)
{
    QTemporaryDir dir;
    const QString name = AlarmEventFileName(dir.path());
    EXPECT_TRUE(name.endsWith("/Тревоги.csv"));
    const QByteArray a = AlarmEventLine(Event(AlarmEventType::Start, AlarmKind::Link, "a"), {1, "COM1"});
    const QByteArray b = AlarmEventLine(Event(AlarmEventType::End, AlarmKind::Link, "b"), {1, "COM1"});
    AppendAlarmEvent(name, a);
    AppendAlarmEvent(name, b);
    // The byte-order mark tells a spreadsheet the file is UTF-8.
    EXPECT_EQ(Bytes(name), "\xEF\xBB\xBF" + AlarmEventHeader() + a + b);

    // A crash left half a line behind: the next line must not run into it.
    {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("2026-03-07T14:05:30,нача");
    }
    AppendAlarmEvent(name, a);
    EXPECT_TRUE(Bytes(name).endsWith("нача\r\n" + a));
}

TEST(AlarmEventsTest, FileBegunWithoutTheMarkGoesOnWithoutIt)
{
    QTemporaryDir dir;
    const QString name = AlarmEventFileName(dir.path());
    const QByteArray earlier = AlarmEventHeader() + AlarmEventLine(Event(AlarmEventType::Start, AlarmKind::Link, "a"), {1, "COM1"});
    {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(earlier);
    }
    const QByteArray b = AlarmEventLine(Event(AlarmEventType::End, AlarmKind::Link, "b"), {1, "COM1"});
    AppendAlarmEvent(name, b);
    EXPECT_EQ(Bytes(name), earlier + b);
}

TEST(AlarmEventsTest, WriteCutShortByASizeLimitIsTakenBack)
{
    QTemporaryDir dir;
    const QString name = AlarmEventFileName(dir.path());
    const QByteArray line = AlarmEventLine(Event(AlarmEventType::Start, AlarmKind::Link, "обрыв"), {1, "COM1"});
    AppendAlarmEvent(name, line);
    const QByteArray before = Bytes(name);
    {
        FileSizeLimit limit(static_cast<rlim_t>(before.size() + line.size() / 2));
        ASSERT_TRUE(limit.ok());
        try {
            AppendAlarmEvent(name, line);
            FAIL() << "a write past the limit reported success";
        } catch (const std::runtime_error& error) {
            EXPECT_FALSE(QString::fromUtf8(error.what()).isEmpty());
        }
        EXPECT_EQ(Bytes(name), before) << "half a line left in the file";
    }
    AppendAlarmEvent(name, line);
    EXPECT_EQ(Bytes(name), before + line);
}

TEST(AlarmEventsTest, UnwritableFolderIsAnErrorNotASilentLoss)
{
    QTemporaryDir dir;
    const QString name = AlarmEventFileName(dir.path() + "/gone");
    EXPECT_THROW(AppendAlarmEvent(name, "x\r\n"), std::runtime_error);
    EXPECT_FALSE(QFile::exists(name));
}
