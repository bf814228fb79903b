#include "monitoring/Alarms.h"

#include <QSettings>
#include <algorithm>
#include <cmath>

#include "link/ChamberContract.h"

QString AlarmKindText(AlarmKind kind)
{
    switch (kind) {
    case AlarmKind::Temperature:
        return QStringLiteral("Температура");
    case AlarmKind::Humidity:
        return QStringLiteral("Влажность");
    case AlarmKind::Link:
        return QStringLiteral("Связь");
    case AlarmKind::ProgramEnd:
        return QStringLiteral("Программа");
    case AlarmKind::Journal:
        return QStringLiteral("Журнал");
    case AlarmKind::Recording:
        return QStringLiteral("Запись");
    case AlarmKind::Signing:
        return QStringLiteral("Подпись");
    }
    return {};
}

QString AlarmKindKey(AlarmKind kind)
{
    switch (kind) {
    case AlarmKind::Temperature:
        return QStringLiteral("temperature");
    case AlarmKind::Humidity:
        return QStringLiteral("humidity");
    case AlarmKind::Link:
        return QStringLiteral("link");
    case AlarmKind::ProgramEnd:
        return QStringLiteral("program_end");
    case AlarmKind::Journal:
        return QStringLiteral("journal");
    case AlarmKind::Recording:
        return QStringLiteral("recording");
    case AlarmKind::Signing:
        return QStringLiteral("signing");
    }
    return {};
}

const ChamberCondition* AlarmSettings::ConditionOf(const ChamberKey& chamber) const
{
    const auto it = conditions.find(chamber);
    return it == conditions.end() ? nullptr : &it->second;
}

bool AlarmSettings::SameBands(const AlarmSettings& o) const
{
    return temperatureOn == o.temperatureOn && temperatureBand == o.temperatureBand &&
           temperatureDelay == o.temperatureDelay && humidityOn == o.humidityOn && humidityBand == o.humidityBand &&
           humidityDelay == o.humidityDelay && linkOn == o.linkOn && programEndOn == o.programEndOn;
}

bool AlarmSettings::operator==(const AlarmSettings& o) const { return SameBands(o) && conditions == o.conditions; }

AlarmSettings SaneAlarmSettings(AlarmSettings s)
{
    const AlarmSettings defaults;
    auto band = [](double v, double fallback) {
        // A band of 0 would alarm on every tenth; NaN would never compare.
        return std::isfinite(v) && v > 0 ? std::min(v, kMaxAlarmBand) : fallback;
    };
    auto delay = [](int v) { return std::clamp(v, 0, kMaxAlarmDelay); };
    s.temperatureBand = band(s.temperatureBand, defaults.temperatureBand);
    s.humidityBand = band(s.humidityBand, defaults.humidityBand);
    s.temperatureDelay = delay(s.temperatureDelay);
    s.humidityDelay = delay(s.humidityDelay);
    for (auto& [chamber, condition] : s.conditions)
        condition.delay = delay(condition.delay);
    return s;
}

namespace {

const QString kConditionPrefix = QStringLiteral("condition.");
const QString kConditionDelayPrefix = QStringLiteral("conditionDelay.");

bool IsConditionKey(const QString& key)
{
    return key.startsWith(kConditionPrefix) || key.startsWith(kConditionDelayPrefix);
}

QString ChamberPart(const ChamberKey& chamber)
{
    return chamber.first.isEmpty() ? QString::number(chamber.second)
                                   : QStringLiteral("%1.%2").arg(chamber.first).arg(chamber.second);
}

}  // namespace

