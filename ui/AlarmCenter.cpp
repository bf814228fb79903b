#include "ui/AlarmCenter.h"

#include "ui/ScreenFit.h"

#include <QDateTime>
#include <QJsonObject>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QStringList>
#include <algorithm>
#include <set>

#include "monitoring/DataLog.h"
#include "monitoring/Monitoring.h"
#include "monitoring/ReadWatch.h"
#include "services/RecorderClient.h"
#include "services/StatusEndpoint.h"
#include "services/Watching.h"
#include "services/JournalRecorder.h"
#include "ui/AlarmWindow.h"
#include "ui/ChangeReason.h"
#include "ui/DesktopNotifier.h"
#include "ui/ErrorDisplay.h"
#include "ui/OverviewWindow.h"
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

// The desktop's one line.
ChamberKey Desk(int address) { return {QString(), address}; }

AlarmNotifier g_defaultNotifier;

}  // namespace

void SetDefaultAlarmNotifier(AlarmNotifier notifier) { g_defaultNotifier = std::move(notifier); }

TAlarmCenter::TAlarmCenter() : m_notify(g_defaultNotifier ? g_defaultNotifier : AlarmNotifier(NotifyDesktop))
{
    AlarmServiceOptions options;
    // Every event, the lab's too, beside the data logs.
    options.eventFile = [](const QString&) { return AlarmEventFileName(LogFolder()); };
    // Only a chamber that someone means to read can be unread: one the
    // overview watches, or the selected one while reading is on.
    options.overdue = [this](const ChamberKey& chamber, qint64) {
        const WatchedStatus& polled = m_board.Polled();
        const bool read = (FormOverview && FormOverview->Chamber(chamber.second)) ||
                          (polled.reading && chamber.second == polled.chamberAddress);
        return read && ChamberReadOverdue(chamber.second, ReadClock::now());
    };
    m_service = std::make_unique<AlarmService>(std::move(options));
    m_window = new TAlarmWindow;
    m_window->ShowSettings(m_service->Settings());
    // The window only asks; what happens is decided by the service.
    connect(m_window, &TAlarmWindow::AcknowledgeRequested, this, [this](int id, const QString& comment) { Acknowledge(id, comment); });
    connect(m_window, &TAlarmWindow::AcknowledgeAllRequested, this,
            [this](const QString& comment) { AcknowledgeAll(comment); });
    connect(m_window, &TAlarmWindow::SettingsChosen, this, [this](const AlarmSettings& settings) {
        // A change of the bands asks for its reason where one is required.
        if (!(settings == Settings())) {
            QString reason;
            if (!AskChangeReason(m_window, QStringLiteral("Настройка тревог"), &reason))
                return;
            if (!reason.isEmpty())
                Guarded([&] { RecordChangeReason(JournalAction::AlarmSettings, QString(), reason); });
        }
        ApplySettings(settings, true);
    });
    connect(m_window, &TAlarmWindow::ReasonRequirementChosen, this,
            [](bool required) { Guarded([&] { SetChangeReasonRequired(required); }); });
    connect(m_window, &TAlarmWindow::ArmingChosen, this, [this](int address, bool armed) {
        SetDeviationArmed(address, armed, QStringLiteral("оператором"), true);
    });
    connect(m_service.get(), &AlarmService::EventsRaised, this,
            [this](const QString&, int address, const std::vector<AlarmEvent>& events) { Notify(address, events); });
    connect(m_service.get(), &AlarmService::AlarmsChanged, this, [this](const QString&, int address) {
        if (address == m_board.Polled().chamberAddress)
            PublishSelected();
        Refresh();
        emit ChamberAlarmsChanged(address);
    });
    connect(m_service.get(), &AlarmService::LabAlarmsChanged, this, [this] {
        Refresh();
        // Every tile shows the lab's alarms: the overview's chambers, read yet or not.
        std::set<int> addresses;
        for (const ChamberKey& chamber : m_service->Chambers())
            addresses.insert(chamber.second);
        if (FormOverview)
            for (int address : FormOverview->Watched())
                addresses.insert(address);
        for (int address : addresses)
            emit ChamberAlarmsChanged(address);
    });
    connect(m_service.get(), &AlarmService::ArmingChanged, this, [this] { ShowArming(); });
    connect(m_service.get(), &AlarmService::EventFileFailed, this,
            [this](const QString&, const QString& failure) { TellFailure(failure); });
}

TAlarmCenter::~TAlarmCenter()
{
    // The service's last signals find no window.
    m_service->disconnect(this);
    delete m_window;
}

qint64 TAlarmCenter::Now() const { return QDateTime::currentMSecsSinceEpoch(); }

QString TAlarmCenter::EventFileName() const { return AlarmEventFileName(LogFolder()); }

