#include "services/AlarmService.h"

#include <QDateTime>
#include <QSettings>

#include <algorithm>
#include <set>

#include "link/ChamberContract.h"
#include "link/Waits.h"
#include "monitoring/Overview.h"
#include "monitoring/PollSummary.h"
#include "services/JournalRecorder.h"

namespace {

constexpr size_t kKeptLabAlarms = 100;
// A bound on the event lines kept while their file refuses them.
constexpr size_t kMostPendingLines = 10000;

QString ArmingKey(const ChamberKey& chamber)
{
    // The desktop's one line keeps the key it always had.
    return chamber.first.isEmpty() ? QStringLiteral("alarmArming/%1").arg(chamber.second)
                                   : QStringLiteral("alarmArming/%1/%2").arg(chamber.first).arg(chamber.second);
}

qint64 WallNow() { return QDateTime::currentMSecsSinceEpoch(); }

}  // namespace

qint64 LinkLossWindowMs() { return ScaledMs(kStatusAttempts * kStatusWait); }

bool LinkLostAt(qint64 lastAnswerMs, qint64 firstReadMs, qint64 nowMs)
{
    const qint64 since = lastAnswerMs > 0 ? lastAnswerMs : firstReadMs;
    return nowMs - since >= LinkLossWindowMs();
}

bool ReadsOverdue(qint64 lastReadMs, int unansweredInRow, qint64 nowMs)
{
    const int period = unansweredInRow >= kSilentCyclesBeforeBackoff ? kSilentAskAtLeastMs : kStatusPollPeriodMs;
    return lastReadMs > 0 && nowMs - lastReadMs > 3LL * ScaledMs(period);
}

QString AlarmSettingsText(const AlarmSettings& s)
{
    auto onOff = [](bool on) { return on ? QStringLiteral("вкл.") : QStringLiteral("выкл."); };
    return QStringLiteral("температура %1 ±%2 °C через %3 с; влажность %4 ±%5 % через %6 с; связь %7; конец программы %8")
        .arg(onOff(s.temperatureOn), QString::number(s.temperatureBand, 'f', 1))
        .arg(s.temperatureDelay)
        .arg(onOff(s.humidityOn), QString::number(s.humidityBand, 'f', 1))
        .arg(s.humidityDelay)
        .arg(onOff(s.linkOn), onOff(s.programEndOn));
}

QString JournalChamber(const ChamberKey& chamber)
{
    return chamber.first.isEmpty() ? JournalChamber(chamber.second)
                                   : QStringLiteral("%1/%2").arg(chamber.first).arg(chamber.second);
}

QString ConditionJournalText(const ChamberCondition* condition)
{
    if (!condition)
        return QStringLiteral("без условия");
    const QString delay = condition->delay % 60 == 0 ? QStringLiteral("%1 мин").arg(condition->delay / 60)
                                                     : QStringLiteral("%1 с").arg(condition->delay);
    return QStringLiteral("%1, задержка %2").arg(StabilityConditionText(condition->condition), delay);
}

std::vector<ConditionChange> ConditionChanges(const AlarmSettings& before, const AlarmSettings& after)
{
    std::set<ChamberKey> chambers;
    for (const auto& [chamber, condition] : before.conditions)
        chambers.insert(chamber);
    for (const auto& [chamber, condition] : after.conditions)
        chambers.insert(chamber);
    std::vector<ConditionChange> changes;
    for (const ChamberKey& chamber : chambers) {
        const ChamberCondition* was = before.ConditionOf(chamber);
        const ChamberCondition* is = after.ConditionOf(chamber);
        if (was && is && *was == *is)
            continue;
        changes.push_back({chamber, ConditionJournalText(was), ConditionJournalText(is)});
    }
    return changes;
}

AlarmCounts ActiveAlarmCounts(const AlarmRules& rules)
{
    return {rules.ActiveCount(AlarmKind::Temperature), rules.ActiveCount(AlarmKind::Humidity),
            rules.ActiveCount(AlarmKind::Link), rules.OutstandingCount(AlarmKind::ProgramEnd)};
}

QString AlarmJournalText(const Alarm& a) { return QStringLiteral("тревога №%1: %2").arg(a.id).arg(a.text); }

