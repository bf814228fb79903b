// Signed programs in the control window: the signature, the lock, and the
// password that opens a signed program for change.
#include <QApplication>
#include <QDateTime>
#include <QInputMethodEvent>
#include <QKeyEvent>

#include "control/Commands.h"
#include "ui/ErrorDisplay.h"
#include "ui/ReportSigning.h"
#include "ui/SignatureDialog.h"
#include "ui/Typeface.h"
#include "ui/Unit3.h"
#include "ui/Unit4.h"

namespace {
constexpr auto kGridEditing = QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                              QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed;

// What the dialog shows of a program: its number, then a line a step.
QString ProgramDescription(int number, const ProgramTexts& texts)
{
    QString text = ProgramJournalText(number, texts);
    text.replace(QStringLiteral("; "), QStringLiteral("\n"));
    return text;
}
}  // namespace

void TForm3::CreateSigningControls(QWidget* client)
{
    ButtonSignProgram = new QPushButton(QStringLiteral("Подписать…"), client);
    // Beside the program file buttons, and the state of the signatures
    // beside the table's caption.
    ButtonSignProgram->setGeometry(626, 609, 208, 30);
    ButtonSignProgram->setFont(Tnr(16));
    LabelProgramSignatures = new QLabel(client);
    LabelProgramSignatures->setGeometry(512, 146, 323, 28);
    LabelProgramSignatures->setFont(Tnr(15, true));
    LabelProgramSignatures->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LabelProgramSignatures->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StringGrid1->installEventFilter(this);
    StringGrid1->viewport()->installEventFilter(this);
    connect(ButtonSignProgram, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonSignProgramClick(); }); });
    SetProgramSignatures({});
}

void TForm3::SetProgramSignatures(std::vector<Signature> signatures, const QString& openedText)
{
    m_programSignatures = std::move(signatures);
    const bool locked = ProgramLocked();
    Edit1->setReadOnly(locked);
    Edit2->setReadOnly(locked);
    StringGrid1->setEditTriggers(locked ? QAbstractItemView::NoEditTriggers : kGridEditing);
    if (locked) {
        QStringList lines;
        for (const Signature& s : m_programSignatures)
            lines << SignatureLine(s);
        LabelProgramSignatures->setText(QStringLiteral("Подписана (%1), изменение по паролю").arg(lines.size()));
        LabelProgramSignatures->setToolTip(lines.join(u'\n'));
        LabelProgramSignatures->setStyleSheet(QStringLiteral("color: #006400;"));
    } else if (!openedText.isEmpty()) {
        LabelProgramSignatures->setText(QStringLiteral("Открыта для изменения: подписать заново"));
        LabelProgramSignatures->setToolTip(openedText);
        LabelProgramSignatures->setStyleSheet(QStringLiteral("color: #b35900;"));
    } else {
        LabelProgramSignatures->setText(QStringLiteral("Программа не подписана"));
        LabelProgramSignatures->setToolTip(QString());
        LabelProgramSignatures->setStyleSheet(QString());
    }
}

bool TForm3::ChangeTriedOnLocked(QObject* watched, QEvent* event)
{
    const bool numbers = watched == Edit1 || watched == Edit2;
    const bool grid = watched == StringGrid1 || watched == StringGrid1->viewport();
    if (!numbers && !grid)
        return false;
    bool change = false;
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        change = !key->text().isEmpty() || key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace ||
                 key->key() == Qt::Key_F2;
        // Tab and the arrows only move.
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab || key->key() == Qt::Key_Escape)
            change = false;
    } else if (event->type() == QEvent::InputMethod) {
        change = !static_cast<QInputMethodEvent*>(event)->commitString().isEmpty();
    } else if (event->type() == QEvent::MouseButtonDblClick) {
        change = grid;
    }
    if (!change)
        return false;
    // The key that asked is not typed: the table opens for the next one.
    Guarded([this] { AskToOpenSignedProgram(); });
    return true;
}