void TAlarmCenter::SetNotifier(std::function<bool(const QString&, const QString&, bool)> notifier)
{
    m_notify = notifier ? std::move(notifier) : g_defaultNotifier ? g_defaultNotifier : AlarmNotifier(NotifyDesktop);
}

void TAlarmCenter::TellFailure(const QString& failure)
{
    if (!failure.isEmpty())
        ShowError(QStringLiteral("Файл тревог %1: %2").arg(EventFileName(), failure));
}

void TAlarmCenter::Notify(int address, const std::vector<AlarmEvent>& events)
{
    // The operator is called for the chamber being read in the main window.
    const WatchedStatus& polled = m_board.Polled();
    if (!polled.reading || address != polled.chamberAddress)
        return;
    for (const AlarmEvent& e : events) {
        if (e.type == AlarmEventType::Start) {
            QString body = AlarmKindText(e.alarm.kind) + QStringLiteral(", камера №%1").arg(address);
            if (e.alarm.hasValues)
                body += QStringLiteral(": %1 при уставке %2").arg(e.alarm.value).arg(e.alarm.setPoint);
            m_notify(e.alarm.text, body, e.alarm.kind != AlarmKind::ProgramEnd);
        }
    }
}

const AlarmRules& TAlarmCenter::Rules() const { return m_service->RulesOrSettings(Desk(ChamberAddress)); }

const AlarmRules* TAlarmCenter::ChamberRules(int address) const { return m_service->Rules(Desk(address)); }

std::vector<ChamberAlarm> TAlarmCenter::AllAlarms() const
{
    if (!FollowsRecorder())
        return m_service->AllAlarms();
    // A signing lock is this desktop's, not the recorder's: shown while it holds.
    std::vector<ChamberAlarm> all = m_recorderAlarms;
    for (const Alarm& a : m_service->LabAlarms())
        if (a.kind == AlarmKind::Signing && a.active)
            all.push_back({kLabWideAlarm, a});
    return all;
}

void TAlarmCenter::SigningLocked(const QString& login, qint64 untilMs)
{
    const QString text = QStringLiteral("подпись для %1 заблокирована до %2 после трёх неверных паролей")
                             .arg(login, QDateTime::fromMSecsSinceEpoch(untilMs).toString(QStringLiteral("HH:mm:ss")));
    // A second lock while one stands keeps the standing alarm.
    if (m_service->SetLabAlarm(AlarmKind::Signing, text, true))
        m_notify(text, QStringLiteral("Попытки подписи журналируются"), true);
    Refresh();
    const qint64 wait = std::max<qint64>(0, untilMs - QDateTime::currentMSecsSinceEpoch());
    QTimer::singleShot(std::chrono::milliseconds(wait + 100), this, [this, untilMs] {
        if (QDateTime::currentMSecsSinceEpoch() < untilMs)
            return;
        m_service->SetLabAlarm(AlarmKind::Signing, QString(), false);
        Refresh();
    });
}

std::vector<Alarm> TAlarmCenter::ChamberAlarms(int address) const
{
    std::vector<Alarm> alarms;
    if (FollowsRecorder()) {
        for (const ChamberAlarm& c : m_recorderAlarms)
            if (c.chamberAddress == address)
                alarms.push_back(c.alarm);
    } else if (const AlarmRules* rules = m_service->Rules(Desk(address))) {
        alarms = rules->Alarms();
    }
    return alarms;
}

void TAlarmCenter::FollowRecorderAlarms(const QString& line, bool force)
{
    if (line != m_recorderLine) {
        force = true;
        m_recorderLine = line;
        m_recorderAlarms.clear();
        m_recorderAlarmsKnown = false;
        m_recorderAlarmsAsked = false;
        // The recorder's bands and delays are its configuration's.
        if (m_window)
            m_window->ButtonSettings->setEnabled(false);
        Refresh();
    }
    RecorderClient& recorder = DesktopRecorder();
    if (m_recorderAlarmsAsked || !recorder.Attached())
        return;
    // Once a second is the pace of the reads' own asks.
    if (!force && m_recorderAlarmsFollowed.isValid() && m_recorderAlarmsFollowed.elapsed() < 1000)
        return;
    m_recorderAlarmsFollowed.restart();
    m_recorderAlarmsAsked = true;
    recorder.Request(QStringLiteral("alarms"), {{QStringLiteral("line"), line}}, [this, line](const QJsonObject& reply) {
        if (line != m_recorderLine)
            return;
        m_recorderAlarmsAsked = false;
        if (reply.value(QStringLiteral("ok")).toBool())
            TakeRecorderAlarms(RecorderAlarmsOf(reply));
    });
}

