#include "services/Signature.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>

#include "control/Commands.h"
#include "control/ProgramFile.h"

#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

namespace {

const QString kSha = QStringLiteral("; SHA-256 ");

struct Conversation {
    QByteArray password;
};

// PAM asks for the password (with echo off, as a terminal would); anything
// it only says is taken without an answer.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses, void* data)
{
    if (count <= 0 || count > PAM_MAX_NUM_MSG)
        return PAM_CONV_ERR;
    auto* answers = static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (!answers)
        return PAM_BUF_ERR;
    const auto* conversation = static_cast<const Conversation*>(data);
    for (int i = 0; i < count; ++i) {
        const int style = messages[i]->msg_style;
        if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
            answers[i].resp = ::strdup(conversation->password.constData());
            if (!answers[i].resp) {
                for (int j = 0; j < i; ++j)
                    std::free(answers[j].resp);
                std::free(answers);
                return PAM_BUF_ERR;
            }
        }
    }
    *responses = answers;
    return PAM_SUCCESS;
}

QString TimeText(const QString& local)
{
    const QDateTime when = QDateTime::fromString(local, Qt::ISODateWithMs);
    return when.isValid() ? when.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")) : local;
}

}  // namespace

QString SignatureMeaningText(SignatureMeaning meaning)
{
    switch (meaning) {
    case SignatureMeaning::Compiled: return QStringLiteral("Составил");
    case SignatureMeaning::Checked: return QStringLiteral("Проверил");
    case SignatureMeaning::Approved: return QStringLiteral("Утвердил");
    case SignatureMeaning::Reviewed: return QStringLiteral("Просмотрено");
    }
    return {};
}

QString JournalReviewSubject(qint64 records)
{
    return QStringLiteral("просмотр журнала действий, записи №1–№%1").arg(records);
}

bool SignatureMeaningFromText(const QString& text, SignatureMeaning* meaning)
{
    for (SignatureMeaning m : {SignatureMeaning::Compiled, SignatureMeaning::Checked, SignatureMeaning::Approved,
                               SignatureMeaning::Reviewed})
        if (SignatureMeaningText(m) == text) {
            *meaning = m;
            return true;
        }
    return false;
}

std::vector<SignatureMeaning> SignatureMeanings()
{
    return {SignatureMeaning::Compiled, SignatureMeaning::Checked, SignatureMeaning::Approved};
}

PamOutcome CheckPassword(const QString& login, const QString& password, const QString& service, const QString& confdir)
{
    PamOutcome outcome;
    Conversation conversation{password.toUtf8()};
    const pam_conv conv{Converse, &conversation};
    pam_handle_t* handle = nullptr;
    const QByteArray user = login.toLocal8Bit();
    const QByteArray name = service.toLocal8Bit();
    const QByteArray dir = confdir.toLocal8Bit();
    int status = confdir.isEmpty() ? pam_start(name.constData(), user.constData(), &conv, &handle)
                                   : pam_start_confdir(name.constData(), user.constData(), &conv, dir.constData(), &handle);
    if (status != PAM_SUCCESS) {
        outcome.error = QStringLiteral("PAM не запускается: %1").arg(QString::fromLocal8Bit(pam_strerror(handle, status)));
        if (handle)
            pam_end(handle, status);
        return outcome;
    }
    status = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    outcome.ok = status == PAM_SUCCESS;
    if (!outcome.ok)
        outcome.error = QString::fromLocal8Bit(pam_strerror(handle, status));
    pam_end(handle, status);
    // The password is not kept beyond the check.
    conversation.password.fill('\0');
    return outcome;
}

QString FullNameOf(const QString& login)
{
    const QByteArray name = login.toLocal8Bit();
    const passwd* pw = ::getpwnam(name.constData());
    if (!pw || !pw->pw_gecos)
        return login;
    const QString full = QString::fromLocal8Bit(pw->pw_gecos).section(u',', 0, 0).trimmed();
    return full.isEmpty() ? login : full;
}

QString CurrentLogin()
{
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::geteuid());
}

