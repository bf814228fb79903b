#include "monitoring/LineScheduler.h"

#include <QDateTime>

#include <algorithm>
#include <cstring>

#include "link/ChamberContract.h"
#include "link/Waits.h"
#include "monitoring/Overview.h"

namespace {
// Beyond a read's timeout: the request's own wire time and the hand-over to
// the next thread.
constexpr std::chrono::milliseconds kReadMargin{10};
}  // namespace

QString LinePhaseText(LinePhase phase)
{
    switch (phase) {
    case LinePhase::Opening:
        return QStringLiteral("открывается");
    case LinePhase::Scanning:
        return QStringLiteral("поиск");
    case LinePhase::Reading:
        return QStringLiteral("опрос");
    case LinePhase::Lost:
        return QStringLiteral("потеряна");
    }
    return QString();
}

OverviewRead OverviewReadOf(int address, const WholeReply& whole)
{
    OverviewRead read;
    read.address = address;
    read.outcome = whole.outcome;
    read.took = whole.took;
    read.answered = whole.outcome == WholeReply::Outcome::Answered && whole.frame.size() >= 5;
    if (read.answered) {
        // Whole words of the data only: positions the reply did not reach
        // are 0, never its CRC nor half of a word.
        ReceiveBytes bytes{};
        const size_t data = std::min<size_t>(
            {whole.frame.size() - 2, kReplyHeaderBytes + (whole.frame[2] & 0xFEu), bytes.size()});
        std::memcpy(bytes.data(), whole.frame.data(), data);
        read.reply = DecodeStatus(bytes, address);
        read.answered = read.reply.decoded;
        // Controllers that send only the fifteen words asked for carry no humidities.
        if (data < static_cast<size_t>(ReplyBytesThroughWord(kCurrentHumidityWord)))
            read.reply.currentHumidity.accepted = false;
        if (data < static_cast<size_t>(ReplyBytesThroughWord(kSetHumidityWord)))
            read.reply.setHumidity.accepted = false;
    }
    return read;
}

int ReopenPauseMs(TransportKind kind, int failures)
{
    constexpr int kSerialLookMs = 1000;
    constexpr int kTcpFirstMs = 1000;
    constexpr int kTcpLongestMs = 30000;
    if (kind == TransportKind::Serial || failures <= 0)
        return kind == TransportKind::Serial ? kSerialLookMs : 0;
    const int doublings = std::min(failures - 1, 5);
    return std::min(kTcpFirstMs << doublings, kTcpLongestMs);
}

LineScheduler::LineScheduler(QString line, std::unique_ptr<Transport> transport, LineSchedule schedule,
                             ReadHook onRead, StateHook onState)
    : m_line(std::move(line)),
      m_transport(std::move(transport)),
      m_schedule(std::move(schedule)),
      m_onRead(std::move(onRead)),
      m_onState(std::move(onState)),
      m_reading(m_schedule.opensLine),
      m_timeoutMs(m_schedule.timeoutMs)
{
    m_state.line = m_line;
    m_state.chambers = m_schedule.chambers;
    for (int address : m_schedule.chambers)
        m_due[address].at = Clock::now();
}

LineScheduler::~LineScheduler() { Stop(); }

void LineScheduler::Start()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_running)
        return;
    // A thread that ended by Stop is joined there; one left from before is not.
    m_stop = false;
    m_running = true;
    m_thread = std::thread([this] { Run(); });
    m_threadId = m_thread.get_id();
}

void LineScheduler::Stop()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_running = false;
        m_threadId = std::thread::id();
    }
    if (m_schedule.opensLine)
        m_transport->Close();
}

bool LineScheduler::Running() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_running;
}

LineState LineScheduler::State() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_state;
}

void LineScheduler::Exchange(const std::function<void()>& job)
{
    Job queued;
    queued.run = &job;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (!m_running || m_stop || std::this_thread::get_id() == m_threadId) {
            lock.unlock();
            job();
            return;
        }
        m_jobs.push_back(&queued);
        m_wake.notify_all();
        m_jobEnded.wait(lock, [&] { return queued.done; });
    }
    if (queued.failure)
        std::rethrow_exception(queued.failure);
}