QJsonObject AlarmJson(const Alarm& a)
{
    QJsonObject json{{QStringLiteral("id"), a.id},
                     {QStringLiteral("kind"), AlarmKindKey(a.kind)},
                     {QStringLiteral("text"), a.text},
                     {QStringLiteral("start"), static_cast<double>(a.start)},
                     {QStringLiteral("end"), static_cast<double>(a.end)},
                     {QStringLiteral("active"), a.active},
                     {QStringLiteral("acknowledged"), a.acknowledged},
                     {QStringLiteral("acknowledgedAt"), static_cast<double>(a.acknowledgedAt)}};
    if (a.hasValues) {
        json.insert(QStringLiteral("value"), a.value);
        json.insert(QStringLiteral("setPoint"), a.setPoint);
        json.insert(QStringLiteral("worst"), a.worst);
        json.insert(QStringLiteral("endValue"), a.endValue);
    }
    return json;
}

Alarm AlarmFromJson(const QJsonObject& json)
{
    Alarm a;
    a.id = json.value(QStringLiteral("id")).toInt();
    const QString kind = json.value(QStringLiteral("kind")).toString();
    for (AlarmKind k : {AlarmKind::Temperature, AlarmKind::Humidity, AlarmKind::Link, AlarmKind::ProgramEnd,
                        AlarmKind::Journal, AlarmKind::Recording, AlarmKind::Signing})
        if (AlarmKindKey(k) == kind)
            a.kind = k;
    a.text = json.value(QStringLiteral("text")).toString();
    a.start = static_cast<qint64>(json.value(QStringLiteral("start")).toDouble());
    a.end = static_cast<qint64>(json.value(QStringLiteral("end")).toDouble());
    a.active = json.value(QStringLiteral("active")).toBool();
    a.acknowledged = json.value(QStringLiteral("acknowledged")).toBool();
    a.acknowledgedAt = static_cast<qint64>(json.value(QStringLiteral("acknowledgedAt")).toDouble());
    a.hasValues = json.contains(QStringLiteral("value"));
    a.value = json.value(QStringLiteral("value")).toDouble();
    a.setPoint = json.value(QStringLiteral("setPoint")).toDouble();
    a.worst = json.value(QStringLiteral("worst")).toDouble();
    a.endValue = json.value(QStringLiteral("endValue")).toDouble();
    return a;
}

AlarmCounts OutstandingAlarmCounts(const std::vector<Alarm>& alarms)
{
    AlarmCounts counts;
    for (const Alarm& a : alarms) {
        const bool outstanding = a.active || (a.kind == AlarmKind::ProgramEnd && !a.acknowledged);
        if (!outstanding)
            continue;
        if (a.kind == AlarmKind::Temperature)
            ++counts.temperature;
        else if (a.kind == AlarmKind::Humidity)
            ++counts.humidity;
        else if (a.kind == AlarmKind::Link)
            ++counts.link;
        else if (a.kind == AlarmKind::ProgramEnd)
            ++counts.programEnd;
    }
    return counts;
}

AlarmCounts OutstandingAlarmCounts(const AlarmRules& rules)
{
    return {rules.OutstandingCount(AlarmKind::Temperature), rules.OutstandingCount(AlarmKind::Humidity),
            rules.OutstandingCount(AlarmKind::Link), rules.OutstandingCount(AlarmKind::ProgramEnd)};
}

AlarmService::AlarmService(AlarmServiceOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
}

AlarmService::~AlarmService() = default;

void AlarmService::SetLinePort(const QString& line, const QString& port) { m_ports[line] = port; }

QString AlarmService::LinePort(const QString& line) const
{
    const auto it = m_ports.find(line);
    return it == m_ports.end() ? line : it->second;
}

AlarmService::Chamber& AlarmService::ChamberFor(const ChamberKey& key, qint64 nowMs)
{
    auto it = m_chambers.find(key);
    if (it == m_chambers.end()) {
        it = m_chambers.emplace(key, Chamber{AlarmRules(m_settings.Settings())}).first;
        it->second.rules.ShareNumbers(m_nextId);
        if (const ChamberCondition* condition = m_settings.Settings().ConditionOf(key))
            it->second.rules.SetCondition(*condition, nowMs);
        // A recorder's chamber that runs nothing sits far from a set point of
        // 0 with nothing wrong: its deviations wait for a program to run.
        it->second.rules.SetDeviationArmed(m_options.armingFollowsProgram ? false : Arming(key).armed, nowMs);
        if (!m_options.armingFollowsProgram)
            emit ArmingChanged(key.first, key.second);
    }
    it->second.rules.SetDelayScale(TimeScale());
    return it->second;
}

