#include "ui/AlarmCenter.h"

#include "ui/ScreenFit.h"

#include <QDateTime>
#include <QPushButton>
#include <QMap>
#include <QSettings>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <set>

#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/DataLog.h"
#include "monitoring/Monitoring.h"
#include "monitoring/PollSummary.h"
#include "monitoring/ReadWatch.h"
#include "monitoring/StatusDecode.h"
#include "ui/AlarmWindow.h"
#include "ui/DesktopNotifier.h"
#include "ui/ErrorDisplay.h"
#include "ui/JournalWindow.h"
#include "services/StatusEndpoint.h"
#include "ui/Typeface.h"
#include "ui/OverviewWindow.h"
#include "ui/main.h"

TAlarmCenter* AlarmCenter = nullptr;

namespace {

constexpr size_t kKeptLabAlarms = 100;


QString MarkerStyle(const char* background, const char* text)
{
    return QStringLiteral("QPushButton { background: %1; color: %2; border: 1px solid gray; padding: 0 6px; "
                          "text-align: left; }")
        .arg(QLatin1String(background), QLatin1String(text));
}

// The journal's text of alarm settings.
QString SettingsText(const AlarmSettings& s)
{
    auto onOff = [](bool on) { return on ? QStringLiteral("вкл.") : QStringLiteral("выкл."); };
    return QStringLiteral("температура %1 ±%2 °C через %3 с; влажность %4 ±%5 % через %6 с; связь %7; конец программы %8")
        .arg(onOff(s.temperatureOn), QString::number(s.temperatureBand, 'f', 1))
        .arg(s.temperatureDelay)
        .arg(onOff(s.humidityOn), QString::number(s.humidityBand, 'f', 1))
        .arg(s.humidityDelay)
        .arg(onOff(s.linkOn), onOff(s.programEndOn));
}

QString AlarmJournalText(const Alarm& a) { return QStringLiteral("тревога №%1: %2").arg(a.id).arg(a.text); }

}  // namespace

namespace {
AlarmNotifier g_defaultNotifier;
}  // namespace

void SetDefaultAlarmNotifier(AlarmNotifier notifier) { g_defaultNotifier = std::move(notifier); }

TAlarmCenter::TAlarmCenter() : m_notify(g_defaultNotifier ? g_defaultNotifier : AlarmNotifier(NotifyDesktop))
{
    m_window = new TAlarmWindow;
    m_window->ShowSettings(m_settings.Settings());
    // The window only asks; what happens is decided here.
    connect(m_window, &TAlarmWindow::AcknowledgeRequested, this, [this](int id, const QString& comment) { Acknowledge(id, comment); });
    connect(m_window, &TAlarmWindow::AcknowledgeAllRequested, this,
            [this](const QString& comment) { AcknowledgeAll(comment); });
    connect(m_window, &TAlarmWindow::SettingsChosen, this,
            [this](const AlarmSettings& settings) { ApplySettings(settings, true); });
    connect(m_window, &TAlarmWindow::ArmingChosen, this, [this](int address, bool armed) {
        SetDeviationArmed(address, armed, QStringLiteral("оператором"), true);
    });
}

TAlarmCenter::~TAlarmCenter() { delete m_window; }

qint64 TAlarmCenter::Now() const { return QDateTime::currentMSecsSinceEpoch(); }

AlarmPlace TAlarmCenter::Place() const { return {ChamberAddress, m_watched.port}; }

QString TAlarmCenter::EventFileName() const { return AlarmEventFileName(LogFolder()); }

void TAlarmCenter::SetNotifier(std::function<bool(const QString&, const QString&, bool)> notifier)
{
    m_notify = notifier ? std::move(notifier) : g_defaultNotifier ? g_defaultNotifier : AlarmNotifier(NotifyDesktop);
}

AlarmRules& TAlarmCenter::RulesFor(int address)
{
    auto it = m_chambers.find(address);
    if (it == m_chambers.end()) {
        it = m_chambers.emplace(address, ChamberAlarmRules{AlarmRules(m_settings.Settings()), m_watched.port}).first;
        it->second.rules.ShareNumbers(m_nextId);
        it->second.rules.SetDeviationArmed(Arming(address).armed, Now());
        ShowArming();
    }
    it->second.rules.SetDelayScale(TimeScale());
    return it->second.rules;
}