void TAlarmCenter::LeaveRecorderAlarms()
{
    if (!FollowsRecorder())
        return;
    std::set<int> shown;
    for (const ChamberAlarm& c : m_recorderAlarms)
        shown.insert(c.chamberAddress);
    m_recorderLine.clear();
    m_recorderAlarms.clear();
    m_recorderAlarmsAsked = false;
    if (m_window)
        m_window->ButtonSettings->setEnabled(true);
    Refresh();
    for (int address : shown)
        emit ChamberAlarmsChanged(address);
}

void TAlarmCenter::TakeRecorderAlarms(const std::vector<ChamberAlarm>& alarms)
{
    if (!FollowsRecorder())
        return;
    const auto same = [](const ChamberAlarm& x, const ChamberAlarm& y) {
        return x.chamberAddress == y.chamberAddress && x.alarm.id == y.alarm.id && x.alarm.active == y.alarm.active &&
               x.alarm.acknowledged == y.alarm.acknowledged && x.alarm.text == y.alarm.text;
    };
    if (m_recorderAlarmsKnown && alarms.size() == m_recorderAlarms.size() &&
        std::equal(alarms.begin(), alarms.end(), m_recorderAlarms.begin(), same))
        return;
    std::set<int> known, changed;
    for (const ChamberAlarm& c : m_recorderAlarms) {
        known.insert(c.alarm.id);
        changed.insert(c.chamberAddress);
    }
    // The operator is called for an alarm of the selected chamber that
    // started since the desktop attached, as for one of its own.
    if (m_recorderAlarmsKnown) {
        std::vector<AlarmEvent> started;
        for (const ChamberAlarm& c : alarms)
            if (!known.count(c.alarm.id) && c.alarm.active && c.chamberAddress == ChamberAddress) {
                AlarmEvent event;
                event.type = AlarmEventType::Start;
                event.time = c.alarm.start;
                event.alarm = c.alarm;
                started.push_back(event);
            }
        if (!started.empty())
            Notify(ChamberAddress, started);
    }
    m_recorderAlarms = alarms;
    m_recorderAlarmsKnown = true;
    for (const ChamberAlarm& c : m_recorderAlarms)
        changed.insert(c.chamberAddress);
    // The lab's alarms stand on every tile.
    if (changed.count(kLabWideAlarm) && FormOverview)
        for (int address : FormOverview->Watched())
            changed.insert(address);
    Refresh();
    for (int address : changed)
        if (address != kLabWideAlarm)
            emit ChamberAlarmsChanged(address);
}

void TAlarmCenter::AcknowledgeAtRecorder(const QJsonObject& fields)
{
    RecorderClient& recorder = DesktopRecorder();
    if (!recorder.Attached()) {
        ShowError(QStringLiteral("Тревога не квитирована: %1").arg(RecorderUnavailableText()));
        return;
    }
    QJsonObject request = fields;
    request.insert(QStringLiteral("line"), m_recorderLine);
    const QString line = m_recorderLine;
    recorder.Request(QStringLiteral("ack"), request, [this, line](const QJsonObject& reply) {
        if (line != m_recorderLine)
            return;
        if (!reply.value(QStringLiteral("ok")).toBool())
            ShowError(QStringLiteral("Тревога не квитирована: %1").arg(RecorderErrorText(reply)));
        // What the recorder holds now, acknowledged or not.
        m_recorderAlarmsAsked = false;
        FollowRecorderAlarms(line, true);
    });
}

DeviationArming TAlarmCenter::Arming(int address) const
{
    // The recorder arms by the program the chamber runs; this desktop's
    // switches say nothing of it.
    if (FollowsRecorder())
        return DeviationArming{true, 0, {}};
    return m_service->Arming(Desk(address));
}

void TAlarmCenter::SetDeviationArmed(int address, bool armed, const QString& why, bool byOperator)
{
    m_service->SetDeviationArmed(Desk(address), armed, why, byOperator);
}

void TAlarmCenter::CommandConfirmed(int address, bool start) { m_service->CommandConfirmed(Desk(address), start); }

