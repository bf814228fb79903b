#include "ui/ChartWindow.h"
#include "ui/ScreenFit.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QHBoxLayout>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QScatterSeries>
#include <QValueAxis>
#include <QVBoxLayout>
#include <algorithm>

#include "monitoring/CsvExport.h"

TChartWindow* FormChart = nullptr;

namespace {

struct SeriesLook {
    const char* name;
    QColor colour;
    Qt::PenStyle style;
    bool humidity;
};

const SeriesLook kLooks[kTrendSeriesCount] = {
    {"Текущая температура, °C", QColor(220, 0, 0), Qt::SolidLine, false},
    {"Заданная температура, °C", QColor(120, 0, 0), Qt::DashLine, false},
    {"Текущая влажность, %", QColor(0, 128, 0), Qt::SolidLine, true},
    {"Заданная влажность, %", QColor(0, 70, 0), Qt::DashLine, true},
};

}  // namespace

// Wheel zooms about the pointer's axis range, right-button drag pans; the
// rubber band of the left button zooms into a rectangle.
class TChartView : public QChartView {
public:
    TChartView(QChart* chart, TChartWindow* owner) : QChartView(chart), m_owner(owner)
    {
        setRubberBand(QChartView::RectangleRubberBand);
        setRenderHint(QPainter::Antialiasing);
    }

protected:
    void wheelEvent(QWheelEvent* event) override
    {
        chart()->zoom(event->angleDelta().y() > 0 ? 1.25 : 0.8);
        m_owner->m_userZoomed = true;
        event->accept();
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::RightButton) {
            m_panFrom = event->position();
            m_panning = true;
            event->accept();
            return;
        }
        QChartView::mousePressEvent(event);
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (m_panning) {
            const QPointF delta = event->position() - m_panFrom;
            chart()->scroll(-delta.x(), delta.y());
            m_panFrom = event->position();
            m_owner->m_userZoomed = true;
            event->accept();
            return;
        }
        QChartView::mouseMoveEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::RightButton && m_panning) {
            m_panning = false;
            event->accept();
            return;
        }
        if (event->button() == Qt::LeftButton)
            m_owner->m_userZoomed = true;
        QChartView::mouseReleaseEvent(event);
    }

private:
    TChartWindow* m_owner;
    QPointF m_panFrom;
    bool m_panning = false;
};

