#include "monitoring/TrendModel.h"

int AddTrendSample(TrendModel& model, const TrendSample& sample)
{
    model.samples.push_back(sample);
    int dropped = 0;
    while (model.samples.size() > model.capacity) {
        model.samples.pop_front();
        ++model.dropped;
        ++dropped;
    }
    return dropped;
}

QVector<TrendRun> TrendRuns(const TrendModel& model, TrendSeriesId id)
{
    QVector<TrendRun> runs;
    bool open = false;
    qint64 previous = 0;
    for (size_t i = 0; i < model.samples.size(); ++i) {
        const TrendSample& s = model.samples[i];
        const bool has = s.answered && !std::isnan(TrendValue(s, id));
        if (has && open && IsRecordGap(previous, s.time))
            open = false;
        previous = s.time;
        if (has && open) {
            ++runs.back().count;
        } else if (has) {
            runs.push_back({i, 1});
            open = true;
        } else {
            open = false;
        }
    }
    return runs;
}
