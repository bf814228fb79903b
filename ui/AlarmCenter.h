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

    // Each acknowledgement is recorded in the action journal first, with the
    // operator's comment; one that cannot be recorded is not made.
    void Acknowledge(int id, const QString& comment = QString());
    void AcknowledgeAll(const QString& comment = QString());

    const AlarmSettings& Settings() const { return m_rules.Settings(); }
    // New bands and delays; saved in the settings file when save is true.
    void ApplySettings(const AlarmSettings& settings, bool save);

    const AlarmRules& Rules() const { return m_rules; }
    const WatchedStatus& Watched() const { return m_watched; }
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

private:
    void Handle(const std::vector<AlarmEvent>& events);
    void Refresh();
    AlarmPlace Place() const;
    qint64 Now() const;

    AlarmRules m_rules;
    WatchedStatus m_watched;
    std::map<int, AlarmPlace> m_places;  // where each kept alarm started
    QPushButton* m_marker = nullptr;
    TAlarmWindow* m_window = nullptr;
    std::function<bool(const QString&, const QString&, bool)> m_notify;
};

extern TAlarmCenter* AlarmCenter;

// Bands and delays from the settings file: a value that is missing, does not
// read, or lies outside the dialog's range takes its default; the refused
// ones go to *refused as "key=value".
AlarmSettings LoadAlarmSettings(QStringList* refused = nullptr);
void SaveAlarmSettings(const AlarmSettings& settings);

// The hooks the main window calls; harmless when no alarm center exists.
void AlarmsAfterPoll(bool found, const StatusReply& reply, bool linkWindowOpen);
void AlarmsReadingStopped();
QPushButton* MakeAlarmMarker(QWidget* parent, const QRect& bounds);