TChartWindow::TChartWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("График"));
    PlaceWindow(this, {1000, 600}, std::nullopt);

    m_chart = new QChart;
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_axisTime = new QDateTimeAxis;
    m_axisTime->setFormat(QStringLiteral("HH:mm:ss"));
    m_axisTime->setTitleText(QStringLiteral("Время"));
    m_axisTemp = new QValueAxis;
    m_axisTemp->setTitleText(QStringLiteral("Температура, °C"));
    m_axisHumidity = new QValueAxis;
    m_axisHumidity->setTitleText(QStringLiteral("Влажность, %"));
    m_chart->addAxis(m_axisTime, Qt::AlignBottom);
    m_chart->addAxis(m_axisTemp, Qt::AlignLeft);
    m_chart->addAxis(m_axisHumidity, Qt::AlignRight);

    m_stepMarkers = new QScatterSeries;
    m_stepMarkers->setName(QStringLiteral("Смена шага"));
    m_stepMarkers->setMarkerSize(9);
    m_stepMarkers->setColor(QColor(0, 90, 200));
    m_cycleMarkers = new QScatterSeries;
    m_cycleMarkers->setName(QStringLiteral("Смена цикла"));
    m_cycleMarkers->setMarkerShape(QScatterSeries::MarkerShapeRectangle);
    m_cycleMarkers->setMarkerSize(11);
    m_cycleMarkers->setColor(QColor(230, 140, 0));
    for (QScatterSeries* markers : {m_stepMarkers, m_cycleMarkers}) {
        m_chart->addSeries(markers);
        markers->attachAxis(m_axisTime);
        markers->attachAxis(m_axisTemp);
        markers->setVisible(false);  // shown with a log file
    }
    // The first segment of each series carries its legend entry.
    for (int i = 0; i < kTrendSeriesCount; ++i)
        NewSegment(static_cast<TrendSeriesId>(i));

    m_view = new TChartView(m_chart, this);

    ButtonOpenLog = new QPushButton(QStringLiteral("Открыть журнал…"), this);
    ButtonLive = new QPushButton(QStringLiteral("Текущие показания"), this);
    ButtonReset = new QPushButton(QStringLiteral("Сбросить масштаб"), this);
    ButtonSave = new QPushButton(QStringLiteral("Сохранить PNG…"), this);
    ButtonExport = new QPushButton(QStringLiteral("Экспорт CSV…"), this);
    LabelStatus = new QLabel(this);
    // A long file name or damage report must not widen the window.
    LabelStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ButtonLive->setEnabled(false);

    auto* buttons = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{ButtonOpenLog, ButtonLive, ButtonReset, ButtonSave, ButtonExport})
        buttons->addWidget(w);
    buttons->addWidget(LabelStatus, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view, 1);
    layout->addLayout(buttons);

    connect(ButtonOpenLog, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Открыть журнал"), QString(),
                                                          QStringLiteral("Журналы (*.txt);;Все файлы (*)"));
        if (path.isEmpty())
            return;
        QString message;
        OpenLog(path, &message);
        LabelStatus->setText(message);
    });
    connect(ButtonLive, &QPushButton::clicked, this, [this] { ShowLive(); });
    connect(ButtonReset, &QPushButton::clicked, this, [this] { ResetZoom(); });
    connect(ButtonSave, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Сохранить график"),
                                                          QStringLiteral("график.png"),
                                                          QStringLiteral("PNG (*.png)"));
        if (!path.isEmpty() && !SaveChartPng(path))
            LabelStatus->setText(QStringLiteral("Не удалось сохранить %1").arg(path));
    });
    connect(ButtonExport, &QPushButton::clicked, this, [this] {
        const QString suggested = m_showingLog ? QFileInfo(m_logPath).completeBaseName() + QStringLiteral(".csv")
                                               : QStringLiteral("показания.csv");
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Экспорт CSV"), suggested,
                                                          QStringLiteral("CSV (*.csv)"));
        QString message;
        if (!path.isEmpty()) {
            ExportCsv(path, &message);
            LabelStatus->setText(message);
        }
    });
    m_syncTimer.setSingleShot(true);
    m_syncTimer.setInterval(0);
    connect(&m_syncTimer, &QTimer::timeout, this, [this] { SyncView(); });
    FitAxes(m_live);
}

QLineSeries* TChartWindow::NewSegment(TrendSeriesId id)
{
    const int i = static_cast<int>(id);
    auto* series = new QLineSeries;
    series->setName(QString::fromUtf8(kLooks[i].name));
    QPen pen(kLooks[i].colour);
    pen.setWidthF(1.6);
    pen.setStyle(kLooks[i].style);
    series->setPen(pen);
    m_chart->addSeries(series);
    series->attachAxis(m_axisTime);
    series->attachAxis(kLooks[i].humidity ? m_axisHumidity : m_axisTemp);
    if (!m_segments[i].isEmpty()) {
        // Later pieces of the same line share the first one's legend entry.
        const auto markers = m_chart->legend()->markers(series);
        for (auto* marker : markers)
            marker->setVisible(false);
    }
    m_segments[i].push_back(series);
    return series;
}

void TChartWindow::ClearView()
{
    for (int i = 0; i < kTrendSeriesCount; ++i) {
        while (m_segments[i].size() > 1) {
            QLineSeries* series = m_segments[i].takeLast();
            m_chart->removeSeries(series);
            delete series;
        }
        m_segments[i].first()->clear();
    }
    m_stepMarkers->clear();
    m_cycleMarkers->clear();
}

