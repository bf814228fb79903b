// The chart window with a long log: a day of it zoomed in looks as that day
// opened alone, and the chart is handed no more points than it has pixels.
#include <QApplication>
#include <QChartView>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <cmath>

#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "ui/ChartWindow.h"

namespace {

constexpr int kPerDay = 24 * 60;

// Record `i` of a test that starts at midnight: a daily program of steps,
// noise, and now and then a peak.
QByteArray RecordBytes(int i)
{
    const int minute = i % kPerDay;
    const int seconds = minute * 60 + i % 3;
    const QString time = QStringLiteral("%1:%2:%3")
                             .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                             .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    int tenths = static_cast<int>(250 + 400 * std::sin(i / 150.0)) + (i * 7919) % 13 - 6;
    if (i % 997 == 0)
        tenths += 300;
    const int humidity = 600 + (i * 31) % 50;
    const int step = 1 + (minute + 60) / 240 % 6;
    const int cycle = 1 + (i + 720) / kPerDay;
    return ToLogCodePage(RecordLine(time, TenthsText(tenths, QStringLiteral(",")),
                                    TenthsText(humidity, QStringLiteral(",")), NumberText(2), PairText(step, 6),
                                    PairText(cycle, 9)) +
                         QStringLiteral("\r\n"));
}

QString WriteLog(const QString& folder, const QString& date, int first, int count)
{
    const QString path = folder + QStringLiteral("/КТХ№3 ") + date + QStringLiteral(" 00_00_00.txt");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(ToLogCodePage(LogHeaderText() + QStringLiteral("\r\n")));
    for (int i = first; i < first + count; ++i)
        file.write(RecordBytes(i));
    return path;
}

QImage Chart(TChartWindow& window)
{
    QCoreApplication::processEvents();
    return window.findChild<QChartView*>()->grab().toImage();
}

}  // namespace

TEST(ChartSeason, ADayOfALongLogZoomedInLooksAsTheDayOpenedAlone)
{
    QTemporaryDir dir;
    const QString longLog = WriteLog(dir.path(), QStringLiteral("01.06.2026"), 0, 6 * kPerDay);
    const QString dayAlone = WriteLog(dir.path(), QStringLiteral("04.06.2026"), 3 * kPerDay, kPerDay);

    TChartWindow whole, alone;
    for (TChartWindow* w : {&whole, &alone}) {
        w->resize(900, 520);
        w->show();
    }
    QString message;
    ASSERT_TRUE(whole.OpenLog(longLog, &message)) << message.toStdString();
    ASSERT_TRUE(alone.OpenLog(dayAlone, &message)) << message.toStdString();
    QCoreApplication::processEvents();

    // Six days on some 800 columns: the extremes of each, not 8640 points.
    const int width = whole.findChild<QChartView*>()->width();
    EXPECT_LT(whole.PointCount(TrendSeriesId::CurrentTemp), 2 * width + 4);
    EXPECT_GT(whole.PointCount(TrendSeriesId::CurrentTemp), width / 2);

    // The stretch the day alone shows: its first record to its last.
    const LogContents day = [&] {
        QFile file(dayAlone);
        file.open(QIODevice::ReadOnly);
        LogContents c;
        ReadLog(file, 0, &c);
        return c;
    }();
    ASSERT_EQ(day.records.size(), kPerDay);
    const qint64 midnight = QDateTime(QDate(2026, 6, 4), QTime(0, 0)).toMSecsSinceEpoch();
    whole.ZoomToTime(midnight + day.records.front().time, midnight + day.records.back().time);

    const QImage a = Chart(whole);
    const QImage b = Chart(alone);
    ASSERT_EQ(a.size(), b.size());
    // The long log's line runs on past both edges of the plot, a pixel or
    // so of difference there; the rest must match.
    int differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            differing += a.pixel(x, y) != b.pixel(x, y);
    EXPECT_LT(differing, a.width() * a.height() / 500) << "pixels differing: " << differing;
    RecordProperty("differing", differing);

    // Zoomed out again the whole log is back, reduced.
    whole.ResetZoom();
    EXPECT_LT(whole.PointCount(TrendSeriesId::CurrentTemp), 2 * width + 4);
    EXPECT_GT(whole.MarkerCount(), alone.MarkerCount());
}
