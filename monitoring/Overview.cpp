#include "monitoring/Overview.h"
#include "link/ThreadHandoff.h"

#include <algorithm>
#include <mutex>

#include "link/Waits.h"
#include "monitoring/ReadWatch.h"
#include "monitoring/StatusFields.h"

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

namespace {
// The reader whose hook the line carries: a second one made later takes it
// over, and only the one that has it gives it back.
std::atomic<OverviewReader*> g_hooked{nullptr};
}  // namespace

OverviewReader::OverviewReader(QObject* parent) : QObject(parent), m_line(DesktopLine())
{
    qRegisterMetaType<OverviewRead>();
    g_hooked = this;
    m_line.SetReadHook([this](const ChamberRead& read) { Hand(read); });
}

OverviewReader::~OverviewReader()
{
    Stop();
    OverviewReader* self = this;
    if (g_hooked.compare_exchange_strong(self, nullptr))
        m_line.SetReadHook(nullptr);
}

void OverviewReader::SetAddresses(const QVector<int>& addresses) { m_line.SetChambers(addresses); }

QVector<int> OverviewReader::Addresses() const { return m_line.Chambers(); }

int OverviewTimeoutFromSetting(const QVariant& value)
{
    bool ok = false;
    const int ms = value.typeId() == QMetaType::QStringList ? 0 : value.toString().trimmed().toInt(&ok);
    return ok ? std::clamp(ms, kMinOverviewTimeoutMs, kMaxOverviewTimeoutMs) : kDefaultOverviewTimeoutMs;
}

void OverviewReader::SetTimeoutMs(int ms) { m_line.SetTimeoutMs(std::clamp(ms, kMinOverviewTimeoutMs, kMaxOverviewTimeoutMs)); }

int OverviewReader::TimeoutMs() const { return m_line.TimeoutMs(); }

void OverviewReader::Start()
{
    m_line.Start();
    m_running = true;
    m_line.SetReading(true);
}

void OverviewReader::Stop()
{
    if (!m_running.exchange(false))
        return;
    m_line.SetReading(false);
    // Queued behind the read in flight: once it has run, that read is handed out.
    m_line.Exchange([] {});
}

bool OverviewReader::Running() const { return m_running; }

long OverviewReader::Wakeups() const { return m_line.Wakeups(); }

void OverviewReader::SetSelected(int address, int periodMs)
{
    m_selectedPeriodMs = ScaledMs(periodMs);
    m_line.SetSelected(address, periodMs);
}

void OverviewReader::ClearSelected() { m_line.ClearSelected(); }

int OverviewReader::Selected() const { return m_line.Selected(); }

void OverviewReader::Hand(const ChamberRead& value)
{
    const OverviewRead& read = value.read;
    if (read.outcome == WholeReply::Outcome::PortLost) {
        // Nothing was asked: only the main window's chamber tells of it.
        if (!read.selected)
            return;
    } else {
        // Handed over: the watchdog and the endpoint see the read now, even
        // while the user-interface thread has yet to take it.
        NoteChamberRead(read.selected ? ReadSource::Poll : ReadSource::Overview, read.address,
                        read.selected ? m_selectedPeriodMs.load() : OverviewReadPeriodMs(value.pauseMs));
    }
    std::lock_guard<std::mutex> posting(HandoffLock(Handoff::OverviewRead));
    emit Read(read);
}
