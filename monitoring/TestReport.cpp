#include "monitoring/TestReport.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "monitoring/AlarmEventLog.h"

bool ReadLogFile(const QString& path, LogContents* contents, QString* error, QString* sha256)
{
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("не удалось открыть журнал %1: %2").arg(path, log.errorString());
        return false;
    }
    const QFileInfo info(path);
    qint64 dayStart = DayStartFromLogName(info.fileName());
    if (dayStart < 0)
        dayStart = QDateTime(info.lastModified().date(), QTime(0, 0)).toMSecsSinceEpoch();
    if (sha256) {
        const QByteArray bytes = log.readAll();
        if (log.error() != QFileDevice::NoError) {
            *error = QStringLiteral("не удалось прочитать журнал %1: %2").arg(path, log.errorString());
            return false;
        }
        *sha256 = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
        LogParser parser(dayStart);
        parser.Feed(bytes.constData(), bytes.size());
        parser.Finish();
        *contents = std::move(parser.Contents());
        return true;
    }
    if (!ReadLog(log, dayStart, contents)) {
        *error = QStringLiteral("не удалось прочитать журнал %1: %2").arg(path, log.errorString());
        return false;
    }
    return true;
}

QVector<ProgramRun> ProgramRuns(const QVector<LogRecord>& records)
{
    QVector<ProgramRun> runs;
    bool inRun = false;
    ProgramRun run;
    for (int i = 0; i < records.size(); ++i) {
        const LogRecord& r = records[i];
        if (r.step < 0)
            continue;  // no accepted step: it neither starts nor ends a run
        if (!inRun && r.step > 0) {
            run = ProgramRun{};
            run.first = i;
            run.program = r.program;
            inRun = true;
        } else if (inRun && r.step == 0) {
            run.last = i;
            run.finished = true;
            runs.append(run);
            inRun = false;
        }
    }
    if (inRun) {
        run.last = records.size() - 1;
        runs.append(run);
    }
    return runs;
}

RecordSpan RecordsInRange(const QVector<LogRecord>& records, qint64 fromMs, qint64 toMs)
{
    // Times only grow in a log (the reader moves a time that runs back to the next day).
    const auto byTime = [](const LogRecord& r, qint64 t) { return r.time < t; };
    const auto first = std::lower_bound(records.begin(), records.end(), fromMs, byTime);
    const auto end = std::upper_bound(records.begin(), records.end(), toMs,
                                      [](qint64 t, const LogRecord& r) { return t < r.time; });
    RecordSpan span;
    span.first = static_cast<int>(first - records.begin());
    span.last = static_cast<int>(end - records.begin()) - 1;
    return span;
}

QVector<int> DamagedLinesOfSpan(const LogContents& contents, RecordSpan span)
{
    const QVector<LogRecord>& records = contents.records;
    const int low = span.first > 0 && span.first <= records.size() ? records[span.first - 1].line : 0;
    const int high = span.last + 1 < records.size() && span.last + 1 >= 0 ? records[span.last + 1].line : INT_MAX;
    QVector<int> lines;
    for (int line : contents.damagedLines)
        if (line > low && line < high)
            lines.append(line);
    return lines;
}

ValueStats StatsOf(const QVector<LogRecord>& records, RecordSpan span, double LogRecord::*value)
{
    ValueStats s;
    double sum = 0;
    for (int i = span.first; i <= span.last; ++i) {
        const double v = records[i].*value;
        if (std::isnan(v))
            continue;
        if (s.count == 0 || v < s.min)
            s.min = v;
        if (s.count == 0 || v > s.max)
            s.max = v;
        sum += v;
        ++s.count;
    }
    // The rounding of the sum can put the mean of equal values a hair
    // beside them; the true mean never leaves [min, max].
    if (s.count > 0)
        s.mean = std::clamp(sum / s.count, s.min, s.max);
    return s;
}

