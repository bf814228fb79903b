// CSV for spreadsheets: a data log with a damaged line and a midnight
// rollover, rejected values, a comma locale, and the chart window's export.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QLocale>
#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <sys/time.h>
#include <utime.h>

#include "monitoring/CsvExport.h"
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/LogReader.h"
#include "monitoring/Presentation.h"
#include "support/AppFixture.h"
#include "ui/ChartWindow.h"

namespace {

// A log as the program writes it, in its code page: header, records each
// followed by an empty line, one line torn by a crash, and a run past midnight.
QByteArray SampleLog()
{
    QString text = LogHeaderText() + QStringLiteral("\r\n");
    auto record = [&](const char* time, const char* temp, const char* humidity, const char* program,
                      const char* step, const char* cycle) {
        text += RecordLine(QString::fromUtf8(time), QString::fromUtf8(temp), QString::fromUtf8(humidity),
                           QString::fromUtf8(program), QString::fromUtf8(step), QString::fromUtf8(cycle)) +
                QStringLiteral("\r\n");
    };
    record("23:58:30", "", "", "", "", "");  // before the first accepted values
    record("23:59:30", "25,3", "45", "2", "1(3)", "1(2)");
    text += QStringLiteral("    23:59:59;      -12");  // torn: the power went
    text += QStringLiteral("\r\n\r\n");
    record("0:00:30", "-12,5", "50,5", "2", "2(3)", "1(2)");
    return ToLogCodePage(text);
}

// The time zone of the process for one test; the C library reads TZ anew.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old, m_had = true;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string m_old;
    bool m_had = false;
};

QByteArray LogOf(std::initializer_list<const char*> times)
{
    QString text = LogHeaderText() + QStringLiteral("\r\n");
    for (const char* time : times)
        text += RecordLine(QString::fromUtf8(time), QStringLiteral("20"), QStringLiteral("50"), QStringLiteral("1"),
                           QStringLiteral("1(1)"), QStringLiteral("1(1)")) +
                QStringLiteral("\r\n");
    return ToLogCodePage(text);
}

QStringList ExportedTimes(const QByteArray& log, const QString& name)
{
    QStringList times;
    for (const LogRecord& r : ParseLog(log, DayStartFromLogName(name)).records)
        times << IsoLocalTime(r.time);
    return times;
}

// The label's text is all inside the label: wrapped at words where it wraps.
bool ShowsWhole(const QLabel* label)
{
    const QFontMetrics fm(label->font());
    const QRect inside = label->contentsRect();
    const int flags = label->wordWrap() ? Qt::TextWordWrap : 0;
    const QRect needed = fm.boundingRect(QRect(0, 0, inside.width(), 100000), flags, label->text());
    return needed.width() <= inside.width() && needed.height() <= inside.height();
}

const char* const kHeader = "Время,Температура °C,Влажность %,Программа,Шаг,Шагов,Цикл,Циклов";

}  // namespace

TEST(CsvExport, LogWithDamagedLineAndMidnightRollover)
{
    const qint64 dayStart = DayStartFromLogName(QStringLiteral("КТХ№1 03.07.2017 23_58_00.txt"));
    ASSERT_GT(dayStart, 0);
    const LogContents contents = ParseLog(SampleLog(), dayStart);
    ASSERT_EQ(contents.damagedLines.size(), 1);

    const QByteArray csv = LogRecordsCsv(contents.records);
    ASSERT_TRUE(csv.startsWith("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(csv.mid(3)).split(QStringLiteral("\r\n"));
    const QStringList expected = {
        QString::fromUtf8(kHeader),
        QStringLiteral("2017-07-03T23:58:30,,,,,,,"),
        QStringLiteral("2017-07-03T23:59:30,25.3,45.0,2,1,3,1,2"),
        QStringLiteral("2017-07-04T00:00:30,-12.5,50.5,2,2,3,1,2"),
        QString(),  // the last row ends with CR LF too
    };
    EXPECT_EQ(lines, expected);
}

TEST(CsvExport, DecimalPointWhateverTheLocale)
{
    ScopedLocale numeric(LC_ALL, "ru_RU.UTF-8");
    if (!numeric.ok())
        GTEST_SKIP() << "ru_RU.UTF-8 is not installed";
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    std::deque<TrendSample> samples(3);
    const qint64 noon = QDateTime(QDate(2026, 1, 2), QTime(12, 0, 4)).toMSecsSinceEpoch();
    samples[0] = {noon, 22.5, 30.0, 45.1, 50.0, true};
    samples[1] = {noon + 4000, NAN, 30.0, 46.0, NAN, true};  // two values refused
    samples[2] = {noon + 8000, NAN, NAN, NAN, NAN, false};   // no reply
    const QString csv = QString::fromUtf8(TrendSamplesCsv(samples).mid(3));
    QLocale::setDefault(previous);
    const QStringList lines = csv.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0].count(u','), 4);
    EXPECT_EQ(lines[1], QStringLiteral("2026-01-02T12:00:04,22.5,30.0,45.1,50.0"));
    EXPECT_EQ(lines[2], QStringLiteral("2026-01-02T12:00:08,,30.0,46.0,"));
    EXPECT_EQ(lines[3], QStringLiteral("2026-01-02T12:00:12,,,,"));
}

