// The trend chart: live values of the polled chamber, or a data log file read
// back; zoom, pan, reset and saving as PNG.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVector>
#include <QWidget>

#include "ui/ReportSigning.h"

#include <map>

#include "monitoring/LogReader.h"
#include "monitoring/TrendDecimation.h"
#include "monitoring/TrendModel.h"

class QChart;
class QChartView;
class QDateTimeAxis;
class QLineSeries;
class QScatterSeries;
class QValueAxis;
class TrendLinesItem;

class TChartWindow : public QWidget {
    Q_OBJECT
public:
    explicit TChartWindow(QWidget* parent = nullptr);

    // Every status poll adds a sample; unanswered polls add a gap.
    void AddLiveSample(const TrendSample& sample);
    const TrendModel& LiveModel() const { return m_live; }
    // The live values from now on are of this chamber: each chamber has a
    // series of its own, kept while another one is polled.
    void StartLiveChamber(int address);
    int LiveChamber() const { return m_liveChamber; }

    // Shows a data log file instead of the live values. False with a message
    // when the file cannot be read; damaged records are counted, not fatal.
    bool OpenLog(const QString& path, QString* message);
    void ShowLive();
    bool ShowingLog() const { return m_showingLog; }
    // Where "Открыть журнал…" starts: the recorder's folder of the line and
    // the selected chamber's log while attached to it; empty: the current
    // folder, as always.
    void SetLogsToOpen(const QString& folder, const QString& file = QString());
    QString LogToOpen() const { return m_logFileToOpen.isEmpty() ? m_logFolderToOpen : m_logFileToOpen; }

    // Brings the drawn lines up to date with the live points (normally done
    // right after the poll, while the window is visible).
    void SyncView();

    bool SaveChartPng(const QString& path);
    // The opened log's records (or the live points) as CSV; false with a
    // message when the log cannot be read again or the file not written.
    bool ExportCsv(const QString& path, QString* message);
    void ResetZoom();
    // Shows [fromMs, toMs] of the time axis, the value axes fitted to the
    // values in it.
    void ZoomToTime(qint64 fromMs, qint64 toMs);

    // The report's choices for the log shown: the range in view first, then
    // every program run found in the log, then the stability report of the
    // range in view. Empty when no log is shown.
    QStringList ReportChoices(QString* message);
    // Whether the choice (an index into ReportChoices) is the stability report.
    bool IsStabilityChoice(int choice) const { return choice == m_reportRuns.size() + 1; }
    // The stability report of the range in view against the condition, and
    // its CSV when csvPath is given; journalled with its SHA-256.
    bool WriteStabilityReport(const QString& path, const StabilityCondition& condition, qint64 delayMs,
                              QString* message);
    // Writes the report of choice (an index into ReportChoices) to path,
    // and journals it with its SHA-256.
    bool WriteReport(int choice, const QString& path, QString* message);
    // The report written last (its number empty before any).
    const WrittenReport& LastReport() const { return m_lastReport; }
    // "Подписать…" on it: the signature dialog; false when not signed.
    bool SignLastReport();
    // The dialog's answer, for tests that do not open it.
    bool SignLastReportAs(const QString& login, SignatureMeaning meaning, const QString& password, QString* message);

    QChart* Chart() const { return m_chart; }
    // Number of line pieces drawn for one series (a gap starts a new one).
    int SegmentCount(TrendSeriesId id) const;
    int MarkerCount() const;
    // Points handed to the chart for one series, all its pieces together.
    int PointCount(TrendSeriesId id) const;

    QPushButton* ButtonOpenLog;
    QPushButton* ButtonLive;
    QPushButton* ButtonReset;
    QPushButton* ButtonSave;
    QPushButton* ButtonExport;
    QPushButton* ButtonReport;
    QPushButton* ButtonSign;  // "Подписать…": the report written last
    QLabel* LabelStatus;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The parts the constructor is made of.
    void BuildChart();
    void BuildButtons();
    void ConnectButtons();
    void ConnectRedraws();
    void Rebuild(const TrendModel& model);
    void ShowModel(const TrendModel& model);
    void FitAxes(const TrendModel& model);
    void FitValueAxes(const TrendModel& model, double fromMs, double toMs);
    void FollowTimeSpan();
    void ClearView();
    // The lines and markers again, reduced for the stretch on screen.
    void Redraw();
    TrendView CurrentView() const;
    void ReportClicked();
    QString m_logFolderToOpen;
    QString m_logFileToOpen;
    WrittenReport m_lastReport;
    const TrendModel& Shown() const { return m_showingLog ? m_log : m_live; }

    TrendModel m_live;
    int m_liveChamber = -1;
    std::map<int, TrendModel> m_otherChambers;  // their series, by address
    TrendModel m_log;
    bool m_showingLog = false;
    QString m_logPath;
    bool m_userZoomed = false;
    bool m_dirty = false;
    bool m_fitting = false;  // axes being set together: one redraw after
    int m_columns = 0;       // plot width the lines were reduced for
    LogMarkers m_markers;    // of the open log, all of them
    // The runs offered by the last ReportChoices, with their times.
    struct RunChoice {
        qint64 from, to;
        int program;
    };
    QVector<RunChoice> m_reportRuns;
    QTimer m_syncTimer;
    QTimer m_redrawTimer;    // after a zoom or pan, once Qt Charts is done with it
    // What the value axes were last fitted to, and the ranges that gave.
    TrendRange m_fittedTemp, m_fittedHumidity, m_niceTemp, m_niceHumidity;

    QChart* m_chart;
    QChartView* m_view;
    QDateTimeAxis* m_axisTime;
    QValueAxis* m_axisTemp;
    QValueAxis* m_axisHumidity;
    QLineSeries* m_legend[kTrendSeriesCount];  // no points: the legend's entries
    TrendLinesItem* m_lines;
    QScatterSeries* m_stepMarkers;
    QScatterSeries* m_cycleMarkers;

    friend class TChartView;
};

extern TChartWindow* FormChart;
