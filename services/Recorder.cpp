#include "services/Recorder.h"

#include "services/RemoteSignatures.h"
#include "services/Signature.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "control/Checks.h"
#include "control/Commands.h"
#include "control/Convert.h"
#include "link/Rtu.h"
#include "link/ThreadHandoff.h"
#include "link/Waits.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/HandlerErrors.h"
#include "monitoring/LocaleText.h"
#include "monitoring/LogReader.h"
#include "monitoring/StatusFields.h"

namespace {

constexpr const char* kLockName = "recorder.pid";

void WriteToStandardError(const QString& text)
{
    // One write a line, so lines of two threads never interleave.
    const QByteArray line = (text + u'\n').toUtf8();
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.constData(), static_cast<size_t>(line.size()));
}

QString LineLabel(const QString& name, const TransportAddress& address)
{
    return QStringLiteral("линия %1 (%2)").arg(name, QString::fromStdString(TransportText(address)));
}

}  // namespace

AlarmServiceOptions Recorder::AlarmOptions()
{
    AlarmServiceOptions options;
    // A line's events beside its data logs; the lab's in the folder itself.
    options.eventFile = [this](const QString& line) {
        return AlarmEventFileName(line.isEmpty() ? m_config.folder + u'/' : LineFolder(line));
    };
    options.armingFollowsProgram = true;
    options.keepUnwritten = true;
    // The recorder journals what it does itself; no operator acknowledges here.
    options.journal = false;
    return options;
}

Recorder::Recorder(EventSink sink, QObject* parent)
    : QObject(parent), m_sink(std::move(sink)), m_alarms(AlarmOptions())
{
    qRegisterMetaType<OverviewRead>();
    connect(&m_alarms, &AlarmService::EventsRaised, this,
            [this](const QString& line, int address, const std::vector<AlarmEvent>& events) {
                for (const AlarmEvent& event : events)
                    if (event.type == AlarmEventType::Start)
                        Event(QStringLiteral("тревога: линия %1, камера №%2: %3")
                                  .arg(line)
                                  .arg(address)
                                  .arg(event.alarm.text));
            });
    connect(&m_alarms, &AlarmService::AlarmsChanged, this, [this](const QString& line, int address) {
        if (const AlarmRules* rules = m_alarms.Rules({line, address}))
            m_board.SetAlarmCounts({line, address}, ActiveAlarmCounts(*rules));
    });
    connect(&m_alarms, &AlarmService::EventFileFailed, this,
            [this](const QString& file, const QString& failure) {
                Recording(false, QStringLiteral("%1: %2").arg(file, failure));
            });
    m_minute.setSingleShot(true);
    m_minute.setTimerType(Qt::PreciseTimer);
    // The endpoint gets a copy of every chamber once a second: a scrape then
    // costs the lines nothing, however many chambers and scrapers there are.
    connect(&m_publish, &QTimer::timeout, this, [this] {
        m_board.PublishLines(m_endpoint.get());
    });
    connect(&m_minute, &QTimer::timeout, this, [this] {
        WriteMinute();
        ScheduleMinute();
    });
}

Recorder::~Recorder()
{
    Stop();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void Recorder::Event(const QString& text)
{
    if (m_sink)
        m_sink(text);
    else
        WriteToStandardError(text);
}

QString Recorder::LineFolder(const QString& line) const { return m_config.folder + u'/' + line + u'/'; }

bool Recorder::Start(const RecorderConfig& config, QString* error)
{
    m_config = config;
    m_alarms.ApplySettings(config.alarms, false);
    if (!QDir().mkpath(config.folder)) {
        *error = QStringLiteral("%1: папка не создаётся").arg(config.folder);
        return false;
    }
    // The folder is one recorder's: two would write every record twice.
    const QByteArray lockPath = QDir(config.folder).filePath(QString::fromLatin1(kLockName)).toLocal8Bit();
    m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0) {
        *error = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(lockPath), IoErrorMessage(errno));
        return false;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        [[maybe_unused]] const ssize_t n = ::pread(m_lockFd, pid, sizeof pid - 1, 0);
        *error = QStringLiteral("папку %1 уже ведёт другой регистратор (pid %2)")
                     .arg(config.folder, QString::fromLatin1(pid).trimmed());
        ::close(m_lockFd);
        m_lockFd = -1;
        return false;
    }
    const QByteArray pid = QByteArray::number(static_cast<qint64>(::getpid())) + '\n';
    if (::ftruncate(m_lockFd, 0) == 0)
        [[maybe_unused]] const ssize_t n = ::pwrite(m_lockFd, pid.constData(), static_cast<size_t>(pid.size()), 0);
    m_separator = DecimalSeparator();
    if (config.listen) {
        m_endpoint = std::make_unique<StatusEndpoint>();
        QString why;
        if (!m_endpoint->Start(config.listenHost, config.listenPort, &why)) {
            *error = QStringLiteral("listen %1:%2: %3").arg(config.listenHost).arg(config.listenPort).arg(why);
            m_endpoint.reset();
            ::close(m_lockFd);
            m_lockFd = -1;
            return false;
        }
        m_endpoint->PublishLines({});
        // The recorder's journal is in its folder: /metrics carries its head.
        m_endpoint->WatchJournal(config.folder);
        m_publish.start(ScaledMs(1000));
    }
    m_started = true;
    QString setAside;
    const JournalCheck check = CheckJournalAtStart(config.folder, &setAside);
    if (!check.ok)
        Event(JournalBreakMessage(check, setAside));
    Event(QStringLiteral("регистратор запущен: папка %1, линий %2").arg(config.folder).arg(config.lines.size()));
    Journal(JournalAction::RecorderStart, QString(), QStringLiteral("линий %1").arg(config.lines.size()));
    // What each chamber is held to, said once, so the log shows it was taken.
    for (const auto& [chamber, condition] : config.alarms.conditions)
        Event(QStringLiteral("условие хранения: камера %1: %2")
                  .arg(JournalChamber(chamber), ConditionJournalText(&condition)));
    for (const RecorderLine& line : config.lines)
        StartLine(line);
    StartControl();
    ScheduleMinute();
    return true;
}

