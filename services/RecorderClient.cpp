#include "services/RecorderClient.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocalSocket>

#include <algorithm>

#include "services/AlarmService.h"

namespace {
constexpr int kReconnectMs = 1000;
// Below the recorder's idle drop, so that an attached desktop that asks
// nothing for a while is not dropped.
constexpr int kKeepAliveMs = 2000;

QJsonObject Request(int id, const QString& op, QJsonObject fields)
{
    fields.insert(QStringLiteral("v"), kControlProtocolVersion);
    fields.insert(QStringLiteral("id"), id);
    fields.insert(QStringLiteral("op"), op);
    return fields;
}

QJsonObject LostReply(const QString& why)
{
    return QJsonObject{{QStringLiteral("ok"), false},
                       {QStringLiteral("lost"), true},
                       {QStringLiteral("error"), why}};
}

QVector<int> Addresses(const QJsonValue& value)
{
    QVector<int> addresses;
    for (const QJsonValue& a : value.toArray())
        addresses.append(a.toInt());
    return addresses;
}

// One request on a socket of its own, waiting until the deadline.
bool AskOnce(QLocalSocket& socket, ControlMessageReader& reader, const QJsonObject& request,
             const QElapsedTimer& clock, int timeoutMs, QJsonObject* reply, QString* error)
{
    socket.write(EncodeControlMessage(request));
    socket.flush();
    const int id = request.value(QStringLiteral("id")).toInt();
    for (;;) {
        QJsonObject message;
        QString why;
        const ControlMessageReader::Result result = reader.Next(&message, &why);
        if (result == ControlMessageReader::Result::Message) {
            if (message.value(QStringLiteral("id")).toInt() != id)
                continue;
            *reply = message;
            return true;
        }
        if (result != ControlMessageReader::Result::NeedMore) {
            *error = why;
            return false;
        }
        const int left = timeoutMs - static_cast<int>(clock.elapsed());
        if (left <= 0 || !socket.waitForReadyRead(left)) {
            *error = socket.state() == QLocalSocket::ConnectedState ? QStringLiteral("регистратор не ответил")
                                                                    : QStringLiteral("регистратор закрыл соединение");
            return false;
        }
        reader.Feed(socket.readAll());
    }
}
}  // namespace

QString RecorderSocketPath()
{
    const QByteArray set = qgetenv("CALVETRA_RECORDER_SOCKET");
    return set.isEmpty() ? QString::fromLatin1(kDefaultRecorderSocket) : QString::fromLocal8Bit(set);
}

QVector<RecorderLineInfo> RecorderLinesOf(const QJsonObject& reply)
{
    QVector<RecorderLineInfo> lines;
    for (const QJsonValue& value : reply.value(QStringLiteral("lines")).toArray()) {
        const QJsonObject o = value.toObject();
        RecorderLineInfo line;
        line.name = o.value(QStringLiteral("name")).toString();
        line.transport = o.value(QStringLiteral("transport")).toString();
        line.phase = o.value(QStringLiteral("phase")).toString();
        line.reason = o.value(QStringLiteral("reason")).toString();
        line.chambers = Addresses(o.value(QStringLiteral("chambers")));
        if (!line.name.isEmpty())
            lines.append(line);
    }
    return lines;
}

QString ChamberCountText(int count)
{
    const int lastTwo = count % 100;
    const int last = count % 10;
    const char* word = "камер";
    if (lastTwo < 11 || lastTwo > 14) {
        if (last == 1)
            word = "камера";
        else if (last >= 2 && last <= 4)
            word = "камеры";
    }
    return QStringLiteral("%1 %2").arg(count).arg(QString::fromUtf8(word));
}

QString RecorderLineCaption(const RecorderLineInfo& line)
{
    return QStringLiteral("Линия %1 — регистратор (%2)").arg(line.name, ChamberCountText(line.chambers.size()));
}

RecorderFound FindRecorder(const QString& path, int timeoutMs)
{
    RecorderFound found;
    if (path.isEmpty() || !QFileInfo::exists(path))
        return found;
    QElapsedTimer clock;
    clock.start();
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs)) {
        // A socket left by a recorder that is gone, or one we may not open.
        found.error = socket.error() == QLocalSocket::SocketAccessError
                          ? QStringLiteral("нет доступа к сокету регистратора %1 (нужна группа calvetra)").arg(path)
                          : QStringLiteral("регистратор не отвечает на %1").arg(path);
        return found;
    }
    ControlMessageReader reader;
    QJsonObject hello;
    QString error;
    if (!AskOnce(socket, reader, Request(1, QStringLiteral("hello"), {}), clock, timeoutMs, &hello, &error)) {
        found.error = error;
        return found;
    }
    if (!SameControlVersion(hello, QStringLiteral("регистратора"), &error)) {
        found.error = QStringLiteral("регистратор другой версии: %1").arg(error);
        return found;
    }
    found.login = hello.value(QStringLiteral("login")).toString();
    found.mayWrite = hello.value(QStringLiteral("mayWrite")).toBool();
    QJsonObject lines;
    if (!AskOnce(socket, reader, Request(2, QStringLiteral("lines"), {}), clock, timeoutMs, &lines, &error)) {
        found.error = error;
        return found;
    }
    if (!lines.value(QStringLiteral("ok")).toBool()) {
        found.error = RecorderErrorText(lines);
        return found;
    }
    found.found = true;
    found.lines = RecorderLinesOf(lines);
    return found;
}