const AlarmRules& TAlarmCenter::Rules() const
{
    const auto it = m_chambers.find(ChamberAddress);
    return it == m_chambers.end() ? m_settings : it->second.rules;
}

namespace {
QString ArmingKey(int address) { return QStringLiteral("alarmArming/%1").arg(address); }
}  // namespace

DeviationArming TAlarmCenter::Arming(int address) const
{
    auto it = m_arming.find(address);
    if (it == m_arming.end())
        it = m_arming.emplace(address, ArmingFromText(QSettings().value(ArmingKey(address)).toString())).first;
    return it->second;
}

void TAlarmCenter::SetDeviationArmed(int address, bool armed, const QString& why, bool byOperator)
{
    const DeviationArming before = Arming(address);
    if (before.armed == armed)
        return;
    const auto word = [](bool on) { return on ? QStringLiteral("включены") : QStringLiteral("выключены"); };
    const QString newValue = QStringLiteral("%1: %2").arg(word(armed), why);
    if (byOperator)
        RecordAction(JournalAction::DeviationArming, JournalChamber(address), word(before.armed), newValue,
                     JournalOutcomeDone());
    else
        RecordFollowingAction(JournalAction::DeviationArming, JournalChamber(address), word(before.armed), newValue,
                              JournalOutcomeDone());
    const qint64 now = Now();
    DeviationArming& kept = m_arming[address];
    kept = {armed, now, why};
    QSettings().setValue(ArmingKey(address), ArmingToText(kept));
    HandleChamber(address, RulesFor(address).SetDeviationArmed(armed, now));
    ShowArming();
    emit ChamberAlarmsChanged(address);
}

void TAlarmCenter::CommandConfirmed(int address, bool start)
{
    SetDeviationArmed(address, start,
                      start ? QStringLiteral("пуск подтверждён камерой") : QStringLiteral("останов подтверждён камерой"),
                      false);
}

std::vector<ChamberArming> TAlarmCenter::AllArming() const
{
    std::set<int> known;
    for (const auto& [address, c] : m_chambers)
        known.insert(address);
    if (FormOverview)
        for (int address : FormOverview->Watched())
            known.insert(address);
    if (m_watched.reading)
        known.insert(m_watched.chamberAddress);
    std::vector<ChamberArming> all;
    for (int address : known)
        all.push_back({address, Arming(address)});
    return all;
}

void TAlarmCenter::ShowArming()
{
    if (m_window)
        m_window->ShowArming(AllArming());
}

void TAlarmCenter::DisarmAtProgramEnd(int address, const std::vector<AlarmEvent>& events)
{
    for (const AlarmEvent& e : events)
        if (e.type == AlarmEventType::Start && e.alarm.kind == AlarmKind::ProgramEnd) {
            SetDeviationArmed(address, false, QStringLiteral("программа закончилась"), false);
            return;
        }
}

void TAlarmCenter::AfterPoll(bool found, const StatusReply& reply, bool linkWindowOpen)
{
    const qint64 now = Now();
    // The counters on the endpoint are of one chamber: another chamber's
    // polls start its own.
    if (m_watched.chamberAddress != ChamberAddress) {
        const int previous = m_watched.chamberAddress;
        const bool wasReading = m_watched.reading;
        WatchedStatus fresh;
        fresh.chamberAddress = ChamberAddress;
        m_watched = fresh;
        // The chamber no one reads any more ends its alarms as a stopped
        // reading does; one the overview still reads keeps its state.
        const bool stillRead = FormOverview && FormOverview->Chamber(previous);
        if (wasReading && !stillRead && m_chambers.count(previous))
            HandleChamber(previous, RulesFor(previous).Stop(now));
    }
    if (Form1)
        m_watched.port = Form1->OpenPortName();
    // The poll that switches reading on runs before the switch is set.
    m_watched.reading = true;
    CountPoll(m_watched, reply, found, now);
    AlarmRules& rules = RulesFor(ChamberAddress);
    m_chambers[ChamberAddress].port = m_watched.port;
    const std::vector<AlarmEvent> events = rules.Feed(FactsFromReply(reply, linkWindowOpen, now));
    Handle(events);
    DisarmAtProgramEnd(ChamberAddress, events);
}