TEST(LogDate, EveryFormTheProgramWritesIntoAName)
{
    struct Case {
        const char* name;
        const char* format;  // the short date format it was made under
        QDate date;
    };
    const Case cases[] = {
        {"КТХ№12 03.07.2017 14_05_30.txt", "%d.%m.%Y", QDate(2017, 7, 3)},           // ru_RU
        {"КТХ№12 12_09_2026 11_57_00 PM.txt", "%m/%d/%Y", QDate(2026, 12, 9)},       // en_US
        {"КТХ№12 12_09_26 23_57_00.txt", "%m/%d/%y", QDate(2026, 12, 9)},            // C
        {"КТХ№250 2024-03-31 02_00_00.txt", "%Y-%m-%d", QDate(2024, 3, 31)},         // ISO
        {"КТХ№3 31_12_24 23_59_59.txt", "%d/%m/%y", QDate(2024, 12, 31)},            // en_GB
        {"/logs/01.02.2003/КТХ№7 12_09_2026 1_02_03 AM.txt", "%m/%d/%Y", QDate(2026, 12, 9)},
    };
    for (const Case& c : cases) {
        const QString name = QString::fromUtf8(c.name);
        EXPECT_EQ(LogDateFromName(name, QString::fromUtf8(c.format)), c.date) << c.name;
        EXPECT_EQ(LogDateFromName(name), c.date) << c.name << ": in the list of usual forms";
    }
    // Nothing that is not a date of the name's form.
    for (const char* name : {"КТХ№12 31.02.2017 14_05_30.txt", "КТХ№12 x 03.07.2017.txt", "журнал 03.07.2017 1.txt",
                             "КТХ№12 13_13_2026 1_00_00.txt"})
        EXPECT_FALSE(LogDateFromName(QString::fromUtf8(name)).isValid()) << name;
    EXPECT_FALSE(LogDateFromName(QString::fromUtf8("КТХ№12 Dec 09 2026 1.txt"), QStringLiteral("%b %d %Y")).isValid());
    EXPECT_EQ(LogDateFromName(QString::fromUtf8("КТХ№3 99_31_12 23_59_59.txt"), QStringLiteral("%y/%d/%m")),
              QDate(1999, 12, 31));
}

TEST(LogDate, NamesMadeUnderEachLocaleReadBackInAnyOther)
{
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 9;
    when.tm_hour = 23;
    when.tm_min = 57;
    for (const char* maker : {"ru_RU.UTF-8", "en_US.UTF-8", "C.UTF-8", "C"}) {
        QString name;
        {
            ScopedLocale time(LC_TIME, maker);
            ASSERT_TRUE(time.ok()) << maker;
            name = MakeLogFileName(QStringLiteral("/tmp/"), ShortDateText(when), LongTimeText(when));
            name = FillAddressPlaceholder(name, 12);
        }
        for (const char* reader : {"ru_RU.UTF-8", "en_US.UTF-8", "C.UTF-8"}) {
            ScopedLocale time(LC_TIME, reader);
            EXPECT_EQ(LogDateFromName(name), QDate(2026, 12, 9)) << name.toStdString() << " read under " << reader;
        }
    }
}

