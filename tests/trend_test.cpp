// The trend chart's data, the data log read back, and the chart window.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QDateTime>
#include <gtest/gtest.h>

#include "monitoring/LocaleText.h"
#include <QChart>
#include <QLegend>
#include <QLegendMarker>

#include "monitoring/StatusFields.h"

#include "monitoring/LogReader.h"
#include "monitoring/TrendModel.h"
#include "ui/ChartWindow.h"

namespace {

TrendSample Answered(qint64 t, double temp, double hum)
{
    TrendSample s;
    s.time = t;
    s.answered = true;
    s.currentTemp = temp;
    s.setTemp = 25;
    s.currentHumidity = hum;
    s.setHumidity = 50;
    return s;
}

TrendSample Silent(qint64 t)
{
    TrendSample s;
    s.time = t;
    return s;
}

// The bytes of a line as the data log writes it: Windows-1251, CR LF, then
// the empty line.
QByteArray Cp1251Line(const QByteArray& asciiLine) { return asciiLine + "\r\n\r\n"; }

const QByteArray kHeader1251 =
    QByteArray::fromHex("d1e8f1f2e5ecedeee520e2f0e5ecff3b20202020d2e5eaf3f9e0ff20f2e5ecefe5f0e0f2f3f0e02cb043"
                        "3b20202020d2e5eaf3f9e0ff20e2ebe0e6edeef1f2fc2c20253b20202020d2e5eaf3f9e0ff20eff0eee3"
                        "f0e0ecece03b20202020d2e5eaf3f9e8e920f8e0e328e2f1e5e3ee20f8e0e3eee2293b20202020d2e5ea"
                        "f3f9e8e920f6e8eaeb28e2f1e5e3ee20f6e8eaebeee2293b0d0a");

QByteArray Record(const char* time, const char* temp, const char* hum, const char* program, const char* step,
                  const char* cycle)
{
    auto fill = [](int width, const char* text) { return QByteArray(std::max<int>(0, width - int(strlen(text))), ' '); };
    QByteArray line = QByteArray("    ") + time + ";" + QByteArray(11, ' ') + temp + ";" + fill(30, temp) + hum +
                      ";" + fill(28, hum) + program + ";" + fill(24, program) + step + ";" + fill(31, step) + cycle +
                      ";" + QByteArray(5, ' ') + "\r\n";
    return line;
}

}  // namespace

TEST(TrendModel, GapsSplitTheLineIntoRuns)
{
    TrendModel model;
    AddTrendSample(model, Answered(0, 20, 40));
    AddTrendSample(model, Answered(4000, 21, 41));
    AddTrendSample(model, Silent(8000));
    AddTrendSample(model, Answered(12000, 22, 42));
    TrendSample rejected = Answered(16000, 23, 43);
    rejected.currentHumidity = NAN;  // a value outside its window breaks only its own line
    AddTrendSample(model, rejected);

    const auto temp = TrendRuns(model, TrendSeriesId::CurrentTemp);
    ASSERT_EQ(temp.size(), 2);
    EXPECT_EQ(temp[0].first, 0u);
    EXPECT_EQ(temp[0].count, 2u);
    EXPECT_EQ(temp[1].first, 3u);
    EXPECT_EQ(temp[1].count, 2u);
    const auto hum = TrendRuns(model, TrendSeriesId::CurrentHumidity);
    ASSERT_EQ(hum.size(), 2);
    EXPECT_EQ(hum[1].count, 1u);
}

TEST(TrendModel, KeepsADayAndDropsTheOldest)
{
    TrendModel model;
    EXPECT_GE(model.capacity * 4, 24u * 3600u);
    const size_t total = model.capacity + 10;
    int dropped = 0;
    for (size_t i = 0; i < total; ++i)
        dropped += AddTrendSample(model, Answered(static_cast<qint64>(i) * 4000, 20, 40));
    EXPECT_EQ(model.samples.size(), model.capacity);
    EXPECT_EQ(dropped, 10);
    EXPECT_EQ(model.dropped, 10u);
    EXPECT_EQ(model.samples.front().time, 10 * 4000);
}

