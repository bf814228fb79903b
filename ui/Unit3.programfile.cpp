// Saving and loading the program table as a file, and its preview.
#include <QCryptographicHash>
#include <QFile>
#include <QFileDialog>
#include <QSaveFile>

#include "ui/ProfilePreview.h"
#include "control/ProgramFile.h"
#include "ui/Unit3.h"
#include "ui/ErrorDisplay.h"
#include "ui/JournalWindow.h"
#include "ui/Typeface.h"
#include "ui/Unit4.h"
#include "ui/ReportSigning.h"

void TForm3::CreateProgramFileControls(QWidget* client)
{
    // Under the program table, reached last by Tab.
    ButtonSaveProgram = new QPushButton(QStringLiteral("Сохранить программу…"), client);
    ButtonSaveProgram->setGeometry(0, 609, 200, 30);
    ButtonLoadProgram = new QPushButton(QStringLiteral("Загрузить программу…"), client);
    ButtonLoadProgram->setGeometry(206, 609, 200, 30);
    for (QPushButton* b : {ButtonSaveProgram, ButtonLoadProgram}) {
        b->setFont(Tnr(16));
    }
    ProfilePreview = new TProfilePreview(client);
    ProfilePreview->setGeometry(414, 605, 206, 52);

    connect(ButtonSaveProgram, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonSaveProgramClick(); }); });
    connect(ButtonLoadProgram, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonLoadProgramClick(); }); });
    auto refresh = [this] { ProfilePreview->SetProgram(ReadProgramTexts()); };
    connect(StringGrid1, &QTableWidget::itemChanged, this, refresh);
    connect(Edit1, &QLineEdit::textChanged, this, refresh);
    connect(Edit2, &QLineEdit::textChanged, this, refresh);
}

void TForm3::ButtonSaveProgramClick()
{
    // Only a program that may be written is saved, so that every saved file
    // loads again.
    if (!CheckProgramTable(ReadProgramTexts())) {
        RaiseErrorWindow(this);
        return;
    }
    const QString suggested = QStringLiteral("программа %1.csv").arg(ProgramNumber());
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Сохранить программу"), suggested,
                                                      QStringLiteral("Программы (*.csv)"));
    if (!path.isEmpty())
        SaveProgramTo(path);
}

void TForm3::ButtonLoadProgramClick()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Загрузить программу"), QString(),
                                                      QStringLiteral("Программы (*.csv);;Все файлы (*)"));
    if (!path.isEmpty())
        LoadProgramFrom(path);
}

namespace {
// "path, SHA-256 <hex>": which file, and which bytes.
QString FileJournalText(const QString& path, const QByteArray& bytes)
{
    return QStringLiteral("%1, SHA-256 %2")
        .arg(path, QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
}
}  // namespace

void TForm3::SaveProgramTo(const QString& path)
{
    // A signed program's file carries its signatures, checked when loaded.
    QList<QStringList> signatureLines;
    for (const Signature& s : m_programSignatures)
        signatureLines << ProgramFileSignatureFields(s);
    const QByteArray bytes = ProgramToCsv(ReadProgramTexts(), signatureLines);
    RecordAction(JournalAction::ProgramSave, QString(), QString(), FileJournalText(path, bytes), JournalOutcomeDone());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit())
        throw EInOutError(QStringLiteral("Не удалось сохранить программу в %1: %2")
                              .arg(path, file.errorString())
                              .toStdString());
}

void TForm3::LoadProgramFrom(const QString& path)
{
    // Another program over a signed one is a change of it.
    if (ProgramLocked() && !AskToOpenSignedProgram())
        return;
    QFile file(path);
    // A program file is a few hundred bytes; anything far larger is not one.
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError(
            QStringLiteral("Не удалось открыть %1: %2").arg(path, file.errorString()).toStdString());
    if (file.size() > 64 * 1024)
        throw EInOutError(QStringLiteral("%1: слишком большой файл для программы").arg(path).toStdString());
    ProgramTexts texts;
    QString error;
    const QByteArray bytes = file.readAll();
    QList<QStringList> signatureLines;
    if (!ProgramFromCsv(bytes, &texts, &error, &signatureLines))
        throw EInOutError(QStringLiteral("%1: %2").arg(path, error).toStdString());
    // The file's signatures must be of this table and known to the journal:
    // a file changed after signing, or signed elsewhere, is not loaded.
    std::vector<Signature> signatures;
    if (!signatureLines.isEmpty()) {
        std::vector<Signature> journalled;
        const QString sha = ProgramSha256(texts);
        if (!DesktopSigner().SignaturesOf(sha, QString(), &journalled, &error) ||
            !CheckProgramFileSignatures(signatureLines, sha, journalled, &signatures, &error))
            throw EInOutError(QStringLiteral("%1: подписи не подтверждены: %2").arg(path, error).toStdString());
    }
    QString loaded = FileJournalText(path, bytes);
    if (!signatures.empty())
        loaded += QStringLiteral(", подписей %1").arg(signatures.size());
    RecordAction(JournalAction::ProgramLoad, QString(), QString(), loaded, JournalOutcomeDone());
    SetProgramSignatures({});
    Edit1->setText(texts.steps);
    Edit2->setText(texts.cycles);
    for (int row = 1; row <= kTableSteps; ++row)
        for (int column = 1; column <= kTableColumns; ++column)
            SetCells(column, row, texts.Cell(row, column));
    SetProgramSignatures(signatures);
}
