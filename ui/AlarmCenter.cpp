#include "ui/AlarmCenter.h"

#include "ui/ScreenFit.h"

#include <QDateTime>
#include <QPushButton>
#include <QSettings>

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

const char* const kGroup = "alarms";

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

AlarmSettings LoadAlarmSettings()
{
    QSettings settings;
    settings.beginGroup(QLatin1String(kGroup));
    AlarmSettings s;
    s.temperatureOn = settings.value("temperatureOn", s.temperatureOn).toBool();
    s.temperatureBand = settings.value("temperatureBand", s.temperatureBand).toDouble();
    s.temperatureDelay = settings.value("temperatureDelay", s.temperatureDelay).toInt();
    s.humidityOn = settings.value("humidityOn", s.humidityOn).toBool();
    s.humidityBand = settings.value("humidityBand", s.humidityBand).toDouble();
    s.humidityDelay = settings.value("humidityDelay", s.humidityDelay).toInt();
    s.linkOn = settings.value("linkOn", s.linkOn).toBool();
    s.programEndOn = settings.value("programEndOn", s.programEndOn).toBool();
    return SaneAlarmSettings(s);
}

void SaveAlarmSettings(const AlarmSettings& s)
{
    QSettings settings;
    settings.beginGroup(QLatin1String(kGroup));
    settings.setValue("temperatureOn", s.temperatureOn);
    settings.setValue("temperatureBand", s.temperatureBand);
    settings.setValue("temperatureDelay", s.temperatureDelay);
    settings.setValue("humidityOn", s.humidityOn);
    settings.setValue("humidityBand", s.humidityBand);
    settings.setValue("humidityDelay", s.humidityDelay);
    settings.setValue("linkOn", s.linkOn);
    settings.setValue("programEndOn", s.programEndOn);
    settings.endGroup();
    settings.sync();
}

TAlarmCenter::TAlarmCenter() : m_notify(NotifyDesktop)
{
    m_window = new TAlarmWindow(this);
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
        m_watched.port = QString::fromStdString(PortNameForIndex(Form1->ComboBox1->currentIndex()));
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
        try {
            AppendAlarmEvent(EventFileName(), AlarmEventLine(e, Place()));
        } catch (const std::exception& error) {
            if (failure.isEmpty())
                failure = QString::fromUtf8(error.what());
        }
    }
    if (!failure.isEmpty())
        ShowError(QStringLiteral("Файл тревог %1: %2").arg(EventFileName(), failure));
}

QString TAlarmCenter::MarkerText() const
{
    const Alarm* newestActive = nullptr;
    const Alarm* newestOpen = nullptr;
    int active = 0, unacknowledged = 0;
    for (const Alarm& a : m_rules.Alarms()) {
        if (a.Active()) {
            ++active;
            newestActive = &a;
        }
        if (!a.acknowledged) {
            ++unacknowledged;
            newestOpen = &a;
        }
    }
    if (active > 0) {
        const QString more = active > 1 ? QStringLiteral(" (всего %1)").arg(active) : QString();
        const bool open = std::any_of(m_rules.Alarms().begin(), m_rules.Alarms().end(),
                                      [](const Alarm& a) { return a.Active() && !a.acknowledged; });
        return (open ? QStringLiteral("ТРЕВОГА: ") : QStringLiteral("Тревога (подтверждена): ")) +
               newestActive->text + more;
    }
    if (unacknowledged > 0)
        return QStringLiteral("Не подтверждено: ") + newestOpen->text;
    return QStringLiteral("Тревог нет");
}

void TAlarmCenter::Refresh()
{
    if (m_window)
        m_window->ShowAlarms(m_rules.Alarms());
    if (!m_marker)
        return;
    const QString text = MarkerText();
    m_marker->setText(text);
    m_marker->setToolTip(text);
    if (text.startsWith(QStringLiteral("ТРЕВОГА")))
        m_marker->setStyleSheet(MarkerStyle("rgb(220, 0, 0)", "white"));
    else if (text.startsWith(QStringLiteral("Тревога")))
        m_marker->setStyleSheet(MarkerStyle("rgb(255, 165, 0)", "black"));
    else if (text.startsWith(QStringLiteral("Не подтверждено")))
        m_marker->setStyleSheet(MarkerStyle("rgb(255, 235, 100)", "black"));
    else
        m_marker->setStyleSheet(MarkerStyle("rgb(230, 245, 230)", "rgb(0, 110, 0)"));
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