ControlServer::DeferredHandler Recorder::Command(CommandHandler handler)
{
    return [this, handler](const ControlPeer& peer, const QJsonObject& request, ControlServer::Reply reply) {
        const QJsonObject now = (this->*handler)(peer, request, reply);
        if (!now.isEmpty())
            reply(now);
    };
}

void Recorder::StartControl()
{
    m_control.reset();
    if (m_config.socket.isEmpty())
        return;
    auto control = std::make_unique<ControlServer>(m_config.access);
    control->Handle(QStringLiteral("lines"), ControlServer::Needs::Read,
                    [this](const ControlPeer&, const QJsonObject& request) { return LinesAnswer(request); });
    control->Handle(QStringLiteral("status"), ControlServer::Needs::Read,
                    [this](const ControlPeer&, const QJsonObject& request) { return StatusAnswer(request); });
    control->HandleDeferred(QStringLiteral("run"), ControlServer::Needs::Write, Command(&Recorder::RunAnswer));
    control->HandleDeferred(QStringLiteral("setpoint"), ControlServer::Needs::Write, Command(&Recorder::SetPointAnswer));
    control->HandleDeferred(QStringLiteral("program"), ControlServer::Needs::Write, Command(&Recorder::ProgramAnswer));
    control->HandleDeferred(QStringLiteral("programstart"), ControlServer::Needs::Write, Command(&Recorder::ProgramStartAnswer));
    control->Handle(QStringLiteral("alarms"), ControlServer::Needs::Read,
                    [this](const ControlPeer&, const QJsonObject& request) { return AlarmsAnswer(request); });
    control->Handle(QStringLiteral("ack"), ControlServer::Needs::Write,
                    [this](const ControlPeer& peer, const QJsonObject& request) { return AckAnswer(peer, request); });
    control->Handle(QStringLiteral("signatures"), ControlServer::Needs::Read,
                    [this](const ControlPeer&, const QJsonObject& request) { return SignaturesAnswer(request); });
    // A reviewer who signs need not be one who changes chambers.
    control->Handle(QStringLiteral("sign"), ControlServer::Needs::Read,
                    [this](const ControlPeer& peer, const QJsonObject& request) { return SignAnswer(peer, request); });
    control->Handle(QStringLiteral("signnote"), ControlServer::Needs::Read,
                    [this](const ControlPeer& peer, const QJsonObject& request) { return SignNoteAnswer(peer, request); });
    control->HandleDeferred(QStringLiteral("scan"), ControlServer::Needs::Read,
                            [this](const ControlPeer&, const QJsonObject& request, ControlServer::Reply reply) {
                                ScanAnswerLater(request, std::move(reply));
                            });
    control->OnRefusal([this](const ControlPeer& peer, const QString& op, const QString& why) {
        Event(QStringLiteral("управляющий сокет: %1 отказано в «%2»: %3").arg(peer.login, op, why));
        // Journalled as refused, under the caller's own name.
        JournalEntry entry;
        entry.action = JournalAction::ControlRefused;
        entry.oldValue = op;
        entry.newValue = why;
        entry.outcome = QStringLiteral("отклонено");
        entry.operatorName = peer.login;
        KeepJournal(entry);
    });
    QString why;
    if (!control->Listen(m_config.socket, &why)) {
        Event(QStringLiteral("управляющий сокет %1 не открыт: %2; запись идёт без него").arg(m_config.socket, why));
        return;
    }
    Event(QStringLiteral("управляющий сокет %1: чтение для группы %2, изменения для группы %3")
              .arg(m_config.socket, m_config.access.readGroup, m_config.access.writeGroup));
    m_control = std::move(control);
}

QJsonObject Recorder::LinesAnswer(const QJsonObject& request) const
{
    QJsonArray lines;
    for (const RecorderLine& line : m_config.lines) {
        const LineState state = LineStateOf(line.name);
        QJsonArray chambers;
        for (int address : state.chambers)
            chambers.append(address);
        lines.append(QJsonObject{{QStringLiteral("name"), line.name},
                                 {QStringLiteral("transport"), QString::fromStdString(TransportText(line.address))},
                                 {QStringLiteral("phase"), LinePhaseText(state.phase)},
                                 {QStringLiteral("reason"), state.reason},
                                 {QStringLiteral("chambers"), chambers}});
    }
    return ControlReply(request, {{QStringLiteral("lines"), lines}});
}

QJsonObject Recorder::CommandAnswer(const ControlPeer& peer, const QJsonObject& request, JournalAction action,
                                    const QString& oldValue, const QString& newValue,
                                    const std::vector<uint8_t>& frame, const ControlServer::Reply& reply)
{
    return CommandAnswer(peer, request, action, oldValue, newValue, std::vector<std::vector<uint8_t>>{frame}, reply);
}

