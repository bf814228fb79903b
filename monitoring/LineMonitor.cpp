#include "monitoring/LineMonitor.h"

#include <QDateTime>
#include <QStringList>
#include <algorithm>
#include <cstring>

#include "monitoring/FrameDescriber.h"

TrafficRing::TrafficRing(size_t capacity)
{
    size_t size = 2;
    while (size < capacity)
        size *= 2;
    m_slots.resize(size);
    m_mask = size - 1;
}

bool TrafficRing::Push(TrafficDirection direction, const uint8_t* bytes, int length, qint64 timeUs)
{
    const size_t head = m_head.load(std::memory_order_relaxed);
    if (head - m_tail.load(std::memory_order_acquire) > m_mask) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    TrafficChunk& slot = m_slots[head & m_mask];
    const int n = std::clamp(length, 0, kReceiveBufferSize);
    slot.timeUs = timeUs;
    slot.direction = direction;
    slot.length = static_cast<uint16_t>(n);
    std::memcpy(slot.bytes, bytes, static_cast<size_t>(n));
    m_head.store(head + 1, std::memory_order_release);
    return true;
}

bool TrafficRing::Pop(TrafficChunk* out)
{
    const size_t tail = m_tail.load(std::memory_order_relaxed);
    if (tail == m_head.load(std::memory_order_acquire))
        return false;
    const TrafficChunk& slot = m_slots[tail & m_mask];
    out->timeUs = slot.timeUs;
    out->direction = slot.direction;
    out->length = slot.length;
    std::memcpy(out->bytes, slot.bytes, slot.length);
    m_tail.store(tail + 1, std::memory_order_release);
    return true;
}

bool TrafficRing::PeekTime(qint64* timeUs) const
{
    const size_t tail = m_tail.load(std::memory_order_relaxed);
    if (tail == m_head.load(std::memory_order_acquire))
        return false;
    *timeUs = m_slots[tail & m_mask].timeUs;
    return true;
}

LineMonitor::LineMonitor(size_t capacity) : m_capacity(std::max<size_t>(1, capacity)) {}

namespace {

// A whole reply to the open request, with a good CRC, anywhere in the bytes
// received since it was sent (noise may stand in front, a reply may come in
// pieces).
bool HoldsReply(const QByteArray& bytes, int address, int function)
{
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    const int size = static_cast<int>(bytes.size());
    for (int at = 0; at + 4 <= size; ++at) {
        if (data[at] != address || (data[at + 1] & 0x7F) != function)
            continue;
        const int length = ReplyFrameLength(data + at, size - at);
        if (length < 4 || at + length > size)
            continue;
        const FrameMeaning m = DescribeReply(data + at, length);
        if (m.wholeFrame && m.crcOk)
            return true;
    }
    return false;
}

}  // namespace

void LineMonitor::Record(const TrafficChunk& chunk)
{
    FrameMeaning meaning;
    if (chunk.direction == TrafficDirection::NotSent) {
        // Never on the line: no request to wait for an answer to.
        meaning = DescribeRequest(chunk.bytes, chunk.length);
        meaning.text = QStringLiteral("не отправлен: ") + meaning.text;
        ++m_counters.notSent;
    } else if (chunk.direction == TrafficDirection::Sent) {
        meaning = DescribeRequest(chunk.bytes, chunk.length);
        if (m_requestOpen && !m_requestAnswered)
            ++m_counters.unanswered;
        ++m_counters.requests;
        m_requestOpen = true;
        m_requestAnswered = false;
        m_requestAddress = meaning.address;
        m_requestFunction = meaning.function;
        m_sinceRequest.clear();
    } else {
        meaning = DescribeReply(chunk.bytes, chunk.length);
        if (!meaning.wholeFrame)
            ++m_counters.fragments;
        else if (!meaning.crcOk)
            ++m_counters.crcErrors;
        if (m_requestOpen && !m_requestAnswered && m_sinceRequest.size() < 1024) {
            m_sinceRequest.append(reinterpret_cast<const char*>(chunk.bytes), chunk.length);
            if (HoldsReply(m_sinceRequest, m_requestAddress, m_requestFunction)) {
                m_requestAnswered = true;
                ++m_counters.answered;
            }
        }
    }
    if (m_paused)
        return;
    LineEntry entry;
    entry.timeUs = chunk.timeUs;
    entry.direction = chunk.direction;
    entry.bytes = QByteArray(reinterpret_cast<const char*>(chunk.bytes), chunk.length);
    entry.meaning = std::move(meaning.text);
    m_entries.push_back(std::move(entry));
    ++m_totalKept;
    while (m_entries.size() > m_capacity)
        m_entries.pop_front();
}

