// The alarms of every chamber a process reads, apart from any window: one
// AlarmRules per chamber (named by its line and its bus address) fed with
// each read, one numbering for all of them, the event file "Тревоги.csv"
// written with the place each alarm started, the lab-wide alarms, the
// deviation arming and the watchdog "нет опроса". The desktop's widgets and
// the recorder both sit on it; what changes is told by signals.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "monitoring/AlarmEventLog.h"
#include "monitoring/Alarms.h"
#include "monitoring/LineScheduler.h"

// The link-loss window of the desktop's poll (20 tries of 800 ms), shortened
// with the waits.
qint64 LinkLossWindowMs();
// Whether a read that was not answered at nowMs finds the link lost: no
// answer for the link-loss window, counted from the last answer or, for a
// chamber that never answered, from its first read.
bool LinkLostAt(qint64 lastAnswerMs, qint64 firstReadMs, qint64 nowMs);
// Whether a chamber read last at lastReadMs is overdue at nowMs: no read at
// all for three of its periods; one asked less often for its silence
// (unansweredInRow) has the longest pause as its period.
bool ReadsOverdue(qint64 lastReadMs, int unansweredInRow, qint64 nowMs);

// The journal's chamber column for a chamber: its address on the desktop's
// one line, "LINE/ADDRESS" on a line of the recorder.
QString JournalChamber(const ChamberKey& chamber);
// The journal's words for a set of bands and delays (the conditions apart).
QString AlarmSettingsText(const AlarmSettings& settings);
// A chamber's condition in the journal's words ("25/60, задержка 15 мин",
// "25±2/60±5, задержка 90 с"); "без условия" for none.
QString ConditionJournalText(const ChamberCondition* condition);
// What changed of the chambers' conditions from before to after: one entry
// per chamber whose condition was added, changed or removed, in the order
// of the chambers.
struct ConditionChange {
    ChamberKey chamber;
    QString oldValue, newValue;
};
std::vector<ConditionChange> ConditionChanges(const AlarmSettings& before, const AlarmSettings& after);

// The alarm counts a watcher elsewhere sees of one chamber: active alarms by
// kind, program-end notices until acknowledged. Outstanding: every kind
// counts until acknowledged, as a tile of the overview shows it.
struct AlarmCounts {
    int temperature = 0, humidity = 0, link = 0, programEnd = 0;
    bool operator==(const AlarmCounts& o) const
    {
        return temperature == o.temperature && humidity == o.humidity && link == o.link && programEnd == o.programEnd;
    }
};
AlarmCounts ActiveAlarmCounts(const AlarmRules& rules);
AlarmCounts OutstandingAlarmCounts(const AlarmRules& rules);
AlarmCounts OutstandingAlarmCounts(const std::vector<Alarm>& alarms);

// "тревога №12: ..." as the journal names an alarm.
QString AlarmJournalText(const Alarm& a);
// An alarm as the control socket carries it, and back; a field missing or
// of another type reads as its default.
QJsonObject AlarmJson(const Alarm& alarm);
Alarm AlarmFromJson(const QJsonObject& json);

struct AlarmServiceOptions {
    // The event file for the chambers of a line; line "" with kLabWideAlarm
    // is where the lab-wide alarms go. Required.
    std::function<QString(const QString& line)> eventFile;
    // True: deviation alarms are armed while the chamber runs a program step
    // (the recorder, which has no operator). False: armed and disarmed by
    // confirmed commands and the operator, kept in the settings file, each
    // change journalled (the desktop).
    bool armingFollowsProgram = false;
    // True: chamber event lines that cannot be written wait, in order, per
    // file, and are tried again (the recorder). False: each is tried once and
    // the failure told (the desktop). Lab-wide lines always wait.
    bool keepUnwritten = false;
    // Journal each acknowledgement, setting change and arming change first.
    bool journal = true;
    // The watchdog's question; empty: overdue by the reads this service took.
    std::function<bool(const ChamberKey& chamber, qint64 nowMs)> overdue;
};

// What a step made: the events and the first line that could not be written.
struct AlarmOutcome {
    std::vector<AlarmEvent> events;
    QString failedFile;
    QString failure;  // the system's words; empty when every line was written
};

class AlarmService : public QObject {
    Q_OBJECT
public:
    explicit AlarmService(AlarmServiceOptions options, QObject* parent = nullptr);
    ~AlarmService() override;

    // The port a line is on, named in the event file's lines of alarms that
    // start from now on; the line's own name until told.
    void SetLinePort(const QString& line, const QString& port);
    QString LinePort(const QString& line) const;