QJsonObject Recorder::CommandAnswer(const ControlPeer& peer, const QJsonObject& request, JournalAction action,
                                    const QString& oldValue, const QString& newValue,
                                    const std::vector<std::vector<uint8_t>>& frames,
                                    const ControlServer::Reply& reply)
{
    const QString line = request.value(QStringLiteral("line")).toString();
    const int address = request.value(QStringLiteral("address")).toInt(-1);
    LineScheduler* scheduler = m_lines.at(line).get();
    JournalEntry entry;
    entry.action = action;
    entry.chamber = QStringLiteral("%1/%2").arg(line).arg(address);
    entry.oldValue = oldValue;
    entry.newValue = newValue;
    entry.outcome = JournalOutcomeSent();
    entry.operatorName = peer.login;
    try {
        // The caller's reason for the change, when given, just before it.
        const QString reason = request.value(QStringLiteral("reason")).toString().simplified();
        if (!reason.isEmpty()) {
            JournalEntry why;
            why.action = JournalAction::ChangeReason;
            why.chamber = entry.chamber;
            why.oldValue = JournalActionText(action);
            why.newValue = reason;
            why.outcome = JournalOutcomeDone();
            why.operatorName = peer.login;
            AppendAfterKeptJournal(m_config.folder, why);
        }
        AppendAfterKeptJournal(m_config.folder, entry);
    } catch (const std::exception& e) {
        return ControlError(request, QStringLiteral("не выполнено: журнал действий не записывается: %1")
                                         .arg(QString::fromUtf8(e.what())));
    }
    SayJournalHead();
    // A program's frames are one exchange: no read comes between them. The
    // answers come back to this thread, posted as the reads are; the line is
    // stopped before the recorder goes, and an event for an object gone is
    // dropped.
    auto answers = std::make_shared<std::vector<FrameAnswer>>();
    scheduler->ExchangeLater(
        [scheduler, frames, answers] {
            for (const std::vector<uint8_t>& frame : frames)
                answers->push_back(FrameAnswerOf(
                    scheduler->LineTransport().Write(frame.data(), static_cast<int>(frame.size()), kCommandPauseMs)));
        },
        [this, peer, request, entry, answers, reply](std::exception_ptr failure) {
            QString why;
            if (failure) {
                try {
                    std::rethrow_exception(failure);
                } catch (const std::exception& e) {
                    why = QString::fromUtf8(e.what());
                } catch (...) {
                    why = QStringLiteral("неизвестная ошибка");
                }
            }
            std::lock_guard<std::mutex> posting(HandoffLock(Handoff::LineRead));
            QMetaObject::invokeMethod(
                this,
                [this, peer, request, entry, answers, why, reply] {
                    { std::lock_guard<std::mutex> arrived(HandoffLock(Handoff::LineRead)); }
                    CommandEnded(peer, request, entry, *answers, why, reply);
                },
                Qt::QueuedConnection);
        });
    return QJsonObject();
}

void Recorder::CommandEnded(const ControlPeer& peer, const QJsonObject& request, JournalEntry entry,
                            const std::vector<FrameAnswer>& answers, const QString& failure,
                            const ControlServer::Reply& reply)
{
    const QString line = request.value(QStringLiteral("line")).toString();
    const int address = request.value(QStringLiteral("address")).toInt(-1);
    const bool confirmed = failure.isEmpty() && !answers.empty() && AllConfirmed(answers);
    if (!failure.isEmpty())
        entry.outcome = failure;
    else
        entry.outcome = answers.size() == 1 ? FrameAnswerText(answers.front()) : ProgramAnswerText(answers);
    if (confirmed && (entry.action == JournalAction::Start || entry.action == JournalAction::Stop))
        m_alarms.CommandConfirmed({line, address}, entry.action == JournalAction::Start);
    KeepJournal(entry);
    Event(QStringLiteral("линия %1, камера №%2: %3 (%4) по запросу %5: %6")
              .arg(line)
              .arg(address)
              .arg(JournalActionText(entry.action), entry.newValue, peer.login, entry.outcome));
    reply(ControlReply(request, {{QStringLiteral("outcome"), entry.outcome}, {QStringLiteral("confirmed"), confirmed}}));
}

QString Recorder::CommandTargetError(const QJsonObject& request) const
{
    const QString line = request.value(QStringLiteral("line")).toString();
    const int address = request.value(QStringLiteral("address")).toInt(-1);
    if (m_lines.find(line) == m_lines.end())
        return QStringLiteral("нет линии «%1»").arg(line);
    const LineState state = LineStateOf(line);
    if (state.phase == LinePhase::Lost)
        return QStringLiteral("линия %1 потеряна: %2; ничего не отправлено").arg(line, state.reason);
    if (!state.chambers.contains(address))
        return QStringLiteral("на линии %1 нет камеры №%2").arg(line).arg(address);
    return QString();
}

QJsonObject Recorder::RunAnswer(const ControlPeer& peer, const QJsonObject& request,
                                const ControlServer::Reply& reply)
{
    const QString where = CommandTargetError(request);
    if (!where.isEmpty())
        return ControlError(request, where);
    const QString run = request.value(QStringLiteral("run")).toString();
    const bool start = run == QLatin1String("start");
    const bool programStop = run == QLatin1String("stop-program");
    if (!start && !programStop && run != QLatin1String("stop"))
        return ControlError(request, QStringLiteral("run: ожидается start, stop или stop-program"));
    const QString line = request.value(QStringLiteral("line")).toString();
    const int address = request.value(QStringLiteral("address")).toInt();
    const RunFrame frame = BuildRunFrame(static_cast<uint8_t>(address), programStop ? kRegProgramRun : kRegManualRun,
                                         start ? kRunStart : kRunStop);
    QString mode = QStringLiteral("ручной");
    if (programStop) {
        // As the control window words a program's stop: the program the last read showed.
        const Chamber* chamber = FindChamber(line, address);
        mode = chamber && !chamber->view.programText.isEmpty()
                   ? QStringLiteral("программа %1").arg(chamber->view.programText)
                   : QStringLiteral("программа");
    }
    return CommandAnswer(peer, request, start ? JournalAction::Start : JournalAction::Stop, QString(), mode,
                         std::vector<uint8_t>(frame.begin(), frame.end()), reply);
}

