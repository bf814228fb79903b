// Start-up of the endpoint for watchers elsewhere, when the command line or
// the settings file asks for it.
#pragma once

#include <QString>
#include <QStringList>

// The value of "--listen VALUE" or "--listen=VALUE" in the program's
// arguments (the last one wins), else the "listen" key of the settings file,
// else empty (watching off). missingValue: "--listen" came without a value.
QString ListenSetting(const QStringList& arguments, const QString& fromSettings, bool* missingValue);

// Starts the application's endpoint (Endpoint) if asked for. Returns what
// the operator is to be told when it cannot be (a bad address, a port in
// use), empty otherwise; the program runs on without the endpoint.
QString StartWatchingEndpoint(const QStringList& arguments);
void StopWatching();
