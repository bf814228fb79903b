// What a test report of a run is made of: the program runs found in a data
// log, the figures per step and cycle, and the alarm events and journal
// records of the time range. Pure reading and arithmetic; the PDF is drawn
// by the window layer.
#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>
#include <cmath>

#include "monitoring/ActionJournal.h"
#include "monitoring/Csv.h"
#include "monitoring/LogReader.h"
#include "monitoring/TrendModel.h"

// The whole data log file, its day taken as the chart window takes it.
// False with the reason when it cannot be opened or read. With sha256, the
// hex SHA-256 of exactly the bytes read (a log still being written may grow
// meanwhile; the hash must match what the figures came from).
bool ReadLogFile(const QString& path, LogContents* contents, QString* error, QString* sha256 = nullptr);

// A program run: from the record where the step counter leaves 0 to the
// record where it is back at 0 (or the last record when the log ends first).
struct ProgramRun {
    int first = 0;  // record index of the first step record
    int last = 0;   // record index where the step is 0 again, or the last record
    int program = -1;
    bool finished = false;  // the step counter came back to 0 inside the log
};
QVector<ProgramRun> ProgramRuns(const QVector<LogRecord>& records);

// Indexes [first, last] of the records whose time lies in [fromMs, toMs];
// first > last when none does.
struct RecordSpan {
    int first = 0;
    int last = -1;
    bool Empty() const { return last < first; }
};
RecordSpan RecordsInRange(const QVector<LogRecord>& records, qint64 fromMs, qint64 toMs);

// Minimum, maximum and arithmetic mean of the logged values; NaN values
// (rejected or not yet read) are not counted.
struct ValueStats {
    int count = 0;
    double min = NAN;
    double max = NAN;
    double mean = NAN;
};

// One row of the step table: the records of one step of one cycle in a row.
struct StepStats {
    int program = -1;
    int step = -1;
    int steps = -1;
    int cycle = -1;
    int cycles = -1;
    qint64 start = 0;  // time of its first record
    qint64 end = 0;    // the next row's first record; the last row's own last record
    int records = 0;
    ValueStats temperature;
    ValueStats humidity;
    double setTemperature = NAN;  // NaN where the set point is not known
    double setHumidity = NAN;
    // Records with a value inside set point ± band; -1 where no set point is known.
    int temperatureInBand = -1;
    int humidityInBand = -1;
    // The time inside and outside the band: a record stands for the time up
    // to the next record, a record before a gap for none, so that a gap
    // counts in neither (-1 where no set point is known). With recordedMs
    // (the time the records stand for) and gapMs they make up end − start;
    // what is left is time of records without a value.
    qint64 temperatureInBandMs = -1;
    qint64 temperatureOutOfBandMs = -1;
    qint64 humidityInBandMs = -1;
    qint64 humidityOutOfBandMs = -1;
    qint64 recordedMs = 0;
    qint64 gapMs = 0;  // of the gaps that begin in this row
};

// A stretch with no record: from the record before it to the record after
// it, longer than two record periods (IsRecordGap).
struct RecordGap {
    qint64 start = 0;
    qint64 end = 0;
    qint64 Duration() const { return end - start; }
};
QVector<RecordGap> RecordGapsOfSpan(const QVector<LogRecord>& records, RecordSpan span);

// The damaged lines that lie between the record before the span and the
// record after it: none of them is silently left out of a report, and none
// from far outside the range is put in.
QVector<int> DamagedLinesOfSpan(const LogContents& contents, RecordSpan span);

ValueStats StatsOf(const QVector<LogRecord>& records, RecordSpan span, double LogRecord::*value);

// Set points of a step, where the program as written to the chamber gives them.
struct StepSetPoint {
    double temperature = NAN;
    double humidity = NAN;  // 0 % in a step means no humidity control: NaN here
    int reachMinutes = -1;  // "выход на режим"; -1 where the text does not give it
    int holdMinutes = -1;   // "стабилизация"
};

// One row per stretch of records with the same step and cycle (records with
// no program running, step 0, make rows of their own with step 0). setPoints[i]
// belongs to step i + 1. A record counts as inside the band when
// |value − set point| <= band.
QVector<StepStats> StepTable(const QVector<LogRecord>& records, RecordSpan span,
                             const QVector<StepSetPoint>& setPoints, double temperatureBand,
                             double humidityBand);

// The step set points in the one-line text of a program table: every
// "шаг N" (any case) followed, before the next step, by a number with "°C",
// a number with "%", and the times "выход на режим H ч M мин" and
// "стабилизация H ч M мин". Steps the text does not name stay unknown.
QVector<StepSetPoint> StepSetPointsOfProgramText(const QString& text);

// The chamber address in a data log's name ("КТХ№12 03.07.2017 14_05_30.txt");
// -1 when there is none.
int ChamberAddressOfLogName(const QString& fileName);

// An alarm event file's line as it stands ("Тревоги.csv").
struct AlarmFileEvent {
    qint64 time = 0;
    QString event, number, kind, port, value, setPoint, text;
    int chamber = -1;
};
// The events of the chamber (any chamber when chamber < 0) whose time lies in
// [fromMs, toMs], oldest first. A file that is not there has no events; a
// line that does not read is counted in *unreadable.
QVector<AlarmFileEvent> ReadAlarmEvents(const QString& fileName, int chamber, qint64 fromMs, qint64 toMs,
                                        int* unreadable);

// The action journal's records in the log folder (this month's file, the
// earlier months' ones and any set aside after a break) for the chamber or
// for no chamber, with their UTC time in [fromMs, toMs], oldest first. Only
// records whose chain checks are taken: where a file's chain breaks, what the
// check says goes to *problems (one line a file), never silently.
QVector<JournalRecord> ReadJournal(const QString& folder, int chamber, qint64 fromMs, qint64 toMs,
                                   QStringList* problems = nullptr);
// The journal records a report of the records in span cites: those of the
// span's time. A program run began with a start command given before its
// first step was recorded: for a run, the chamber's last "Пуск" after the
// record before the span (or, at the log's start, within two record periods
// before it) comes first as well.
QVector<JournalRecord> ReportJournal(const QString& folder, int chamber, const QVector<LogRecord>& records,
                                     RecordSpan span, bool programRun, QStringList* problems = nullptr);
// A journal record's UTC time in ms since the epoch; -1 when it does not read.
qint64 JournalRecordTime(const JournalRecord& record);
// The last "Запись программы" record of the chamber at or before atMs; false
// when the journal has none.
bool LastProgramRecord(const QString& folder, int chamber, qint64 atMs, JournalRecord* record);

// The report number "12-20261209-0007": chamber, date, then the next number
// of a counter kept in folder under a lock, so that no two reports made on
// this PC share one, even from two programs at once. False with a reason
// when the counter cannot be kept.
bool NextReportNumber(const QString& folder, int chamber, const QDate& date, QString* number, QString* error);
