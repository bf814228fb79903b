#include "ui/ReportPdf.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QSysInfo>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QSaveFile>
#include <QSettings>
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
#include "monitoring/TestReport.h"
#include "monitoring/TrendDecimation.h"
#include "monitoring/TrendModel.h"
#include "ui/AlarmCenter.h"

namespace {

// Records farther apart than this were not made: the line breaks there.
constexpr qint64 kGapMs = 150 * 1000;

// As the chart window draws them.
const QColor kTempColour(220, 0, 0);
const QColor kHumidityColour(0, 128, 0);
const QColor kStepColour(30, 80, 200);
const QColor kCycleColour(230, 140, 0);

QString Time(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")); }

QString Number(double v, int decimals = 1)
{
    return std::isnan(v) ? QStringLiteral("—") : QLocale(QLocale::Russian).toString(v, 'f', decimals);
}

QString Duration(qint64 ms)
{
    const qint64 minutes = ms / 60000;
    return QStringLiteral("%1:%2").arg(minutes / 60).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString PairText(int x, int y)
{
    if (x < 0)
        return QStringLiteral("—");
    return y >= 0 ? QStringLiteral("%1 (%2)").arg(x).arg(y) : QString::number(x);
}

QString LoginName()
{
    if (const passwd* pw = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
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

// The chart of the records in span: temperature on the left axis, humidity on
// the right, step and cycle marks; lines as vector paths reduced to what the
// print resolution can show.
Block ChartBlock(const Layout& layout, const QVector<LogRecord>& records, RecordSpan span)
{
    const qreal width = layout.Width();
    const qreal height = layout.Mm(105);
    const QFont font = layout.Small();

    TrendModel model;
    model.capacity = static_cast<size_t>(span.last - span.first + 1) * 2 + 2;
    QVector<LogRecord> inSpan;
    for (int i = span.first; i <= span.last; ++i) {
        const LogRecord& r = records[i];
        if (i > span.first && r.time - records[i - 1].time > kGapMs) {
            TrendSample gap;
            gap.time = r.time - 1;
            AddTrendSample(model, gap);
        }
        TrendSample s;
        s.time = r.time;
        s.answered = true;
        s.currentTemp = r.currentTemp;
        s.currentHumidity = r.currentHumidity;
        AddTrendSample(model, s);
        inSpan.append(r);
    }
    const LogMarkers markers = MarkersOfLog(inSpan);
    const qint64 from = records[span.first].time;
    const qint64 to = std::max(records[span.last].time, from + 60000);

    return Block{height + layout.Mm(2), [=](QPainter& p, qreal top) {
        const QFontMetricsF fm(font, p.device());
        const qreal left = fm.horizontalAdvance(QStringLiteral("-000,0")) + layout.Mm(3);
        const qreal right = left;
        const qreal legendHeight = fm.height() * 1.6;
        const QRectF plot(left, top + legendHeight, width - left - right, height - legendHeight - fm.height() * 2.6);

        const TrendRange tr = TrendValueRange(model, TrendSeriesId::CurrentTemp, TrendSeriesId::CurrentTemp, from, to);
        const TrendRange hr =
            TrendValueRange(model, TrendSeriesId::CurrentHumidity, TrendSeriesId::CurrentHumidity, from, to);
        const Axis ta = tr.empty ? NiceAxis(0, 100) : NiceAxis(tr.min, tr.max);
        const Axis ha = hr.empty ? NiceAxis(0, 100) : NiceAxis(hr.min, hr.max);
        auto x = [&](double t) { return plot.left() + (t - from) / double(to - from) * plot.width(); };
        auto yOf = [&](const Axis& a, double v) { return plot.bottom() - (v - a.low) / (a.high - a.low) * plot.height(); };

        p.setFont(font);
        const QPen grid(QColor(200, 200, 200), 0, Qt::DotLine);
        // Value grid and labels.
        for (double v = ta.low; v <= ta.high + ta.step / 2; v += ta.step) {
            const qreal y = yOf(ta, v);
            p.setPen(grid);
            p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
            p.setPen(kTempColour);
            p.drawText(QRectF(0, y - fm.height() / 2, left - layout.Mm(1), fm.height()),
                       Qt::AlignRight | Qt::AlignVCenter, Number(v, ta.step < 1 ? 1 : 0));
        }
        for (double v = ha.low; v <= ha.high + ha.step / 2; v += ha.step) {
            const qreal y = yOf(ha, v);
            p.setPen(kHumidityColour);
            p.drawText(QRectF(plot.right() + layout.Mm(1), y - fm.height() / 2, right, fm.height()),
                       Qt::AlignLeft | Qt::AlignVCenter, Number(v, ha.step < 1 ? 1 : 0));
        }
        // Time grid: whole steps of local time.
        const qint64 step = TimeStep(to - from);
        const qint64 offset = QDateTime::fromMSecsSinceEpoch(from).offsetFromUtc() * 1000LL;
        const QString form = to - from > 2 * 86400000LL ? QStringLiteral("dd.MM HH:mm") : QStringLiteral("HH:mm");
        for (qint64 t = ((from + offset) / step + 1) * step - offset; t < to; t += step) {
            p.setPen(grid);
            p.drawLine(QPointF(x(t), plot.top()), QPointF(x(t), plot.bottom()));
            p.setPen(Qt::black);
            p.drawText(QRectF(x(t) - layout.Mm(15), plot.bottom() + layout.Mm(0.5), layout.Mm(30), fm.height()),
                       Qt::AlignHCenter | Qt::AlignTop, QDateTime::fromMSecsSinceEpoch(t).toString(form));
        }
        p.setPen(QPen(Qt::black, 0));
        p.drawRect(plot);

        // The lines: at most a few points per 0.1 mm of paper.
        TrendView view;
        view.from = from;
        view.to = to;
        view.columns = std::max(1, static_cast<int>(plot.width() / layout.Mm(0.1)));
        p.save();
        p.setClipRect(plot);
        for (auto [id, colour, axis] : {std::tuple{TrendSeriesId::CurrentTemp, kTempColour, ta},
                                        std::tuple{TrendSeriesId::CurrentHumidity, kHumidityColour, ha}}) {
            p.setPen(QPen(colour, layout.Mm(0.25)));
            for (const TrendLine& line : DecimateTrend(model, id, view)) {
                QPolygonF poly;
                poly.reserve(line.size());
                for (const QPointF& pt : line)
                    poly << QPointF(x(pt.x()), yOf(axis, pt.y()));
                if (poly.size() == 1)
                    p.drawPoint(poly.front());
                else
                    p.drawPolyline(poly);
            }
        }
        // Step marks as small ticks on the temperature line, cycle marks as lines through the plot.
        p.setPen(QPen(kStepColour, layout.Mm(0.2)));
        for (const QPointF& m : markers.steps) {
            const qreal px = x(m.x()), py = yOf(ta, m.y());
            p.drawLine(QPointF(px, py - layout.Mm(1.2)), QPointF(px, py + layout.Mm(1.2)));
        }
        p.setPen(QPen(kCycleColour, layout.Mm(0.2), Qt::DashLine));
        for (const QPointF& m : markers.cycles)
            p.drawLine(QPointF(x(m.x()), plot.top()), QPointF(x(m.x()), plot.bottom()));
        p.restore();

        // Legend above the plot.
        qreal lx = plot.left();
        const qreal ly = top + fm.height() * 0.6;
        auto legend = [&](const QPen& pen, const QString& text) {
            p.setPen(pen);
            p.drawLine(QPointF(lx, ly), QPointF(lx + layout.Mm(6), ly));
            p.setPen(Qt::black);
            p.drawText(QPointF(lx + layout.Mm(7), ly + fm.ascent() / 2 - fm.descent() / 2), text);
            lx += layout.Mm(9) + fm.horizontalAdvance(text);
        };
        legend(QPen(kTempColour, layout.Mm(0.5)), QStringLiteral("Температура, °C (левая шкала)"));
        legend(QPen(kHumidityColour, layout.Mm(0.5)), QStringLiteral("Влажность, % (правая шкала)"));
        legend(QPen(kStepColour, layout.Mm(0.3)), QStringLiteral("смена шага"));
        legend(QPen(kCycleColour, layout.Mm(0.3), Qt::DashLine), QStringLiteral("смена цикла"));
    }};
}

QString BandText(int inBand, int records)
{
    if (inBand < 0)
        return QStringLiteral("—");
    return QStringLiteral("%1 мин (%2 из %3)").arg(inBand).arg(inBand).arg(records);
}

QString StatsText(const ValueStats& s)
{
    if (s.count == 0)
        return QStringLiteral("—");
    return QStringLiteral("%1 / %2 / %3").arg(Number(s.min), Number(s.max), Number(s.mean, 2));
}

QString SetPointText(const StepStats& row)
{
    if (std::isnan(row.setTemperature) && std::isnan(row.setHumidity))
        return QStringLiteral("—");
    return QStringLiteral("%1 / %2").arg(Number(row.setTemperature), Number(row.setHumidity));
}

}  // namespace

QString ReportSettingsFolder() { return QFileInfo(QSettings().fileName()).absolutePath(); }

bool WriteReportPdf(const ReportRequest& request, QString* error, ReportOutcome* outcome)
{
    const QFileInfo logInfo(request.logPath);
    // The rename at the end would put the report in the log's place.
    const QString logFile = QFileInfo(request.logPath).canonicalFilePath();
    if (!logFile.isEmpty() && QFileInfo(request.outPath).canonicalFilePath() == logFile) {
        *error = QStringLiteral("файл отчёта %1 — это сам журнал").arg(request.outPath);
        return false;
    }
    LogContents contents;
    QString sha;
    if (!ReadLogFile(request.logPath, &contents, error, &sha))
        return false;
    const QVector<LogRecord>& records = contents.records;
    if (records.isEmpty()) {
        *error = QStringLiteral("в журнале %1 нет ни одной записи").arg(logInfo.fileName());
        return false;
    }
    const RecordSpan span = RecordsInRange(records, request.fromMs, request.toMs);
    if (span.Empty()) {
        *error = QStringLiteral("в выбранном интервале нет записей (журнал: %1 — %2)")
                     .arg(Time(records.front().time), Time(records.back().time));
        return false;
    }

    const int chamber = ChamberAddressOfLogName(logInfo.fileName());
    const QString folder = logInfo.absolutePath();
    const qint64 from = records[span.first].time;
    const qint64 to = records[span.last].time;
    // Events of the minute after the last record still belong to the range.
    const qint64 eventsTo = to + 60000 - 1;
    // One read of the event file: the range's events, and the port from the
    // chamber's events up to the range's end.
    int unreadableEvents = 0;
    const QVector<AlarmFileEvent> eventsUpToEnd =
        ReadAlarmEvents(AlarmEventFileName(folder), chamber, 0, eventsTo, &unreadableEvents);
    QVector<AlarmFileEvent> events;
    QString port;
    for (const AlarmFileEvent& e : eventsUpToEnd) {
        if (!e.port.isEmpty())
            port = e.port;
        if (e.time >= from)
            events.append(e);
    }
    QStringList journalProblems;
    const QVector<JournalRecord> journal = ReadJournal(folder, chamber, from, eventsTo, &journalProblems);
    JournalRecord program;
    const bool programKnown = chamber >= 0 && LastProgramRecord(folder, chamber, to, &program);
    const QVector<StepSetPoint> setPoints = programKnown ? StepSetPointsOfProgramText(program.newValue)
                                                         : QVector<StepSetPoint>{};
    const QVector<StepStats> rows =
        StepTable(records, span, setPoints, request.temperatureBand, request.humidityBand);
    const QVector<int> damaged = DamagedLinesOfSpan(contents, span);

    // Written beside the target and renamed when whole.
    QSaveFile out(request.outPath);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("не удалось записать %1: %2").arg(request.outPath, out.errorString());
        return false;
    }
    QString number;
    const QString settings = request.settingsFolder.isEmpty() ? ReportSettingsFolder() : request.settingsFolder;
    if (!NextReportNumber(settings, chamber, QDate::currentDate(), &number, error)) {
        out.cancelWriting();
        return false;
    }

    QPdfWriter writer(&out);
    writer.setPdfVersion(QPagedPaintDevice::PdfVersion_A1b);
    writer.setResolution(600);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(18, 18, 15, 20),
                                     QPageLayout::Millimeter));
    writer.setTitle(QStringLiteral("Отчёт об испытании № %1").arg(number));
    writer.setCreator(QStringLiteral("Calvetra"));

    Layout L(writer);
    const QString login = LoginName();
    L.Title(QStringLiteral("Отчёт об испытании № %1").arg(number));
    const QString rangeText = QStringLiteral("%1 — %2").arg(Time(from), Time(to));
    QVector<QStringList> info{{QStringLiteral("Сведение"), QStringLiteral("Значение")},
                              {QStringLiteral("Камера"), chamber >= 0 ? QStringLiteral("№%1").arg(chamber)
                                                                      : QStringLiteral("не указана в имени журнала")},
                              {QStringLiteral("Порт"), port.isEmpty() ? QStringLiteral("не записан") : port},
                              {QStringLiteral("Журнал данных"), logInfo.fileName()},
                              {QStringLiteral("SHA-256 журнала"), sha},
                              {QStringLiteral("Интервал"), rangeText + (request.what.isEmpty()
                                                                            ? QString()
                                                                            : QStringLiteral(" (%1)").arg(request.what))},
                              {QStringLiteral("Записей в интервале"), QString::number(span.last - span.first + 1)},
                              {QStringLiteral("Оператор"), login},
                              {QStringLiteral("Компьютер"), QSysInfo::machineHostName()},
                              {QStringLiteral("Отчёт составлен"), Time(QDateTime::currentMSecsSinceEpoch())}};
    L.Table({0.25, 0.75}, info, L.Body());

    L.Section(QStringLiteral("Программа"));
    if (programKnown)
        L.Paragraph(QStringLiteral("Записана в камеру %1 (%2): %3").arg(program.local, program.operatorName, program.newValue),
                    L.Body());
    else
        L.Paragraph(QStringLiteral("таблица программы неизвестна"), L.Body());

    L.Section(QStringLiteral("График"));
    L.Add(ChartBlock(L, records, span));

    L.Section(QStringLiteral("Шаги и циклы"));
    QVector<QStringList> table{{QStringLiteral("Шаг (из)"), QStringLiteral("Цикл (из)"), QStringLiteral("Начало"),
                                QStringLiteral("Конец"), QStringLiteral("Длит., ч:мм"),
                                QStringLiteral("Уставка °C / %"), QStringLiteral("T мин / макс / сред, °C"),
                                QStringLiteral("RH мин / макс / сред, %"),
                                QStringLiteral("В полосе ±%1 °C").arg(Number(request.temperatureBand)),
                                QStringLiteral("В полосе ±%1 %").arg(Number(request.humidityBand))}};
    for (const StepStats& r : rows)
        table.append({r.step == 0 ? QStringLiteral("без программы") : PairText(r.step, r.steps),
                      PairText(r.cycle, r.cycles), Time(r.start), Time(r.end), Duration(r.end - r.start),
                      SetPointText(r), StatsText(r.temperature), StatsText(r.humidity),
                      BandText(r.temperatureInBand, r.temperature.count), BandText(r.humidityInBand, r.humidity.count)});
    const ValueStats allT = StatsOf(records, span, &LogRecord::currentTemp);
    const ValueStats allH = StatsOf(records, span, &LogRecord::currentHumidity);
    table.append({QStringLiteral("весь интервал"), QString(), Time(from), Time(to), Duration(to - from), QString(),
                  StatsText(allT), StatsText(allH), QString(), QString()});
    L.Table({0.09, 0.08, 0.11, 0.11, 0.07, 0.09, 0.13, 0.13, 0.095, 0.095}, table, L.Small());
    L.Space(1.5);
    L.Paragraph(
        QStringLiteral(
            "Как получены показатели: по записям журнала данных, одна запись в минуту (более частых записей "
            "журнал не хранит). Минимум, максимум и среднее арифметическое — по принятым значениям записей шага; "
            "записи без значения не учитываются. Начало — время первой записи шага, конец — время первой записи "
            "следующего шага (у последней строки — её последней записи). Время в полосе — число записей, значение "
            "которых отличается от уставки не больше чем на ширину полосы тревоги, по минуте на запись; уставки "
            "взяты из таблицы программы в журнале действий, где её нет — «—». Перерывы записи больше %1 с "
            "разрывают линию графика.")
            .arg(kGapMs / 1000),
        L.Small());

    L.Section(QStringLiteral("Тревоги и потери связи"));
    if (events.isEmpty()) {
        L.Paragraph(QStringLiteral("За интервал событий тревог нет."), L.Body());
    } else {
        QVector<QStringList> t{{QStringLiteral("Время"), QStringLiteral("Событие"), QStringLiteral("№"),
                                QStringLiteral("Вид"), QStringLiteral("Значение"), QStringLiteral("Уставка"),
                                QStringLiteral("Описание")}};
        for (const AlarmFileEvent& e : events)
            t.append({Time(e.time), e.event, e.number, e.kind, e.value, e.setPoint, e.text});
        L.Table({0.16, 0.13, 0.05, 0.14, 0.09, 0.09, 0.34}, t, L.Small());
    }
    if (unreadableEvents > 0)
        L.Paragraph(QStringLiteral("Нечитаемых строк в файле тревог: %1.").arg(unreadableEvents), L.Small());

    L.Section(QStringLiteral("Журнал действий за интервал"));
    for (const QString& problem : journalProblems)
        L.Paragraph(QStringLiteral("Цепочка журнала нарушена, записи после места нарушения не приведены: %1")
                        .arg(problem),
                    L.Body());
    if (journal.isEmpty()) {
        L.Paragraph(QStringLiteral("Записей журнала действий за интервал нет."), L.Body());
    } else {
        QVector<QStringList> t{{QStringLiteral("№"), QStringLiteral("Местное время"), QStringLiteral("Оператор"),
                                QStringLiteral("Действие"), QStringLiteral("Было"), QStringLiteral("Стало"),
                                QStringLiteral("Итог")}};
        for (const JournalRecord& j : journal)
            t.append({QString::number(j.number), j.local, j.operatorName, j.action, j.oldValue, j.newValue, j.outcome});
        L.Table({0.06, 0.15, 0.1, 0.15, 0.17, 0.25, 0.12}, t, L.Small());
    }

    L.Section(QStringLiteral("Повреждённые строки журнала данных"));
    if (damaged.isEmpty()) {
        L.Paragraph(QStringLiteral("Повреждённых строк нет."), L.Body());
    } else {
        L.Paragraph(QStringLiteral("Повреждённых строк: %1 (в расчёт не вошли). Номера строк:").arg(damaged.size()),
                    L.Body());
        // In pieces that fit a page: a badly damaged file may have thousands.
        constexpr int kPerParagraph = 300;
        for (int i = 0; i < damaged.size(); i += kPerParagraph) {
            QStringList numbers;
            for (int j = i; j < std::min<int>(damaged.size(), i + kPerParagraph); ++j)
                numbers << QString::number(damaged[j]);
            L.Paragraph(numbers.join(QStringLiteral(", ")) + (i + kPerParagraph >= damaged.size() ? u'.' : u','),
                        L.Small());
        }
    }

    L.Space(10);
    L.Paragraph(QStringLiteral("Составил: ______________________ / %1 /        Дата: ____________").arg(login),
                L.Body(), L.Mm(8));
    L.Paragraph(QStringLiteral("Проверил: ______________________ / ______________ /        Дата: ____________"),
                L.Body(), L.Mm(8));
    L.Paragraph(QStringLiteral("Конец отчёта"), L.Bold());

    // Every page: the number on top, "стр. N из M" at the foot.
    const QFont small = L.Small();
    const QFontMetricsF fm(small, &writer);
    const qreal headerHeight = fm.height() * 2;
    const qreal footerHeight = fm.height() * 2;
    const qreal pageHeight = writer.height() - headerHeight - footerHeight;
    const auto pages = L.Paginate(pageHeight);
    QPainter painter;
    if (!painter.begin(&writer)) {
        out.cancelWriting();
        *error = QStringLiteral("не удалось начать PDF %1").arg(request.outPath);
        return false;
    }
    for (int i = 0; i < pages.size(); ++i) {
        if (i > 0)
            writer.newPage();
        painter.setFont(small);
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, 0, L.Width(), fm.height()), Qt::AlignLeft,
                         QStringLiteral("Отчёт № %1 · камера %2 · %3").arg(number, chamber >= 0 ? QString::number(chamber) : QStringLiteral("—"), logInfo.fileName()));
        painter.drawLine(QPointF(0, fm.height() * 1.3), QPointF(L.Width(), fm.height() * 1.3));
        painter.drawText(QRectF(0, writer.height() - fm.height(), L.Width(), fm.height()), Qt::AlignRight,
                         QStringLiteral("стр. %1 из %2").arg(i + 1).arg(pages.size()));
        painter.drawText(QRectF(0, writer.height() - fm.height(), L.Width(), fm.height()), Qt::AlignLeft,
                         QStringLiteral("Отчёт № %1").arg(number));
        for (const auto& [block, top] : pages[i]) {
            painter.save();
            block->paint(painter, headerHeight + top);
            painter.restore();
        }
    }
    painter.end();
    if (!out.commit()) {
        *error = QStringLiteral("не удалось записать %1: %2").arg(request.outPath, out.errorString());
        return false;
    }
    if (outcome) {
        outcome->number = number;
        outcome->pages = pages.size();
        outcome->records = span.last - span.first + 1;
    }
    return true;
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

