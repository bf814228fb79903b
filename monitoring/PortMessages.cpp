#include "monitoring/PortMessages.h"

#include <cerrno>
#include <cstring>

namespace {

std::string AccessAdvice(const DeviceAccess& access)
{
    if (!access.known)
        return std::string();
    // Joining a group helps only when the group may read and write.
    if (access.groupMayOpen)
        return ". Работать с портами может участник группы " + access.group + ": выполните «sudo usermod -aG " +
               access.group + " $USER» и войдите в систему заново";
    return ". Открыть этот порт может только его владелец (" + access.owner + "): у группы " + access.group +
           " нет прав на чтение и запись";
}

}  // namespace

std::string PortOpenMessage(const PortOpenResult& result)
{
    const std::string where = result.portName + " (" + result.devicePath + ")";
    const std::string reason = std::strerror(result.error);
    switch (result.error) {
    case EACCES:
    case EPERM:
        return "Нет доступа к порту " + where + ": " + reason + AccessAdvice(result.access);
    case EBUSY: {
        // Also what a lock or an exclusive flag held elsewhere comes to.
        const std::string inUse = "порт уже используется (" + reason + "). Закройте её и откройте порт снова";
        if (result.holderPid > 0)
            return "Порт " + where + " занят программой " + result.holderName + " (pid " +
                   std::to_string(result.holderPid) + "): " + inUse;
        return "Порт " + where + " занят другой программой: " + inUse;
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "Порт " + where + " не найден: адаптер не подключён (" + reason +
               "). Подключите адаптер и откройте порт снова";
    default:
        return "Не удалось открыть порт " + where + ": " + reason;
    }
}

QString RememberedPortText(const QVector<PortEntry>& entries, const QString& lastPort)
{
    if (lastPort.isEmpty() || FindPortEntry(entries, lastPort) >= 0)
        return QString();
    // The label is narrow: what is wrong first, the path after it (the whole
    // text is the label's tool tip).
    return QStringLiteral("Адаптер не подключён: %1 (выбран в прошлый раз)").arg(lastPort);
}

QString PortText(const std::string& name, const std::string& device)
{
    if (name.empty() && device.empty())
        return {};
    if (device.empty() || device == name)
        return QString::fromStdString(name);
    return QStringLiteral("%1 (%2)").arg(QString::fromStdString(name), QString::fromStdString(device));
}