AlarmOutcome AlarmService::TakeRead(const ChamberRead& read)
{
    const ChamberKey key{read.line, read.read.address};
    const qint64 t = read.timeMs;
    Chamber& c = ChamberFor(key, t);
    if (c.firstReadMs == 0)
        c.firstReadMs = t;
    c.lastReadMs = t;
    c.unansweredInRow = read.read.answered ? 0 : c.unansweredInRow + 1;
    std::vector<AlarmEvent> events;
    if (m_options.armingFollowsProgram && read.read.answered) {
        const bool running = read.read.reply.stepAccepted && read.read.reply.step > 0;
        if (running != c.rules.DeviationArmed()) {
            const auto arming = c.rules.SetDeviationArmed(running, t);
            events.insert(events.end(), arming.begin(), arming.end());
        }
    }
    const bool linkLost = !read.read.answered && LinkLostAt(c.lastAnswerMs, c.firstReadMs, t);
    const PollFacts facts = read.read.answered ? FactsFromReply(read.read.reply, false, t)
                                               : PollFacts{t, false, linkLost, {}, {}, {}, {}, {}, {}, {}, {}, {}};
    const auto fed = c.rules.Feed(facts);
    events.insert(events.end(), fed.begin(), fed.end());
    if (read.read.answered)
        c.lastAnswerMs = t;
    AlarmOutcome outcome = Handle(key, events, false);
    DisarmAtProgramEnd(key, outcome.events);
    return outcome;
}

AlarmOutcome AlarmService::StopChamber(const ChamberKey& chamber, qint64 nowMs)
{
    auto it = m_chambers.find(chamber);
    if (it == m_chambers.end())
        return {};
    it->second.firstReadMs = it->second.lastReadMs = it->second.lastAnswerMs = 0;
    it->second.unansweredInRow = 0;
    return Handle(chamber, it->second.rules.Stop(nowMs), false);
}

void AlarmService::CheckReads(qint64 nowMs)
{
    for (auto& [key, c] : m_chambers) {
        const bool overdue =
            m_options.overdue ? m_options.overdue(key, nowMs) : ReadsOverdue(c.lastReadMs, c.unansweredInRow, nowMs);
        std::vector<AlarmEvent> events = c.rules.NotRead(overdue, nowMs);
        if (!events.empty())
            Handle(key, std::move(events), true);
    }
}

AlarmOutcome AlarmService::Handle(const ChamberKey& chamber, std::vector<AlarmEvent> events, bool tell)
{
    AlarmOutcome outcome;
    outcome.events = std::move(events);
    if (outcome.events.empty())
        return outcome;
    Record(chamber, outcome.events, outcome);
    ForgetEndedPlaces();
    emit EventsRaised(chamber.first, chamber.second, outcome.events);
    emit AlarmsChanged(chamber.first, chamber.second);
    if (tell && !outcome.failure.isEmpty())
        emit EventFileFailed(outcome.failedFile, outcome.failure);
    return outcome;
}

bool AlarmService::Write(const QString& file, const QByteArray& line, bool keep, QString* failure)
{
    if (!keep) {
        try {
            AppendAlarmEvent(file, line);
        } catch (const std::exception& error) {
            *failure = QString::fromUtf8(error.what());
            return false;
        }
        return true;
    }
    std::vector<QByteArray>& waiting = m_pending[file];
    if (waiting.size() >= kMostPendingLines)
        waiting.erase(waiting.begin());
    waiting.push_back(line);
    while (!waiting.empty()) {
        try {
            AppendAlarmEvent(file, waiting.front());
        } catch (const std::exception& error) {
            *failure = QString::fromUtf8(error.what());
            return false;
        }
        waiting.erase(waiting.begin());
    }
    return true;
}