void TChartWindow::ShowModel(const TrendModel& model)
{
    // Each run of values is a line piece of its own, so a gap stays a gap.
    // The points are handed over in one piece per line: Qt Charts lays out
    // all points of a series on every change, so adding them one by one would
    // cost the whole series each time.
    for (int i = 0; i < kTrendSeriesCount; ++i) {
        const auto id = static_cast<TrendSeriesId>(i);
        const QVector<TrendRun> runs = TrendRuns(model, id);
        while (m_segments[i].size() < std::max<qsizetype>(1, runs.size()))
            NewSegment(id);
        while (m_segments[i].size() > std::max<qsizetype>(1, runs.size())) {
            QLineSeries* series = m_segments[i].takeLast();
            m_chart->removeSeries(series);
            delete series;
        }
        if (runs.isEmpty())
            m_segments[i].first()->clear();
        for (int r = 0; r < runs.size(); ++r) {
            QList<QPointF> points;
            points.reserve(static_cast<qsizetype>(runs[r].count));
            for (size_t k = runs[r].first; k < runs[r].first + runs[r].count; ++k)
                points.append(QPointF(static_cast<qreal>(model.samples[k].time), TrendValue(model.samples[k], id)));
            m_segments[i][r]->replace(points);
        }
    }
    if (!m_userZoomed)
        FitAxes(model);
    m_dirty = false;
}

void TChartWindow::AddLiveSample(const TrendSample& sample)
{
    AddTrendSample(m_live, sample);
    if (m_showingLog)
        return;
    // Drawn once the poll is over and only while the window is on screen,
    // so that a day of points never slows the poll down.
    m_dirty = true;
    if (isVisible() && !m_syncTimer.isActive())
        m_syncTimer.start();
}

void TChartWindow::SyncView()
{
    if (m_dirty && !m_showingLog)
        ShowModel(m_live);
}

void TChartWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    SyncView();
}

void TChartWindow::Rebuild(const TrendModel& model)
{
    ClearView();
    m_userZoomed = false;
    m_chart->zoomReset();
    ShowModel(model);
}

void TChartWindow::FitAxes(const TrendModel& model)
{
    double tMin = 1e300, tMax = -1e300, hMin = 1e300, hMax = -1e300;
    for (const TrendSample& s : model.samples) {
        if (!s.answered)
            continue;
        for (double v : {s.currentTemp, s.setTemp})
            if (!std::isnan(v)) {
                tMin = std::min(tMin, v);
                tMax = std::max(tMax, v);
            }
        for (double v : {s.currentHumidity, s.setHumidity})
            if (!std::isnan(v)) {
                hMin = std::min(hMin, v);
                hMax = std::max(hMax, v);
            }
    }
    if (tMin > tMax) {
        tMin = 0;
        tMax = 100;
    }
    if (hMin > hMax) {
        hMin = 0;
        hMax = 100;
    }
    const double tPad = std::max(1.0, (tMax - tMin) * 0.05);
    m_axisTemp->setRange(std::floor(tMin - tPad), std::ceil(tMax + tPad));
    m_axisHumidity->setRange(std::max(0.0, std::floor(hMin - 2)), std::ceil(hMax + 2));
    m_axisTemp->applyNiceNumbers();
    m_axisHumidity->applyNiceNumbers();

    qint64 first = QDateTime::currentMSecsSinceEpoch() - 60000;
    qint64 last = first + 60000;
    if (!model.samples.empty()) {
        first = model.samples.front().time;
        last = std::max(model.samples.back().time, first + 60000);
    }
    m_axisTime->setRange(QDateTime::fromMSecsSinceEpoch(first), QDateTime::fromMSecsSinceEpoch(last));
    m_axisTime->setFormat(last - first > 24LL * 3600 * 1000 ? QStringLiteral("dd.MM HH:mm")
                                                             : QStringLiteral("HH:mm:ss"));
}

