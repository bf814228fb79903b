// Signatures of a desktop attached to a recorder: the password is checked
// on the desktop (PAM as the logged-in user), the signature and every record
// of signing go to the recorder's journal over the control socket, which
// takes them only under the socket peer's own login.
#pragma once

#include "services/Signature.h"

class RecorderClient;

class RecorderSignatureBook : public SignatureBook {
public:
    // fallbackFolder keeps the records of signing the recorder cannot take
    // (it is gone): a failed try is never lost.
    RecorderSignatureBook(RecorderClient& recorder, QString fallbackFolder, int waitMs = 10000);
    bool Of(const QString& sha256, const QString& subject, std::vector<Signature>* found, QString* error) override;
    bool Journal(Signature* signature, QString* error) override;
    bool Note(const JournalEntry& entry) override;

private:
    RecorderClient& m_recorder;
    QString m_fallbackFolder;
    int m_waitMs;
};

// The records of signing the recorder journals for a client ("signnote"):
// a failed try, a written report, a signed program opened for change.
bool SigningNoteAction(const QString& text, JournalAction* action);
