#include "monitoring/LineScheduler.h"

#include <QDateTime>

#include <algorithm>

#include "link/ChamberContract.h"
#include "link/Waits.h"
#include "monitoring/Overview.h"

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
      m_onState(std::move(onState))
{
    m_state.line = m_line;
    m_state.chambers = m_schedule.chambers;
}

LineScheduler::~LineScheduler() { Stop(); }

void LineScheduler::Start()
{
    if (m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = false;
    }
    m_thread = std::thread([this] { Run(); });
}

void LineScheduler::Stop()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_transport->Close();
}

LineState LineScheduler::State() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_state;
}

bool LineScheduler::WaitUntil(Clock::time_point at)
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_wake.wait_until(lock, at, [this] { return m_stop; });
    return !m_stop;
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
        if (phase == LinePhase::Reading && m_due.size() != static_cast<size_t>(m_state.chambers.size())) {
            m_state.chambers.clear();
            for (const auto& [address, due] : m_due)
                m_state.chambers.append(address);
        }
        if (same && phase != LinePhase::Lost)
            return;
        copy = m_state;
    }
    if (m_onState)
        m_onState(copy);
}

void LineScheduler::Hand(const OverviewRead& read)
{
    if (!m_onRead)
        return;
    ChamberRead value;
    value.line = m_line;
    value.read = read;
    value.timeMs = QDateTime::currentMSecsSinceEpoch();
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
    for (int address = 0; address <= kLastAddress; ++address) {
        for (int attempt = 0; attempt < m_schedule.scanTries; ++attempt) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_stop)
                    return false;
            }
            const WholeReply whole = m_transport->Read(static_cast<uint8_t>(address), kStatusFunction,
                                                       kStatusRegisterCount, m_schedule.timeoutMs);
            if (whole.outcome == WholeReply::Outcome::PortLost)
                return false;  // scanned again once the line is back
            if (whole.outcome == WholeReply::Outcome::Answered || whole.outcome == WholeReply::Outcome::Exception) {
                // A controller that refuses the read is still a chamber on the line.
                m_due[address].at = Clock::now();
                break;
            }
        }
    }
    return true;
}

void LineScheduler::ReadNext()
{
    auto next = std::min_element(m_due.begin(), m_due.end(),
                                 [](const auto& a, const auto& b) { return a.second.at < b.second.at; });
    if (next == m_due.end()) {
        WaitUntil(Clock::now() + std::chrono::milliseconds(ScaledMs(m_schedule.periodMs)));
        return;
    }
    if (!WaitUntil(next->second.at))
        return;
    const int address = next->first;
    Due& due = next->second;
    const WholeReply whole = m_transport->Read(static_cast<uint8_t>(address), kStatusFunction, kStatusRegisterCount,
                                               m_schedule.timeoutMs);
    const OverviewRead read = OverviewReadOf(address, whole);
    const auto now = Clock::now();
    // Due a little before the period is over: a silent chamber ahead in the
    // turn may cost one timeout, and the read its own jitter, and still no
    // gap grows longer than the period.
    const int ahead = m_schedule.timeoutMs + 20;
    const auto period = std::chrono::milliseconds(std::max(1, ScaledMs(m_schedule.periodMs) - ahead));
    // The rhythm is kept from the due time, not from the read's end; a read
    // that fell behind by a whole period starts the rhythm anew.
    due.at = due.at + period < now ? now : due.at + period;
    if (read.answered || read.outcome == WholeReply::Outcome::Exception) {
        due.unansweredInRow = 0;
    } else if (read.outcome != WholeReply::Outcome::PortLost) {
        ++due.unansweredInRow;
        const int pause = SilentPauseMs(due.unansweredInRow, m_schedule.periodMs);
        if (pause > 0)
            due.at = now + std::chrono::milliseconds(ScaledMs(pause));
    }
    Hand(read);
}

void LineScheduler::Run()
{
    int failures = 0;
    bool scanned = !m_schedule.scan;
    for (int address : m_schedule.chambers)
        m_due[address].at = Clock::now();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop)
                break;
        }
        if (!m_transport->IsOpen()) {
            if (!OpenLine(&failures))
                continue;
        }
        if (!scanned) {
            scanned = ScanLine();
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
    m_transport->Close();
}