void TAlarmCenter::ReadingStopped()
{
    m_watched.reading = false;
    // A chamber the overview still reads goes on with its alarms.
    if (FormOverview && FormOverview->Chamber(ChamberAddress)) {
        PublishSelected();
        return;
    }
    Handle(RulesFor(ChamberAddress).Stop(Now()));
}

std::vector<AlarmEvent> TAlarmCenter::AfterChamberRead(int address, const QString& port, const StatusReply& reply,
                                                        bool silent, QString* failure)
{
    const qint64 now = Now();
    AlarmRules& rules = RulesFor(address);
    m_chambers[address].port = port;
    const std::vector<AlarmEvent> events = rules.Feed(FactsFromReply(reply, silent, now));
    const QString failed = Record(events, {address, port});
    if (failure)
        *failure = failed;
    if (!events.empty()) {
        ForgetEndedPlaces();
        Refresh();
        if (address == m_watched.chamberAddress)
            PublishSelected();
        DisarmAtProgramEnd(address, events);
    }
    return events;
}

void TAlarmCenter::CheckReads()
{
    const ReadClock::time_point now = ReadClock::now();
    for (auto& [address, c] : m_chambers) {
        // Only a chamber that someone means to read can be unread.
        const bool read = (FormOverview && FormOverview->Chamber(address)) ||
                          (m_watched.reading && address == m_watched.chamberAddress);
        const std::vector<AlarmEvent> events = c.rules.NotRead(read && ChamberReadOverdue(address, now), Now());
        if (events.empty())
            continue;
        if (address == m_watched.chamberAddress && m_watched.reading)
            Handle(events);
        else
            HandleChamber(address, events);
    }
}

const AlarmRules* TAlarmCenter::ChamberRules(int address) const
{
    const auto it = m_chambers.find(address);
    return it == m_chambers.end() ? nullptr : &it->second.rules;
}

AlarmRules* TAlarmCenter::RulesOf(int id, int* chamber)
{
    auto has = [id](const AlarmRules& rules) {
        return std::any_of(rules.Alarms().begin(), rules.Alarms().end(), [id](const Alarm& a) { return a.id == id; });
    };
    for (auto& [address, c] : m_chambers)
        if (has(c.rules)) {
            *chamber = address;
            return &c.rules;
        }
    return nullptr;
}

int TAlarmCenter::AddressOf(int id) const
{
    for (const auto& [address, c] : m_chambers)
        for (const Alarm& a : c.rules.Alarms())
            if (a.id == id)
                return address;
    return m_watched.chamberAddress;
}

std::vector<ChamberAlarm> TAlarmCenter::AllAlarms() const
{
    std::vector<ChamberAlarm> all;
    for (const auto& [address, c] : m_chambers)
        for (const Alarm& a : c.rules.Alarms())
            all.push_back({address, a});
    for (const Alarm& a : m_labAlarms)
        all.push_back({kLabWideAlarm, a});
    // Numbers come from one counter in the order alarms were raised.
    std::stable_sort(all.begin(), all.end(),
                     [](const ChamberAlarm& x, const ChamberAlarm& y) { return x.alarm.id < y.alarm.id; });
    return all;
}

void TAlarmCenter::Acknowledge(int id, const QString& comment)
{
    if (AcknowledgeLab(id, comment, Now()))
        return;
    int chamber = -1;
    AlarmRules* rules = RulesOf(id, &chamber);
    if (!rules)
        return;
    for (const Alarm& a : rules->Alarms())
        if (a.id == id && !a.acknowledged)
            RecordAction(JournalAction::AlarmAcknowledge, JournalChamber(chamber), AlarmJournalText(a), comment,
                         JournalOutcomeDone());
    if (auto event = rules->Acknowledge(id, Now()))
        HandleChamber(chamber, {*event});
}

void TAlarmCenter::AcknowledgeAll(const QString& comment)
{
    const qint64 now = Now();
    std::vector<int> ids;
    for (const ChamberAlarm& c : AllAlarms())
        if (!c.alarm.acknowledged)
            ids.push_back(c.alarm.id);
    // Events by the chamber they belong to.
    std::map<int, std::vector<AlarmEvent>> events;
    auto handle = [&] {
        for (const auto& [chamber, list] : events)
            HandleChamber(chamber, list);
    };
    // One record per alarm, each before its acknowledgement; a refused record
    // leaves that alarm and the rest unacknowledged.
    try {
        for (int id : ids) {
            if (AcknowledgeLab(id, comment, now))
                continue;
            int chamber = -1;
            AlarmRules* rules = RulesOf(id, &chamber);
            if (!rules)
                continue;
            for (const Alarm& a : rules->Alarms())
                if (a.id == id)
                    RecordAction(JournalAction::AlarmAcknowledge, JournalChamber(chamber), AlarmJournalText(a),
                                 comment, JournalOutcomeDone());
            if (auto event = rules->Acknowledge(id, now))
                events[chamber].push_back(*event);
        }
    } catch (...) {
        handle();
        throw;
    }
    handle();
}

