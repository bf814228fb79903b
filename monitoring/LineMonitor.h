// The line monitor's data: every frame sent and chunk received, handed from
// the link's threads through lock-free rings, described, counted and kept in
// a bounded list of the last entries. No window here.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "link/PortUnit.h"

// One recorded piece of traffic as the link handed it over.
struct TrafficChunk {
    qint64 timeUs = 0;  // wall clock, µs since the epoch
    TrafficDirection direction = TrafficDirection::Sent;
    uint16_t length = 0;
    uint8_t bytes[kReceiveBufferSize];
};

// Single producer, single consumer, fixed size; Push never blocks or
// allocates: a full ring drops the chunk and counts it.
class TrafficRing {
public:
    explicit TrafficRing(size_t capacity);  // rounded up to a power of two
    bool Push(TrafficDirection direction, const uint8_t* bytes, int length, qint64 timeUs);
    bool Pop(TrafficChunk* out);
    // The time of the oldest waiting chunk without taking it; false if empty.
    bool PeekTime(qint64* timeUs) const;
    quint64 Dropped() const { return m_dropped.load(std::memory_order_relaxed); }
    size_t Capacity() const { return m_slots.size(); }

private:
    std::vector<TrafficChunk> m_slots;
    size_t m_mask;
    alignas(64) std::atomic<size_t> m_head{0};  // next to write (producer)
    alignas(64) std::atomic<size_t> m_tail{0};  // next to read (consumer)
    std::atomic<quint64> m_dropped{0};
};

struct LineEntry {
    qint64 timeUs = 0;
    TrafficDirection direction = TrafficDirection::Sent;
    QByteArray bytes;
    QString meaning;
};

struct LineCounters {
    quint64 requests = 0;
    quint64 answered = 0;    // a whole reply with a good CRC from the addressed chamber
    quint64 unanswered = 0;  // closed by the next request without such a reply
    quint64 crcErrors = 0;   // received whole frames whose CRC does not check
    quint64 fragments = 0;   // received chunks that are not a whole frame
    quint64 notSent = 0;     // frames the port did not take (none open, or gone)
    quint64 dropped = 0;     // chunks lost because the monitor fell behind
};

// Kept on the user-interface thread: described entries (the last capacity of
// them) and the counters.
class LineMonitor {
public:
    explicit LineMonitor(size_t capacity = 5000);

    void Record(const TrafficChunk& chunk);
    void Clear();  // entries and counters
    // While paused, entries are not kept; the counters go on.
    void SetPaused(bool paused) { m_paused = paused; }
    bool Paused() const { return m_paused; }

    const std::deque<LineEntry>& Entries() const { return m_entries; }
    // Entries recorded since the start (and so since Clear, minus those
    // before); a view uses it to tell which entries are new to it.
    quint64 TotalKept() const { return m_totalKept; }
    LineCounters Counters() const { return m_counters; }
    void AddDropped(quint64 n) { m_counters.dropped += n; }
    size_t Capacity() const { return m_capacity; }

private:
    size_t m_capacity;
    bool m_paused = false;
    std::deque<LineEntry> m_entries;
    quint64 m_totalKept = 0;
    LineCounters m_counters;
    // The open request and the bytes received since it was sent.
    bool m_requestOpen = false;
    bool m_requestAnswered = false;
    int m_requestAddress = -1;
    int m_requestFunction = -1;
    QByteArray m_sinceRequest;
};

// "14:05:30.123", local time of day with milliseconds.
QString TimeOfDayText(qint64 timeUs);
// One line of the list: time, "→" (sent), "←" (received) or "×" (not sent),
// hex, meaning.
QString LineEntryText(const LineEntry& entry);
// The counters as shown above the list.
QString CountersText(const LineCounters& counters);
// The whole monitor as a text file: the counters, then one line per entry.
QString LineMonitorText(const LineMonitor& monitor);

// Process-wide recording: the link's traffic hook feeds two rings (frames
// sent, chunks received; one producer thread each). Start empties them and
// installs the hook;
// Stop removes it. Drain moves what waits into the monitor in time order
// and returns the number of chunks moved.
void StartLineRecording();
void StopLineRecording();
size_t DrainLineRecording(LineMonitor& monitor);
