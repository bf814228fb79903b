#include "ui/ChartWindow.h"

#include "monitoring/LocaleText.h"
#include "monitoring/Stability.h"

#include "monitoring/StatusFields.h"
#include "ui/ScreenFit.h"

#include "ui/TrendLinesItem.h"

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

namespace {
QString LiveTitle(int chamber)
{
    return chamber < 0 ? QStringLiteral("График") : QStringLiteral("График — Камера №%1").arg(chamber);
}
}  // namespace

TChartWindow* FormChart = nullptr;

namespace {

struct SeriesLook {
    const char* label;  // the main window's field it draws; its name comes from the field table
    QColor colour;
    Qt::PenStyle style;
    bool humidity;
};

const SeriesLook kLooks[kTrendSeriesCount] = {
    {"Label5", QColor(220, 0, 0), Qt::SolidLine, false},
    {"Label18", QColor(120, 0, 0), Qt::DashLine, false},
    {"Label2", QColor(0, 128, 0), Qt::SolidLine, true},
    {"Label4", QColor(0, 70, 0), Qt::DashLine, true},
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
    BuildChart();
    m_view = new TChartView(m_chart, this);
    BuildButtons();
    ConnectButtons();
    ConnectRedraws();
    FitAxes(m_live);
}

void TChartWindow::BuildChart()
{
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
    // The lines are drawn by one item of their own; a line series without
    // points gives each its legend entry.
    m_lines = new TrendLinesItem(m_chart, m_axisTime);
    for (int i = 0; i < kTrendSeriesCount; ++i) {
        QPen pen(kLooks[i].colour);
        pen.setWidthF(1.6);
        pen.setStyle(kLooks[i].style);
        QValueAxis* axis = kLooks[i].humidity ? m_axisHumidity : m_axisTemp;
        m_legend[i] = new QLineSeries;
        m_legend[i]->setName(QString::fromUtf8(StatusFieldOfLabel(kLooks[i].label)->trendName));
        m_legend[i]->setPen(pen);
        m_chart->addSeries(m_legend[i]);
        m_legend[i]->attachAxis(m_axisTime);
        m_legend[i]->attachAxis(axis);
        m_lines->SetSeries(i, pen, axis);
    }
}

void TChartWindow::BuildButtons()
{
    ButtonOpenLog = new QPushButton(QStringLiteral("Открыть журнал…"), this);
    ButtonLive = new QPushButton(QStringLiteral("Текущие показания"), this);
    ButtonReset = new QPushButton(QStringLiteral("Сбросить масштаб"), this);
    ButtonSave = new QPushButton(QStringLiteral("Сохранить PNG…"), this);
    ButtonExport = new QPushButton(QStringLiteral("Экспорт CSV…"), this);
    ButtonReport = new QPushButton(QStringLiteral("Отчёт PDF…"), this);
    ButtonSign = new QPushButton(QStringLiteral("Подписать…"), this);
    ButtonSign->setEnabled(false);  // a report written first
    LabelStatus = new QLabel(this);
    // A long file name or damage report must not widen the window; it
    // wraps at words instead of losing its end (where a failure's reason is).
    LabelStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    LabelStatus->setWordWrap(true);
    ButtonLive->setEnabled(false);
    ButtonReport->setEnabled(false);  // a report is of a log

    auto* buttons = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{ButtonOpenLog, ButtonLive, ButtonReset, ButtonSave, ButtonExport, ButtonReport, ButtonSign})
        buttons->addWidget(w);
    buttons->addWidget(LabelStatus, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_view, 1);
    layout->addLayout(buttons);
}

void TChartWindow::ConnectButtons()
{
    connect(ButtonOpenLog, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Открыть журнал"), LogToOpen(),
                                                          QStringLiteral("Журналы (*.txt);;Все файлы (*)"));
        if (path.isEmpty())
            return;
        QString message;
        OpenLog(path, &message);
        LabelStatus->setText(message);
    });
    connect(ButtonLive, &QPushButton::clicked, this, [this] { ShowLive(); });
    connect(ButtonReport, &QPushButton::clicked, this, [this] { ReportClicked(); });
    connect(ButtonSign, &QPushButton::clicked, this, [this] { SignLastReport(); });
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
}

void TChartWindow::ConnectRedraws()
{
    m_syncTimer.setSingleShot(true);
    m_syncTimer.setInterval(0);
    connect(&m_syncTimer, &QTimer::timeout, this, [this] { SyncView(); });
    // Zoom, pan and a new size reduce the lines again for what is on screen.
    // Not at once: Qt Charts announces a zoom while it goes through the line
    // pieces, and a piece must not go away under it.
    m_redrawTimer.setSingleShot(true);
    m_redrawTimer.setInterval(0);
    connect(&m_redrawTimer, &QTimer::timeout, this, [this] { Redraw(); });
    // Until then the lines drawn move with the axes.
    connect(m_axisTime, &QDateTimeAxis::rangeChanged, this, [this] {
        FollowTimeSpan();
        m_lines->Relayout();
        if (!m_fitting)
            m_redrawTimer.start();
    });
    for (QValueAxis* axis : {m_axisTemp, m_axisHumidity})
        connect(axis, &QValueAxis::rangeChanged, this, [this] { m_lines->Relayout(); });
    connect(m_chart, &QChart::plotAreaChanged, this, [this] {
        m_lines->Relayout();
        if (CurrentView().columns != m_columns)
            m_redrawTimer.start();
    });
}