void TAlarmCenter::ApplySettings(const AlarmSettings& settings, bool save)
{
    // The operator's change (save) is recorded first; loading at start is not an action.
    if (save)
        RecordAction(JournalAction::AlarmSettings, QString(), SettingsText(m_settings.Settings()),
                     SettingsText(settings), JournalOutcomeDone());
    if (save)
        SaveAlarmSettings(SaneAlarmSettings(settings));
    const qint64 now = Now();
    m_settings.SetSettings(settings, now);
    // Every chamber follows the same bands and delays.
    for (auto& [address, c] : m_chambers)
        HandleChamber(address, c.rules.SetSettings(settings, now));
    if (m_window)
        m_window->ShowSettings(m_settings.Settings());
}

void TAlarmCenter::PublishSelected()
{
    const AlarmRules& rules = Rules();
    m_watched.alarmsTemperature = rules.ActiveCount(AlarmKind::Temperature);
    m_watched.alarmsHumidity = rules.ActiveCount(AlarmKind::Humidity);
    m_watched.alarmsLink = rules.ActiveCount(AlarmKind::Link);
    m_watched.alarmsProgramEnd = rules.OutstandingCount(AlarmKind::ProgramEnd);
    if (Endpoint)
        Endpoint->Publish(m_watched);
}

void TAlarmCenter::Handle(const std::vector<AlarmEvent>& events)
{
    PublishSelected();
    if (events.empty())
        return;
    Refresh();
    for (const AlarmEvent& e : events) {
        if (e.type == AlarmEventType::Start) {
            QString body = AlarmKindText(e.alarm.kind) + QStringLiteral(", камера №%1").arg(ChamberAddress);
            if (e.alarm.hasValues)
                body += QStringLiteral(": %1 при уставке %2").arg(e.alarm.value).arg(e.alarm.setPoint);
            m_notify(e.alarm.text, body, e.alarm.kind != AlarmKind::ProgramEnd);
        }
    }
    const QString failure = Record(events, Place());
    ForgetEndedPlaces();
    // The overview's tile of the same chamber shows the same alarms.
    emit ChamberAlarmsChanged(ChamberAddress);
    if (!failure.isEmpty())
        ShowError(QStringLiteral("Файл тревог %1: %2").arg(EventFileName(), failure));
}

void TAlarmCenter::HandleChamber(int address, const std::vector<AlarmEvent>& events)
{
    if (address == m_watched.chamberAddress)
        PublishSelected();
    if (events.empty())
        return;
    const auto it = m_chambers.find(address);
    const QString failure = Record(events, {address, it != m_chambers.end() ? it->second.port : m_watched.port});
    ForgetEndedPlaces();
    Refresh();
    emit ChamberAlarmsChanged(address);
    if (!failure.isEmpty())
        ShowError(QStringLiteral("Файл тревог %1: %2").arg(EventFileName(), failure));
}

QString TAlarmCenter::Record(const std::vector<AlarmEvent>& events, const AlarmPlace& current)
{
    // Every line is tried, so that one failure does not hide the rest;
    // the operator hears of it once. An alarm's every line names where it
    // started, even when another port has been opened since.
    QString failure;
    for (const AlarmEvent& e : events) {
        if (e.type == AlarmEventType::Start)
            m_places[e.alarm.id] = current;
        const auto started = m_places.find(e.alarm.id);
        const AlarmPlace place = started != m_places.end() ? started->second : current;
        try {
            AppendAlarmEvent(EventFileName(), AlarmEventLine(e, place));
        } catch (const std::exception& error) {
            if (failure.isEmpty())
                failure = QString::fromUtf8(error.what());
        }
    }
    return failure;
}

