// Alarm rules: what the answered polls of one chamber mean for the operator.
// A pure state machine fed with time-stamped poll facts; it knows nothing of
// windows, files or the bus.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "monitoring/Stability.h"

class QSettings;

// Journal: the action journal cannot be written; Recording: the recorder's
// data logs or events cannot be written; Signing: signing is locked for a
// login after wrong passwords. Alarms of the whole lab rather than of one
// chamber.
enum class AlarmKind { Temperature, Humidity, Link, ProgramEnd, Journal, Recording, Signing };

// Russian name of the kind, for the window and the event file.
QString AlarmKindText(AlarmKind kind);
// A short machine name ("temperature", "humidity", "link", "program_end").
QString AlarmKindKey(AlarmKind kind);

// A chamber: its line ("" for the desktop's one line) and its bus address.
// Two chambers at one address on two lines are two.
using ChamberKey = std::pair<QString, int>;

// The storage condition a chamber holds for a study, and how long its
// reading may stay outside the condition before the alarm.
constexpr int kDefaultConditionDelay = 900;
struct ChamberCondition {
    StabilityCondition condition;
    int delay = kDefaultConditionDelay;  // s, within the alarm delays' limits
    bool operator==(const ChamberCondition& o) const { return condition == o.condition && delay == o.delay; }
    bool operator!=(const ChamberCondition& o) const { return !(*this == o); }
};

// Bands and delays as the operator sets them.
struct AlarmSettings {
    bool temperatureOn = true;
    double temperatureBand = 2.0;  // °C either side of the set point
    int temperatureDelay = 900;    // s
    bool humidityOn = true;
    double humidityBand = 5.0;  // % either side of the set point
    int humidityDelay = 900;    // s
    bool linkOn = true;
    bool programEndOn = true;
    // Chambers held to a storage condition: their deviation alarms follow it
    // instead of the set point they report. The switches above hold for
    // them too.
    std::map<ChamberKey, ChamberCondition> conditions;

    // The chamber's condition; null when it follows its set point.
    const ChamberCondition* ConditionOf(const ChamberKey& chamber) const;
    // Everything but the conditions is the same.
    bool SameBands(const AlarmSettings& o) const;
    bool operator==(const AlarmSettings& o) const;
    bool operator!=(const AlarmSettings& o) const { return !(*this == o); }
};

// Limits the dialog and the settings file are held to.
constexpr double kMinAlarmBand = 0.1;
constexpr double kMaxAlarmBand = 100.0;
constexpr int kMaxAlarmDelay = 24 * 3600;
// A value read from the settings file, brought inside the limits.
AlarmSettings SaneAlarmSettings(AlarmSettings s);
// The settings from the texts of the settings file's keys (temperatureOn,
// temperatureBand, ...). One rule for every value: missing, not readable
// ("15m", "ja") or outside the dialog's range (bands 0.1..100, delays
// 0..24 h in seconds) takes the default. Refused ones go to *refused as
// "key=value"; keys of other things are ignored.
// A chamber's condition: "condition.ADDRESS" (the desktop's one line) or
// "condition.LINE.ADDRESS" (a line of the recorder), the value a preset's
// name or "T±dT/RH±dRH" (ParseStabilityCondition), and beside it
// "conditionDelay.ADDRESS" / "conditionDelay.LINE.ADDRESS" in seconds
// (kDefaultConditionDelay when missing). lines are the lines a key may
// name, "" for the unnamed one; a condition of another line, one that does
// not parse, an address outside 0..250 and a delay without its condition
// are refused.
AlarmSettings AlarmSettingsFromText(const QMap<QString, QString>& values, QStringList* refused,
                                    const QStringList& lines = {QString()});
// A condition's key read: its chamber, and whether it is the delay's. False
// for a key that is neither ("condition.", "condition.a.b.3",
// "condition.300"); the line is not checked.
bool ReadConditionKey(const QString& key, ChamberKey* chamber, bool* delay);
// The keys of a chamber's condition and its delay.
QString ConditionKey(const ChamberKey& chamber);
QString ConditionDelayKey(const ChamberKey& chamber);
// The same from the "alarms" group of a settings file, and the settings
// written there in the form that reads back to them (a condition removed
// leaves no key behind).
AlarmSettings ReadAlarmSettings(QSettings& store, QStringList* refused);
void WriteAlarmSettings(QSettings& store, const AlarmSettings& settings);

