// The main window: port choice, device scan, chamber list, reading and log
// switches, the status value fields, a clock and the version label.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QElapsedTimer>
#include <QMap>
#include <QSet>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <array>

#include "monitoring/ChamberLog.h"
#include "monitoring/PortList.h"
#include "monitoring/StatusFields.h"
#include "services/RecorderClient.h"
#include "ui/ActivityIndicator.h"
#include "ui/PortComboBox.h"

struct StatusReply;
struct OverviewRead;

// The index of the selected list entry, -1 when none is. A current entry
// that the operator has deselected (Ctrl+click) does not count.
int SelectedEntryIndex(const QListWidget& list);

class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Port group
    QLabel* Label21;
    TPortComboBox* ComboBox1;
    QPushButton* Button5;
    QLabel* LabelPort;  // the open port's state: an adapter pulled out, back again
    // Scan group
    QLabel* Label22;
    QPushButton* Button4;
    QPushButton* Button1;
    QProgressBar* ProgressBar1;
    QLabel* Label26;
    // "Поиск завершён" while a completed scan waits for "Пуск"; made at the
    // first completion (ShowScanState).
    QLabel* LabelScanDone = nullptr;
    QLabel* Panel11;
    QListWidget* ListBox1;
    QPushButton* Button6;
    QPushButton* Button2;
    QCheckBox* CheckBox1;
    // Temperature and humidity
    QLabel* Label23;
    TActivityIndicator* ActivityIndicator1;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label2;
    QLabel* Panel2;
    QLabel* Label18;
    QLabel* Label7;
    QLabel* Label4;
    QLabel* Panel3;
    // Times
    QLabel* Label24;
    TActivityIndicator* ActivityIndicator2;
    QLabel* Label15;
    QLabel* Panel4;
    QLabel* Label11;
    QLabel* Panel9;
    QLabel* Label3;
    QLabel* Panel10;
    QLabel* Label19;
    QLabel* Panel5;
    // Thermocycling
    QLabel* Label25;
    TActivityIndicator* ActivityIndicator3;
    QLabel* Label13;
    QLabel* Panel6;
    QLabel* Label17;
    QLabel* Panel7;
    QLabel* Label20;
    QLabel* Panel8;
    // Bottom line
    QLabel* Label1;
    QLabel* Label8;
    QPushButton* ButtonChart;  // "График": the trend chart window
    QPushButton* AlarmMarker;  // alarm state; opens the "Тревоги" window
    QPushButton* ButtonMonitor;  // "Монитор линии"
    QPushButton* ButtonJournal;  // "Журнал действий"
    QLabel* LabelJournal;        // a broken journal chain found at start
    QPushButton* ButtonOverview;  // "Обзор камер"

    QTimer* Timer1;  // status poll, 4000 ms
    QTimer* Timer2;  // clock, 500 ms
    QTimer* Timer4;  // log append, 60000 ms
    QTimer* Timer5;  // scan probe, 100 ms
    QTimer* Timer6;  // log header, 5000 ms once
    QTimer* TimerPort;  // while reading, waits for a pulled adapter to come back
    // Attached to a recorder's line: asks for its reads every second, so that
    // each of the chamber's 4 s reads shows as soon as it is made.
    QTimer* TimerRecorder;
    // Where the recorder keeps the selected chamber's log, while attached.
    QLabel* LabelRecorderLog = nullptr;

    // 1 while periodic reading is on.
    int ReadingActive = 0;

    // Starting a timer that already runs must not restart its period
    // (QTimer::start() would).
    static void EnableTimer(QTimer* timer);

    // Event handlers, each run through the error display.
    void FormCreate();
    void FormClose();
    void ComboBox1Change();
    void Button5Click();
    void Button4Click();
    void Button1Click();
    void ListBox1Click();
    void Timer5Timer();
    void Button6Click();
    void Timer1Timer();
    void CheckBox1Click();
    void Timer6Timer();
    void Timer4Timer();
    void Button2Click();
    void Timer2Timer();
    void ButtonChartClick();
    void ButtonMonitorClick();
    void ButtonJournalClick();
    // The start-up check's words on a broken journal; empty hides the label.
    void ShowJournalState(const QString& message);
    void TimerPortTimer();
    void ButtonOverviewClick();
    // Picks the chamber in the list as a click on its entry does; an address
    // not listed yet gets its entry first.
    void SelectChamber(int address);

    // Routines behind the handlers.
    void ShowClock();
    // False when the adapter was gone: the address is to be probed again.
    bool ProbeAddress(int address);
    // Says "Поиск завершён" beside the button while the scan is complete.
    void ShowScanState();
    void ReadStatus();
    // True while the overview reads the line: the selected chamber is then
    // read by its scheduler and shown here through TakeSelectedRead.
    bool OverviewReadsLine() const;
    // The overview's read of the selected chamber, shown as a poll's.
    void TakeSelectedRead(const OverviewRead& read);
    // What a poll leaves in the window, the log line, the chart and the
    // alarms; linkLost: the chamber has not answered for the poll's 20
    // attempts (the link-loss window shows).
    void ShowPollResult(bool found, const StatusReply& reply, bool linkLost);
    // Another chamber picked since the last poll: the log of the old one ends
    // and one of the new one begins, the chart starts the new one's series.
    void FollowSelection(int previous);
    // Tells the line when Timer1 falls due next (or that it does not).
    void ExpectPollTick();
    void ShowStatus(const StatusReply& reply);
    void ShowIdleTexts();
    void StartLogFileName();
    void AppendLogLine();
    // The header into LogFileName, which the log follows; throws EInOutError
    // when it is not written.
    void WriteLogHeader();
    // Hands the poll's values (or its gap) to the trend chart.
    void RecordTrend(const StatusReply& reply);
    // COM1..COM5 and the devices present now; the selection stays on its entry.
    void RefreshPortList();
    // True from the moment the open port's adapter is gone until it is open again.
    bool PortGone() const { return m_portGone; }
    // The recorder's lines in the port list, after the devices.
    void RefreshRecorderEntries();
    // True while the window follows a recorder's line instead of a port.
    bool AttachedToRecorder() const { return !m_recorderLine.isEmpty(); }
    QString RecorderLine() const { return m_recorderLine; }
    // "Открыть" on a recorder's line: the chamber list becomes its chambers.
    void AttachRecorderLine(const RecorderLineInfo& line);
    void DetachRecorder();
    // One ask for the line's reads; the selected chamber's new read, if any,
    // shows as a poll's.
    void FollowRecorder();
    void ShowRecorderStatus(const RecorderStatus& status);
    // While the overview shows: the reads and alarms of the recorder's other
    // lines, for their groups of tiles.
    void FollowOtherLines();
    // A tile of another line picked: the window attaches to that line and
    // selects the chamber, reading on if it read.
    void PickLineChamber(const QString& line, int address);
    // "Пуск" while attached: the recorder scans its line.
    void RecorderScan();
    void RecorderAvailable(bool available, const QString& why);
    // The port "Открыть" opened last as the operator knows it ("COM1", or a
    // device's entry), whatever the drop-down shows since; empty before.
    QString OpenPortName() const { return QString::fromStdString(m_openPortName); }

