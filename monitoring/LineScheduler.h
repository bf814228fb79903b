// One line's scheduler: the only master of its line, on a thread of its
// own. Every chamber of the line is read in turn with the whole-reply status
// read; a silent one costs at most one timeout a turn and is asked less often
// after a few silent turns, a lost line is opened again, and nothing one line
// meets delays another's reads. Every other exchange on the line (a scan
// probe, a poll with its fixed waits, a command's frames, the port's opening
// and closing) is queued to the same thread and runs between two reads, so
// that two requests are never outstanding at once.
#pragma once

#include <QString>
#include <QVector>

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "link/Transport.h"
#include "link/PortUnit.h"
#include "monitoring/StatusDecode.h"

using LineClock = std::chrono::steady_clock;

// One status read of a chamber: the request, its reply taken the moment it
// is whole, decoded by the poll's own table.
struct OverviewRead {
    int address = 0;
    WholeReply::Outcome outcome = WholeReply::Outcome::Silent;
    bool answered = false;  // a whole status reply with a good CRC
    bool selected = false;  // the main window's chamber, read on its own schedule
    StatusReply reply;      // decoded by the poll's own table when answered
    std::chrono::microseconds took{0};
};
// The decoding of what one such read brought.
OverviewRead OverviewReadOf(int address, const WholeReply& whole);

// One read as every consumer gets it: the line, the chamber, what came back
// decoded, and when.
struct ChamberRead {
    QString line;
    OverviewRead read;
    qint64 timeMs = 0;  // wall clock at the read's end
    // A silent chamber's pause before it is asked again (scaled ms), 0 when
    // it is asked at its period.
    int pauseMs = 0;
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
    // A chamber falls due this much before its period is over (real ms;
    // -1: its timeout and 300 ms): a silent chamber ahead of it in the turn
    // and the reads' own jitter then still leave no gap longer than the
    // period. Never more than half the period.
    int aheadMs = -1;
    // False for the desktop's port: the operator opens and closes it (as
    // exchanges queued here), reads run only while reading is switched on
    // and the port is open, and nothing is opened again by the scheduler.
    bool opensLine = true;
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
    // the exchanges queued, and closes the line.
    void Stop();
    bool Running() const;
    LineState State() const;

    // Runs job on the line's thread before any read not yet begun (so it
    // waits at most for the one read in flight) and returns when it has
    // ended, with its exception rethrown here. On the line's thread itself (a
    // job's own exchanges: a program's frames are one job) and while the
    // thread does not run, it runs at once on the caller's.
    void Exchange(const std::function<void()>& job);
    // The same without waiting: ended runs after the job, on the line's thread
    // (or on the caller's, where the job ran at once), with the job's
    // exception, if any. A job queued is run even when the line stops.
    using JobEnded = std::function<void(std::exception_ptr failure)>;
    void ExchangeLater(std::function<void()> job, JobEnded ended);
    // The line's transport, for an exchange's own requests: only from inside
    // one (on the line's thread).
    Transport& LineTransport() { return *m_transport; }

    // An exchange that falls due by a timer (the desktop's poll): no read
    // starts that could still run when it comes, so it keeps its rhythm. One
    // not queued a second after its time no longer holds the reads back (the
    // timer was held up or stopped unseen).
    void ExpectExchangeAt(std::chrono::steady_clock::time_point at);
    void ClearExpectedExchange();

    // The chambers read, changed while it runs: a new one is read at once.
    void SetChambers(const QVector<int>& chambers);
    QVector<int> Chambers() const;
    // Reads on or off (the desktop's reading is off until the overview starts).
    void SetReading(bool on);
    bool Reading() const;
    // One chamber read every periodMs (scaled here), never backed off, its
    // reads handed out with selected set; a new address is read at once, the
    // same one keeps its rhythm. It is read whether or not it is among the
    // chambers. -1: none.
    void SetSelected(int address, int periodMs);
    void ClearSelected();
    int Selected() const;
    void SetTimeoutMs(int ms);
    // Scans the line again, as at start (its reads pause meanwhile, the phase
    // says Scanning); the chambers found are the ones read from then on.
    void Rescan();
    int TimeoutMs() const;
    // The hook for every read from now on (null: none); returns once a call
    // of the old one in flight has ended.
    void SetReadHook(ReadHook onRead);
    // Times the thread woke from a wait: for a read due, an exchange, a
    // change, or a stop (the idle wake-up test counts them).
    long Wakeups() const;
    const QString& Line() const { return m_line; }
    const TransportAddress& Address() const { return m_transport->Address(); }
    const LineSchedule& Schedule() const { return m_schedule; }

private:
    using Clock = std::chrono::steady_clock;
    struct Due {
        int unansweredInRow = 0;
        Clock::time_point at;
    };
    struct Job {
        const std::function<void()>* run = nullptr;
        bool done = false;
        std::exception_ptr failure;
        // A job nobody waits for: owned by the queue, its end told by ended.
        std::function<void()> owned;
        JobEnded ended;
    };
    void Run();
    // The exchanges queued, in order; false when there were none.
    bool RunJobs();
    bool OpenLine(int* failures);
    bool ScanLine();
    void ReadNext();
    // Waits until the moment, Stop, a queued exchange or a change of what is
    // read; true only when the moment came undisturbed.
    bool WaitUntil(Clock::time_point at);
    // The same with no moment: until something changes.
    void WaitForChange();
    bool Disturbed(long changes) const;  // under m_lock
    // An expected exchange comes before a read started now would end: waits
    // for it (or for it to go stale) and says so.
    bool GiveWayToExpected();
    void SetState(LinePhase phase, const QString& reason = QString(), int reopenInMs = 0);
    void Hand(const OverviewRead& read, int pauseMs);
    std::chrono::milliseconds Period() const;

    const QString m_line;
    std::unique_ptr<Transport> m_transport;
    const LineSchedule m_schedule;
    std::mutex m_hookLock;  // held while the read hook runs
    ReadHook m_onRead;
    StateHook m_onState;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_jobEnded;
    std::map<int, Due> m_due;
    int m_selected = -1;
    Due m_selectedDue;
    std::chrono::milliseconds m_selectedPeriod{0};
    bool m_reading = true;
    bool m_expecting = false;
    Clock::time_point m_expectedAt;
    long m_changes = 0;  // what is read was changed this often
    std::deque<Job*> m_jobs;
    std::atomic<int> m_timeoutMs;
    std::atomic<long> m_wakeups{0};
    bool m_stop = false;
    bool m_rescan = false;
    bool m_running = false;
    std::thread::id m_threadId;
    LineState m_state;
    std::thread m_thread;
};
