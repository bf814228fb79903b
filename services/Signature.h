// Electronic signatures: the signer is the logged-in user, the password is
// checked through PAM (service "calvetra"), and the signature is a record of
// the action journal, chained like every action: who (login and full name),
// when (the record's UTC and local time), what it means, and the SHA-256 of
// what was signed. Three wrong passwords in a row lock signing for that login.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "control/Checks.h"
#include "monitoring/ActionJournal.h"

// Reviewed: the audit trail read, up to a record ("Просмотрено").
enum class SignatureMeaning { Compiled, Checked, Approved, Reviewed };
// "Составил", "Проверил", "Утвердил", "Просмотрено".
QString SignatureMeaningText(SignatureMeaning meaning);
bool SignatureMeaningFromText(const QString& text, SignatureMeaning* meaning);
// The meanings a report or a program is signed with.
std::vector<SignatureMeaning> SignatureMeanings();
// "просмотр журнала действий, записи №1–№N": what a review signs (with record N's hash).
QString JournalReviewSubject(qint64 records);

// What PAM answered of a password.
struct PamOutcome {
    bool ok = false;
    QString error;  // PAM's words when not
};
// Whether password is login's, by the PAM service (its file in confdir when
// one is given, the system's /etc/pam.d otherwise): authentication and the
// account's validity both.
PamOutcome CheckPassword(const QString& login, const QString& password, const QString& service = QStringLiteral("calvetra"),
                         const QString& confdir = QString());

// The account's full name (the first field of its GECOS); the login when it has none.
QString FullNameOf(const QString& login);
// Who runs this process, by the kernel's user id.
QString CurrentLogin();

struct Signature {
    QString login;
    QString fullName;
    QString utc;    // as the journal record has them
    QString local;
    SignatureMeaning meaning = SignatureMeaning::Compiled;
    QString subject;  // "отчёт №3", "программа №2: …"
    QString sha256;   // of what was signed, 64 hex digits
};
// The journal entry of a signature: Было "<subject>; SHA-256 <hash>",
// Стало "<meaning>: <full name>", under the signer's login.
JournalEntry SignatureEntry(const Signature& signature);
// The signatures of what hashes to sha256 or (subject not empty) of that
// subject in any version, oldest first, from every journal file of the
// folder (the current one and the months before).
std::vector<Signature> SignaturesOf(const QString& folder, const QString& sha256, const QString& subject = QString());

// "отчёт №12-2026-0003": the subject a report's signatures carry.
QString ReportSubject(const QString& number);
// A report's versions are one record to sign (written again with each
// signature); a program or a review is its hash alone. The subject the
// one-signature-a-login rule looks up with what is signed: empty for the latter.
QString RecordSubjectOf(const QString& subject);
// The journal's values of a report written: Было "отчёт №N: <file>", Стало
// "SHA-256 <hash>" (and, for a signed version, its signatures' count).
JournalEntry ReportWrittenEntry(const QString& number, const QString& path, const QString& sha256, int signatures);
// `calvetra --verify-report FILE`: whether the file is exactly a version of
// a report the journal of folder knows, with the signatures it carries.
// Prints what it found; 0 when known, 1 when not.
int VerifyReportFile(const QString& path, const QString& folder, QTextStream& out);
// "Составил: Иванов Иван Иванович (ivanov), 11.12.2026 14:05:30": one line of a signature block.
QString SignatureLine(const Signature& signature);

// Empty when login may sign what the existing signatures are of with this
// meaning; else why not: one login signs one record once ("Проверил" needs
// a second person).
QString SignatureRefusal(const std::vector<Signature>& existing, const QString& login, SignatureMeaning meaning);

// Misuse: three wrong passwords in a row lock signing for that login for
// five minutes. Nothing else is held up.
class SigningGuard {
public:
    static constexpr int kFailuresToLock = 3;
    static constexpr qint64 kLockMs = 5 * 60 * 1000;
    // Locked now; *untilMs says till when.
    bool Locked(const QString& login, qint64 nowMs, qint64* untilMs = nullptr) const;
    // A wrong password; true when it locks the login.
    bool Failed(const QString& login, qint64 nowMs);
    void Succeeded(const QString& login);
    int FailuresInRow(const QString& login) const;

private:
    struct State {
        int failures = 0;
        qint64 lockedUntil = 0;
    };
    std::map<QString, State> m_states;
};

// A signature as the control socket carries it, and back (false when a field
// is missing or not one).
class QJsonObject;
QJsonObject SignatureJson(const Signature& signature);
bool SignatureFromJson(const QJsonObject& json, Signature* signature);