signals:
    // The scan found a chamber (the overview watches it from then on).
    void ChamberFound(int address);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The value labels in the order of the status field table.
    std::array<QLabel*, kStatusFieldCount> m_fieldLabels{};
    void Connect();
    void ShowPortState(const QString& text, bool bad);

    QVector<PortEntry> m_portEntries;
    QVector<RecorderLineInfo> m_recorderLines;  // entries after m_portEntries
    QString m_recorderLine;      // the line followed, empty when not attached
    qint64 m_shownReadMs = -1;   // the recorder's read last shown
    int m_shownReadAddress = -1;
    QMap<int, qint64> m_tileReadMs;  // per chamber, the recorder's read last on its tile
    bool m_statusAsked = false;  // an ask for the reads is on its way
    // The other lines: asks on their way, and each chamber's read last shown.
    QSet<QString> m_otherAsked;
    bool m_otherAlarmsAsked = false;
    QElapsedTimer m_otherFollowed;
    QMap<QString, QMap<int, qint64>> m_otherReadMs;
    bool m_scanAsked = false;
    std::string m_openPortName;  // what "Открыть" opened last, for a re-open
    std::string m_openDevicePath;
    bool m_portGone = false;
    int m_polledAddress = -1;  // the chamber the last poll was of, -1 before any
    // The selected chamber's last answer (or the start of its reading) while
    // the overview reads it: the link-loss window after the poll's 16 s.
    qint64 m_selectedAnsweredMs = 0;
    QString m_missingPort;  // the remembered choice, not plugged in at start
    // The writer of "Запись в файл"; LogFileName, LogLine and LogLineAnswered
    // say what it writes, and where.
    ChamberLog m_log{LogWriter::MainWindow, 0};
};

extern TForm1* Form1;