namespace {

int InBand(const QVector<LogRecord>& records, RecordSpan span, double LogRecord::*value, double setPoint,
           double band)
{
    if (std::isnan(setPoint))
        return -1;
    int n = 0;
    for (int i = span.first; i <= span.last; ++i) {
        const double v = records[i].*value;
        // A hair of rounding slack: logged values are tenths.
        if (!std::isnan(v) && std::fabs(v - setPoint) <= band + 1e-9)
            ++n;
    }
    return n;
}

// The time record i stands for within the range ending at record last: up
// to the next record, none before a gap or at the range's end.
qint64 RecordWeight(const QVector<LogRecord>& records, int i, int last)
{
    if (i >= last || IsRecordGap(records[i].time, records[i + 1].time))
        return 0;
    return records[i + 1].time - records[i].time;
}

// The time of the row's records inside and outside set point ± band; both
// -1 where no set point is known.
void BandTimes(const QVector<LogRecord>& records, RecordSpan part, int last, double LogRecord::*value,
               double setPoint, double band, qint64* inside, qint64* outside)
{
    if (std::isnan(setPoint)) {
        *inside = *outside = -1;
        return;
    }
    *inside = *outside = 0;
    for (int i = part.first; i <= part.last; ++i) {
        const double v = records[i].*value;
        if (std::isnan(v))
            continue;
        (std::fabs(v - setPoint) <= band + 1e-9 ? *inside : *outside) += RecordWeight(records, i, last);
    }
}

}  // namespace

QVector<RecordGap> RecordGapsOfSpan(const QVector<LogRecord>& records, RecordSpan span)
{
    QVector<RecordGap> gaps;
    for (int i = span.first; i < span.last; ++i)
        if (IsRecordGap(records[i].time, records[i + 1].time))
            gaps.append({records[i].time, records[i + 1].time});
    return gaps;
}

QVector<StepStats> StepTable(const QVector<LogRecord>& records, RecordSpan span,
                             const QVector<StepSetPoint>& setPoints, double temperatureBand,
                             double humidityBand)
{
    QVector<StepStats> rows;
    if (span.Empty())
        return rows;
    auto finish = [&](RecordSpan part, const LogRecord& first) {
        StepStats row;
        row.program = first.program;
        row.step = first.step;
        row.steps = first.steps;
        row.cycle = first.cycle;
        row.cycles = first.cycles;
        row.start = records[part.first].time;
        row.end = records[part.last].time;
        row.records = part.last - part.first + 1;
        row.temperature = StatsOf(records, part, &LogRecord::currentTemp);
        row.humidity = StatsOf(records, part, &LogRecord::currentHumidity);
        if (row.step > 0 && row.step <= setPoints.size()) {
            row.setTemperature = setPoints[row.step - 1].temperature;
            row.setHumidity = setPoints[row.step - 1].humidity;
        }
        row.temperatureInBand = InBand(records, part, &LogRecord::currentTemp, row.setTemperature, temperatureBand);
        row.humidityInBand = InBand(records, part, &LogRecord::currentHumidity, row.setHumidity, humidityBand);
        BandTimes(records, part, span.last, &LogRecord::currentTemp, row.setTemperature, temperatureBand,
                  &row.temperatureInBandMs, &row.temperatureOutOfBandMs);
        BandTimes(records, part, span.last, &LogRecord::currentHumidity, row.setHumidity, humidityBand,
                  &row.humidityInBandMs, &row.humidityOutOfBandMs);
        for (int i = part.first; i <= part.last; ++i) {
            row.recordedMs += RecordWeight(records, i, span.last);
            if (i < span.last && IsRecordGap(records[i].time, records[i + 1].time))
                row.gapMs += records[i + 1].time - records[i].time;
        }
        rows.append(row);
    };
    // The row's step and cycle come from its first record with a step; a
    // record without an accepted step stays in the row it follows.
    RecordSpan part{span.first, span.first};
    int known = records[span.first].step >= 0 ? span.first : -1;
    for (int i = span.first + 1; i <= span.last; ++i) {
        const LogRecord& r = records[i];
        if (r.step >= 0 && known >= 0) {
            const LogRecord& k = records[known];
            if (r.step != k.step || r.steps != k.steps || r.cycle != k.cycle || r.cycles != k.cycles) {
                part.last = i - 1;
                finish(part, records[known]);
                part.first = i;
                known = i;
            }
        } else if (r.step >= 0) {
            known = i;
        }
        part.last = i;
    }
    part.last = span.last;
    finish(part, records[known >= 0 ? known : part.first]);
    // A step lasts until the next one was first seen, so the rows join up.
    for (int i = 0; i + 1 < rows.size(); ++i)
        rows[i].end = rows[i + 1].start;
    return rows;
}

namespace {

// "H ч M мин" after the form's words, in minutes; -1 when the text has none.
int MinutesAfter(const QString& text, const QRegularExpression& form)
{
    const auto m = form.match(text);
    return m.hasMatch() ? m.captured(1).toInt() * 60 + m.captured(2).toInt() : -1;
}

}  // namespace

