// A report signed by two logins and verified: each version's SHA-256 in the
// journal, the signature block on the last page (read back with poppler),
// still PDF/A-1b; a changed byte and a foreign file not known; the command
// line without a display; the journal's chain whole after all of it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include "monitoring/ActionJournal.h"
#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "report/ReportPdf.h"
#include "services/Signature.h"
#include "ui/ReportSigning.h"
#include "ui/SignatureDialog.h"

namespace {

QString Tool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

PamOutcome ByTable(const QString&, const QString& password)
{
    return password == QLatin1String("right") ? PamOutcome{true, {}} : PamOutcome{false, QStringLiteral("Authentication failure")};
}

class ReportSignatureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
            GTEST_SKIP() << "no poppler-utils";
        SetJournalFolder(dir.path());
        SetJournalIdentityForTests(QStringLiteral("process-user"), QStringLiteral("lab-pc"));
        SetDesktopSignerForTests(std::make_unique<Signer>(dir.path(), ByTable));
        log = dir.filePath(QStringLiteral("КТХ№4 10.12.2026 10_00_00.txt"));
        QString text = LogHeaderText() + QStringLiteral("\r\n");
        for (int i = 0; i < 20; ++i)
            text += RecordLine(QTime(10, i, 30).toString(QStringLiteral("H:mm:ss")), TenthsText(250 + i, QStringLiteral(",")),
                               QStringLiteral("60,5"), QStringLiteral("0"), QStringLiteral("0(0)"), QStringLiteral("0(0)")) +
                    QStringLiteral("\r\n");
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(ToLogCodePage(text));
    }
    void TearDown() override
    {
        SetDesktopSignerForTests(nullptr);
        SetJournalIdentityForTests({}, {});
        SetJournalFolder(QString());
    }
    int Verify(const QString& pdf, QString* said)
    {
        said->clear();
        QTextStream out(said);
        return VerifyReportFile(pdf, dir.path(), out);
    }

    QTemporaryDir dir;
    QString log;
};

}  // namespace

