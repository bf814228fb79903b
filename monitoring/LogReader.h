// Reads back a data log file written by this program, for the chart window.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QString>
#include <QVector>
#include <QtGlobal>
#include <cmath>

class QIODevice;

struct LogRecord {
    int line = 0;     // 1-based line number in the file
    qint64 time = 0;  // ms since the epoch (the file's date plus the time of day)
    double currentTemp = NAN;
    double currentHumidity = NAN;
    int program = -1;  // -1 where the record had no value yet
    int step = -1;
    int steps = -1;
    int cycle = -1;
    int cycles = -1;
};

struct LogContents {
    QVector<LogRecord> records;
    int headers = 0;
    QVector<int> damagedLines;  // lines that are neither header, empty nor a record
};

// The log's text in Windows-1251, as the data log writes it.
QString DecodeWindows1251(const QByteArray& bytes);

// One record line ("    14:05:30;           25,3;   ...;     "): false when
// it is not one. timeOfDayMs receives the time of day.
bool ParseRecordLine(const QString& line, LogRecord* record, qint64* timeOfDayMs);

// The whole file. dayStartMs is the local midnight of the log's first day;
// a time of day that runs backwards moves to the next day.
LogContents ParseLog(const QByteArray& fileBytes, qint64 dayStartMs);

// The same reading fed piece by piece, as a file is read, split anywhere:
// only a line cut by the end of a piece is held until its end comes.
class LogParser {
public:
    explicit LogParser(qint64 dayStartMs);
    void Feed(const char* bytes, qint64 size);
    // The last line, which need not end in a line break.
    void Finish();
    LogContents& Contents() { return m_contents; }

private:
    void Line(const char* begin, const char* end);
    bool ParseFast(const char* begin, const char* end, LogRecord* record, qint64* timeOfDayMs) const;

    LogContents m_contents;
    QByteArray m_partial;  // the start of a line the next piece ends
    int m_lineNumber = 0;
    qint64 m_day = 0;
    qint64 m_previous = -1;
};

// Reads the device to its end in pieces. False when a read fails; what was
// read before is in *contents.
bool ReadLog(QIODevice& device, qint64 dayStartMs, LogContents* contents);

// Where the chart marks a change of step or of cycle: at the record that has
// the new one, on its temperature (0 when it has none). A change of cycle
// takes the place of a change of step at the same record.
struct LogMarkers {
    QList<QPointF> steps;   // (time in ms, temperature)
    QList<QPointF> cycles;
};
LogMarkers MarkersOfLog(const QVector<LogRecord>& records);

// The local midnight of the date in a log file name ("КТХ№12 03.07.2017
// 14_05_30.txt"); -1 when the name carries no dd.mm.yyyy date.
qint64 DayStartFromLogName(const QString& fileName);
