#include "services/StatusEndpoint.h"
#include "link/ThreadHandoff.h"

#include "monitoring/ActionJournal.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QVariant>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <future>
#include <list>

StatusEndpoint* Endpoint = nullptr;

namespace {

QByteArray Response(const char* status, const QByteArray& type, const QByteArray& body, bool head,
                    const QByteArray& extra = {})
{
    QByteArray r = QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                   "\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\nCache-Control: no-store\r\nConnection: close\r\n" + extra + "\r\n";
    if (!head)
        r += body;
    return r;
}

QByteArray Plain(const char* status, const QByteArray& text, bool head = false, const QByteArray& extra = {})
{
    return Response(status, "text/plain; charset=utf-8", text + '\n', head, extra);
}

// The end of the request head, or -1.
qsizetype HeadEnd(const QByteArray& buffer)
{
    const qsizetype crlf = buffer.indexOf("\r\n\r\n");
    const qsizetype lf = buffer.indexOf("\n\n");
    if (crlf < 0)
        return lf;
    return lf < 0 ? crlf : std::min(crlf, lf);
}

}  // namespace

// Lives on the endpoint's thread; every socket is handled there.
class EndpointServer : public QTcpServer {
public:
    explicit EndpointServer(StatusEndpoint* owner) : m_owner(owner) { m_clock.start(); }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        const EndpointLimits& limits = m_owner->m_limits;
        // Qt stops taking bytes from the system once this much waits unread,
        // so a huge header costs no more memory than the limit, queued or not.
        socket->setReadBufferSize(limits.maxHeaderBytes + 1);
        QTimer::singleShot(limits.deadlineMs, socket, [socket] { socket->abort(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (m_owner->m_open.load() < limits.maxConnections) {
            Serve(socket);
            return;
        }
        // A burst of scrapers outnumbers the places only for a moment: the
        // newcomer waits briefly for one, and only a full queue refuses.
        if (static_cast<int>(m_queued.size()) >= limits.maxQueued) {
            Refuse(socket);
            return;
        }
        socket->setProperty(kArrivedAt, m_clock.elapsed());
        m_queued.push_back(socket);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_queued.remove(socket); });
        QTimer::singleShot(limits.queueMs, socket, [this, socket] { QueueTimeUp(socket); });
    }

private:
    // Closed unanswered.
    void Refuse(QTcpSocket* socket)
    {
        ++m_owner->m_refused;
        m_queued.remove(socket);
        socket->abort();
        socket->deleteLater();
    }

    // Waited its time without a place coming free: a connection that took
    // its place before this one came and has not even sent its head since
    // gives way to it, so idle ones never lock a scraper out; with none, it
    // is refused.
    void QueueTimeUp(QTcpSocket* socket)
    {
        if (std::find(m_queued.begin(), m_queued.end(), socket) == m_queued.end())
            return;  // it has had its place meanwhile
        QTcpSocket* oldest = m_waiting.empty() ? nullptr : m_waiting.front();
        if (!oldest || oldest->property(kServedAt).toLongLong() > socket->property(kArrivedAt).toLongLong()) {
            Refuse(socket);
            return;
        }
        m_waiting.pop_front();
        ++m_owner->m_dropped;
        oldest->abort();
        delete oldest;  // its place is free now, not at the next loop turn
        m_queued.remove(socket);
        Serve(socket);
    }

    // A place came free: the longest waiting connection takes it.
    void ServeNextQueued()
    {
        while (!m_queued.empty() && m_owner->m_open.load() < m_owner->m_limits.maxConnections) {
            QTcpSocket* next = m_queued.front();
            m_queued.pop_front();
            Serve(next);
        }
    }

    void CountOpen()
    {
        const int open = ++m_owner->m_open;
        int most = m_owner->m_most.load();
        while (open > most && !m_owner->m_most.compare_exchange_weak(most, open)) {
        }
    }

