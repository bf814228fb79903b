// The entries of the port drop-down: "COM1".."COM5" first, then every serial
// device of the machine, a USB adapter under its stable by-id path.
#pragma once

#include <QString>
#include <QVector>

// A device as the system lists it.
struct SerialDeviceInfo {
    QString portName;        // kernel name, "ttyUSB0"
    QString systemLocation;  // "/dev/ttyUSB0"
    QString description;     // "FT232R USB UART"; may be empty
};

struct PortEntry {
    QString caption;     // what the drop-down shows
    int comNumber = 0;   // 1..5 for "COM1".."COM5", 0 for a device
    QString devicePath;  // a device's path to open; empty for COMn
    // What the settings remember: "COM3", or the device path.
    QString Key() const { return comNumber ? caption : devicePath; }
};

constexpr int kComEntries = 5;

// COM1..COM5, then the devices in the order given. A device reached by a
// link in byIdFolder is opened through that link, which stays the same
// whichever ttyUSBn the adapter gets; it is shown as "description (ttyUSB0)".
QVector<PortEntry> BuildPortEntries(const QVector<SerialDeviceInfo>& devices,
                                    const QString& byIdFolder = QStringLiteral("/dev/serial/by-id"));

// The serial devices present now (Qt Serial Port's enumeration).
QVector<SerialDeviceInfo> ListSerialDevices();

// The index of the entry with this key, -1 when none has it.
int FindPortEntry(const QVector<PortEntry>& entries, const QString& key);
