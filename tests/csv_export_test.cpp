// CSV for spreadsheets: a data log with a damaged line and a midnight
// rollover, rejected values, a comma locale, and the chart window's export.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <clocale>

#include "monitoring/CsvExport.h"
#include "monitoring/DataLog.h"
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

class ChartExportTest : public AppFixture {};

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

    // A folder that is not there: a message, no success.
    EXPECT_FALSE(FormChart->ExportCsv(dir.filePath(QStringLiteral("нет/журнал.csv")), &message));
    EXPECT_TRUE(message.contains(QStringLiteral("Не удалось записать")));
    EXPECT_FALSE(FormChart->ButtonExport->text().isEmpty());
    EXPECT_EQ(FormChart->ButtonExport->text(), QStringLiteral("Экспорт CSV…"));
}
