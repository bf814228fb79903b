// The recorder: every line of the configuration read by a scheduler of its
// own, and per chamber what the desktop keeps of it (its data log, in the
// main window's format). It runs without a window and without a display;
// its events go, one line each, to the event sink (standard error under the
// service manager, which keeps them in its journal).
#pragma once

#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "control/Commands.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/Alarms.h"
#include "monitoring/ChamberLog.h"
#include "monitoring/LineScheduler.h"
#include "monitoring/Presentation.h"
#include "services/AlarmService.h"
#include "services/ControlServer.h"
#include "services/RecorderConfig.h"
#include "services/StatusBoard.h"
#include "services/StatusEndpoint.h"

class Recorder : public QObject {
    Q_OBJECT
public:
    using EventSink = std::function<void(const QString&)>;
    // A sink of null writes to standard error.
    explicit Recorder(EventSink sink = nullptr, QObject* parent = nullptr);
    ~Recorder() override;  // Stop()

    // Takes the folder (refused while another recorder holds it: its pid is
    // named) and starts every line. False with the reason.
    bool Start(const RecorderConfig& config, QString* error);
    // A configuration read anew: lines added, removed or changed start or
    // stop; an unchanged line goes on without a missed read; a changed
    // [alarms] holds for every chamber from now on, a chamber's changed
    // condition journalled under the chamber.
    void Reload(const RecorderConfig& config);
    // Every line stopped and every record measured written (or kept, said so).
    void Stop();

