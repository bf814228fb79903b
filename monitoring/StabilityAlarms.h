// The alarms a stability report cites beside each excursion: the alarm
// event file's lines gathered into alarms (start, end, acknowledgements) with
// the comments the action journal kept for their acknowledgement.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include "monitoring/ActionJournal.h"
#include "monitoring/TestReport.h"

struct ReportedAlarm {
    QString number;
    QString kind;
    QString text;
    qint64 start = 0;
    qint64 end = -1;  // -1: no end in the file (still active, or ended after it)
    QVector<qint64> acknowledgements;
    QStringList comments;  // of the journal's acknowledgements, as typed
};

// Events oldest first, as ReadAlarmEvents gives them. An alarm is opened by
// its "начало" line; an acknowledgement or an end with no start before it
// (the alarm began before the events read) opens it at its own time. A
// journal "Подтверждение тревоги" record names the alarm in its old value
// ("тревога №3: …"); its comment goes to that alarm's newest occurrence
// begun at or before the record.
QVector<ReportedAlarm> ReportedAlarmsOf(const QVector<AlarmFileEvent>& events, const QVector<JournalRecord>& journal);

// The alarms active at some moment of [from, to] (either order: a clock set
// back inside an excursion puts its end before its start).
QVector<ReportedAlarm> AlarmsOverlapping(const QVector<ReportedAlarm>& alarms, qint64 from, qint64 to);
