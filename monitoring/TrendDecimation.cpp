#include "monitoring/TrendDecimation.h"

#include <algorithm>
#include <cmath>

namespace {

bool HasValue(const TrendSample& s, TrendSeriesId id) { return s.answered && !std::isnan(TrendValue(s, id)); }

// A point between two of the same value lies on the straight line between
// them: a set point held for hours is two points, not one per column.
void Append(TrendLine* line, const QPointF& p)
{
    const qsizetype n = line->size();
    if (n >= 2 && (*line)[n - 1].y() == p.y() && (*line)[n - 2].y() == p.y() &&
        (*line)[n - 2].x() <= (*line)[n - 1].x() && (*line)[n - 1].x() <= p.x())
        (*line)[n - 1] = p;
    else
        line->append(p);
}

// The samples of one run that fall into one column, one after the other.
// Column -1 is everything left of the view, `columns` everything right of it.
class Bucket {
public:
    bool Open() const { return m_count > 0; }
    int Column() const { return m_column; }

    void Start(int column, size_t index, double value, bool startsPiece)
    {
        m_startsPiece = startsPiece;
        m_column = column;
        m_count = 1;
        m_first = m_last = m_min = m_max = index;
        m_minValue = m_maxValue = value;
    }
    void Add(size_t index, double value)
    {
        ++m_count;
        m_last = index;
        if (value < m_minValue) {
            m_minValue = value;
            m_min = index;
        }
        if (value > m_maxValue) {
            m_maxValue = value;
            m_max = index;
        }
    }
    // In the view a column keeps its lowest and its highest point, in their
    // order, and where a piece starts or ends its first or last point, so
    // that a gap is exactly as wide as it is. Outside the view those cannot
    // be seen: only the ends, which join the line to what is on screen.
    void Flush(const TrendModel& model, TrendSeriesId id, bool inView, bool pieceEnds, TrendLine* line)
    {
        size_t keep[4] = {m_first, m_min, m_max, m_last};
        int n = 4;
        if (inView) {
            if (!m_startsPiece)
                keep[0] = m_min;
            if (!pieceEnds)
                keep[3] = m_max;
        } else {
            keep[1] = m_last;
            n = 2;
        }
        std::sort(keep, keep + n);
        n = static_cast<int>(std::unique(keep, keep + n) - keep);
        for (int k = 0; k < n; ++k) {
            const TrendSample& s = model.samples[keep[k]];
            Append(line, QPointF(static_cast<qreal>(s.time), TrendValue(s, id)));
        }
        m_count = 0;
    }

private:
    int m_column = 0;
    bool m_startsPiece = false;
    size_t m_count = 0;
    size_t m_first = 0, m_last = 0, m_min = 0, m_max = 0;
    double m_minValue = 0, m_maxValue = 0;
};

}  // namespace

namespace {

// The pixel column a time falls into: -1 left of the view, `count` right of it.
class Columns {
public:
    explicit Columns(const TrendView& view)
        : m_count(std::max(1, view.columns)), m_from(view.from), m_noView(!(view.to - view.from > 0)),
          m_scale(m_noView ? 0.0 : m_count / (view.to - view.from))
    {
    }
    int Of(qint64 time) const
    {
        if (m_noView)
            return 0;
        const double c = (static_cast<double>(time) - m_from) * m_scale;
        if (c < 0)
            return -1;
        if (c >= m_count)
            return m_count;
        return static_cast<int>(c);
    }
    bool InView(int column) const { return column >= 0 && column < m_count; }

private:
    int m_count;
    double m_from;
    bool m_noView;
    double m_scale;
};

// One pass over the samples: every sample in the view kept, or each column
// brought down to its extremes. *shown counts the samples with a value in
// the view.
QVector<TrendLine> Reduce(const TrendModel& model, TrendSeriesId id, const TrendView& view, bool everySample,
                          size_t* shown)
{
    QVector<TrendLine> lines;
    const Columns columns(view);

    TrendLine line;
    Bucket bucket;
    bool reaches = false;  // the run has a point in the view, or crosses it
    bool left = false, right = false;
    bool open = false;
    qint64 previousTime = 0;  // of the run's last sample
    auto endRun = [&] {
        if (bucket.Open())
            bucket.Flush(model, id, columns.InView(bucket.Column()), true, &line);
        if (reaches || (left && right))
            lines.push_back(line);
        line.clear();
        reaches = left = right = open = false;
    };
    *shown = 0;
    size_t i = 0;
    for (auto it = model.samples.begin(); it != model.samples.end(); ++it, ++i) {
        const TrendSample& s = *it;
        if (!HasValue(s, id)) {
            if (open)
                endRun();
            continue;
        }
        if (open && IsRecordGap(previousTime, s.time))
            endRun();
        open = true;
        previousTime = s.time;
        const double value = TrendValue(s, id);
        const int column = columns.Of(s.time);
        if (columns.InView(column)) {
            reaches = true;
            ++*shown;
            if (everySample) {
                if (bucket.Open())
                    bucket.Flush(model, id, false, false, &line);
                Append(&line, QPointF(static_cast<qreal>(s.time), value));
                continue;
            }
        } else if (column < 0) {
            left = true;
        } else {
            right = true;
        }
        if (bucket.Open() && bucket.Column() == column) {
            bucket.Add(i, value);
        } else {
            const bool startsPiece = line.isEmpty() && !bucket.Open();
            if (bucket.Open())
                bucket.Flush(model, id, columns.InView(bucket.Column()), false, &line);
            bucket.Start(column, i, value, startsPiece);
        }
    }
    if (open)
        endRun();
    return lines;
}

}  // namespace

QVector<TrendLine> DecimateTrend(const TrendModel& model, TrendSeriesId id, const TrendView& view)
{
    const bool noView = !(view.to - view.from > 0);
    const size_t fullDetail = 2 * static_cast<size_t>(std::max(1, view.columns));
    size_t shown = 0;
    QVector<TrendLine> lines = Reduce(model, id, view, noView, &shown);
    if (!noView && shown <= fullDetail)
        lines = Reduce(model, id, view, true, &shown);
    return lines;
}

QList<QPointF> PointsInView(const QList<QPointF>& points, const TrendView& view, double marginColumns)
{
    const double margin =
        view.columns > 0 ? (view.to - view.from) / view.columns * std::max(0.0, marginColumns) : 0.0;
    QList<QPointF> shown;
    for (const QPointF& p : points)
        if (p.x() >= view.from - margin && p.x() <= view.to + margin)
            shown.append(p);
    return shown;
}

TrendRange TrendValueRange(const TrendModel& model, TrendSeriesId a, TrendSeriesId b, double from, double to)
{
    TrendRange range;
    for (const TrendSample& s : model.samples) {
        if (!s.answered || static_cast<double>(s.time) < from || static_cast<double>(s.time) > to)
            continue;
        for (TrendSeriesId id : {a, b}) {
            const double v = TrendValue(s, id);
            if (std::isnan(v))
                continue;
            if (range.empty) {
                range.min = range.max = v;
                range.empty = false;
            } else {
                range.min = std::min(range.min, v);
                range.max = std::max(range.max, v);
            }
        }
    }
    return range;
}