bool RunReportCommand(const QStringList& args, int* exitCode)
{
    if (!args.contains(QStringLiteral("--report")))
        return false;
    *exitCode = 2;
    ReportRequest request;
    bool haveFrom = false, haveTo = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if ((a == QStringLiteral("--report") || a == QStringLiteral("-o") || a == QStringLiteral("--from") ||
             a == QStringLiteral("--to")) &&
            !hasValue) {
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
        } else {
            Complain(QStringLiteral("неизвестный параметр %1; вызов: calvetra --report ЖУРНАЛ [--from \"ГГГГ-ММ-ДД "
                                    "ЧЧ:ММ\"] [--to \"…\"] -o ОТЧЁТ.pdf")
                         .arg(a));
            return true;
        }
    }
    if (request.outPath.isEmpty()) {
        Complain(QStringLiteral("не указан файл отчёта: -o ОТЧЁТ.pdf"));
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
    const AlarmSettings alarms = LoadAlarmSettings();
    request.temperatureBand = alarms.temperatureBand;
    request.humidityBand = alarms.humidityBand;
    QString error;
    ReportOutcome outcome;
    if (!WriteReportPdf(request, &error, &outcome)) {
        Complain(error);
        *exitCode = 1;
        return true;
    }
    std::printf("%s: отчёт № %s, страниц %d, записей %d\n", request.outPath.toLocal8Bit().constData(),
                outcome.number.toLocal8Bit().constData(), outcome.pages, outcome.records);
    *exitCode = 0;
    return true;
}