// A program is signed by the SHA-256 of its table as a program file holds it
// (ProgramToCsv, without signature lines), whatever slot it is written to.
QString ProgramSha256(const ProgramTexts& texts);
// "программа №2": the subject a program's signature names.
QString ProgramSubject(int number);
// The program's journal text (as without signatures) with the signatures
// it carries and its SHA-256, when it carries any.
QString SignedProgramJournalText(int number, const ProgramTexts& texts, const std::vector<Signature>& signatures);
// A program file's line of a signature ("Подпись;Составил;login;name;utc;local;sha"),
// as fields, and back; false when the fields are no signature line.
QStringList ProgramFileSignatureFields(const Signature& signature);
bool SignatureFromProgramFileFields(const QStringList& fields, Signature* signature);
// The signature lines of a program file loaded, checked: each must be of
// the table's hash (else the file was changed after signing) and known to
// the journal (the same login, meaning and time). The signatures in
// *checked; false with the first fault in *error.
bool CheckProgramFileSignatures(const QList<QStringList>& lines, const QString& tableSha,
                                const std::vector<Signature>& journalled, std::vector<Signature>* checked,
                                QString* error);

// Where signatures are journalled and looked up: the journal's folder of
// this process, or a recorder's journal over its control socket.
class SignatureBook {
public:
    virtual ~SignatureBook() = default;
    // As SignaturesOf; false with *error when they cannot be read.
    virtual bool Of(const QString& sha256, const QString& subject, std::vector<Signature>* found, QString* error) = 0;
    // Journals the signature (the rule checked again where it is kept);
    // its time and full name filled in where it is kept.
    virtual bool Journal(Signature* signature, QString* error) = 0;
    // A record of signing kept with the signatures: a failed try, a written
    // report, a signed program opened for change. Never lost: kept in
    // memory while it cannot be written. True when it is in the journal.
    virtual bool Note(const JournalEntry& entry) = 0;
};

// The journal of a folder.
class FolderSignatureBook : public SignatureBook {
public:
    explicit FolderSignatureBook(QString folder) : m_folder(std::move(folder)) {}
    bool Of(const QString& sha256, const QString& subject, std::vector<Signature>* found, QString* error) override;
    bool Journal(Signature* signature, QString* error) override;
    bool Note(const JournalEntry& entry) override;
    const QString& Folder() const { return m_folder; }

private:
    QString m_folder;
};

struct SignOutcome {
    bool ok = false;
    QString error;        // why not, in words for the operator
    bool locked = false;  // signing is locked for the login
    Signature signature;
};

// Signs for one process: the password check, the misuse guard and the journal.
class Signer {
public:
    using PasswordCheck = std::function<PamOutcome(const QString& login, const QString& password)>;
    // Records go to the journal of folder. The check is PAM's service
    // "calvetra" unless another is given (tests).
    explicit Signer(QString folder, PasswordCheck check = {});
    // Signatures go to book instead (a recorder's journal).
    Signer(std::shared_ptr<SignatureBook> book, PasswordCheck check = {});
    // Where the next signatures go; the misuse guard stays.
    void UseBook(std::shared_ptr<SignatureBook> book);
    // Told when three wrong passwords lock a login (the alarm marker shows it).
    using LockHook = std::function<void(const QString& login, qint64 untilMs)>;
    void OnLock(LockHook hook) { m_onLock = std::move(hook); }
    SignatureBook& Book() const { return *m_book; }
    std::shared_ptr<SignatureBook> SharedBook() const { return m_book; }

    // Checks, then journals: the lock, the password (each failure and the
    // lock journalled as "Попытка подписи не удалась"), the rule of one
    // signature a login, and the journal itself (a record that cannot be
    // written is no signature).
    SignOutcome Sign(const QString& login, const QString& subject, const QString& sha256, SignatureMeaning meaning,
                     const QString& password, qint64 nowMs);
    // The signature of a login whose password was checked elsewhere (the
    // recorder, for a desktop whose socket peer is the signer): the rule and
    // the journal only.
    SignOutcome Record(const QString& login, const QString& fullName, const QString& subject, const QString& sha256,
                       SignatureMeaning meaning);
    // The password of login checked with the lock and the journalled
    // failures, as for a signature, but nothing signed: the change of a
    // signed program. subject names what it is for.
    SignOutcome Confirm(const QString& login, const QString& subject, const QString& password, qint64 nowMs);
    // The signatures of what hashes to sha256 (or of subject), as the book has them.
    bool SignaturesOf(const QString& sha256, const QString& subject, std::vector<Signature>* found, QString* error) const;
    const SigningGuard& Guard() const { return m_guard; }

private:
    // The lock and the password; an outcome with ok when both let through.
    SignOutcome CheckLockAndPassword(const QString& login, const QString& subject, const QString& password, qint64 nowMs);
    // The signature's record, its rule already checked.
    SignOutcome Journal(const QString& login, const QString& fullName, const QString& subject, const QString& sha256,
                        SignatureMeaning meaning);
    void JournalFailure(const QString& login, const QString& subject, const QString& what);

    std::shared_ptr<SignatureBook> m_book;
    PasswordCheck m_check;
    SigningGuard m_guard;
    LockHook m_onLock;
};