bool TForm3::SignProgramAs(const QString& login, SignatureMeaning meaning, const QString& password, QString* message)
{
    const ProgramTexts texts = ReadProgramTexts();
    if (!CheckProgramWrite(ProgramNumber(), texts)) {
        *message = QStringLiteral("Подписывается только программа, которую можно записать в камеру");
        return false;
    }
    Signer& signer = DesktopSigner();
    const QString sha = ProgramSha256(texts);
    const SignOutcome outcome = signer.Sign(login, ProgramSubject(ProgramNumber()), sha, meaning, password,
                                            QDateTime::currentMSecsSinceEpoch());
    if (!outcome.ok) {
        *message = outcome.error;
        return false;
    }
    std::vector<Signature> all;
    QString error;
    if (!signer.SignaturesOf(sha, QString(), &all, &error))
        all = {outcome.signature};
    SetProgramSignatures(all);
    *message = QStringLiteral("%1 подписана: %2").arg(ProgramSubject(ProgramNumber()), SignatureLine(outcome.signature));
    return true;
}

bool TForm3::OpenSignedProgramAs(const QString& login, const QString& password, QString* message)
{
    if (!ProgramLocked())
        return true;
    const ProgramTexts texts = ReadProgramTexts();
    const QString subject = ProgramSubject(ProgramNumber());
    Signer& signer = DesktopSigner();
    const SignOutcome checked =
        signer.Confirm(login, subject + QStringLiteral(", изменение подписанной"), password,
                       QDateTime::currentMSecsSinceEpoch());
    if (!checked.ok) {
        *message = checked.error;
        return false;
    }
    JournalEntry entry;
    entry.action = JournalAction::SignedProgramChange;
    entry.oldValue = SignedProgramJournalText(ProgramNumber(), texts, m_programSignatures);
    entry.newValue = QStringLiteral("открыта для изменения: подписи к изменённой программе не относятся");
    entry.outcome = JournalOutcomeDone();
    entry.operatorName = login;
    if (!signer.Book().Note(entry)) {
        *message = QStringLiteral("Программа не открыта: запись в журнал действий не сделана");
        return false;
    }
    SetProgramSignatures({}, QStringLiteral("Открыта для изменения (%1): подписи сняты, изменённую программу нужно "
                                            "подписать заново")
                                 .arg(login));
    *message = LabelProgramSignatures->toolTip();
    return true;
}

bool TForm3::AskToOpenSignedProgram()
{
    if (!ProgramLocked())
        return true;
    const QString login = CurrentLogin();
    TSignatureDialog dialog(login, FullNameOf(login),
                            QStringLiteral("Изменение подписанной программы\n%1")
                                .arg(ProgramDescription(ProgramNumber(), ReadProgramTexts())),
                            ProgramSha256(ReadProgramTexts()), this);
    dialog.AskPasswordOnly(QStringLiteral("Изменение подписанной программы"), QStringLiteral("Открыть для изменения"));
    while (dialog.exec() == QDialog::Accepted) {
        QString message;
        if (OpenSignedProgramAs(login, dialog.Password(), &message))
            return true;
        dialog.ShowRefusal(message);
    }
    return false;
}

void TForm3::ButtonSignProgramClick()
{
    const ProgramTexts texts = ReadProgramTexts();
    if (!CheckProgramWrite(ProgramNumber(), texts)) {
        RaiseErrorWindow(this);
        return;
    }
    const QString login = CurrentLogin();
    TSignatureDialog dialog(login, FullNameOf(login), ProgramDescription(ProgramNumber(), texts),
                            ProgramSha256(texts), this);
    while (dialog.exec() == QDialog::Accepted) {
        QString message;
        if (SignProgramAs(login, dialog.Meaning(), dialog.Password(), &message)) {
            LabelAnswer->setText(message);
            LabelAnswer->setStyleSheet(QStringLiteral("color: #006400;"));
            return;
        }
        dialog.ShowRefusal(message);
    }
}
