#include "monitoring/PortList.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

QVector<PortEntry> BuildPortEntries(const QVector<SerialDeviceInfo>& devices, const QString& byIdFolder)
{
    QVector<PortEntry> entries;
    for (int n = 1; n <= kComEntries; ++n)
        entries.push_back({QStringLiteral("COM%1").arg(n), n, QString()});

    // by-id links and the devices they lead to.
    QVector<QPair<QString, QString>> links;
    const QDir folder(byIdFolder);
    for (const QFileInfo& link : folder.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        links.push_back({link.absoluteFilePath(), link.canonicalFilePath()});

    for (const SerialDeviceInfo& device : devices) {
        PortEntry entry;
        entry.devicePath = device.systemLocation;
        const QString target = QFileInfo(device.systemLocation).canonicalFilePath();
        for (const auto& link : links)
            if (!target.isEmpty() && link.second == target) {
                entry.devicePath = link.first;
                break;
            }
        const QString description = device.description.trimmed();
        entry.caption = description.isEmpty() ? device.portName
                                              : QStringLiteral("%1 (%2)").arg(description, device.portName);
        entries.push_back(entry);
    }
    return entries;
}

QVector<SerialDeviceInfo> ListSerialDevices()
{
    QVector<SerialDeviceInfo> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        devices.push_back({info.portName(), info.systemLocation(), info.description()});
    return devices;
}

int FindPortEntry(const QVector<PortEntry>& entries, const QString& key)
{
    if (key.isEmpty())
        return -1;
    for (int i = 0; i < entries.size(); ++i)
        if (entries[i].Key() == key)
            return i;
    return -1;
}
