// Signed programs: a program signed in the control window is locked, opened
// for change only with the password (journalled), unsigned after the change
// until signed again; its file carries the signatures, checked when loaded;
// writing it journals them. Program files' signature lines and their checks.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "control/Commands.h"
#include "control/ProgramFile.h"
#include "monitoring/ActionJournal.h"
#include "services/JournalRecorder.h"
#include "services/Signature.h"
#include "support/AppFixture.h"
#include "ui/AlarmCenter.h"
#include "ui/ErrorDisplay.h"
#include "ui/ReportSigning.h"
#include "ui/SignatureDialog.h"
#include "ui/Unit3.h"

namespace {

PamOutcome ByTable(const QString&, const QString& password)
{
    return password == QLatin1String("right") ? PamOutcome{true, {}}
                                              : PamOutcome{false, QStringLiteral("Authentication failure")};
}

std::vector<JournalRecord> Records(const QString& folder)
{
    std::vector<JournalRecord> records;
    CheckJournal(JournalFileName(folder), [&](const JournalRecord& r) { records.push_back(r); });
    return records;
}

ProgramTexts TwoSteps()
{
    ProgramTexts t;
    t.steps = "2";
    t.cycles = "1";
    const char* rows[2][6] = {{"25", "1", "0", "0", "30", "60"}, {"40", "2", "0", "1", "0", "75"}};
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 6; ++c)
            t.Cell(r, c) = rows[r - 1][c - 1];
    return t;
}

Signature SignedBy(const char* login, SignatureMeaning meaning, const QString& sha)
{
    Signature s;
    s.login = login;
    s.fullName = QString::fromUtf8("Иванов Иван");
    s.utc = "2026-12-11T10:00:00.000Z";
    s.local = "2026-12-11T13:00:00.000";
    s.meaning = meaning;
    s.subject = ProgramSubject(2);
    s.sha256 = sha;
    return s;
}

}  // namespace

TEST(ProgramSignatureFile, SignatureLinesCloseTheFileAndReadBack)
{
    const ProgramTexts texts = TwoSteps();
    const QString sha = ProgramSha256(texts);
    const Signature a = SignedBy("ivanov", SignatureMeaning::Compiled, sha);
    const Signature b = SignedBy("petrov", SignatureMeaning::Checked, sha);
    const QByteArray bytes = ProgramToCsv(texts, {ProgramFileSignatureFields(a), ProgramFileSignatureFields(b)});
    // The table's hash is of the file without its signatures.
    EXPECT_TRUE(bytes.startsWith(ProgramToCsv(texts)));

    ProgramTexts back;
    QString error;
    QList<QStringList> lines;
    ASSERT_TRUE(ProgramFromCsv(bytes, &back, &error, &lines)) << error.toStdString();
    EXPECT_EQ(ProgramSha256(back), sha);
    ASSERT_EQ(lines.size(), 2);
    Signature read;
    ASSERT_TRUE(SignatureFromProgramFileFields(lines[1], &read));
    EXPECT_EQ(read.login, "petrov");
    EXPECT_EQ(read.meaning, SignatureMeaning::Checked);
    EXPECT_EQ(read.utc, b.utc);
    // A caller that does not ask gets the program alone, as before.
    ASSERT_TRUE(ProgramFromCsv(bytes, &back, &error));

    // A signature line among the steps is no step.
    QByteArray inside = ProgramToCsv(texts);
    inside.insert(inside.indexOf("\r\n") + 2, ProgramFileSignatureFields(a).join(u';').toUtf8() + "\r\n");
    EXPECT_FALSE(ProgramFromCsv(inside, &back, &error, &lines));
}

TEST(ProgramSignatureFile, LoadedSignaturesAreCheckedAgainstTableAndJournal)
{
    const ProgramTexts texts = TwoSteps();
    const QString sha = ProgramSha256(texts);
    const Signature a = SignedBy("ivanov", SignatureMeaning::Compiled, sha);
    ProgramTexts changed = texts;
    changed.Cell(1, 1) = "26";
    Signature later = a;
    later.utc = "2026-12-11T10:00:01.000Z";
    QStringList broken = ProgramFileSignatureFields(a);
    broken[1] = QString::fromUtf8("Одобрил");

    struct Case {
        const char* name;
        QList<QStringList> lines;
        QString tableSha;
        std::vector<Signature> journalled;
        bool ok;
        const char* says;
    } cases[] = {
        {"known", {ProgramFileSignatureFields(a)}, sha, {a}, true, ""},
        {"changed after signing", {ProgramFileSignatureFields(a)}, ProgramSha256(changed), {a}, false,
         "файл изменён после подписи"},
        {"not in the journal", {ProgramFileSignatureFields(a)}, sha, {}, false, "журналу действий неизвестна"},
        {"another time than journalled", {ProgramFileSignatureFields(later)}, sha, {a}, false,
         "журналу действий неизвестна"},
        {"unreadable meaning", {broken}, sha, {a}, false, "не читается"},
    };
    for (const Case& c : cases) {
        std::vector<Signature> checked;
        QString error;
        EXPECT_EQ(CheckProgramFileSignatures(c.lines, c.tableSha, c.journalled, &checked, &error), c.ok) << c.name;
        if (c.ok)
            EXPECT_EQ(checked.size(), c.lines.size()) << c.name;
        else
            EXPECT_TRUE(error.contains(QString::fromUtf8(c.says))) << c.name << ": " << error.toStdString();
    }
}

