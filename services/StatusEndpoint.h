// The read-only HTTP endpoint for watchers elsewhere: GET /metrics
// (Prometheus text) and GET /api/status (JSON). It runs on a thread of its
// own, so that no request, however slow or large, can hold up a poll; the
// poll only hands it a copy of the watched status.
//
// A small server of our own rather than Qt HTTP Server: every limit that
// keeps a flood harmless is ours to set and to test (connections at once,
// header size, time for the head and per connection), and it never reads a
// request body. When every place is taken, a new connection waits a short
// time in a queue of bounded length for one; should none come free, the
// oldest connection still waiting for its head since before makes room, so
// idle ones never lock a scraper out. A full queue refuses at once.
#pragma once

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

#include "monitoring/StatusMetrics.h"

class QThread;

// What the bytes of a request received so far say. The request line
// decides as soon as it is there: a verdict once given stays whatever
// follows. Complete only with the whole head (an empty line ends it).
struct RequestHead {
    enum class State { Incomplete, TooLong, BadLine, NotAllowed, Complete };
    State state = State::Incomplete;
    bool headOnly = false;  // HEAD: the answer without its body
    QByteArray path;        // without its query
};
// headTooLong: the head passed the limit without ending.
RequestHead ParseRequestHead(const QByteArray& buffer, bool headTooLong);

struct EndpointLimits {
    int maxConnections = 32;         // more at once wait in the queue
    int maxHeaderBytes = 16 * 1024;  // a longer request head gets 431
    int deadlineMs = 5000;           // a connection lives no longer
    int headMs = 1000;               // the request head must have come by then (408)
    int maxQueued = 64;              // more waiting for a place are closed unanswered
    int queueMs = 2000;              // a place must have come free by then
};

class StatusEndpoint {
public:
    explicit StatusEndpoint(const EndpointLimits& limits = {});
    ~StatusEndpoint();
    StatusEndpoint(const StatusEndpoint&) = delete;
    StatusEndpoint& operator=(const StatusEndpoint&) = delete;

    // Listens on address:port (port 0: any free one); false with a message
    // for the operator when the address cannot be taken.
    bool Start(const QString& address, quint16 port, QString* error);
    void Stop();
    quint16 Port() const { return m_port; }

    // Called by the poll: one copy under a short lock.
    void Publish(const WatchedStatus& status);
    WatchedStatus Current() const;
    // Called by the overview: every chamber it watches.
    void PublishChambers(const QVector<WatchedStatus>& chambers);
    // Called by the recorder: every chamber of every line, nothing polled
    // apart; from the first call on the answers are the recorder's.
    void PublishLines(const QVector<WatchedStatus>& chambers);
    // The action journal of this folder: /metrics of the lines carries its
    // head and whether its records wait in memory, read at every scrape.
    void WatchJournal(const QString& folder);

    // Figures for tests and the benchmark.
    int OpenConnections() const { return m_open.load(); }
    int MostConnectionsAtOnce() const { return m_most.load(); }
    long Answered() const { return m_answered.load(); }
    long Refused() const { return m_refused.load(); }  // closed unanswered for want of a place
    // Connections still waiting for their head, closed to make room for a new one.
    long Dropped() const { return m_dropped.load(); }

    // The answer to one request head (status line, headers, body), or an
    // empty array while the head is not complete and within its limit.
    // headTooLong: the head passed the limit without ending.
    QByteArray Answer(const QByteArray& head, bool headTooLong) const;

private:
    friend class EndpointServer;
    QByteArray AnswerLines(const QByteArray& path, QVector<WatchedStatus> chambers, qint64 now, bool head) const;
    EndpointLimits m_limits;
    mutable std::mutex m_mutex;
    WatchedStatus m_status;
    QVector<WatchedStatus> m_chambers;
    bool m_lines = false;
    QString m_journalFolder;
    QThread* m_thread = nullptr;
    quint16 m_port = 0;
    std::atomic<int> m_open{0};
    std::atomic<int> m_most{0};
    std::atomic<long> m_answered{0};
    std::atomic<long> m_refused{0};
    std::atomic<long> m_dropped{0};
};

// The application's endpoint; null while watching is off.
extern StatusEndpoint* Endpoint;
