// Electronic signatures: PAM answering through a configuration of the tests'
// own (pam_permit, pam_deny, and the real pam_unix against a user the test
// makes where it runs as root), signatures in the journal by two logins, the
// rule of one signature a login, three wrong passwords and the lock.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include "monitoring/ActionJournal.h"
#include "services/Signature.h"
#include "support/Sanitizers.h"

namespace {

const QString kSha(64, u'a');
const QString kOtherSha(64, u'b');

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

class SignatureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SetJournalIdentityForTests(QStringLiteral("process-user"), QStringLiteral("lab-pc"));
    }
    void TearDown() override { SetJournalIdentityForTests({}, {}); }
    // A PAM service "calvetra" of the test's own, with these lines.
    QString PamConfig(const QByteArray& lines)
    {
        const QString confdir = dir.filePath(QStringLiteral("pam.d"));
        QDir().mkpath(confdir);
        WriteFile(QDir(confdir).filePath(QStringLiteral("calvetra")), lines);
        return confdir;
    }
    std::vector<JournalRecord> Records(JournalAction action) const
    {
        std::vector<JournalRecord> found;
        CheckJournal(JournalFileName(dir.path()), [&](const JournalRecord& r) {
            if (r.action == JournalActionText(action))
                found.push_back(r);
        });
        return found;
    }
    // Passwords by a table instead of PAM: "right" is everyone's.
    static PamOutcome ByTable(const QString&, const QString& password)
    {
        return password == QLatin1String("right") ? PamOutcome{true, {}} : PamOutcome{false, QStringLiteral("Authentication failure")};
    }

    QTemporaryDir dir;
};

}  // namespace

TEST_F(SignatureTest, PamAnswersByTheConfigurationGiven)
{
    const struct {
        const char* name;
        QByteArray lines;
        bool ok;
    } cases[] = {
        {"permit", "auth required pam_permit.so\naccount required pam_permit.so\n", true},
        {"deny", "auth required pam_deny.so\naccount required pam_permit.so\n", false},
        {"account refused", "auth required pam_permit.so\naccount required pam_deny.so\n", false},
    };
    for (const auto& c : cases) {
        const PamOutcome outcome = CheckPassword(QStringLiteral("root"), QStringLiteral("whatever"), QStringLiteral("calvetra"),
                                                 PamConfig(c.lines));
        EXPECT_EQ(outcome.ok, c.ok) << c.name << ": " << outcome.error.toStdString();
        EXPECT_EQ(outcome.error.isEmpty(), c.ok) << c.name;
    }
    // No such service in the folder: refused, in PAM's words.
    const PamOutcome none = CheckPassword(QStringLiteral("root"), QStringLiteral("x"), QStringLiteral("no-such-service"),
                                          PamConfig("auth required pam_permit.so\n"));
    EXPECT_FALSE(none.ok);
}

// The real module, against a user made for the test (as root only).
TEST_F(SignatureTest, PamUnixChecksARealPassword)
{
    if (::geteuid() != 0 || !QFile::exists(QStringLiteral("/usr/sbin/useradd")))
        GTEST_SKIP() << "needs root and useradd";
    // pam_unix brings libcrypt in by dlopen, after ThreadSanitizer resolved
    // its crypt() interceptor to nothing: the check would jump to address 0.
    if (kUnderThreadSanitizer)
        GTEST_SKIP() << "pam_unix's crypt() under ThreadSanitizer";
    const QString login = QStringLiteral("calvsig%1").arg(::getpid() % 100000);
    QProcess leftOver;
    leftOver.setStandardErrorFile(QProcess::nullDevice());
    leftOver.start(QStringLiteral("/usr/sbin/userdel"), {login});
    leftOver.waitForFinished(10000);
    ASSERT_EQ(QProcess::execute(QStringLiteral("/usr/sbin/useradd"),
                                {QStringLiteral("-M"), QStringLiteral("-c"), QStringLiteral("Петров Пётр"), login}),
              0);
    QProcess chpasswd;
    chpasswd.start(QStringLiteral("/usr/sbin/chpasswd"));
    chpasswd.write((login + QStringLiteral(":Верный-пароль-1\n")).toUtf8());
    chpasswd.closeWriteChannel();
    chpasswd.waitForFinished(10000);
    const bool made = chpasswd.exitCode() == 0;
    // nodelay: a wrong password is answered at once, not after pam_unix's 2 s.
    const QString confdir = PamConfig("auth required pam_unix.so nodelay\naccount required pam_unix.so\n");
    const PamOutcome right = CheckPassword(login, QStringLiteral("Верный-пароль-1"), QStringLiteral("calvetra"), confdir);
    const PamOutcome wrong = CheckPassword(login, QStringLiteral("неверный"), QStringLiteral("calvetra"), confdir);
    const QString fullName = FullNameOf(login);
    QProcess::execute(QStringLiteral("/usr/sbin/userdel"), {login});
    ASSERT_TRUE(made);
    EXPECT_TRUE(right.ok) << right.error.toStdString();
    EXPECT_FALSE(wrong.ok);
    EXPECT_EQ(fullName, QStringLiteral("Петров Пётр"));
}