TEST(CsvExport, LocalTimesAcrossTheClockChange)
{
    ScopedTimeZone berlin("Europe/Berlin");
    struct Case {
        const char* name;
        QByteArray log;
        QStringList expected;
    };
    const Case cases[] = {
        // Spring: 02:00 became 03:00 on 31.03.2024.
        {"КТХ№1 31.03.2024 01_58_00.txt",
         LogOf({"01:58:00", "01:59:30", "03:00:30", "14:05:30"}),
         {"2024-03-31T01:58:00", "2024-03-31T01:59:30", "2024-03-31T03:00:30", "2024-03-31T14:05:30"}},
        // A log started the evening before runs into that day.
        {"КТХ№1 30.03.2024 23_58_00.txt",
         LogOf({"23:58:00", "0:00:30", "14:05:30"}),
         {"2024-03-30T23:58:00", "2024-03-31T00:00:30", "2024-03-31T14:05:30"}},
        // Autumn: 03:00 became 02:00 on 27.10.2024; the afternoon is the afternoon.
        {"КТХ№1 27.10.2024 00_30_00.txt",
         LogOf({"00:30:00", "14:05:30", "23:59:30", "0:00:30"}),
         {"2024-10-27T00:30:00", "2024-10-27T14:05:30", "2024-10-27T23:59:30", "2024-10-28T00:00:30"}},
        // A plain day and an en_US name.
        {"КТХ№1 12_09_2026 11_57_00 PM.txt",
         LogOf({"11:57:30 PM", "11:59:30 PM", "12:00:30 AM"}),
         {"2026-12-09T23:57:30", "2026-12-09T23:59:30", "2026-12-10T00:00:30"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExportedTimes(c.log, QString::fromUtf8(c.name)), c.expected) << c.name;
}

class ChartExportTest : public AppFixture {};

TEST_F(ChartExportTest, LogNamedUnderAnotherLocaleKeepsItsDay)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {"КТХ№12 12_09_2026 11_57_00 PM.txt", "2026-12-09T23:58:00"},
        {"КТХ№12 12_09_26 23_57_00.txt", "2026-12-09T23:58:00"},
    };
    for (const Case& c : cases) {
        const QString log = dir.filePath(QString::fromUtf8(c.name));
        {
            QFile file(log);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(LogOf({"23:58:00", "0:00:30"}));
        }
        // The log ran past midnight: it was last written the day after.
        const std::time_t nextDay = QDateTime(QDate(2026, 12, 10), QTime(0, 0, 30)).toSecsSinceEpoch();
        const struct utimbuf times {nextDay, nextDay};
        ASSERT_EQ(::utime(log.toUtf8().constData(), &times), 0);
        const QString out = dir.filePath(QStringLiteral("журнал.csv"));
        QString message;
        ASSERT_TRUE(FormChart->OpenLog(log, &message)) << message.toStdString();
        ASSERT_TRUE(FormChart->ExportCsv(out, &message)) << message.toStdString();
        const QString csv = QString::fromUtf8(ReadFileBytes(out));
        EXPECT_TRUE(csv.contains(QString::fromUtf8(c.expected) + QStringLiteral(",20.0,50.0,1,1,1,1,1\r\n"))) << c.name;
        EXPECT_TRUE(csv.contains(QStringLiteral("2026-12-10T00:00:30,"))) << c.name;
    }
}

TEST_F(ChartExportTest, OpenedLogAndLivePointsGoToTheFile)
{
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("КТХ№1 03.07.2017 23_58_00.txt"));
    {
        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(SampleLog());
    }
    const QString out = dir.filePath(QStringLiteral("журнал.csv"));
    QString message;
    // Live points first: the window shows them until a log is opened.
    TrendSample sample{QDateTime(QDate(2026, 1, 2), QTime(8, 0, 0)).toMSecsSinceEpoch(), 21.0, 25.0, 40.0, 45.0, true};
    FormChart->AddLiveSample(sample);
    ASSERT_TRUE(FormChart->ExportCsv(out, &message)) << message.toStdString();
    EXPECT_TRUE(QString::fromUtf8(ReadFileBytes(out)).contains(QStringLiteral("2026-01-02T08:00:00,21.0,25.0,40.0,45.0\r\n")));

    ASSERT_TRUE(FormChart->OpenLog(log, &message)) << message.toStdString();
    ASSERT_TRUE(FormChart->ExportCsv(out, &message)) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("строк 3")));
    const QString csv = QString::fromUtf8(ReadFileBytes(out));
    EXPECT_TRUE(csv.contains(QString::fromUtf8(kHeader)));
    EXPECT_TRUE(csv.contains(QStringLiteral("2017-07-04T00:00:30,-12.5,50.5,2,2,3,1,2\r\n")));
    EXPECT_FALSE(csv.contains(QStringLiteral("2026-01-02")));

    EXPECT_TRUE(message.contains(QStringLiteral("пропущено повреждённых строк 1"))) << message.toStdString();

    // A folder that is not there: a message, no success, and the reason shown
    // whole in the status line of a window of its usual size.
    const QString deep = dir.filePath(QStringLiteral("нет/") + QString(120, u'п') + QStringLiteral("/журнал.csv"));
    EXPECT_FALSE(FormChart->ExportCsv(deep, &message));
    EXPECT_TRUE(message.contains(QStringLiteral("Не удалось записать")));
    FormChart->show();
    FormChart->LabelStatus->setText(message);
    Pump(50);
    EXPECT_TRUE(ShowsWhole(FormChart->LabelStatus)) << message.toStdString();
    FormChart->hide();
    EXPECT_FALSE(FormChart->ButtonExport->text().isEmpty());
    EXPECT_EQ(FormChart->ButtonExport->text(), QStringLiteral("Экспорт CSV…"));
}
