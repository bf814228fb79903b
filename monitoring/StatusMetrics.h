// What a watcher elsewhere may read of the polled chamber: a plain value
// struct filled by the poll, its Prometheus text form and its JSON form,
// and the listen address the operator names.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <QVector>
#include <optional>

enum class LinkState { Unknown, Up, Down };

struct WatchedStatus {
    // The recorder's line the chamber is on ("a"); empty on the desktop,
    // which has one line. Two chambers at one address on two lines are two.
    QString line;
    int chamberAddress = 0;
    // The port as the operator picked it: "COM1".."COM5", or an adapter by
    // its name ("FT232R USB UART (ttyUSB0)"); empty before a port was opened.
    QString port;
    bool reading = false;
    // Last accepted values, as the main window shows them.
    std::optional<double> currentTemp, setTemp, currentHumidity, setHumidity;
    std::optional<int> program, step, steps, cycle, cycles;
    LinkState link = LinkState::Unknown;
    quint64 pollsAnswered = 0;
    quint64 pollsUnanswered = 0;
    qint64 lastAnswered = 0;  // ms since the epoch; 0 = never
    // The last read, answered or not, as the scrape finds it (FillReadAge):
    // its age and the period the chamber is meant to be read at. Empty while
    // the chamber is not being read.
    std::optional<double> lastReadAgeSeconds, readPeriodSeconds;
    // The recorder's chambers carry the wall-clock time of their last read
    // instead (ms since the epoch; 0: none), the age taken from it at the scrape.
    qint64 lastReadWallMs = 0;
    // The mean kinetic temperature of the chamber's minute records of the
    // last 30 days, and how many records it is of; empty before the first.
    std::optional<double> mkt30Days;
    qint64 mkt30DaysRecords = 0;
    // Active alarms by kind; program-end notices count until acknowledged.
    int alarmsTemperature = 0, alarmsHumidity = 0, alarmsLink = 0, alarmsProgramEnd = 0;
    // The action journal's head: records of the current file (-1: none yet)
    // and the first 16 hex digits of its last hash.
    qint64 journalRecords = -1;
    QString journalHead;
    // 1 while action records wait in memory because the journal cannot be
    // written, 0 when not; -1 (a watched chamber's status) leaves it out, as
    // it belongs to the whole process.
    int journalUnwritable = -1;
};

// The last answer's values stand for the chamber while the answer is at
// most kFreshPeriods periods old; older ones are no longer measured.
bool AnswerFresh(qint64 lastAnsweredMs, qint64 nowMs);
// The age of the chamber's last read, taken now, for a chamber being read.
void FillReadAge(WatchedStatus& status);
// The same from lastReadWallMs, for chambers of many lines.
void FillReadAgeFromWall(WatchedStatus& status, qint64 nowMs);

// The Prometheus text exposition format (version 0.0.4). Values not known
// yet are left out rather than given as 0, which would read as a reading;
// so are values whose answer is no longer fresh (Prometheus then marks their
// series stale), while the ages stay.
QByteArray MetricsText(const WatchedStatus& status, qint64 now);
// The same facts as one JSON object; unknown and no longer fresh values are null.
QByteArray StatusJson(const WatchedStatus& status, qint64 now);

// Every watched chamber at once: the polled chamber first, then the
// overview's chambers (one with the polled chamber's address is left out, so
// no series comes twice). Each family's HELP and TYPE once, its samples
// together, as the format asks.
QByteArray MetricsText(const WatchedStatus& polled, const QVector<WatchedStatus>& watched, qint64 now);
// The polled chamber's object with "chambers": every overview chamber's.
QByteArray StatusJson(const WatchedStatus& polled, const QVector<WatchedStatus>& watched, qint64 now);

// The recorder's form: every chamber of every line, each labelled with its
// line and address, nothing polled apart.
QByteArray MetricsTextOfLines(const QVector<WatchedStatus>& chambers, qint64 now);
// The journal's gauges without a chamber's labels, for a process of many
// lines: records of the current file (-1: none yet, left out) with its head,
// and 1 while its records wait in memory.
QByteArray JournalMetricsText(qint64 records, const QString& head, int unwritable);
// {"chambers": [...]} with each chamber's object ("line" in it).
QByteArray StatusJsonOfLines(const QVector<WatchedStatus>& chambers, qint64 now);

// "[ADDRESS:]PORT": an address alone is refused, a missing one means
// 127.0.0.1 (this machine only). IPv6 addresses go in brackets ("[::1]:9100").
struct ListenAddress {
    bool ok = false;
    QString address;
    quint16 port = 0;
    QString error;  // why it was refused, for the operator
};
ListenAddress ParseListenAddress(const QString& text);