JournalEntry SignatureEntry(const Signature& signature)
{
    JournalEntry entry;
    entry.action = JournalAction::Signature;
    entry.oldValue = signature.subject + kSha + signature.sha256;
    entry.newValue = QStringLiteral("%1: %2").arg(SignatureMeaningText(signature.meaning), signature.fullName);
    entry.outcome = QStringLiteral("подписано");
    entry.operatorName = signature.login;
    return entry;
}

namespace {
// Every record of the folder's journal files, oldest file first.
void EachJournalRecord(const QString& folder, const std::function<void(const JournalRecord&)>& each)
{
    QStringList files =
        QDir(folder).entryList({QStringLiteral("Журнал действий [0-9][0-9][0-9][0-9]-[0-9][0-9]*.csv")}, QDir::Files,
                               QDir::Name);
    for (QString& file : files)
        file = QDir(folder).filePath(file);
    files << JournalFileName(folder);
    for (const QString& file : files)
        if (QFileInfo::exists(file))
            CheckJournal(file, each);
}
}  // namespace

std::vector<Signature> SignaturesOf(const QString& folder, const QString& sha256, const QString& subject)
{
    std::vector<Signature> found;
    const QString action = JournalActionText(JournalAction::Signature);
    EachJournalRecord(folder, [&](const JournalRecord& r) {
        const int at = r.oldValue.lastIndexOf(kSha);
        if (r.action != action || at < 0)
            return;
        const QString signedSha = r.oldValue.mid(at + kSha.size());
        const QString signedSubject = r.oldValue.left(at);
        if (signedSha != sha256 && (subject.isEmpty() || signedSubject != subject))
            return;
        Signature s;
        s.login = r.operatorName;
        s.utc = r.utc;
        s.local = r.local;
        s.subject = signedSubject;
        s.sha256 = signedSha;
        const int colon = r.newValue.indexOf(QStringLiteral(": "));
        if (colon < 0 || !SignatureMeaningFromText(r.newValue.left(colon), &s.meaning))
            return;
        s.fullName = r.newValue.mid(colon + 2);
        found.push_back(s);
    });
    return found;
}

QString ReportSubject(const QString& number) { return QStringLiteral("отчёт №%1").arg(number); }

QString RecordSubjectOf(const QString& subject)
{
    return subject.startsWith(ReportSubject(QString())) ? subject : QString();
}

JournalEntry ReportWrittenEntry(const QString& number, const QString& path, const QString& sha256, int signatures)
{
    JournalEntry entry;
    entry.action = JournalAction::ReportWritten;
    entry.oldValue = QStringLiteral("%1: %2").arg(ReportSubject(number), path);
    entry.newValue = QStringLiteral("SHA-256 %1").arg(sha256);
    if (signatures > 0)
        entry.newValue += QStringLiteral(", подписей %1").arg(signatures);
    entry.outcome = JournalOutcomeDone();
    return entry;
}

int VerifyReportFile(const QString& path, const QString& folder, QTextStream& out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        out << path << QStringLiteral(": не открывается: %1").arg(file.errorString()) << '\n';
        out.flush();
        return 1;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    const QString sha = QString::fromLatin1(hash.result().toHex());
    // The version the journal knows by this hash: its report and when it was written.
    const QString action = JournalActionText(JournalAction::ReportWritten);
    const QString shaText = QStringLiteral("SHA-256 %1").arg(sha);
    JournalRecord version;
    bool known = false;
    EachJournalRecord(folder, [&](const JournalRecord& r) {
        if (!known && r.action == action && (r.newValue == shaText || r.newValue.startsWith(shaText + u','))) {
            version = r;
            known = true;
        }
    });
    if (!known) {
        out << path
            << QStringLiteral(": журнал действий не знает этого файла (SHA-256 %1): он изменён или записан не этой "
                              "программой")
                   .arg(sha)
            << '\n';
        out.flush();
        return 1;
    }
    const QString subject = version.oldValue.section(QStringLiteral(": "), 0, 0);
    out << path << QStringLiteral(": %1, версия записана %2 (%3), SHA-256 %4")
                       .arg(subject, TimeText(version.local), version.operatorName, sha)
        << '\n';
    // The signatures this version carries: those made before it was written.
    std::vector<Signature> carried;
    for (const Signature& s : SignaturesOf(folder, QString(), subject))
        if (s.utc <= version.utc)
            carried.push_back(s);
    if (carried.empty())
        out << QStringLiteral("  подписей нет") << '\n';
    for (const Signature& s : carried)
        out << QStringLiteral("  ") << SignatureLine(s) << '\n';
    out.flush();
    return 0;
}