const RecorderChamber* RecorderStatus::Find(int address) const
{
    for (const RecorderChamber& chamber : chambers)
        if (chamber.address == address)
            return &chamber;
    return nullptr;
}

RecorderStatus RecorderStatusOf(const QJsonObject& reply)
{
    RecorderStatus status;
    status.line = reply.value(QStringLiteral("line")).toString();
    status.phase = reply.value(QStringLiteral("phase")).toString();
    status.reason = reply.value(QStringLiteral("reason")).toString();
    for (const QJsonValue& value : reply.value(QStringLiteral("chambers")).toArray()) {
        const QJsonObject o = value.toObject();
        RecorderChamber chamber;
        chamber.address = o.value(QStringLiteral("address")).toInt(-1);
        chamber.frame = QByteArray::fromHex(o.value(QStringLiteral("frame")).toString().toLatin1());
        chamber.lastAnswered = o.value(QStringLiteral("lastAnswered")).toBool();
        chamber.readMs = static_cast<qint64>(o.value(QStringLiteral("readMs")).toDouble());
        chamber.answeredMs = static_cast<qint64>(o.value(QStringLiteral("answeredMs")).toDouble());
        chamber.linkLost = o.value(QStringLiteral("linkLost")).toBool();
        chamber.log = o.value(QStringLiteral("log")).toString();
        chamber.reads = o.value(QStringLiteral("reads")).toInt();
        if (chamber.address >= 0)
            status.chambers.append(chamber);
    }
    return status;
}

std::map<QString, std::vector<ChamberAlarm>> RecorderAlarmsByLine(const QJsonObject& reply)
{
    std::map<QString, std::vector<ChamberAlarm>> byLine;
    for (const QJsonValue& value : reply.value(QStringLiteral("alarms")).toArray()) {
        const QJsonObject o = value.toObject();
        const Alarm alarm = AlarmFromJson(o);
        if (alarm.id > 0)
            byLine[o.value(QStringLiteral("line")).toString()].push_back(
                {o.value(QStringLiteral("address")).toInt(kLabWideAlarm), alarm});
    }
    return byLine;
}

std::vector<ChamberAlarm> RecorderAlarmsOf(const QJsonObject& reply)
{
    std::vector<ChamberAlarm> alarms;
    for (auto& [line, some] : RecorderAlarmsByLine(reply))
        alarms.insert(alarms.end(), some.begin(), some.end());
    std::stable_sort(alarms.begin(), alarms.end(),
                     [](const ChamberAlarm& x, const ChamberAlarm& y) { return x.alarm.id < y.alarm.id; });
    return alarms;
}

QString RecorderErrorText(const QJsonObject& reply)
{
    const QString error = reply.value(QStringLiteral("error")).toString();
    return error.isEmpty() ? QStringLiteral("регистратор не ответил") : error;
}

QString RecorderUnavailableText() { return QStringLiteral("Регистратор недоступен"); }

RecorderClient::RecorderClient(QObject* parent) : QObject(parent)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kReconnectMs);
    connect(&m_retry, &QTimer::timeout, this, &RecorderClient::Connect);
    m_keepAlive.setInterval(kKeepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, [this] {
        if (m_attached)
            Request(QStringLiteral("hello"), {}, nullptr);
    });
}

RecorderClient::~RecorderClient()
{
    // Callbacks may reach into windows already gone at exit.
    m_pending.clear();
    if (m_socket)
        m_socket->abort();
}

void RecorderClient::Attach(const QString& path)
{
    if (m_path == path && (m_attached || m_socket))
        return;
    Detach();
    m_path = path;
    m_saidUnavailable = false;
    Connect();
}

