#include "monitoring/LogReader.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QIODevice>
#include <QStringList>
#include <algorithm>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

#include "monitoring/DataLog.h"

namespace {

const QString kHeaderStart = LogHeaderStart();
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

namespace {

// The code page byte by byte, as the whole-text decoding gives it, so that
// a line can be judged on its bytes: Windows-1251 has one character per byte
// and "\n", "\r" and ";" only as their ASCII bytes.
struct CodePage {
    char16_t unit[256] = {};
    bool blank[256] = {};  // what QString::trimmed() takes away
    QByteArray header;     // kHeaderStart in the code page
    bool byBytes = false;  // false: every line is decoded and read as text
};

const CodePage& Cp1251()
{
    static const CodePage page = [] {
        CodePage p;
        QByteArray all(256, Qt::Uninitialized);
        for (int b = 0; b < 256; ++b)
            all[b] = static_cast<char>(b);
        const QString text = DecodeWindows1251(all);
        if (text.size() != 256)
            return p;
        for (int b = 0; b < 256; ++b) {
            p.unit[b] = text[b].unicode();
            p.blank[b] = text[b].isSpace();
            if (b < 0x80 && p.unit[b] != b)
                return p;
        }
        for (QChar c : kHeaderStart) {
            const char16_t* units = p.unit;
            const char16_t* at = std::find(units, units + 256, c.unicode());
            if (at == units + 256 || std::find(at + 1, units + 256, c.unicode()) != units + 256)
                return p;
            p.header.append(static_cast<char>(at - units));
        }
        for (char16_t c : {u'\n', u'\r', u';'})
            if (std::count(std::begin(p.unit), std::end(p.unit), c) != 1)
                return p;
        p.byBytes = true;
        return p;
    }();
    return page;
}

QString DecodeLine(const char* begin, const char* end)
{
    const CodePage& page = Cp1251();
    if (!page.byBytes)
        return DecodeWindows1251(QByteArray(begin, static_cast<qsizetype>(end - begin)));
    QString text(static_cast<qsizetype>(end - begin), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char* p = begin; p != end; ++p)
        *out++ = QChar(page.unit[static_cast<unsigned char>(*p)]);
    return text;
}

bool Blank(const char* begin, const char* end)
{
    const CodePage& page = Cp1251();
    for (const char* p = begin; p != end; ++p)
        if (!page.blank[static_cast<unsigned char>(*p)])
            return false;
    return true;
}

// The byte range without the blanks at either end, as trimmed() leaves it.
void Trim(const char*& begin, const char*& end)
{
    const CodePage& page = Cp1251();
    while (begin != end && page.blank[static_cast<unsigned char>(*begin)])
        ++begin;
    while (end != begin && page.blank[static_cast<unsigned char>(end[-1])])
        --end;
}

bool Digit(char c) { return c >= '0' && c <= '9'; }

// Up to maxDigits ASCII digits, at least one; false on none or on more.
bool Digits(const char*& p, const char* end, int maxDigits, qint64* value)
{
    qint64 v = 0;
    int n = 0;
    while (p != end && Digit(*p)) {
        if (++n > maxDigits)
            return false;
        v = v * 10 + (*p++ - '0');
    }
    *value = v;
    return n > 0;
}

// The record forms the program writes, on bytes. A field in any other form
// makes it answer false and the line is read as text by ParseRecordLine,
// which has the last word; so whatever is taken here is exactly what that
// reading takes, with the same values.
bool FastTime(const char* p, const char* end, qint64* ms)
{
    qint64 h = 0, m = 0, s = 0;
    if (!Digits(p, end, 2, &h) || p == end || (*p != ':' && *p != '.'))
        return false;
    ++p;
    const char* start = p;
    if (!Digits(p, end, 2, &m) || p - start != 2 || p == end || (*p != ':' && *p != '.'))
        return false;
    ++p;
    start = p;
    if (!Digits(p, end, 2, &s) || p - start != 2)
        return false;
    if (p != end) {
        while (p != end && *p == ' ')
            ++p;
        if (p == end)
            return false;
        const char half = *p++;
        if (half != 'A' && half != 'a' && half != 'P' && half != 'p')
            return false;
        if (p != end && *p == '.')
            ++p;
        if (p == end || (*p != 'M' && *p != 'm'))
            return false;
        ++p;
        if (p != end && *p == '.')
            ++p;
        if (p != end)
            return false;
        if (h < 1 || h > 12)
            return false;
        h = h % 12 + (half == 'P' || half == 'p' ? 12 : 0);
    }
    if (h > 23 || m > 59 || s > 59)
        return false;
    *ms = ((h * 60 + m) * 60 + s) * 1000;
    return true;
}

bool FastTenths(const char* p, const char* end, double* value)
{
    if (p == end) {
        *value = NAN;
        return true;
    }
    const bool negative = *p == '-';
    if (negative)
        ++p;
    qint64 whole = 0;
    // 14 digits keep the tenths count exact in a double, so the division
    // below rounds as reading the text does.
    if (!Digits(p, end, 14, &whole))
        return false;
    double v = static_cast<double>(whole);
    if (p != end) {
        if ((*p != ',' && *p != '.') || end - p != 2 || !Digit(p[1]))
            return false;
        v = static_cast<double>(whole * 10 + (p[1] - '0')) / 10.0;
    }
    *value = negative ? -v : v;
    return true;
}

bool FastCount(const char* p, const char* end, int* value)
{
    if (p == end) {
        *value = -1;
        return true;
    }
    qint64 v = 0;
    if (!Digits(p, end, 9, &v) || p != end)
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool FastPair(const char* p, const char* end, int* first, int* second)
{
    if (p == end) {
        *first = *second = -1;
        return true;
    }
    qint64 a = 0, b = 0;
    if (!Digits(p, end, 9, &a) || p == end || *p++ != '(' || !Digits(p, end, 9, &b) || p == end || *p++ != ')' ||
        p != end)
        return false;
    *first = static_cast<int>(a);
    *second = static_cast<int>(b);
    return true;
}

}  // namespace

LogParser::LogParser(qint64 dayStartMs) : m_date(QDateTime::fromMSecsSinceEpoch(dayStartMs).date()) {}

qint64 LogParser::LocalMoment(qint64 timeOfDayMs)
{
    if (m_cachedDate != m_date) {
        m_cachedDate = m_date;
        m_cachedMidnight = QDateTime(m_date, QTime(0, 0)).toMSecsSinceEpoch();
        m_cachedPlainDay = QDateTime(m_date.addDays(1), QTime(0, 0)).toMSecsSinceEpoch() - m_cachedMidnight == kDayMs;
    }
    // Most days the clock runs 24 h from midnight; the days it is put
    // forward or back go through the date and time of day themselves.
    if (m_cachedPlainDay)
        return m_cachedMidnight + timeOfDayMs;
    const QTime time = QTime::fromMSecsSinceStartOfDay(static_cast<int>(timeOfDayMs));
    const QDateTime at(m_date, time);
    qint64 moment = at.toMSecsSinceEpoch();
    // The hour the clocks go back comes twice and is read as its first
    // pass; a record of it earlier than the record before belongs to the
    // second pass, which the log wrote after the first.
    if (!m_contents.records.isEmpty() && moment < m_contents.records.back().time) {
        const qint64 back = 1000LL * (QDateTime(m_date, QTime(0, 0)).offsetFromUtc() -
                                      QDateTime(m_date.addDays(1), QTime(0, 0)).offsetFromUtc());
        if (back > 0) {
            const QDateTime later = QDateTime::fromMSecsSinceEpoch(moment + back);
            if (later.date() == m_date && later.time() == time)
                moment += back;
        }
    }
    return moment;
}

void LogParser::Feed(const char* bytes, qint64 size)
{
    const char* p = bytes;
    const char* end = bytes + size;
    if (!m_partial.isEmpty()) {
        const char* stop = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!stop) {
            m_partial.append(p, static_cast<qsizetype>(end - p));
            return;
        }
        m_partial.append(p, static_cast<qsizetype>(stop - p));
        Line(m_partial.constData(), m_partial.constData() + m_partial.size());
        m_partial.clear();
        p = stop + 1;
    }
    while (p != end) {
        const char* stop = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!stop) {
            m_partial.append(p, static_cast<qsizetype>(end - p));
            return;
        }
        Line(p, stop);
        p = stop + 1;
    }
}

