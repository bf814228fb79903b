// What the program remembers between runs, in the platform's settings file
// (QSettings with the organisation and application names set at start-up;
// on Linux ~/.config/Calvetra/Calvetra.conf).
#pragma once

#include <QString>

class QSettings;

struct PortSettings {
    QString lastPort;    // "COM3" or a device path; empty before the first open
    QString mapping[5];  // the operator's device for COM1..COM5; empty: the default
};

PortSettings LoadPortSettings();
// The same from a given settings file.
PortSettings ReadPortSettings(QSettings& store);
void SaveLastPort(const QString& key);
void SavePortMapping(const QString (&mapping)[5]);

// Hands the mapping to the link (the environment still overrides it there).
void ApplyPortMapping(const PortSettings& settings);