QJsonObject Recorder::ProgramStartAnswer(const ControlPeer& peer, const QJsonObject& request,
                                         const ControlServer::Reply& reply)
{
    const QString where = CommandTargetError(request);
    if (!where.isEmpty())
        return ControlError(request, where);
    const int program = request.value(QStringLiteral("number")).toInt(0);
    if (program < 1 || program > 255)
        return ControlError(request, QStringLiteral("нет программы №%1").arg(program));
    const int address = request.value(QStringLiteral("address")).toInt();
    const ProgramStartFrame frame = BuildProgramStartFrame(static_cast<uint8_t>(address), program);
    return CommandAnswer(peer, request, JournalAction::Start, QString(), QStringLiteral("программа %1").arg(program),
                         std::vector<uint8_t>(frame.begin(), frame.end()), reply);
}

QJsonObject Recorder::ProgramAnswer(const ControlPeer& peer, const QJsonObject& request,
                                    const ControlServer::Reply& reply)
{
    const QString where = CommandTargetError(request);
    if (!where.isEmpty())
        return ControlError(request, where);
    // The table as the operator typed it, under the control window's check.
    ProgramTexts texts;
    texts.steps = request.value(QStringLiteral("steps")).toString();
    texts.cycles = request.value(QStringLiteral("cycles")).toString();
    const QJsonArray rows = request.value(QStringLiteral("cells")).toArray();
    for (int r = 0; r < kTableSteps && r < rows.size(); ++r) {
        const QJsonArray row = rows.at(r).toArray();
        for (int c = 0; c < kTableColumns && c < row.size(); ++c)
            texts.cells[r][c] = row.at(c).toString();
    }
    const int program = request.value(QStringLiteral("number")).toInt(0);
    try {
        if (!CheckProgramWrite(program, texts))
            return ControlError(request, QStringLiteral("программа не записана: значения вне допустимых пределов"));
    } catch (const EHandlerError& e) {
        return ControlError(request, QString::fromStdString(e.text));
    }
    const int address = request.value(QStringLiteral("address")).toInt();
    std::vector<std::vector<uint8_t>> frames;
    for (const StepFrame& frame : BuildProgramFrames(static_cast<uint8_t>(address), program, texts))
        frames.emplace_back(frame.begin(), frame.end());
    // A signed program's record carries its signatures, as this journal has them.
    return CommandAnswer(peer, request, JournalAction::ProgramWrite, QString(),
                         SignedProgramJournalText(program, texts, SignaturesOf(m_config.folder, ProgramSha256(texts))),
                         frames, reply);
}

QJsonObject Recorder::SetPointAnswer(const ControlPeer& peer, const QJsonObject& request,
                                     const ControlServer::Reply& reply)
{
    const QString where = CommandTargetError(request);
    if (!where.isEmpty())
        return ControlError(request, where);
    // The texts as the operator typed them, under the control window's checks.
    const QString temperature = request.value(QStringLiteral("temperature")).toString();
    const QString humidity = request.value(QStringLiteral("humidity")).toString();
    try {
        if (!CheckSetPoints(temperature, humidity))
            return ControlError(request, QStringLiteral("уставки вне допустимых пределов: %1 °C, %2 %")
                                             .arg(temperature, humidity));
    } catch (const EHandlerError& e) {
        return ControlError(request, QString::fromStdString(e.text));
    }
    const QString line = request.value(QStringLiteral("line")).toString();
    const int address = request.value(QStringLiteral("address")).toInt();
    QString oldValue;
    if (const Chamber* chamber = FindChamber(line, address);
        chamber && !(chamber->view.setTempText.isEmpty() && chamber->view.setHumidityText.isEmpty()))
        oldValue = QStringLiteral("%1 °C, %2 %").arg(chamber->view.setTempText, chamber->view.setHumidityText);
    const int t = StrToInt(temperature);
    const int h = StrToInt(humidity);
    const SetPointFrame frame = BuildSetPointFrame(static_cast<uint8_t>(address), t, h);
    return CommandAnswer(peer, request, JournalAction::SetPointWrite, oldValue, SetPointJournalText(t, h),
                         std::vector<uint8_t>(frame.begin(), frame.end()), reply);
}

namespace {
// The status reply the chamber gave last, rebuilt from its words with a good
// CRC: the desktop decodes it by the same table as a reply off its own port.
QByteArray StatusFrameOf(const Recorder::Chamber& chamber)
{
    if (chamber.answered == 0)
        return {};
    uint8_t frame[5 + 2 * kStatusWordCount];
    frame[0] = static_cast<uint8_t>(chamber.address);
    frame[1] = 0x04;
    frame[2] = 2 * kStatusWordCount;
    for (int n = 0; n < kStatusWordCount; ++n) {
        frame[3 + 2 * n] = static_cast<uint8_t>(chamber.lastReply.words[n] >> 8);
        frame[4 + 2 * n] = static_cast<uint8_t>(chamber.lastReply.words[n] & 0xFF);
    }
    const size_t length = AppendCrc(frame, 3 + 2 * kStatusWordCount);
    return QByteArray(reinterpret_cast<const char*>(frame), static_cast<int>(length));
}
}  // namespace

