// The trend chart: live values of the polled chamber, or a data log file read
// back; zoom, pan, reset and saving as PNG.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVector>
#include <QWidget>

#include "monitoring/LogReader.h"
#include "monitoring/TrendModel.h"

class QChart;
class QChartView;
class QDateTimeAxis;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

class TChartWindow : public QWidget {
    Q_OBJECT
public:
    explicit TChartWindow(QWidget* parent = nullptr);

    // Every status poll adds a sample; unanswered polls add a gap.
    void AddLiveSample(const TrendSample& sample);
    const TrendModel& LiveModel() const { return m_live; }

    // Shows a data log file instead of the live values. False with a message
    // when the file cannot be read; damaged records are counted, not fatal.
    bool OpenLog(const QString& path, QString* message);
    void ShowLive();
    bool ShowingLog() const { return m_showingLog; }

    // Brings the drawn lines up to date with the live points (normally done
    // right after the poll, while the window is visible).
    void SyncView();

    bool SaveChartPng(const QString& path);
    // The opened log's records (or the live points) as CSV; false with a
    // message when the log cannot be read again or the file not written.
    bool ExportCsv(const QString& path, QString* message);
    void ResetZoom();

    QChart* Chart() const { return m_chart; }
    // Number of line pieces drawn for one series (a gap starts a new one).
    int SegmentCount(TrendSeriesId id) const { return m_segments[static_cast<int>(id)].size(); }
    int MarkerCount() const;

    QPushButton* ButtonOpenLog;
    QPushButton* ButtonLive;
    QPushButton* ButtonReset;
    QPushButton* ButtonSave;
    QPushButton* ButtonExport;
    QLabel* LabelStatus;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Rebuild(const TrendModel& model);
    void ShowModel(const TrendModel& model);
    QLineSeries* NewSegment(TrendSeriesId id);
    void FitAxes(const TrendModel& model);
    void ClearView();

    TrendModel m_live;
    TrendModel m_log;
    bool m_showingLog = false;
    QString m_logPath;
    bool m_userZoomed = false;
    bool m_dirty = false;
    QTimer m_syncTimer;

    QChart* m_chart;
    QChartView* m_view;
    QDateTimeAxis* m_axisTime;
    QValueAxis* m_axisTemp;
    QValueAxis* m_axisHumidity;
    QVector<QLineSeries*> m_segments[kTrendSeriesCount];
    QScatterSeries* m_stepMarkers;
    QScatterSeries* m_cycleMarkers;

    friend class TChartView;
};

extern TChartWindow* FormChart;
