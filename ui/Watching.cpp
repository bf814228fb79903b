#include "ui/Watching.h"

#include <QSettings>

#include "monitoring/StatusMetrics.h"
#include "ui/AlarmCenter.h"
#include "ui/ErrorDisplay.h"
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

void StartWatching(const QStringList& arguments)
{
    if (AlarmCenter) {
        QStringList refused;
        AlarmCenter->ApplySettings(LoadAlarmSettings(&refused), false);
        // Said once, at start: the defaults stand until the dialog saves.
        if (!refused.isEmpty())
            ShowError(QStringLiteral("Настройки тревог в %1: неверные значения %2 заменены значениями по умолчанию")
                          .arg(QSettings().fileName(), refused.join(QStringLiteral(", "))));
    }
    const QString saved = QSettings().value(QStringLiteral("listen")).toString();
    bool missing = false;
    const QString listen = ListenSetting(arguments, saved, &missing);
    if (missing) {
        ShowError(QStringLiteral("--listen: ожидается [АДРЕС:]ПОРТ, например --listen 9100"));
        return;
    }
    if (listen.isEmpty())
        return;
    const ListenAddress address = ParseListenAddress(listen);
    if (!address.ok) {
        ShowError(QStringLiteral("Наблюдение не включено: --listen %1: %2").arg(listen, address.error));
        return;
    }
    auto* endpoint = new StatusEndpoint;
    QString error;
    if (!endpoint->Start(address.address, address.port, &error)) {
        delete endpoint;
        ShowError(error);
        return;
    }
    Endpoint = endpoint;
    if (AlarmCenter)
        Endpoint->Publish(AlarmCenter->Watched());
}

void StopWatching()
{
    delete Endpoint;
    Endpoint = nullptr;
}
