#include "services/Watching.h"

#include <QSettings>

#include "monitoring/StatusMetrics.h"
#include "services/StatusEndpoint.h"

QString ListenSetting(const QStringList& arguments, const QString& fromSettings, bool* missingValue)
{
    QString value = fromSettings.trimmed();
    if (missingValue)
        *missingValue = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == QLatin1String("--listen")) {
            if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--"))) {
                value = arguments[++i];
            } else if (missingValue) {
                *missingValue = true;
            }
        } else if (a.startsWith(QLatin1String("--listen="))) {
            value = a.mid(9);
        }
    }
    return value;
}

QString StartWatchingEndpoint(const QStringList& arguments)
{
    const QString saved = QSettings().value(QStringLiteral("listen")).toString();
    bool missing = false;
    const QString listen = ListenSetting(arguments, saved, &missing);
    if (missing)
        return QStringLiteral("--listen: ожидается [АДРЕС:]ПОРТ, например --listen 9100");
    if (listen.isEmpty())
        return QString();
    const ListenAddress address = ParseListenAddress(listen);
    if (!address.ok)
        return QStringLiteral("Наблюдение не включено: --listen %1: %2").arg(listen, address.error);
    auto* endpoint = new StatusEndpoint;
    QString error;
    if (!endpoint->Start(address.address, address.port, &error)) {
        delete endpoint;
        return error;
    }
    Endpoint = endpoint;
    return QString();
}

void StopWatching()
{
    delete Endpoint;
    Endpoint = nullptr;
}
