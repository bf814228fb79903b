// Where alarms meet the operator: the marker in the main window's bottom
// strip, the "Тревоги" window and desktop notifications, over the alarm
// service that keeps the rules and the event file.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>

#include "monitoring/AlarmEventLog.h"
#include "monitoring/Alarms.h"
#include "monitoring/LineOwner.h"
#include "monitoring/StatusMetrics.h"
#include "services/AlarmService.h"
#include "services/StatusBoard.h"

class QPushButton;
class QTimer;
class QWidget;
class TAlarmWindow;
struct StatusReply;

// What the marker in the bottom strip shows: its colour follows the state.
enum class AlarmMarkerState {
    Quiet,              // no alarm, nothing to acknowledge
    Alarm,              // an active alarm not yet acknowledged
    AcknowledgedAlarm,  // active alarms, all acknowledged
    Unacknowledged,     // ended alarms or notices not yet acknowledged
};
struct AlarmMarker {
    AlarmMarkerState state = AlarmMarkerState::Quiet;
    QString text;
};
AlarmMarker MarkerOf(const std::vector<Alarm>& alarms);
// The same for the alarms of every chamber, oldest first: the selected
// chamber's in its own words, a watched chamber's named by its address.
AlarmMarker MarkerOf(const std::vector<ChamberAlarm>& alarms, int selectedAddress);

// What every alarm centre made from now on notifies through: the desktop's
// notification service unless set. Test programs that are not about
// notifications put a stand-in here, so that no D-Bus thread is started.
// Null puts the desktop back.
using AlarmNotifier = std::function<bool(const QString&, const QString&, bool)>;
void SetDefaultAlarmNotifier(AlarmNotifier notifier);

// The desktop's side of the alarms: the marker, the "Тревоги" window and the
// notifications over the alarm service, and the status board the endpoint
// reads. The desktop has one line (named ""); its chambers are named by
// their address.
class TAlarmCenter : public QObject {
    Q_OBJECT
public:
    TAlarmCenter();
    ~TAlarmCenter() override;

    // The end of every status poll of the main window's chamber. The link
    // alarm comes from the polls' times.
    void AfterPoll(bool found, const StatusReply& reply);
    // Reading switched off.
    void ReadingStopped();
    // A read of a chamber watched in the overview, on its own rules with the
    // same settings. Its events go to the event file with its address and
    // the port; what could not be written comes back in *failure. Returns
    // the events.
    std::vector<AlarmEvent> AfterChamberRead(const OverviewRead& read, const QString& port, QString* failure);
    // The watchdog, on its own timer: every chamber known here (the
    // watched ones, the selected one while reading is on) that had no read
    // at all for three of its periods raises "нет опроса".
    void CheckReads();
    // A watched chamber's rules, null before its first read.
    const AlarmRules* ChamberRules(int address) const;
    // Every chamber's alarms, oldest first.
    std::vector<ChamberAlarm> AllAlarms() const;
    // One chamber's, oldest first.
    std::vector<Alarm> ChamberAlarms(int address) const;

    // Attached to a line of the recorder: the window, the marker and the
    // tiles show the recorder's alarms of that line and the lab's, and are
    // acknowledged there, under this desktop's login; this desktop raises
    // none of its own from the recorder's reads (the recorder has them).
    // Asks for them (one request at a time); the answer shows them.
    void FollowRecorderAlarms(const QString& line, bool force = false);
    void LeaveRecorderAlarms();
    bool FollowsRecorder() const { return !m_recorderLine.isEmpty(); }
    // The recorder's answer, as it comes.
    void TakeRecorderAlarms(const std::vector<ChamberAlarm>& alarms);

    // Each acknowledgement is recorded in the action journal first, with the
    // operator's comment and the alarm's chamber; one that cannot be recorded
    // is not made. The number picks the alarm of whichever chamber has it.
    void Acknowledge(int id, const QString& comment = QString());
    void AcknowledgeAll(const QString& comment = QString());