QJsonObject Recorder::StatusAnswer(const QJsonObject& request) const
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString line = request.value(QStringLiteral("line")).toString();
    if (!m_config.Line(line))
        return ControlError(request, QStringLiteral("нет линии «%1»").arg(line));
    QJsonArray chambers;
    for (const auto& [key, chamber] : m_chambers) {
        if (key.first != line)
            continue;
        const StatusView& v = chamber.view;
        chambers.append(QJsonObject{{QStringLiteral("address"), chamber.address},
                                    {QStringLiteral("reads"), chamber.reads},
                                    {QStringLiteral("answered"), chamber.answered},
                                    {QStringLiteral("currentTemp"), v.currentTempText},
                                    {QStringLiteral("setTemp"), v.setTempText},
                                    {QStringLiteral("currentHumidity"), v.currentHumidityText},
                                    {QStringLiteral("setHumidity"), v.setHumidityText},
                                    {QStringLiteral("program"), v.programText},
                                    {QStringLiteral("step"), v.stepText},
                                    {QStringLiteral("cycle"), v.cycleText},
                                    {QStringLiteral("frame"), QString::fromLatin1(StatusFrameOf(chamber).toHex())},
                                    {QStringLiteral("lastAnswered"), chamber.LastAnswered()},
                                    {QStringLiteral("readMs"), static_cast<double>(chamber.readMs)},
                                    {QStringLiteral("answeredMs"), static_cast<double>(chamber.answeredMs)},
                                    {QStringLiteral("linkLost"),
                                     chamber.readMs != 0 && !chamber.LastAnswered() && LinkLostAt(chamber.answeredMs, chamber.firstReadMs, now)},
                                    {QStringLiteral("log"), chamber.log ? chamber.log->FileName() : QString()}});
    }
    const LineState state = LineStateOf(line);
    return ControlReply(request, {{QStringLiteral("line"), line},
                                  {QStringLiteral("phase"), LinePhaseText(state.phase)},
                                  {QStringLiteral("reason"), state.reason},
                                  {QStringLiteral("chambers"), chambers}});
}

std::vector<Recorder::LineAlarm> Recorder::AlarmsOfLine(const QString& line) const
{
    std::vector<LineAlarm> all;
    for (const ChamberKey& chamber : m_alarms.Chambers())
        if (line.isEmpty() || chamber.first == line)
            if (const AlarmRules* rules = m_alarms.Rules(chamber))
                for (const Alarm& a : rules->Alarms())
                    all.push_back({chamber.first, chamber.second, a});
    for (const Alarm& a : m_alarms.LabAlarms())
        all.push_back({QString(), kLabWideAlarm, a});
    std::stable_sort(all.begin(), all.end(),
                     [](const LineAlarm& x, const LineAlarm& y) { return x.alarm.id < y.alarm.id; });
    return all;
}

QJsonObject Recorder::AlarmsAnswer(const QJsonObject& request) const
{
    const QString line = request.value(QStringLiteral("line")).toString();
    if (!line.isEmpty() && !m_config.Line(line))
        return ControlError(request, QStringLiteral("нет линии «%1»").arg(line));
    const std::vector<LineAlarm> all = AlarmsOfLine(line);
    // The newest alarms that still ask for the operator, then the newest of
    // the rest, so that the answer stays well inside one message.
    std::vector<bool> keep(all.size(), false);
    int kept = 0;
    for (const bool outstanding : {true, false})
        for (size_t i = all.size(); i-- > 0 && kept < kMostAlarmsAnswered;)
            if (!keep[i] && (all[i].alarm.active || !all[i].alarm.acknowledged) == outstanding) {
                keep[i] = true;
                ++kept;
            }
    QJsonArray alarms;
    for (size_t i = 0; i < all.size(); ++i) {
        if (!keep[i])
            continue;
        QJsonObject json = AlarmJson(all[i].alarm);
        json.insert(QStringLiteral("line"), all[i].line);
        json.insert(QStringLiteral("address"), all[i].address);
        alarms.append(json);
    }
    return ControlReply(request, {{QStringLiteral("alarms"), alarms}});
}

QJsonObject Recorder::AckAnswer(const ControlPeer& peer, const QJsonObject& request)
{
    const QString line = request.value(QStringLiteral("line")).toString();
    const bool all = request.value(QStringLiteral("all")).toBool();
    const int id = request.value(QStringLiteral("id")).toInt(0);
    const QString comment = request.value(QStringLiteral("comment")).toString();
    if (!all && id <= 0)
        return ControlError(request, QStringLiteral("ack: ожидается номер тревоги или all"));
    int acknowledged = 0;
    for (const LineAlarm& a : AlarmsOfLine(line)) {
        if (a.alarm.acknowledged || (!all && a.alarm.id != id))
            continue;
        // Journalled first, under the caller's name: one the journal refuses
        // is not made, nor any after it.
        JournalEntry entry;
        entry.action = JournalAction::AlarmAcknowledge;
        entry.chamber = a.address == kLabWideAlarm ? QString() : QStringLiteral("%1/%2").arg(a.line).arg(a.address);
        entry.oldValue = AlarmJournalText(a.alarm);
        entry.newValue = comment;
        entry.outcome = JournalOutcomeDone();
        entry.operatorName = peer.login;
        try {
            AppendAfterKeptJournal(m_config.folder, entry);
        } catch (const std::exception& e) {
            return ControlError(request, QStringLiteral("не квитировано: журнал действий не записывается: %1")
                                             .arg(QString::fromUtf8(e.what())));
        }
        SayJournalHead();
        m_alarms.Acknowledge(a.alarm.id, comment);
        ++acknowledged;
        Event(QStringLiteral("%1 квитирована по запросу %2").arg(AlarmJournalText(a.alarm), peer.login));
    }
    if (!all && acknowledged == 0)
        return ControlError(request, QStringLiteral("нет неквитированной тревоги №%1").arg(id));
    return ControlReply(request, {{QStringLiteral("acknowledged"), acknowledged}});
}

QJsonObject Recorder::SignaturesAnswer(const QJsonObject& request) const
{
    const QString sha = request.value(QStringLiteral("sha256")).toString();
    const QString subject = request.value(QStringLiteral("subject")).toString();
    if (sha.isEmpty() && subject.isEmpty())
        return ControlError(request, QStringLiteral("signatures: ожидается sha256 или subject"));
    QJsonArray found;
    for (const Signature& s : SignaturesOf(m_config.folder, sha, subject))
        found.append(SignatureJson(s));
    return ControlReply(request, {{QStringLiteral("signatures"), found}});
}

