#include "ui/TrendLinesItem.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QPainter>
#include <QValueAxis>

namespace {

// Qt Charts draws its series at this height above the grid and the axes;
// its legend comes next.
constexpr qreal kAboveSeries = 4.5;

}  // namespace

TrendLinesItem::TrendLinesItem(QChart* chart, QDateTimeAxis* timeAxis)
    : QGraphicsItem(chart), m_chart(chart), m_timeAxis(timeAxis), m_plot(chart->plotArea())
{
    setZValue(kAboveSeries);
    setFlag(QGraphicsItem::ItemUsesExtendedStyleOption, false);
}

void TrendLinesItem::SetSeries(int series, const QPen& pen, QValueAxis* valueAxis)
{
    m_series[series].pen = pen;
    m_series[series].axis = valueAxis;
    m_series[series].stale = true;
    update();
}

bool TrendLinesItem::SetLines(int series, const QVector<TrendLine>& lines)
{
    Series& s = m_series[series];
    if (s.lines == lines)
        return false;
    s.lines = lines;
    s.stale = true;
    update();
    return true;
}

void TrendLinesItem::Clear()
{
    for (int i = 0; i < kTrendSeriesCount; ++i)
        SetLines(i, {});
}

void TrendLinesItem::Relayout()
{
    const QRectF plot = m_chart->plotArea();
    if (plot != m_plot) {
        prepareGeometryChange();
        m_plot = plot;
    }
    for (Series& s : m_series)
        s.stale = true;
    update();
}

QRectF TrendLinesItem::boundingRect() const
{
    // Half a pen beyond the plot, where a line along its edge is still seen.
    return m_plot.adjusted(-2, -2, 2, 2);
}

void TrendLinesItem::Map(Series& series) const
{
    series.drawn.clear();
    series.stale = false;
    if (!series.axis || m_plot.isEmpty())
        return;
    const double x0 = static_cast<double>(m_timeAxis->min().toMSecsSinceEpoch());
    const double x1 = static_cast<double>(m_timeAxis->max().toMSecsSinceEpoch());
    const double y0 = series.axis->min();
    const double y1 = series.axis->max();
    if (!(x1 > x0) || !(y1 > y0))
        return;
    const double sx = m_plot.width() / (x1 - x0);
    const double sy = m_plot.height() / (y1 - y0);
    for (const TrendLine& line : series.lines) {
        if (line.size() < 2)
            continue;  // one point draws no line, as with a line series
        QPolygonF drawn(line.size());
        for (qsizetype k = 0; k < line.size(); ++k)
            drawn[k] = QPointF(m_plot.left() + (line[k].x() - x0) * sx, m_plot.bottom() - (line[k].y() - y0) * sy);
        series.drawn.append(drawn);
    }
}

void TrendLinesItem::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*)
{
    painter->save();
    painter->setClipRect(m_plot.adjusted(-0.5, -0.5, 0.5, 0.5));
    QVector<QLineF> strokes;
    for (Series& s : m_series) {
        if (s.stale)
            Map(s);
        painter->setPen(s.pen);
        for (const QPolygonF& piece : s.drawn) {
            if (s.pen.style() != Qt::SolidLine) {
                painter->drawPolyline(piece);  // the dashes run on unbroken
                continue;
            }
            // A solid line goes out stroke by stroke, as Qt Charts draws it:
            // a wide smoothed line drawn whole is filled as one outline, and
            // every row of pixels then goes through all of its edges.
            strokes.resize(piece.size() - 1);
            for (qsizetype k = 1; k < piece.size(); ++k)
                strokes[k - 1] = QLineF(piece[k - 1], piece[k]);
            painter->drawLines(strokes);
        }
    }
    painter->restore();
}
