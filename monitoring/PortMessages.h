// The operator's words about the port: why an open failed and what to do
// about it, built from the errno and the facts the link returns.
#pragma once

#include <QString>
#include <QVector>
#include <string>

#include "link/PortUnit.h"
#include "monitoring/PortList.h"

// For the error display: what to do about it, then port, path and the
// system's reason (UTF-8).
std::string PortOpenMessage(const PortOpenResult& result);

// What the port label says at start when the remembered choice (a device's
// path) is not among the entries now; empty when it is, or when nothing
// was remembered.
QString RememberedPortText(const QVector<PortEntry>& entries, const QString& lastPort);

// The journal's words for a port: its name, and the device behind it when
// that is another ("COM3 (/dev/ttyUSB0)"); empty for none.
QString PortText(const std::string& name, const std::string& device);
