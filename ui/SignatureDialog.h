// "Подписать…": what is signed (its name and SHA-256), the meaning of the
// signature, and the logged-in user's password. The dialog only asks; the
// signer checks the password and journals the signature.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "services/Signature.h"

class TSignatureDialog : public QDialog {
    Q_OBJECT
public:
    // meanings: those offered (a review has one); empty: a document's three.
    TSignatureDialog(const QString& login, const QString& fullName, const QString& subject, const QString& sha256,
                     QWidget* parent = nullptr, std::vector<SignatureMeaning> meanings = {});
    SignatureMeaning Meaning() const;
    QString Password() const { return EditPassword->text(); }
    // Only the password is asked, for a change of what was signed (no
    // meaning: nothing is signed); the button says what it does.
    void AskPasswordOnly(const QString& title, const QString& buttonText);
    // A refusal of the last try, shown under the password (the dialog stays open).
    void ShowRefusal(const QString& why);

    QLabel* LabelSigner;
    QLabel* LabelSubject;
    QLabel* LabelSha;
    QComboBox* ComboMeaning;
    QLineEdit* EditPassword;
    QLabel* LabelRefusal;
    QPushButton* ButtonSign;
    QPushButton* ButtonCancel;

private:
    class QFormLayout* m_form;
};