// A report signed by two people, each under their own login, and what one
// login may not do; the journal's chain whole after all of it.
TEST_F(SignatureTest, TwoLoginsSignARecordEachOnce)
{
    Signer signer(dir.path(), ByTable);
    const qint64 now = 1'800'000'000'000;
    const QString subject = QStringLiteral("отчёт №7");
    const SignOutcome first = signer.Sign(QStringLiteral("ivanov"), subject, kSha, SignatureMeaning::Compiled,
                                          QStringLiteral("right"), now);
    ASSERT_TRUE(first.ok) << first.error.toStdString();
    const struct {
        const char* login;
        SignatureMeaning meaning;
        const char* refusal;  // empty: signed
    } tries[] = {
        {"ivanov", SignatureMeaning::Checked, "«Проверил» подписывает другой человек"},
        {"ivanov", SignatureMeaning::Compiled, "уже подписал это как «Составил»"},
        {"petrov", SignatureMeaning::Checked, ""},
        {"petrov", SignatureMeaning::Approved, "другой человек"},
        {"sidorov", SignatureMeaning::Approved, ""},
    };
    for (const auto& t : tries) {
        const SignOutcome outcome = signer.Sign(QString::fromLatin1(t.login), subject, kSha, t.meaning,
                                                QStringLiteral("right"), now);
        EXPECT_EQ(outcome.ok, *t.refusal == '\0') << t.login << ": " << outcome.error.toStdString();
        if (*t.refusal)
            EXPECT_TRUE(outcome.error.contains(QString::fromUtf8(t.refusal))) << outcome.error.toStdString();
    }
    // Another record is another matter.
    EXPECT_TRUE(signer.Sign(QStringLiteral("ivanov"), QStringLiteral("отчёт №8"), kOtherSha, SignatureMeaning::Checked,
                            QStringLiteral("right"), now)
                    .ok);

    const std::vector<Signature> signatures = SignaturesOf(dir.path(), kSha);
    ASSERT_EQ(signatures.size(), 3u);
    EXPECT_EQ(signatures[0].login, QStringLiteral("ivanov"));
    EXPECT_EQ(signatures[0].meaning, SignatureMeaning::Compiled);
    EXPECT_EQ(signatures[1].login, QStringLiteral("petrov"));
    EXPECT_EQ(signatures[1].meaning, SignatureMeaning::Checked);
    EXPECT_EQ(signatures[2].meaning, SignatureMeaning::Approved);
    EXPECT_EQ(signatures[0].subject, subject);
    EXPECT_FALSE(signatures[0].utc.isEmpty());
    EXPECT_TRUE(SignatureLine(signatures[1]).startsWith(QStringLiteral("Проверил: ")));
    EXPECT_TRUE(SignatureLine(signatures[1]).contains(QStringLiteral("(petrov)")));
    // In the journal under each signer's login, with the hash of what was signed.
    const std::vector<JournalRecord> records = Records(JournalAction::Signature);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1].operatorName, QStringLiteral("petrov"));
    EXPECT_TRUE(records[1].oldValue.endsWith(kSha));
    EXPECT_TRUE(records[1].newValue.startsWith(QStringLiteral("Проверил: ")));
    EXPECT_TRUE(CheckJournal(JournalFileName(dir.path())).ok);
}

