// What the chart is handed of a long trend: per pixel column the extremes,
// gaps kept, every sample once zoomed in, markers where they are.
#include <gtest/gtest.h>
#include <cmath>
#include <map>
#include <random>

#include "monitoring/TrendDecimation.h"

namespace {

constexpr qint64 kStart = 1'780'000'000'000LL;

TrendSample Sample(qint64 t, double temp)
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

// Noise, with one peak and one dip far beyond it.
TrendModel Noisy(int count, int peakAt, int dipAt)
{
    TrendModel model;
    model.capacity = static_cast<size_t>(count) + 1;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-1, 1);
    for (int i = 0; i < count; ++i) {
        double v = 20 + noise(random);
        if (i == peakAt)
            v = 95.5;
        if (i == dipAt)
            v = -61.25;
        AddTrendSample(model, Sample(kStart + i * 4000LL, v));
    }
    return model;
}

int Column(double t, const TrendView& view)
{
    return static_cast<int>(std::floor((t - view.from) / (view.to - view.from) * view.columns));
}

}  // namespace

TEST(TrendDecimation, EveryColumnKeepsItsLowestAndHighestValue)
{
    const TrendModel model = Noisy(20000, 12345, 777);
    const TrendView view{double(kStart), double(kStart + 19999 * 4000LL), 300};
    const QVector<TrendLine> lines = DecimateTrend(model, TrendSeriesId::CurrentTemp, view);
    ASSERT_EQ(lines.size(), 1);
    const TrendLine& line = lines[0];
    EXPECT_LE(line.size(), 2 * view.columns + 2);  // and the two ends

    // Extremes of each column from the samples themselves...
    std::map<int, std::pair<double, double>> expected, got;
    for (const TrendSample& s : model.samples) {
        const int c = std::min(Column(double(s.time), view), view.columns - 1);
        auto [it, fresh] = expected.try_emplace(c, s.currentTemp, s.currentTemp);
        if (!fresh)
            it->second = {std::min(it->second.first, s.currentTemp), std::max(it->second.second, s.currentTemp)};
    }
    // ...against what the chart gets, every point being a real sample.
    std::map<qint64, double> byTime;
    for (const TrendSample& s : model.samples)
        byTime[s.time] = s.currentTemp;
    for (const QPointF& p : line) {
        ASSERT_EQ(byTime.count(qint64(p.x())), 1u);
        EXPECT_EQ(byTime[qint64(p.x())], p.y());
        const int c = std::min(Column(p.x(), view), view.columns - 1);
        auto [it, fresh] = got.try_emplace(c, p.y(), p.y());
        if (!fresh)
            it->second = {std::min(it->second.first, p.y()), std::max(it->second.second, p.y())};
    }
    EXPECT_EQ(got, expected);
    // Points stay in time order.
    for (qsizetype k = 1; k < line.size(); ++k)
        EXPECT_LT(line[k - 1].x(), line[k].x());
    EXPECT_TRUE(line.contains(QPointF(double(kStart + 12345 * 4000LL), 95.5)));
    EXPECT_TRUE(line.contains(QPointF(double(kStart + 777 * 4000LL), -61.25)));
}

TEST(TrendDecimation, GapsStayGapsEvenInsideOnePixelColumn)
{
    TrendModel model = Noisy(20000, -1, -1);
    model.samples[5000].answered = false;             // an unanswered poll
    model.samples[9000].currentTemp = NAN;            // a refused value
    model.samples[9000].currentHumidity = 51;         // ...which only breaks its own line
    for (int i = 15000; i < 15100; ++i)               // a long silence
        model.samples[size_t(i)].answered = false;
    const TrendView view{double(kStart), double(kStart + 19999 * 4000LL), 200};

    struct Case {
        TrendSeriesId id;
        std::vector<std::pair<int, int>> pieces;  // first and last sample of each piece
    };
    const Case cases[] = {
        {TrendSeriesId::CurrentTemp, {{0, 4999}, {5001, 8999}, {9001, 14999}, {15100, 19999}}},
        {TrendSeriesId::CurrentHumidity, {{0, 4999}, {5001, 14999}, {15100, 19999}}},
    };
    for (const Case& c : cases) {
        const QVector<TrendLine> lines = DecimateTrend(model, c.id, view);
        ASSERT_EQ(size_t(lines.size()), c.pieces.size());
        for (size_t k = 0; k < c.pieces.size(); ++k) {
            // Each piece runs from the first to the last sample of its run:
            // nothing is drawn across the gap on either side.
            EXPECT_EQ(lines[int(k)].front().x(), double(kStart + c.pieces[k].first * 4000LL)) << k;
            EXPECT_EQ(lines[int(k)].back().x(), double(kStart + c.pieces[k].second * 4000LL)) << k;
        }
    }
}