bool TChartWindow::OpenLog(const QString& path, QString* message)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *message = QStringLiteral("Не удалось открыть %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    qint64 dayStart = DayStartFromLogName(QFileInfo(path).fileName());
    if (dayStart < 0)
        dayStart = QDateTime(QFileInfo(path).lastModified().date(), QTime(0, 0)).toMSecsSinceEpoch();
    const LogContents contents = ParseLog(bytes, dayStart);

    m_logPath = path;
    m_log = TrendModel{};
    m_log.capacity = static_cast<size_t>(contents.records.size()) + 1;
    for (const LogRecord& r : contents.records) {
        TrendSample s;
        s.time = r.time;
        s.answered = true;
        s.currentTemp = r.currentTemp;
        s.currentHumidity = r.currentHumidity;
        AddTrendSample(m_log, s);
    }
    m_showingLog = true;
    ButtonLive->setEnabled(true);
    m_stepMarkers->setVisible(true);
    m_cycleMarkers->setVisible(true);
    Rebuild(m_log);

    // Markers where the step or the cycle changes, on the temperature line.
    for (int i = 1; i < contents.records.size(); ++i) {
        const LogRecord& a = contents.records[i - 1];
        const LogRecord& b = contents.records[i];
        const double y = std::isnan(b.currentTemp) ? 0.0 : b.currentTemp;
        if (b.cycle != a.cycle || b.cycles != a.cycles)
            m_cycleMarkers->append(static_cast<qreal>(b.time), y);
        else if (b.step != a.step || b.steps != a.steps)
            m_stepMarkers->append(static_cast<qreal>(b.time), y);
    }

    *message = QStringLiteral("%1: записей %2").arg(QFileInfo(path).fileName()).arg(contents.records.size());
    if (!contents.damagedLines.isEmpty()) {
        QStringList lines;
        for (int i = 0; i < std::min<int>(5, contents.damagedLines.size()); ++i)
            lines << QString::number(contents.damagedLines[i]);
        *message += QStringLiteral(", повреждённых строк %1 (строки %2%3)")
                        .arg(contents.damagedLines.size())
                        .arg(lines.join(QStringLiteral(", ")))
                        .arg(contents.damagedLines.size() > 5 ? QStringLiteral(", …") : QString());
    }
    LabelStatus->setText(*message);
    setWindowTitle(QStringLiteral("График — %1").arg(QFileInfo(path).fileName()));
    return true;
}

void TChartWindow::ShowLive()
{
    m_showingLog = false;
    ButtonLive->setEnabled(false);
    // Step and cycle changes are known from log files only.
    m_stepMarkers->setVisible(false);
    m_cycleMarkers->setVisible(false);
    setWindowTitle(QStringLiteral("График"));
    LabelStatus->clear();
    Rebuild(m_live);
}

void TChartWindow::ResetZoom()
{
    m_chart->zoomReset();
    m_userZoomed = false;
    FitAxes(m_showingLog ? m_log : m_live);
}

bool TChartWindow::SaveChartPng(const QString& path) { return m_view->grab().save(path, "PNG"); }

int TChartWindow::MarkerCount() const { return m_stepMarkers->count() + m_cycleMarkers->count(); }

bool TChartWindow::ExportCsv(const QString& path, QString* message)
{
    QByteArray csv;
    int rows = 0;
    if (m_showingLog) {
        // Read again: the log may have grown since it was opened.
        QFile log(m_logPath);
        if (!log.open(QIODevice::ReadOnly)) {
            *message = QStringLiteral("Не удалось открыть %1: %2").arg(m_logPath, log.errorString());
            return false;
        }
        qint64 dayStart = DayStartFromLogName(QFileInfo(m_logPath).fileName());
        if (dayStart < 0)
            dayStart = QDateTime(QFileInfo(m_logPath).lastModified().date(), QTime(0, 0)).toMSecsSinceEpoch();
        const LogContents contents = ParseLog(log.readAll(), dayStart);
        csv = LogRecordsCsv(contents.records);
        rows = contents.records.size();
    } else {
        csv = TrendSamplesCsv(m_live.samples);
        rows = static_cast<int>(m_live.samples.size());
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit()) {
        *message = QStringLiteral("Не удалось записать %1: %2").arg(path, file.errorString());
        return false;
    }
    *message = QStringLiteral("%1: строк %2").arg(QFileInfo(path).fileName()).arg(rows);
    return true;
}
