// The application's error display: an error raised inside a handler ends
// that handler and is shown in a modal box; the program goes on.
#pragma once

#include <QString>
#include <functional>

#include "monitoring/HandlerErrors.h"

// The text shown for an error message: "." is added when the last character
// has a code above that of ".", so a message ending in "." stays as it is.
QString ErrorDisplayText(const QString& message);

// Shows the message box captioned with the application title. Tests replace
// the box with a hook (an empty function restores the box).
void ShowError(const QString& message);
void SetErrorDisplayHook(std::function<void(const QString&)> hook);

// Runs a handler body; an exception ends it and goes to the error display.
template <class Body>
void Guarded(Body&& body)
{
    try {
        body();
    } catch (const EHandlerError& error) {
        ShowError(QString::fromUtf8(error.text.data(), static_cast<qsizetype>(error.text.size())));
    } catch (const std::exception& error) {
        ShowError(QString::fromUtf8(error.what()));
    }
}
