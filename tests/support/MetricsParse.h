// A small reader of the Prometheus text format for the tests: samples by
// name and labels, and the HELP/TYPE lines seen.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

struct ParsedMetrics {
    // "name{a=\"1\",b=\"x\"}" (labels as written) -> value
    QMap<QString, double> samples;
    QMap<QString, QString> types;  // family -> type
    QStringList errors;            // lines that do not parse
    // The value of the only sample of a family whose labels contain `labels`.
    bool Find(const QString& name, const QString& labels, double* value) const;
};

ParsedMetrics ParseMetrics(const QByteArray& text);

// promtool where installed: empty when it accepts the text, its complaints
// otherwise; *available false when there is no promtool.
QString PromtoolCheck(const QByteArray& text, bool* available);