    // What a chamber has left, for the endpoint and the tests.
    struct Chamber {
        QString line;
        int address = 0;
        StatusView view;
        int reads = 0;
        int answered = 0;
        std::unique_ptr<ChamberLog> log;
        // The last answer's words, for a desktop that decodes them by its own table.
        StatusReply lastReply;
        qint64 firstReadMs = 0;
        qint64 readMs = 0;
        qint64 answeredMs = 0;
        bool LastAnswered() const { return readMs != 0 && readMs == answeredMs; }
    };
    const Chamber* FindChamber(const QString& line, int address) const;
    QStringList Lines() const;
    LineState LineStateOf(const QString& line) const;
    // True while some record could not be written.
    bool Unwritable() const { return m_unwritable; }
    // Alarm event lines not yet in their files.
    int PendingAlarmEvents() const;
    // The minute's work, also for tests that do not wait a minute.
    void WriteMinute();
    // Every chamber of every line as the endpoint shows it.
    QVector<WatchedStatus> Watched() const;
    // Every chamber's alarms, by the desktop's rules.
    const AlarmService& Alarms() const { return m_alarms; }
    // The bands and delays in force ([alarms] of the configuration).
    const AlarmSettings& AlarmSettingsInForce() const { return m_alarms.Settings(); }
    // The endpoint's port (0 when it does not listen).
    quint16 EndpointPort() const { return m_endpoint ? m_endpoint->Port() : 0; }
    // The control socket's path while it listens; empty otherwise.
    QString ControlPath() const { return m_control ? m_control->Path() : QString(); }

private:
    void StartLine(const RecorderLine& line);
    void StopLine(const QString& name);
    void TakeRead(const ChamberRead& read);
    void TakeState(const LineState& state);
    void ScheduleMinute();
    void Event(const QString& text);
    void Journal(JournalAction action, const QString& oldValue, const QString& newValue,
                 const QString& chamber = QString());
    // Into the journal, or kept in memory (and said) while it cannot be written.
    void KeepJournal(const JournalEntry& entry);
    // The journal's newest record and hash, said once each.
    void SayJournalHead();
    QString m_saidHead;
    AlarmServiceOptions AlarmOptions();
    bool WriteAlarmEvents(QString* error);
    void Recording(bool writable, const QString& reason);
    QString LineFolder(const QString& line) const;
    // The control socket as the configuration asks; one that cannot be had
    // is said, and the recording goes on without it.
    void StartControl();
    using CommandHandler = QJsonObject (Recorder::*)(const ControlPeer&, const QJsonObject&,
                                                     const ControlServer::Reply&);
    ControlServer::DeferredHandler Command(CommandHandler handler);
    QJsonObject LinesAnswer(const QJsonObject& request) const;
    QJsonObject StatusAnswer(const QJsonObject& request) const;
    // Alarms of a line ("" every line) and the lab's, oldest first.
    struct LineAlarm {
        QString line;
        int address = 0;
        Alarm alarm;
    };
    std::vector<LineAlarm> AlarmsOfLine(const QString& line) const;
    // At most this many alarms in one answer, those still outstanding first.
    static constexpr int kMostAlarmsAnswered = 150;
    QJsonObject AlarmsAnswer(const QJsonObject& request) const;
    // An acknowledgement (one alarm, or all of a line and the lab's), each
    // journalled first under the caller's name.
    QJsonObject AckAnswer(const ControlPeer& peer, const QJsonObject& request);
    // Signatures: read, journalled for the socket's peer only (its password
    // checked on its own desktop), and the records of signing it sends.
    QJsonObject SignaturesAnswer(const QJsonObject& request) const;
    QJsonObject SignAnswer(const ControlPeer& peer, const QJsonObject& request);
    QJsonObject SignNoteAnswer(const ControlPeer& peer, const QJsonObject& request);
    // The command handlers answer a refusal at once, or queue the command and
    // answer later (an empty object then): the socket serves others while the
    // line exchanges. A chamber's manual start or stop: journalled first under
    // the caller's name (nothing is sent when the journal refuses), sent
    // between the line's reads, its echo read, the outcome journalled and
    // answered.
    QJsonObject RunAnswer(const ControlPeer& peer, const QJsonObject& request, const ControlServer::Reply& reply);
    // Manual set points, under the control window's checks, the same way.
    QJsonObject SetPointAnswer(const ControlPeer& peer, const QJsonObject& request, const ControlServer::Reply& reply);
    // Empty when the request names a line and a chamber of it; else why not.
    QString CommandTargetError(const QJsonObject& request) const;
    QJsonObject CommandAnswer(const ControlPeer& peer, const QJsonObject& request, JournalAction action,
                              const QString& oldValue, const QString& newValue, const std::vector<uint8_t>& frame,
                              const ControlServer::Reply& reply);
    QJsonObject CommandAnswer(const ControlPeer& peer, const QJsonObject& request, JournalAction action,
                              const QString& oldValue, const QString& newValue,
                              const std::vector<std::vector<uint8_t>>& frames, const ControlServer::Reply& reply);
    // The end of a command's exchange, back on the recorder's thread.
    void CommandEnded(const ControlPeer& peer, const QJsonObject& request, JournalEntry entry,
                      const std::vector<FrameAnswer>& answers, const QString& failure,
                      const ControlServer::Reply& reply);
    // A program table, under the control window's check, its frames one exchange.
    QJsonObject ProgramAnswer(const ControlPeer& peer, const QJsonObject& request, const ControlServer::Reply& reply);
    QJsonObject ProgramStartAnswer(const ControlPeer& peer, const QJsonObject& request,
                                   const ControlServer::Reply& reply);
    // The line scanned again; answered with the chambers found once it reads them.
    void ScanAnswerLater(const QJsonObject& request, ControlServer::Reply reply);
    // Scans asked and not yet answered, per line: answered when the line reads
    // again after its scan, refused when it is lost meanwhile.
    struct ScanWait {
        QJsonObject request;
        ControlServer::Reply reply;
        bool sawScanning = false;
    };
    void AnswerScans(const LineState& state);

    EventSink m_sink;
    RecorderConfig m_config;
    int m_lockFd = -1;
    std::map<QString, std::unique_ptr<LineScheduler>> m_lines;
    std::map<QString, LineState> m_states;
    std::map<QPair<QString, int>, Chamber> m_chambers;
    QString m_separator;
    QTimer m_minute;
    QTimer m_publish;
    std::unique_ptr<StatusEndpoint> m_endpoint;
    std::unique_ptr<ControlServer> m_control;
    std::map<QString, std::vector<ScanWait>> m_scanWaits;
    bool m_unwritable = false;
    AlarmService m_alarms;
    StatusBoard m_board;
    bool m_started = false;
};
