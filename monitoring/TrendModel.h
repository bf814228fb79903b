// Points of the trend chart: current and set temperature and humidity
// against the time of day, kept for at least a day of polls.
#pragma once

#include <QVector>
#include <QtGlobal>
#include <cmath>
#include <deque>

struct TrendSample {
    qint64 time = 0;  // ms since the epoch
    // NaN where the poll had no accepted value: the chart breaks its line there.
    double currentTemp = NAN;
    double setTemp = NAN;
    double currentHumidity = NAN;
    double setHumidity = NAN;
    bool answered = false;  // false: the poll got no reply (a gap)
};

enum class TrendSeriesId { CurrentTemp, SetTemp, CurrentHumidity, SetHumidity };
constexpr int kTrendSeriesCount = 4;
inline double TrendValue(const TrendSample& sample, TrendSeriesId id)
{
    switch (id) {
    case TrendSeriesId::CurrentTemp:
        return sample.currentTemp;
    case TrendSeriesId::SetTemp:
        return sample.setTemp;
    case TrendSeriesId::CurrentHumidity:
        return sample.currentHumidity;
    case TrendSeriesId::SetHumidity:
        return sample.setHumidity;
    }
    return NAN;
}

// The data log writes one record a minute.
constexpr qint64 kRecordPeriodMs = 60 * 1000;

// True when nothing was recorded for longer than two record periods between
// two neighbouring records (or chart points) at these times. The one rule by
// which the report lists a gap and every chart breaks its line: a line drawn
// across it would show values nobody measured.
constexpr bool IsRecordGap(qint64 earlierMs, qint64 laterMs) { return laterMs - earlierMs > 2 * kRecordPeriodMs; }

// One poll every 4 s for 25 hours: a day is always on the chart.
constexpr size_t kTrendCapacity = 25 * 3600 / 4;

struct TrendModel {
    std::deque<TrendSample> samples;
    size_t capacity = kTrendCapacity;
    quint64 dropped = 0;  // samples removed from the front since the start
};

// Appends a sample; drops the oldest beyond the capacity. Returns the number
// of samples dropped (0 or 1), so that a view can drop the same points.
int AddTrendSample(TrendModel& model, const TrendSample& sample);

// The runs of consecutive samples with a value for one series: each run is a
// line of its own, so that an unanswered poll, a rejected value or a gap in
// time (IsRecordGap) leaves a gap.
struct TrendRun {
    size_t first = 0;
    size_t count = 0;
};
QVector<TrendRun> TrendRuns(const TrendModel& model, TrendSeriesId id);
