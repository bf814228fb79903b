#include "services/StatusBoard.h"

#include <cmath>

#include "link/ChamberContract.h"
#include "monitoring/PollSummary.h"
#include "services/StatusEndpoint.h"

void FillAlarmCounts(WatchedStatus& s, const AlarmCounts& counts)
{
    s.alarmsTemperature = counts.temperature;
    s.alarmsHumidity = counts.humidity;
    s.alarmsLink = counts.link;
    s.alarmsProgramEnd = counts.programEnd;
}

WatchedStatus& StatusBoard::Entry(const ChamberKey& chamber)
{
    auto it = m_chambers.find(chamber);
    if (it == m_chambers.end()) {
        WatchedStatus s;
        s.line = chamber.first;
        s.chamberAddress = chamber.second;
        s.readPeriodSeconds = kStatusPollPeriodMs / 1000.0;
        if (const auto line = m_lines.find(chamber.first); line != m_lines.end()) {
            s.port = line->second.port;
            s.reading = line->second.reading;
        }
        it = m_chambers.emplace(chamber, s).first;
    }
    return it->second;
}

void StatusBoard::Watch(const ChamberKey& chamber)
{
    m_chambers.erase(chamber);
    WatchedStatus& s = Entry(chamber);
    // Not read until its first read comes.
    s.readPeriodSeconds.reset();
    if (!m_lines.count(chamber.first))
        s.reading = false;
}

void StatusBoard::TakeRead(const ChamberRead& read, const QString& port)
{
    WatchedStatus& s = Entry({read.line, read.read.address});
    CountPoll(s, read.read.reply, read.read.answered, read.timeMs);
    s.lastReadWallMs = read.timeMs;
    s.port = port;
    const auto line = m_lines.find(read.line);
    s.reading = line == m_lines.end() || line->second.reading;
}

void StatusBoard::SetAlarmCounts(const ChamberKey& chamber, const AlarmCounts& counts)
{
    FillAlarmCounts(Entry(chamber), counts);
}

namespace {
void FillMkt(WatchedStatus& status, const RollingMeanKineticTemperature& mkt)
{
    const double celsius = mkt.Celsius();
    status.mkt30Days = std::isnan(celsius) ? std::nullopt : std::optional<double>(celsius);
    status.mkt30DaysRecords = mkt.Samples();
}
}  // namespace

void StatusBoard::TakeMinuteTemperature(const ChamberKey& chamber, qint64 timeMs, double celsius)
{
    RollingMeanKineticTemperature& mkt = m_mkt[chamber];
    mkt.Add(timeMs, celsius);
    FillMkt(Entry(chamber), mkt);
}

void StatusBoard::TakePolledMinuteTemperature(qint64 timeMs, double celsius)
{
    m_polledMkt.Add(timeMs, celsius);
    FillMkt(m_polled, m_polledMkt);
}

void StatusBoard::SetLine(const QString& line, const QString& port, bool reading)
{
    m_lines[line] = {port, reading};
    for (auto& [key, s] : m_chambers)
        if (key.first == line) {
            s.reading = reading;
            s.port = port;
        }
}

const WatchedStatus* StatusBoard::Find(const ChamberKey& chamber) const
{
    const auto it = m_chambers.find(chamber);
    return it == m_chambers.end() ? nullptr : &it->second;
}

QVector<WatchedStatus> StatusBoard::Chambers() const
{
    QVector<WatchedStatus> all;
    all.reserve(static_cast<int>(m_chambers.size()));
    for (const auto& [key, s] : m_chambers)
        all.append(s);
    return all;
}

void StatusBoard::Poll(int address)
{
    // The counters are of one chamber: another chamber's polls start its own.
    if (m_polled.chamberAddress == address)
        return;
    m_polled = WatchedStatus{};
    m_polled.chamberAddress = address;
    // Another chamber's minutes are not this one's.
    m_polledMkt = RollingMeanKineticTemperature();
}

void StatusBoard::TakePolledRead(const ChamberRead& read, const QString& port)
{
    Poll(read.read.address);
    m_polled.port = port;
    // The poll that switches reading on runs before the switch is set.
    m_polled.reading = true;
    CountPoll(m_polled, read.read.reply, read.read.answered, read.timeMs);
}

void StatusBoard::SetPolledAlarms(const AlarmCounts& counts) { FillAlarmCounts(m_polled, counts); }

void StatusBoard::StopPolled() { m_polled.reading = false; }

void StatusBoard::PublishLines(StatusEndpoint* endpoint) const
{
    if (endpoint)
        endpoint->PublishLines(Chambers());
}
