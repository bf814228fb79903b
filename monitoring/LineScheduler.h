// One line's scheduler: the only master of its line, on a thread of its
// own. Every chamber of the line is read in turn with the whole-reply status
// read; a silent one costs at most one timeout a turn and is asked less often
// after a few silent turns, a lost line is opened again, and nothing one line
// meets delays another's reads.
#pragma once

#include <QString>
#include <QVector>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "link/Transport.h"
#include "monitoring/LineOwner.h"

// One read as every consumer gets it: the line, the chamber, what came back
// decoded, and when.
struct ChamberRead {
    QString line;
    OverviewRead read;
    qint64 timeMs = 0;  // wall clock at the read's end
};

// What a line is doing, for the endpoint and the recorder's log.
enum class LinePhase { Opening, Scanning, Reading, Lost };
struct LineState {
    QString line;
    LinePhase phase = LinePhase::Opening;
    QString reason;          // why it is lost (the system's words), empty otherwise
    int reopenInMs = 0;      // Lost: the pause before the next try
    int opens = 0;           // successful opens so far
    QVector<int> chambers;   // the chambers read (after a scan, those found)
};
// "открывается", "поиск", "опрос", "потеряна".
QString LinePhaseText(LinePhase phase);

// The pause before the next open of a lost line after failures failed tries
// in a row: a serial adapter is looked for every second (it is back the
// moment it is plugged in); a TCP connection waits 1, 2, 4 … s, at most 30 s.
int ReopenPauseMs(TransportKind kind, int failures);

struct LineSchedule {
    QVector<int> chambers;      // empty with scan set: found by a scan at start
    bool scan = false;
    int periodMs = kStatusPollPeriodMs;  // a shortened wait in tests
    int timeoutMs = 150;        // per read: a setting, not shortened
    int scanTries = 3;          // a scan asks each address at most this often
    int openTimeoutMs = 3000;   // a TCP connection's making
};

class LineScheduler {
public:
    using ReadHook = std::function<void(const ChamberRead&)>;
    using StateHook = std::function<void(const LineState&)>;

    // The hooks run on the line's thread; they must not block it for long.
    LineScheduler(QString line, std::unique_ptr<Transport> transport, LineSchedule schedule, ReadHook onRead,
                  StateHook onState);
    ~LineScheduler();  // Stop()
    LineScheduler(const LineScheduler&) = delete;
    LineScheduler& operator=(const LineScheduler&) = delete;

    void Start();
    // Ends the thread after the exchange under way (at most one timeout) and
    // closes the line.
    void Stop();
    LineState State() const;
    const QString& Line() const { return m_line; }
    const TransportAddress& Address() const { return m_transport->Address(); }
    const LineSchedule& Schedule() const { return m_schedule; }

private:
    using Clock = std::chrono::steady_clock;
    struct Due {
        int unansweredInRow = 0;
        Clock::time_point at;
    };
    void Run();
    bool OpenLine(int* failures);
    bool ScanLine();
    void ReadNext();
    // Waits until the moment or Stop; false on Stop.
    bool WaitUntil(Clock::time_point at);
    void SetState(LinePhase phase, const QString& reason = QString(), int reopenInMs = 0);
    void Hand(const OverviewRead& read);

    const QString m_line;
    std::unique_ptr<Transport> m_transport;
    const LineSchedule m_schedule;
    ReadHook m_onRead;
    StateHook m_onState;
    std::map<int, Due> m_due;  // line thread only
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    LineState m_state;
    std::thread m_thread;
};
