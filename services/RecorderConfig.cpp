#include "services/RecorderConfig.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>

#include <algorithm>

#include "link/ChamberContract.h"

namespace {

const QString kRecorderSection = QStringLiteral("recorder");
const QString kAlarmsSection = QStringLiteral("alarms");
const QStringList kAlarmKeys = {QStringLiteral("temperatureOn"), QStringLiteral("temperatureBand"),
                                QStringLiteral("temperatureDelay"), QStringLiteral("humidityOn"),
                                QStringLiteral("humidityBand"), QStringLiteral("humidityDelay"),
                                QStringLiteral("linkOn"), QStringLiteral("programEndOn")};
const QString kLinePrefix = QStringLiteral("line.");
const QStringList kRecorderKeys = {QStringLiteral("folder"), QStringLiteral("listen"), QStringLiteral("socket"),
                                   QStringLiteral("readers"), QStringLiteral("operators")};

// A group name as the system takes it (useradd's rule).
bool GroupNameOk(const QString& name)
{
    static const QRegularExpression form(QStringLiteral("^[a-z_][a-z0-9_-]{0,31}$"));
    return form.match(name).hasMatch();
}
const QString kDevice = QStringLiteral("device");
const QString kRtuOverTcp = QStringLiteral("rtu-over-tcp");
const QString kModbusTcp = QStringLiteral("modbus-tcp");
const QStringList kLineKeys = {kDevice, kRtuOverTcp, kModbusTcp, QStringLiteral("chambers"), QStringLiteral("timeout")};

// A value as written: QSettings reads "1-12,30" as a list of two.
QString ValueText(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',').trimmed();
    return value.toString().trimmed();
}

bool AddressNumber(const QString& text, int* address)
{
    bool ok = !text.isEmpty() && text.size() <= 3;
    for (const QChar c : text)
        ok = ok && c >= u'0' && c <= u'9';
    *address = ok ? text.toInt() : -1;
    return ok;
}

}  // namespace

bool RecorderLine::operator==(const RecorderLine& other) const
{
    return name == other.name && address.kind == other.address.kind && address.device == other.address.device &&
           address.host == other.address.host && address.port == other.address.port && chambers == other.chambers &&
           scan == other.scan && timeoutMs == other.timeoutMs;
}

const RecorderLine* RecorderConfig::Line(const QString& name) const
{
    for (const RecorderLine& line : lines)
        if (line.name == name)
            return &line;
    return nullptr;
}

bool ParseChamberList(const QString& text, QVector<int>* chambers, bool* scan, QString* reason)
{
    chambers->clear();
    *scan = false;
    const QString t = text.trimmed();
    if (t == QStringLiteral("scan")) {
        *scan = true;
        return true;
    }
    if (t.isEmpty()) {
        *reason = QStringLiteral("не задано ни одной камеры (адреса через запятую, диапазоны A-B или scan)");
        return false;
    }
    QSet<int> seen;
    for (const QString& rawPart : t.split(u',')) {
        const QString part = rawPart.trimmed();
        const int dash = part.indexOf(u'-');
        const QString fromText = dash < 0 ? part : part.left(dash).trimmed();
        const QString toText = dash < 0 ? part : part.mid(dash + 1).trimmed();
        int from = -1;
        int to = -1;
        if (!AddressNumber(fromText, &from) || !AddressNumber(toText, &to)) {
            *reason = QStringLiteral("«%1» — не адрес и не диапазон A-B").arg(part);
            return false;
        }
        for (int address : {from, to})
            if (address > kLastAddress) {
                *reason = QStringLiteral("адрес %1 вне 0..%2").arg(address).arg(kLastAddress);
                return false;
            }
        if (from > to) {
            *reason = QStringLiteral("диапазон «%1» идёт вниз").arg(part);
            return false;
        }
        for (int address = from; address <= to; ++address)
            seen.insert(address);
    }
    *chambers = QVector<int>(seen.begin(), seen.end());
    std::sort(chambers->begin(), chambers->end());
    return true;
}

