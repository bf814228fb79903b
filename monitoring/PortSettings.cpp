#include "monitoring/PortSettings.h"

#include <QSettings>

#include "link/PortUnit.h"

namespace {
QString MappingKey(int number) { return QStringLiteral("mapping/COM%1").arg(number); }
}  // namespace

PortSettings LoadPortSettings()
{
    QSettings store;
    return ReadPortSettings(store);
}

PortSettings ReadPortSettings(QSettings& store)
{
    PortSettings settings;
    settings.lastPort = store.value(QStringLiteral("port/last")).toString();
    for (int n = 1; n <= 5; ++n)
        settings.mapping[n - 1] = store.value(MappingKey(n)).toString().trimmed();
    return settings;
}

void SaveLastPort(const QString& key)
{
    QSettings store;
    store.setValue(QStringLiteral("port/last"), key);
}

void SavePortMapping(const QString (&mapping)[5])
{
    QSettings store;
    for (int n = 1; n <= 5; ++n) {
        const QString path = mapping[n - 1].trimmed();
        if (path.isEmpty())
            store.remove(MappingKey(n));
        else
            store.setValue(MappingKey(n), path);
    }
}

void ApplyPortMapping(const PortSettings& settings)
{
    for (int n = 1; n <= 5; ++n)
        SetPortMapping(n, settings.mapping[n - 1].toStdString());
}