void LogParser::Finish()
{
    Line(m_partial.constData(), m_partial.constData() + m_partial.size());
    m_partial.clear();
}

bool LogParser::ParseFast(const char* begin, const char* end, LogRecord* record, qint64* timeOfDayMs) const
{
    // Six fields, each ended by ";"; what follows is known to be blank.
    const char* from[6];
    const char* to[6];
    const char* p = begin;
    for (int f = 0; f < 6; ++f) {
        const char* stop = static_cast<const char*>(std::memchr(p, ';', static_cast<size_t>(end - p)));
        from[f] = p;
        to[f] = stop;
        Trim(from[f], to[f]);
        p = stop + 1;
    }
    LogRecord r;
    if (!FastTime(from[0], to[0], timeOfDayMs) || !FastTenths(from[1], to[1], &r.currentTemp) ||
        !FastTenths(from[2], to[2], &r.currentHumidity) || !FastCount(from[3], to[3], &r.program) ||
        !FastPair(from[4], to[4], &r.step, &r.steps) || !FastPair(from[5], to[5], &r.cycle, &r.cycles))
        return false;
    *record = r;
    return true;
}

void LogParser::Line(const char* begin, const char* end)
{
    const int number = ++m_lineNumber;
    const CodePage& page = Cp1251();
    LogRecord record;
    qint64 timeOfDay = 0;
    bool parsed = false;
    if (page.byBytes) {
        if (end != begin && end[-1] == '\r')
            --end;
        if (Blank(begin, end))
            return;
        if (end - begin >= page.header.size() &&
            std::memcmp(begin, page.header.constData(), static_cast<size_t>(page.header.size())) == 0) {
            ++m_contents.headers;
            return;
        }
        // A record has exactly six ";" and nothing but blanks after the last.
        int separators = 0;
        const char* last = nullptr;
        for (const char* p = begin; p != end; ++p)
            if (*p == ';') {
                ++separators;
                last = p;
            }
        if (separators == 6 && Blank(last + 1, end))
            parsed = ParseFast(begin, end, &record, &timeOfDay) ||
                     ParseRecordLine(DecodeLine(begin, end), &record, &timeOfDay);
    } else {
        QString line = DecodeLine(begin, end);
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            return;
        if (line.startsWith(kHeaderStart)) {
            ++m_contents.headers;
            return;
        }
        parsed = ParseRecordLine(line, &record, &timeOfDay);
    }
    if (!parsed) {
        m_contents.damagedLines.push_back(number);
        return;
    }
    // A record an hour or more earlier than the one before it belongs to
    // the next day (the log ran past midnight).
    if (m_previous >= 0 && timeOfDay + 3600 * 1000 < m_previous)
        m_date = m_date.addDays(1);
    m_previous = timeOfDay;
    record.line = number;
    record.time = LocalMoment(timeOfDay);
    m_contents.records.push_back(record);
}