QVector<StepSetPoint> StepSetPointsOfProgramText(const QString& text)
{
    QVector<StepSetPoint> points;
    static const QRegularExpression stepForm(QStringLiteral("шаг\\s*№?\\s*(\\d{1,2})"),
                                             QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression tempForm(QStringLiteral("(-?\\d+(?:[.,]\\d+)?)\\s*°\\s*C"));
    static const QRegularExpression humidityForm(QStringLiteral("(\\d+(?:[.,]\\d+)?)\\s*%"));
    static const QRegularExpression reachForm(QStringLiteral("выход на режим\\s+(\\d+)\\s*ч\\s*(\\d+)\\s*мин"),
                                              QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression holdForm(QStringLiteral("стабилизация\\s+(\\d+)\\s*ч\\s*(\\d+)\\s*мин"),
                                             QRegularExpression::CaseInsensitiveOption);
    QVector<QRegularExpressionMatch> steps;
    for (auto it = stepForm.globalMatch(text); it.hasNext();)
        steps.append(it.next());
    for (int i = 0; i < steps.size(); ++i) {
        const int step = steps[i].captured(1).toInt();
        if (step < 1 || step > 15)
            continue;
        const qsizetype from = steps[i].capturedEnd();
        const qsizetype to = i + 1 < steps.size() ? steps[i + 1].capturedStart() : text.size();
        const QString part = text.mid(from, to - from);
        if (points.size() < step)
            points.resize(step);
        const auto t = tempForm.match(part);
        if (t.hasMatch())
            points[step - 1].temperature = t.captured(1).replace(u',', u'.').toDouble();
        const auto h = humidityForm.match(part);
        if (h.hasMatch()) {
            const double humidity = h.captured(1).replace(u',', u'.').toDouble();
            points[step - 1].humidity = humidity > 0 ? humidity : NAN;
        }
        points[step - 1].reachMinutes = MinutesAfter(part, reachForm);
        points[step - 1].holdMinutes = MinutesAfter(part, holdForm);
    }
    return points;
}

int ChamberAddressOfLogName(const QString& fileName)
{
    static const QRegularExpression form(QStringLiteral("^КТХ№(\\d{1,3})(?:\\s|$)"));
    const auto match = form.match(fileName);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

namespace {

// The file's records without line ends and without a leading byte-order
// mark; a record whose text holds a line break stays one.
QStringList TextRecords(const QString& fileName, bool* exists)
{
    QFile file(fileName);
    *exists = file.open(QIODevice::ReadOnly);
    if (!*exists)
        return {};
    QByteArray bytes = file.readAll();
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QStringList records;
    for (const QByteArray& record : SplitCsvRecords(bytes))
        records << QString::fromUtf8(record);
    return records;
}

}  // namespace

QVector<AlarmFileEvent> ReadAlarmEvents(const QString& fileName, int chamber, qint64 fromMs, qint64 toMs,
                                        int* unreadable)
{
    QVector<AlarmFileEvent> events;
    *unreadable = 0;
    bool exists = false;
    const QStringList lines = TextRecords(fileName, &exists);
    const QString header = QString::fromUtf8(AlarmEventHeader()).trimmed();
    for (const QString& line : lines) {
        if (line.isEmpty() || line == header)
            continue;
        const QStringList f = SplitCsvLine(line);
        const QDateTime when = f.size() >= 9 ? QDateTime::fromString(f[0], Qt::ISODate) : QDateTime();
        bool numberOk = false;
        const int address = f.size() >= 9 ? f[4].toInt(&numberOk) : -1;
        if (!when.isValid() || !numberOk) {
            ++*unreadable;
            continue;
        }
        const qint64 t = when.toMSecsSinceEpoch();
        if (t < fromMs || t > toMs || (chamber >= 0 && address != chamber))
            continue;
        AlarmFileEvent e;
        e.time = t;
        e.event = f[1];
        e.number = f[2];
        e.kind = f[3];
        e.chamber = address;
        e.port = f[5];
        e.value = f[6];
        e.setPoint = f[7];
        e.text = f[8];
        events.append(e);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const AlarmFileEvent& a, const AlarmFileEvent& b) { return a.time < b.time; });
    return events;
}

qint64 JournalRecordTime(const JournalRecord& record)
{
    const QDateTime utc = QDateTime::fromString(record.utc, Qt::ISODateWithMs);
    return utc.isValid() ? utc.toMSecsSinceEpoch() : -1;
}

QVector<JournalRecord> ReadJournal(const QString& folder, int chamber, qint64 fromMs, qint64 toMs,
                                   QStringList* problems)
{
    QVector<JournalRecord> records;
    const QDir dir(folder);
    const QStringList files = dir.entryList({QStringLiteral("Журнал действий*.csv")}, QDir::Files, QDir::Name);
    for (const QString& name : files) {
        // The journal's own reader: a record that does not fit its chain is
        // no record a report may cite.
        const JournalCheck check = CheckJournal(dir.filePath(name), [&](const JournalRecord& r) {
            const qint64 t = JournalRecordTime(r);
            if (t < 0 || t < fromMs || t > toMs)
                return;
            bool numberOk = false;
            const int address = r.chamber.toInt(&numberOk);
            if (chamber >= 0 && numberOk && address != chamber)
                return;
            records.append(r);
        });
        if (!check.ok && problems)
            problems->append(QStringLiteral("%1: %2").arg(name, check.problem));
    }
    std::stable_sort(records.begin(), records.end(), [](const JournalRecord& a, const JournalRecord& b) {
        return JournalRecordTime(a) < JournalRecordTime(b);
    });
    return records;
}

QVector<JournalRecord> ReportJournal(const QString& folder, int chamber, const QVector<LogRecord>& records,
                                     RecordSpan span, bool programRun, QStringList* problems)
{
    if (span.Empty())
        return {};
    const qint64 from = records[span.first].time;
    const qint64 to = records[span.last].time;
    if (!programRun)
        return ReadJournal(folder, chamber, from, to, problems);
    const qint64 before = span.first > 0 ? records[span.first - 1].time + 1 : from - 2 * kRecordPeriodMs;
    QVector<JournalRecord> all = ReadJournal(folder, chamber, before, to, problems);
    const QString start = JournalActionText(JournalAction::Start);
    QVector<JournalRecord> cited;
    int lastStart = -1;
    for (int i = 0; i < all.size() && JournalRecordTime(all[i]) < from; ++i)
        if (all[i].action == start)
            lastStart = i;
    if (lastStart >= 0)
        cited.append(all[lastStart]);
    for (const JournalRecord& r : all)
        if (JournalRecordTime(r) >= from)
            cited.append(r);
    return cited;
}

bool LastProgramRecord(const QString& folder, int chamber, qint64 atMs, JournalRecord* record)
{
    const QVector<JournalRecord> all = ReadJournal(folder, chamber, 0, atMs);
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        if (it->action == JournalActionText(JournalAction::ProgramWrite) && it->chamber == QString::number(chamber)) {
            *record = *it;
            return true;
        }
    }
    return false;
}

bool NextReportNumber(const QString& folder, int chamber, const QDate& date, QString* number, QString* error)
{
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("не удалось создать папку %1").arg(folder);
        return false;
    }
    const QString counterName = QDir(folder).filePath(QStringLiteral("report-counter"));
    // flock: held per open file, so it keeps out other threads as well as
    // other programs, and the system drops it when a holder dies.
    const int lockFd = ::open(QFile::encodeName(counterName + QStringLiteral(".lock")).constData(),
                              O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd < 0) {
        *error = QStringLiteral("счётчик отчётов %1: %2").arg(counterName, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct Unlock {
        int fd;
        ~Unlock() { ::close(fd); }
    } unlock{lockFd};
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            *error = QStringLiteral("счётчик отчётов %1: %2").arg(counterName, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    qint64 last = 0;
    QFile in(counterName);
    if (in.open(QIODevice::ReadOnly)) {
        bool ok = false;
        last = in.readAll().trimmed().toLongLong(&ok);
        if (!ok || last < 0) {
            // Never start again from 1 over a damaged counter: that would reuse numbers.
            *error = QStringLiteral("счётчик отчётов %1 повреждён").arg(counterName);
            return false;
        }
    } else if (in.exists()) {
        *error = QStringLiteral("счётчик отчётов %1 не читается: %2").arg(counterName, in.errorString());
        return false;
    }
    const qint64 next = last + 1;
    QSaveFile out(counterName);
    if (!out.open(QIODevice::WriteOnly) || out.write(QByteArray::number(next) + '\n') < 0 || !out.commit()) {
        *error = QStringLiteral("счётчик отчётов %1 не записан: %2").arg(counterName, out.errorString());
        return false;
    }
    *number = QStringLiteral("%1-%2-%3")
                  .arg(chamber >= 0 ? QString::number(chamber) : QStringLiteral("0"))
                  .arg(date.toString(QStringLiteral("yyyyMMdd")))
                  .arg(next, 4, 10, QLatin1Char('0'));
    return true;
}
