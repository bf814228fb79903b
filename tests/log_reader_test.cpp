// The data log read in pieces on its bytes gives what reading the whole
// decoded text line by line gives: the same records, damaged lines and days.
#include <QDateTime>
#include <QStringList>
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <random>

#include "monitoring/LogReader.h"

namespace {

// Reading as the whole text: decode everything, split at "\n", judge each line.
LogContents ReadAsText(const QByteArray& bytes, qint64 dayStart)
{
    LogContents contents;
    const QStringList lines = DecodeWindows1251(bytes).split(QStringLiteral("\n"));
    // Each record is the local clock's reading on its date.
    QDate date = QDateTime::fromMSecsSinceEpoch(dayStart).date();
    qint64 previous = -1;
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        if (line.startsWith(QStringLiteral("Системное время;"))) {
            ++contents.headers;
            continue;
        }
        LogRecord r;
        qint64 t = 0;
        if (!ParseRecordLine(line, &r, &t)) {
            contents.damagedLines.push_back(i + 1);
            continue;
        }
        if (previous >= 0 && t + 3600 * 1000 < previous)
            date = date.addDays(1);
        previous = t;
        r.line = i + 1;
        r.time = QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(t))).toMSecsSinceEpoch();
        contents.records.push_back(r);
    }
    return contents;
}

bool SameNumber(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

void ExpectSame(const LogContents& got, const LogContents& want, const std::string& what)
{
    EXPECT_EQ(got.headers, want.headers) << what;
    EXPECT_EQ(got.damagedLines, want.damagedLines) << what;
    ASSERT_EQ(got.records.size(), want.records.size()) << what;
    for (qsizetype i = 0; i < got.records.size(); ++i) {
        const LogRecord& a = got.records[i];
        const LogRecord& b = want.records[i];
        EXPECT_EQ(a.line, b.line) << what;
        EXPECT_EQ(a.time, b.time) << what << " line " << b.line;
        EXPECT_TRUE(SameNumber(a.currentTemp, b.currentTemp)) << what << " line " << b.line;
        EXPECT_TRUE(SameNumber(a.currentHumidity, b.currentHumidity)) << what << " line " << b.line;
        EXPECT_EQ(std::tie(a.program, a.step, a.steps, a.cycle, a.cycles),
                  std::tie(b.program, b.step, b.steps, b.cycle, b.cycles))
            << what << " line " << b.line;
    }
}

QByteArray Line(const char* time, const char* temp, const char* hum, const char* program, const char* step,
                const char* cycle)
{
    return QByteArray("    ") + time + ";           " + temp + ";      " + hum + ";    " + program + ";   " + step +
           ";    " + cycle + ";     \r\n\r\n";
}

const QByteArray kHeader = QByteArray::fromHex("d1e8f1f2e5ecedeee520e2f0e5ecff3b") + "  rest of the header;\r\n";

// Lines the program writes, and lines it never would: each field's odd
// forms, the code page's blanks and its unassigned byte, torn lines.
QVector<QByteArray> Lines()
{
    return {
        Line("14:05:30", "25,3", "60,5", "3", "2(5)", "10(100)"),
        Line("9:05:07", "-0,1", "0", "0", "0(0)", "0(0)"),
        Line("02:05:30 PM", "25", "60", "1", "1(1)", "1(1)"),
        Line("12:00:00 a.m.", "-0", "-0,0", "007", "01(02)", "1(1)"),
        Line("11.59.59", "99999999999999,9", "999999999999999,9", "999999999", "999999999(1)", "1(1)"),
        Line("14:05:30", "", "", "", "", ""),
        Line("14:05:30", "+5", "60", "+3", "1(1)", "1(1)"),
        Line("14:05:30", "25.3", "1e3", "3", "1(1)", "1(1)"),
        Line("14:05:30", "2,55", "60", "3", "1(1)", "1(1)"),
        Line("14:05:30", "\xa0" "25", "60\xa0", "\t3", "1(1)\x0b", "\x0c" "1(1)"),
        Line("14:05:30", "25", "60", "-0", "1(1)", "1(1)"),
        Line("14:05:30", "25", "60", "99999999999", "99999999999(1)", "1(1)"),
        Line("14:05:30\xa0PM", "25", "60", "1", "1(1)", "1(1)"),
        Line("14:05:30\tpm", "25", "60", "1", "1(1)", "1(1)"),
        Line("02:05:30PM.", "25", "60", "1", "1(1)", "1(1)"),
        Line("13:05:30 PM", "25", "60", "1", "1(1)", "1(1)"),
        Line("00:05:30 AM", "25", "60", "1", "1(1)", "1(1)"),
        Line("24:00:00", "25", "60", "1", "1(1)", "1(1)"),
        Line("123:00:00", "25", "60", "1", "1(1)", "1(1)"),
        Line("14:5:30", "25", "60", "1", "1(1)", "1(1)"),
        Line("14:05:30", "2\x98", "60", "1", "1(1)", "1(1)"),
        Line("14:05:30", "25", "60", "1", "1 (1)", "1(1)"),
        Line("14:05:30", "25", "60", "1", "1(1)", "1(1);"),
        QByteArray("    14:05:30;  25;  60;  1;  1(1);  1(1);  x\r\n"),
        QByteArray("    14:05:30;  25;  60;  1;  1(1);  1(1);\xa0\r\r\n"),
        QByteArray("    14:05:30;    25,"),
        QByteArray("\xa0\t \r\n"),
        QByteArray(" ") + kHeader,
        kHeader,
        QByteArray("garbage \xff\xfe\x00 line\r\n", 19),
        QByteArray("\r\n"),
    };
}

}  // namespace

