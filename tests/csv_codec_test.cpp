// The CSV codec the journal, the alarm event file, the report and the
// exports share: fields written and read back, strict and lenient readings,
// and a file's text cut into records.
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "monitoring/AlarmEventLog.h"
#include "monitoring/Csv.h"
#include "monitoring/TestReport.h"

namespace {

QList<QByteArray> Strict(const char* record, bool* ok)
{
    QList<QByteArray> fields;
    *ok = SplitCsvRecord(QByteArray(record), &fields);
    return fields;
}

}  // namespace

TEST(CsvCodec, FieldsAreQuotedOnlyWhenTheyMustBe)
{
    struct Case {
        const char* text;
        const char* written;
    };
    const Case cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"Температура вне допуска", "Температура вне допуска"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\ronly", "\"cr\ronly\""},
        {"crlf\r\nend", "\"crlf\r\nend\""},
        {" spaces kept ", " spaces kept "},
        {";semicolon;", ";semicolon;"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CsvField(QString::fromUtf8(c.text)), QByteArray(c.written)) << c.text;
    EXPECT_EQ(CsvLine({"a", "", "b,c", "d\"e"}), QByteArray("a,,\"b,c\",\"d\"\"e\""));
    EXPECT_EQ(CsvLine({}), QByteArray());
    EXPECT_EQ(CsvLine({QString()}), QByteArray());
}

TEST(CsvCodec, EveryFieldComesBackAsWritten)
{
    const QList<QStringList> rows = {
        {"a"},
        {""},
        {"", ""},
        {"", "", ""},
        {"1", "2026-12-09T23:31:05.000", "ivanov"},
        {"тревога №1: \"T\", выше", "проверено", ""},
        {"\"", ",", "\"\"", ",,"},
        {"line\r\nbreak", "cr\r", "\nlf", "end"},
        {"\"quoted at start", "quoted at end\"", "mid\"dle"},
    };
    for (const QStringList& row : rows) {
        const QByteArray line = CsvLine(row);
        QList<QByteArray> fields;
        ASSERT_TRUE(SplitCsvRecord(line, &fields)) << line.constData();
        QStringList back;
        for (const QByteArray& f : fields)
            back << QString::fromUtf8(f);
        EXPECT_EQ(back, row) << line.constData();
        // The lenient reading agrees wherever the record is sound.
        EXPECT_EQ(SplitCsvLine(QString::fromUtf8(line)), row) << line.constData();
        // Where the fields lie, found in place, says the same.
        std::vector<CsvSpan> spans(row.size());
        ASSERT_EQ(ScanCsvRecord(line.constData(), line.size(), spans.data(), row.size()), row.size());
        for (qsizetype i = 0; i < row.size(); ++i)
            EXPECT_EQ(QString::fromUtf8(CsvSpanBytes(line.constData(), spans[i])), row[i]);
        // One field fewer allowed than the record holds: refused.
        if (row.size() > 1)
            EXPECT_EQ(ScanCsvRecord(line.constData(), line.size(), spans.data(), row.size() - 1), -1);
    }
}

TEST(CsvCodec, StrictReadingRefusesBrokenQuoting)
{
    struct Case {
        const char* record;
        bool sound;
        QList<QByteArray> fields;
    };
    const Case cases[] = {
        {"a,b", true, {"a", "b"}},
        {",", true, {"", ""}},
        {"\"\"", true, {""}},
        {"\"a\"\"b\",c", true, {"a\"b", "c"}},
        {"\"torn", false, {}},                 // a quote left open
        {"a,\"torn,b", false, {}},
        {"\"a\"b,c", false, {}},              // text after the closing quote
        {"a\"b,c", false, {}},                // a quote inside an unquoted field
        {"\"ends with a doubled\"\"", false, {}},
    };
    for (const Case& c : cases) {
        bool ok = false;
        const QList<QByteArray> fields = Strict(c.record, &ok);
        EXPECT_EQ(ok, c.sound) << c.record;
        EXPECT_EQ(fields, c.fields) << c.record;
        CsvSpan spans[4];
        EXPECT_EQ(ScanCsvRecord(c.record, qstrlen(c.record), spans, 4) >= 0, c.sound) << c.record;
    }
}

TEST(CsvCodec, LenientReadingTakesWhatItCan)
{
    struct Case {
        const char* line;
        QStringList fields;
    };
    const Case cases[] = {
        {"a,\"b,c\",\"say \"\"hi\"\"\",,", {"a", "b,c", "say \"hi\"", "", ""}},
        {"", {""}},
        {"a,\"torn,b", {"a", "torn,b"}},  // the open quote runs to the end
        {"a\"b\"c,d", {"abc", "d"}},
        {"\"x\"y,z", {"xy", "z"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitCsvLine(QString::fromUtf8(c.line)), c.fields) << c.line;
}

TEST(CsvCodec, TextIsCutIntoRecordsKeepingQuotedLineBreaks)
{
    struct Case {
        const char* what;
        QByteArray text;
        QList<QByteArray> records;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"crlf lines", "a,b\r\nc,d\r\n", {"a,b", "c,d"}},
        {"lf lines and a last one without its end", "a\nb\r\nc", {"a", "b", "c"}},
        {"empty lines stay", "a\r\n\r\nb\r\n", {"a", "", "b"}},
        {"a quoted line break", "1,\"two\r\nlines\",3\r\n4,5\r\n", {"1,\"two\r\nlines\",3", "4,5"}},
        {"a quoted CR alone", "1,\"cr\rx\"\r\n", {"1,\"cr\rx\""}},
        // A crash left a quote open; the next record was appended after a
        // line end of its own and must not be swallowed.
        {"a torn line", "1,\"torn\r\n2,\"whole\",x\r\n3,y\r\n", {"1,\"torn", "2,\"whole\",x", "3,y"}},
        {"a torn last line", "1,a\r\n2,\"torn", {"1,a", "2,\"torn"}},
        {"a stray quote", "a\"b,c\r\nd,e\r\n", {"a\"b,c", "d,e"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitCsvRecords(c.text), c.records) << c.what;
}

// An alarm whose text holds a line break is one event in the file and one
// event to the report, with its text whole.
TEST(CsvCodec, AnEventTextWithALineBreakReadsBackWhole)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = AlarmEventFileName(dir.path());
    AlarmEvent event;
    event.type = AlarmEventType::Start;
    event.time = QDateTime(QDate(2026, 3, 7), QTime(14, 5, 30)).toMSecsSinceEpoch();
    event.alarm.id = 4;
    event.alarm.kind = AlarmKind::Temperature;
    event.alarm.text = QStringLiteral("первая строка\r\nвторая, \"в кавычках\"");
    AppendAlarmEvent(file, AlarmEventLine(event, {12, QStringLiteral("COM2")}));
    event.type = AlarmEventType::End;
    event.alarm.text = QStringLiteral("конец");
    AppendAlarmEvent(file, AlarmEventLine(event, {12, QStringLiteral("COM2")}));
    int unreadable = -1;
    const QVector<AlarmFileEvent> events = ReadAlarmEvents(file, 12, 0, event.time + 1, &unreadable);
    EXPECT_EQ(unreadable, 0);
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[0].text, QStringLiteral("первая строка\r\nвторая, \"в кавычках\""));
    EXPECT_EQ(events[0].event, QStringLiteral("начало"));
    EXPECT_EQ(events[1].text, QStringLiteral("конец"));
}
