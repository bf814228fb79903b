#include "report/ReportPdf.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QSysInfo>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSettings>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <tuple>
#include <pwd.h>
#include <unistd.h>

#include "monitoring/AlarmEventLog.h"
#include "monitoring/Alarms.h"
#include "monitoring/Stability.h"
#include "monitoring/StabilityAlarms.h"
#include "monitoring/TestReport.h"
#include "monitoring/TrendDecimation.h"
#include "monitoring/TrendModel.h"
#include "monitoring/LocaleText.h"

namespace {

// As the chart window draws them.
const QColor kTempColour(220, 0, 0);
const QColor kSetTempColour(120, 0, 0);
const QColor kHumidityColour(0, 128, 0);
const QColor kSetHumidityColour(0, 70, 0);
const QColor kStepColour(30, 80, 200);
const QColor kCycleColour(230, 140, 0);

QString Time(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")); }

QString Number(double v, int decimals = 1) { return std::isnan(v) ? QStringLiteral("—") : ReportDecimal(v, decimals); }

// "1:05:39": hours, minutes and seconds; gaps are seldom whole minutes.
QString Duration(qint64 ms)
{
    const qint64 seconds = std::max<qint64>(0, ms) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// "2 (2)": a step or cycle and how many there are; "—" where none was read.
QString CountOfTotalText(int x, int y)
{
    if (x < 0)
        return QStringLiteral("—");
    return y >= 0 ? QStringLiteral("%1 (%2)").arg(x).arg(y) : QString::number(x);
}

QString Login()
{
    if (const passwd* pw = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

QString AccountName()
{
    const passwd* pw = ::getpwuid(::getuid());
    return AccountFullName(pw ? QString::fromLocal8Bit(pw->pw_gecos) : QString(), Login());
}

// A page is filled from the top with blocks; a block never splits. A table
// row carries its table's heading, which starts every page the table goes on.
struct Block {
    qreal height = 0;
    std::function<void(QPainter&, qreal top)> paint;
    const Block* heading = nullptr;  // repeated at the top of a new page
    bool keepWithNext = false;       // a section title stays with what follows
};

class Layout {
public:
    Layout(QPdfWriter& writer) : m_writer(writer)
    {
        m_width = writer.width();
        m_dpi = writer.resolution();
        m_body = QFont(QStringLiteral("Liberation Sans"));
        m_body.setPointSizeF(9);
        m_small = m_body;
        m_small.setPointSizeF(7.5);
        m_bold = m_body;
        m_bold.setBold(true);
        m_title = m_body;
        m_title.setPointSizeF(14);
        m_title.setBold(true);
        m_heading = m_body;
        m_heading.setPointSizeF(11);
        m_heading.setBold(true);
    }

    qreal Mm(qreal mm) const { return mm * m_dpi / 25.4; }
    qreal Width() const { return m_width; }
    const QFont& Body() const { return m_body; }
    const QFont& Small() const { return m_small; }
    const QFont& Bold() const { return m_bold; }

    qreal TextHeight(const QFont& font, qreal width, const QString& text) const
    {
        const QFontMetricsF fm(font, &m_writer);
        return fm.boundingRect(QRectF(0, 0, width, 1e9), Qt::TextWordWrap, text).height();
    }

    void Add(Block block) { m_blocks.push_back(std::move(block)); }

    void Paragraph(const QString& text, const QFont& font, qreal spaceAfter = 0)
    {
        const qreal w = m_width;
        Block b;
        b.height = TextHeight(font, w, text) + spaceAfter;
        b.paint = [text, font, w](QPainter& p, qreal top) {
            p.setFont(font);
            p.drawText(QRectF(0, top, w, 1e6), Qt::TextWordWrap, text);
        };
        Add(b);
    }
    void Title(const QString& text) { Paragraph(text, m_title, Mm(3)); }
    void Section(const QString& text)
    {
        Add(Block{Mm(4), [](QPainter&, qreal) {}, nullptr, true});
        Paragraph(text, m_heading, Mm(1.5));
        m_blocks.back().keepWithNext = true;
    }
    void Space(qreal mm) { Add(Block{Mm(mm), [](QPainter&, qreal) {}}); }

    // A table: widths are fractions of the page width; the first row is the heading.
    void Table(const QVector<qreal>& widths, const QVector<QStringList>& rows, const QFont& font)
    {
        const qreal pad = Mm(0.8);
        QVector<qreal> w;
        for (qreal f : widths)
            w << f * m_width;
        const Block* heading = nullptr;
        for (int r = 0; r < rows.size(); ++r) {
            const QStringList cells = rows[r];
            const bool isHeading = r == 0;
            const QFont f = isHeading ? [&] { QFont b = font; b.setBold(true); return b; }() : font;
            qreal h = 0;
            for (int c = 0; c < cells.size() && c < w.size(); ++c)
                h = std::max(h, TextHeight(f, w[c] - 2 * pad, cells[c]));
            h += 2 * pad;
            Block b;
            b.height = h;
            b.paint = [cells, f, w, h, pad, isHeading](QPainter& p, qreal top) {
                p.setFont(f);
                qreal x = 0;
                for (int c = 0; c < cells.size() && c < w.size(); ++c) {
                    const QRectF cell(x, top, w[c], h);
                    if (isHeading)
                        p.fillRect(cell, QColor(230, 230, 230));
                    p.setPen(QPen(Qt::black, 0));
                    p.drawRect(cell);
                    p.drawText(cell.adjusted(pad, pad, -pad, -pad), Qt::TextWordWrap, cells[c]);
                    x += w[c];
                }
            };
            b.heading = isHeading ? nullptr : heading;
            b.keepWithNext = isHeading;
            Add(b);
            if (isHeading)
                heading = &m_storedHeadings.emplace_back(m_blocks.back());
        }
    }

    // Splits the blocks into pages of the given height: each page a list of (block, top).
    QVector<QVector<QPair<const Block*, qreal>>> Paginate(qreal pageHeight) const
    {
        QVector<QVector<QPair<const Block*, qreal>>> pages(1);
        qreal y = 0;
        for (size_t i = 0; i < m_blocks.size(); ++i) {
            const Block& b = m_blocks[i];
            // A title with the first block after it, so neither stands alone.
            qreal need = b.height;
            for (size_t j = i; j + 1 < m_blocks.size() && m_blocks[j].keepWithNext; ++j)
                need += m_blocks[j + 1].height;
            if (y > 0 && y + std::min(need, pageHeight) > pageHeight) {
                pages.append(QVector<QPair<const Block*, qreal>>());
                y = 0;
                if (b.heading) {
                    pages.back().append({b.heading, y});
                    y += b.heading->height;
                }
            }
            pages.back().append({&b, y});
            y += b.height;
        }
        return pages;
    }

private:
    QPdfWriter& m_writer;
    qreal m_width = 0;
    int m_dpi = 0;
    QFont m_body, m_small, m_bold, m_title, m_heading;
    std::deque<Block> m_blocks;           // deque: headings point into it
    std::deque<Block> m_storedHeadings;
};

double NiceStep(double span, int wanted)
{
    const double raw = span / std::max(1, wanted);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double f : {1.0, 2.0, 5.0, 10.0})
        if (raw <= f * magnitude)
            return f * magnitude;
    return 10 * magnitude;
}

struct Axis {
    double low = 0, high = 1, step = 1;
};
Axis NiceAxis(double low, double high)
{
    if (!(high > low)) {
        low -= 1;
        high += 1;
    }
    Axis a;
    a.step = NiceStep(high - low, 6);
    a.low = std::floor(low / a.step) * a.step;
    a.high = std::ceil(high / a.step) * a.step;
    return a;
}

qint64 TimeStep(qint64 span)
{
    static const qint64 steps[] = {60000LL,      120000LL,      300000LL,      600000LL,      900000LL,
                                   1800000LL,    3600000LL,     7200000LL,     10800000LL,    21600000LL,
                                   43200000LL,   86400000LL,    2 * 86400000LL, 7 * 86400000LL, 14 * 86400000LL,
                                   30 * 86400000LL};
    for (qint64 s : steps)
        if (span / s <= 8)
            return s;
    return 30 * 86400000LL;
}

// The chart's points: the records in span with the set points of their rows
// (rows as StepTable makes them), so the set point lines follow the steps.
TrendModel ChartModel(const QVector<LogRecord>& records, RecordSpan span, const QVector<StepStats>& rows)
{
    TrendModel model;
    model.capacity = static_cast<size_t>(span.last - span.first + 1) + 1;
    int row = 0;
    for (int i = span.first; i <= span.last; ++i) {
        const LogRecord& r = records[i];
        while (row + 1 < rows.size() && r.time >= rows[row + 1].start)
            ++row;
        TrendSample s;
        s.time = r.time;
        s.answered = true;
        s.currentTemp = r.currentTemp;
        s.currentHumidity = r.currentHumidity;
        if (row < rows.size()) {
            s.setTemp = rows[row].setTemperature;
            s.setHumidity = rows[row].setHumidity;
        }
        AddTrendSample(model, s);
    }
    return model;
}

// Where the chart is drawn on the page and how values map onto it.
struct ChartFrame {
    QRectF plot;
    qreal left = 0;  // width of each value scale beside the plot
    qint64 from = 0, to = 1;
    Axis temperature, humidity;
    qreal X(double t) const { return plot.left() + (t - from) / double(to - from) * plot.width(); }
    qreal Y(const Axis& a, double v) const { return plot.bottom() - (v - a.low) / (a.high - a.low) * plot.height(); }
};

void PaintValueScales(QPainter& p, const ChartFrame& c, const QFontMetricsF& fm, const Layout& layout)
{
    const QPen grid(QColor(200, 200, 200), 0, Qt::DotLine);
    const Axis& ta = c.temperature;
    for (double v = ta.low; v <= ta.high + ta.step / 2; v += ta.step) {
        const qreal y = c.Y(ta, v);
        p.setPen(grid);
        p.drawLine(QPointF(c.plot.left(), y), QPointF(c.plot.right(), y));
        p.setPen(kTempColour);
        p.drawText(QRectF(0, y - fm.height() / 2, c.left - layout.Mm(1), fm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, Number(v, ta.step < 1 ? 1 : 0));
    }
    const Axis& ha = c.humidity;
    for (double v = ha.low; v <= ha.high + ha.step / 2; v += ha.step) {
        const qreal y = c.Y(ha, v);
        p.setPen(kHumidityColour);
        p.drawText(QRectF(c.plot.right() + layout.Mm(1), y - fm.height() / 2, c.left, fm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, Number(v, ha.step < 1 ? 1 : 0));
    }
}

// Whole steps of local time.
void PaintTimeScale(QPainter& p, const ChartFrame& c, const QFontMetricsF& fm, const Layout& layout)
{
    const QPen grid(QColor(200, 200, 200), 0, Qt::DotLine);
    const qint64 step = TimeStep(c.to - c.from);
    const qint64 offset = QDateTime::fromMSecsSinceEpoch(c.from).offsetFromUtc() * 1000LL;
    const QString form = c.to - c.from > 2 * 86400000LL ? QStringLiteral("dd.MM HH:mm") : QStringLiteral("HH:mm");
    for (qint64 t = ((c.from + offset) / step + 1) * step - offset; t < c.to; t += step) {
        p.setPen(grid);
        p.drawLine(QPointF(c.X(t), c.plot.top()), QPointF(c.X(t), c.plot.bottom()));
        p.setPen(Qt::black);
        p.drawText(QRectF(c.X(t) - layout.Mm(15), c.plot.bottom() + layout.Mm(0.5), layout.Mm(30), fm.height()),
                   Qt::AlignHCenter | Qt::AlignTop, QDateTime::fromMSecsSinceEpoch(t).toString(form));
    }
}

// The lines, at most a few points per 0.1 mm of paper; set points dashed.
void PaintLines(QPainter& p, const ChartFrame& c, const TrendModel& model, const Layout& layout)
{
    TrendView view;
    view.from = c.from;
    view.to = c.to;
    view.columns = std::max(1, static_cast<int>(c.plot.width() / layout.Mm(0.1)));
    const struct {
        TrendSeriesId id;
        QPen pen;
        const Axis* axis;
    } series[] = {
        {TrendSeriesId::SetTemp, QPen(kSetTempColour, layout.Mm(0.2), Qt::DashLine), &c.temperature},
        {TrendSeriesId::SetHumidity, QPen(kSetHumidityColour, layout.Mm(0.2), Qt::DashLine), &c.humidity},
        {TrendSeriesId::CurrentTemp, QPen(kTempColour, layout.Mm(0.25)), &c.temperature},
        {TrendSeriesId::CurrentHumidity, QPen(kHumidityColour, layout.Mm(0.25)), &c.humidity},
    };
    for (const auto& s : series) {
        p.setPen(s.pen);
        for (const TrendLine& line : DecimateTrend(model, s.id, view)) {
            QPolygonF poly;
            poly.reserve(line.size());
            for (const QPointF& pt : line)
                poly << QPointF(c.X(pt.x()), c.Y(*s.axis, pt.y()));
            if (poly.size() == 1)
                p.drawPoint(poly.front());
            else
                p.drawPolyline(poly);
        }
    }
}

// Step marks as small ticks on the temperature line, cycle marks as lines through the plot.
void PaintMarks(QPainter& p, const ChartFrame& c, const LogMarkers& markers, const Layout& layout)
{
    p.setPen(QPen(kStepColour, layout.Mm(0.2)));
    for (const QPointF& m : markers.steps) {
        const qreal px = c.X(m.x()), py = c.Y(c.temperature, m.y());
        p.drawLine(QPointF(px, py - layout.Mm(1.2)), QPointF(px, py + layout.Mm(1.2)));
    }
    p.setPen(QPen(kCycleColour, layout.Mm(0.2), Qt::DashLine));
    for (const QPointF& m : markers.cycles)
        p.drawLine(QPointF(c.X(m.x()), c.plot.top()), QPointF(c.X(m.x()), c.plot.bottom()));
}

// Legend entries under a chart, a line's pen and its words each, wrapped
// to the plot's width.
class LegendRow {
public:
    LegendRow(QPainter& p, const ChartFrame& c, qreal top, const QFontMetricsF& fm, const Layout& layout)
        : m_p(p), m_c(c), m_fm(fm), m_layout(layout), m_x(c.plot.left()), m_y(top + fm.height() * 0.6)
    {
    }
    void operator()(const QPen& pen, const QString& text)
    {
        const qreal width = m_layout.Mm(9) + m_fm.horizontalAdvance(text);
        if (m_x > m_c.plot.left() && m_x + width > m_c.plot.right()) {
            m_x = m_c.plot.left();
            m_y += m_fm.height() * 1.2;
        }
        m_p.setPen(pen);
        m_p.drawLine(QPointF(m_x, m_y), QPointF(m_x + m_layout.Mm(6), m_y));
        m_p.setPen(Qt::black);
        m_p.drawText(QPointF(m_x + m_layout.Mm(7), m_y + m_fm.ascent() / 2 - m_fm.descent() / 2), text);
        m_x += width;
    }

private:
    QPainter& m_p;
    const ChartFrame& m_c;
    const QFontMetricsF& m_fm;
    const Layout& m_layout;
    qreal m_x;
    qreal m_y;
};

void PaintLegend(QPainter& p, const ChartFrame& c, qreal top, const QFontMetricsF& fm, const Layout& layout,
                 bool setPoints)
{
    LegendRow legend(p, c, top, fm, layout);
    legend(QPen(kTempColour, layout.Mm(0.5)), QStringLiteral("Температура, °C (левая шкала)"));
    legend(QPen(kHumidityColour, layout.Mm(0.5)), QStringLiteral("Влажность, % (правая шкала)"));
    if (setPoints) {
        legend(QPen(kSetTempColour, layout.Mm(0.3), Qt::DashLine), QStringLiteral("уставка температуры"));
        legend(QPen(kSetHumidityColour, layout.Mm(0.3), Qt::DashLine), QStringLiteral("уставка влажности"));
    }
    legend(QPen(kStepColour, layout.Mm(0.3)), QStringLiteral("смена шага"));
    legend(QPen(kCycleColour, layout.Mm(0.3), Qt::DashLine), QStringLiteral("смена цикла"));
}

// The band's edges as lines (PDF/A-1b allows no transparency, and filled
// bands of both quantities would hide each other).
void PaintBand(QPainter& p, const ChartFrame& c, const StabilityCondition& condition, const Layout& layout)
{
    const auto edges = [&](const Axis& axis, double setPoint, double tolerance, const QColor& colour) {
        p.setPen(QPen(colour, layout.Mm(0.3), Qt::DashDotLine));
        for (double v : {setPoint - tolerance, setPoint + tolerance})
            p.drawLine(QPointF(c.plot.left(), c.Y(axis, v)), QPointF(c.plot.right(), c.Y(axis, v)));
    };
    edges(c.temperature, condition.temperature, condition.temperatureTolerance, kSetTempColour);
    if (condition.hasHumidity)
        edges(c.humidity, condition.humidity, condition.humidityTolerance, kSetHumidityColour);
}

void PaintBandLegend(QPainter& p, const ChartFrame& c, qreal top, const QFontMetricsF& fm, const Layout& layout,
                     const StabilityCondition& condition)
{
    LegendRow legend(p, c, top, fm, layout);
    legend(QPen(kTempColour, layout.Mm(0.5)), QStringLiteral("Температура, °C (левая шкала)"));
    legend(QPen(kHumidityColour, layout.Mm(0.5)), QStringLiteral("Влажность, % (правая шкала)"));
    legend(QPen(kSetTempColour, layout.Mm(0.3), Qt::DashLine), QStringLiteral("уставка температуры"));
    legend(QPen(kSetTempColour, layout.Mm(0.3), Qt::DashDotLine),
           QStringLiteral("границы ±%1 °C").arg(Number(condition.temperatureTolerance)));
    if (condition.hasHumidity) {
        legend(QPen(kSetHumidityColour, layout.Mm(0.3), Qt::DashLine), QStringLiteral("уставка влажности"));
        legend(QPen(kSetHumidityColour, layout.Mm(0.3), Qt::DashDotLine),
               QStringLiteral("границы ±%1 %").arg(Number(condition.humidityTolerance)));
    }
}

// The chart of the records in span: temperature on the left axis, humidity on
// the right, the steps' set points, step and cycle marks; lines as vector
// paths reduced to what the print resolution can show, broken at every gap.
Block ChartBlock(const Layout& layout, const QVector<LogRecord>& records, RecordSpan span,
                 const QVector<StepStats>& rows, const StabilityCondition* band = nullptr)
{
    const bool withBand = band != nullptr;
    const StabilityCondition condition = band ? *band : StabilityCondition();
    const qreal width = layout.Width();
    const qreal height = layout.Mm(105);
    const QFont font = layout.Small();
    const TrendModel model = ChartModel(records, span, rows);
    const LogMarkers markers = MarkersOfLog(records.mid(span.first, span.last - span.first + 1));
    const qint64 from = records[span.first].time;
    const qint64 to = std::max(records[span.last].time, from + kRecordPeriodMs);
    const bool setPoints = std::any_of(rows.begin(), rows.end(), [](const StepStats& r) {
        return !std::isnan(r.setTemperature) || !std::isnan(r.setHumidity);
    });

    return Block{height + layout.Mm(2), [=](QPainter& p, qreal top) {
        const QFontMetricsF fm(font, p.device());
        ChartFrame c;
        c.from = from;
        c.to = to;
        c.left = fm.horizontalAdvance(QStringLiteral("-000,0")) + layout.Mm(3);
        const qreal legendHeight = fm.height() * 2.8;
        c.plot = QRectF(c.left, top + legendHeight, width - 2 * c.left, height - legendHeight - fm.height() * 2.6);
        const TrendRange tr = TrendValueRange(model, TrendSeriesId::CurrentTemp, TrendSeriesId::SetTemp, from, to);
        const TrendRange hr =
            TrendValueRange(model, TrendSeriesId::CurrentHumidity, TrendSeriesId::SetHumidity, from, to);
        double tLow = tr.min, tHigh = tr.max, hLow = hr.min, hHigh = hr.max;
        // The band's edges stay on the plot even when the values never reach them.
        if (withBand) {
            tLow = tr.empty ? condition.temperature - condition.temperatureTolerance
                            : std::min(tLow, condition.temperature - condition.temperatureTolerance);
            tHigh = tr.empty ? condition.temperature + condition.temperatureTolerance
                             : std::max(tHigh, condition.temperature + condition.temperatureTolerance);
            if (condition.hasHumidity) {
                hLow = hr.empty ? condition.humidity - condition.humidityTolerance
                                : std::min(hLow, condition.humidity - condition.humidityTolerance);
                hHigh = hr.empty ? condition.humidity + condition.humidityTolerance
                                 : std::max(hHigh, condition.humidity + condition.humidityTolerance);
            }
        }
        const bool tEmpty = tr.empty && !withBand, hEmpty = hr.empty && !(withBand && condition.hasHumidity);
        c.temperature = tEmpty ? NiceAxis(0, 100) : NiceAxis(tLow, tHigh);
        c.humidity = hEmpty ? NiceAxis(0, 100) : NiceAxis(hLow, hHigh);

        p.setFont(font);
        PaintValueScales(p, c, fm, layout);
        PaintTimeScale(p, c, fm, layout);
        p.setPen(QPen(Qt::black, 0));
        p.drawRect(c.plot);
        p.save();
        p.setClipRect(c.plot);
        if (withBand)
            PaintBand(p, c, condition, layout);
        PaintLines(p, c, model, layout);
        if (!withBand)
            PaintMarks(p, c, markers, layout);
        p.restore();
        if (withBand)
            PaintBandLegend(p, c, top, fm, layout, condition);
        else
            PaintLegend(p, c, top, fm, layout, setPoints);
    }};
}

// "0:45:00 / 0:00:00": time inside and outside the band; "—" without a set point.
QString BandText(qint64 inside, qint64 outside)
{
    if (inside < 0)
        return QStringLiteral("—");
    return QStringLiteral("%1 / %2").arg(Duration(inside), Duration(outside));
}

// Figures keep the data's resolution (tenths); the mean is given to it as well.
QString StatsText(const ValueStats& s)
{
    if (s.count == 0)
        return QStringLiteral("—");
    return QStringLiteral("%1 / %2 / %3").arg(Number(s.min), Number(s.max), Number(s.mean));
}

QString SetPointText(const StepStats& row)
{
    if (std::isnan(row.setTemperature) && std::isnan(row.setHumidity))
        return QStringLiteral("—");
    return QStringLiteral("%1 / %2").arg(Number(row.setTemperature), Number(row.setHumidity));
}

QString MinutesText(int minutes)
{
    return minutes < 0 ? QStringLiteral("—") : QStringLiteral("%1:%2").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// Everything a report is made of, read before the first page is drawn.
struct ReportData {
    QFileInfo log;
    QString sha;
    LogContents contents;
    RecordSpan span;
    qint64 from = 0, to = 0;  // the first and the last record of the range
    int chamber = -1;
    ChamberIdentity identity;
    QString port;
    QVector<AlarmFileEvent> events;
    int unreadableEvents = 0;
    QVector<JournalRecord> journal;
    QStringList journalProblems;
    JournalRecord program;
    bool programKnown = false;
    QVector<StepSetPoint> setPoints;
    QVector<StepStats> rows;
    QVector<RecordGap> gaps;
    QVector<int> damaged;
    QString number;
    QString author, login;
};

// The range's events ([from, to]: nothing after its last record), and the
// port from the chamber's events up to its end.
void ReadEvents(ReportData& d)
{
    const QVector<AlarmFileEvent> upToEnd =
        ReadAlarmEvents(AlarmEventFileName(d.log.absolutePath()), d.chamber, 0, d.to, &d.unreadableEvents);
    for (const AlarmFileEvent& e : upToEnd) {
        if (!e.port.isEmpty())
            d.port = e.port;
        if (e.time >= d.from)
            d.events.append(e);
    }
}

bool ReadReportData(const ReportRequest& request, ReportData& d, QString* error)
{
    d.log = QFileInfo(request.logPath);
    // The rename at the end would put the report in the log's place.
    const QString logFile = d.log.canonicalFilePath();
    if (!logFile.isEmpty() && QFileInfo(request.outPath).canonicalFilePath() == logFile) {
        *error = QStringLiteral("файл отчёта %1 — это сам журнал").arg(request.outPath);
        return false;
    }
    if (!ReadLogFile(request.logPath, &d.contents, error, &d.sha))
        return false;
    const QVector<LogRecord>& records = d.contents.records;
    if (records.isEmpty()) {
        *error = QStringLiteral("в журнале %1 нет ни одной записи").arg(d.log.fileName());
        return false;
    }
    d.span = RecordsInRange(records, request.fromMs, request.toMs);
    if (d.span.Empty()) {
        *error = QStringLiteral("в выбранном интервале нет записей (журнал: %1 — %2)")
                     .arg(Time(records.front().time), Time(records.back().time));
        return false;
    }
    d.chamber = ChamberAddressOfLogName(d.log.fileName());
    if (d.chamber >= 0)
        d.identity = LoadChamberIdentity(d.chamber);
    const QString folder = d.log.absolutePath();
    d.from = records[d.span.first].time;
    d.to = records[d.span.last].time;
    ReadEvents(d);
    d.journal = ReportJournal(folder, d.chamber, records, d.span, request.programRun, &d.journalProblems);
    d.programKnown = d.chamber >= 0 && LastProgramRecord(folder, d.chamber, d.to, &d.program);
    if (d.programKnown)
        d.setPoints = StepSetPointsOfProgramText(d.program.newValue);
    d.rows = StepTable(records, d.span, d.setPoints, request.temperatureBand, request.humidityBand);
    d.gaps = RecordGapsOfSpan(records, d.span);
    d.damaged = DamagedLinesOfSpan(d.contents, d.span);
    d.login = Login();
    d.author = request.author.isEmpty() ? AccountName() : request.author;
    return true;
}

QString PersonText(const ReportData& d)
{
    return d.author == d.login ? d.author : QStringLiteral("%1 (%2)").arg(d.author, d.login);
}

void AddInfoTable(Layout& L, const ReportData& d, const ReportRequest& request)
{
    const QString rangeText = QStringLiteral("%1 — %2").arg(Time(d.from), Time(d.to));
    const QString notGiven = QStringLiteral("не указан в настройках тревог");
    QVector<QStringList> info{
        {QStringLiteral("Сведение"), QStringLiteral("Значение")},
        {QStringLiteral("Программа"), QStringLiteral("Calvetra %1").arg(QStringLiteral(CALVETRA_VERSION))},
        {QStringLiteral("Камера"),
         d.chamber >= 0 ? QStringLiteral("№%1").arg(d.chamber) : QStringLiteral("не указана в имени журнала")},
        {QStringLiteral("Наименование камеры"), d.identity.name.isEmpty() ? notGiven : d.identity.name},
        {QStringLiteral("Заводской номер"), d.identity.serial.isEmpty() ? notGiven : d.identity.serial},
        {QStringLiteral("Порт"), d.port.isEmpty() ? QStringLiteral("не записан") : d.port},
        {QStringLiteral("Журнал данных"), d.log.fileName()},
        {QStringLiteral("SHA-256 журнала"), d.sha},
        {QStringLiteral("Интервал"),
         rangeText + (request.what.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(request.what))},
        {QStringLiteral("Записей в интервале"), QString::number(d.span.last - d.span.first + 1)},
        {QStringLiteral("Оператор"), PersonText(d)},
        {QStringLiteral("Компьютер"), QSysInfo::machineHostName()},
        {QStringLiteral("Отчёт составлен"), Time(QDateTime::currentMSecsSinceEpoch())}};
    L.Table({0.25, 0.75}, info, L.Body());
}

void AddProgramSection(Layout& L, const ReportData& d)
{
    L.Section(QStringLiteral("Программа"));
    if (!d.programKnown) {
        L.Paragraph(QStringLiteral("таблица программы неизвестна"), L.Body());
        return;
    }
    L.Paragraph(QStringLiteral("Записана в камеру %1 (%2): %3")
                    .arg(Time(JournalRecordTime(d.program)), d.program.operatorName,
                         LocaliseDecimals(d.program.newValue)),
                L.Body(), L.Mm(1.5));
    QVector<QStringList> table{{QStringLiteral("Шаг"), QStringLiteral("Температура, °C"),
                                QStringLiteral("Влажность, %"), QStringLiteral("Выход на режим, ч:мм"),
                                QStringLiteral("Стабилизация, ч:мм")}};
    for (int i = 0; i < d.setPoints.size(); ++i) {
        const StepSetPoint& s = d.setPoints[i];
        table.append({QString::number(i + 1), Number(s.temperature),
                      std::isnan(s.humidity) ? QStringLiteral("без регулирования") : Number(s.humidity),
                      MinutesText(s.reachMinutes), MinutesText(s.holdMinutes)});
    }
    L.Table({0.1, 0.2, 0.2, 0.25, 0.25}, table, L.Small());
}

void AddChartSection(Layout& L, const ReportData& d)
{
    L.Section(QStringLiteral("График"));
    L.Add(ChartBlock(L, d.contents.records, d.span, d.rows));
    QStringList shown;
    for (int i = 0; i < d.setPoints.size(); ++i)
        shown << QStringLiteral("шаг %1: %2 °C, %3")
                     .arg(i + 1)
                     .arg(Number(d.setPoints[i].temperature),
                          std::isnan(d.setPoints[i].humidity) ? QStringLiteral("влажность без регулирования")
                                                              : Number(d.setPoints[i].humidity) + QStringLiteral(" %"));
    L.Paragraph(shown.isEmpty() ? QStringLiteral("Уставки на графике не показаны: таблица программы неизвестна.")
                                : QStringLiteral("Уставки на графике (штриховые линии), по таблице программы: %1.")
                                      .arg(shown.join(QStringLiteral("; "))),
                L.Small());
}

void AddStepTable(Layout& L, const ReportData& d, const ReportRequest& request)
{
    L.Section(QStringLiteral("Шаги и циклы"));
    QVector<QStringList> table{{QStringLiteral("Шаг (из)"), QStringLiteral("Цикл (из)"), QStringLiteral("Начало"),
                                QStringLiteral("Конец"), QStringLiteral("Длит., ч:мм:сс"),
                                QStringLiteral("Уставка °C / %"), QStringLiteral("T мин / макс / сред, °C"),
                                QStringLiteral("RH мин / макс / сред, %"),
                                QStringLiteral("±%1 °C: в полосе / вне").arg(Number(request.temperatureBand)),
                                QStringLiteral("±%1 %: в полосе / вне").arg(Number(request.humidityBand))}};
    qint64 tIn = 0, tOut = 0, hIn = 0, hOut = 0;
    bool tKnown = false, hKnown = false;
    for (const StepStats& r : d.rows) {
        const QString duration = Duration(r.end - r.start) +
                                 (r.gapMs > 0 ? QStringLiteral(" (пропуски %1)").arg(Duration(r.gapMs)) : QString());
        table.append({r.step == 0 ? QStringLiteral("без программы") : CountOfTotalText(r.step, r.steps),
                      CountOfTotalText(r.cycle, r.cycles), Time(r.start), Time(r.end), duration, SetPointText(r),
                      StatsText(r.temperature), StatsText(r.humidity),
                      BandText(r.temperatureInBandMs, r.temperatureOutOfBandMs),
                      BandText(r.humidityInBandMs, r.humidityOutOfBandMs)});
        if (r.temperatureInBandMs >= 0) {
            tKnown = true;
            tIn += r.temperatureInBandMs;
            tOut += r.temperatureOutOfBandMs;
        }
        if (r.humidityInBandMs >= 0) {
            hKnown = true;
            hIn += r.humidityInBandMs;
            hOut += r.humidityOutOfBandMs;
        }
    }
    const QVector<LogRecord>& records = d.contents.records;
    const ValueStats allT = StatsOf(records, d.span, &LogRecord::currentTemp);
    const ValueStats allH = StatsOf(records, d.span, &LogRecord::currentHumidity);
    table.append({QStringLiteral("весь интервал"), QString(), Time(d.from), Time(d.to), Duration(d.to - d.from),
                  QString(), StatsText(allT), StatsText(allH), tKnown ? BandText(tIn, tOut) : QStringLiteral("—"),
                  hKnown ? BandText(hIn, hOut) : QStringLiteral("—")});
    L.Table({0.09, 0.08, 0.11, 0.11, 0.08, 0.08, 0.12, 0.12, 0.105, 0.105}, table, L.Small());
    L.Space(1.5);
    L.Paragraph(
        QStringLiteral(
            "Как получены показатели: по записям журнала данных, одна запись в минуту (более частых записей "
            "журнал не хранит). Минимум, максимум и среднее арифметическое — по принятым значениям записей шага; "
            "записи без значения не учитываются; все значения, и средние тоже, даны с разрешением данных "
            "(%1). Начало — время первой записи шага, конец — время первой записи следующего шага (у последней "
            "строки — её последней записи). Время в полосе и вне её: каждая запись стоит за время до следующей "
            "записи, значение которой сравнивается с уставкой с допуском полосы тревоги; уставки взяты из таблицы "
            "программы в журнале действий, где её нет — «—». Пропуски записи (больше %2 мин без записи) не входят "
            "ни во время в полосе, ни во время вне её; они перечислены ниже, и линия графика на них прерывается.")
            .arg(Number(0.1), QString::number(2 * kRecordPeriodMs / 60000)),
        L.Small());
}

void AddGapsSection(Layout& L, const ReportData& d)
{
    L.Section(QStringLiteral("Пропуски записи"));
    if (d.gaps.isEmpty()) {
        L.Paragraph(QStringLiteral("Пропусков записи нет."), L.Body());
        return;
    }
    QVector<QStringList> t{{QStringLiteral("Начало"), QStringLiteral("Конец"), QStringLiteral("Длительность, ч:мм:сс")}};
    qint64 total = 0;
    for (const RecordGap& g : d.gaps) {
        t.append({Time(g.start), Time(g.end), Duration(g.Duration())});
        total += g.Duration();
    }
    L.Table({0.3, 0.3, 0.4}, t, L.Small());
    L.Paragraph(QStringLiteral("Пропусков: %1, всего %2.").arg(d.gaps.size()).arg(Duration(total)), L.Body());
}

void AddAlarmsSection(Layout& L, const ReportData& d)
{
    L.Section(QStringLiteral("Тревоги и потери связи"));
    if (d.events.isEmpty()) {
        L.Paragraph(QStringLiteral("За интервал событий тревог нет."), L.Body());
    } else {
        QVector<QStringList> t{{QStringLiteral("Время"), QStringLiteral("Событие"), QStringLiteral("№"),
                                QStringLiteral("Вид"), QStringLiteral("Значение"), QStringLiteral("Уставка"),
                                QStringLiteral("Описание")}};
        for (const AlarmFileEvent& e : d.events)
            t.append({Time(e.time), e.event, e.number, e.kind, LocaliseDecimals(e.value), LocaliseDecimals(e.setPoint),
                      LocaliseDecimals(e.text)});
        L.Table({0.16, 0.13, 0.05, 0.14, 0.09, 0.09, 0.34}, t, L.Small());
    }
    if (d.unreadableEvents > 0)
        L.Paragraph(QStringLiteral("Нечитаемых строк в файле тревог: %1.").arg(d.unreadableEvents), L.Small());
}

void AddJournalSection(Layout& L, const ReportData& d)
{
    L.Section(QStringLiteral("Журнал действий за интервал"));
    for (const QString& problem : d.journalProblems)
        L.Paragraph(QStringLiteral("Цепочка журнала нарушена, записи после места нарушения не приведены: %1")
                        .arg(problem),
                    L.Body());
    if (d.journal.isEmpty()) {
        L.Paragraph(QStringLiteral("Записей журнала действий за интервал нет."), L.Body());
        return;
    }
    QVector<QStringList> t{{QStringLiteral("№"), QStringLiteral("Местное время"), QStringLiteral("Оператор"),
                            QStringLiteral("Действие"), QStringLiteral("Было"), QStringLiteral("Стало"),
                            QStringLiteral("Итог")}};
    for (const JournalRecord& j : d.journal)
        t.append({QString::number(j.number), Time(JournalRecordTime(j)), j.operatorName, j.action,
                  LocaliseDecimals(j.oldValue), LocaliseDecimals(j.newValue), j.outcome});
    L.Table({0.05, 0.16, 0.1, 0.14, 0.17, 0.26, 0.12}, t, L.Small());
}

void AddDamagedSection(Layout& L, const ReportData& d)
{
    L.Section(QStringLiteral("Повреждённые строки журнала данных"));
    if (d.damaged.isEmpty()) {
        L.Paragraph(QStringLiteral("Повреждённых строк нет."), L.Body());
        return;
    }
    L.Paragraph(QStringLiteral("Повреждённых строк: %1 (в расчёт не вошли). Номера строк:").arg(d.damaged.size()),
                L.Body());
    // In pieces that fit a page: a badly damaged file may have thousands.
    constexpr int kPerParagraph = 300;
    for (int i = 0; i < d.damaged.size(); i += kPerParagraph) {
        QStringList numbers;
        for (int j = i; j < std::min<int>(d.damaged.size(), i + kPerParagraph); ++j)
            numbers << QString::number(d.damaged[j]);
        L.Paragraph(numbers.join(QStringLiteral(", ")) + (i + kPerParagraph >= d.damaged.size() ? u'.' : u','),
                    L.Small());
    }
}

void AddSignatures(Layout& L, const ReportData& d, const QStringList& signatures)
{
    L.Space(10);
    if (!signatures.isEmpty()) {
        // Electronic signatures: the journal keeps each, with the file's hash.
        L.Paragraph(QStringLiteral("Электронные подписи"), L.Bold());
        for (const QString& line : signatures)
            L.Paragraph(line, L.Body(), L.Mm(3));
        L.Paragraph(QStringLiteral("Конец отчёта"), L.Bold());
        return;
    }
    L.Paragraph(QStringLiteral("Составил: ______________________ / %1 /        Дата: ____________").arg(PersonText(d)),
                L.Body(), L.Mm(8));
    L.Paragraph(QStringLiteral("Проверил: ______________________ / ______________________ /        Дата: ____________\n"
                               "                                    подпись                      фамилия, имя, отчество"),
                L.Body(), L.Mm(8));
    L.Paragraph(QStringLiteral("Конец отчёта"), L.Bold());
}

// Every page: the number on top, "стр. N из M" at the foot. False when the
// painter cannot start; the page count goes to *pages.
bool PaintPages(QPdfWriter& writer, const Layout& L, const ReportData& d, int* pageCount)
{
    const QFont small = L.Small();
    const QFontMetricsF fm(small, &writer);
    const qreal headerHeight = fm.height() * 2;
    const qreal footerHeight = fm.height() * 2;
    const auto pages = L.Paginate(writer.height() - headerHeight - footerHeight);
    QPainter painter;
    if (!painter.begin(&writer))
        return false;
    const QString chamber = d.chamber >= 0 ? QString::number(d.chamber) : QStringLiteral("—");
    for (int i = 0; i < pages.size(); ++i) {
        if (i > 0)
            writer.newPage();
        painter.setFont(small);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, 0, L.Width(), fm.height()), Qt::AlignLeft,
                         QStringLiteral("Отчёт № %1 · камера %2 · %3").arg(d.number, chamber, d.log.fileName()));
        painter.drawLine(QPointF(0, fm.height() * 1.3), QPointF(L.Width(), fm.height() * 1.3));
        painter.drawText(QRectF(0, writer.height() - fm.height(), L.Width(), fm.height()), Qt::AlignRight,
                         QStringLiteral("стр. %1 из %2").arg(i + 1).arg(pages.size()));
        painter.drawText(QRectF(0, writer.height() - fm.height(), L.Width(), fm.height()), Qt::AlignLeft,
                         QStringLiteral("Отчёт № %1").arg(d.number));
        for (const auto& [block, top] : pages[i]) {
            painter.save();
            block->paint(painter, headerHeight + top);
            painter.restore();
        }
    }
    painter.end();
    *pageCount = pages.size();
    return true;
}

}  // namespace

QString ReportDecimal(double value, int decimals)
{
    // Halves away from zero, as figures are rounded by hand: the mean of
    // 25,3 and 18,0 is 21,65 and reads 21,7, though its double lies below.
    const double scale = std::pow(10.0, decimals);
    double scaled = value * scale;
    scaled = std::round(scaled + (scaled >= 0 ? 1e-6 : -1e-6));
    QString text = QString::number(scaled / scale, 'f', decimals);
    // "-0,0" says a sign the rounded figure does not have.
    if (scaled == 0)
        text = QString::number(0.0, 'f', decimals);
    return text.replace(u'.', DecimalSeparator());
}

QString LocaliseDecimals(const QString& text)
{
    // A lone decimal: digits, one "." or ",", digits, with no further
    // separator-and-digit on either side (10.12.2026 is a date).
    static const QRegularExpression decimal(QStringLiteral("(?<![\\d.,])(\\d+)[.,](\\d+)(?![.,]?\\d)"));
    const QString separator = DecimalSeparator();
    QString out;
    qsizetype at = 0;
    for (auto it = decimal.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        out += QStringView(text).mid(at, m.capturedStart() - at);
        out += m.captured(1) + separator + m.captured(2);
        at = m.capturedEnd();
    }
    out += QStringView(text).mid(at);
    return out;
}

QString AccountFullName(const QString& gecos, const QString& login)
{
    const QString name = gecos.section(u',', 0, 0).trimmed();
    return name.isEmpty() ? login : name;
}

QString ReportSettingsFolder() { return QFileInfo(QSettings().fileName()).absolutePath(); }

namespace {

// The file once the pages are laid out: numbered, PDF/A-1b, written beside
// its target and renamed when whole.
bool WriteLaidOutReport(const ReportRequest& request, ReportData& d, const QString& title,
                        const std::function<void(Layout&)>& body, QString* error, ReportOutcome* outcome)
{
    QSaveFile out(request.outPath);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("не удалось записать %1: %2").arg(request.outPath, out.errorString());
        return false;
    }
    const QString settings = request.settingsFolder.isEmpty() ? ReportSettingsFolder() : request.settingsFolder;
    if (!request.number.isEmpty()) {
        d.number = request.number;
    } else if (!NextReportNumber(settings, d.chamber, QDate::currentDate(), &d.number, error)) {
        out.cancelWriting();
        return false;
    }

    QPdfWriter writer(&out);
    writer.setPdfVersion(QPagedPaintDevice::PdfVersion_A1b);
    writer.setResolution(600);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(18, 18, 15, 20),
                                     QPageLayout::Millimeter));
    writer.setTitle(QStringLiteral("%1 № %2").arg(title, d.number));
    writer.setCreator(QStringLiteral("Calvetra %1").arg(QStringLiteral(CALVETRA_VERSION)));

    Layout L(writer);
    L.Title(QStringLiteral("%1 № %2").arg(title, d.number));
    body(L);

    int pages = 0;
    if (!PaintPages(writer, L, d, &pages)) {
        out.cancelWriting();
        *error = QStringLiteral("не удалось начать PDF %1").arg(request.outPath);
        return false;
    }
    if (!out.commit()) {
        *error = QStringLiteral("не удалось записать %1: %2").arg(request.outPath, out.errorString());
        return false;
    }
    if (outcome) {
        QFile written(request.outPath);
        if (written.open(QIODevice::ReadOnly)) {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            hash.addData(&written);
            outcome->sha256 = QString::fromLatin1(hash.result().toHex());
        }
        outcome->number = d.number;
        outcome->pages = pages;
        outcome->records = d.span.last - d.span.first + 1;
    }
    return true;
}

QString QuantityName(StabilityQuantity q)
{
    return q == StabilityQuantity::Temperature ? QStringLiteral("температура") : QStringLiteral("влажность");
}

QString UnitOf(StabilityQuantity q) { return q == StabilityQuantity::Temperature ? QStringLiteral("°C") : QStringLiteral("%"); }

// "57,3 %" of the time measured; "—" where nothing was measured.
QString ShareText(double share) { return std::isnan(share) ? QStringLiteral("—") : Number(share * 100, 1) + QStringLiteral(" %"); }

void AddConditionSection(Layout& L, const StabilityReportRequest& request)
{
    const StabilityCondition& c = request.condition;
    L.Section(QStringLiteral("Условие хранения"));
    const QString name = c.name.isEmpty() ? QStringLiteral("заданное") : QStringLiteral("«%1»").arg(c.name);
    L.Paragraph(QStringLiteral("Условие %1: температура %2 ± %3 °C, %4. Отклонение короче задержки %5 мин "
                               "считается открытием двери и приводится отдельно.")
                    .arg(name, Number(c.temperature), Number(c.temperatureTolerance),
                         c.hasHumidity ? QStringLiteral("влажность %1 ± %2 %").arg(Number(c.humidity), Number(c.humidityTolerance))
                                       : QStringLiteral("влажность не поддерживается"),
                         Number(request.delayMs / 60000.0, request.delayMs % 60000 == 0 ? 0 : 1)),
                L.Body());
}

void AddSummarySection(Layout& L, const StabilityFigures& f, const MeanKineticTemperature& mkt)
{
    L.Section(QStringLiteral("Итоги за интервал"));
    QVector<QStringList> t{{QStringLiteral("Величина"), QStringLiteral("Доля времени в полосе"),
                            QStringLiteral("В полосе, ч:мм:сс"), QStringLiteral("Вне полосы, ч:мм:сс"),
                            QStringLiteral("Без значения, ч:мм:сс"), QStringLiteral("Отклонений"),
                            QStringLiteral("Открытий двери")}};
    for (const auto& [q, figures] : {std::pair{StabilityQuantity::Temperature, &f.temperature},
                                     std::pair{StabilityQuantity::Humidity, &f.humidity}}) {
        if (!figures->kept)
            continue;
        const auto doors = std::count_if(figures->excursions.begin(), figures->excursions.end(),
                                         [](const StabilityExcursion& e) { return e.shortOne; });
        t.append({QuantityName(q) + QStringLiteral(", ") + UnitOf(q), ShareText(figures->InBandShare()),
                  Duration(figures->inBandMs), Duration(figures->outOfBandMs), Duration(figures->noValueMs),
                  QString::number(figures->excursions.size() - doors), QString::number(doors)});
    }
    L.Table({0.16, 0.14, 0.14, 0.14, 0.14, 0.14, 0.14}, t, L.Small());
    L.Space(1.5);
    QString text = std::isnan(mkt.celsius)
                       ? QStringLiteral("Средняя кинетическая температура: нет записей с температурой.")
                       : QStringLiteral("Средняя кинетическая температура за интервал: %1 °C (по %2 записям)")
                             .arg(Number(mkt.celsius, 2))
                             .arg(mkt.records);
    if (!std::isnan(mkt.celsius))
        text += mkt.gaps > 0 ? QStringLiteral("; пропуски исключены: %1, всего %2.").arg(mkt.gaps).arg(Duration(mkt.gapMs))
                             : QStringLiteral(".");
    L.Paragraph(text, L.Body());
    L.Paragraph(QStringLiteral("Доля времени в полосе — от измеренного времени (в полосе и вне её); пропуски записи и "
                               "записи без значения в неё не входят. Время вне полосы включает открытия двери. "
                               "Средняя кинетическая температура — по формуле Аррениуса (ΔH = %1 кДж/моль), "
                               "каждая запись с одинаковым весом.")
                    .arg(Number(kMktActivationEnergy / 1000, 3)),
                L.Small());
}

// The flags of an excursion in words.
QString FlagsText(const StabilityExcursion& e)
{
    QStringList flags;
    if (e.shortOne)
        flags << QStringLiteral("открытие двери");
    if (e.fromSpanStart)
        flags << QStringLiteral("с начала интервала");
    if (e.startsAfterGap)
        flags << QStringLiteral("после пропуска");
    if (e.endsAtGap)
        flags << QStringLiteral("прервано пропуском");
    if (e.open)
        flags << QStringLiteral("не закончилось");
    return flags.join(QStringLiteral(", "));
}

// The alarms active during the excursion, with who acknowledged them when and what they wrote.
QString AlarmsText(const QVector<ReportedAlarm>& alarms, const StabilityExcursion& e)
{
    QStringList lines;
    for (const ReportedAlarm& a : AlarmsOverlapping(alarms, e.start, e.end)) {
        QString line = QStringLiteral("№%1 %2").arg(a.number, LocaliseDecimals(a.text.isEmpty() ? a.kind : a.text));
        QStringList acks;
        for (qint64 t : a.acknowledgements)
            acks << Time(t);
        line += acks.isEmpty() ? QStringLiteral("; не подтверждена")
                               : QStringLiteral("; подтверждена %1").arg(acks.join(QStringLiteral(", ")));
        for (const QString& comment : a.comments)
            line += QStringLiteral("; «%1»").arg(comment);
        lines << line;
    }
    return lines.isEmpty() ? QStringLiteral("—") : lines.join(u'\n');
}

void AddExcursionTable(Layout& L, const QVector<StabilityExcursion>& excursions, const QVector<ReportedAlarm>& alarms)
{
    QVector<QStringList> t{{QStringLiteral("№"), QStringLiteral("Величина"), QStringLiteral("Начало"),
                            QStringLiteral("Конец"), QStringLiteral("Длит., ч:мм:сс"),
                            QStringLiteral("Крайнее значение (время)"), QStringLiteral("Среднее"),
                            QStringLiteral("Отметки"), QStringLiteral("Тревоги: подтверждения, комментарии")}};
    int n = 0;
    for (const StabilityExcursion& e : excursions)
        t.append({QString::number(++n), QuantityName(e.quantity), Time(e.start), Time(e.end), Duration(e.durationMs),
                  QStringLiteral("%1 %2 (%3)").arg(Number(e.extreme), UnitOf(e.quantity), Time(e.extremeTime)),
                  QStringLiteral("%1 %2").arg(Number(e.mean), UnitOf(e.quantity)), FlagsText(e),
                  AlarmsText(alarms, e)});
    L.Table({0.04, 0.11, 0.11, 0.11, 0.08, 0.13, 0.08, 0.12, 0.22}, t, L.Small());
}

// Both quantities' excursions, oldest first (temperature first at one start).
QVector<StabilityExcursion> MergedExcursions(const StabilityFigures& f, bool doorOpenings)
{
    QVector<StabilityExcursion> all;
    for (const auto* q : {&f.temperature, &f.humidity})
        for (const StabilityExcursion& e : q->excursions)
            if (e.shortOne == doorOpenings)
                all.append(e);
    std::stable_sort(all.begin(), all.end(), [](const StabilityExcursion& a, const StabilityExcursion& b) {
        return std::tie(a.start, a.quantity) < std::tie(b.start, b.quantity);
    });
    return all;
}

void AddExcursionSections(Layout& L, const StabilityFigures& f, const QVector<ReportedAlarm>& alarms)
{
    const QVector<StabilityExcursion> excursions = MergedExcursions(f, false);
    L.Section(QStringLiteral("Отклонения"));
    if (excursions.isEmpty())
        L.Paragraph(QStringLiteral("Отклонений нет."), L.Body());
    else
        AddExcursionTable(L, excursions, alarms);
    L.Paragraph(QStringLiteral("Начало — первая запись вне полосы, конец — первая запись снова в полосе; длительность — "
                               "время вне полосы. «Прервано пропуском»: конец — последняя запись вне полосы перед "
                               "пропуском; «после пропуска», «с начала интервала»: когда величина вышла из полосы, "
                               "неизвестно; «не закончилось»: вне полосы до конца интервала."),
                L.Small());
    const QVector<StabilityExcursion> doors = MergedExcursions(f, true);
    L.Section(QStringLiteral("Открытия двери"));
    if (doors.isEmpty())
        L.Paragraph(QStringLiteral("Открытий двери нет."), L.Body());
    else
        AddExcursionTable(L, doors, alarms);
}

}  // namespace

bool WriteReportPdf(const ReportRequest& request, QString* error, ReportOutcome* outcome)
{
    ReportData d;
    if (!ReadReportData(request, d, error))
        return false;
    return WriteLaidOutReport(request, d, QStringLiteral("Отчёт об испытании"), [&](Layout& L) {
        AddInfoTable(L, d, request);
        AddProgramSection(L, d);
        AddChartSection(L, d);
        AddStepTable(L, d, request);
        AddGapsSection(L, d);
        AddAlarmsSection(L, d);
        AddJournalSection(L, d);
        AddDamagedSection(L, d);
        AddSignatures(L, d, request.signatures);
    }, error, outcome);
}

bool ParseDelayMinutes(const QString& text, qint64* delayMs, QString* error)
{
    bool ok = false;
    const double minutes = QString(text.trimmed()).replace(u',', u'.').toDouble(&ok);
    // A day at most: a longer stretch out of band is never a door left open.
    if (!ok || !std::isfinite(minutes) || minutes < 0 || minutes > 24 * 60) {
        *error = QStringLiteral("задержка \"%1\": нужно число минут от 0 до 1440").arg(text);
        return false;
    }
    *delayMs = std::llround(minutes * 60000);
    return true;
}

bool WriteStabilityReport(const StabilityReportRequest& request, QString* error, ReportOutcome* outcome)
{
    const ReportRequest& base = request.report;
    if (base.outPath.isEmpty() && request.csvPath.isEmpty()) {
        *error = QStringLiteral("не указан ни файл отчёта, ни файл CSV");
        return false;
    }
    ReportData d;
    // The PDF's checks on the output path apply to the CSV as well.
    ReportRequest reading = base;
    if (reading.outPath.isEmpty())
        reading.outPath = request.csvPath;
    if (!ReadReportData(reading, d, error))
        return false;
    const QFileInfo log(base.logPath);
    if (!request.csvPath.isEmpty() && !log.canonicalFilePath().isEmpty() &&
        QFileInfo(request.csvPath).canonicalFilePath() == log.canonicalFilePath()) {
        *error = QStringLiteral("файл CSV %1 — это сам журнал").arg(request.csvPath);
        return false;
    }
    const QVector<LogRecord>& records = d.contents.records;
    const StabilityFigures figures = StabilityFiguresOf(records, d.span, request.condition, request.delayMs);
    if (!request.csvPath.isEmpty()) {
        QSaveFile csv(request.csvPath);
        if (!csv.open(QIODevice::WriteOnly) || csv.write(StabilityExcursionsCsv(figures)) < 0 || !csv.commit()) {
            *error = QStringLiteral("не удалось записать %1: %2").arg(request.csvPath, csv.errorString());
            return false;
        }
    }
    if (base.outPath.isEmpty()) {
        if (outcome)
            outcome->records = d.span.last - d.span.first + 1;
        return true;
    }
    const MeanKineticTemperature mkt = MeanKineticTemperatureOf(records, d.span);
    const QVector<ReportedAlarm> alarms = ReportedAlarmsOf(d.events, d.journal);
    // The chart's set point lines are the condition's, for the whole range.
    StepStats whole;
    whole.start = d.from;
    whole.setTemperature = request.condition.temperature;
    whole.setHumidity = request.condition.hasHumidity ? request.condition.humidity : NAN;
    const QVector<StepStats> rows{whole};
    return WriteLaidOutReport(base, d, QStringLiteral("Отчёт об условиях хранения"), [&](Layout& L) {
        AddInfoTable(L, d, base);
        AddConditionSection(L, request);
        AddSummarySection(L, figures, mkt);
        L.Section(QStringLiteral("График"));
        L.Add(ChartBlock(L, records, d.span, rows, &request.condition));
        AddExcursionSections(L, figures, alarms);
        AddGapsSection(L, d);
        AddDamagedSection(L, d);
        AddSignatures(L, d, base.signatures);
    }, error, outcome);
}

namespace {

bool ParseWhen(const QString& text, qint64* ms)
{
    const QDateTime when = QDateTime::fromString(text.trimmed(), QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!when.isValid())
        return false;
    *ms = when.toMSecsSinceEpoch();
    return true;
}

void Complain(const QString& text) { std::fprintf(stderr, "calvetra: %s\n", text.toLocal8Bit().constData()); }

}  // namespace

bool WantsReport(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--report") == 0)
            return true;
    return false;
}

bool RunReportCommand(const QStringList& args, int* exitCode, ReportOutcome* written, QString* writtenPath)
{
    if (!args.contains(QStringLiteral("--report")))
        return false;
    *exitCode = 2;
    ReportRequest request;
    bool haveFrom = false, haveTo = false;
    bool stability = false;
    QString conditionText, delayText, csvPath;
    bool haveDelay = false;
    const QStringList withValue{QStringLiteral("--report"), QStringLiteral("-o"), QStringLiteral("--from"),
                                QStringLiteral("--to"), QStringLiteral("--condition"), QStringLiteral("--delay"),
                                QStringLiteral("--stability-csv")};
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (withValue.contains(a) && !hasValue) {
            Complain(QStringLiteral("%1: не хватает значения").arg(a));
            return true;
        }
        if (a == QStringLiteral("--report")) {
            request.logPath = args[++i];
        } else if (a == QStringLiteral("-o")) {
            request.outPath = args[++i];
        } else if (a == QStringLiteral("--from") || a == QStringLiteral("--to")) {
            const QString value = args[++i];
            if (!ParseWhen(value, a == QStringLiteral("--from") ? &request.fromMs : &request.toMs)) {
                Complain(QStringLiteral("%1 \"%2\": нужна дата и время вида \"ГГГГ-ММ-ДД ЧЧ:ММ\"").arg(a, value));
                return true;
            }
            (a == QStringLiteral("--from") ? haveFrom : haveTo) = true;
        } else if (a == QStringLiteral("--stability")) {
            stability = true;
        } else if (a == QStringLiteral("--condition")) {
            conditionText = args[++i];
            stability = true;
        } else if (a == QStringLiteral("--delay")) {
            delayText = args[++i];
            haveDelay = stability = true;
        } else if (a == QStringLiteral("--stability-csv")) {
            csvPath = args[++i];
            stability = true;
        } else {
            Complain(QStringLiteral("неизвестный параметр %1; вызов: calvetra --report ЖУРНАЛ [--from \"ГГГГ-ММ-ДД "
                                    "ЧЧ:ММ\"] [--to \"…\"] -o ОТЧЁТ.pdf, для условий хранения ещё --stability "
                                    "--condition 25/60 [--delay МИН] [--stability-csv ОТКЛОНЕНИЯ.csv]")
                         .arg(a));
            return true;
        }
    }
    StabilityReportRequest stable;
    const AlarmSettings alarms = LoadAlarmSettings();
    if (stability) {
        QString reason;
        if (conditionText.isEmpty()) {
            Complain(QStringLiteral("не указано условие хранения: --condition 25/60 (или 30/65, 30/75, 40/75, 5, "
                                    "или T±dT/RH±dRH)"));
            return true;
        }
        if (!ParseStabilityCondition(conditionText, &stable.condition, &reason)) {
            Complain(QStringLiteral("--condition \"%1\": %2").arg(conditionText, reason));
            return true;
        }
        stable.delayMs = alarms.temperatureDelay * 1000LL;
        if (haveDelay && !ParseDelayMinutes(delayText, &stable.delayMs, &reason)) {
            Complain(QStringLiteral("--delay: %1").arg(reason));
            return true;
        }
        stable.csvPath = csvPath;
    }
    if (request.outPath.isEmpty() && csvPath.isEmpty()) {
        Complain(stability ? QStringLiteral("не указан файл отчёта: -o ОТЧЁТ.pdf или --stability-csv ОТКЛОНЕНИЯ.csv")
                           : QStringLiteral("не указан файл отчёта: -o ОТЧЁТ.pdf"));
        return true;
    }
    if (haveTo)
        request.toMs += 60000 - 1;  // "--to 14:05" takes in the records of that minute
    if (haveFrom && haveTo && request.toMs < request.fromMs) {
        Complain(QStringLiteral("--to раньше --from"));
        return true;
    }
    if (haveFrom || haveTo)
        request.what = QStringLiteral("задан в командной строке");
    request.temperatureBand = alarms.temperatureBand;
    request.humidityBand = alarms.humidityBand;
    QString error;
    ReportOutcome outcome;
    bool ok = false;
    if (stability) {
        stable.report = request;
        ok = WriteStabilityReport(stable, &error, &outcome);
    } else {
        ok = WriteReportPdf(request, &error, &outcome);
    }
    if (!ok) {
        Complain(error);
        *exitCode = 1;
        return true;
    }
    if (!request.outPath.isEmpty())
        std::printf("%s: отчёт № %s, страниц %d, записей %d, SHA-256 %s\n", request.outPath.toLocal8Bit().constData(),
                    outcome.number.toLocal8Bit().constData(), outcome.pages, outcome.records,
                    outcome.sha256.toLatin1().constData());
    if (!csvPath.isEmpty())
        std::printf("%s: отклонения в CSV, записей %d\n", csvPath.toLocal8Bit().constData(), outcome.records);
    if (written)
        *written = outcome;
    if (writtenPath)
        *writtenPath = request.outPath;
    *exitCode = 0;
    return true;
}