    // The connection has a place: its head is read and answered.
    void Serve(QTcpSocket* socket)
    {
        CountOpen();
        socket->setProperty(kServedAt, m_clock.elapsed());
        auto state = std::make_shared<Connection>();
        m_waiting.push_back(socket);
        QTimer::singleShot(m_owner->m_limits.headMs, socket, [this, socket, state] {
            if (state->answered)
                return;
            state->answered = true;
            m_waiting.remove(socket);
            socket->write(Plain("408 Request Timeout", "request head not received in time"));
            socket->disconnectFromHost();
        });
        connect(socket, &QObject::destroyed, this, [this, socket, owner = m_owner] {
            m_waiting.remove(socket);
            --owner->m_open;
            // Not from inside the destruction itself: the next one starts
            // with this one wholly gone.
            QMetaObject::invokeMethod(this, [this] { ServeNextQueued(); }, Qt::QueuedConnection);
        });
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, state] { TakeBytes(socket, *state); });
        // Bytes that came while it waited in the queue announce themselves no more.
        if (socket->bytesAvailable() > 0)
            TakeBytes(socket, *state);
    }

    struct Connection {
        QByteArray head;
        bool answered = false;
    };

    void TakeBytes(QTcpSocket* socket, Connection& c)
    {
        if (c.answered) {
            socket->readAll();  // anything after the head is not read
            return;
        }
        const int limit = m_owner->m_limits.maxHeaderBytes;
        c.head += socket->read(limit + 1 - c.head.size());
        const bool tooLong = HeadEnd(c.head) < 0 && c.head.size() > limit;
        const QByteArray answer = m_owner->Answer(c.head, tooLong);
        if (answer.isEmpty())
            return;
        c.answered = true;
        m_waiting.remove(socket);
        c.head.clear();
        c.head.squeeze();
        ++m_owner->m_answered;
        socket->write(answer);
        socket->disconnectFromHost();
    }

    // Milliseconds of m_clock, kept on each socket.
    static constexpr const char* kArrivedAt = "arrivedAt";
    static constexpr const char* kServedAt = "servedAt";

    StatusEndpoint* m_owner;
    QElapsedTimer m_clock;
    std::list<QTcpSocket*> m_waiting;  // with a place, not yet answered, oldest first
    std::list<QTcpSocket*> m_queued;   // waiting for a place, oldest first
};

StatusEndpoint::StatusEndpoint(const EndpointLimits& limits) : m_limits(limits) {}

StatusEndpoint::~StatusEndpoint() { Stop(); }

bool StatusEndpoint::Start(const QString& address, quint16 port, QString* error)
{
    Stop();
    std::promise<QString> started;
    std::future<QString> result = started.get_future();
    m_thread = QThread::create([this, address, port, &started] {
        EndpointServer server(this);
        if (!server.listen(QHostAddress(address), port)) {
            started.set_value(server.errorString().isEmpty() ? QStringLiteral("?") : server.errorString());
            return;
        }
        m_port = server.serverPort();
        started.set_value(QString());
        // QThread::quit() ends this loop too, even one asked to end before it ran.
        QEventLoop loop;
        loop.exec();
        server.close();
        // Sockets still open go with the server; their deferred deletions run here.
        qDeleteAll(server.findChildren<QTcpSocket*>());
        HandoffRelease(Handoff::EndpointThread);
    });
    m_thread->setObjectName(QStringLiteral("StatusEndpoint"));
    m_thread->start();
    const QString failure = result.get();
    if (!failure.isEmpty()) {
        m_thread->wait();
        HandoffAcquire(Handoff::EndpointThread);
        delete m_thread;
        m_thread = nullptr;
        if (error)
            *error = QStringLiteral("Наблюдение: не удалось открыть %1:%2 (%3)").arg(address).arg(port).arg(failure);
        return false;
    }
    return true;
}

void StatusEndpoint::Stop()
{
    if (!m_thread)
        return;
    m_thread->quit();
    m_thread->wait();
    HandoffAcquire(Handoff::EndpointThread);
    delete m_thread;
    m_thread = nullptr;
    m_port = 0;
}

void StatusEndpoint::Publish(const WatchedStatus& status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status = status;
}

void StatusEndpoint::PublishChambers(const QVector<WatchedStatus>& chambers)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chambers = chambers;
}

void StatusEndpoint::PublishLines(const QVector<WatchedStatus>& chambers)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chambers = chambers;
    m_lines = true;
}

void StatusEndpoint::WatchJournal(const QString& folder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_journalFolder = folder;
}

WatchedStatus StatusEndpoint::Current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
}