QJsonObject Recorder::SignAnswer(const ControlPeer& peer, const QJsonObject& request)
{
    const QString login = request.value(QStringLiteral("login")).toString();
    const QString subject = request.value(QStringLiteral("subject")).toString();
    const QString sha = request.value(QStringLiteral("sha256")).toString();
    SignatureMeaning meaning;
    if (login != peer.login)
        return ControlError(request, QStringLiteral("подписывает только сам подписант: соединение от %1, подпись за %2")
                                         .arg(peer.login, login));
    if (subject.isEmpty() || sha.size() != 64 ||
        !SignatureMeaningFromText(request.value(QStringLiteral("meaning")).toString(), &meaning))
        return ControlError(request, QStringLiteral("sign: ожидаются subject, sha256 (64 цифры) и meaning"));
    // The name from this machine's account, not from the caller.
    Signer signer(m_config.folder);
    const SignOutcome outcome = signer.Record(peer.login, FullNameOf(peer.login), subject, sha, meaning);
    if (!outcome.ok)
        return ControlError(request, outcome.error);
    SayJournalHead();
    Event(QStringLiteral("электронная подпись: %1 — %2").arg(subject, SignatureLine(outcome.signature)));
    return ControlReply(request, {{QStringLiteral("signature"), SignatureJson(outcome.signature)}});
}

QJsonObject Recorder::SignNoteAnswer(const ControlPeer& peer, const QJsonObject& request)
{
    JournalEntry entry;
    if (!SigningNoteAction(request.value(QStringLiteral("action")).toString(), &entry.action))
        return ControlError(request, QStringLiteral("signnote: такую запись клиент не делает"));
    entry.chamber = request.value(QStringLiteral("chamber")).toString();
    entry.oldValue = request.value(QStringLiteral("old")).toString();
    entry.newValue = request.value(QStringLiteral("new")).toString();
    entry.outcome = request.value(QStringLiteral("outcome")).toString();
    entry.operatorName = peer.login;
    if (!JournalActionNeedsRecord(entry.action)) {
        // Kept in memory while the journal cannot be written: never lost.
        KeepJournal(entry);
        return ControlReply(request, {});
    }
    // What opens a change must be in the file before the change.
    try {
        AppendAfterKeptJournal(m_config.folder, entry);
    } catch (const std::exception& e) {
        return ControlError(request,
                            QStringLiteral("журнал действий не записывается: %1").arg(QString::fromUtf8(e.what())));
    }
    SayJournalHead();
    return ControlReply(request, {});
}

void Recorder::StartLine(const RecorderLine& line)
{
    QDir().mkpath(LineFolder(line.name));
    LineSchedule schedule;
    schedule.chambers = line.chambers;
    schedule.scan = line.scan;
    schedule.timeoutMs = line.timeoutMs;
    // Reads and states cross to this object's thread, where every file is written.
    // Posted under the hand-over lock, taken first thing on arrival: what the
    // line's thread did before comes before the handling, for every checker.
    auto onRead = [this](const ChamberRead& read) {
        std::lock_guard<std::mutex> posting(HandoffLock(Handoff::LineRead));
        QMetaObject::invokeMethod(
            this,
            [this, read] {
                { std::lock_guard<std::mutex> arrived(HandoffLock(Handoff::LineRead)); }
                TakeRead(read);
            },
            Qt::QueuedConnection);
    };
    auto onState = [this](const LineState& state) {
        std::lock_guard<std::mutex> posting(HandoffLock(Handoff::LineRead));
        QMetaObject::invokeMethod(
            this,
            [this, state] {
                { std::lock_guard<std::mutex> arrived(HandoffLock(Handoff::LineRead)); }
                TakeState(state);
            },
            Qt::QueuedConnection);
    };
    auto scheduler = std::make_unique<LineScheduler>(line.name, MakeTransport(line.address), schedule, onRead, onState);
    const QString port = QString::fromStdString(TransportText(line.address));
    m_alarms.SetLinePort(line.name, port);
    m_board.SetLine(line.name, port, true);
    Event(QStringLiteral("%1: запуск, камеры %2")
              .arg(LineLabel(line.name, line.address),
                   line.scan ? QStringLiteral("— поиск") : QString::number(line.chambers.size())));
    scheduler->Start();
    m_lines[line.name] = std::move(scheduler);
}

void Recorder::StopLine(const QString& name)
{
    auto it = m_lines.find(name);
    if (it == m_lines.end())
        return;
    it->second->Stop();
    Event(QStringLiteral("%1: остановлена").arg(LineLabel(name, it->second->Address())));
    m_lines.erase(it);
    // A chamber of a line removed is no longer read; its events name the line.
    m_alarms.SetLinePort(name, name);
    m_board.SetLine(name, QString(), false);
    m_states.erase(name);
    // A scan asked of it ends with it.
    LineState gone;
    gone.line = name;
    gone.phase = LinePhase::Lost;
    gone.reason = QStringLiteral("линия остановлена");
    AnswerScans(gone);
}