LogContents ParseLog(const QByteArray& fileBytes, qint64 dayStartMs)
{
    LogParser parser(dayStartMs);
    parser.Feed(fileBytes.constData(), fileBytes.size());
    parser.Finish();
    return std::move(parser.Contents());
}

bool ReadLog(QIODevice& device, qint64 dayStartMs, LogContents* contents)
{
    LogParser parser(dayStartMs);
    QByteArray piece(256 * 1024, Qt::Uninitialized);
    bool ok = true;
    for (;;) {
        const qint64 n = device.read(piece.data(), piece.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        parser.Feed(piece.constData(), n);
    }
    parser.Finish();
    *contents = std::move(parser.Contents());
    return ok;
}

LogMarkers MarkersOfLog(const QVector<LogRecord>& records)
{
    LogMarkers markers;
    for (qsizetype i = 1; i < records.size(); ++i) {
        const LogRecord& a = records[i - 1];
        const LogRecord& b = records[i];
        const QPointF at(static_cast<qreal>(b.time), std::isnan(b.currentTemp) ? 0.0 : b.currentTemp);
        if (b.cycle != a.cycle || b.cycles != a.cycles)
            markers.cycles.append(at);
        else if (b.step != a.step || b.steps != a.steps)
            markers.steps.append(at);
    }
    return markers;
}

namespace {

// The short date format as a pattern over the log's name, or an empty
// string when the format holds anything but numbers and plain characters.
QString DatePattern(const QString& format)
{
    QString pattern;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c != u'%') {
            // The name has "_" where the date has "/" or ":".
            pattern += c == u'/' || c == u':' ? QStringLiteral("_") : QRegularExpression::escape(QString(c));
            continue;
        }
        if (++i == format.size())
            return {};
        QChar k = format[i];
        if ((k == u'E' || k == u'O') && i + 1 < format.size())
            k = format[++i];
        switch (k.unicode()) {
        case 'd': pattern += QStringLiteral("(?<d>\\d{2})"); break;
        case 'e': pattern += QStringLiteral(" ?(?<d>\\d{1,2})"); break;
        case 'm': pattern += QStringLiteral("(?<m>\\d{2})"); break;
        case 'Y': pattern += QStringLiteral("(?<Y>\\d{4})"); break;
        case 'y': pattern += QStringLiteral("(?<y>\\d{2})"); break;
        case 'D': pattern += QStringLiteral("(?<m>\\d{2})_(?<d>\\d{2})_(?<y>\\d{2})"); break;
        case 'F': pattern += QStringLiteral("(?<Y>\\d{4})-(?<m>\\d{2})-(?<d>\\d{2})"); break;
        case '%': pattern += QStringLiteral("%"); break;
        default: return {};
        }
    }
    return pattern;
}

}  // namespace

