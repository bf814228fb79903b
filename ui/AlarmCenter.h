// Where alarms meet the operator: the rules fed by every poll, the marker in
// the main window's bottom strip, the "Тревоги" window, desktop
// notifications, the event file, and the status handed to the endpoint.
#pragma once

#include <QObject>
#include <QRect>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>

#include "monitoring/AlarmEventLog.h"
#include "monitoring/Alarms.h"
#include "monitoring/StatusMetrics.h"

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

class TAlarmCenter : public QObject {
    Q_OBJECT
public:
    TAlarmCenter();
    ~TAlarmCenter() override;

    // The end of every status poll. linkWindowOpen: the link-loss window is
    // showing after this poll.
    void AfterPoll(bool found, const StatusReply& reply, bool linkWindowOpen);
    // Reading switched off.
    void ReadingStopped();
    // A read of a chamber watched in the overview, on its own rules with the
    // same settings; silent: it has stopped answering. Its events go to the
    // event file with its address and the port; what could not be written
    // comes back in *failure. Returns the events.
    std::vector<AlarmEvent> AfterChamberRead(int address, const QString& port, const StatusReply& reply, bool silent,
                                             QString* failure);
    // The watchdog, on its own timer: every chamber known here (the
    // watched ones, the selected one while reading is on) that had no read
    // at all for three of its periods raises "нет опроса".
    void CheckReads();
    // A watched chamber's rules, null before its first read.
    const AlarmRules* ChamberRules(int address) const;
    // Every chamber's alarms, oldest first, the selected chamber's with the
    // address it had when each started.
    std::vector<ChamberAlarm> AllAlarms() const;

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

    const AlarmSettings& Settings() const { return m_settings.Settings(); }
    // New bands and delays; saved in the settings file when save is true.
    void ApplySettings(const AlarmSettings& settings, bool save);

    // The selected chamber's rules (empty ones before its first poll).
    const AlarmRules& Rules() const;
    const WatchedStatus& Watched() const { return m_watched; }

    // Deviation alarms per chamber: armed by a start the chamber confirmed
    // or by the operator, disarmed by a confirmed stop, the program's end or
    // the operator. Kept in the settings file across restarts; a chamber
    // never armed is disarmed.
    DeviationArming Arming(int address) const;
    // Each change is journalled first. The operator's change (byOperator) is
    // refused, as an alarm setting is, when the journal refuses it; one that
    // follows from the chamber is made all the same.
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

signals:
    // A watched chamber's alarms changed other than by its read (an
    // acknowledgement, new settings): its tile and counts follow.
    void ChamberAlarmsChanged(int address);

private:
    struct ChamberAlarmRules {
        AlarmRules rules;
        QString port;
    };
    // The selected chamber's events from its poll: counted for the endpoint,
    // notified, written.
    void Handle(const std::vector<AlarmEvent>& events);
    // A chamber's events other than from its poll (an acknowledgement, new
    // settings, reading stopped).
    void HandleChamber(int address, const std::vector<AlarmEvent>& events);
    // The selected chamber's alarm counts for the endpoint.
    void PublishSelected();
    // A chamber's rules, made on first use with the settings in force.
    AlarmRules& RulesFor(int address);
    // Into the event file, each line with the place its alarm started
    // (current: the place of an alarm starting now); the first failure.
    QString Record(const std::vector<AlarmEvent>& events, const AlarmPlace& current);
    void ForgetEndedPlaces();
    // The rules that keep alarm id and the chamber they belong to; null when
    // none does.
    AlarmRules* RulesOf(int id, int* chamber);
    int AddressOf(int id) const;
    // A lab-wide alarm's acknowledgement; false when id is not one.
    bool AcknowledgeLab(int id, const QString& comment, qint64 now);
    void RecordLab(const AlarmEvent& event);
    void LabAlarmsChanged();
    void Refresh();
    AlarmPlace Place() const;
    qint64 Now() const;

    // One counter for every chamber's rules: an alarm's number names it alone
    // in the window and in the event file.
    std::shared_ptr<int> m_nextId = std::make_shared<int>(1);
    // The settings in force; never fed. A chamber's rules start from them.
    AlarmRules m_settings;
    WatchedStatus m_watched;
    // One alarm state per chamber, whoever reads it: the main window's poll
    // or the overview.
    std::map<int, ChamberAlarmRules> m_chambers;
    std::map<int, AlarmPlace> m_places;  // where each kept alarm started
    mutable std::map<int, DeviationArming> m_arming;  // read from the settings file on first use
    // A program-end notice among the events disarms its chamber.
    void DisarmAtProgramEnd(int address, const std::vector<AlarmEvent>& events);
    void ShowArming();
    // Lab-wide alarms, oldest first; the standing journal alarm's number
    // (0: none); event file lines not written yet.
    std::vector<Alarm> m_labAlarms;
    int m_journalAlarm = 0;
    std::vector<QByteArray> m_labLines;
    QString m_journalReason;  // why the journal cannot be written, for the marker's tooltip
    QPushButton* m_marker = nullptr;
    TAlarmWindow* m_window = nullptr;
    std::function<bool(const QString&, const QString&, bool)> m_notify;
};

extern TAlarmCenter* AlarmCenter;


// The hooks the main window calls; harmless when no alarm center exists.
void AlarmsAfterPoll(bool found, const StatusReply& reply, bool linkWindowOpen);
void AlarmsReadingStopped();
// Rides on the clock's tick, twice a second: the watch of reads costs the
// process at rest no wake-up of its own, and "нет опроса" comes within half
// a second of its due time.
void AlarmsCheckReads();
QPushButton* MakeAlarmMarker(QWidget* parent, const QRect& bounds);
