// What the endpoint shows: one WatchedStatus per chamber (line, address)
// filled from the reads and from the alarm counts, kept in one place so that
// no window feeds half of it. The desktop has besides its polled chamber,
// the main window's, whose counters start afresh when another is picked.
#pragma once

#include <QString>
#include <QVector>

#include <map>

#include "monitoring/LineScheduler.h"
#include "monitoring/Stability.h"
#include "monitoring/StatusMetrics.h"
#include "services/AlarmService.h"

class StatusEndpoint;

class StatusBoard {
public:
    // A chamber comes onto the board with fresh counters (watching it anew).
    void Watch(const ChamberKey& chamber);
    // One read: counted, its values kept, the chamber read on port.
    void TakeRead(const ChamberRead& read, const QString& port);
    void SetAlarmCounts(const ChamberKey& chamber, const AlarmCounts& counts);
    // A minute record's temperature into the chamber's 30-day mean kinetic temperature.
    void TakeMinuteTemperature(const ChamberKey& chamber, qint64 timeMs, double celsius);
    // A line's chambers read (on port) or no longer read; chambers first met
    // on the line later take the same.
    void SetLine(const QString& line, const QString& port, bool reading);

    const WatchedStatus* Find(const ChamberKey& chamber) const;
    QVector<WatchedStatus> Chambers() const;

    // The desktop's polled chamber: its address (counters start afresh when
    // it changes), its reads and alarms, and reading switched off.
    void Poll(int address);
    void TakePolledRead(const ChamberRead& read, const QString& port);
    void SetPolledAlarms(const AlarmCounts& counts);
    void TakePolledMinuteTemperature(qint64 timeMs, double celsius);
    void StopPolled();
    const WatchedStatus& Polled() const { return m_polled; }

    // The recorder's endpoint gets every chamber of every line. Null: nothing.
    void PublishLines(StatusEndpoint* endpoint) const;

private:
    struct LineState {
        QString port;
        bool reading = false;
    };
    WatchedStatus& Entry(const ChamberKey& chamber);
    std::map<ChamberKey, WatchedStatus> m_chambers;
    std::map<ChamberKey, RollingMeanKineticTemperature> m_mkt;
    RollingMeanKineticTemperature m_polledMkt;
    std::map<QString, LineState> m_lines;
    WatchedStatus m_polled;
};

// Writes the counts into a status.
void FillAlarmCounts(WatchedStatus& status, const AlarmCounts& counts);
