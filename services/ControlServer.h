// The recorder's control socket: a Unix domain socket, mode 0660, never
// opened to the network. Each connection's peer is taken from the kernel;
// each request goes to the handler of its operation, which the server
// calls only when the peer may (reading, or changing a chamber's work).
// A request that does not parse, is too large or comes too often is
// answered with an error; a client that says nothing is dropped after a
// few seconds, so that silent clients never keep a real one out.
#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <map>

#include "services/ControlPeer.h"
#include "services/ControlProtocol.h"

class QLocalServer;
class QLocalSocket;
class QTimer;

// A client silent this long (from its connection or its last request) is
// dropped.
constexpr int kControlIdleDropMs = 5000;
// Requests per second a client may send on average, and in one burst.
constexpr int kControlRequestsPerSecond = 20;
constexpr int kControlRequestBurst = 40;
// Connections held at once; beyond, a new one is closed at once.
constexpr int kMostControlClients = 256;

class ControlServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<QJsonObject(const ControlPeer& peer, const QJsonObject& request)>;
    // A refused request: who, the operation, and why.
    using RefusalHook = std::function<void(const ControlPeer& peer, const QString& op, const QString& why)>;
    enum class Needs { Read, Write };
    // Answers a deferred request; may be called later, from the server's
    // thread, once. A client gone meanwhile is not answered.
    using Reply = std::function<void(const QJsonObject& answer)>;
    using DeferredHandler = std::function<void(const ControlPeer& peer, const QJsonObject& request, Reply reply)>;

    explicit ControlServer(ControlAccess access, QObject* parent = nullptr);
    ~ControlServer() override;

    // The handler's answer is sent as it is (make it with ControlReply or
    // ControlError). "hello" is answered by the server itself.
    void Handle(const QString& op, Needs needs, Handler handler);
    // For a request whose answer waits on a line: the loop goes on meanwhile,
    // and a client waiting for its answer is not dropped as idle.
    void HandleDeferred(const QString& op, Needs needs, DeferredHandler handler);
    void OnRefusal(RefusalHook hook) { m_refused = std::move(hook); }
    // Listens on path: a socket file left by a recorder that is gone is
    // replaced; one that answers is another recorder's, and refused.
    bool Listen(const QString& path, QString* error);
    void Close();
    QString Path() const { return m_path; }
    int Clients() const { return static_cast<int>(m_clients.size()); }
    // The idle time a test shortens.
    void SetIdleDropMs(int ms) { m_idleDropMs = ms; }

private:
    struct Client {
        ControlPeer peer;
        bool peerKnown = false;
        QString peerError;
        ControlMessageReader reader;
        double tokens = kControlRequestBurst;
        std::chrono::steady_clock::time_point refilled;
        QTimer* idle = nullptr;
        int waiting = 0;  // deferred answers not yet sent
    };
    struct Route {
        Needs needs;
        Handler handler;
        DeferredHandler deferred;
    };
    void Accept();
    void Take(QLocalSocket* socket);
    // An empty answer: a deferred handler answers later.
    QJsonObject Answer(QLocalSocket* socket, Client& client, const QJsonObject& request);
    void AnswerLater(QLocalSocket* socket, const QJsonObject& answer);
    bool TakeToken(Client& client);
    void Send(QLocalSocket* socket, const QJsonObject& message);
    void Drop(QLocalSocket* socket);

    ControlAccess m_access;
    QLocalServer* m_server = nullptr;
    QString m_path;
    std::map<QLocalSocket*, Client> m_clients;
    QHash<QString, Route> m_routes;
    RefusalHook m_refused;
    int m_idleDropMs = kControlIdleDropMs;
};
