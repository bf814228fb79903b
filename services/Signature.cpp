#include "services/Signature.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QDir>
#include <QFileInfo>

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

Signer::Signer(QString folder, PasswordCheck check) : m_folder(std::move(folder)), m_check(std::move(check))
{
    if (!m_check)
        m_check = [](const QString& login, const QString& password) { return CheckPassword(login, password); };
}

void Signer::JournalFailure(const QString& login, const QString& subject, const QString& what)
{
    JournalEntry entry;
    entry.action = JournalAction::SignatureFailure;
    entry.oldValue = subject;
    entry.newValue = what;
    entry.outcome = JournalOutcomeRefused();
    entry.operatorName = login;
    // Kept in memory while the journal cannot be written: a failure is never lost.
    QString failure;
    AppendOrKeepJournal(m_folder, entry, QDateTime::currentDateTime(), &failure);
}

SignOutcome Signer::Sign(const QString& login, const QString& subject, const QString& sha256, SignatureMeaning meaning,
                         const QString& password, qint64 nowMs)
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
    // The rule first: a second signature of the same login needs no password
    // to be refused. A report's versions are one record.
    const QString refused = SignatureRefusal(SignaturesOf(m_folder, sha256, subject), login, meaning);
    if (!refused.isEmpty()) {
        outcome.error = refused;
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
        }
        return outcome;
    }
    m_guard.Succeeded(login);
    return Journal(login, FullNameOf(login), subject, sha256, meaning);
}

SignOutcome Signer::Record(const QString& login, const QString& fullName, const QString& subject,
                           const QString& sha256, SignatureMeaning meaning)
{
    const QString refused = SignatureRefusal(SignaturesOf(m_folder, sha256, subject), login, meaning);
    if (!refused.isEmpty()) {
        SignOutcome outcome;
        outcome.error = refused;
        return outcome;
    }
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
    try {
        const JournalRecord record = AppendAfterKeptJournal(m_folder, SignatureEntry(signature));
        signature.utc = record.utc;
        signature.local = record.local;
    } catch (const std::exception& e) {
        outcome.error = QStringLiteral("не подписано: журнал действий не записывается: %1").arg(QString::fromUtf8(e.what()));
        return outcome;
    }
    outcome.ok = true;
    outcome.signature = signature;
    return outcome;
}
