#include "services/ControlServer.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {
constexpr qint64 kMostUnreadBytes = 1 << 20;
}  // namespace

ControlServer::ControlServer(ControlAccess access, QObject* parent) : QObject(parent), m_access(std::move(access)) {}

ControlServer::~ControlServer() { Close(); }

void ControlServer::Handle(const QString& op, Needs needs, Handler handler)
{
    m_routes.insert(op, Route{needs, std::move(handler), DeferredHandler()});
}

bool ControlServer::Listen(const QString& path, QString* error)
{
    Close();
    // A socket that answers is another recorder's. One nobody answers was
    // left by a recorder that was killed, and is replaced. (Listening with
    // access options would replace even a live one without a word.)
    if (QFile::exists(path)) {
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(500)) {
            *error = QStringLiteral("%1: на сокете уже отвечает другой регистратор").arg(path);
            return false;
        }
        QLocalServer::removeServer(path);
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    m_server->setMaxPendingConnections(64);
    if (!m_server->listen(path)) {
        *error = QStringLiteral("%1: %2").arg(path, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    m_path = m_server->fullServerName();
    // Members of the file's group (the recorder's) may connect, nobody else;
    // a socket needs no execute bit.
    if (::chmod(QFile::encodeName(m_path).constData(), 0660) != 0) {
        *error = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        Close();
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::Accept);
    return true;
}

void ControlServer::Close()
{
    for (auto& [socket, client] : m_clients) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_clients.clear();
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
}

void ControlServer::Accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (static_cast<int>(m_clients.size()) >= kMostControlClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        Client& client = m_clients[socket];
        client.refilled = std::chrono::steady_clock::now();
        client.peerKnown = PeerOfSocket(static_cast<int>(socket->socketDescriptor()), &client.peer, &client.peerError);
        client.idle = new QTimer(socket);
        client.idle->setSingleShot(true);
        connect(client.idle, &QTimer::timeout, this, [this, socket] { Drop(socket); });
        client.idle->start(m_idleDropMs);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { Take(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { Drop(socket); });
    }
}

void ControlServer::Take(QLocalSocket* socket)
{
    auto found = m_clients.find(socket);
    if (found == m_clients.end())
        return;
    Client& client = found->second;
    client.reader.Feed(socket->readAll());
    for (;;) {
        QJsonObject request;
        QString error;
        const ControlMessageReader::Result result = client.reader.Next(&request, &error);
        if (result == ControlMessageReader::Result::NeedMore)
            return;
        if (result == ControlMessageReader::Result::TooLarge) {
            Send(socket, ControlError(QJsonObject(), error));
            socket->flush();
            Drop(socket);
            return;
        }
        if (client.waiting == 0)
            client.idle->start(m_idleDropMs);
        if (result == ControlMessageReader::Result::Malformed) {
            // Counted as a request: a flood of garbage is held to the rate too.
            Send(socket, ControlError(QJsonObject(), TakeToken(client) ? error : QStringLiteral("слишком частые запросы")));
            continue;
        }
        const QJsonObject answer = Answer(socket, client, request);
        if (!answer.isEmpty())
            Send(socket, answer);
        if (m_clients.find(socket) == m_clients.end())
            return;
    }
}

QJsonObject ControlServer::Answer(QLocalSocket* socket, Client& client, const QJsonObject& request)
{
    if (!TakeToken(client))
        return ControlError(request, QStringLiteral("слишком частые запросы"));
    QString version;
    if (!SameControlVersion(request, QStringLiteral("программы"), &version))
        return ControlError(request, version);
    if (!client.peerKnown)
        return ControlError(request, QStringLiteral("вызывающий не определён: %1").arg(client.peerError));
    const QString op = request.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("hello")) {
        QJsonObject fields;
        fields.insert(QStringLiteral("protocol"), kControlProtocolVersion);
        fields.insert(QStringLiteral("login"), client.peer.login);
        fields.insert(QStringLiteral("mayWrite"), WriteRefusal(client.peer, m_access).isEmpty());
        return ControlReply(request, fields);
    }
    const auto route = m_routes.constFind(op);
    if (route == m_routes.constEnd())
        return ControlError(request, QStringLiteral("неизвестная операция: %1").arg(op));
    const QString why = route->needs == Needs::Write ? WriteRefusal(client.peer, m_access)
                                                     : ReadRefusal(client.peer, m_access);
    if (!why.isEmpty()) {
        if (m_refused)
            m_refused(client.peer, op, why);
        return ControlError(request, QStringLiteral("не разрешено: %1").arg(why));
    }
    if (!route->deferred)
        return route->handler(client.peer, request);
    ++client.waiting;
    client.idle->stop();
    QPointer<QLocalSocket> guarded(socket);
    auto done = std::make_shared<bool>(false);
    QPointer<ControlServer> self(this);
    route->deferred(client.peer, request, [self, guarded, done](const QJsonObject& answer) {
        if (*done)
            return;
        *done = true;
        // The server closed meanwhile (the recorder stopping) answers nobody.
        if (self && guarded)
            self->AnswerLater(guarded.data(), answer);
    });
    return QJsonObject();
}

void ControlServer::HandleDeferred(const QString& op, Needs needs, DeferredHandler handler)
{
    m_routes.insert(op, Route{needs, Handler(), std::move(handler)});
}

void ControlServer::AnswerLater(QLocalSocket* socket, const QJsonObject& answer)
{
    auto found = m_clients.find(socket);
    if (found == m_clients.end())
        return;  // dropped meanwhile; the socket awaits deletion
    Client& client = found->second;
    if (--client.waiting == 0)
        client.idle->start(m_idleDropMs);
    Send(socket, answer);
}

bool ControlServer::TakeToken(Client& client)
{
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - client.refilled).count();
    client.refilled = now;
    client.tokens = std::min<double>(kControlRequestBurst, client.tokens + seconds * kControlRequestsPerSecond);
    if (client.tokens < 1)
        return false;
    client.tokens -= 1;
    return true;
}

void ControlServer::Send(QLocalSocket* socket, const QJsonObject& message)
{
    QByteArray bytes = EncodeControlMessage(message);
    if (bytes.isEmpty())
        bytes = EncodeControlMessage(ControlError(message, QStringLiteral("ответ слишком велик")));
    socket->write(bytes);
    // A client that asks and never reads its answers is not kept in memory.
    if (socket->bytesToWrite() > kMostUnreadBytes)
        QTimer::singleShot(0, this, [this, socket] { Drop(socket); });
}

void ControlServer::Drop(QLocalSocket* socket)
{
    auto found = m_clients.find(socket);
    if (found == m_clients.end())
        return;
    m_clients.erase(found);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}