bool ReadConditionKey(const QString& key, ChamberKey* chamber, bool* delay)
{
    QString rest;
    if (key.startsWith(kConditionDelayPrefix)) {
        *delay = true;
        rest = key.mid(kConditionDelayPrefix.size());
    } else if (key.startsWith(kConditionPrefix)) {
        *delay = false;
        rest = key.mid(kConditionPrefix.size());
    } else {
        return false;
    }
    const QStringList parts = rest.split(u'.');
    if (parts.size() > 2 || (parts.size() == 2 && parts[0].isEmpty()))
        return false;
    const QString number = parts.last();
    bool digits = !number.isEmpty() && number.size() <= 3;
    for (const QChar c : number)
        digits = digits && c >= u'0' && c <= u'9';
    if (!digits || number.toInt() > kLastAddress)
        return false;
    *chamber = {parts.size() == 2 ? parts[0] : QString(), number.toInt()};
    return true;
}

QString ConditionKey(const ChamberKey& chamber) { return kConditionPrefix + ChamberPart(chamber); }

QString ConditionDelayKey(const ChamberKey& chamber) { return kConditionDelayPrefix + ChamberPart(chamber); }

AlarmSettings AlarmSettingsFromText(const QMap<QString, QString>& values, QStringList* refused,
                                    const QStringList& lines)
{
    AlarmSettings s;
    auto take = [&](const char* key, auto read) {
        const auto it = values.find(QLatin1String(key));
        if (it == values.end())
            return;
        if (!read(it.value().trimmed()) && refused)
            refused->append(QStringLiteral("%1=%2").arg(QLatin1String(key), it.value()));
    };
    auto flag = [](bool* into) {
        return [into](const QString& text) {
            const QString t = text.toLower();
            if (t == QLatin1String("true") || t == QLatin1String("1"))
                *into = true;
            else if (t == QLatin1String("false") || t == QLatin1String("0"))
                *into = false;
            else
                return false;
            return true;
        };
    };
    auto band = [](double* into) {
        return [into](const QString& text) {
            bool ok = false;
            const double v = text.toDouble(&ok);
            // The dialog's range, which also keeps out NaN and infinities.
            if (!ok || !(v >= kMinAlarmBand && v <= kMaxAlarmBand))
                return false;
            *into = v;
            return true;
        };
    };
    auto delay = [](int* into) {
        return [into](const QString& text) {
            bool ok = false;
            const int v = text.toInt(&ok);
            if (!ok || v < 0 || v > kMaxAlarmDelay)
                return false;
            *into = v;
            return true;
        };
    };
    take("temperatureOn", flag(&s.temperatureOn));
    take("temperatureBand", band(&s.temperatureBand));
    take("temperatureDelay", delay(&s.temperatureDelay));
    take("humidityOn", flag(&s.humidityOn));
    take("humidityBand", band(&s.humidityBand));
    take("humidityDelay", delay(&s.humidityDelay));
    take("linkOn", flag(&s.linkOn));
    take("programEndOn", flag(&s.programEndOn));

    // The conditions first, so that each delay finds its own.
    auto refuse = [&](const QString& key, const QString& value) {
        if (refused)
            refused->append(QStringLiteral("%1=%2").arg(key, value));
    };
    std::vector<std::pair<ChamberKey, QString>> delays;  // with their keys
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (!IsConditionKey(it.key()))
            continue;
        ChamberKey chamber;
        bool isDelay = false;
        if (!ReadConditionKey(it.key(), &chamber, &isDelay) || !lines.contains(chamber.first)) {
            refuse(it.key(), it.value());
            continue;
        }
        if (isDelay) {
            delays.emplace_back(chamber, it.key());
            continue;
        }
        StabilityCondition condition;
        if (!ParseStabilityCondition(it.value(), &condition, nullptr)) {
            refuse(it.key(), it.value());
            continue;
        }
        s.conditions[chamber] = {condition, kDefaultConditionDelay};
    }
    for (const auto& [chamber, key] : delays) {
        const QString text = values.value(key);
        const auto condition = s.conditions.find(chamber);
        int seconds = 0;
        if (condition == s.conditions.end() || !delay(&seconds)(text.trimmed()))
            refuse(key, text);
        else
            condition->second.delay = seconds;
    }
    return s;
}

