#include "monitoring/Overview.h"
#include "link/ThreadHandoff.h"

#include <algorithm>

#include "link/Waits.h"
#include "monitoring/ReadWatch.h"
#include "monitoring/StatusFields.h"

namespace {
// Added to the read's timeout when the overview asks whether a read still
// fits before a reserved exchange: the request's own wire time and the
// hand-over to the next thread.
constexpr int kReadMarginMs = 10;
}  // namespace

WatchedChamber NewWatchedChamber(int address)
{
    WatchedChamber chamber;
    chamber.address = address;
    chamber.view = IdleStatusView();
    return chamber;
}

void ApplyOverviewRead(WatchedChamber& chamber, const OverviewRead& read, qint64 nowMs, const QString& separator)
{
    if (read.answered) {
        ApplyStatus(chamber.view, read.reply, separator);
        chamber.lastReply = read.reply;
        chamber.lastAnswerMs = nowMs;
        chamber.unansweredInRow = 0;
        chamber.link = ChamberLink::Answering;
        return;
    }
    ++chamber.unansweredInRow;
    chamber.link = chamber.unansweredInRow >= kSilentCyclesBeforeBackoff ? ChamberLink::Silent : ChamberLink::Late;
}

QString LinkText(ChamberLink link)
{
    switch (link) {
    case ChamberLink::Answering:
        return QStringLiteral("отвечает");
    case ChamberLink::Late:
        return QStringLiteral("опаздывает");
    case ChamberLink::Silent:
        return QStringLiteral("молчит");
    case ChamberLink::Unknown:
        break;
    }
    return QStringLiteral("—");
}

QString AnswerAgeText(qint64 lastAnswerMs, qint64 nowMs)
{
    if (lastAnswerMs <= 0)
        return QStringLiteral("нет ответа");
    const qint64 seconds = std::max<qint64>(0, (nowMs - lastAnswerMs) / 1000);
    if (seconds < 120)
        return QStringLiteral("%1 с назад").arg(seconds);
    if (seconds < 2 * 3600)
        return QStringLiteral("%1 мин назад").arg(seconds / 60);
    return QStringLiteral("%1 ч назад").arg(seconds / 3600);
}

QString CheckNewAddress(const QString& text, const QVector<int>& watched, int* address)
{
    const QString t = text.trimmed();
    bool ok = !t.isEmpty();
    for (const QChar c : t)
        ok = ok && c.isDigit() && c.unicode() < 128;
    const int value = ok && t.size() <= 4 ? t.toInt(&ok) : -1;
    if (!ok || value < 0 || value > kLastAddress)
        return QStringLiteral("Адрес «%1» не подходит: нужно целое число от 0 до %2").arg(t).arg(kLastAddress);
    if (watched.contains(value))
        return QStringLiteral("Камера №%1 уже в обзоре").arg(value);
    if (address)
        *address = value;
    return QString();
}

int SilentPauseMs(int unansweredInRow, int cycleMs)
{
    if (unansweredInRow < kSilentCyclesBeforeBackoff)
        return 0;
    const int doublings = std::min(unansweredInRow - kSilentCyclesBeforeBackoff + 1, 16);
    const long long pause = static_cast<long long>(cycleMs) << doublings;
    return static_cast<int>(std::min<long long>(pause, kSilentAskAtLeastMs));
}

OverviewReader::OverviewReader(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<OverviewRead>();
}

OverviewReader::~OverviewReader() { Stop(); }

void OverviewReader::SetAddresses(const QVector<int>& addresses)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_addresses = addresses;
    // A reader with nothing of its own to read waits for this.
    m_wake.notify_all();
}

QVector<int> OverviewReader::Addresses() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_addresses;
}

int OverviewTimeoutFromSetting(const QVariant& value)
{
    bool ok = false;
    const int ms = value.typeId() == QMetaType::QStringList ? 0 : value.toString().trimmed().toInt(&ok);
    return ok ? std::clamp(ms, kMinOverviewTimeoutMs, kMaxOverviewTimeoutMs) : kDefaultOverviewTimeoutMs;
}

void OverviewReader::SetTimeoutMs(int ms) { m_timeoutMs = std::clamp(ms, kMinOverviewTimeoutMs, kMaxOverviewTimeoutMs); }

int OverviewReader::TimeoutMs() const { return m_timeoutMs; }

void OverviewReader::Start()
{
    if (m_thread.joinable())
        return;
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
}

void OverviewReader::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
        m_wake.notify_all();
    }
    WakeLineWaiters();
    m_thread.join();
}

bool OverviewReader::Running() const { return m_thread.joinable(); }

void OverviewReader::SetSelected(int address, int periodMs)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_selectedPeriod = std::chrono::milliseconds(ScaledMs(periodMs));
    if (address == m_selected)
        return;
    m_selected = address;
    m_selectedDue = LineClock::now();
    m_wake.notify_all();
}

