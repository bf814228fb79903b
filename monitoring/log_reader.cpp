#include "monitoring/LogReader.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <iconv.h>

namespace {

const QString kHeaderStart = QStringLiteral("Системное время;");
constexpr qint64 kDayMs = 24LL * 3600 * 1000;

// A number in the tenths form, under either decimal separator; empty → NaN.
bool ParseTenths(const QString& text, double* value)
{
    if (text.isEmpty()) {
        *value = NAN;
        return true;
    }
    static const QRegularExpression form(QStringLiteral("^-?\\d+([.,]\\d)?$"));
    if (!form.match(text).hasMatch())
        return false;
    QString dotted = text;
    dotted.replace(u',', u'.');
    bool ok = false;
    *value = dotted.toDouble(&ok);
    return ok;
}

bool ParseCount(const QString& text, int* value)
{
    if (text.isEmpty()) {
        *value = -1;
        return true;
    }
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= 0;
}

bool ParsePair(const QString& text, int* first, int* second)
{
    if (text.isEmpty()) {
        *first = *second = -1;
        return true;
    }
    static const QRegularExpression form(QStringLiteral("^(\\d+)\\((\\d+)\\)$"));
    const auto match = form.match(text);
    if (!match.hasMatch())
        return false;
    *first = match.captured(1).toInt();
    *second = match.captured(2).toInt();
    return true;
}

// The locale's long time: 14:05:30, 9:05:07, 02:05:30 PM, 14.05.30.
bool ParseTimeOfDay(const QString& text, qint64* ms)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{1,2})[:.](\\d{2})[:.](\\d{2})(?:\\s*([AaPp])\\.?[Mm]\\.?)?$"));
    const auto match = form.match(text);
    if (!match.hasMatch())
        return false;
    int hours = match.captured(1).toInt();
    const int minutes = match.captured(2).toInt();
    const int seconds = match.captured(3).toInt();
    const QString half = match.captured(4).toUpper();
    if (!half.isEmpty()) {
        if (hours < 1 || hours > 12)
            return false;
        hours = (hours % 12) + (half == u'P' ? 12 : 0);
    }
    if (hours > 23 || minutes > 59 || seconds > 59)
        return false;
    *ms = ((hours * 60LL + minutes) * 60 + seconds) * 1000;
    return true;
}

}  // namespace

QString DecodeWindows1251(const QByteArray& bytes)
{
    iconv_t cd = iconv_open("UTF-8", "WINDOWS-1251");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString::fromLatin1(bytes);
    QByteArray out(bytes.size() * 3 + 4, '\0');
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = static_cast<size_t>(bytes.size());
    char* dst = out.data();
    size_t outLeft = static_cast<size_t>(out.size());
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) == static_cast<size_t>(-1)) {
            // 0x98 is the one unassigned byte of the code page: show it as "?".
            if (outLeft == 0)
                break;
            *dst++ = '?';
            --outLeft;
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    out.truncate(static_cast<qsizetype>(dst - out.data()));
    return QString::fromUtf8(out);
}

bool ParseRecordLine(const QString& line, LogRecord* record, qint64* timeOfDayMs)
{
    // Six columns, each ended by ";", then the five trailing blanks.
    const QStringList parts = line.split(u';');
    if (parts.size() != 7 || !parts[6].trimmed().isEmpty())
        return false;
    LogRecord r;
    if (!ParseTimeOfDay(parts[0].trimmed(), timeOfDayMs))
        return false;
    if (!ParseTenths(parts[1].trimmed(), &r.currentTemp) || !ParseTenths(parts[2].trimmed(), &r.currentHumidity) ||
        !ParseCount(parts[3].trimmed(), &r.program) || !ParsePair(parts[4].trimmed(), &r.step, &r.steps) ||
        !ParsePair(parts[5].trimmed(), &r.cycle, &r.cycles))
        return false;
    *record = r;
    return true;
}

LogContents ParseLog(const QByteArray& fileBytes, qint64 dayStartMs)
{
    LogContents contents;
    const QString text = DecodeWindows1251(fileBytes);
    const QStringList lines = text.split(QStringLiteral("\n"));
    qint64 day = dayStartMs;
    qint64 previous = -1;
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        if (line.startsWith(kHeaderStart)) {
            ++contents.headers;
            continue;
        }
        LogRecord record;
        qint64 timeOfDay = 0;
        if (!ParseRecordLine(line, &record, &timeOfDay)) {
            contents.damagedLines.push_back(i + 1);
            continue;
        }
        // A record an hour or more earlier than the one before it belongs to
        // the next day (the log ran past midnight).
        if (previous >= 0 && timeOfDay + 3600 * 1000 < previous)
            day += kDayMs;
        previous = timeOfDay;
        record.line = i + 1;
        record.time = day + timeOfDay;
        contents.records.push_back(record);
    }
    return contents;
}

qint64 DayStartFromLogName(const QString& fileName)
{
    static const QRegularExpression form(QStringLiteral("(\\d{2})\\.(\\d{2})\\.(\\d{4})"));
    const auto match = form.match(fileName);
    if (!match.hasMatch())
        return -1;
    const QDate date(match.captured(3).toInt(), match.captured(2).toInt(), match.captured(1).toInt());
    if (!date.isValid())
        return -1;
    return QDateTime(date, QTime(0, 0)).toMSecsSinceEpoch();
}
