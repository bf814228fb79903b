#include "ui/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

bool NotifyDesktop(const QString& summary, const QString& body, bool urgent)
{
    static const QString kService = QStringLiteral("org.freedesktop.Notifications");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(kService);
    if (!registered.isValid() || !registered.value())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/Notifications"),
                                                      kService, QStringLiteral("Notify"));
    // Urgency 2 (critical) keeps an alarm on screen until the operator sees it.
    QVariantMap hints{{QStringLiteral("urgency"), QVariant::fromValue<uchar>(urgent ? 2 : 1)}};
    call << QStringLiteral("Calvetra") << uint(0) << QStringLiteral("dialog-warning") << summary << body
         << QStringList() << hints << int(urgent ? 0 : -1);
    return bus.send(call);
}