void OverviewReader::ClearSelected()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_selected = -1;
    m_wake.notify_all();
}

int OverviewReader::Selected() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_selected;
}

bool OverviewReader::ReadOne(int address, bool selected, LineClock::time_point deadline, OverviewRead* read)
{
    const int timeoutMs = m_timeoutMs;
    OverviewLineHold hold = TakeLineForOverview(timeoutMs + kReadMarginMs, m_stop, deadline);
    if (!hold.Held())
        return false;
    *read = RunOverviewExchange(address, timeoutMs);
    read->selected = selected;
    return true;
}

void OverviewReader::Hand(const OverviewRead& read)
{
    std::lock_guard<std::mutex> posting(HandoffLock(Handoff::OverviewRead));
    emit Read(read);
}

void OverviewReader::ReadSelectedIfDue()
{
    int address = -1;
    std::chrono::milliseconds period{0};
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto now = LineClock::now();
        if (m_selected < 0 || now < m_selectedDue)
            return;
        address = m_selected;
        period = m_selectedPeriod;
        // The next read a period after this one was due; one that fell far
        // behind (the line held by a scan) starts its period anew.
        m_selectedDue += m_selectedPeriod;
        if (m_selectedDue <= now)
            m_selectedDue = now + m_selectedPeriod;
    }
    OverviewRead read;
    if (!ReadOne(address, true, LineClock::now() + period, &read))
        return;
    {
        // Its silence still counts, so that it is asked less often once
        // another chamber is picked; it is never backed off while selected.
        std::lock_guard<std::mutex> guard(m_lock);
        int& unanswered = m_unanswered[address];
        unanswered = read.answered ? 0 : unanswered + 1;
        m_askAt.erase(address);
        // Handed over: the watchdog and the endpoint see the read now.
        if (read.outcome != WholeReply::Outcome::PortLost)
            NoteChamberRead(ReadSource::Poll, address,
                            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(m_selectedPeriod).count()));
    }
    Hand(read);
}

bool OverviewReader::ReadInCycle(int address, LineClock::time_point cycleEnd, int cycleMs)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (address == m_selected)
            return true;  // read on its own schedule
        auto at = m_askAt.find(address);
        if (at != m_askAt.end() && LineClock::now() < at->second)
            return true;
    }
    // A cycle that cannot get the line (a scan or a program write holds
    // it) gives up at its end and starts again.
    OverviewRead read;
    if (!ReadOne(address, false, std::max(cycleEnd, LineClock::now() + std::chrono::seconds(20)), &read))
        return true;
    if (read.outcome == WholeReply::Outcome::PortLost)
        return false;  // nothing to ask until the port is back
    {
        std::lock_guard<std::mutex> guard(m_lock);
        int& unanswered = m_unanswered[address];
        unanswered = read.answered ? 0 : unanswered + 1;
        const int pause = std::min(SilentPauseMs(unanswered, cycleMs), ScaledMs(kSilentAskAtLeastMs));
        if (pause > 0)
            m_askAt[address] = LineClock::now() + std::chrono::milliseconds(pause);
        else
            m_askAt.erase(address);
        // Handed over: the watchdog and the endpoint see the read now, even
        // while the user-interface thread has yet to take it.
        NoteChamberRead(ReadSource::Overview, address, OverviewReadPeriodMs(pause));
    }
    Hand(read);
    return true;
}

void OverviewReader::RestUntil(LineClock::time_point cycleEnd)
{
    // The selected chamber keeps its period meanwhile.
    for (;;) {
        ReadSelectedIfDue();
        std::unique_lock<std::mutex> lock(m_lock);
        // With no chamber of the cycle's own, its end would wake the thread
        // for nothing: only the selected chamber's time or a change of the
        // chambers does.
        const bool others =
            std::any_of(m_addresses.begin(), m_addresses.end(), [this](int a) { return a != m_selected; });
        if (m_stop || (others && LineClock::now() >= cycleEnd))
            return;
        const int selected = m_selected;
        const QVector<int> addresses = m_addresses;
        const auto changed = [&] { return m_stop.load() || m_selected != selected || m_addresses != addresses; };
        if (others)
            m_wake.wait_until(lock, m_selected >= 0 ? std::min(cycleEnd, m_selectedDue) : cycleEnd, changed);
        else if (m_selected >= 0)
            m_wake.wait_until(lock, m_selectedDue, changed);
        else
            m_wake.wait(lock, changed);
    }
}

void OverviewReader::Run()
{
    while (!m_stop) {
        const int cycleMs = ScaledMs(kOverviewCycleMs);
        const auto cycleEnd = LineClock::now() + std::chrono::milliseconds(cycleMs);
        for (const int address : Addresses()) {
            ReadSelectedIfDue();
            if (m_stop || !ReadInCycle(address, cycleEnd, cycleMs))
                break;
        }
        ++m_cyclesEnded;
        RestUntil(cycleEnd);
    }
}