void TChartWindow::ClearView()
{
    m_lines->Clear();
    m_stepMarkers->clear();
    m_cycleMarkers->clear();
}

void TChartWindow::ShowModel(const TrendModel& model)
{
    if (!m_userZoomed)
        FitAxes(model);
    Redraw();
    m_dirty = false;
}

TrendView TChartWindow::CurrentView() const
{
    TrendView view;
    view.from = static_cast<double>(m_axisTime->min().toMSecsSinceEpoch());
    view.to = static_cast<double>(m_axisTime->max().toMSecsSinceEpoch());
    // Until the window is laid out there is no plot yet: take a wide one.
    const double width = m_chart->plotArea().width();
    view.columns = width >= 2 ? static_cast<int>(std::ceil(width)) : 1000;
    return view;
}

void TChartWindow::Redraw()
{
    m_redrawTimer.stop();
    const TrendView view = CurrentView();
    m_columns = view.columns;
    const TrendModel& model = Shown();
    for (int i = 0; i < kTrendSeriesCount; ++i)
        m_lines->SetLines(i, DecimateTrend(model, static_cast<TrendSeriesId>(i), view));
    if (m_showingLog) {
        // Half the largest marker beyond each edge still shows.
        m_stepMarkers->replace(PointsInView(m_markers.steps, view, 6));
        m_cycleMarkers->replace(PointsInView(m_markers.cycles, view, 6));
    }
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

void TChartWindow::StartLiveChamber(int address)
{
    if (address == m_liveChamber)
        return;
    if (m_liveChamber >= 0)
        m_otherChambers[m_liveChamber] = std::move(m_live);
    auto kept = m_otherChambers.find(address);
    if (kept != m_otherChambers.end()) {
        m_live = std::move(kept->second);
        m_otherChambers.erase(kept);
    } else {
        m_live = TrendModel{};
    }
    m_liveChamber = address;
    if (m_showingLog)
        return;
    setWindowTitle(LiveTitle(m_liveChamber));
    m_userZoomed = false;
    Rebuild(m_live);
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
    m_fitting = true;
    m_chart->zoomReset();
    m_fitting = false;
    ShowModel(model);
}

void TChartWindow::FitValueAxes(const TrendModel& model, double fromMs, double toMs)
{
    TrendRange temp = TrendValueRange(model, TrendSeriesId::CurrentTemp, TrendSeriesId::SetTemp, fromMs, toMs);
    TrendRange humidity =
        TrendValueRange(model, TrendSeriesId::CurrentHumidity, TrendSeriesId::SetHumidity, fromMs, toMs);
    if (temp.empty) {
        temp.min = 0;
        temp.max = 100;
    }
    if (humidity.empty) {
        humidity.min = 0;
        humidity.max = 100;
    }
    // The same values as last time, on axes nobody has moved since, leave
    // them as they are: every change of a range lays out every line piece.
    auto same = [](const TrendRange& a, const TrendRange& b) { return a.min == b.min && a.max == b.max; };
    if (!m_niceTemp.empty && same(temp, m_fittedTemp) && same(humidity, m_fittedHumidity) &&
        same(m_niceTemp, {m_axisTemp->min(), m_axisTemp->max(), false}) &&
        same(m_niceHumidity, {m_axisHumidity->min(), m_axisHumidity->max(), false}))
        return;
    m_fittedTemp = temp;
    m_fittedHumidity = humidity;
    const double tPad = std::max(1.0, (temp.max - temp.min) * 0.05);
    m_axisTemp->setRange(std::floor(temp.min - tPad), std::ceil(temp.max + tPad));
    m_axisHumidity->setRange(std::max(0.0, std::floor(humidity.min - 2)), std::ceil(humidity.max + 2));
    m_axisTemp->applyNiceNumbers();
    m_axisHumidity->applyNiceNumbers();
    m_niceTemp = {m_axisTemp->min(), m_axisTemp->max(), false};
    m_niceHumidity = {m_axisHumidity->min(), m_axisHumidity->max(), false};
}

void TChartWindow::FitAxes(const TrendModel& model)
{
    const bool fitting = m_fitting;
    m_fitting = true;
    FitValueAxes(model, -HUGE_VAL, HUGE_VAL);
    qint64 first = QDateTime::currentMSecsSinceEpoch() - 60000;
    qint64 last = first + 60000;
    if (!model.samples.empty()) {
        first = model.samples.front().time;
        last = std::max(model.samples.back().time, first + 60000);
    }
    m_axisTime->setRange(QDateTime::fromMSecsSinceEpoch(first), QDateTime::fromMSecsSinceEpoch(last));
    FollowTimeSpan();
    m_fitting = fitting;
}

void TChartWindow::FollowTimeSpan()
{
    const qint64 span = m_axisTime->max().toMSecsSinceEpoch() - m_axisTime->min().toMSecsSinceEpoch();
    const QString format = span > 24LL * 3600 * 1000 ? QStringLiteral("dd.MM HH:mm") : QStringLiteral("HH:mm:ss");
    if (m_axisTime->format() != format)
        m_axisTime->setFormat(format);
}

void TChartWindow::ZoomToTime(qint64 fromMs, qint64 toMs)
{
    if (toMs <= fromMs)
        return;
    m_userZoomed = true;
    m_fitting = true;
    m_axisTime->setRange(QDateTime::fromMSecsSinceEpoch(fromMs), QDateTime::fromMSecsSinceEpoch(toMs));
    FitValueAxes(Shown(), static_cast<double>(fromMs), static_cast<double>(toMs));
    m_fitting = false;
    Redraw();
}

bool TChartWindow::OpenLog(const QString& path, QString* message)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *message = QStringLiteral("Не удалось открыть %1: %2").arg(path, file.errorString());
        return false;
    }
    const qint64 dayStart = LogDayStart(path);
    // Read in pieces: the file is never held whole, only its records.
    LogContents contents;
    ReadLog(file, dayStart, &contents);

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
    // Markers where the step or the cycle changes, on the temperature line.
    m_markers = MarkersOfLog(contents.records);
    m_showingLog = true;
    ButtonLive->setEnabled(true);
    ButtonReport->setEnabled(true);
    m_stepMarkers->setVisible(true);
    m_cycleMarkers->setVisible(true);
    Rebuild(m_log);

    *message = QStringLiteral("%1: записей %2").arg(QFileInfo(path).fileName()).arg(contents.records.size());
    const QString mkt = Mkt30DaysText(contents.records, DecimalSeparator());
    if (!mkt.isEmpty())
        *message += QStringLiteral(", ") + mkt;
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

