// The operator's reason for a change, asked where "Причина изменения
// обязательна" is on.
#pragma once

#include <QString>

#include <functional>

class QWidget;

// True when the change may go ahead: no reason is required, or one was given
// (in *reason). Cancelled or empty: false, and nothing is to be done.
bool AskChangeReason(QWidget* parent, const QString& what, QString* reason);
// Tests answer instead of the dialog (null: the dialog again).
void SetChangeReasonAnswerForTests(std::function<bool(QString* reason)> answer);