QDate LogDateFromName(const QString& fileName, const QString& dateFormat)
{
    const QString pattern = DatePattern(dateFormat);
    if (pattern.isEmpty())
        return {};
    // The date stands between the chamber's number and the time of day.
    const QString name = fileName.section(u'/', -1);
    const QRegularExpression form(QStringLiteral("^КТХ№[^ ]* ") + pattern + QStringLiteral(" "));
    const auto match = form.match(name);
    if (!match.hasMatch())
        return {};
    int year = match.captured(u"Y").toInt();
    if (match.captured(u"Y").isEmpty()) {
        // Two digits as strptime reads them: 69..99 the 1900s, else the 2000s.
        const int yy = match.captured(u"y").toInt();
        year = yy >= 69 ? 1900 + yy : 2000 + yy;
    }
    return QDate(year, match.captured(u"m").toInt(), match.captured(u"d").toInt());
}

QDate LogDateFromName(const QString& fileName)
{
    const char* own = nl_langinfo(D_FMT);
    QStringList formats;
    if (own && *own)
        formats << QString::fromLocal8Bit(own);
    formats << QStringLiteral("%d.%m.%Y") << QStringLiteral("%m/%d/%Y") << QStringLiteral("%m/%d/%y")
            << QStringLiteral("%Y-%m-%d") << QStringLiteral("%d/%m/%Y") << QStringLiteral("%d/%m/%y")
            << QStringLiteral("%d.%m.%y");
    for (const QString& format : formats) {
        const QDate date = LogDateFromName(fileName, format);
        if (date.isValid())
            return date;
    }
    return {};
}

qint64 DayStartFromLogName(const QString& fileName)
{
    const QDate date = LogDateFromName(fileName);
    return date.isValid() ? QDateTime(date, QTime(0, 0)).toMSecsSinceEpoch() : -1;
}

qint64 LogDayStart(const QString& path)
{
    const qint64 fromName = DayStartFromLogName(QFileInfo(path).fileName());
    if (fromName >= 0)
        return fromName;
    return QDateTime(QFileInfo(path).lastModified().date(), QTime(0, 0)).toMSecsSinceEpoch();
}