std::vector<ChamberArming> TAlarmCenter::AllArming() const
{
    std::set<int> known;
    for (const ChamberKey& chamber : m_service->Chambers())
        known.insert(chamber.second);
    if (FormOverview)
        for (int address : FormOverview->Watched())
            known.insert(address);
    if (m_board.Polled().reading)
        known.insert(m_board.Polled().chamberAddress);
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

void TAlarmCenter::AfterPoll(bool found, const StatusReply& reply)
{
    const qint64 now = Now();
    const WatchedStatus before = m_board.Polled();
    if (before.chamberAddress != ChamberAddress) {
        m_board.Poll(ChamberAddress);
        // The chamber no one reads any more ends its alarms as a stopped
        // reading does; one the overview still reads keeps its state.
        const bool stillRead = FormOverview && FormOverview->Chamber(before.chamberAddress);
        if (before.reading && !stillRead)
            TellFailure(m_service->StopChamber(Desk(before.chamberAddress), now).failure);
    }
    const QString port = Form1 ? Form1->OpenPortName() : before.port;
    m_service->SetLinePort(QString(), port);
    ChamberRead read;
    read.read.address = ChamberAddress;
    read.read.answered = found;
    read.read.selected = true;
    read.read.reply = reply;
    read.timeMs = now;
    m_board.TakePolledRead(read, port);
    if (FollowsRecorder()) {
        PublishSelected();
        return;
    }
    const AlarmOutcome outcome = m_service->TakeRead(read);
    PublishSelected();
    TellFailure(outcome.failure);
}

void TAlarmCenter::ReadingStopped()
{
    m_board.StopPolled();
    // A chamber the overview still reads goes on with its alarms.
    if (!(FormOverview && FormOverview->Chamber(ChamberAddress)))
        TellFailure(m_service->StopChamber(Desk(ChamberAddress), Now()).failure);
    PublishSelected();
}

std::vector<AlarmEvent> TAlarmCenter::AfterChamberRead(const OverviewRead& read, const QString& port, QString* failure)
{
    if (FollowsRecorder())
        return {};
    m_service->SetLinePort(QString(), port);
    const AlarmOutcome outcome = m_service->TakeRead({QString(), read, Now()});
    if (failure)
        *failure = outcome.failure;
    return outcome.events;
}

void TAlarmCenter::CheckReads()
{
    // The recorder watches its own reads.
    if (!FollowsRecorder())
        m_service->CheckReads(Now());
}

void TAlarmCenter::Acknowledge(int id, const QString& comment)
{
    if (FollowsRecorder())
        AcknowledgeAtRecorder({{QStringLiteral("id"), id}, {QStringLiteral("comment"), comment}});
    else
        m_service->Acknowledge(id, comment);
}

void TAlarmCenter::AcknowledgeAll(const QString& comment)
{
    if (FollowsRecorder())
        AcknowledgeAtRecorder({{QStringLiteral("all"), true}, {QStringLiteral("comment"), comment}});
    else
        m_service->AcknowledgeAll(comment);
}

void TAlarmCenter::ApplySettings(const AlarmSettings& settings, bool save)
{
    m_service->ApplySettings(settings, save);
    if (m_window)
        m_window->ShowSettings(m_service->Settings());
}

void TAlarmCenter::LoadSettings()
{
    QStringList refused;
    ApplySettings(LoadAlarmSettings(&refused), false);
    // Said once, at start: the defaults stand until the dialog saves.
    if (!refused.isEmpty())
        ShowError(QStringLiteral("Настройки тревог в %1: неверные значения %2 заменены значениями по умолчанию")
                      .arg(QSettings().fileName(), refused.join(QStringLiteral(", "))));
}

void TAlarmCenter::PublishSelected()
{
    const int address = m_board.Polled().chamberAddress;
    m_board.SetPolledAlarms(FollowsRecorder() ? OutstandingAlarmCounts(ChamberAlarms(address))
                                              : ActiveAlarmCounts(m_service->RulesOrSettings(Desk(address))));
    if (Endpoint)
        Endpoint->Publish(m_board.Polled());
}

void TAlarmCenter::JournalWritable(bool writable, const QString& reason)
{
    const QString text = QStringLiteral("журнал действий не записывается");
    m_journalReason = writable ? QString() : reason;
    const bool changed = m_service->SetLabAlarm(AlarmKind::Journal, text, !writable);
    if (changed && !writable)
        m_notify(text, reason, true);
    // The tooltip follows the reason while the alarm stands.
    if (!changed && m_marker && !writable)
        Refresh();
}

QString TAlarmCenter::LabAlarmText() const
{
    if (!FollowsRecorder())
        return m_service->LabAlarmText();
    QStringList texts;
    for (const ChamberAlarm& c : AllAlarms())
        if (c.chamberAddress == kLabWideAlarm && (c.alarm.active || !c.alarm.acknowledged))
            texts << (c.alarm.active ? c.alarm.text : QStringLiteral("Не подтверждено: ") + c.alarm.text);
    return texts.join(u'\n');
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
    if (FollowsRecorder())
        FollowRecorderAlarms(m_recorderLine, true);
    m_window->ShowAlarms(AllAlarms());
    BringToFront(m_window);
}

void AlarmsAfterPoll(bool found, const StatusReply& reply)
{
    if (AlarmCenter)
        AlarmCenter->AfterPoll(found, reply);
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

void StartWatching(const QStringList& arguments)
{
    if (AlarmCenter)
        AlarmCenter->LoadSettings();
    const QString error = StartWatchingEndpoint(arguments);
    if (!error.isEmpty()) {
        ShowError(error);
        return;
    }
    if (AlarmCenter && Endpoint)
        Endpoint->Publish(AlarmCenter->Watched());
}