void Recorder::Reload(const RecorderConfig& config)
{
    if (!m_started)
        return;
    if (config.folder != m_config.folder)
        Event(QStringLiteral("папка %1 сменится только после перезапуска; записи идут в %2")
                  .arg(config.folder, m_config.folder));
    const QString folder = m_config.folder;
    int added = 0, removed = 0, changed = 0;
    for (const RecorderLine& old : m_config.lines)
        if (!config.Line(old.name)) {
            StopLine(old.name);
            ++removed;
        }
    for (const RecorderLine& line : config.lines) {
        const RecorderLine* old = m_config.Line(line.name);
        if (old && *old == line)
            continue;
        if (old) {
            StopLine(line.name);
            ++changed;
        } else {
            ++added;
        }
        StartLine(line);
    }
    const bool controlChanged = config.socket != m_config.socket ||
                                config.access.readGroup != m_config.access.readGroup ||
                                config.access.writeGroup != m_config.access.writeGroup;
    m_config = config;
    m_config.folder = folder;
    if (controlChanged)
        StartControl();
    QString summary = QStringLiteral("линий добавлено %1, убрано %2, изменено %3").arg(added).arg(removed).arg(changed);
    // New bands and delays hold for every chamber from now on; an alarm of a
    // kind switched off ends.
    if (config.alarms != m_alarms.Settings()) {
        const AlarmSettings before = m_alarms.Settings();
        m_alarms.ApplySettings(config.alarms, false);
        if (!config.alarms.SameBands(before)) {
            Journal(JournalAction::AlarmSettings, AlarmSettingsText(before), AlarmSettingsText(config.alarms));
            summary += QStringLiteral("; тревоги: %1").arg(AlarmSettingsText(config.alarms));
        }
        for (const ConditionChange& change : ConditionChanges(before, config.alarms)) {
            Journal(JournalAction::AlarmSettings, change.oldValue, change.newValue, JournalChamber(change.chamber));
            summary += QStringLiteral("; условие камеры %1: %2").arg(JournalChamber(change.chamber), change.newValue);
        }
    }
    Event(QStringLiteral("конфигурация перечитана: %1").arg(summary));
    Journal(JournalAction::ConfigurationRead, QString(), summary);
}

void Recorder::Stop()
{
    if (!m_started)
        return;
    m_minute.stop();
    m_publish.stop();
    m_control.reset();
    if (m_endpoint)
        m_endpoint->Stop();
    for (auto& [name, line] : m_lines)
        line->Stop();
    // The reads already handed over are still measurements: taken before the last write.
    QCoreApplication::sendPostedEvents(this);
    WriteMinute();
    int pending = 0;
    for (const auto& [key, chamber] : m_chambers)
        pending += chamber.log->Pending();
    m_lines.clear();
    m_started = false;
    Journal(JournalAction::RecorderStop, QString(), pending == 0 ? QString() : QStringLiteral("не записано %1").arg(pending));
    Event(pending == 0 ? QStringLiteral("регистратор остановлен")
                       : QStringLiteral("регистратор остановлен; не записано записей: %1").arg(pending));
}

void Recorder::TakeRead(const ChamberRead& read)
{
    // A read of a line stopped meanwhile (a reload) still belongs to its chamber.
    const auto key = qMakePair(read.line, read.read.address);
    auto it = m_chambers.find(key);
    if (it == m_chambers.end()) {
        Chamber chamber;
        chamber.line = read.line;
        chamber.address = read.read.address;
        chamber.view = IdleStatusView();
        chamber.log = std::make_unique<ChamberLog>(LineFolder(read.line), read.read.address);
        it = m_chambers.emplace(key, std::move(chamber)).first;
    }
    Chamber& chamber = it->second;
    ++chamber.reads;
    chamber.readMs = read.timeMs;
    if (chamber.firstReadMs == 0)
        chamber.firstReadMs = read.timeMs;
    if (read.read.answered) {
        chamber.answeredMs = read.timeMs;
        chamber.lastReply = read.read.reply;
    }
    const auto line = m_lines.find(read.line);
    m_board.TakeRead(read, line == m_lines.end() ? QString() : QString::fromStdString(TransportText(line->second->Address())));
    const AlarmOutcome outcome = m_alarms.TakeRead(read);
    if (!outcome.failure.isEmpty())
        Recording(false, QStringLiteral("%1: %2").arg(outcome.failedFile, outcome.failure));
    if (!read.read.answered)
        return;
    ++chamber.answered;
    ApplyStatus(chamber.view, read.read.reply, m_separator);
    // The record carries the time of its read, not of its writing.
    const std::time_t seconds = static_cast<std::time_t>(read.timeMs / 1000);
    std::tm when{};
    ::localtime_r(&seconds, &when);
    chamber.log->Take(ChamberRecordLine(when, chamber.view));
}

void Recorder::ScanAnswerLater(const QJsonObject& request, ControlServer::Reply reply)
{
    const QString line = request.value(QStringLiteral("line")).toString();
    auto scheduler = m_lines.find(line);
    if (scheduler == m_lines.end()) {
        reply(ControlError(request, QStringLiteral("нет линии «%1»").arg(line)));
        return;
    }
    if (LineStateOf(line).phase == LinePhase::Lost) {
        reply(ControlError(request, QStringLiteral("линия %1 потеряна: %2").arg(line, LineStateOf(line).reason)));
        return;
    }
    Event(QStringLiteral("линия %1: поиск камер по запросу").arg(line));
    m_scanWaits[line].push_back({request, std::move(reply), false});
    scheduler->second->Rescan();
}

void Recorder::AnswerScans(const LineState& state)
{
    auto waiting = m_scanWaits.find(state.line);
    if (waiting == m_scanWaits.end())
        return;
    std::vector<ScanWait>& waits = waiting->second;
    for (auto it = waits.begin(); it != waits.end();) {
        if (state.phase == LinePhase::Scanning)
            it->sawScanning = true;
        if (state.phase == LinePhase::Lost) {
            it->reply(ControlError(it->request, QStringLiteral("линия %1 потеряна: %2").arg(state.line, state.reason)));
            it = waits.erase(it);
        } else if (state.phase == LinePhase::Reading && it->sawScanning) {
            QJsonArray chambers;
            for (int address : state.chambers)
                chambers.append(address);
            it->reply(ControlReply(it->request, {{QStringLiteral("chambers"), chambers}}));
            it = waits.erase(it);
        } else {
            ++it;
        }
    }
    if (waits.empty())
        m_scanWaits.erase(waiting);
}