// Bands and delays from the settings file: a value that is missing, does not
// read, or lies outside the dialog's range takes its default; the refused
// ones go to *refused as "key=value".
AlarmSettings LoadAlarmSettings(QStringList* refused = nullptr);
void SaveAlarmSettings(const AlarmSettings& settings);

// What names a chamber beyond its bus address, for the report: kept per
// address in the program's settings with the alarm settings.
struct ChamberIdentity {
    QString name;
    QString serial;  // the maker's serial number
    bool operator==(const ChamberIdentity& o) const { return name == o.name && serial == o.serial; }
};
ChamberIdentity LoadChamberIdentity(int address);
void SaveChamberIdentity(int address, const ChamberIdentity& identity);

// What one status poll told, at the moment it ended.
struct PollFacts {
    qint64 time = 0;        // ms since the epoch
    bool answered = false;  // a reply was decoded
    bool linkLost = false;  // the link-loss window is open after this poll
    // Values the poll accepted; empty when refused or not answered.
    std::optional<double> currentTemp, setTemp, currentHumidity, setHumidity;
    std::optional<int> program;
    std::optional<int> step, steps;    // accepted as a pair
    std::optional<int> cycle, cycles;  // accepted as a pair
};

struct Alarm {
    int id = 0;
    AlarmKind kind = AlarmKind::Temperature;
    QString text;        // what happened, in words
    qint64 start = 0;    // ms since the epoch
    qint64 end = 0;      // meaningful once it is no longer active
    bool active = true;
    double value = 0;    // the reading that raised it (deviation kinds)
    double setPoint = 0; // its set point
    double worst = 0;    // the reading farthest from the set point while active
    double endValue = 0; // the reading that ended it
    bool hasValues = false;
    bool acknowledged = false;
    qint64 acknowledgedAt = 0;

    bool Active() const { return active; }
};

// An alarm with the chamber it belongs to, for a list of every chamber's.
// An alarm of the whole lab (no chamber's) carries this address.
constexpr int kLabWideAlarm = -1;
struct ChamberAlarm {
    int chamberAddress = 0;
    Alarm alarm;
};

enum class AlarmEventType { Start, End, Acknowledge };

// One line of the event file: the alarm as it stood right after the event.
struct AlarmEvent {
    AlarmEventType type = AlarmEventType::Start;
    qint64 time = 0;
    Alarm alarm;
};

// Whether a chamber's deviation alarms are armed, since when (ms since the
// epoch, 0: never changed) and why, as the settings file keeps it.
struct DeviationArming {
    bool armed = false;
    qint64 since = 0;
    QString why;
};
struct ChamberArming {
    int chamberAddress = 0;
    DeviationArming arming;
};
// "тревоги отклонения включены с 10.12.2026 14:05" or "… выключены …"; the
// date and time in the given forms.
QString ArmingText(const DeviationArming& arming, const QString& dateTimeText);
// The settings file's form ("1;1765375530000;пуск подтверждён камерой") and
// back; anything unreadable is disarmed.
QString ArmingToText(const DeviationArming& arming);
DeviationArming ArmingFromText(const QString& text);

// How the deviation rule decides, in short: a reading outside
// set point ± band starts a wait; the alarm comes when the wait has lasted
// longer than the delay. A chamber that is still on its way (its distance
// to the set point has shrunk by at least one band since the wait started)
// or a new set point starts the wait again, so a ramp between steps at any
// usable rate never alarms, while a chamber that stalls or drifts away does.
// Back inside the band ends the alarm. The link alarm follows the link-loss
// window; the program-end notice comes when a running program's counters
// fall back to no program or no step. A notice has no duration: it starts
// and ends at once and waits only for its acknowledgement.
class AlarmRules {
public:
    explicit AlarmRules(const AlarmSettings& settings = {});

    // New bands and delays; an alarm of a kind switched off ends now.
    std::vector<AlarmEvent> SetSettings(const AlarmSettings& settings, qint64 time);
    const AlarmSettings& Settings() const { return m_settings; }
    // Delays are multiplied by this (tests shorten them with the waits).
    void SetDelayScale(double scale) { m_delayScale = scale > 0 ? scale : 1.0; }
    // Numbers are drawn from this counter from now on, so that the rules of
    // several chambers sharing it never give two alarms one number.
    void ShareNumbers(std::shared_ptr<int> next) { m_sharedId = std::move(next); }