QString SignatureLine(const Signature& signature)
{
    return QStringLiteral("%1: %2 (%3), %4")
        .arg(SignatureMeaningText(signature.meaning), signature.fullName, signature.login, TimeText(signature.local));
}

QString SignatureRefusal(const std::vector<Signature>& existing, const QString& login, SignatureMeaning meaning)
{
    for (const Signature& s : existing) {
        if (s.login != login)
            continue;
        if (s.meaning == meaning)
            return QStringLiteral("%1 уже подписал это как «%2»").arg(login, SignatureMeaningText(meaning));
        return QStringLiteral("%1 уже подписал это как «%2»; «%3» подписывает другой человек")
            .arg(login, SignatureMeaningText(s.meaning), SignatureMeaningText(meaning));
    }
    return QString();
}

bool SigningGuard::Locked(const QString& login, qint64 nowMs, qint64* untilMs) const
{
    const auto it = m_states.find(login);
    if (it == m_states.end() || it->second.lockedUntil <= nowMs)
        return false;
    if (untilMs)
        *untilMs = it->second.lockedUntil;
    return true;
}

bool SigningGuard::Failed(const QString& login, qint64 nowMs)
{
    State& state = m_states[login];
    if (state.lockedUntil > 0 && state.lockedUntil <= nowMs) {
        // A lock that ran out: the count begins again.
        state.lockedUntil = 0;
        state.failures = 0;
    }
    if (++state.failures < kFailuresToLock)
        return false;
    state.failures = 0;
    state.lockedUntil = nowMs + kLockMs;
    return true;
}

void SigningGuard::Succeeded(const QString& login) { m_states.erase(login); }

int SigningGuard::FailuresInRow(const QString& login) const
{
    const auto it = m_states.find(login);
    return it == m_states.end() ? 0 : it->second.failures;
}

bool FolderSignatureBook::Of(const QString& sha256, const QString& subject, std::vector<Signature>* found, QString*)
{
    *found = SignaturesOf(m_folder, sha256, subject);
    return true;
}

bool FolderSignatureBook::Journal(Signature* signature, QString* error)
{
    const QString refused = SignatureRefusal(SignaturesOf(m_folder, signature->sha256, RecordSubjectOf(signature->subject)),
                                             signature->login, signature->meaning);
    if (!refused.isEmpty()) {
        *error = refused;
        return false;
    }
    if (signature->fullName.isEmpty())
        signature->fullName = signature->login;
    try {
        const JournalRecord record = AppendAfterKeptJournal(m_folder, SignatureEntry(*signature));
        signature->utc = record.utc;
        signature->local = record.local;
    } catch (const std::exception& e) {
        *error = QStringLiteral("не подписано: журнал действий не записывается: %1").arg(QString::fromUtf8(e.what()));
        return false;
    }
    return true;
}

bool FolderSignatureBook::Note(const JournalEntry& entry)
{
    QString failure;
    return AppendOrKeepJournal(m_folder, entry, QDateTime::currentDateTime(), &failure);
}

Signer::Signer(QString folder, PasswordCheck check)
    : Signer(std::make_shared<FolderSignatureBook>(std::move(folder)), std::move(check))
{
}

Signer::Signer(std::shared_ptr<SignatureBook> book, PasswordCheck check) : m_book(std::move(book)), m_check(std::move(check))
{
    if (!m_check)
        m_check = [](const QString& login, const QString& password) { return CheckPassword(login, password); };
}

void Signer::UseBook(std::shared_ptr<SignatureBook> book) { m_book = std::move(book); }

bool Signer::SignaturesOf(const QString& sha256, const QString& subject, std::vector<Signature>* found,
                          QString* error) const
{
    return m_book->Of(sha256, subject, found, error);
}