    // One read of a chamber, answered or not, at read.timeMs. The link alarm
    // comes from the reads' times: no answer for the link-loss window.
    AlarmOutcome TakeRead(const ChamberRead& read);
    // No one reads the chamber any more: its alarms end, its waits go.
    AlarmOutcome StopChamber(const ChamberKey& chamber, qint64 nowMs);
    // The watchdog: every chamber known here whose reads are overdue raises
    // "нет опроса"; it ends when reads come again.
    void CheckReads(qint64 nowMs);

    // A chamber's rules; null before its first use.
    const AlarmRules* Rules(const ChamberKey& chamber) const;
    // A chamber's rules or, before its first use, empty ones with the settings.
    const AlarmRules& RulesOrSettings(const ChamberKey& chamber) const;
    std::vector<ChamberKey> Chambers() const;
    // Every chamber's alarms and the lab-wide ones, oldest first.
    std::vector<ChamberAlarm> AllAlarms() const;
    // The chamber an alarm number belongs to; false when none (or a lab-wide one).
    bool ChamberOf(int id, ChamberKey* chamber) const;

    // Acknowledgements, each journalled first; one the journal refuses is not
    // made (the journal's exception goes to the caller).
    void Acknowledge(int id, const QString& comment = QString());
    void AcknowledgeAll(const QString& comment = QString());

    // A lab-wide alarm of a kind (Journal, Recording) standing or not; at most
    // one of a kind stands. Returns true when it started or ended here.
    bool SetLabAlarm(AlarmKind kind, const QString& text, bool standing);
    const std::vector<Alarm>& LabAlarms() const { return m_labAlarms; }
    // The lab-wide alarms active or not yet acknowledged, in words; empty when none.
    QString LabAlarmText() const;

    const AlarmSettings& Settings() const { return m_settings.Settings(); }
    // New bands and delays for every chamber, and each chamber's condition;
    // save: the operator's change, journalled first (the bands in one record,
    // each chamber's condition changed in one of its own) and kept in the
    // settings file.
    void ApplySettings(const AlarmSettings& settings, bool save);

    DeviationArming Arming(const ChamberKey& chamber) const;
    // The operator's change (byOperator) is refused when the journal refuses
    // it; one that follows from the chamber is made all the same.
    void SetDeviationArmed(const ChamberKey& chamber, bool armed, const QString& why, bool byOperator);
    void CommandConfirmed(const ChamberKey& chamber, bool start);
    // The arming of every chamber known here.
    std::vector<ChamberArming> AllArming() const;

    // Tries the lines that wait; false with the first file and failure.
    bool FlushEvents(QString* file = nullptr, QString* failure = nullptr);
    int PendingEvents() const;

signals:
    // A chamber's alarms changed (a read, an acknowledgement, new settings).
    void AlarmsChanged(const QString& line, int address);
    // Events of a chamber, after they went to the event file.
    void EventsRaised(const QString& line, int address, const std::vector<AlarmEvent>& events);
    // The lab-wide alarms changed.
    void LabAlarmsChanged();
    void ArmingChanged(const QString& line, int address);
    // An event line of a step other than a read could not be written.
    void EventFileFailed(const QString& file, const QString& failure);

private:
    struct Chamber {
        AlarmRules rules;
        qint64 firstReadMs = 0;
        qint64 lastReadMs = 0;
        qint64 lastAnswerMs = 0;
        int unansweredInRow = 0;
    };
    Chamber& ChamberFor(const ChamberKey& chamber, qint64 nowMs);
    // Events of a chamber into its file and out as signals.
    AlarmOutcome Handle(const ChamberKey& chamber, std::vector<AlarmEvent> events, bool tell);
    void Record(const ChamberKey& chamber, const std::vector<AlarmEvent>& events, AlarmOutcome& outcome);
    void RecordLab(const AlarmEvent& event);
    bool Write(const QString& file, const QByteArray& line, bool keep, QString* failure);
    void ForgetEndedPlaces();
    AlarmRules* RulesOf(int id, ChamberKey* chamber);
    bool AcknowledgeLab(int id, const QString& comment, qint64 now);
    void DisarmAtProgramEnd(const ChamberKey& chamber, const std::vector<AlarmEvent>& events);

    AlarmServiceOptions m_options;
    std::shared_ptr<int> m_nextId = std::make_shared<int>(1);
    AlarmRules m_settings;  // the settings in force; never fed
    std::map<ChamberKey, Chamber> m_chambers;
    std::map<QString, QString> m_ports;
    std::map<int, AlarmPlace> m_places;  // where each kept alarm started, with its line
    mutable std::map<ChamberKey, DeviationArming> m_arming;
    std::vector<Alarm> m_labAlarms;
    std::map<AlarmKind, int> m_standingLab;  // kind -> the standing alarm's number
    // Lines not yet written, per file, in order.
    std::map<QString, std::vector<QByteArray>> m_pending;
};
