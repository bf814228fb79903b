#include "monitoring/CsvExport.h"

#include <QDateTime>
#include <QStringList>

#include "monitoring/Csv.h"

namespace {

// Excel takes a CSV without it for the ANSI code page; LibreOffice and
// pandas read past it.
const char kUtf8Bom[] = "\xEF\xBB\xBF";

QString Tenths(double value) { return std::isnan(value) ? QString() : QString::number(value, 'f', 1); }

QString Count(int value) { return value < 0 ? QString() : QString::number(value); }

QByteArray Rows(const QStringList& header, const QVector<QStringList>& rows)
{
    QByteArray out(kUtf8Bom);
    out += CsvLine(header) + "\r\n";
    for (const QStringList& row : rows)
        out += CsvLine(row) + "\r\n";
    return out;
}

}  // namespace

QString IsoLocalTime(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

QByteArray LogRecordsCsv(const QVector<LogRecord>& records)
{
    QVector<QStringList> rows;
    rows.reserve(records.size());
    for (const LogRecord& r : records)
        rows.push_back({IsoLocalTime(r.time), Tenths(r.currentTemp), Tenths(r.currentHumidity), Count(r.program),
                        Count(r.step), Count(r.steps), Count(r.cycle), Count(r.cycles)});
    return Rows({QStringLiteral("Время"), QStringLiteral("Температура °C"), QStringLiteral("Влажность %"),
                 QStringLiteral("Программа"), QStringLiteral("Шаг"), QStringLiteral("Шагов"), QStringLiteral("Цикл"),
                 QStringLiteral("Циклов")},
                rows);
}

QByteArray TrendSamplesCsv(const std::deque<TrendSample>& samples)
{
    QVector<QStringList> rows;
    for (const TrendSample& s : samples) {
        if (!s.answered) {
            rows.push_back({IsoLocalTime(s.time), QString(), QString(), QString(), QString()});
            continue;
        }
        rows.push_back({IsoLocalTime(s.time), Tenths(s.currentTemp), Tenths(s.setTemp), Tenths(s.currentHumidity),
                        Tenths(s.setHumidity)});
    }
    return Rows({QStringLiteral("Время"), QStringLiteral("Температура °C"), QStringLiteral("Заданная температура °C"),
                 QStringLiteral("Влажность %"), QStringLiteral("Заданная влажность %")},
                rows);
}