    // The lab-wide alarm "журнал действий не записывается": stands while the
    // action journal cannot be written (reason: the system's words), ends
    // when it can. Its start, end and acknowledgement go to the event file
    // once that can be written; lines that could not be are tried again at
    // every call, in order.
    void JournalWritable(bool writable, const QString& reason = QString());
    // The lab-wide alarms active or not yet acknowledged, in words; empty
    // when none. Every chamber's tile shows it.
    QString LabAlarmText() const;
    // Signing is locked for login until then: a lab-wide alarm that ends
    // with the lock, shown by the marker attached to a recorder too.
    void SigningLocked(const QString& login, qint64 untilMs);

    const AlarmSettings& Settings() const { return m_service->Settings(); }
    // New bands and delays; saved in the settings file when save is true.
    void ApplySettings(const AlarmSettings& settings, bool save);
    // The settings from the settings file; refused values are told once.
    void LoadSettings();

    // The selected chamber's rules (empty ones before its first poll).
    const AlarmRules& Rules() const;
    // The polled chamber as the endpoint shows it.
    const WatchedStatus& Watched() const { return m_board.Polled(); }

    // Deviation alarms per chamber: armed by a start the chamber confirmed
    // or by the operator, disarmed by a confirmed stop, the program's end or
    // the operator. Kept in the settings file across restarts; a chamber
    // never armed is disarmed.
    DeviationArming Arming(int address) const;
    void SetDeviationArmed(int address, bool armed, const QString& why, bool byOperator);
    // A start or a stop the chamber confirmed.
    void CommandConfirmed(int address, bool start);
    // Every chamber known here (watched, selected or with alarms), for the
    // switches of the settings dialog.
    std::vector<ChamberArming> AllArming() const;
    QString EventFileName() const;

    // The marker's text and colours as they stand.
    QString MarkerText() const;
    QPushButton* Marker() const { return m_marker; }
    // Makes the marker, a flat button that opens the alarm window.
    QPushButton* MakeMarker(QWidget* parent, const QRect& bounds);

    void ShowWindow();
    TAlarmWindow* Window() const { return m_window; }

    // Desktop notification sender; tests count the calls.
    void SetNotifier(std::function<bool(const QString&, const QString&, bool)> notifier);

    AlarmService& Service() { return *m_service; }
    StatusBoard& Board() { return m_board; }
    // The polled chamber's counts to the board and the board to the endpoint.
    void PublishSelected();

signals:
    // A chamber's alarms changed: its tile and counts follow.
    void ChamberAlarmsChanged(int address);

private:
    void Notify(int address, const std::vector<AlarmEvent>& events);
    // A failure of the event file, told to the operator.
    void TellFailure(const QString& failure);
    void ShowArming();
    void Refresh();
    qint64 Now() const;

    void AcknowledgeAtRecorder(const QJsonObject& fields);

    StatusBoard m_board;
    std::unique_ptr<AlarmService> m_service;
    QString m_recorderLine;  // empty: this desktop's own alarms
    std::vector<ChamberAlarm> m_recorderAlarms;
    bool m_recorderAlarmsAsked = false;
    bool m_recorderAlarmsKnown = false;  // an answer came since attaching
    QElapsedTimer m_recorderAlarmsFollowed;
    QString m_journalReason;  // why the journal cannot be written, for the marker's tooltip
    QPushButton* m_marker = nullptr;
    TAlarmWindow* m_window = nullptr;
    std::function<bool(const QString&, const QString&, bool)> m_notify;
};

extern TAlarmCenter* AlarmCenter;


// The hooks the main window calls; harmless when no alarm center exists.
void AlarmsAfterPoll(bool found, const StatusReply& reply);
void AlarmsReadingStopped();
// Rides on the clock's tick, twice a second: the watch of reads costs the
// process at rest no wake-up of its own, and "нет опроса" comes within half
// a second of its due time.
void AlarmsCheckReads();
QPushButton* MakeAlarmMarker(QWidget* parent, const QRect& bounds);

// Loads the alarm settings and starts the endpoint if the command line or
// the settings file asks for it. A bad address or a port in use goes to
// the error display; the program runs on without the endpoint.
void StartWatching(const QStringList& arguments);