void TChartWindow::SetLogsToOpen(const QString& folder, const QString& file)
{
    m_logFolderToOpen = folder;
    m_logFileToOpen = file;
}

void TChartWindow::ShowLive()
{
    m_showingLog = false;
    m_markers = LogMarkers{};
    ButtonLive->setEnabled(false);
    ButtonReport->setEnabled(false);
    // Step and cycle changes are known from log files only.
    m_stepMarkers->setVisible(false);
    m_cycleMarkers->setVisible(false);
    setWindowTitle(LiveTitle(m_liveChamber));
    LabelStatus->clear();
    Rebuild(m_live);
}

void TChartWindow::ResetZoom()
{
    m_fitting = true;
    m_chart->zoomReset();
    m_userZoomed = false;
    FitAxes(Shown());
    m_fitting = false;
    Redraw();
}

bool TChartWindow::SaveChartPng(const QString& path) { return m_view->grab().save(path, "PNG"); }

int TChartWindow::MarkerCount() const { return m_stepMarkers->count() + m_cycleMarkers->count(); }

bool TChartWindow::ExportCsv(const QString& path, QString* message)
{
    QByteArray csv;
    int rows = 0;
    qsizetype damaged = 0;
    if (m_showingLog) {
        // Read again: the log may have grown since it was opened.
        QFile log(m_logPath);
        if (!log.open(QIODevice::ReadOnly)) {
            *message = QStringLiteral("Не удалось открыть %1: %2").arg(QFileInfo(m_logPath).fileName(), log.errorString());
            return false;
        }
        const qint64 dayStart = LogDayStart(m_logPath);
        LogContents contents;
        if (!ReadLog(log, dayStart, &contents)) {
            *message = QStringLiteral("Не удалось прочитать %1: %2").arg(QFileInfo(m_logPath).fileName(), log.errorString());
            return false;
        }
        csv = LogRecordsCsv(contents.records);
        rows = contents.records.size();
        damaged = contents.damagedLines.size();
    } else {
        csv = TrendSamplesCsv(m_live.samples);
        rows = static_cast<int>(m_live.samples.size());
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit()) {
        // The file's name, as in the message of success: a whole path would
        // push the reason out of the status line.
        *message = QStringLiteral("Не удалось записать %1: %2").arg(QFileInfo(path).fileName(), file.errorString());
        return false;
    }
    *message = QStringLiteral("%1: строк %2").arg(QFileInfo(path).fileName()).arg(rows);
    // The export leaves damaged lines out; the operator should know how many.
    if (damaged > 0)
        *message += QStringLiteral(", пропущено повреждённых строк %1").arg(damaged);
    return true;
}

int TChartWindow::SegmentCount(TrendSeriesId id) const
{
    return static_cast<int>(m_lines->Lines(static_cast<int>(id)).size());
}

int TChartWindow::PointCount(TrendSeriesId id) const
{
    int n = 0;
    for (const TrendLine& line : m_lines->Lines(static_cast<int>(id)))
        n += static_cast<int>(line.size());
    return n;
}
