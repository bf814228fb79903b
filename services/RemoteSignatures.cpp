#include "services/RemoteSignatures.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

#include "services/ControlProtocol.h"
#include "services/RecorderClient.h"

RecorderSignatureBook::RecorderSignatureBook(RecorderClient& recorder, QString fallbackFolder, int waitMs)
    : m_recorder(recorder), m_fallbackFolder(std::move(fallbackFolder)), m_waitMs(waitMs)
{
}

bool RecorderSignatureBook::Of(const QString& sha256, const QString& subject, std::vector<Signature>* found,
                               QString* error)
{
    const QJsonObject reply = m_recorder.RequestAndWait(
        QStringLiteral("signatures"), {{QStringLiteral("sha256"), sha256}, {QStringLiteral("subject"), subject}},
        m_waitMs);
    if (!reply.value(QStringLiteral("ok")).toBool()) {
        *error = QStringLiteral("регистратор: %1").arg(RecorderErrorText(reply));
        return false;
    }
    found->clear();
    for (const QJsonValue& v : reply.value(QStringLiteral("signatures")).toArray()) {
        Signature s;
        if (SignatureFromJson(v.toObject(), &s))
            found->push_back(s);
    }
    return true;
}

bool RecorderSignatureBook::Journal(Signature* signature, QString* error)
{
    const QJsonObject reply = m_recorder.RequestAndWait(
        QStringLiteral("sign"),
        {{QStringLiteral("login"), signature->login},
         {QStringLiteral("subject"), signature->subject},
         {QStringLiteral("sha256"), signature->sha256},
         {QStringLiteral("meaning"), SignatureMeaningText(signature->meaning)}},
        m_waitMs);
    Signature journalled;
    if (!reply.value(QStringLiteral("ok")).toBool() ||
        !SignatureFromJson(reply.value(QStringLiteral("signature")).toObject(), &journalled)) {
        *error = QStringLiteral("не подписано: регистратор: %1").arg(RecorderErrorText(reply));
        return false;
    }
    *signature = journalled;
    return true;
}

bool RecorderSignatureBook::Note(const JournalEntry& entry)
{
    const QJsonObject reply = m_recorder.RequestAndWait(QStringLiteral("signnote"),
                                                        {{QStringLiteral("action"), JournalActionText(entry.action)},
                                                         {QStringLiteral("chamber"), entry.chamber},
                                                         {QStringLiteral("old"), entry.oldValue},
                                                         {QStringLiteral("new"), entry.newValue},
                                                         {QStringLiteral("outcome"), entry.outcome}},
                                                        m_waitMs);
    if (reply.value(QStringLiteral("ok")).toBool())
        return true;
    // What opens a change is refused with it, nothing done.
    if (JournalActionNeedsRecord(entry.action))
        return false;
    // The recorder did not take it: this desktop's own journal keeps it, with why.
    JournalEntry kept = entry;
    kept.outcome += QStringLiteral(" (регистратор не принял запись: %1)").arg(RecorderErrorText(reply));
    QString failure;
    AppendOrKeepJournal(m_fallbackFolder, kept, QDateTime::currentDateTime(), &failure);
    return false;
}

bool SigningNoteAction(const QString& text, JournalAction* action)
{
    for (JournalAction a : {JournalAction::SignatureFailure, JournalAction::ReportWritten,
                            JournalAction::SignedProgramChange})
        if (JournalActionText(a) == text) {
            *action = a;
            return true;
        }
    return false;
}
