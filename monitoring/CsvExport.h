// Data for spreadsheets and pandas: UTF-8 CSV with a header row, ISO 8601
// local time stamps, "." as the decimal separator whatever the locale, and
// an empty cell wherever a value was rejected or missing.
#pragma once

#include <QByteArray>
#include <QString>
#include <deque>

#include "monitoring/LogReader.h"
#include "monitoring/TrendModel.h"

// "2017-07-03T14:05:30", local time.
QString IsoLocalTime(qint64 msSinceEpoch);

// The records read back from a data log (damaged lines are not records and
// are left out by the reader).
QByteArray LogRecordsCsv(const QVector<LogRecord>& records);

// The live points of the chart; an unanswered poll is a row of empty values.
QByteArray TrendSamplesCsv(const std::deque<TrendSample>& samples);