// Three wrong passwords in a row lock signing for that login for five
// minutes, each failure and the lock journalled; others sign meanwhile.
TEST_F(SignatureTest, ThreeWrongPasswordsLockTheLogin)
{
    Signer signer(dir.path(), ByTable);
    const qint64 now = 1'800'000'000'000;
    const QString ivanov = QStringLiteral("ivanov");
    for (int i = 1; i <= 2; ++i) {
        const SignOutcome wrong = signer.Sign(ivanov, QStringLiteral("программа №2"), kSha, SignatureMeaning::Compiled,
                                              QStringLiteral("wrong"), now + i);
        EXPECT_FALSE(wrong.ok);
        EXPECT_FALSE(wrong.locked) << i;
    }
    // A right one between resets the count.
    EXPECT_TRUE(signer.Sign(ivanov, QStringLiteral("отчёт №1"), kOtherSha, SignatureMeaning::Compiled,
                            QStringLiteral("right"), now + 3)
                    .ok);
    for (int i = 1; i <= 3; ++i) {
        const SignOutcome wrong = signer.Sign(ivanov, QStringLiteral("программа №2"), kSha, SignatureMeaning::Compiled,
                                              QStringLiteral("wrong"), now + 10 + i);
        EXPECT_EQ(wrong.locked, i == 3) << i;
    }
    const SignOutcome locked = signer.Sign(ivanov, QStringLiteral("программа №2"), kSha, SignatureMeaning::Compiled,
                                           QStringLiteral("right"), now + 1000);
    EXPECT_FALSE(locked.ok);
    EXPECT_TRUE(locked.locked);
    EXPECT_TRUE(locked.error.contains(QStringLiteral("заблокирована"))) << locked.error.toStdString();
    EXPECT_TRUE(signer.Sign(QStringLiteral("petrov"), QStringLiteral("программа №2"), kSha, SignatureMeaning::Compiled,
                            QStringLiteral("right"), now + 1000)
                    .ok);
    const SignOutcome after = signer.Sign(ivanov, QStringLiteral("программа №2"), kSha, SignatureMeaning::Checked,
                                          QStringLiteral("right"), now + 13 + SigningGuard::kLockMs);
    EXPECT_TRUE(after.ok) << after.error.toStdString();

    const std::vector<JournalRecord> failures = Records(JournalAction::SignatureFailure);
    // 2 + 3 wrong passwords, the lock, the try while locked.
    ASSERT_EQ(failures.size(), 7u);
    for (const JournalRecord& r : failures)
        EXPECT_EQ(r.operatorName, ivanov);
    EXPECT_TRUE(failures[0].newValue.startsWith(QStringLiteral("неверный пароль (1 из 3)"))) << failures[0].newValue.toStdString();
    EXPECT_TRUE(failures[4].newValue.startsWith(QStringLiteral("неверный пароль (3 из 3)"))) << failures[4].newValue.toStdString();
    EXPECT_EQ(failures[5].newValue, QStringLiteral("подпись заблокирована на 5 минут"));
    EXPECT_EQ(failures[6].newValue, QStringLiteral("подпись заблокирована"));
    EXPECT_TRUE(CheckJournal(JournalFileName(dir.path())).ok);
}

// The whole act through PAM, with the tests' own service file.
TEST_F(SignatureTest, SignerAsksPam)
{
    const QString permit = PamConfig("auth required pam_permit.so\naccount required pam_permit.so\n");
    Signer signer(dir.path(), [permit](const QString& login, const QString& password) {
        return CheckPassword(login, password, QStringLiteral("calvetra"), permit);
    });
    const SignOutcome outcome = signer.Sign(CurrentLogin(), QStringLiteral("отчёт №1"), kSha,
                                            SignatureMeaning::Approved, QStringLiteral("x"), 0);
    EXPECT_TRUE(outcome.ok) << outcome.error.toStdString();
    EXPECT_EQ(outcome.signature.fullName, FullNameOf(CurrentLogin()));
    const QString deny = PamConfig("auth required pam_deny.so\n");
    Signer denied(dir.path(), [deny](const QString& login, const QString& password) {
        return CheckPassword(login, password, QStringLiteral("calvetra"), deny);
    });
    EXPECT_FALSE(denied.Sign(CurrentLogin(), QStringLiteral("отчёт №2"), kOtherSha, SignatureMeaning::Approved,
                             QStringLiteral("x"), 0)
                     .ok);
}
