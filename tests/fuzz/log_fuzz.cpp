// The report's reading of a data log: arbitrary file bytes through
// ReadLogFile (whole and with its hash), ParseLog and the piecewise
// LogParser, then the report's figures over what was read.
//
// Byte 0: the day in the file's name (bits 0-1: an ordinary day, the day the
// clocks go forward, the day they go back, a day with no date in the name),
// byte 1 the seed of the cuts into pieces, bytes 2-3 the width of a time
// range within the log; the rest is the file. The zone is one with summer
// time, so that days of 23 and 25 hours are read too.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include "monitoring/LogReader.h"
#include "monitoring/TestReport.h"

namespace {

[[noreturn]] void Mismatch(const char* what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

bool Same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

bool SameContents(const LogContents& a, const LogContents& b)
{
    if (a.headers != b.headers || a.damagedLines != b.damagedLines || a.records.size() != b.records.size())
        return false;
    for (qsizetype i = 0; i < a.records.size(); ++i) {
        const LogRecord& x = a.records[i];
        const LogRecord& y = b.records[i];
        if (x.line != y.line || x.time != y.time || !Same(x.currentTemp, y.currentTemp) ||
            !Same(x.currentHumidity, y.currentHumidity) || x.program != y.program || x.step != y.step ||
            x.steps != y.steps || x.cycle != y.cycle || x.cycles != y.cycles)
            return false;
    }
    return true;
}

// Figures the report prints: NaN only where nothing was counted, never
// infinite, and inside the values they come from.
void CheckStats(const ValueStats& s, const QVector<LogRecord>& records, RecordSpan span, double LogRecord::*value)
{
    int count = 0;
    double low = INFINITY, high = -INFINITY;
    for (int i = span.first; i <= span.last; ++i) {
        const double v = records[i].*value;
        if (std::isnan(v))
            continue;
        ++count;
        low = std::min(low, v);
        high = std::max(high, v);
    }
    if (s.count != count)
        Mismatch("values counted wrongly");
    if (count == 0) {
        if (!std::isnan(s.min) || !std::isnan(s.max) || !std::isnan(s.mean))
            Mismatch("a figure over no values");
        return;
    }
    if (!std::isfinite(s.min) || !std::isfinite(s.max) || !std::isfinite(s.mean))
        Mismatch("a figure not finite");
    if (s.min != low || s.max != high)
        Mismatch("minimum or maximum not the data's");
    if (s.mean < s.min || s.mean > s.max)
        Mismatch("mean outside the range of the values");
}

const char* const kNames[] = {
    "КТХ№12 09.12.2026 14_05_30.txt",
    "КТХ№12 30.03.2025 00_05_30.txt",
    "КТХ№12 26.10.2025 00_05_30.txt",
    "renamed by hand.txt",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    static const QString folder = [] {
        const QString f = QDir::tempPath() + QStringLiteral("/calvetra-log-fuzz-%1").arg(getpid());
        QDir().mkpath(f);
        return f;
    }();
    const QString name = QString::fromUtf8(kNames[data[0] & 3]);
    const QByteArray bytes(reinterpret_cast<const char*>(data + 4), static_cast<qsizetype>(size - 4));
    const QString path = folder + u'/' + name;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            Mismatch("cannot write the file under test");
    }

    // The three readings agree.
    LogContents read;
    QString error, sha;
    if (!ReadLogFile(path, &read, &error, &sha))
        Mismatch("a readable file not read");
    if (sha != QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()))
        Mismatch("the hash is not of the bytes read");
    LogContents streamed;
    if (!ReadLogFile(path, &streamed, &error))
        Mismatch("a readable file not read in pieces");
    if (!SameContents(read, streamed))
        Mismatch("read whole and read from the device differ");
    const qint64 dayStart = LogDayStart(path);
    if (!SameContents(read, ParseLog(bytes, dayStart)))
        Mismatch("ReadLogFile differs from ParseLog");
    LogParser parser(dayStart);
    uint32_t seed = data[1] * 2654435761u + 7;
    for (qsizetype at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype piece = std::min<qsizetype>(1 + (seed >> 16) % 97, bytes.size() - at);
        parser.Feed(bytes.constData() + at, piece);
        at += piece;
    }
    parser.Finish();
    if (!SameContents(read, parser.Contents()))
        Mismatch("read in pieces differs from read whole");

