#include "ui/AlarmCenter.h"

#include "ui/ScreenFit.h"

#include <QDateTime>
#include <QPushButton>
#include <QMap>
#include <QSettings>
#include <QStringList>

#include "link/PortUnit.h"
#include "monitoring/DataLog.h"
#include "monitoring/Monitoring.h"
#include "monitoring/PollSummary.h"
#include "monitoring/StatusDecode.h"
#include "ui/AlarmWindow.h"
#include "ui/DesktopNotifier.h"
#include "ui/ErrorDisplay.h"
#include "ui/JournalWindow.h"
#include "ui/StatusEndpoint.h"
#include "ui/Typeface.h"
#include "ui/main.h"

TAlarmCenter* AlarmCenter = nullptr;

namespace {


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

TAlarmCenter::TAlarmCenter() : m_notify(NotifyDesktop)
{
    m_window = new TAlarmWindow;
    m_window->ShowSettings(m_rules.Settings());
    // The window only asks; what happens is decided here.
    connect(m_window, &TAlarmWindow::AcknowledgeRequested, this, [this](int id, const QString& comment) { Acknowledge(id, comment); });
    connect(m_window, &TAlarmWindow::AcknowledgeAllRequested, this,
            [this](const QString& comment) { AcknowledgeAll(comment); });
    connect(m_window, &TAlarmWindow::SettingsChosen, this,
            [this](const AlarmSettings& settings) { ApplySettings(settings, true); });
}

TAlarmCenter::~TAlarmCenter() { delete m_window; }

qint64 TAlarmCenter::Now() const { return QDateTime::currentMSecsSinceEpoch(); }

AlarmPlace TAlarmCenter::Place() const { return {ChamberAddress, m_watched.port}; }

QString TAlarmCenter::EventFileName() const { return AlarmEventFileName(LogFolder()); }

void TAlarmCenter::SetNotifier(std::function<bool(const QString&, const QString&, bool)> notifier)
{
    m_notify = notifier ? std::move(notifier) : std::function<bool(const QString&, const QString&, bool)>(NotifyDesktop);
}

void TAlarmCenter::AfterPoll(bool found, const StatusReply& reply, bool linkWindowOpen)
{
    const qint64 now = Now();
    m_rules.SetDelayScale(TimeScale());
    m_watched.chamberAddress = ChamberAddress;
    if (Form1)
        m_watched.port = Form1->OpenPortName();
    // The poll that switches reading on runs before the switch is set.
    m_watched.reading = true;
    CountPoll(m_watched, reply, found, now);
    Handle(m_rules.Feed(FactsFromReply(reply, linkWindowOpen, now)));
}

void TAlarmCenter::ReadingStopped()
{
    m_watched.reading = false;
    Handle(m_rules.Stop(Now()));
}

void TAlarmCenter::Acknowledge(int id, const QString& comment)
{
    for (const Alarm& a : m_rules.Alarms())
        if (a.id == id && !a.acknowledged)
            RecordAction(JournalAction::AlarmAcknowledge, JournalChamber(m_watched.chamberAddress), AlarmJournalText(a),
                         comment, JournalOutcomeDone());
    if (auto event = m_rules.Acknowledge(id, Now()))
        Handle({*event});
}

void TAlarmCenter::AcknowledgeAll(const QString& comment)
{
    std::vector<AlarmEvent> events;
    const qint64 now = Now();
    std::vector<int> ids;
    for (const Alarm& a : m_rules.Alarms())
        if (!a.acknowledged)
            ids.push_back(a.id);
    // One record per alarm, each before its acknowledgement; a refused record
    // leaves that alarm and the rest unacknowledged.
    try {
        for (int id : ids) {
            for (const Alarm& a : m_rules.Alarms())
                if (a.id == id)
                    RecordAction(JournalAction::AlarmAcknowledge, JournalChamber(m_watched.chamberAddress),
                                 AlarmJournalText(a), comment, JournalOutcomeDone());
            if (auto event = m_rules.Acknowledge(id, now))
                events.push_back(*event);
        }
    } catch (...) {
        Handle(events);
        throw;
    }
    Handle(events);
}

void TAlarmCenter::ApplySettings(const AlarmSettings& settings, bool save)
{
    // The operator's change (save) is recorded first; loading at start is not an action.
    if (save)
        RecordAction(JournalAction::AlarmSettings, QString(), SettingsText(m_rules.Settings()), SettingsText(settings),
                     JournalOutcomeDone());
    if (save)
        SaveAlarmSettings(SaneAlarmSettings(settings));
    Handle(m_rules.SetSettings(settings, Now()));
    if (m_window)
        m_window->ShowSettings(m_rules.Settings());
}

void TAlarmCenter::Handle(const std::vector<AlarmEvent>& events)
{
    m_watched.alarmsTemperature = m_rules.ActiveCount(AlarmKind::Temperature);
    m_watched.alarmsHumidity = m_rules.ActiveCount(AlarmKind::Humidity);
    m_watched.alarmsLink = m_rules.ActiveCount(AlarmKind::Link);
    m_watched.alarmsProgramEnd = m_rules.OutstandingCount(AlarmKind::ProgramEnd);
    if (Endpoint)
        Endpoint->Publish(m_watched);
    if (events.empty())
        return;
    Refresh();
    QString failure;
    for (const AlarmEvent& e : events) {
        if (e.type == AlarmEventType::Start) {
            QString body = AlarmKindText(e.alarm.kind) + QStringLiteral(", камера №%1").arg(ChamberAddress);
            if (e.alarm.hasValues)
                body += QStringLiteral(": %1 при уставке %2").arg(e.alarm.value).arg(e.alarm.setPoint);
            m_notify(e.alarm.text, body, e.alarm.kind != AlarmKind::ProgramEnd);
        }
        // Every line is tried, so that one failure does not hide the rest;
        // the operator hears of it once.
        // An alarm's every line names where it started, even when another
        // port has been opened since.
        if (e.type == AlarmEventType::Start)
            m_places[e.alarm.id] = Place();
        const auto started = m_places.find(e.alarm.id);
        const AlarmPlace place = started != m_places.end() ? started->second : Place();
        try {
            AppendAlarmEvent(EventFileName(), AlarmEventLine(e, place));
        } catch (const std::exception& error) {
            if (failure.isEmpty())
                failure = QString::fromUtf8(error.what());
        }
    }
    // Places of alarms the rules no longer keep are not needed again.
    for (auto it = m_places.begin(); it != m_places.end();) {
        const bool kept = std::any_of(m_rules.Alarms().begin(), m_rules.Alarms().end(),
                                      [&](const Alarm& a) { return a.id == it->first; });
        it = kept ? std::next(it) : m_places.erase(it);
    }
    if (!failure.isEmpty())
        ShowError(QStringLiteral("Файл тревог %1: %2").arg(EventFileName(), failure));
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

QString TAlarmCenter::MarkerText() const { return MarkerOf(m_rules.Alarms()).text; }

void TAlarmCenter::Refresh()
{
    if (m_window)
        m_window->ShowAlarms(m_rules.Alarms());
    if (!m_marker)
        return;
    const AlarmMarker marker = MarkerOf(m_rules.Alarms());
    m_marker->setText(marker.text);
    m_marker->setToolTip(marker.text);
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
    m_window->ShowAlarms(m_rules.Alarms());
    BringToFront(m_window);
}

void AlarmsAfterPoll(bool found, const StatusReply& reply, bool linkWindowOpen)
{
    if (AlarmCenter)
        AlarmCenter->AfterPoll(found, reply, linkWindowOpen);
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
