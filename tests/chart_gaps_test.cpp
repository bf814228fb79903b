// A stretch without records breaks every line drawn of it: the chart window
// showing a log, the live chart and the pieces both are made of, by the one
// rule the report lists its gaps by.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "monitoring/TrendDecimation.h"
#include "monitoring/TrendModel.h"
#include "ui/ChartWindow.h"

namespace {

TrendSample Answered(qint64 t, double temp)
{
    TrendSample s;
    s.time = t;
    s.answered = true;
    s.currentTemp = temp;
    s.setTemp = 25;
    s.currentHumidity = 50;
    s.setHumidity = 50;
    return s;
}

}  // namespace

TEST(RecordGap, LongerThanTwoRecordPeriods)
{
    EXPECT_EQ(kRecordPeriodMs, 60000);
    struct Case {
        qint64 apart;
        bool gap;
    } cases[] = {{0, false}, {60000, false}, {61000, false}, {120000, false}, {120001, true}, {339000, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.apart);
        EXPECT_EQ(IsRecordGap(1000, 1000 + c.apart), c.gap);
        // The pieces a chart is made of break at the same place.
        TrendModel model;
        AddTrendSample(model, Answered(1000, 20));
        AddTrendSample(model, Answered(1000 + c.apart, 21));
        EXPECT_EQ(TrendRuns(model, TrendSeriesId::CurrentTemp).size(), c.gap ? 2 : 1);
        for (const TrendView& view : {TrendView{0, 400000, 4}, TrendView{0, 400000, 4000}})
            EXPECT_EQ(DecimateTrend(model, TrendSeriesId::CurrentTemp, view).size(), c.gap ? 2 : 1) << view.columns;
    }
}

TEST(ChartWindow, ALogsGapBreaksItsLines)
{
    // 13:30:05 to 13:33:05 every minute, nothing until 13:38:44, then on.
    QTemporaryDir dir;
    const QString path = dir.filePath(QString::fromUtf8("КТХ№12 10.12.2026 13_30_00.txt"));
    QString text = LogHeaderText() + QStringLiteral("\r\n");
    const QStringList times{"13:30:05", "13:31:05", "13:32:05", "13:33:05", "13:38:44", "13:39:44", "13:40:44"};
    for (const QString& t : times)
        text += RecordLine(t, QStringLiteral("25,0"), QStringLiteral("60,5"), QStringLiteral("3"),
                           PairText(1, 1), PairText(1, 1)) +
                QStringLiteral("\r\n");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(ToLogCodePage(text));
    file.close();

    TChartWindow window;
    window.resize(900, 500);
    QString message;
    ASSERT_TRUE(window.OpenLog(path, &message)) << message.toStdString();
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 2);
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::CurrentHumidity), 2);
}

TEST(ChartWindow, TheLiveChartBreaksWhereNoPollCameForLong)
{
    // Polls every 4 s; reading switched off for five minutes; then again,
    // and a pause of just two minutes, which is no gap.
    TChartWindow window;
    qint64 t = 0;
    for (int i = 0; i < 10; ++i, t += 4000)
        window.AddLiveSample(Answered(t, 20 + i * 0.1));
    window.SyncView();
    ASSERT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 1);
    t += 5 * 60000;
    for (int i = 0; i < 10; ++i, t += 4000)
        window.AddLiveSample(Answered(t, 21));
    window.SyncView();
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 2);
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::SetTemp), 2);
    t += 2 * 60000 - 4000;
    window.AddLiveSample(Answered(t, 22));
    window.SyncView();
    EXPECT_EQ(window.SegmentCount(TrendSeriesId::CurrentTemp), 2);
}
