// Reads back a data log file written by this program, for the chart window
// and the test report.
#pragma once

#include <QByteArray>
#include <QDate>
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

    // The moment of a time of day on the current date, as the local clock
    // showed it (a day with a clock change is not 24 h long).
    qint64 LocalMoment(qint64 timeOfDayMs);

    LogContents m_contents;
    QByteArray m_partial;  // the start of a line the next piece ends
    int m_lineNumber = 0;
    QDate m_date;
    qint64 m_previous = -1;
    // The current date's local midnight, and whether the date is 24 h long.
    QDate m_cachedDate;
    qint64 m_cachedMidnight = 0;
    bool m_cachedPlainDay = false;
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

// The date in a log file's name ("КТХ№12 03.07.2017 14_05_30.txt"), read
// in the form the given short date format (strftime, as the locale's D_FMT)
// puts there: "/" and ":" become "_" as in the name itself. Invalid when the
// name does not hold that form or the format has other than numbers.
QDate LogDateFromName(const QString& fileName, const QString& dateFormat);
// The same in the running locale's form first, then in the forms the program
// writes under other usual locales (dd.mm.yyyy, mm_dd_yyyy, mm_dd_yy,
// yyyy-mm-dd, dd_mm_yyyy, dd_mm_yy, dd.mm.yy).
QDate LogDateFromName(const QString& fileName);

// The local midnight of that date; -1 when the name carries none.
qint64 DayStartFromLogName(const QString& fileName);
// The local midnight of a log file's first day: from its name, else (a file
// renamed by hand) the day it was last written.
qint64 LogDayStart(const QString& path);