    // The contents hang together.
    const QVector<LogRecord>& records = read.records;
    const QList<QByteArray> fileLines = bytes.split('\n');
    const qsizetype lines = fileLines.size();
    // The time of day each record's line holds. Time runs forward where it
    // does in the file, and where it runs back by more than an hour (the
    // next day); back by an hour or less (a clock set back) stays on the day.
    QVector<qint64> timeOfDay;
    bool ordered = true;
    int previousLine = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const LogRecord& r = records[i];
        if (r.line <= previousLine || r.line > lines)
            Mismatch("record lines out of order or beyond the file");
        previousLine = r.line;
        QByteArray text = fileLines[r.line - 1];
        if (text.endsWith('\r'))
            text.chop(1);
        LogRecord again;
        qint64 tod = -1;
        if (!ParseRecordLine(DecodeWindows1251(text), &again, &tod))
            Mismatch("a record whose line does not read as one");
        timeOfDay.append(tod);
        if (i > 0 && r.time < records[i - 1].time) {
            ordered = false;
            const qint64 before = timeOfDay[i - 1];
            // A time the clock skipped that day (written by a clock not yet
            // put forward) is a moment of its own: no order follows from it.
            const auto skipped = [&](qsizetype k) {
                return QDateTime::fromMSecsSinceEpoch(records[k].time).time().msecsSinceStartOfDay() !=
                       timeOfDay[k] % (24 * 3600 * 1000);
            };
            if ((tod >= before || tod + 3600 * 1000 < before) && !skipped(i) && !skipped(i - 1))
                Mismatch("time runs backwards");
        }
        if (std::isinf(r.currentTemp) || std::isinf(r.currentHumidity))
            Mismatch("an infinite value read");
        if (r.program < -1 || r.step < -1 || r.steps < -1 || r.cycle < -1 || r.cycles < -1)
            Mismatch("a counter below -1");
        if (read.damagedLines.contains(r.line))
            Mismatch("a line both record and damaged");
    }
    for (qsizetype i = 0; i < read.damagedLines.size(); ++i)
        if (read.damagedLines[i] < 1 || read.damagedLines[i] > lines ||
            (i > 0 && read.damagedLines[i] <= read.damagedLines[i - 1]))
            Mismatch("damaged lines out of order or beyond the file");

    // The report's figures over the whole log and over a range inside it.
    const QVector<StepSetPoint> setPoints = {{25.0, 60.0}, {-40.0, NAN}, {85.0, 95.0}};
    QVector<RecordSpan> spans = {{0, static_cast<int>(records.size()) - 1}};
    if (!records.isEmpty() && ordered) {
        const qint64 from = records.front().time + (data[2] << 8 | data[3]) * 1000LL;
        const qint64 to = from + (data[3] << 8 | data[2]) * 10000LL;
        const RecordSpan span = RecordsInRange(records, from, to);
        for (int i = 0; i < records.size(); ++i) {
            const bool inside = records[i].time >= from && records[i].time <= to;
            if (inside != (i >= span.first && i <= span.last))
                Mismatch("the range's records are not those whose time is in it");
        }
        spans.append(span);
    }
    for (const RecordSpan& span : spans) {
        for (int line : DamagedLinesOfSpan(read, span))
            if (!read.damagedLines.contains(line))
                Mismatch("a damaged line of the span that is not damaged");
        CheckStats(StatsOf(records, span, &LogRecord::currentTemp), records, span, &LogRecord::currentTemp);
        CheckStats(StatsOf(records, span, &LogRecord::currentHumidity), records, span, &LogRecord::currentHumidity);
        const QVector<StepStats> rows = StepTable(records, span, setPoints, 2.0, 5.0);
        int counted = 0;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            const StepStats& row = rows[i];
            const RecordSpan part{span.first + counted, span.first + counted + row.records - 1};
            if (row.records < 1 || part.last > span.last)
                Mismatch("a step row without records or beyond its span");
            counted += row.records;
            if ((ordered && row.start > row.end) || row.start != records[part.first].time)
                Mismatch("a step row's times");
            CheckStats(row.temperature, records, part, &LogRecord::currentTemp);
            CheckStats(row.humidity, records, part, &LogRecord::currentHumidity);
            if (row.temperatureInBand > row.temperature.count || row.humidityInBand > row.humidity.count ||
                row.temperatureInBand < -1 || row.humidityInBand < -1)
                Mismatch("more records in the band than values");
        }
        if (counted != (span.Empty() ? 0 : span.last - span.first + 1))
            Mismatch("step rows do not cover their span");
    }
    int previousLast = -1;
    for (const ProgramRun& run : ProgramRuns(records)) {
        if (run.first <= previousLast || run.first > run.last || run.last >= records.size())
            Mismatch("program runs overlap or leave the records");
        previousLast = run.last;
    }
    const LogMarkers markers = MarkersOfLog(records);
    for (const QList<QPointF>* list : {&markers.steps, &markers.cycles})
        for (const QPointF& p : *list)
            if (!std::isfinite(p.x()) || !std::isfinite(p.y()))
                Mismatch("a marker off the chart");
    return 0;
}
