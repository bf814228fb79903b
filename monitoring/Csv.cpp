#include "monitoring/Csv.h"

namespace {

// The strict reading of one record, each field handed to take(span) as it is
// found; -1 when the record is no sound CSV or take refuses another field.
template <typename Take>
int ScanRecord(const char* p, qsizetype n, Take&& take)
{
    qsizetype i = 0;
    int k = 0;
    for (;;) {
        CsvSpan f;
        if (i < n && p[i] == '"') {
            f.quoted = true;
            f.begin = ++i;
            for (;;) {
                if (i >= n)
                    return -1;
                if (p[i] == '"') {
                    if (i + 1 < n && p[i + 1] == '"') {
                        i += 2;
                        continue;
                    }
                    break;
                }
                ++i;
            }
            f.end = i++;
            if (i < n && p[i] != ',')
                return -1;
        } else {
            f.begin = i;
            while (i < n && p[i] != ',') {
                if (p[i] == '"')
                    return -1;
                ++i;
            }
            f.end = i;
        }
        if (!take(k, f))
            return -1;
        ++k;
        if (i >= n)
            return k;
        ++i;  // the comma
    }
}

}  // namespace

QByteArray CsvField(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    for (const char c : bytes) {
        if (c == ',' || c == '"' || c == '\n' || c == '\r') {
            bytes.replace("\"", "\"\"");
            return '"' + bytes + '"';
        }
    }
    return bytes;
}

QByteArray CsvLine(const QStringList& fields)
{
    QByteArray line;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ',';
        line += CsvField(fields[i]);
    }
    return line;
}

int ScanCsvRecord(const char* bytes, qsizetype size, CsvSpan* spans, int most)
{
    return ScanRecord(bytes, size, [&](int k, const CsvSpan& span) {
        if (k >= most)
            return false;
        spans[k] = span;
        return true;
    });
}

QByteArray CsvSpanBytes(const char* bytes, const CsvSpan& span)
{
    QByteArray field(bytes + span.begin, span.end - span.begin);
    if (span.quoted)
        field.replace("\"\"", "\"");
    return field;
}

bool SplitCsvRecord(const QByteArray& record, QList<QByteArray>* fields)
{
    fields->clear();
    const char* p = record.constData();
    const int n = ScanRecord(p, record.size(), [&](int, const CsvSpan& span) {
        fields->append(CsvSpanBytes(p, span));
        return true;
    });
    if (n < 0)
        fields->clear();
    return n >= 0;
}

QStringList SplitCsvLine(const QString& line)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == u'"') {
                if (i + 1 < line.size() && line[i + 1] == u'"') {
                    field += u'"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            fields << field;
            field.clear();
        } else {
            field += c;
        }
    }
    fields << field;
    return fields;
}

QList<QByteArray> SplitCsvRecords(const QByteArray& text)
{
    QList<QByteArray> records;
    const qsizetype n = text.size();
    // The record from start to end (the end's LF, or n), without its line end.
    auto record = [&](qsizetype start, qsizetype end) {
        qsizetype stop = end;
        if (stop > start && text[stop - 1] == '\r')
            --stop;
        return text.mid(start, stop - start);
    };
    qsizetype start = 0;
    while (start < n) {
        const qsizetype lineEnd = [&] {
            const qsizetype lf = text.indexOf('\n', start);
            return lf < 0 ? n : lf;
        }();
        // Where the record ends when its quotes are taken as written.
        bool quoted = false;
        qsizetype end = start;
        for (; end < n; ++end) {
            const char c = text[end];
            if (c == '"')
                quoted = !quoted;
            else if (c == '\n' && !quoted)
                break;
        }
        if (end > lineEnd) {
            QList<QByteArray> fields;
            const QByteArray joined = record(start, end);
            if (quoted || !SplitCsvRecord(joined, &fields))
                end = lineEnd;  // torn: the line alone
        }
        records.append(record(start, end));
        start = end + 1;
    }
    return records;
}