void LineScheduler::ExchangeLater(std::function<void()> job, JobEnded ended)
{
    auto queued = std::make_unique<Job>();
    queued->owned = std::move(job);
    queued->ended = std::move(ended);
    queued->run = &queued->owned;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_running && !m_stop && std::this_thread::get_id() != m_threadId) {
            m_jobs.push_back(queued.release());
            m_wake.notify_all();
            return;
        }
    }
    std::exception_ptr failure;
    try {
        queued->owned();
    } catch (...) {
        failure = std::current_exception();
    }
    if (queued->ended)
        queued->ended(failure);
}

bool LineScheduler::RunJobs()
{
    bool ran = false;
    for (;;) {
        Job* job = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_jobs.empty())
                return ran;
            job = m_jobs.front();
            m_jobs.pop_front();
        }
        try {
            (*job->run)();
        } catch (...) {
            job->failure = std::current_exception();
        }
        ran = true;
        if (job->run == &job->owned) {
            const std::unique_ptr<Job> ended(job);
            if (ended->ended)
                ended->ended(ended->failure);
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            job->done = true;
        }
        m_jobEnded.notify_all();
    }
}

void LineScheduler::SetChambers(const QVector<int>& chambers)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::map<int, Due> due;
        for (int address : chambers) {
            auto kept = m_due.find(address);
            if (kept != m_due.end())
                due[address] = kept->second;
            else
                due[address].at = Clock::now();
        }
        m_due.swap(due);
        m_state.chambers = chambers;
        ++m_changes;
    }
    m_wake.notify_all();
}

QVector<int> LineScheduler::Chambers() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    QVector<int> chambers;
    for (const auto& [address, due] : m_due)
        chambers.append(address);
    return chambers;
}

void LineScheduler::SetReading(bool on)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_reading == on)
            return;
        m_reading = on;
        // Switched on again: every chamber is read at once, as at a start.
        if (on)
            for (auto& [address, due] : m_due)
                due.at = Clock::now();
        ++m_changes;
    }
    m_wake.notify_all();
}

bool LineScheduler::Reading() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_reading;
}

void LineScheduler::SetSelected(int address, int periodMs)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_selectedPeriod = std::chrono::milliseconds(ScaledMs(periodMs));
        if (address == m_selected)
            return;
        if (m_selected >= 0) {
            auto before = m_due.find(m_selected);
            if (before != m_due.end())
                before->second.unansweredInRow = m_selectedDue.unansweredInRow;
        }
        m_selected = address;
        // Its silence so far still counts once another chamber is picked.
        auto known = m_due.find(address);
        m_selectedDue.unansweredInRow = known != m_due.end() ? known->second.unansweredInRow : 0;
        m_selectedDue.at = Clock::now();
        ++m_changes;
    }
    m_wake.notify_all();
}

void LineScheduler::ClearSelected()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_selected < 0)
            return;
        auto known = m_due.find(m_selected);
        if (known != m_due.end())
            known->second.unansweredInRow = m_selectedDue.unansweredInRow;
        m_selected = -1;
        ++m_changes;
    }
    m_wake.notify_all();
}

int LineScheduler::Selected() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_selected;
}

void LineScheduler::ExpectExchangeAt(Clock::time_point at)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_expecting = true;
        m_expectedAt = at;
        ++m_changes;
    }
    m_wake.notify_all();
}

void LineScheduler::ClearExpectedExchange()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_expecting)
            return;
        m_expecting = false;
        ++m_changes;
    }
    m_wake.notify_all();
}

bool LineScheduler::GiveWayToExpected()
{
    constexpr std::chrono::milliseconds kStale{1000};
    std::unique_lock<std::mutex> lock(m_lock);
    const auto now = Clock::now();
    if (!m_expecting || now > m_expectedAt + kStale ||
        now + std::chrono::milliseconds(m_timeoutMs) + kReadMargin < m_expectedAt)
        return false;
    const long changes = m_changes;
    m_wake.wait_until(lock, m_expectedAt + kStale, [&] { return Disturbed(changes); });
    ++m_wakeups;
    return true;
}