AlarmSettings ReadAlarmSettings(QSettings& store, QStringList* refused)
{
    store.beginGroup(QStringLiteral("alarms"));
    QMap<QString, QString> raw;
    for (const QString& key : store.childKeys()) {
        const QVariant value = store.value(key);
        // A value with a comma comes back as a list: keep its text whole.
        raw.insert(key, value.typeId() == QMetaType::QStringList ? value.toStringList().join(u',') : value.toString());
    }
    store.endGroup();
    return AlarmSettingsFromText(raw, refused);
}

void WriteAlarmSettings(QSettings& store, const AlarmSettings& s)
{
    store.beginGroup(QStringLiteral("alarms"));
    store.setValue("temperatureOn", s.temperatureOn);
    store.setValue("temperatureBand", s.temperatureBand);
    store.setValue("temperatureDelay", s.temperatureDelay);
    store.setValue("humidityOn", s.humidityOn);
    store.setValue("humidityBand", s.humidityBand);
    store.setValue("humidityDelay", s.humidityDelay);
    store.setValue("linkOn", s.linkOn);
    store.setValue("programEndOn", s.programEndOn);
    // A condition removed must not come back at the next start.
    for (const QString& key : store.childKeys())
        if (IsConditionKey(key))
            store.remove(key);
    for (const auto& [chamber, condition] : s.conditions) {
        store.setValue(ConditionKey(chamber), StabilityConditionText(condition.condition));
        store.setValue(ConditionDelayKey(chamber), condition.delay);
    }
    store.endGroup();
}

QString ArmingText(const DeviationArming& arming, const QString& dateTimeText)
{
    QString text = arming.armed ? QStringLiteral("тревоги отклонения включены")
                                : QStringLiteral("тревоги отклонения выключены");
    if (arming.since > 0 && !dateTimeText.isEmpty())
        text += QStringLiteral(" с ") + dateTimeText;
    return text;
}

QString ArmingToText(const DeviationArming& arming)
{
    QString why = arming.why;
    why.replace(u';', u',');
    return QStringLiteral("%1;%2;%3").arg(arming.armed ? 1 : 0).arg(arming.since).arg(why);
}

DeviationArming ArmingFromText(const QString& text)
{
    DeviationArming arming;
    const QStringList parts = text.split(u';');
    if (parts.size() < 2)
        return arming;
    bool ok = false;
    const qint64 since = parts[1].trimmed().toLongLong(&ok);
    if (!ok || since < 0 || (parts[0].trimmed() != QLatin1String("1") && parts[0].trimmed() != QLatin1String("0")))
        return arming;
    arming.armed = parts[0].trimmed() == QLatin1String("1");
    arming.since = since;
    arming.why = parts.mid(2).join(u',');
    return arming;
}

AlarmRules::AlarmRules(const AlarmSettings& settings) : m_settings(SaneAlarmSettings(settings)) {}

std::vector<AlarmEvent> AlarmRules::SetSettings(const AlarmSettings& settings, qint64 time)
{
    std::vector<AlarmEvent> events;
    m_settings = SaneAlarmSettings(settings);
    if (!m_settings.temperatureOn) {
        End(m_temperature.activeId, time, std::nullopt, events);
        m_temperature.waiting = false;
    }
    if (!m_settings.humidityOn) {
        End(m_humidity.activeId, time, std::nullopt, events);
        m_humidity.waiting = false;
    }
    if (!m_settings.linkOn) {
        End(m_linkId, time, std::nullopt, events);
        End(m_notReadId, time, std::nullopt, events);
    }
    return events;
}

Alarm* AlarmRules::Find(int id)
{
    for (Alarm& a : m_alarms)
        if (a.id == id)
            return &a;
    return nullptr;
}