void RecorderClient::Detach()
{
    m_retry.stop();
    m_keepAlive.stop();
    m_path.clear();
    m_line.clear();
    m_attached = false;
    if (m_socket) {
        QLocalSocket* socket = m_socket;
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    FailAll(QStringLiteral("отключено от регистратора"));
}

void RecorderClient::Connect()
{
    if (m_path.isEmpty() || m_socket)
        return;
    m_reader = ControlMessageReader();
    m_socket = new QLocalSocket(this);
    connect(m_socket, &QLocalSocket::connected, this, &RecorderClient::Connected);
    connect(m_socket, &QLocalSocket::readyRead, this, &RecorderClient::Read);
    connect(m_socket, &QLocalSocket::disconnected, this,
            [this] { Lost(QStringLiteral("регистратор закрыл соединение")); });
    connect(m_socket, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError) {
        if (m_socket)
            Lost(m_socket->errorString());
    });
    m_socket->connectToServer(m_path);
}

void RecorderClient::Connected()
{
    m_helloId = m_nextId++;
    Send(::Request(m_helloId, QStringLiteral("hello"), {}));
}

void RecorderClient::Read()
{
    if (!m_socket)
        return;
    m_reader.Feed(m_socket->readAll());
    for (;;) {
        QJsonObject message;
        QString why;
        const ControlMessageReader::Result result = m_reader.Next(&message, &why);
        if (result == ControlMessageReader::Result::NeedMore)
            return;
        if (result == ControlMessageReader::Result::TooLarge) {
            Lost(why);
            return;
        }
        if (result == ControlMessageReader::Result::Malformed)
            continue;
        const int id = message.value(QStringLiteral("id")).toInt();
        if (id != 0 && id == m_helloId) {
            m_helloId = 0;
            QString error;
            if (!SameControlVersion(message, QStringLiteral("регистратора"), &error)) {
                Lost(QStringLiteral("регистратор другой версии: %1").arg(error));
                return;
            }
            m_login = message.value(QStringLiteral("login")).toString();
            m_mayWrite = message.value(QStringLiteral("mayWrite")).toBool();
            m_attached = true;
            m_saidUnavailable = false;
            m_keepAlive.start();
            emit AttachedNow();
            continue;
        }
        auto pending = m_pending.find(id);
        if (pending == m_pending.end())
            continue;
        Callback callback = std::move(pending->second);
        m_pending.erase(pending);
        if (callback)
            callback(message);
        // The callback may have detached us.
        if (!m_socket)
            return;
    }
}

void RecorderClient::Lost(const QString& why)
{
    if (!m_socket)
        return;
    QLocalSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_attached = false;
    m_helloId = 0;
    m_keepAlive.stop();
    FailAll(QStringLiteral("%1: %2").arg(RecorderUnavailableText(), why));
    if (!m_path.isEmpty())
        m_retry.start();
    // Said once per loss, not at every try to come back.
    if (!m_saidUnavailable) {
        m_saidUnavailable = true;
        emit Unavailable(why);
    }
}

void RecorderClient::FailAll(const QString& why)
{
    std::map<int, Callback> pending;
    pending.swap(m_pending);
    for (auto& [id, callback] : pending)
        if (callback)
            callback(LostReply(why));
}

void RecorderClient::Send(const QJsonObject& message)
{
    const QByteArray bytes = EncodeControlMessage(message);
    if (m_socket && !bytes.isEmpty())
        m_socket->write(bytes);
}

int RecorderClient::Request(const QString& op, QJsonObject fields, Callback callback)
{
    if (!m_attached || !m_socket) {
        if (callback)
            callback(LostReply(RecorderUnavailableText()));
        return 0;
    }
    const int id = m_nextId++;
    m_pending.emplace(id, std::move(callback));
    Send(::Request(id, op, std::move(fields)));
    m_keepAlive.start();
    return id;
}

QJsonObject RecorderClient::RequestAndWait(const QString& op, QJsonObject fields, int timeoutMs)
{
    bool done = false;
    QJsonObject answer;
    const int id = Request(op, std::move(fields), [&](const QJsonObject& reply) {
        answer = reply;
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done) {
        const int left = timeoutMs - static_cast<int>(clock.elapsed());
        QLocalSocket* socket = m_socket;
        if (left <= 0 || !socket) {
            if (!done) {
                // Its answer, should it come, finds no one waiting; the command
                // is not asked again.
                m_pending.erase(id);
                answer = LostReply(QStringLiteral("регистратор не ответил за %1 с; выполнена ли команда, покажет журнал")
                                       .arg(timeoutMs / 1000));
            }
            break;
        }
        socket->flush();
        if (socket->bytesAvailable() > 0 || socket->waitForReadyRead(std::min(left, 100)))
            Read();
        else if (socket->state() != QLocalSocket::ConnectedState)
            Lost(QStringLiteral("регистратор закрыл соединение"));
    }
    return answer;
}

RecorderClient& DesktopRecorder()
{
    static RecorderClient* client = new RecorderClient;
    return *client;
}
