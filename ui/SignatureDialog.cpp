#include "ui/SignatureDialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

TSignatureDialog::TSignatureDialog(const QString& login, const QString& fullName, const QString& subject,
                                   const QString& sha256, QWidget* parent, std::vector<SignatureMeaning> meanings)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Электронная подпись"));
    LabelSigner = new QLabel(QStringLiteral("%1 (%2)").arg(fullName, login), this);
    LabelSubject = new QLabel(subject, this);
    LabelSubject->setWordWrap(true);
    // The hash in two halves of 32 digits: it is read out and compared by eye.
    LabelSha = new QLabel(sha256.left(32) + u'\n' + sha256.mid(32), this);
    LabelSha->setFont(QFont(QStringLiteral("monospace")));
    LabelSha->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ComboMeaning = new QComboBox(this);
    if (meanings.empty())
        meanings = SignatureMeanings();
    for (SignatureMeaning meaning : meanings)
        ComboMeaning->addItem(SignatureMeaningText(meaning), static_cast<int>(meaning));
    EditPassword = new QLineEdit(this);
    EditPassword->setEchoMode(QLineEdit::Password);
    LabelRefusal = new QLabel(this);
    LabelRefusal->setStyleSheet(QStringLiteral("color: #c00000"));
    LabelRefusal->setWordWrap(true);
    auto* form = m_form = new QFormLayout;
    form->addRow(QStringLiteral("Подписывает:"), LabelSigner);
    form->addRow(QStringLiteral("Что подписано:"), LabelSubject);
    form->addRow(QStringLiteral("SHA-256:"), LabelSha);
    form->addRow(QStringLiteral("Значение подписи:"), ComboMeaning);
    form->addRow(QStringLiteral("Пароль входа в систему:"), EditPassword);
    ButtonSign = new QPushButton(QStringLiteral("Подписать"), this);
    ButtonSign->setDefault(true);
    ButtonCancel = new QPushButton(QStringLiteral("Отмена"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ButtonSign);
    buttons->addWidget(ButtonCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(LabelRefusal);
    layout->addLayout(buttons);
    connect(ButtonSign, &QPushButton::clicked, this, &QDialog::accept);
    connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
    EditPassword->setFocus();
}

SignatureMeaning TSignatureDialog::Meaning() const
{
    return static_cast<SignatureMeaning>(ComboMeaning->currentData().toInt());
}

void TSignatureDialog::AskPasswordOnly(const QString& title, const QString& buttonText)
{
    setWindowTitle(title);
    m_form->setRowVisible(ComboMeaning, false);
    // Nothing is signed: the rows say who opens what.
    if (auto* who = qobject_cast<QLabel*>(m_form->labelForField(LabelSigner)))
        who->setText(QStringLiteral("Открывает:"));
    if (auto* what = qobject_cast<QLabel*>(m_form->labelForField(LabelSubject)))
        what->setText(QStringLiteral("Что открывается:"));
    ButtonSign->setText(buttonText);
}

void TSignatureDialog::ShowRefusal(const QString& why)
{
    LabelRefusal->setText(why);
    EditPassword->clear();
    EditPassword->setFocus();
}