QByteArray StatusEndpoint::AnswerLines(const QByteArray& path, QVector<WatchedStatus> chambers, qint64 now,
                                       bool head) const
{
    for (WatchedStatus& c : chambers)
        FillReadAgeFromWall(c, now);
    if (path == "/metrics") {
        QByteArray text = MetricsTextOfLines(chambers, now);
        QString folder;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            folder = m_journalFolder;
        }
        // The journal is the process's, not a chamber's: its series carry no chamber.
        if (!folder.isEmpty()) {
            const JournalHead journal = ReadJournalHead(folder);
            text += JournalMetricsText(journal.records, journal.lastHash.left(16), KeptJournalCount() > 0 ? 1 : 0);
        }
        return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", text, head);
    }
    if (path == "/api/status")
        return Response("200 OK", "application/json", StatusJsonOfLines(chambers, now), head);
    if (path == "/")
        return Plain("200 OK", "Calvetra recorder: /metrics, /api/status", head);
    return Plain("404 Not Found", "not found", head);
}

RequestHead ParseRequestHead(const QByteArray& buffer, bool headTooLong)
{
    RequestHead r;
    if (headTooLong) {
        r.state = RequestHead::State::TooLong;
        return r;
    }
    const qsizetype end = HeadEnd(buffer);
    const qsizetype lineEnd = buffer.indexOf('\n');
    // A method is capital letters, at least one; anything else (a TLS
    // hello, binary noise, a blank before the method) is refused at once
    // instead of holding a connection.
    for (qsizetype i = 0; i < buffer.size(); ++i) {
        const char c = buffer[i];
        if (c == ' ' && i > 0)
            break;
        if (c < 'A' || c > 'Z') {
            r.state = RequestHead::State::BadLine;
            return r;
        }
    }
    if (end < 0 && lineEnd < 0)
        return r;
    // The request line decides; a bad one needs no more of the head.
    const QByteArray line = buffer.left(lineEnd < 0 ? buffer.size() : lineEnd).trimmed();
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/1.") || !parts[1].startsWith('/')) {
        r.state = RequestHead::State::BadLine;
        return r;
    }
    if (end < 0)
        return r;
    const QByteArray& method = parts[0];
    r.headOnly = method == "HEAD";
    if (method != "GET" && !r.headOnly) {
        r.state = RequestHead::State::NotAllowed;
        return r;
    }
    r.path = parts[1];
    if (const qsizetype q = r.path.indexOf('?'); q >= 0)
        r.path.truncate(q);
    r.state = RequestHead::State::Complete;
    return r;
}

QByteArray StatusEndpoint::Answer(const QByteArray& buffer, bool headTooLong) const
{
    const RequestHead request = ParseRequestHead(buffer, headTooLong);
    switch (request.state) {
    case RequestHead::State::Incomplete:
        return {};
    case RequestHead::State::TooLong:
        return Plain("431 Request Header Fields Too Large", "request head too long");
    case RequestHead::State::BadLine:
        return Plain("400 Bad Request", "bad request line");
    case RequestHead::State::NotAllowed:
        return Plain("405 Method Not Allowed", "read-only: GET and HEAD only", false, "Allow: GET, HEAD\r\n");
    case RequestHead::State::Complete:
        break;
    }
    const bool head = request.headOnly;
    const QByteArray& path = request.path;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QVector<WatchedStatus> chambers;
    WatchedStatus status;
    bool lines = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        chambers = m_chambers;
        status = m_status;
        lines = m_lines;
    }
    if (lines)
        return AnswerLines(path, chambers, now, head);
    // The ages of the last reads are taken now, not when the status was
    // handed over: they grow while the user-interface thread is stalled.
    FillReadAge(status);
    for (WatchedStatus& c : chambers)
        FillReadAge(c);
    if (path == "/metrics") {
        // Read from the file at each scrape: another instance may append too.
        if (const QString folder = JournalFolder(); !folder.isEmpty()) {
            const JournalHead journal = ReadJournalHead(folder);
            status.journalRecords = journal.records;
            status.journalHead = journal.lastHash.left(16);
        }
        status.journalUnwritable = KeptJournalCount() > 0 ? 1 : 0;
        return Response("200 OK", "text/plain; version=0.0.4; charset=utf-8", MetricsText(status, chambers, now),
                        head);
    }
    if (path == "/api/status")
        return Response("200 OK", "application/json", StatusJson(status, chambers, now), head);
    if (path == "/")
        return Plain("200 OK", "Calvetra: /metrics, /api/status", head);
    return Plain("404 Not Found", "not found", head);
}