TEST_F(ReportSignatureTest, SignedByTwoAndVerified)
{
    WrittenReport report;
    report.request.logPath = log;
    report.request.outPath = dir.filePath(QStringLiteral("отчёт.pdf"));
    report.request.settingsFolder = dir.path();
    QString error;
    ReportOutcome outcome;
    ASSERT_TRUE(WriteReportPdf(report.request, &error, &outcome)) << error.toStdString();
    report.number = outcome.number;
    report.sha256 = outcome.sha256;
    JournalReportWritten(report, 0);
    const QString unsignedCopy = dir.filePath(QStringLiteral("без подписей.pdf"));
    ASSERT_TRUE(QFile::copy(report.request.outPath, unsignedCopy));

    QString message;
    ASSERT_TRUE(SignReport(DesktopSigner(), QStringLiteral("ivanov"), &report, SignatureMeaning::Compiled,
                           QStringLiteral("right"), &message))
        << message.toStdString();
    const QString signedOnce = report.sha256;
    EXPECT_NE(signedOnce, outcome.sha256);
    // One login, one signature: "Проверил" needs a second person.
    EXPECT_FALSE(SignReport(DesktopSigner(), QStringLiteral("ivanov"), &report, SignatureMeaning::Checked,
                            QStringLiteral("right"), &message));
    EXPECT_TRUE(message.contains(QStringLiteral("другой человек"))) << message.toStdString();
    EXPECT_FALSE(SignReport(DesktopSigner(), QStringLiteral("petrov"), &report, SignatureMeaning::Checked,
                            QStringLiteral("wrong"), &message));
    EXPECT_EQ(report.sha256, signedOnce);
    ASSERT_TRUE(SignReport(DesktopSigner(), QStringLiteral("petrov"), &report, SignatureMeaning::Checked,
                           QStringLiteral("right"), &message))
        << message.toStdString();

    // The block on the last page names both, in order; the number is kept.
    const QString text = Tool(QStringLiteral("pdftotext"), {QStringLiteral("-raw"), report.request.outPath, QStringLiteral("-")});
    EXPECT_TRUE(text.contains(QStringLiteral("Электронные подписи"))) << text.toStdString();
    const int compiled = text.indexOf(QStringLiteral("Составил: ivanov (ivanov)"));
    const int checked = text.indexOf(QStringLiteral("Проверил: petrov (petrov)"));
    EXPECT_GE(compiled, 0) << text.toStdString();
    EXPECT_GT(checked, compiled);
    EXPECT_TRUE(text.contains(QStringLiteral("Отчёт № %1").arg(report.number)));
    const QString meta = Tool(QStringLiteral("pdfinfo"), {QStringLiteral("-meta"), report.request.outPath});
    EXPECT_TRUE(meta.contains(QStringLiteral("pdfaid:part=\"1\""))) << meta.toStdString();
    // The pictures in the guide, when asked for.
    const QByteArray pictures = qgetenv("CALVETRA_PICTURES");
    if (!pictures.isEmpty()) {
        const QDir to(QString::fromLocal8Bit(pictures));
        TSignatureDialog dialog(QStringLiteral("petrov"), QStringLiteral("Петров Пётр Петрович"),
                                ReportSubject(report.number), signedOnce);
        dialog.ComboMeaning->setCurrentIndex(1);
        dialog.EditPassword->setText(QStringLiteral("password"));
        dialog.adjustSize();
        dialog.grab().save(to.filePath(QStringLiteral("signature-dialog.png")));
        const int last = Tool(QStringLiteral("pdfinfo"), {report.request.outPath})
                             .section(QStringLiteral("Pages:"), 1)
                             .trimmed()
                             .section(u'\n', 0, 0)
                             .toInt();
        Tool(QStringLiteral("pdftoppm"), {QStringLiteral("-png"), QStringLiteral("-r"), QStringLiteral("60"),
                                          QStringLiteral("-f"), QString::number(last), QStringLiteral("-l"),
                                          QString::number(last), QStringLiteral("-singlefile"), report.request.outPath,
                                          to.filePath(QStringLiteral("signed-report-last-page"))});
    }

    // Each version is known, with the signatures it carries.
    QString said;
    EXPECT_EQ(Verify(unsignedCopy, &said), 0) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("подписей нет"))) << said.toStdString();
    EXPECT_EQ(Verify(report.request.outPath, &said), 0) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("отчёт №%1").arg(report.number))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("Составил: ivanov"))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("Проверил: petrov"))) << said.toStdString();

    // One byte changed, or a file the program never wrote: not known.
    QByteArray bytes;
    {
        QFile f(report.request.outPath);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        bytes = f.readAll();
    }
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
    const QString changed = dir.filePath(QStringLiteral("изменён.pdf"));
    {
        QFile f(changed);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    EXPECT_EQ(Verify(changed, &said), 1);
    EXPECT_TRUE(said.contains(QStringLiteral("не знает этого файла"))) << said.toStdString();
    EXPECT_EQ(Verify(log, &said), 1);

    // Three versions journalled, the chain whole.
    int versions = 0;
    const JournalCheck check = CheckJournal(JournalFileName(dir.path()), [&](const JournalRecord& r) {
        versions += r.action == JournalActionText(JournalAction::ReportWritten);
    });
    EXPECT_TRUE(check.ok) << check.problem.toStdString();
    EXPECT_EQ(versions, 3);

    // The command line, without a display.
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/calvetra");
    if (!QFile::exists(program))
        return;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    p.start(program, {QStringLiteral("--verify-report"), report.request.outPath, QStringLiteral("--journal"), dir.path()});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(QString::fromUtf8(p.readAllStandardOutput()).contains(QStringLiteral("Проверил: petrov")));
    p.start(program, {QStringLiteral("--verify-report"), changed, QStringLiteral("--journal"), dir.path()});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
}

// A report by --report is journalled with its hash where that program keeps
// its journal, and verified from there.
TEST_F(ReportSignatureTest, ReportsByTheCommandLineAreJournalled)
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/calvetra");
    if (!QFile::exists(program))
        GTEST_SKIP() << "no calvetra beside the tests";
    const QString out = dir.filePath(QStringLiteral("ночной.pdf"));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    p.setProcessEnvironment(env);
    p.start(program, {QStringLiteral("--report"), log, QStringLiteral("-o"), out});
    ASSERT_TRUE(p.waitForFinished(60000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const QString printed = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(printed.contains(QStringLiteral("SHA-256 "))) << printed.toStdString();
    // That program's journal is in its own folder, the data logs' beside it.
    QString said;
    QTextStream stream(&said);
    EXPECT_EQ(VerifyReportFile(out, LogFolder(), stream), 0) << said.toStdString();
}