void TAlarmCenter::ForgetEndedPlaces()
{
    // Places of alarms no rules keep any more are not needed again.
    std::set<int> kept;
    for (const auto& [address, c] : m_chambers)
        for (const Alarm& a : c.rules.Alarms())
            kept.insert(a.id);
    for (auto it = m_places.begin(); it != m_places.end();)
        it = kept.count(it->first) ? std::next(it) : m_places.erase(it);
}

AlarmMarker MarkerOf(const std::vector<Alarm>& alarms)
{
    AlarmMarker marker;
    const Alarm* newestActive = nullptr;
    const Alarm* newestOpen = nullptr;
    int active = 0;
    bool activeOpen = false;
    for (const Alarm& a : alarms) {
        if (a.Active()) {
            ++active;
            newestActive = &a;
            activeOpen = activeOpen || !a.acknowledged;
        }
        if (!a.acknowledged)
            newestOpen = &a;
    }
    if (active > 0) {
        marker.state = activeOpen ? AlarmMarkerState::Alarm : AlarmMarkerState::AcknowledgedAlarm;
        const QString more = active > 1 ? QStringLiteral(" (всего %1)").arg(active) : QString();
        marker.text = (activeOpen ? QStringLiteral("ТРЕВОГА: ") : QStringLiteral("Тревога (подтверждена): ")) +
                      newestActive->text + more;
    } else if (newestOpen) {
        marker.state = AlarmMarkerState::Unacknowledged;
        marker.text = QStringLiteral("Не подтверждено: ") + newestOpen->text;
    } else {
        marker.state = AlarmMarkerState::Quiet;
        marker.text = QStringLiteral("Тревог нет");
    }
    return marker;
}

AlarmMarker MarkerOf(const std::vector<ChamberAlarm>& alarms, int selectedAddress)
{
    std::vector<Alarm> named;
    named.reserve(alarms.size());
    for (const ChamberAlarm& c : alarms) {
        named.push_back(c.alarm);
        if (c.chamberAddress != selectedAddress && c.chamberAddress != kLabWideAlarm)
            named.back().text = QStringLiteral("Камера №%1: %2").arg(c.chamberAddress).arg(c.alarm.text);
    }
    return MarkerOf(named);
}

QString TAlarmCenter::MarkerText() const { return MarkerOf(AllAlarms(), ChamberAddress).text; }

void TAlarmCenter::Refresh()
{
    const std::vector<ChamberAlarm> all = AllAlarms();
    if (m_window)
        m_window->ShowAlarms(all);
    if (!m_marker)
        return;
    const AlarmMarker marker = MarkerOf(all, ChamberAddress);
    m_marker->setText(marker.text);
    m_marker->setToolTip(m_journalReason.isEmpty() ? marker.text
                                                   : marker.text + QStringLiteral("\nЖурнал действий: ") + m_journalReason);
    switch (marker.state) {
    case AlarmMarkerState::Alarm:
        m_marker->setStyleSheet(MarkerStyle("rgb(220, 0, 0)", "white"));
        break;
    case AlarmMarkerState::AcknowledgedAlarm:
        m_marker->setStyleSheet(MarkerStyle("rgb(255, 165, 0)", "black"));
        break;
    case AlarmMarkerState::Unacknowledged:
        m_marker->setStyleSheet(MarkerStyle("rgb(255, 235, 100)", "black"));
        break;
    case AlarmMarkerState::Quiet:
        m_marker->setStyleSheet(MarkerStyle("rgb(230, 245, 230)", "rgb(0, 110, 0)"));
        break;
    }
}

QPushButton* TAlarmCenter::MakeMarker(QWidget* parent, const QRect& bounds)
{
    m_marker = new QPushButton(parent);
    m_marker->setGeometry(bounds);
    m_marker->setFont(Tnr(15, true));
    m_marker->setFocusPolicy(Qt::StrongFocus);
    connect(m_marker, &QPushButton::clicked, this, [this] { ShowWindow(); });
    connect(m_marker, &QObject::destroyed, this, [this] { m_marker = nullptr; });
    Refresh();
    return m_marker;
}

void TAlarmCenter::ShowWindow()
{
    m_window->ShowAlarms(AllAlarms());
    BringToFront(m_window);
}