void AlarmService::Record(const ChamberKey& chamber, const std::vector<AlarmEvent>& events, AlarmOutcome& outcome)
{
    // Every line is tried, so that one failure does not hide the rest; the
    // first is told. An alarm's every line names where it started, even when
    // its line is on another port since.
    const AlarmPlace current{chamber.second, LinePort(chamber.first)};
    const QString file = m_options.eventFile(chamber.first);
    for (const AlarmEvent& e : events) {
        if (e.type == AlarmEventType::Start)
            m_places[e.alarm.id] = current;
        const auto started = m_places.find(e.alarm.id);
        const AlarmPlace place = started != m_places.end() ? started->second : current;
        QString failure;
        if (!Write(file, AlarmEventLine(e, place), m_options.keepUnwritten, &failure) && outcome.failure.isEmpty()) {
            outcome.failedFile = file;
            outcome.failure = failure;
        }
    }
}

void AlarmService::RecordLab(const AlarmEvent& event)
{
    // The folder that holds the journal may hold the event file too: lines
    // wait, in order, until it can be written, and are not told one by one
    // (the alarm itself tells of the trouble).
    const QString file = m_options.eventFile(QString());
    QString failure;
    if (event.alarm.id != 0) {
        Write(file, AlarmEventLine(event, {kLabWideAlarm, LinePort(QString())}), true, &failure);
        return;
    }
    FlushEvents();
}

bool AlarmService::FlushEvents(QString* file, QString* failure)
{
    for (auto& [name, lines] : m_pending) {
        while (!lines.empty()) {
            try {
                AppendAlarmEvent(name, lines.front());
            } catch (const std::exception& error) {
                if (file)
                    *file = name;
                if (failure)
                    *failure = QString::fromUtf8(error.what());
                return false;
            }
            lines.erase(lines.begin());
        }
    }
    return true;
}

int AlarmService::PendingEvents() const
{
    size_t pending = 0;
    for (const auto& [file, lines] : m_pending)
        pending += lines.size();
    return static_cast<int>(pending);
}

void AlarmService::ForgetEndedPlaces()
{
    // Places of alarms no rules keep any more are not needed again.
    std::set<int> kept;
    for (const auto& [key, c] : m_chambers)
        for (const Alarm& a : c.rules.Alarms())
            kept.insert(a.id);
    for (auto it = m_places.begin(); it != m_places.end();)
        it = kept.count(it->first) ? std::next(it) : m_places.erase(it);
}

const AlarmRules* AlarmService::Rules(const ChamberKey& chamber) const
{
    const auto it = m_chambers.find(chamber);
    return it == m_chambers.end() ? nullptr : &it->second.rules;
}

const AlarmRules& AlarmService::RulesOrSettings(const ChamberKey& chamber) const
{
    const AlarmRules* rules = Rules(chamber);
    return rules ? *rules : m_settings;
}

std::vector<ChamberKey> AlarmService::Chambers() const
{
    std::vector<ChamberKey> keys;
    for (const auto& [key, c] : m_chambers)
        keys.push_back(key);
    return keys;
}

std::vector<ChamberAlarm> AlarmService::AllAlarms() const
{
    std::vector<ChamberAlarm> all;
    for (const auto& [key, c] : m_chambers)
        for (const Alarm& a : c.rules.Alarms())
            all.push_back({key.second, a});
    for (const Alarm& a : m_labAlarms)
        all.push_back({kLabWideAlarm, a});
    // Numbers come from one counter in the order alarms were raised.
    std::stable_sort(all.begin(), all.end(),
                     [](const ChamberAlarm& x, const ChamberAlarm& y) { return x.alarm.id < y.alarm.id; });
    return all;
}

AlarmRules* AlarmService::RulesOf(int id, ChamberKey* chamber)
{
    for (auto& [key, c] : m_chambers)
        for (const Alarm& a : c.rules.Alarms())
            if (a.id == id) {
                *chamber = key;
                return &c.rules;
            }
    return nullptr;
}

bool AlarmService::ChamberOf(int id, ChamberKey* chamber) const
{
    return const_cast<AlarmService*>(this)->RulesOf(id, chamber) != nullptr;
}

void AlarmService::Acknowledge(int id, const QString& comment)
{
    const qint64 now = WallNow();
    if (AcknowledgeLab(id, comment, now))
        return;
    ChamberKey chamber;
    AlarmRules* rules = RulesOf(id, &chamber);
    if (!rules)
        return;
    if (m_options.journal)
        for (const Alarm& a : rules->Alarms())
            if (a.id == id && !a.acknowledged)
                RecordAction(JournalAction::AlarmAcknowledge, JournalChamber(chamber.second), AlarmJournalText(a),
                             comment, JournalOutcomeDone());
    if (auto event = rules->Acknowledge(id, now))
        Handle(chamber, {*event}, true);
}

