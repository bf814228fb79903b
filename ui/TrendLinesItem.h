// The trend's lines in the chart's plot area, drawn by one item: as a line
// series of Qt Charts per piece, every gap cost a series to lay out and to
// paint, and every change of an axis a new outline of every line.
#pragma once

#include <QGraphicsItem>
#include <QPolygonF>
#include <QPen>
#include <QVector>

#include "monitoring/TrendDecimation.h"

class QChart;
class QDateTimeAxis;
class QValueAxis;

class TrendLinesItem : public QGraphicsItem {
public:
    // A child of the chart, above its series (the markers) and below its legend.
    TrendLinesItem(QChart* chart, QDateTimeAxis* timeAxis);

    // The look of a series and the value axis it is drawn against.
    void SetSeries(int series, const QPen& pen, QValueAxis* valueAxis);
    // The pieces of one series (time in ms, value); false when they are the
    // ones already shown.
    bool SetLines(int series, const QVector<TrendLine>& lines);
    const QVector<TrendLine>& Lines(int series) const { return m_series[series].lines; }
    void Clear();

    // The plot area or an axis range has changed: the lines move with it.
    void Relayout();

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

private:
    struct Series {
        QPen pen;
        QValueAxis* axis = nullptr;
        QVector<TrendLine> lines;
        QVector<QPolygonF> drawn;  // the pieces in the chart's coordinates
        bool stale = true;
    };
    void Map(Series& series) const;

    QChart* m_chart;
    QDateTimeAxis* m_timeAxis;
    QRectF m_plot;
    Series m_series[kTrendSeriesCount];
};
