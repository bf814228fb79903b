#include "ui/ChangeReason.h"

#include <QInputDialog>

#include "services/JournalRecorder.h"

namespace {
std::function<bool(QString*)>& TestAnswer()
{
    static std::function<bool(QString*)> answer;
    return answer;
}
}  // namespace

void SetChangeReasonAnswerForTests(std::function<bool(QString* reason)> answer) { TestAnswer() = std::move(answer); }

bool AskChangeReason(QWidget* parent, const QString& what, QString* reason)
{
    reason->clear();
    if (!ChangeReasonRequired())
        return true;
    bool ok = false;
    if (TestAnswer()) {
        ok = TestAnswer()(reason);
    } else {
        *reason = QInputDialog::getText(parent, QStringLiteral("Причина изменения"),
                                        QStringLiteral("%1: причина изменения (обязательна)").arg(what),
                                        QLineEdit::Normal, QString(), &ok);
    }
    *reason = reason->simplified();
    return ok && !reason->isEmpty();
}