void LineMonitor::Clear()
{
    m_entries.clear();
    m_counters = LineCounters{};
    // A request sent before the clearing is neither counted nor left open.
    m_requestOpen = false;
    m_requestAnswered = false;
    m_sinceRequest.clear();
}

QString TimeOfDayText(qint64 timeUs)
{
    return QDateTime::fromMSecsSinceEpoch(timeUs / 1000).toString(QStringLiteral("HH:mm:ss.zzz"));
}

namespace {

QString DirectionMark(TrafficDirection direction)
{
    switch (direction) {
    case TrafficDirection::Sent:
        return QStringLiteral("→");
    case TrafficDirection::Received:
        return QStringLiteral("←");
    case TrafficDirection::NotSent:
        break;
    }
    return QStringLiteral("×");
}

}  // namespace

QString LineEntryText(const LineEntry& entry)
{
    return QStringLiteral("%1 %2 %3  %4")
        .arg(TimeOfDayText(entry.timeUs),
             DirectionMark(entry.direction),
             HexText(reinterpret_cast<const uint8_t*>(entry.bytes.constData()), static_cast<int>(entry.bytes.size())),
             entry.meaning);
}

QString CountersText(const LineCounters& c)
{
    QString text = QStringLiteral("Запросов: %1   с ответом: %2   без ответа: %3   ошибок CRC: %4   не целых кадров: %5")
                       .arg(c.requests)
                       .arg(c.answered)
                       .arg(c.unanswered)
                       .arg(c.crcErrors)
                       .arg(c.fragments);
    if (c.notSent)
        text += QStringLiteral("   не отправлено: %1").arg(c.notSent);
    if (c.dropped)
        text += QStringLiteral("   пропущено записей: %1").arg(c.dropped);
    return text;
}

QString LineMonitorText(const LineMonitor& monitor)
{
    QString text = CountersText(monitor.Counters()) + u'\n';
    for (const LineEntry& entry : monitor.Entries())
        text += LineEntryText(entry) + u'\n';
    return text;
}

namespace {

// Frames sent come from the user-interface thread, chunks from the receive
// thread: a ring each keeps every ring single-producer.
TrafficRing g_sentRing(1024);
TrafficRing g_receivedRing(2048);
quint64 g_droppedSeen = 0;

void RecordTraffic(TrafficDirection direction, const uint8_t* bytes, int length, int64_t timeUs)
{
    TrafficRing& ring = direction == TrafficDirection::Received ? g_receivedRing : g_sentRing;
    ring.Push(direction, bytes, length, timeUs);
}

}  // namespace

void StartLineRecording()
{
    // A new monitor starts from an empty line: nothing left over from before.
    TrafficChunk chunk;
    while (g_sentRing.Pop(&chunk) || g_receivedRing.Pop(&chunk)) {
    }
    g_droppedSeen = g_sentRing.Dropped() + g_receivedRing.Dropped();
    SetTrafficHook(&RecordTraffic);
}

void StopLineRecording() { SetTrafficHook(nullptr); }

size_t DrainLineRecording(LineMonitor& monitor)
{
    size_t moved = 0;
    TrafficChunk chunk;
    for (;;) {
        qint64 sentTime = 0, receivedTime = 0;
        const bool haveSent = g_sentRing.PeekTime(&sentTime);
        const bool haveReceived = g_receivedRing.PeekTime(&receivedTime);
        if (!haveSent && !haveReceived)
            break;
        // Oldest first; a request goes before a reply stamped the same µs.
        TrafficRing& ring = haveSent && (!haveReceived || sentTime <= receivedTime) ? g_sentRing : g_receivedRing;
        if (!ring.Pop(&chunk))
            break;
        monitor.Record(chunk);
        ++moved;
    }
    const quint64 dropped = g_sentRing.Dropped() + g_receivedRing.Dropped();
    monitor.AddDropped(dropped - g_droppedSeen);
    g_droppedSeen = dropped;
    return moved;
}