void Signer::JournalFailure(const QString& login, const QString& subject, const QString& what)
{
    JournalEntry entry;
    entry.action = JournalAction::SignatureFailure;
    entry.oldValue = subject;
    entry.newValue = what;
    entry.outcome = QStringLiteral("отказано");
    entry.operatorName = login;
    // Kept in memory while the journal cannot be written: a failure is never lost.
    m_book->Note(entry);
}

SignOutcome Signer::CheckLockAndPassword(const QString& login, const QString& subject, const QString& password,
                                         qint64 nowMs)
{
    SignOutcome outcome;
    qint64 until = 0;
    if (m_guard.Locked(login, nowMs, &until)) {
        outcome.locked = true;
        outcome.error = QStringLiteral("подпись для %1 заблокирована до %2 после трёх неверных паролей")
                            .arg(login, QDateTime::fromMSecsSinceEpoch(until).toString(QStringLiteral("HH:mm:ss")));
        JournalFailure(login, subject, QStringLiteral("подпись заблокирована"));
        return outcome;
    }
    const PamOutcome checked = m_check(login, password);
    if (!checked.ok) {
        const bool locks = m_guard.Failed(login, nowMs);
        const int failures = locks ? SigningGuard::kFailuresToLock : m_guard.FailuresInRow(login);
        JournalFailure(login, subject,
                       QStringLiteral("неверный пароль (%1 из %2): %3")
                           .arg(failures)
                           .arg(SigningGuard::kFailuresToLock)
                           .arg(checked.error));
        outcome.error = QStringLiteral("пароль не подошёл: %1").arg(checked.error);
        if (locks) {
            outcome.locked = true;
            JournalFailure(login, subject, QStringLiteral("подпись заблокирована на 5 минут"));
            outcome.error += QStringLiteral("; подпись заблокирована на 5 минут");
            qint64 until = 0;
            m_guard.Locked(login, nowMs, &until);
            if (m_onLock)
                m_onLock(login, until);
        }
        return outcome;
    }
    m_guard.Succeeded(login);
    outcome.ok = true;
    return outcome;
}

SignOutcome Signer::Sign(const QString& login, const QString& subject, const QString& sha256, SignatureMeaning meaning,
                         const QString& password, qint64 nowMs)
{
    SignOutcome outcome;
    if (m_guard.Locked(login, nowMs))
        return CheckLockAndPassword(login, subject, password, nowMs);
    // The rule first: a second signature of the same login needs no password
    // to be refused. A report's versions are one record.
    std::vector<Signature> existing;
    QString error;
    if (!m_book->Of(sha256, RecordSubjectOf(subject), &existing, &error)) {
        outcome.error = QStringLiteral("не подписано: подписи не читаются: %1").arg(error);
        return outcome;
    }
    const QString refused = SignatureRefusal(existing, login, meaning);
    if (!refused.isEmpty()) {
        outcome.error = refused;
        return outcome;
    }
    outcome = CheckLockAndPassword(login, subject, password, nowMs);
    if (!outcome.ok)
        return outcome;
    return Journal(login, FullNameOf(login), subject, sha256, meaning);
}

SignOutcome Signer::Confirm(const QString& login, const QString& subject, const QString& password, qint64 nowMs)
{
    return CheckLockAndPassword(login, subject, password, nowMs);
}

SignOutcome Signer::Record(const QString& login, const QString& fullName, const QString& subject,
                           const QString& sha256, SignatureMeaning meaning)
{
    return Journal(login, fullName, subject, sha256, meaning);
}

SignOutcome Signer::Journal(const QString& login, const QString& fullName, const QString& subject,
                            const QString& sha256, SignatureMeaning meaning)
{
    SignOutcome outcome;
    Signature signature;
    signature.login = login;
    signature.fullName = fullName.isEmpty() ? login : fullName;
    signature.meaning = meaning;
    signature.subject = subject;
    signature.sha256 = sha256;
    QString error;
    if (!m_book->Journal(&signature, &error)) {
        outcome.error = error;
        return outcome;
    }
    outcome.ok = true;
    outcome.signature = signature;
    return outcome;
}