class ProgramSignatureTest : public AppFixture {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        m_runFolder = JournalFolder();
        SetJournalFolder(dir.path());
        SetJournalIdentityForTests(QStringLiteral("process-user"), QStringLiteral("lab-pc"));
        SetDesktopSignerForTests(std::make_unique<Signer>(dir.path(), ByTable));
        AppFixture::SetUp();
        Form3->ComboBox1->setCurrentIndex(1);  // program 2
        const ProgramTexts t = TwoSteps();
        Form3->Edit1->setText(t.steps);
        Form3->Edit2->setText(t.cycles);
        for (int r = 1; r <= 2; ++r)
            for (int c = 1; c <= 6; ++c)
                Form3->SetCells(c, r, t.Cell(r, c));
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        SetDesktopSignerForTests(nullptr);
        SetJournalIdentityForTests({}, {});
        SetJournalFolder(m_runFolder);
    }
    bool Locked() const
    {
        return Form3->ProgramLocked() && Form3->Edit1->isReadOnly() && Form3->Edit2->isReadOnly() &&
               Form3->StringGrid1->editTriggers() == QAbstractItemView::NoEditTriggers;
    }
    QTemporaryDir dir;
    QString m_runFolder;
};

TEST_F(ProgramSignatureTest, SignedProgramIsLockedOpenedByPasswordAndSignedAgain)
{
    QString message;
    EXPECT_FALSE(Locked());
    ASSERT_TRUE(Form3->SignProgramAs("ivanov", SignatureMeaning::Compiled, "right", &message)) << message.toStdString();
    ASSERT_TRUE(Form3->SignProgramAs("petrov", SignatureMeaning::Checked, "right", &message)) << message.toStdString();
    const QString signedSha = ProgramSha256(Form3->ReadProgramTexts());
    ASSERT_TRUE(Locked());
    EXPECT_EQ(Form3->ProgramSignatures().size(), 2u);
    EXPECT_TRUE(Form3->LabelProgramSignatures->toolTip().contains("petrov"));
    // The pictures in the guide, when asked for.
    const QByteArray pictures = qgetenv("CALVETRA_PICTURES");
    if (!pictures.isEmpty()) {
        const QDir to(QString::fromLocal8Bit(pictures));
        Form3->grab().save(to.filePath(QStringLiteral("control-window-signed.png")));
        TSignatureDialog dialog(QStringLiteral("ivanov"), QStringLiteral("Иванов Иван Иванович"),
                                QStringLiteral("Изменение подписанной программы\n") +
                                    ProgramJournalText(2, Form3->ReadProgramTexts()).replace("; ", "\n"),
                                signedSha);
        dialog.AskPasswordOnly(QStringLiteral("Изменение подписанной программы"), QStringLiteral("Открыть для изменения"));
        dialog.EditPassword->setText(QStringLiteral("password"));
        dialog.adjustSize();
        dialog.grab().save(to.filePath(QStringLiteral("signed-program-change.png")));
    }

    // A wrong password opens nothing, and is journalled as a failed try.
    EXPECT_FALSE(Form3->OpenSignedProgramAs("ivanov", "wrong", &message));
    EXPECT_TRUE(Locked());
    ASSERT_TRUE(Form3->OpenSignedProgramAs("ivanov", "right", &message)) << message.toStdString();
    EXPECT_FALSE(Locked());
    EXPECT_TRUE(Form3->LabelProgramSignatures->text().contains(QString::fromUtf8("подписать заново")));

    // Changed: unsigned until signed again, and only the new version's
    // signature is the new table's; the old ones stay with the old table.
    Form3->SetCells(1, 1, "30");
    ASSERT_TRUE(Form3->SignProgramAs("ivanov", SignatureMeaning::Compiled, "right", &message)) << message.toStdString();
    ASSERT_TRUE(Locked());
    ASSERT_EQ(Form3->ProgramSignatures().size(), 1u);
    EXPECT_NE(Form3->ProgramSignatures()[0].sha256, signedSha);
    EXPECT_EQ(SignaturesOf(dir.path(), signedSha).size(), 2u);

    const std::vector<JournalRecord> records = Records(dir.path());
    auto count = [&](JournalAction action) {
        return std::count_if(records.begin(), records.end(),
                             [&](const JournalRecord& r) { return r.action == JournalActionText(action); });
    };
    EXPECT_EQ(count(JournalAction::Signature), 3);
    EXPECT_EQ(count(JournalAction::SignatureFailure), 1);
    ASSERT_EQ(count(JournalAction::SignedProgramChange), 1);
    const auto opened = std::find_if(records.begin(), records.end(), [](const JournalRecord& r) {
        return r.action == JournalActionText(JournalAction::SignedProgramChange);
    });
    EXPECT_EQ(opened->operatorName, "ivanov");
    EXPECT_TRUE(opened->oldValue.contains(signedSha));
    EXPECT_TRUE(opened->oldValue.contains("petrov"));
    EXPECT_TRUE(CheckJournal(JournalFileName(dir.path())).ok);
}