void Recorder::TakeState(const LineState& state)
{
    auto line = m_lines.find(state.line);
    if (line == m_lines.end())
        return;
    AnswerScans(state);
    const LineState before = m_states[state.line];
    // The tries of a lost line are not news; what they find is. A line stays
    // lost for the state's purposes until it reads again.
    if (state.phase == LinePhase::Opening && before.phase == LinePhase::Lost)
        return;
    m_states[state.line] = state;
    const QString label = LineLabel(state.line, line->second->Address());
    QString text = QStringLiteral("%1: %2").arg(label, LinePhaseText(state.phase));
    if (state.phase == LinePhase::Lost) {
        // A line that stays lost for the same reason is said once, not at every try.
        if (before.phase == LinePhase::Lost && before.reason == state.reason)
            return;
        text += QStringLiteral(": %1; новая попытка через %2 с").arg(state.reason).arg(state.reopenInMs / 1000.0);
        Journal(JournalAction::LineLost, label, state.reason);
    }
    if (state.phase == LinePhase::Reading && before.phase == LinePhase::Lost) {
        text = QStringLiteral("%1: связь восстановлена, опрос").arg(label);
        Journal(JournalAction::LineBack, label, QString());
    }
    if (state.phase == LinePhase::Reading)
        text += QStringLiteral(", камер %1").arg(state.chambers.size());
    Event(text);
}

void Recorder::WriteMinute()
{
    const std::tm now = LocalNow();
    QString failure;
    int failed = 0;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    for (auto& [key, chamber] : m_chambers) {
        // The minute's record as it goes to the log, into the 30-day MKT.
        LogRecord minute;
        qint64 timeOfDay = 0;
        if (ParseRecordLine(chamber.log->Record(), &minute, &timeOfDay) && !std::isnan(minute.currentTemp))
            m_board.TakeMinuteTemperature({chamber.line, chamber.address}, nowMs, minute.currentTemp);
        QString error;
        if (!chamber.log->Minute(now, &error)) {
            ++failed;
            if (failure.isEmpty())
                failure = QStringLiteral("%1: %2").arg(chamber.log->FileName(), error);
        }
    }
    // A chamber whose line gives no reads at all for three periods.
    m_alarms.CheckReads(QDateTime::currentMSecsSinceEpoch());
    QString eventError;
    if (!WriteAlarmEvents(&eventError)) {
        ++failed;
        if (failure.isEmpty())
            failure = eventError;
    }
    m_unwritable = failed > 0;
    Recording(!m_unwritable, failure);
}

void Recorder::ScheduleMinute()
{
    // On the minute of the clock, so a restarted recorder keeps the rhythm.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 period = ScaledMs(60000);
    m_minute.start(static_cast<int>(period - now % period));
}

void Recorder::Journal(JournalAction action, const QString& oldValue, const QString& newValue, const QString& chamber)
{
    JournalEntry entry;
    entry.action = action;
    entry.chamber = chamber;
    entry.oldValue = oldValue;
    entry.newValue = newValue;
    entry.outcome = JournalOutcomeDone();
    KeepJournal(entry);
}

void Recorder::KeepJournal(const JournalEntry& entry)
{
    QString failure;
    if (!AppendOrKeepJournal(m_config.folder, entry, QDateTime::currentDateTime(), &failure))
        Event(QStringLiteral("журнал действий не записывается, запись сохранена в памяти: %1").arg(failure));
    SayJournalHead();
}

void Recorder::SayJournalHead()
{
    // Each record's number and hash in the log, which journald keeps apart
    // from the folder: `--verify-journal FILE --head N:HASH` checks the file
    // against it, and finds what the chain alone cannot (a last record
    // removed, records appended or the whole file hashed anew).
    const JournalHead head = ReadJournalHead(m_config.folder);
    if (head.records <= 0 || head.lastHash == m_saidHead)
        return;
    m_saidHead = head.lastHash;
    Event(QStringLiteral("журнал действий: запись №%1, хеш %2").arg(head.records).arg(head.lastHash));
}

bool Recorder::WriteAlarmEvents(QString* error)
{
    QString file, failure;
    if (m_alarms.FlushEvents(&file, &failure))
        return true;
    *error = QStringLiteral("%1: %2").arg(file, failure);
    return false;
}

int Recorder::PendingAlarmEvents() const { return m_alarms.PendingEvents(); }

void Recorder::Recording(bool writable, const QString& reason)
{
    // Said before its start goes to the files: it is kept with the rest
    // until the disk takes it.
    const bool standing = std::any_of(m_alarms.LabAlarms().begin(), m_alarms.LabAlarms().end(),
                                      [](const Alarm& a) { return a.kind == AlarmKind::Recording && a.active; });
    if (!writable && !standing) {
        Event(QStringLiteral("тревога: запись невозможна: %1; записи хранятся в памяти").arg(reason));
        m_alarms.SetLabAlarm(AlarmKind::Recording, QStringLiteral("запись невозможна"), true);
    } else if (writable && standing) {
        Event(QStringLiteral("запись снова возможна: сохранённые записи записаны"));
        m_alarms.SetLabAlarm(AlarmKind::Recording, QStringLiteral("запись невозможна"), false);
    }
}

QVector<WatchedStatus> Recorder::Watched() const { return m_board.Chambers(); }

const Recorder::Chamber* Recorder::FindChamber(const QString& line, int address) const
{
    const auto it = m_chambers.find(qMakePair(line, address));
    return it == m_chambers.end() ? nullptr : &it->second;
}

QStringList Recorder::Lines() const
{
    QStringList names;
    for (const auto& [name, line] : m_lines)
        names.append(name);
    return names;
}

LineState Recorder::LineStateOf(const QString& line) const
{
    const auto it = m_states.find(line);
    return it == m_states.end() ? LineState{} : it->second;
}