QJsonObject SignatureJson(const Signature& s)
{
    return {{QStringLiteral("login"), s.login},        {QStringLiteral("fullName"), s.fullName},
            {QStringLiteral("utc"), s.utc},            {QStringLiteral("local"), s.local},
            {QStringLiteral("meaning"), SignatureMeaningText(s.meaning)},
            {QStringLiteral("subject"), s.subject},    {QStringLiteral("sha256"), s.sha256}};
}

bool SignatureFromJson(const QJsonObject& json, Signature* signature)
{
    Signature s;
    for (auto [key, into] : {std::pair<const char*, QString*>{"login", &s.login},
                             {"fullName", &s.fullName},
                             {"utc", &s.utc},
                             {"local", &s.local},
                             {"subject", &s.subject},
                             {"sha256", &s.sha256}}) {
        const QJsonValue v = json.value(QLatin1String(key));
        if (!v.isString())
            return false;
        *into = v.toString();
    }
    if (!SignatureMeaningFromText(json.value(QStringLiteral("meaning")).toString(), &s.meaning) || s.login.isEmpty())
        return false;
    *signature = s;
    return true;
}

QString ProgramSha256(const ProgramTexts& texts)
{
    return QString::fromLatin1(QCryptographicHash::hash(ProgramToCsv(texts), QCryptographicHash::Sha256).toHex());
}

QString ProgramSubject(int number) { return QStringLiteral("программа №%1").arg(number); }

QString SignedProgramJournalText(int number, const ProgramTexts& texts, const std::vector<Signature>& signatures)
{
    QString text = ProgramJournalText(number, texts);
    if (signatures.empty())
        return text;
    QStringList lines;
    for (const Signature& s : signatures)
        lines << SignatureLine(s);
    return text + QStringLiteral("; SHA-256 %1; подписи: %2").arg(ProgramSha256(texts), lines.join(QStringLiteral("; ")));
}

namespace {
const QString kSignatureField = QStringLiteral("Подпись");
// A program file's fields are separated by ";": a name that holds one keeps
// the file readable.
QString FieldText(QString text) { return text.replace(u';', u','); }
}  // namespace

QStringList ProgramFileSignatureFields(const Signature& s)
{
    return {kSignatureField, SignatureMeaningText(s.meaning), FieldText(s.login), FieldText(s.fullName), s.utc,
            s.local, s.sha256};
}

bool SignatureFromProgramFileFields(const QStringList& fields, Signature* signature)
{
    if (fields.size() != 7 || fields[0].trimmed() != kSignatureField)
        return false;
    Signature s;
    if (!SignatureMeaningFromText(fields[1].trimmed(), &s.meaning))
        return false;
    s.login = fields[2].trimmed();
    s.fullName = fields[3].trimmed();
    s.utc = fields[4].trimmed();
    s.local = fields[5].trimmed();
    s.sha256 = fields[6].trimmed().toLower();
    if (s.login.isEmpty() || s.sha256.size() != 64)
        return false;
    *signature = s;
    return true;
}

bool CheckProgramFileSignatures(const QList<QStringList>& lines, const QString& tableSha,
                                const std::vector<Signature>& journalled, std::vector<Signature>* checked,
                                QString* error)
{
    std::vector<Signature> result;
    for (const QStringList& fields : lines) {
        Signature s;
        if (!SignatureFromProgramFileFields(fields, &s)) {
            *error = QStringLiteral("строка подписи «%1» не читается").arg(fields.join(u';'));
            return false;
        }
        if (s.sha256 != tableSha) {
            *error = QStringLiteral("подпись «%1» дана другой программе (SHA-256 %2, а у программы файла %3): файл "
                                    "изменён после подписи")
                         .arg(SignatureLine(s), s.sha256, tableSha);
            return false;
        }
        const auto known = std::find_if(journalled.begin(), journalled.end(), [&](const Signature& j) {
            return j.login == s.login && j.meaning == s.meaning && j.utc == s.utc && j.sha256 == s.sha256;
        });
        if (known == journalled.end()) {
            *error = QStringLiteral("подпись «%1» журналу действий неизвестна").arg(SignatureLine(s));
            return false;
        }
        result.push_back(*known);
    }
    *checked = result;
    return true;
}