Alarm& AlarmRules::Raise(AlarmKind kind, const QString& text, qint64 time, std::vector<AlarmEvent>& events)
{
    Alarm a;
    a.id = m_sharedId ? (*m_sharedId)++ : m_nextId++;
    a.kind = kind;
    a.text = text;
    a.start = time;
    m_alarms.push_back(a);
    Trim();
    Alarm& raised = m_alarms.back();
    events.push_back({AlarmEventType::Start, time, raised});
    return raised;
}

void AlarmRules::End(int& activeId, qint64 time, std::optional<double> value, std::vector<AlarmEvent>& events)
{
    if (activeId == 0)
        return;
    if (Alarm* a = Find(activeId)) {
        a->end = time;
        a->active = false;
        if (value)
            a->endValue = *value;
        events.push_back({AlarmEventType::End, time, *a});
    }
    activeId = 0;
}

void AlarmRules::Trim()
{
    while (m_alarms.size() > kKeptAlarms) {
        auto oldest = std::find_if(m_alarms.begin(), m_alarms.end(), [](const Alarm& a) { return !a.Active(); });
        if (oldest == m_alarms.end())
            break;
        m_alarms.erase(oldest);
    }
}

void AlarmRules::FeedDeviation(AlarmKind kind, Deviation& d, const Reference& reference,
                               const std::optional<double>& current, qint64 time, std::vector<AlarmEvent>& events)
{
    const std::optional<double>& setPoint = reference.setPoint;
    const double band = reference.band;
    if (!reference.on || !current || !setPoint)
        return;  // nothing known this time: the wait neither runs on nor restarts
    const double distance = std::abs(*current - *setPoint);
    const bool newSetPoint = d.lastSetPoint && std::abs(*d.lastSetPoint - *setPoint) > 1e-9;
    d.lastSetPoint = *setPoint;

    // Readings arrive in tenths; a tiny margin keeps 27.0 vs 25.0 inside a 2 °C band.
    if (distance <= band + 1e-9) {
        d.waiting = false;
        End(d.activeId, time, current, events);
        return;
    }
    if (d.activeId != 0) {
        if (Alarm* a = Find(d.activeId)) {
            if (std::abs(*current - a->setPoint) > std::abs(a->worst - a->setPoint))
                a->worst = *current;
            if (newSetPoint)
                a->setPoint = *setPoint;
        }
        return;
    }
    // A condition is held for months: every minute outside it counts, however
    // the chamber got there and whether it is on its way back.
    const bool restarts = reference.condition == nullptr && (newSetPoint || d.reference - distance >= band);
    if (!d.waiting || restarts) {
        d.waiting = true;
        d.since = time;
        d.reference = distance;
    }
    const double waited = static_cast<double>(time - d.since);
    if (waited > reference.delay * 1000.0 * m_delayScale) {
        const bool temperature = kind == AlarmKind::Temperature;
        QString what;
        if (!reference.condition) {
            what = temperature ? QStringLiteral("Температура вне допуска") : QStringLiteral("Влажность вне допуска");
        } else {
            // The condition's name and band in the alarm itself: the operator
            // sees why a chamber at its own set point alarms.
            const StabilityCondition& c = reference.condition->condition;
            StabilityCondition quantity = c;
            quantity.name.clear();
            if (temperature) {
                quantity.hasHumidity = false;
            } else {
                quantity.temperature = c.humidity;
                quantity.temperatureTolerance = c.humidityTolerance;
                quantity.hasHumidity = false;
            }
            what = QStringLiteral("%1 вне условия %2: %3 %4 при %5 %4")
                       .arg(temperature ? QStringLiteral("Температура") : QStringLiteral("Влажность"),
                            StabilityConditionText(c), QString::number(*current, 'f', 1),
                            temperature ? QStringLiteral("°C") : QStringLiteral("%"), StabilityConditionText(quantity));
        }
        Alarm& a = Raise(kind, what, time, events);
        a.value = a.worst = *current;
        a.setPoint = *setPoint;
        a.hasValues = true;
        events.back().alarm = a;
        d.activeId = a.id;
        d.waiting = false;
    }
}

