// The alarm event file: every alarm start, end and acknowledgement as one
// line of UTF-8 CSV, appended next to the data log. Lines are kept whole:
// a write cut short is taken back, as the data log does.
#pragma once

#include <QByteArray>
#include <QString>

#include "monitoring/Alarms.h"

// folder + "Тревоги.csv"; the folder ends in "/".
QString AlarmEventFileName(const QString& folder);

// The first line of a new file, with its line end.
QByteArray AlarmEventHeader();

// Where an event happened: the chamber and the port it is on.
struct AlarmPlace {
    int chamberAddress = 0;  // kLabWideAlarm: none (the chamber field is empty)
    QString port;
};

// One CSV line with its CR LF: time (ISO 8601 with the UTC offset), event,
// alarm number, kind, chamber, port, value, set point, text. Numbers use
// "." whatever the locale; fields are quoted where CSV needs it.
QByteArray AlarmEventLine(const AlarmEvent& event, const AlarmPlace& place);

// Appends the line (the header first when the file is new or empty). A file
// whose last line was torn by a crash gets a line end first, so the new
// line stands on its own. Throws std::runtime_error with the system's message when
// a step fails; a partial write is cut back to where the file ended.
void AppendAlarmEvent(const QString& fileName, const QByteArray& line);