bool ReadRecorderConfig(const QString& path, RecorderConfig* config, QString* error)
{
    const auto fail = [&](const QString& where, const QString& what) {
        *error = where.isEmpty() ? QStringLiteral("%1: %2").arg(path, what)
                                 : QStringLiteral("%1: %2: %3").arg(path, where, what);
        return false;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QString(), QStringLiteral("файла нет"));
    if (!info.isFile() || !info.isReadable())
        return fail(QString(), QStringLiteral("файл не читается"));
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return fail(QString(), QStringLiteral("не читается как INI (строка без «=» или без «]»?)"));

    RecorderConfig read;
    const QStringList keysOutside = settings.childKeys();
    if (!keysOutside.isEmpty())
        return fail(QStringLiteral("%1").arg(keysOutside.first()), QStringLiteral("ключ вне раздела"));
    QSet<QString> devices;
    QSet<QString> endpoints;
    QMap<QString, QString> alarmValues;
    for (const QString& group : settings.childGroups()) {
        settings.beginGroup(group);
        const QStringList keys = settings.childKeys();
        const QString section = QStringLiteral("[%1]").arg(group);
        const auto at = [&](const QString& key) { return QStringLiteral("%1 %2").arg(section, key); };
        if (group == kRecorderSection) {
            for (const QString& key : keys)
                if (!kRecorderKeys.contains(key))
                    return fail(at(key), QStringLiteral("неизвестный ключ"));
            if (keys.contains(QStringLiteral("folder"))) {
                read.folder = ValueText(settings, QStringLiteral("folder"));
                if (!read.folder.startsWith(u'/'))
                    return fail(at(QStringLiteral("folder")), QStringLiteral("нужен полный путь к папке"));
            }
            if (keys.contains(QStringLiteral("listen"))) {
                const QString listen = ValueText(settings, QStringLiteral("listen"));
                read.listen = !listen.isEmpty();
                std::string host;
                uint16_t port = 0;
                std::string reason;
                if (read.listen && !ParseTcpAddress(listen.toStdString(), &host, &port, &reason))
                    return fail(at(QStringLiteral("listen")), QString::fromStdString(reason));
                read.listenHost = QString::fromStdString(host);
                read.listenPort = port;
            }
            if (keys.contains(QStringLiteral("socket"))) {
                read.socket = ValueText(settings, QStringLiteral("socket"));
                if (!read.socket.isEmpty() && !read.socket.startsWith(u'/'))
                    return fail(at(QStringLiteral("socket")), QStringLiteral("нужен полный путь к сокету"));
            }
            for (const QString key : {QStringLiteral("readers"), QStringLiteral("operators")}) {
                if (!keys.contains(key))
                    continue;
                const QString name = ValueText(settings, key);
                if (!GroupNameOk(name))
                    return fail(at(key), QStringLiteral("неверное имя группы: \"%1\"").arg(name));
                (key == QLatin1String("readers") ? read.access.readGroup : read.access.writeGroup) = name;
            }
        } else if (group == kAlarmsSection) {
            // Read once every line is known: a condition names its line.
            for (const QString& key : keys) {
                ChamberKey chamber;
                bool delay = false;
                if (!kAlarmKeys.contains(key) && !ReadConditionKey(key, &chamber, &delay))
                    return fail(at(key), QStringLiteral("неизвестный ключ"));
                alarmValues.insert(key, ValueText(settings, key));
            }
        } else if (group.startsWith(kLinePrefix) && group.size() > kLinePrefix.size()) {
            RecorderLine line;
            line.name = group.mid(kLinePrefix.size());
            // The name is the line's folder and its label on /metrics.
            for (const QChar c : line.name)
                if (!(c.unicode() < 128 && (c.isLetterOrNumber() || c == u'-' || c == u'_')))
                    return fail(section, QStringLiteral("имя линии: только латинские буквы, цифры, «-» и «_»"));
            for (const QString& key : keys)
                if (!kLineKeys.contains(key))
                    return fail(at(key), QStringLiteral("неизвестный ключ"));
            QStringList transports;
            for (const QString& key : {kDevice, kRtuOverTcp, kModbusTcp})
                if (keys.contains(key))
                    transports.append(key);
            if (transports.isEmpty())
                return fail(section, QStringLiteral("не задан путь к линии: device, rtu-over-tcp или modbus-tcp"));
            if (transports.size() > 1)
                return fail(section, QStringLiteral("задано два пути к линии: %1").arg(transports.join(QStringLiteral(" и "))));
            const QString key = transports.first();
            const QString value = ValueText(settings, key);
            if (key == kDevice) {
                if (!value.startsWith(u'/'))
                    return fail(at(key), QStringLiteral("нужен полный путь к устройству"));
                line.address.kind = TransportKind::Serial;
                line.address.device = value.toStdString();
                if (devices.contains(value))
                    return fail(at(key), QStringLiteral("устройство %1 уже задано другой линии").arg(value));
                devices.insert(value);
            } else {
                line.address.kind = key == kModbusTcp ? TransportKind::ModbusTcp : TransportKind::RtuOverTcp;
                std::string reason;
                if (!ParseTcpAddress(value.toStdString(), &line.address.host, &line.address.port, &reason))
                    return fail(at(key), QString::fromStdString(reason));
                const QString endpoint = QStringLiteral("%1:%2").arg(QString::fromStdString(line.address.host).toLower())
                                             .arg(line.address.port);
                if (endpoints.contains(endpoint))
                    return fail(at(key), QStringLiteral("адрес %1 уже задан другой линии").arg(value));
                endpoints.insert(endpoint);
            }
            QString reason;
            if (!ParseChamberList(ValueText(settings, QStringLiteral("chambers")), &line.chambers, &line.scan, &reason))
                return fail(at(QStringLiteral("chambers")), reason);
            if (keys.contains(QStringLiteral("timeout"))) {
                bool ok = false;
                const int ms = ValueText(settings, QStringLiteral("timeout")).toInt(&ok);
                if (!ok || ms < 20 || ms > 2000)
                    return fail(at(QStringLiteral("timeout")), QStringLiteral("нужно целое число мс от 20 до 2000"));
                line.timeoutMs = ms;
            }
            read.lines.append(line);
        } else {
            return fail(section, QStringLiteral("неизвестный раздел (нужны [recorder], [alarms] и [line.ИМЯ])"));
        }
        settings.endGroup();
    }
    if (read.lines.isEmpty())
        return fail(QString(), QStringLiteral("не задано ни одной линии ([line.ИМЯ])"));
    const auto atAlarms = [&](const QString& key) { return QStringLiteral("[%1] %2").arg(kAlarmsSection, key); };
    QStringList lineNames;
    for (const RecorderLine& line : read.lines)
        lineNames.append(line.name);
    // A condition names a chamber the file reads: a typo in its line or
    // address would otherwise leave the chamber unwatched without a word.
    for (auto it = alarmValues.begin(); it != alarmValues.end(); ++it) {
        ChamberKey chamber;
        bool delay = false;
        if (!ReadConditionKey(it.key(), &chamber, &delay))
            continue;
        if (chamber.first.isEmpty())
            return fail(atAlarms(it.key()), QStringLiteral("нужна линия: %1.ЛИНИЯ.%2")
                                                .arg(it.key().section(u'.', 0, 0))
                                                .arg(chamber.second));
        const RecorderLine* line = read.Line(chamber.first);
        if (!line)
            return fail(atAlarms(it.key()), QStringLiteral("нет линии «%1» ([line.%1])").arg(chamber.first));
        if (!line->scan && !line->chambers.contains(chamber.second))
            return fail(atAlarms(it.key()),
                        QStringLiteral("камеры %1 нет среди chambers линии «%2»").arg(chamber.second).arg(line->name));
    }
    QStringList refused;
    read.alarms = AlarmSettingsFromText(alarmValues, &refused, lineNames);
    if (!refused.isEmpty()) {
        const QString first = refused.first();
        const QString key = first.section(u'=', 0, 0);
        // What a condition's key would have taken.
        QString hint;
        ChamberKey chamber;
        bool delay = false;
        if (!ReadConditionKey(key, &chamber, &delay))
            hint.clear();
        else if (!delay)
            hint = QStringLiteral(" (нужно 25/60, 30/65, 30/75, 40/75, 5 °C или Т±dТ/ВЛ±dВЛ, например 25±2/60±5)");
        else if (!read.alarms.ConditionOf(chamber))
            hint = QStringLiteral(" (нет условия %1)").arg(ConditionKey(chamber));
        else
            hint = QStringLiteral(" (нужно целое число секунд от 0 до %1)").arg(kMaxAlarmDelay);
        return fail(atAlarms(key), QStringLiteral("значение «%1» не подходит%2").arg(first.section(u'=', 1), hint));
    }
    *config = read;
    return true;
}