void AlarmRules::FeedLink(const PollFacts& facts, std::vector<AlarmEvent>& events)
{
    if (facts.linkLost) {
        if (m_linkId == 0 && m_settings.linkOn)
            m_linkId = Raise(AlarmKind::Link, QStringLiteral("Возможен обрыв линии RS-485"), facts.time, events).id;
    } else {
        End(m_linkId, facts.time, std::nullopt, events);
    }
}

void AlarmRules::FeedProgram(const PollFacts& facts, std::vector<AlarmEvent>& events)
{
    if (!facts.answered || !facts.program)
        return;
    // Step 0 or program 0: the controller runs no program.
    const bool running = *facts.program > 0 && (!facts.step || *facts.step > 0);
    if (running) {
        m_runningProgram = *facts.program;
        if (facts.step && facts.steps) {
            m_lastStep = *facts.step;
            m_lastStepFinal = *facts.step >= *facts.steps;
        }
        if (facts.cycle && facts.cycles) {
            m_lastCycle = *facts.cycle;
            m_lastStepFinal = m_lastStepFinal && *facts.cycle >= *facts.cycles;
        }
        return;
    }
    if (m_runningProgram == 0)
        return;
    const int program = m_runningProgram;
    m_runningProgram = 0;
    if (!m_settings.programEndOn)
        return;
    // A program seen last on its final step of its final cycle has run out;
    // one left earlier was stopped.
    const QString text = m_lastStepFinal ? QStringLiteral("Программа %1 завершена").arg(program)
                                         : QStringLiteral("Программа %1 остановлена (шаг %2, цикл %3)")
                                               .arg(program)
                                               .arg(m_lastStep)
                                               .arg(m_lastCycle);
    Alarm& a = Raise(AlarmKind::ProgramEnd, text, facts.time, events);
    a.end = facts.time;
    a.active = false;
    a.value = program;
    events.back().alarm = a;
}

std::vector<AlarmEvent> AlarmRules::NotRead(bool overdue, qint64 time)
{
    std::vector<AlarmEvent> events;
    if (!overdue)
        End(m_notReadId, time, std::nullopt, events);
    else if (m_notReadId == 0 && m_settings.linkOn)
        m_notReadId = Raise(AlarmKind::Link, QStringLiteral("нет опроса"), time, events).id;
    return events;
}

std::vector<AlarmEvent> AlarmRules::Feed(const PollFacts& facts)
{
    std::vector<AlarmEvent> events;
    // A read, answered or not: the chamber is being read again.
    End(m_notReadId, facts.time, std::nullopt, events);
    FeedLink(facts, events);
    if (facts.answered) {
        if (m_condition) {
            const StabilityCondition& c = m_condition->condition;
            const int delay = m_condition->delay;
            FeedDeviation(AlarmKind::Temperature, m_temperature,
                          {m_settings.temperatureOn, c.temperatureTolerance, delay, c.temperature, &*m_condition},
                          facts.currentTemp, facts.time, events);
            FeedDeviation(AlarmKind::Humidity, m_humidity,
                          {m_settings.humidityOn && c.hasHumidity, c.humidityTolerance, delay,
                           c.hasHumidity ? std::optional<double>(c.humidity) : std::nullopt, &*m_condition},
                          facts.currentHumidity, facts.time, events);
            FeedProgram(facts, events);
            return events;
        }
        FeedDeviation(AlarmKind::Temperature, m_temperature,
                      {m_armed && m_settings.temperatureOn, m_settings.temperatureBand, m_settings.temperatureDelay,
                       facts.setTemp, nullptr},
                      facts.currentTemp, facts.time, events);
        // A set humidity of 0 is a chamber or a step that holds no humidity.
        std::optional<double> setHumidity = facts.setHumidity;
        if (setHumidity && *setHumidity == 0) {
            setHumidity.reset();
            m_humidity.waiting = false;
            End(m_humidity.activeId, facts.time, facts.currentHumidity, events);
        }
        FeedDeviation(AlarmKind::Humidity, m_humidity,
                      {m_armed && m_settings.humidityOn, m_settings.humidityBand, m_settings.humidityDelay,
                       setHumidity, nullptr},
                      facts.currentHumidity, facts.time, events);
        FeedProgram(facts, events);
    }
    return events;
}