void LineScheduler::SetTimeoutMs(int ms) { m_timeoutMs = ms; }

void LineScheduler::Rescan()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_rescan = true;
    ++m_changes;
    m_wake.notify_all();
}

int LineScheduler::TimeoutMs() const { return m_timeoutMs; }

void LineScheduler::SetReadHook(ReadHook onRead)
{
    std::lock_guard<std::mutex> hook(m_hookLock);
    m_onRead = std::move(onRead);
}

long LineScheduler::Wakeups() const { return m_wakeups.load(); }

bool LineScheduler::Disturbed(long changes) const { return m_stop || !m_jobs.empty() || m_changes != changes; }

bool LineScheduler::WaitUntil(Clock::time_point at)
{
    std::unique_lock<std::mutex> lock(m_lock);
    const long changes = m_changes;
    m_wake.wait_until(lock, at, [&] { return Disturbed(changes); });
    ++m_wakeups;
    return !Disturbed(changes) && Clock::now() >= at;
}

void LineScheduler::WaitForChange()
{
    std::unique_lock<std::mutex> lock(m_lock);
    const long changes = m_changes;
    m_wake.wait(lock, [&] { return Disturbed(changes); });
    ++m_wakeups;
}

void LineScheduler::SetState(LinePhase phase, const QString& reason, int reopenInMs)
{
    LineState copy;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const bool same = m_state.phase == phase && m_state.reason == reason;
        m_state.phase = phase;
        m_state.reason = reason;
        m_state.reopenInMs = reopenInMs;
        if (phase == LinePhase::Reading) {
            // A scan again may find other chambers, as many as before.
            QVector<int> chambers;
            for (const auto& [address, due] : m_due)
                chambers.append(address);
            m_state.chambers = chambers;
        }
        if (same && phase != LinePhase::Lost)
            return;
        copy = m_state;
    }
    if (m_onState)
        m_onState(copy);
}

void LineScheduler::Hand(const OverviewRead& read, int pauseMs)
{
    std::lock_guard<std::mutex> hook(m_hookLock);
    if (!m_onRead)
        return;
    ChamberRead value;
    value.line = m_line;
    value.read = read;
    value.timeMs = QDateTime::currentMSecsSinceEpoch();
    value.pauseMs = pauseMs;
    m_onRead(value);
}

bool LineScheduler::OpenLine(int* failures)
{
    std::string reason;
    SetState(LinePhase::Opening);
    if (m_transport->Open(m_schedule.openTimeoutMs, &reason)) {
        *failures = 0;
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_state.opens;
        return true;
    }
    ++*failures;
    const int pause = ReopenPauseMs(m_transport->Address().kind, *failures);
    SetState(LinePhase::Lost, QString::fromStdString(reason), pause);
    WaitUntil(Clock::now() + std::chrono::milliseconds(ScaledMs(pause)));
    return false;
}

bool LineScheduler::ScanLine()
{
    SetState(LinePhase::Scanning);
    std::map<int, Due> found;
    for (int address = 0; address <= kLastAddress; ++address) {
        for (int attempt = 0; attempt < m_schedule.scanTries; ++attempt) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_stop)
                    return false;
            }
            // An exchange asked for meanwhile waits for one probe at most.
            RunJobs();
            const WholeReply whole = m_transport->Read(static_cast<uint8_t>(address), kStatusFunction,
                                                       kStatusRegisterCount, m_timeoutMs);
            if (whole.outcome == WholeReply::Outcome::PortLost)
                return false;  // scanned again once the line is back
            if (whole.outcome == WholeReply::Outcome::Answered || whole.outcome == WholeReply::Outcome::Exception) {
                // A controller that refuses the read is still a chamber on the line.
                found[address].at = Clock::now();
                break;
            }
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& [address, due] : found)
            m_due.emplace(address, due);
    }
    return true;
}

std::chrono::milliseconds LineScheduler::Period() const
{
    const int period = ScaledMs(m_schedule.periodMs);
    const int ahead = m_schedule.aheadMs >= 0 ? m_schedule.aheadMs : m_timeoutMs + 300;
    return std::chrono::milliseconds(std::max(std::max(1, period / 2), period - ahead));
}