void AlarmService::AcknowledgeAll(const QString& comment)
{
    const qint64 now = WallNow();
    std::vector<int> ids;
    for (const ChamberAlarm& c : AllAlarms())
        if (!c.alarm.acknowledged)
            ids.push_back(c.alarm.id);
    std::map<ChamberKey, std::vector<AlarmEvent>> events;
    auto handle = [&] {
        for (auto& [chamber, list] : events)
            Handle(chamber, std::move(list), true);
    };
    // One record per alarm, each before its acknowledgement; a refused record
    // leaves that alarm and the rest unacknowledged.
    try {
        for (int id : ids) {
            if (AcknowledgeLab(id, comment, now))
                continue;
            ChamberKey chamber;
            AlarmRules* rules = RulesOf(id, &chamber);
            if (!rules)
                continue;
            if (m_options.journal)
                for (const Alarm& a : rules->Alarms())
                    if (a.id == id)
                        RecordAction(JournalAction::AlarmAcknowledge, JournalChamber(chamber.second),
                                     AlarmJournalText(a), comment, JournalOutcomeDone());
            if (auto event = rules->Acknowledge(id, now))
                events[chamber].push_back(*event);
        }
    } catch (...) {
        handle();
        throw;
    }
    handle();
}

bool AlarmService::SetLabAlarm(AlarmKind kind, const QString& text, bool standing)
{
    const qint64 now = WallNow();
    int& standingId = m_standingLab[kind];
    bool changed = false;
    if (standing && standingId == 0) {
        Alarm a;
        a.id = (*m_nextId)++;
        a.kind = kind;
        a.text = text;
        a.start = now;
        m_labAlarms.push_back(a);
        standingId = a.id;
        RecordLab({AlarmEventType::Start, now, a});
        changed = true;
    } else if (!standing && standingId != 0) {
        for (Alarm& a : m_labAlarms)
            if (a.id == standingId) {
                a.active = false;
                a.end = now;
                RecordLab({AlarmEventType::End, now, a});
            }
        standingId = 0;
        changed = true;
    } else {
        RecordLab({});
    }
    if (!changed)
        return false;
    // The latest ones are kept, as the chambers' rules do.
    while (m_labAlarms.size() > kKeptLabAlarms) {
        const auto done = std::find_if(m_labAlarms.begin(), m_labAlarms.end(),
                                       [](const Alarm& a) { return !a.active && a.acknowledged; });
        if (done == m_labAlarms.end())
            break;
        m_labAlarms.erase(done);
    }
    emit LabAlarmsChanged();
    return true;
}

QString AlarmService::LabAlarmText() const
{
    QStringList texts;
    for (const Alarm& a : m_labAlarms)
        if (a.active || !a.acknowledged)
            texts << (a.active ? a.text : QStringLiteral("Не подтверждено: ") + a.text);
    return texts.join(u'\n');
}

bool AlarmService::AcknowledgeLab(int id, const QString& comment, qint64 now)
{
    auto find = [&] {
        return std::find_if(m_labAlarms.begin(), m_labAlarms.end(), [id](const Alarm& a) { return a.id == id; });
    };
    auto it = find();
    if (it == m_labAlarms.end())
        return false;
    if (it->acknowledged)
        return true;
    // A lab-wide alarm concerns no chamber. Recording may raise the alarm
    // anew, so the alarm is looked up again afterwards.
    if (m_options.journal)
        RecordAction(JournalAction::AlarmAcknowledge, QString(), AlarmJournalText(*it), comment, JournalOutcomeDone());
    it = find();
    if (it == m_labAlarms.end())
        return true;
    it->acknowledged = true;
    it->acknowledgedAt = now;
    RecordLab({AlarmEventType::Acknowledge, now, *it});
    emit LabAlarmsChanged();
    return true;
}

