#include "monitoring/StabilityAlarms.h"

#include <QHash>
#include <QRegularExpression>
#include <algorithm>

namespace {

// The newest occurrence of the alarm begun at or before atMs; -1 when none.
int OccurrenceOf(const QVector<ReportedAlarm>& alarms, const QString& number, qint64 atMs)
{
    for (int i = alarms.size() - 1; i >= 0; --i)
        if (alarms[i].number == number && alarms[i].start <= atMs)
            return i;
    return -1;
}

}  // namespace

QVector<ReportedAlarm> ReportedAlarmsOf(const QVector<AlarmFileEvent>& events, const QVector<JournalRecord>& journal)
{
    QVector<ReportedAlarm> alarms;
    // Index of the open occurrence of each number: a number is given again
    // once its alarm has ended.
    QHash<QString, int> open;
    for (const AlarmFileEvent& e : events) {
        auto it = open.find(e.number);
        if (e.event == QStringLiteral("начало") || it == open.end()) {
            ReportedAlarm a;
            a.number = e.number;
            a.kind = e.kind;
            a.text = e.text;
            a.start = e.time;
            alarms.append(a);
            it = open.insert(e.number, alarms.size() - 1);
        }
        ReportedAlarm& a = alarms[*it];
        if (e.event == QStringLiteral("подтверждение")) {
            a.acknowledgements.append(e.time);
        } else if (e.event == QStringLiteral("конец")) {
            a.end = e.time;
            open.erase(it);
        }
    }
    static const QRegularExpression named(QStringLiteral("^тревога №(\\d+):"));
    const QString acknowledge = JournalActionText(JournalAction::AlarmAcknowledge);
    for (const JournalRecord& j : journal) {
        if (j.action != acknowledge || j.newValue.trimmed().isEmpty())
            continue;
        const auto m = named.match(j.oldValue);
        if (!m.hasMatch())
            continue;
        const int i = OccurrenceOf(alarms, m.captured(1), JournalRecordTime(j));
        if (i >= 0)
            alarms[i].comments.append(j.newValue.trimmed());
    }
    return alarms;
}

QVector<ReportedAlarm> AlarmsOverlapping(const QVector<ReportedAlarm>& alarms, qint64 from, qint64 to)
{
    if (to < from)
        std::swap(from, to);
    QVector<ReportedAlarm> out;
    for (const ReportedAlarm& a : alarms)
        if (a.start <= to && (a.end < 0 || a.end >= from))
            out.append(a);
    return out;
}
