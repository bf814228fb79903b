// Desktop notifications through the freedesktop notification service on the
// session bus. Without a session bus or without the service nothing is sent
// and nothing fails; the alarm is still in the window and the event file.
#pragma once

#include <QString>

// True when a notification was handed to the service. The call does not
// wait for the service's answer, so a hung service cannot stall a poll.
bool NotifyDesktop(const QString& summary, const QString& body, bool urgent);