void AlarmService::ApplySettings(const AlarmSettings& settings, bool save)
{
    // The operator's change (save) is recorded first; loading is not an action.
    // A chamber's condition is a record of its own, under the chamber, as its
    // arming is; a save that changes only conditions has none of the bands.
    if (save && m_options.journal) {
        const std::vector<ConditionChange> changes = ConditionChanges(m_settings.Settings(), settings);
        if (changes.empty() || !settings.SameBands(m_settings.Settings()))
            RecordAction(JournalAction::AlarmSettings, QString(), AlarmSettingsText(m_settings.Settings()),
                         AlarmSettingsText(settings), JournalOutcomeDone());
        for (const ConditionChange& change : changes)
            RecordAction(JournalAction::AlarmSettings, JournalChamber(change.chamber), change.oldValue,
                         change.newValue, JournalOutcomeDone());
    }
    if (save)
        SaveAlarmSettings(SaneAlarmSettings(settings));
    const qint64 now = WallNow();
    m_settings.SetSettings(settings, now);
    // Every chamber follows the same bands and delays, and its own condition.
    for (auto& [key, c] : m_chambers) {
        std::vector<AlarmEvent> events = c.rules.SetSettings(settings, now);
        const ChamberCondition* condition = m_settings.Settings().ConditionOf(key);
        const auto ended = c.rules.SetCondition(condition ? std::optional<ChamberCondition>(*condition) : std::nullopt, now);
        events.insert(events.end(), ended.begin(), ended.end());
        if (events.empty())
            emit AlarmsChanged(key.first, key.second);
        else
            Handle(key, std::move(events), true);
    }
}

DeviationArming AlarmService::Arming(const ChamberKey& chamber) const
{
    if (m_options.armingFollowsProgram) {
        const AlarmRules* rules = Rules(chamber);
        return {rules && rules->DeviationArmed(), 0, QString()};
    }
    auto it = m_arming.find(chamber);
    if (it == m_arming.end())
        it = m_arming.emplace(chamber, ArmingFromText(QSettings().value(ArmingKey(chamber)).toString())).first;
    return it->second;
}

void AlarmService::SetDeviationArmed(const ChamberKey& chamber, bool armed, const QString& why, bool byOperator)
{
    const DeviationArming before = Arming(chamber);
    if (before.armed == armed)
        return;
    const auto word = [](bool on) { return on ? QStringLiteral("включены") : QStringLiteral("выключены"); };
    const QString newValue = QStringLiteral("%1: %2").arg(word(armed), why);
    if (m_options.journal) {
        if (byOperator)
            RecordAction(JournalAction::DeviationArming, JournalChamber(chamber.second), word(before.armed), newValue,
                         JournalOutcomeDone());
        else
            RecordFollowingAction(JournalAction::DeviationArming, JournalChamber(chamber.second), word(before.armed),
                                  newValue, JournalOutcomeDone());
    }
    const qint64 now = WallNow();
    if (!m_options.armingFollowsProgram) {
        DeviationArming& kept = m_arming[chamber];
        kept = {armed, now, why};
        QSettings().setValue(ArmingKey(chamber), ArmingToText(kept));
    }
    Chamber& c = ChamberFor(chamber, now);
    AlarmOutcome outcome = Handle(chamber, c.rules.SetDeviationArmed(armed, now), true);
    emit ArmingChanged(chamber.first, chamber.second);
    if (outcome.events.empty())
        emit AlarmsChanged(chamber.first, chamber.second);
}

void AlarmService::CommandConfirmed(const ChamberKey& chamber, bool start)
{
    SetDeviationArmed(chamber, start,
                      start ? QStringLiteral("пуск подтверждён камерой") : QStringLiteral("останов подтверждён камерой"),
                      false);
}

std::vector<ChamberArming> AlarmService::AllArming() const
{
    std::vector<ChamberArming> all;
    for (const auto& [key, c] : m_chambers)
        all.push_back({key.second, Arming(key)});
    return all;
}

void AlarmService::DisarmAtProgramEnd(const ChamberKey& chamber, const std::vector<AlarmEvent>& events)
{
    // The recorder's arming follows the next read by itself.
    if (m_options.armingFollowsProgram)
        return;
    for (const AlarmEvent& e : events)
        if (e.type == AlarmEventType::Start && e.alarm.kind == AlarmKind::ProgramEnd) {
            SetDeviationArmed(chamber, false, QStringLiteral("программа закончилась"), false);
            return;
        }
}
