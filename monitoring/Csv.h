// Comma-separated text as the action journal, the alarm event file and the
// exports write it: a field is quoted when it holds a comma, a quote or a
// line break, and a quote inside is doubled (RFC 4180). Readers come in two
// strengths: the strict ones, for files whose every byte counts (the
// journal's hash chain), refuse a record with broken quoting; the lenient
// one takes what it can of a line a person or a crash may have damaged.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The field as written, in UTF-8.
QByteArray CsvField(const QString& text);
// The fields, each written by CsvField, joined by commas (no line end).
QByteArray CsvLine(const QStringList& fields);

// Where a field of a record lies in its bytes: inside the quotes when quoted
// (doubled quotes still doubled there).
struct CsvSpan {
    qsizetype begin = 0;
    qsizetype end = 0;
    bool quoted = false;
};

// The fields of one record (without its line end) where they lie, found
// without copying: their count, or -1 when the record holds more than most
// fields, a quote is left open (a torn record), text follows a closing quote
// or a quote stands inside an unquoted field.
int ScanCsvRecord(const char* bytes, qsizetype size, CsvSpan* spans, int most);
// The field's bytes, its doubled quotes made single.
QByteArray CsvSpanBytes(const char* bytes, const CsvSpan& span);
// The fields of one record, strictly as ScanCsvRecord reads them; false (and
// no fields) when the record is no sound CSV.
bool SplitCsvRecord(const QByteArray& record, QList<QByteArray>* fields);

// One line read leniently: a quote opens and closes quoting wherever it
// stands, a doubled one inside quotes is a quote, and a quote left open runs
// to the end of the line.
QStringList SplitCsvLine(const QString& line);

// A file's text cut into records, each without its CR LF (or LF): a line end
// inside quotes belongs to its field. A record that would run over a line end
// but does not read as sound CSV is a torn line (a crash in the middle of a
// write, with the next record appended after it): it ends at its own line end
// and reading goes on at the next line. A last line without its line end is a
// record too; an empty text has none.
QList<QByteArray> SplitCsvRecords(const QByteArray& text);