    std::vector<AlarmEvent> Feed(const PollFacts& facts);
    // The watchdog's verdict on the chamber's reads: overdue when none at
    // all, answered or not, came for three of its periods. Overdue raises
    // the link alarm "нет опроса"; it ends when reads come again (here or
    // with the next Feed).
    std::vector<AlarmEvent> NotRead(bool overdue, qint64 time);
    // Deviation alarms watch a chamber only while they are armed: a chamber
    // that runs nothing sits far from a set point of 0 with nothing wrong.
    // Disarming ends an active deviation alarm at once and drops the waits;
    // arming starts the waits afresh. The link alarm and the program-end
    // notice do not depend on it. A chamber held to a condition is watched
    // armed or not: the arming is kept, and counts again without one.
    std::vector<AlarmEvent> SetDeviationArmed(bool armed, qint64 time);
    bool DeviationArmed() const { return m_armed; }
    // The chamber's storage condition, or none. With one, a deviation is a
    // reading outside the condition's tolerance around the condition's set
    // point, whatever set point the chamber reports (one changed by hand is
    // out of its condition), for longer than the condition's delay; neither
    // a new set point nor a reading on its way back starts the wait again,
    // and humidity is not watched under a condition that keeps none. A
    // change of the condition ends the deviation alarms and starts the
    // waits afresh against the new one.
    std::vector<AlarmEvent> SetCondition(const std::optional<ChamberCondition>& condition, qint64 time);
    const std::optional<ChamberCondition>& Condition() const { return m_condition; }
    // Whether deviations are watched now: armed, or held to a condition.
    bool DeviationWatched() const { return m_armed || m_condition.has_value(); }
    // Reading switched off: every active alarm ends, every wait is dropped.
    std::vector<AlarmEvent> Stop(qint64 time);
    // Empty when there is no such alarm or it was acknowledged already.
    std::optional<AlarmEvent> Acknowledge(int id, qint64 time);

    // Every alarm, oldest first; at most kKeptAlarms (the oldest ended ones go).
    const std::vector<Alarm>& Alarms() const { return m_alarms; }
    int ActiveCount(AlarmKind kind) const;
    // Active alarms plus notices still waiting for acknowledgement.
    int OutstandingCount(AlarmKind kind) const;

    static constexpr size_t kKeptAlarms = 1000;

private:
    struct Deviation {
        bool waiting = false;
        qint64 since = 0;        // start of the wait
        double reference = 0;    // distance to the set point when it started
        std::optional<double> lastSetPoint;
        int activeId = 0;        // 0: no active alarm
    };

    // What a deviation is measured against this time.
    struct Reference {
        bool on = false;
        double band = 0;
        int delay = 0;  // s
        std::optional<double> setPoint;
        // Null: the set point the chamber reports, with its restarts of the
        // wait; else the condition it is held to.
        const ChamberCondition* condition = nullptr;
    };
    void FeedDeviation(AlarmKind kind, Deviation& d, const Reference& reference, const std::optional<double>& current,
                       qint64 time, std::vector<AlarmEvent>& events);
    void EndDeviations(qint64 time, std::vector<AlarmEvent>& events);
    void FeedLink(const PollFacts& facts, std::vector<AlarmEvent>& events);
    void FeedProgram(const PollFacts& facts, std::vector<AlarmEvent>& events);
    Alarm& Raise(AlarmKind kind, const QString& text, qint64 time, std::vector<AlarmEvent>& events);
    void End(int& activeId, qint64 time, std::optional<double> value, std::vector<AlarmEvent>& events);
    Alarm* Find(int id);
    void Trim();

    AlarmSettings m_settings;
    double m_delayScale = 1.0;
    Deviation m_temperature;
    Deviation m_humidity;
    int m_linkId = 0;
    int m_notReadId = 0;  // "нет опроса"
    bool m_armed = true;
    std::optional<ChamberCondition> m_condition;
    // The program as the last answered poll showed it: 0 when none ran.
    int m_runningProgram = 0;
    bool m_lastStepFinal = false;
    int m_lastStep = 0;
    int m_lastCycle = 0;
    int m_nextId = 1;
    std::shared_ptr<int> m_sharedId;
    std::vector<Alarm> m_alarms;
};
