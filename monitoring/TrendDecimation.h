// What of a trend the chart is handed: no more points than the plot has
// pixel columns, with every peak and dip, every gap and every marker where
// the full data has them.
#pragma once

#include <QList>
#include <QPointF>
#include <QVector>

#include "monitoring/TrendModel.h"

// The stretch of the time axis on screen and the plot's width in pixels.
struct TrendView {
    double from = 0;  // ms since the epoch at the left edge
    double to = 0;    // at the right edge
    int columns = 0;  // pixel columns between them
};

// One line piece as the chart draws it: (time in ms, value).
using TrendLine = QList<QPointF>;

// The line pieces of one series for the view. Each run of samples with a
// value (see TrendRuns) stays a piece of its own, so a gap stays a gap; runs
// that do not reach into the view are left out. Within the view, the samples
// of each pixel column come down to its first, lowest, highest and last ones,
// in their order, which draws the same column of pixels; outside it only the
// first and last of each stretch are kept, enough to carry a line to the
// edge. With no more samples in the view than twice its columns (zoomed in
// far enough) every sample in the view is kept.
QVector<TrendLine> DecimateTrend(const TrendModel& model, TrendSeriesId id, const TrendView& view);

// The points whose time lies in the view or up to `marginColumns` columns
// beyond either edge (a marker centred just outside still shows its half).
// Nothing moves.
QList<QPointF> PointsInView(const QList<QPointF>& points, const TrendView& view, double marginColumns);

// The smallest and largest value of the series pair over the samples whose
// time lies in [from, to]; empty when none has a value.
struct TrendRange {
    double min = 0;
    double max = 0;
    bool empty = true;
};
TrendRange TrendValueRange(const TrendModel& model, TrendSeriesId a, TrendSeriesId b, double from, double to);