void AlarmRules::EndDeviations(qint64 time, std::vector<AlarmEvent>& events)
{
    End(m_temperature.activeId, time, std::nullopt, events);
    End(m_humidity.activeId, time, std::nullopt, events);
    m_temperature = {};
    m_humidity = {};
}

std::vector<AlarmEvent> AlarmRules::SetDeviationArmed(bool armed, qint64 time)
{
    std::vector<AlarmEvent> events;
    if (armed == m_armed)
        return events;
    m_armed = armed;
    // Held to a condition, the chamber is watched on: a program that starts
    // or ends there changes nothing of it.
    if (!m_condition)
        EndDeviations(time, events);
    return events;
}

std::vector<AlarmEvent> AlarmRules::SetCondition(const std::optional<ChamberCondition>& condition, qint64 time)
{
    std::vector<AlarmEvent> events;
    if (condition == m_condition)
        return events;
    m_condition = condition;
    if (m_condition)
        m_condition->delay = std::clamp(m_condition->delay, 0, kMaxAlarmDelay);
    EndDeviations(time, events);
    return events;
}

std::vector<AlarmEvent> AlarmRules::Stop(qint64 time)
{
    std::vector<AlarmEvent> events;
    EndDeviations(time, events);
    End(m_linkId, time, std::nullopt, events);
    End(m_notReadId, time, std::nullopt, events);
    m_runningProgram = 0;
    return events;
}

std::optional<AlarmEvent> AlarmRules::Acknowledge(int id, qint64 time)
{
    Alarm* a = Find(id);
    if (!a || a->acknowledged)
        return std::nullopt;
    a->acknowledged = true;
    a->acknowledgedAt = time;
    return AlarmEvent{AlarmEventType::Acknowledge, time, *a};
}

int AlarmRules::ActiveCount(AlarmKind kind) const
{
    return static_cast<int>(
        std::count_if(m_alarms.begin(), m_alarms.end(), [&](const Alarm& a) { return a.kind == kind && a.Active(); }));
}

int AlarmRules::OutstandingCount(AlarmKind kind) const
{
    return static_cast<int>(std::count_if(m_alarms.begin(), m_alarms.end(), [&](const Alarm& a) {
        return a.kind == kind && (a.Active() || (kind == AlarmKind::ProgramEnd && !a.acknowledged));
    }));
}

AlarmSettings LoadAlarmSettings(QStringList* refused)
{
    QSettings settings;
    return ReadAlarmSettings(settings, refused);
}

void SaveAlarmSettings(const AlarmSettings& s)
{
    QSettings settings;
    WriteAlarmSettings(settings, s);
    settings.sync();
}

namespace {

QString IdentityKey(int address, const char* what) { return QStringLiteral("chamberIdentity/%1/%2").arg(address).arg(QLatin1String(what)); }

}  // namespace

ChamberIdentity LoadChamberIdentity(int address)
{
    QSettings settings;
    return {settings.value(IdentityKey(address, "name")).toString().trimmed(),
            settings.value(IdentityKey(address, "serial")).toString().trimmed()};
}

void SaveChamberIdentity(int address, const ChamberIdentity& identity)
{
    QSettings settings;
    const auto keep = [&](const char* what, const QString& value) {
        if (value.trimmed().isEmpty())
            settings.remove(IdentityKey(address, what));
        else
            settings.setValue(IdentityKey(address, what), value.trimmed());
    };
    keep("name", identity.name);
    keep("serial", identity.serial);
}
