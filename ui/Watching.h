// Start-up of what runs beside the windows: the alarm settings from the
// settings file and, when asked for, the endpoint for watchers elsewhere.
#pragma once

#include <QString>
#include <QStringList>

// The value of "--listen VALUE" or "--listen=VALUE" in the program's
// arguments (the last one wins), else the "listen" key of the settings file,
// else empty (watching off). missingValue: "--listen" came without a value.
QString ListenSetting(const QStringList& arguments, const QString& fromSettings, bool* missingValue);

// Loads the alarm settings and starts the endpoint if the command line or
// the settings file asks for it. A bad address or a port in use goes to
// the error display; the program runs on without the endpoint.
void StartWatching(const QStringList& arguments);
void StopWatching();
