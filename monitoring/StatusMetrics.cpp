#include "monitoring/StatusMetrics.h"

#include "monitoring/ReadWatch.h"

#include <QHash>
#include <algorithm>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <arpa/inet.h>
#include <cmath>

namespace {

QByteArray LabelValue(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n");
    return bytes;
}

QByteArray Number(double v)
{
    if (std::isnan(v))
        return "NaN";
    // Tenths come from the chamber; more digits would only show binary noise.
    return QByteArray::number(v, 'g', 10);
}

class Writer {
public:
    explicit Writer(const WatchedStatus& s)
        : m_labels((s.line.isEmpty() ? QByteArray() : "line=\"" + LabelValue(s.line) + "\",") + "address=\"" +
                   QByteArray::number(s.chamberAddress) + "\",port=\"" + LabelValue(s.port) + "\"")
    {
    }
    void Family(const char* name, const char* type, const char* help)
    {
        m_out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void Sample(const char* name, double value, const QByteArray& extra = {})
    {
        m_out += QByteArray(name) + '{' + m_labels + (extra.isEmpty() ? QByteArray() : ',' + extra) + "} " +
                 Number(value) + '\n';
    }
    template <class T>
    void Optional(const char* name, const char* help, const std::optional<T>& value)
    {
        if (!value)
            return;
        Family(name, "gauge", help);
        Sample(name, static_cast<double>(*value));
    }
    QByteArray Text() const { return m_out; }

private:
    QByteArray m_labels;
    QByteArray m_out;
};

template <class T>
QJsonValue Json(const std::optional<T>& v)
{
    return v ? QJsonValue(static_cast<double>(*v)) : QJsonValue(QJsonValue::Null);
}

QString LinkText(LinkState link)
{
    switch (link) {
    case LinkState::Up:
        return QStringLiteral("up");
    case LinkState::Down:
        return QStringLiteral("down");
    case LinkState::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

// The status with the values its last answer no longer vouches for left out.
WatchedStatus Measured(const WatchedStatus& s, qint64 now)
{
    if (AnswerFresh(s.lastAnswered, now))
        return s;
    WatchedStatus m = s;
    m.currentTemp = m.setTemp = m.currentHumidity = m.setHumidity = std::nullopt;
    m.program = m.step = m.steps = m.cycle = m.cycles = std::nullopt;
    return m;
}

}  // namespace

bool AnswerFresh(qint64 lastAnsweredMs, qint64 nowMs)
{
    return lastAnsweredMs > 0 && nowMs - lastAnsweredMs <= static_cast<qint64>(kFreshPeriods) * ChamberPeriodMs();
}

void FillReadAge(WatchedStatus& s)
{
    s.lastReadAgeSeconds = s.readPeriodSeconds = std::nullopt;
    if (!s.reading)
        return;
    if (const std::optional<ReadMark> mark = LastChamberRead(s.chamberAddress)) {
        s.lastReadAgeSeconds = ReadAgeMs(*mark, ReadClock::now()) / 1000.0;
        s.readPeriodSeconds = mark->periodMs / 1000.0;
    }
}

void FillReadAgeFromWall(WatchedStatus& s, qint64 nowMs)
{
    s.lastReadAgeSeconds = std::nullopt;
    if (s.reading && s.lastReadWallMs > 0)
        s.lastReadAgeSeconds = std::max<qint64>(0, nowMs - s.lastReadWallMs) / 1000.0;
}

QByteArray MetricsText(const WatchedStatus& status, qint64 now)
{
    const WatchedStatus s = Measured(status, now);
    Writer w(s);
    w.Optional("calvetra_temperature_celsius", "Current chamber temperature.", s.currentTemp);
    w.Optional("calvetra_temperature_setpoint_celsius", "Set chamber temperature.", s.setTemp);
    w.Optional("calvetra_humidity_relative", "Current relative humidity, in percent.", s.currentHumidity);
    w.Optional("calvetra_humidity_setpoint_relative", "Set relative humidity, in percent.", s.setHumidity);
    w.Optional("calvetra_program", "Current program number (0: none).", s.program);
    w.Optional("calvetra_step", "Current program step.", s.step);
    w.Optional("calvetra_steps", "Number of steps of the current program.", s.steps);
    w.Optional("calvetra_cycle", "Current program cycle.", s.cycle);
    w.Optional("calvetra_cycles", "Number of cycles of the current program.", s.cycles);
    w.Family("calvetra_reading", "gauge", "1 while periodic reading is on.");
    w.Sample("calvetra_reading", s.reading ? 1 : 0);
    w.Family("calvetra_link_up", "gauge", "1 when the last poll was answered, 0 when not, NaN before the first poll.");
    w.Sample("calvetra_link_up", s.link == LinkState::Up ? 1 : s.link == LinkState::Down ? 0 : NAN);
    w.Family("calvetra_polls_answered_total", "counter", "Status polls the chamber answered.");
    w.Sample("calvetra_polls_answered_total", static_cast<double>(s.pollsAnswered));
    w.Family("calvetra_polls_unanswered_total", "counter", "Status polls left without a reply.");
    w.Sample("calvetra_polls_unanswered_total", static_cast<double>(s.pollsUnanswered));
    if (s.lastAnswered > 0) {
        w.Family("calvetra_seconds_since_last_answer", "gauge", "Seconds since the last answered poll.");
        w.Sample("calvetra_seconds_since_last_answer", std::max<qint64>(0, now - s.lastAnswered) / 1000.0);
    }
    w.Optional("calvetra_chamber_last_read_age_seconds",
               "Seconds since the chamber was last read, answered or not; only while it is being read.",
               s.lastReadAgeSeconds);
    w.Optional("calvetra_chamber_read_period_seconds",
               "How often the chamber is meant to be read: 4 s, longer while a silent one is asked less often.",
               s.readPeriodSeconds);
    if (s.mkt30Days) {
        // Of logged minutes, not of the last answer: it stands while the chamber is silent.
        w.Family("calvetra_mkt_30d_celsius", "gauge",
                 "Mean kinetic temperature of the minute records of the last 30 days (dH 83.144 kJ/mol).");
        w.Sample("calvetra_mkt_30d_celsius", *s.mkt30Days);
        w.Family("calvetra_mkt_30d_records", "gauge", "Minute records the 30-day mean kinetic temperature is of.");
        w.Sample("calvetra_mkt_30d_records", static_cast<double>(s.mkt30DaysRecords));
    }
    w.Family("calvetra_alarms_active", "gauge",
             "Active alarms by kind; program-end notices count until acknowledged.");
    w.Sample("calvetra_alarms_active", s.alarmsTemperature, "kind=\"temperature\"");
    w.Sample("calvetra_alarms_active", s.alarmsHumidity, "kind=\"humidity\"");
    w.Sample("calvetra_alarms_active", s.alarmsLink, "kind=\"link\"");
    w.Sample("calvetra_alarms_active", s.alarmsProgramEnd, "kind=\"program_end\"");
    if (s.journalRecords >= 0) {
        // The head as a label: a copy kept elsewhere shows any later rewrite.
        w.Family("calvetra_journal_records", "gauge", "Records in the current action journal file; head: its last hash.");
        w.Sample("calvetra_journal_records", static_cast<double>(s.journalRecords),
                 QStringLiteral("head=\"%1\"").arg(s.journalHead).toUtf8());
    }
    if (s.journalUnwritable >= 0) {
        w.Family("calvetra_journal_unwritable", "gauge",
                 "1 while the action journal cannot be written and its records wait in memory.");
        w.Sample("calvetra_journal_unwritable", s.journalUnwritable);
    }
    return w.Text();
}

QByteArray StatusJson(const WatchedStatus& status, qint64 now)
{
    const WatchedStatus s = Measured(status, now);
    QJsonObject alarms{{"temperature", s.alarmsTemperature},
                       {"humidity", s.alarmsHumidity},
                       {"link", s.alarmsLink},
                       {"program_end", s.alarmsProgramEnd}};
    QJsonObject o{{"address", s.chamberAddress},
                  {"port", s.port},
                  {"reading", s.reading},
                  {"temperature", Json(s.currentTemp)},
                  {"temperature_setpoint", Json(s.setTemp)},
                  {"humidity", Json(s.currentHumidity)},
                  {"humidity_setpoint", Json(s.setHumidity)},
                  {"program", Json(s.program)},
                  {"step", Json(s.step)},
                  {"steps", Json(s.steps)},
                  {"cycle", Json(s.cycle)},
                  {"cycles", Json(s.cycles)},
                  {"link", LinkText(s.link)},
                  {"polls_answered", static_cast<double>(s.pollsAnswered)},
                  {"polls_unanswered", static_cast<double>(s.pollsUnanswered)},
                  {"seconds_since_last_answer",
                   s.lastAnswered > 0 ? QJsonValue(std::max<qint64>(0, now - s.lastAnswered) / 1000.0)
                                      : QJsonValue(QJsonValue::Null)},
                  {"last_read_age_seconds", Json(s.lastReadAgeSeconds)},
                  {"read_period_seconds", Json(s.readPeriodSeconds)},
                  {"alarms_active", alarms},
                  {"mkt_30d_celsius", Json(s.mkt30Days)}};
    if (!s.line.isEmpty())
        o.insert(QStringLiteral("line"), s.line);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

namespace {

// The family a line of the text form belongs to.
QByteArray FamilyOf(const QByteArray& line)
{
    if (line.startsWith("# HELP ") || line.startsWith("# TYPE ")) {
        const QByteArray rest = line.mid(7);
        return rest.left(rest.indexOf(' '));
    }
    const qsizetype end = line.indexOf('{');
    return line.left(end < 0 ? line.indexOf(' ') : end);
}

QVector<WatchedStatus> OthersThan(const WatchedStatus& polled, const QVector<WatchedStatus>& watched)
{
    QVector<WatchedStatus> others;
    for (const WatchedStatus& w : watched)
        if (!(polled.reading && w.chamberAddress == polled.chamberAddress))
            others.push_back(w);
    return others;
}

// Every chamber's series, each family's HELP and TYPE once and its samples
// together, as the format asks.
QByteArray MergedMetrics(const QVector<WatchedStatus>& all, qint64 now)
{
    QVector<QByteArray> order;
    QHash<QByteArray, QByteArray> heads;
    QHash<QByteArray, QByteArray> samples;
    for (const WatchedStatus& s : all) {
        for (const QByteArray& line : MetricsText(s, now).split('\n')) {
            if (line.isEmpty())
                continue;
            const QByteArray family = FamilyOf(line);
            if (!heads.contains(family) && !samples.contains(family))
                order.push_back(family);
            if (line.startsWith('#')) {
                // One HELP and one TYPE per family.
                if (!heads[family].contains(line.left(7)))
                    heads[family] += line + '\n';
            } else {
                samples[family] += line + '\n';
            }
        }
    }
    QByteArray out;
    for (const QByteArray& family : order)
        out += heads.value(family) + samples.value(family);
    return out;
}

}  // namespace

QByteArray MetricsText(const WatchedStatus& polled, const QVector<WatchedStatus>& watched, qint64 now)
{
    // Reading off, the polled chamber's series would repeat the label set of
    // the overview's tile of the same address: the one being read stays.
    const bool polledWatched = std::any_of(watched.begin(), watched.end(), [&](const WatchedStatus& w) {
        return w.chamberAddress == polled.chamberAddress;
    });
    QVector<WatchedStatus> all;
    if (polled.reading || !polledWatched)
        all.push_back(polled);
    all += OthersThan(polled, watched);
    return MergedMetrics(all, now);
}

QByteArray MetricsTextOfLines(const QVector<WatchedStatus>& chambers, qint64 now)
{
    return MergedMetrics(chambers, now);
}

QByteArray JournalMetricsText(qint64 records, const QString& head, int unwritable)
{
    // The same families and help as a chamber's status carries on the desktop.
    QByteArray out;
    if (records >= 0)
        out += "# HELP calvetra_journal_records Records in the current action journal file; head: its last hash.\n"
               "# TYPE calvetra_journal_records gauge\ncalvetra_journal_records{head=\"" +
               LabelValue(head) + "\"} " + Number(static_cast<double>(records)) + '\n';
    out += "# HELP calvetra_journal_unwritable 1 while the action journal cannot be written and its records wait in "
           "memory.\n# TYPE calvetra_journal_unwritable gauge\ncalvetra_journal_unwritable " +
           Number(unwritable) + '\n';
    return out;
}

QByteArray StatusJsonOfLines(const QVector<WatchedStatus>& chambers, qint64 now)
{
    QJsonArray list;
    for (const WatchedStatus& w : chambers)
        list.append(QJsonDocument::fromJson(StatusJson(w, now)).object());
    return QJsonDocument(QJsonObject{{QStringLiteral("chambers"), list}}).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray StatusJson(const WatchedStatus& polled, const QVector<WatchedStatus>& watched, qint64 now)
{
    QJsonObject o = QJsonDocument::fromJson(StatusJson(polled, now)).object();
    QJsonArray chambers;
    for (const WatchedStatus& w : OthersThan(polled, watched))
        chambers.append(QJsonDocument::fromJson(StatusJson(w, now)).object());
    o.insert(QStringLiteral("chambers"), chambers);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

ListenAddress ParseListenAddress(const QString& input)
{
    ListenAddress r;
    const QString text = input.trimmed();
    QString host = QStringLiteral("127.0.0.1");
    QString port = text;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(QStringLiteral("]:"));
        if (close < 0) {
            r.error = QStringLiteral("ожидается [АДРЕС]:ПОРТ");
            return r;
        }
        host = text.mid(1, close - 1);
        port = text.mid(close + 2);
    } else if (const qsizetype colon = text.lastIndexOf(u':'); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        // "::1:9100" could be an address alone or an address and a port.
        if (host.contains(u':')) {
            r.error = QStringLiteral("адрес IPv6 пишется в скобках: [::1]:9100");
            return r;
        }
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number < 1 || number > 65535 || port.startsWith(u'+')) {
        r.error = QStringLiteral("порт должен быть числом от 1 до 65535: \"%1\"").arg(port);
        return r;
    }
    // Numeric addresses only: a name could resolve to more than meant.
    unsigned char buffer[16];
    const QByteArray h = host.toLatin1();
    const bool v4 = ::inet_pton(AF_INET, h.constData(), buffer) == 1;
    const bool v6 = !v4 && ::inet_pton(AF_INET6, h.constData(), buffer) == 1;
    if (!v4 && !v6) {
        r.error = QStringLiteral("не адрес IP: \"%1\"").arg(host);
        return r;
    }
    char canonical[64];
    ::inet_ntop(v4 ? AF_INET : AF_INET6, buffer, canonical, sizeof canonical);
    r.ok = true;
    r.address = QString::fromLatin1(canonical);
    r.port = static_cast<quint16>(number);
    return r;
}