void LineScheduler::ReadNext()
{
    int address = -1;
    bool selected = false;
    Clock::time_point at;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_selected >= 0) {
            address = m_selected;
            selected = true;
            at = m_selectedDue.at;
        }
        for (const auto& [chamber, due] : m_due) {
            if (chamber == m_selected)
                continue;  // read on its own rhythm
            if (address < 0 || due.at < at) {
                address = chamber;
                selected = false;
                at = due.at;
            }
        }
        // The selected chamber keeps its rhythm: no other read starts that
        // could still run when it falls due, unless its period is so short
        // (shortened waits) that the others would hardly be read at all.
        const auto read = std::chrono::milliseconds(m_timeoutMs) + kReadMargin;
        if (m_selected >= 0 && !selected && m_selectedPeriod > 8 * read &&
            m_selectedDue.at <= std::max(Clock::now(), at) + read) {
            address = m_selected;
            selected = true;
            at = m_selectedDue.at;
        }
    }
    if (address < 0) {
        // Nothing to read: only a change or an exchange wakes the thread.
        if (m_schedule.opensLine)
            WaitUntil(Clock::now() + std::chrono::milliseconds(ScaledMs(m_schedule.periodMs)));
        else
            WaitForChange();
        return;
    }
    if (at > Clock::now() && !WaitUntil(at))
        return;  // something changed meanwhile: the choice is made anew
    if (GiveWayToExpected())
        return;
    const WholeReply whole = m_transport->Read(static_cast<uint8_t>(address), kStatusFunction, kStatusRegisterCount,
                                               m_timeoutMs);
    OverviewRead read = OverviewReadOf(address, whole);
    read.selected = selected;
    const auto now = Clock::now();
    int pause = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        Due* due = nullptr;
        std::chrono::milliseconds period = Period();
        if (selected && m_selected == address) {
            due = &m_selectedDue;
            period = m_selectedPeriod;
        } else if (!selected) {
            auto it = m_due.find(address);
            if (it != m_due.end())
                due = &it->second;
        }
        if (due) {
            // The rhythm is kept from the due time, not from the read's end;
            // a read that fell behind by a whole period starts it anew.
            due->at = due->at + period < now ? now : due->at + period;
            if (read.answered || read.outcome == WholeReply::Outcome::Exception) {
                due->unansweredInRow = 0;
            } else if (read.outcome != WholeReply::Outcome::PortLost) {
                ++due->unansweredInRow;
                // The selected chamber is never asked less often.
                const int silent = selected ? 0 : SilentPauseMs(due->unansweredInRow, m_schedule.periodMs);
                if (silent > 0) {
                    pause = ScaledMs(silent);
                    due->at = now + std::chrono::milliseconds(pause);
                }
            }
        }
    }
    Hand(read, pause);
}

void LineScheduler::Run()
{
    int failures = 0;
    bool scanned = !m_schedule.scan;
    for (;;) {
        RunJobs();
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop && m_jobs.empty())
                break;
            if (m_stop)
                continue;
        }
        if (!m_schedule.opensLine) {
            // The desktop's port: read only while reading is on; an exchange
            // or a change wakes the thread.
            if (!Reading()) {
                WaitForChange();
                continue;
            }
            ReadNext();
            continue;
        }
        if (!m_transport->IsOpen()) {
            if (!OpenLine(&failures))
                continue;
        }
        bool rescan = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            rescan = m_rescan;
            m_rescan = false;
            if (rescan)
                m_due.clear();
        }
        if (!scanned || rescan) {
            scanned = ScanLine();
        } else if (!Reading()) {
            WaitForChange();
        } else {
            SetState(LinePhase::Reading);
            ReadNext();
        }
        if (!m_transport->IsOpen()) {
            // Lost during an exchange: said at once, then opened again after the pause.
            failures = 1;
            const int pause = ReopenPauseMs(m_transport->Address().kind, failures);
            SetState(LinePhase::Lost, QStringLiteral("связь с линией потеряна"), pause);
            WaitUntil(Clock::now() + std::chrono::milliseconds(ScaledMs(pause)));
        }
    }
    if (m_schedule.opensLine)
        m_transport->Close();
}