TEST(LogReader, RecordLinesUnderEitherSeparatorAndTimeForm)
{
    struct Case {
        QByteArray line;
        bool ok;
        qint64 timeOfDay;
        double temp;
        int step, steps;
    };
    const Case cases[] = {
        {Record("14:05:30", "25,3", "60,5", "3", "2(5)", "10(100)"), true, 50730000, 25.3, 2, 5},
        {Record("9:05:07", "-0.1", "0", "0", "0(0)", "0(0)"), true, 32707000, -0.1, 0, 0},
        {Record("02:05:30 PM", "25", "60", "1", "1(1)", "1(1)"), true, 50730000, 25, 1, 1},
        {Record("14:05:30", "", "", "", "", ""), true, 50730000, NAN, -1, -1},
        {Record("14:05:30", "25,3x", "60", "1", "1(1)", "1(1)"), false, 0, 0, 0, 0},
        {Record("25:05:30", "25", "60", "1", "1(1)", "1(1)"), false, 0, 0, 0, 0},
        {Record("14:05:30", "25", "60", "1", "1(1", "1(1)"), false, 0, 0, 0, 0},
        {QByteArray("    14:05:30;  25;\r\n"), false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        LogRecord r;
        qint64 t = -1;
        QString line = QString::fromLatin1(c.line);
        line.chop(2);
        EXPECT_EQ(ParseRecordLine(line, &r, &t), c.ok) << c.line.constData();
        if (!c.ok)
            continue;
        EXPECT_EQ(t, c.timeOfDay) << c.line.constData();
        if (std::isnan(c.temp))
            EXPECT_TRUE(std::isnan(r.currentTemp));
        else
            EXPECT_DOUBLE_EQ(r.currentTemp, c.temp);
        EXPECT_EQ(r.step, c.step);
        EXPECT_EQ(r.steps, c.steps);
    }
}

TEST(LogReader, WholeFileSkipsHeadersAndEmptyLinesAndCountsDamage)
{
    QByteArray file = kHeader1251 + "\r\n";
    file += Cp1251Line(Record("23:59:00", "25,3", "60,5", "3", "2(5)", "1(2)").chopped(2));
    file += "garbage \xff\xfe line\r\n\r\n";
    file += Cp1251Line(Record("00:00:00", "26", "61", "3", "3(5)", "1(2)").chopped(2));
    file += kHeader1251 + "\r\n";  // a second header appended to the same file
    file += QByteArray("    00:01:00;    25,", 20);  // cut short by a full disk

    const qint64 day = QDateTime(QDate(2001, 9, 9), QTime(0, 0)).toMSecsSinceEpoch();
    const LogContents log = ParseLog(file, day);
    EXPECT_EQ(log.headers, 2);
    ASSERT_EQ(log.records.size(), 2);
    EXPECT_EQ(log.records[0].time, day + (23 * 3600 + 59 * 60) * 1000LL);
    // Past midnight the log continues on the next day.
    EXPECT_EQ(log.records[1].time, day + 24LL * 3600 * 1000);
    EXPECT_EQ(log.damagedLines, (QVector<int>{5, 11}));
}

TEST(LogReader, DecodesTheCodePageAndTheNameDate)
{
    EXPECT_EQ(DecodeWindows1251(QByteArray::fromHex("cad2d52cb0")), QString::fromUtf8("КТХ,°"));
    // The code page's one unassigned byte does not stop the rest.
    EXPECT_EQ(DecodeWindows1251(QByteArray::fromHex("4198c0")), QString::fromUtf8("A?А"));
    EXPECT_GT(DayStartFromLogName(QString::fromUtf8("КТХ№12 03.07.2017 14_05_30.txt")), 0);
    EXPECT_EQ(DayStartFromLogName(QString::fromUtf8("КТХ№12 07_03_2017.txt")), -1);
    EXPECT_EQ(DayStartFromLogName(QString::fromUtf8("КТХ№12 31.02.2017 14_05_30.txt")), -1);
}

TEST(ChartWindow, LegendNamesTheLinesAsTheFieldTableDoes)
{
    TChartWindow window;
    QStringList legend;
    for (QLegendMarker* marker : window.Chart()->legend()->markers())
        legend << marker->label();
    QStringList expected;
    for (const StatusFieldInfo& field : kStatusFields)
        if (field.trendName)
            expected << QString::fromUtf8(field.trendName);
    ASSERT_EQ(expected.size(), 4);
    for (const QString& name : expected)
        EXPECT_TRUE(legend.contains(name)) << name.toStdString() << " missing from " << legend.join(", ").toStdString();
    EXPECT_TRUE(legend.contains(QStringLiteral("Текущая температура, °C")));
}

TEST(ChartWindow, LiveGapsBecomeSeparateLinesAndTheCapHolds)
{
    TChartWindow window;
    window.AddLiveSample(Answered(0, 20, 40));
    window.AddLiveSample(Answered(4000, 21, 41));
    window.SyncView();
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 1);
    window.AddLiveSample(Silent(8000));
    window.AddLiveSample(Answered(12000, 22, 42));
    window.SyncView();
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 2);
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::SetHumidity), 2);
}

