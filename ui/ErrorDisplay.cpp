#include "ui/ErrorDisplay.h"

#include <QApplication>
#include <QMessageBox>

namespace {
std::function<void(const QString&)>& Hook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}
}  // namespace

QString ErrorDisplayText(const QString& message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + u'.';
    return message;
}

void SetErrorDisplayHook(std::function<void(const QString&)> hook) { Hook() = std::move(hook); }

void ShowError(const QString& message)
{
    QString text = ErrorDisplayText(message);
    // A NUL would end the text in the box; show it as the symbol for it.
    text.replace(QChar(0), QChar(0x2400));
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}
