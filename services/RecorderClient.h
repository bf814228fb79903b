// The desktop's side of the recorder's control socket: finding a recorder
// on this machine, attaching to it, and asking it for reads and commands.
// Every request but the commands' is answered through a callback, so that a
// window never waits on the recorder; a lost recorder is looked for again
// every second, and nothing asked before the loss is ever asked again.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>
#include <map>
#include <vector>

#include "monitoring/Alarms.h"
#include "services/ControlProtocol.h"

class QLocalSocket;

// The socket a desktop looks for: CALVETRA_RECORDER_SOCKET when set (a
// socket forwarded from another computer), else the service's.
QString RecorderSocketPath();
constexpr const char* kDefaultRecorderSocket = "/run/calvetra/control.sock";

// A line of the recorder as its "lines" answer gives it.
struct RecorderLineInfo {
    QString name;
    QString transport;
    QString phase;
    QString reason;
    QVector<int> chambers;
};
QVector<RecorderLineInfo> RecorderLinesOf(const QJsonObject& reply);

// "Линия a — регистратор (12 камер)": the port list's entry of a line.
QString RecorderLineCaption(const RecorderLineInfo& line);
// "1 камера", "3 камеры", "12 камер".
QString ChamberCountText(int count);

// What a look for a recorder found.
struct RecorderFound {
    bool found = false;   // a recorder answered, of this protocol version
    QString error;        // why not, when a socket is there but no usable recorder is
    QString login;        // who the recorder says is asking
    bool mayWrite = false;
    QVector<RecorderLineInfo> lines;
};
// Asks the socket at path for its hello and lines, waiting at most
// timeoutMs in all; no socket file is no recorder, said with no error.
RecorderFound FindRecorder(const QString& path, int timeoutMs = 500);

// One chamber of a "status" answer.
struct RecorderChamber {
    int address = 0;
    QByteArray frame;     // the last answered status reply, from its address byte
    bool lastAnswered = false;
    qint64 readMs = 0;    // the latest read's end, wall clock
    qint64 answeredMs = 0;
    bool linkLost = false;
    QString log;          // the chamber's data log kept by the recorder
    int reads = 0;
};
struct RecorderStatus {
    QString line;
    QString phase;
    QString reason;
    QVector<RecorderChamber> chambers;
    const RecorderChamber* Find(int address) const;
};
RecorderStatus RecorderStatusOf(const QJsonObject& reply);

// The alarms of an "alarms" answer, oldest first, each with its chamber's
// address (kLabWideAlarm for the lab's).
std::vector<ChamberAlarm> RecorderAlarmsOf(const QJsonObject& reply);
// The same, by the line each is of ("" for the lab's).
std::map<QString, std::vector<ChamberAlarm>> RecorderAlarmsByLine(const QJsonObject& reply);

// The words a refused or unanswered request leaves for the operator.
QString RecorderErrorText(const QJsonObject& reply);
// The words for a recorder that is gone.
QString RecorderUnavailableText();

class RecorderClient : public QObject {
    Q_OBJECT
public:
    using Callback = std::function<void(const QJsonObject& reply)>;

    explicit RecorderClient(QObject* parent = nullptr);
    ~RecorderClient() override;

    // Connects to path and keeps connected until Detach: a recorder that goes
    // away is looked for again every second.
    void Attach(const QString& path);
    void Detach();
    bool Attached() const { return m_attached; }
    bool Wanted() const { return !m_path.isEmpty(); }
    QString Path() const { return m_path; }
    QString Login() const { return m_login; }
    bool MayWrite() const { return m_mayWrite; }
    // The line the desktop follows (empty: none).
    QString Line() const { return m_line; }
    void SetLine(const QString& line) { m_line = line; }

    // Sends a request; callback gets the reply, or, when the recorder is or
    // goes away first, an error reply with "lost": true. The request is
    // never sent again. The request's id (0 when it was not sent).
    int Request(const QString& op, QJsonObject fields, Callback callback);
    // The same, waiting up to timeoutMs for the reply (the control window's
    // commands wait for their answer as they always waited for the line).
    QJsonObject RequestAndWait(const QString& op, QJsonObject fields, int timeoutMs);
    // Requests sent whose answer has not come.
    int Pending() const { return static_cast<int>(m_pending.size()); }

signals:
    // The recorder answered its hello (after every reconnection too).
    void AttachedNow();
    // It is gone (or refused us): why.
    void Unavailable(const QString& why);

private:
    void Connect();
    void Connected();
    void Read();
    void Lost(const QString& why);
    void Send(const QJsonObject& message);
    void FailAll(const QString& why);

    QLocalSocket* m_socket = nullptr;
    QString m_path;
    QString m_line;
    QString m_login;
    bool m_mayWrite = false;
    bool m_attached = false;
    bool m_saidUnavailable = false;
    int m_nextId = 1;
    int m_helloId = 0;
    ControlMessageReader m_reader;
    std::map<int, Callback> m_pending;
    QTimer m_retry;
    QTimer m_keepAlive;
};

// The desktop's one client (made at first use, never destroyed before exit).
RecorderClient& DesktopRecorder();