TEST(ChartWindow, DroppingTheOldestPointsMergesEmptiedPieces)
{
    TChartWindow window;
    const size_t capacity = window.LiveModel().capacity;
    window.AddLiveSample(Answered(0, 20, 40));
    window.AddLiveSample(Silent(4000));
    window.SyncView();
    ASSERT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 1);
    window.AddLiveSample(Answered(8000, 20, 40));
    window.SyncView();
    ASSERT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 2);
    for (size_t i = 3; i < capacity + 2; ++i)
        window.AddLiveSample(Answered(static_cast<qint64>(i) * 4000, 20, 40));
    window.SyncView();
    // The lone point before the gap has fallen off: one line again.
    EXPECT_EQ(window.LiveModel().samples.size(), capacity);
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 1);
}

TEST(ChartWindow, OpensALogWithMarkersAndSavesPng)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QString::fromUtf8("КТХ№12 03.07.2017 14_05_30.txt"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(kHeader1251 + "\r\n");
    file.write(Cp1251Line(Record("14:06:00", "25", "60", "3", "1(3)", "1(2)").chopped(2)));
    file.write(Cp1251Line(Record("14:07:00", "26", "61", "3", "2(3)", "1(2)").chopped(2)));
    file.write(Cp1251Line(Record("14:08:00", "27", "62", "3", "1(3)", "2(2)").chopped(2)));
    file.write("\x01\x02\x03\r\n\r\n");
    file.close();

    TChartWindow window;
    QString message;
    ASSERT_TRUE(window.OpenLog(path, &message));
    EXPECT_TRUE(window.ShowingLog());
    EXPECT_EQ(window.MarkerCount(), 2);
    EXPECT_TRUE(message.contains(QStringLiteral("записей 3"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("повреждённых строк 1"))) << message.toStdString();
    // Three minutes at 25, 26 and 27 °C: their mean kinetic temperature,
    // 26.03 °C worked out by hand, above the arithmetic mean.
    EXPECT_TRUE(message.contains(QStringLiteral("СКТ за 30 сут: 26") + DecimalSeparator() + QStringLiteral("0 °C (записей 3)")))
        << message.toStdString();

    window.resize(800, 500);
    const QString png = dir.filePath("chart.png");
    ASSERT_TRUE(window.SaveChartPng(png));
    EXPECT_FALSE(QImage(png).isNull());

    EXPECT_FALSE(window.OpenLog(dir.filePath("missing.txt"), &message));
    EXPECT_TRUE(window.ShowingLog());
    window.ShowLive();
    EXPECT_FALSE(window.ShowingLog());
    EXPECT_EQ(window.MarkerCount(), 0);
}