TEST_F(ProgramSignatureTest, AKeyOnALockedTableAsksThePasswordAndTypesNothing)
{
    QString message;
    ASSERT_TRUE(Form3->SignProgramAs("ivanov", SignatureMeaning::Compiled, "right", &message));
    const QString before = Form3->Edit1->text();
    // The dialog is modal: it is answered with Cancel as soon as it shows.
    bool asked = false;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible()) {
                asked = true;
                d->reject();
            }
    });
    QKeyEvent press(QEvent::KeyPress, Qt::Key_3, Qt::NoModifier, "3");
    QCoreApplication::sendEvent(Form3->Edit1, &press);
    EXPECT_TRUE(asked);
    EXPECT_EQ(Form3->Edit1->text(), before);
    EXPECT_TRUE(Locked());
}

TEST_F(ProgramSignatureTest, SignedFileLoadsLockedAndAChangedOneIsRefused)
{
    QString message;
    ASSERT_TRUE(Form3->SignProgramAs("ivanov", SignatureMeaning::Compiled, "right", &message));
    const QString path = dir.filePath("signed.csv");
    Guarded([&] { Form3->SaveProgramTo(path); });
    ASSERT_TRUE(errors.isEmpty()) << errors.join(";").toStdString();

    Form3->ComboBox1Change();
    EXPECT_FALSE(Locked());
    Guarded([&] { Form3->LoadProgramFrom(path); });
    ASSERT_TRUE(errors.isEmpty()) << errors.join(";").toStdString();
    EXPECT_TRUE(Locked());
    EXPECT_EQ(Form3->Cells(1, 2), "40");

    // One value changed in the file, its signature kept: not loaded.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    file.close();
    bytes.replace("\r\n2;40;", "\r\n2;41;");
    const QString changed = dir.filePath("changed.csv");
    QFile out(changed);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(bytes);
    out.close();
    Form3->ComboBox1Change();
    Guarded([&] { Form3->LoadProgramFrom(changed); });
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QString::fromUtf8("файл изменён после подписи"))) << errors[0].toStdString();
    EXPECT_EQ(Form3->Cells(1, 1), "");
    EXPECT_FALSE(Locked());
}

TEST_F(ProgramSignatureTest, WritingASignedProgramJournalsItsSignatures)
{
    QString message;
    ASSERT_TRUE(Form3->SignProgramAs("ivanov", SignatureMeaning::Approved, "right", &message));
    Guarded([] { Form3->Button1Click(); });  // no port open: journalled as not sent
    const std::vector<JournalRecord> records = Records(dir.path());
    ASSERT_FALSE(records.empty());
    const JournalRecord& written = records.back();
    EXPECT_EQ(written.action, JournalActionText(JournalAction::ProgramWrite));
    EXPECT_TRUE(written.newValue.contains(ProgramSha256(Form3->ReadProgramTexts())));
    EXPECT_TRUE(written.newValue.contains(QString::fromUtf8("подписи: Утвердил: ")));
}

TEST_F(ProgramSignatureTest, ThreeWrongPasswordsLockSigningAndTheMarkerShowsIt)
{
    QString message;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(Form3->SignProgramAs("ivanov", SignatureMeaning::Compiled, "wrong", &message));
    EXPECT_TRUE(message.contains(QString::fromUtf8("заблокирована"))) << message.toStdString();
    // Locked: even the right password is refused now.
    EXPECT_FALSE(Form3->SignProgramAs("ivanov", SignatureMeaning::Compiled, "right", &message));
    EXPECT_FALSE(Form3->ProgramLocked());
    ASSERT_NE(AlarmCenter, nullptr);
    EXPECT_TRUE(AlarmCenter->LabAlarmText().contains(QString::fromUtf8("подпись для ivanov заблокирована")))
        << AlarmCenter->LabAlarmText().toStdString();
    bool standing = false;
    for (const ChamberAlarm& c : AlarmCenter->AllAlarms())
        standing |= c.alarm.kind == AlarmKind::Signing && c.alarm.active;
    EXPECT_TRUE(standing);
}