TEST(TrendDecimation, ZoomedInFarEnoughEverySampleIsKept)
{
    const TrendModel model = Noisy(20000, -1, -1);
    struct Case {
        int first, last;  // samples at the view's edges
        int columns;
        bool everySample;
    };
    const Case cases[] = {
        {10000, 10100, 900, true},   // 101 samples on 900 columns
        {10000, 11799, 900, true},   // two a column
        {10000, 12000, 900, false},  // more than two a column
        {0, 19999, 900, false},
    };
    for (const Case& c : cases) {
        // Edges a quarter of a poll beyond the first and the last sample.
        const TrendView view{double(kStart + c.first * 4000LL - 1000), double(kStart + c.last * 4000LL + 1000),
                             c.columns};
        const QVector<TrendLine> lines = DecimateTrend(model, TrendSeriesId::CurrentTemp, view);
        ASSERT_EQ(lines.size(), 1);
        TrendLine inView;
        for (const QPointF& p : lines[0])
            if (p.x() >= view.from && p.x() <= view.to)
                inView.append(p);
        const int samples = c.last - c.first + 1;
        if (c.everySample) {
            ASSERT_EQ(inView.size(), samples) << c.first << ".." << c.last;
            for (int i = 0; i < samples; ++i)
                EXPECT_EQ(inView[i].y(), model.samples[size_t(c.first + i)].currentTemp);
        } else {
            EXPECT_LE(inView.size(), 2 * c.columns + 2);
        }
        // The neighbours just outside carry the line to both edges.
        const qsizetype at = lines[0].indexOf(inView.front());
        if (c.first > 0) {
            ASSERT_GT(at, 0);
            EXPECT_EQ(lines[0][at - 1].x(), double(kStart + (c.first - 1) * 4000LL));
        }
        const qsizetype end = lines[0].indexOf(inView.back());
        if (c.last < 19999) {
            ASSERT_LT(end + 1, lines[0].size());
            EXPECT_EQ(lines[0][end + 1].x(), double(kStart + (c.last + 1) * 4000LL));
        }
    }
}

TEST(TrendDecimation, PiecesAwayFromTheViewAreLeftOutAndAHeldValueIsTwoPoints)
{
    TrendModel model;
    model.capacity = 100;
    for (int i = 0; i < 10; ++i)
        AddTrendSample(model, Sample(kStart + i * 1000LL, i));
    TrendSample silent;
    silent.time = kStart + 10'000;
    AddTrendSample(model, silent);
    for (int i = 11; i < 40; ++i)
        AddTrendSample(model, Sample(kStart + i * 1000LL, 100 + i));
    // A view between two samples of the second run: no sample in it, but
    // the line crosses it.
    const TrendView between{double(kStart + 20'200), double(kStart + 20'700), 50};
    QVector<TrendLine> lines = DecimateTrend(model, TrendSeriesId::CurrentTemp, between);
    ASSERT_EQ(lines.size(), 1);
    const qsizetype at = lines[0].indexOf(QPointF(double(kStart + 20'000), 120));
    ASSERT_GE(at, 0);
    ASSERT_LT(at + 1, lines[0].size());
    EXPECT_EQ(lines[0][at + 1], QPointF(double(kStart + 21'000), 121));
    EXPECT_LE(lines[0].size(), 4);  // and at most the far ends of the two stretches

    // The set temperature holds one value: its ends, whatever the zoom.
    const TrendView all{double(kStart), double(kStart + 39'000), 10};
    lines = DecimateTrend(model, TrendSeriesId::SetTemp, all);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], (TrendLine{{double(kStart), 25}, {double(kStart + 9'000), 25}}));
    EXPECT_EQ(lines[1], (TrendLine{{double(kStart + 11'000), 25}, {double(kStart + 39'000), 25}}));
}

TEST(TrendDecimation, MarkersInTheViewStayWhereTheyAre)
{
    const QList<QPointF> markers{{1000, 5}, {1990, 6}, {2000, 7}, {2500, -3}, {3000, 8}, {3100, 9}, {4000, 1}};
    const TrendView view{2000, 3000, 100};  // 10 ms a column
    EXPECT_EQ(PointsInView(markers, view, 0), (QList<QPointF>{{2000, 7}, {2500, -3}, {3000, 8}}));
    EXPECT_EQ(PointsInView(markers, view, 1), (QList<QPointF>{{1990, 6}, {2000, 7}, {2500, -3}, {3000, 8}}));
    EXPECT_EQ(PointsInView(markers, view, 10), (QList<QPointF>{{1990, 6}, {2000, 7}, {2500, -3}, {3000, 8}, {3100, 9}}));
}

TEST(TrendDecimation, ValueRangeCoversOnlyTheStretchAndAnsweredPolls)
{
    TrendModel model;
    AddTrendSample(model, Sample(1000, 10));
    AddTrendSample(model, Sample(2000, 30));
    TrendSample silent = Sample(3000, 99);
    silent.answered = false;
    AddTrendSample(model, silent);
    AddTrendSample(model, Sample(4000, -5));
    TrendRange r = TrendValueRange(model, TrendSeriesId::CurrentTemp, TrendSeriesId::SetTemp, 1500, 3500);
    EXPECT_FALSE(r.empty);
    EXPECT_EQ(r.min, 25);
    EXPECT_EQ(r.max, 30);
    r = TrendValueRange(model, TrendSeriesId::CurrentTemp, TrendSeriesId::SetTemp, 0, 1e18);
    EXPECT_EQ(r.min, -5);
    EXPECT_EQ(r.max, 30);
    EXPECT_TRUE(TrendValueRange(model, TrendSeriesId::CurrentTemp, TrendSeriesId::SetTemp, 2500, 3500).empty);
}