TEST(LogReaderBytes, EveryLineFormAsTheTextReadingJudgesIt)
{
    const qint64 day = 1'780'000'000'000LL;
    for (const QByteArray& line : Lines()) {
        const QByteArray file = kHeader + line + Line("10:00:00", "1", "2", "3", "1(2)", "1(3)");
        ExpectSame(ParseLog(file, day), ReadAsText(file, day), line.toStdString());
    }
}

TEST(LogReaderBytes, MidnightRolloverAcrossDaysBackStepsAndDamage)
{
    // An hour back or less stays on the day; more is the next day; damaged
    // lines in between do not count as the record before.
    const char* times[] = {"22:00:00", "23:59:00", "23:00:00", "22:59:00", "bad", "00:00:30", "23:30:00",
                           "00:10:00", "00:10:00", "11:00:00 PM", "12:05:00 AM", "01:05:00", "00:05:00",
                           "23:05:01", "23:05:00"};
    QByteArray file = kHeader;
    for (const char* t : times)
        file += Line(t, "20", "50", "1", "1(1)", "1(1)");
    // A local midnight, days with no clock change after it.
    const qint64 day = QDateTime(QDate(2026, 6, 10), QTime(0, 0)).toMSecsSinceEpoch();
    const LogContents got = ParseLog(file, day);
    ExpectSame(got, ReadAsText(file, day), "rollover");
    ASSERT_EQ(got.records.size(), 14);
    const qint64 kDay = 24LL * 3600 * 1000;
    EXPECT_EQ(got.records[3].time, day + (22 * 60 + 59) * 60000LL);  // 59 min back: same day
    EXPECT_EQ(got.records[4].time, day + kDay + 30000);               // next day
    EXPECT_EQ(got.records[5].time, day + kDay + (23 * 60 + 30) * 60000LL);
    EXPECT_EQ(got.records[6].time, day + 2 * kDay + 10 * 60000LL);
    EXPECT_EQ(got.records.back().time, day + 3 * kDay + (23 * 3600 + 5 * 60) * 1000LL);
}

// The night the clocks go back, the log writes 02:00-02:59 twice; the
// second pass is an hour later, never read as the first (the report's
// ranges and step times would be an hour off, and out of order).
TEST(LogReaderBytes, HourTheClocksGoBackIsReadInItsOrder)
{
    const char* saved = std::getenv("TZ");
    const std::string old = saved ? saved : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    struct Case {
        const char* time;
        const char* utc;
    };
    const Case cases[] = {
        {"01:50:00", "2025-10-25T23:50:00Z"}, {"02:20:00", "2025-10-26T00:20:00Z"},
        {"02:50:00", "2025-10-26T00:50:00Z"}, {"02:10:00", "2025-10-26T01:10:00Z"},
        {"02:40:00", "2025-10-26T01:40:00Z"}, {"03:10:00", "2025-10-26T02:10:00Z"},
    };
    QByteArray file = kHeader;
    for (const Case& c : cases)
        file += Line(c.time, "20", "50", "1", "1(1)", "1(1)");
    const qint64 day = QDateTime(QDate(2025, 10, 26), QTime(0, 0)).toMSecsSinceEpoch();
    const LogContents got = ParseLog(file, day);
    if (saved)
        ::setenv("TZ", old.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    ASSERT_EQ(got.records.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(got.records[i].time,
                  QDateTime::fromString(QString::fromLatin1(cases[i].utc), Qt::ISODate).toMSecsSinceEpoch())
            << cases[i].time;
}

TEST(LogReaderBytes, AnySplitIntoPiecesAndRandomDamageReadTheSame)
{
    std::mt19937 random(16);
    const QVector<QByteArray> lines = Lines();
    const qint64 day = 1'700'000'000'000LL;
    for (int round = 0; round < 200; ++round) {
        QByteArray file = round % 3 ? kHeader : QByteArray();
        const int count = 1 + static_cast<int>(random() % 40);
        for (int k = 0; k < count; ++k)
            file += lines[static_cast<int>(random() % lines.size())];
        // Flip, drop or insert a few bytes anywhere (a blank, a "\n", ";", anything).
        for (int k = static_cast<int>(random() % 6); k > 0; --k) {
            const int at = static_cast<int>(random() % (file.size() + 1));
            const char bytes[] = {'\n', ';', ' ', '\r', '\xa0', '\x98', '0', '(', ':', '\0'};
            const char b = random() % 2 ? bytes[random() % sizeof bytes] : static_cast<char>(random());
            if (random() % 3 == 0 && at < file.size())
                file.remove(at, 1);
            else
                file.insert(at, b);
        }
        const LogContents want = ReadAsText(file, day);
        ExpectSame(ParseLog(file, day), want, "round " + std::to_string(round));
        LogParser parser(day);
        for (qsizetype at = 0; at < file.size();) {
            const qsizetype n = std::min<qsizetype>(file.size() - at, 1 + random() % 64);
            parser.Feed(file.constData() + at, n);
            at += n;
        }
        parser.Finish();
        ExpectSame(parser.Contents(), want, "pieces, round " + std::to_string(round));
    }
    // Random bytes: nothing but damage, the same lines.
    QByteArray noise(200000, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    ExpectSame(ParseLog(noise, day), ReadAsText(noise, day), "random bytes");
}