void TAlarmCenter::JournalWritable(bool writable, const QString& reason)
{
    const qint64 now = Now();
    bool changed = false;
    if (!writable && m_journalAlarm == 0) {
        Alarm a;
        a.id = (*m_nextId)++;
        a.kind = AlarmKind::Journal;
        a.text = QStringLiteral("журнал действий не записывается");
        a.start = now;
        m_labAlarms.push_back(a);
        m_journalAlarm = a.id;
        RecordLab({AlarmEventType::Start, now, a});
        m_notify(a.text, reason, true);
        changed = true;
    } else if (writable && m_journalAlarm != 0) {
        for (Alarm& a : m_labAlarms)
            if (a.id == m_journalAlarm) {
                a.active = false;
                a.end = now;
                RecordLab({AlarmEventType::End, now, a});
            }
        m_journalAlarm = 0;
        changed = true;
    } else {
        RecordLab({});
    }
    m_journalReason = writable ? QString() : reason;
    if (!changed) {
        if (m_marker && m_journalAlarm)
            Refresh();
        return;
    }
    // The window keeps the latest ones, as the chambers' rules do.
    while (m_labAlarms.size() > kKeptLabAlarms) {
        const auto done = std::find_if(m_labAlarms.begin(), m_labAlarms.end(),
                                       [](const Alarm& a) { return !a.active && a.acknowledged; });
        if (done == m_labAlarms.end())
            break;
        m_labAlarms.erase(done);
    }
    Refresh();
    LabAlarmsChanged();
}

QString TAlarmCenter::LabAlarmText() const
{
    QStringList texts;
    for (const Alarm& a : m_labAlarms)
        if (a.active || !a.acknowledged)
            texts << (a.active ? a.text : QStringLiteral("Не подтверждено: ") + a.text);
    return texts.join(u'\n');
}

bool TAlarmCenter::AcknowledgeLab(int id, const QString& comment, qint64 now)
{
    auto it = std::find_if(m_labAlarms.begin(), m_labAlarms.end(), [id](const Alarm& a) { return a.id == id; });
    if (it == m_labAlarms.end())
        return false;
    if (it->acknowledged)
        return true;
    // A lab-wide alarm concerns no chamber. Recording may raise the alarm
    // anew, so the alarm is looked up again afterwards.
    RecordAction(JournalAction::AlarmAcknowledge, QString(), AlarmJournalText(*it), comment, JournalOutcomeDone());
    it = std::find_if(m_labAlarms.begin(), m_labAlarms.end(), [id](const Alarm& a) { return a.id == id; });
    if (it == m_labAlarms.end())
        return true;
    it->acknowledged = true;
    it->acknowledgedAt = now;
    RecordLab({AlarmEventType::Acknowledge, now, *it});
    Refresh();
    LabAlarmsChanged();
    return true;
}

void TAlarmCenter::LabAlarmsChanged()
{
    // Every tile shows the lab's alarms: the overview's chambers, read yet or not.
    std::set<int> addresses;
    for (const auto& [address, c] : m_chambers)
        addresses.insert(address);
    if (FormOverview)
        for (int address : FormOverview->Watched())
            addresses.insert(address);
    for (int address : addresses)
        emit ChamberAlarmsChanged(address);
}

void TAlarmCenter::RecordLab(const AlarmEvent& event)
{
    // The folder that holds the journal may hold the event file too: lines
    // wait, in order, until it can be written, and are not told one by one
    // (the alarm itself tells of the trouble).
    if (event.alarm.id != 0)
        m_labLines.push_back(AlarmEventLine(event, {kLabWideAlarm, m_watched.port}));
    while (!m_labLines.empty()) {
        try {
            AppendAlarmEvent(EventFileName(), m_labLines.front());
        } catch (const std::exception&) {
            return;
        }
        m_labLines.erase(m_labLines.begin());
    }
}

void AlarmsAfterPoll(bool found, const StatusReply& reply, bool linkWindowOpen)
{
    if (AlarmCenter)
        AlarmCenter->AfterPoll(found, reply, linkWindowOpen);
}

void AlarmsCheckReads()
{
    if (AlarmCenter)
        AlarmCenter->CheckReads();
}

void AlarmsReadingStopped()
{
    if (AlarmCenter)
        AlarmCenter->ReadingStopped();
}

QPushButton* MakeAlarmMarker(QWidget* parent, const QRect& bounds)
{
    return AlarmCenter ? AlarmCenter->MakeMarker(parent, bounds) : nullptr;
}
