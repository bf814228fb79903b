// The control window: program table, set points and the commands to the chamber.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>

#include "control/Checks.h"
#include "control/Commands.h"
#include "monitoring/ActionJournal.h"
#include "services/Signature.h"

class TForm3 : public QWidget {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);

    // "Камера №N", bold, under the caption: the chamber every command of the
    // window goes to.
    QLabel* LabelChamber;
    QLabel* Label1;
    QComboBox* ComboBox1;  // program number
    QLabel* Label3;
    QLineEdit* Edit1;      // number of steps
    QLabel* Label4;
    QLineEdit* Edit2;      // number of cycles
    QLabel* Label5;
    QLineEdit* Edit3;      // manual temperature set point
    QLabel* Label6;
    QLineEdit* Edit4;      // manual humidity set point
    QLabel* Label2;
    QTableWidget* StringGrid1;  // 16 x 7: heading row 0, step column 0
    QPushButton* Button2;  // manual start
    QPushButton* Button3;  // manual stop
    QPushButton* Button5;  // program start
    QLabel* Label7;
    QComboBox* ComboBox2;  // program to start from
    QPushButton* Button6;  // program stop
    QPushButton* Button4;  // write set points
    QPushButton* Button1;  // write program
    // What the chamber answered to the latest command.
    QLabel* LabelAnswer;
    // Program files and the preview, under the program table.
    QPushButton* ButtonSaveProgram;
    QPushButton* ButtonLoadProgram;
    class TProfilePreview* ProfilePreview;
    // Signing the program shown; its signatures, or why it is open.
    QPushButton* ButtonSignProgram;
    QLabel* LabelProgramSignatures;

    // Event handlers, each run through the error display.
    void FormCreate();
    void ComboBox1Change();
    // Character filters of the four fields: Key becomes 0 when discarded.
    void Edit4KeyPress(QObject* Sender, QChar& Key);  // Edit1, Edit3, Edit4
    void Edit2KeyPress(QObject* Sender, QChar& Key);
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void Button6Click();
    void ButtonSaveProgramClick();
    void ButtonLoadProgramClick();
    // The file steps behind the two buttons; errors go to the error display.
    void SaveProgramTo(const QString& path);
    void LoadProgramFrom(const QString& path);

    // A signed program is locked: its table and numbers take no change
    // until a signer opens it with the password (journalled); what follows
    // is unsigned until signed again. The steps behind the dialogs, for
    // tests as for the buttons; false with the reason in *message.
    bool SignProgramAs(const QString& login, SignatureMeaning meaning, const QString& password, QString* message);
    bool OpenSignedProgramAs(const QString& login, const QString& password, QString* message);
    bool ProgramLocked() const { return !m_programSignatures.empty(); }
    const std::vector<Signature>& ProgramSignatures() const { return m_programSignatures; }
    void ButtonSignProgramClick();
    // Asks the signer's password to open the signed program; true when open.
    bool AskToOpenSignedProgram();

    // Text of a table cell (row, column as in the table, 0-based with the
    // fixed row and column) and its change.
    QString Cells(int column, int row) const;
    void SetCells(int column, int row, const QString& text);

    // What the program table check reads.
    ProgramTexts ReadProgramTexts() const;
    // Program number of ComboBox1, 0 while none is chosen; the same for ComboBox2.
    int ProgramNumber() const;
    int StartProgramNumber() const;

    // The chamber picked in the main window's list (or by a tile): from now
    // on the line names it and the commands go to it.
    void SetChamber(int address);
    // The bus address the next command goes to: the chamber picked last;
    // before any pick, the latest status poll's (0 before any).
    uint8_t CommandAddress() const;

signals:
    // The chamber at address echoed a start or a stop (never sent for a
    // frame it refused, did not answer or answered wrongly).
    void CommandConfirmed(int address, ConfirmedCommand what);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    // Names the chamber of CommandAddress() on the line and returns it: a
    // command takes its address here, so it never goes elsewhere than shown.
    uint8_t ShowTarget();
    // The controls, in the order Tab reaches them.
    void CreateFields(QWidget* client);
    void CreateGrid(QWidget* client);
    void CreateButtons(QWidget* client);
    void Connect();
    void CreateProgramFileControls(QWidget* client);
    bool FilterKeyPress(QObject* field, QKeyEvent* event);
    // Shows what the chamber answered to the command of this button.
    void ShowAnswer(const QPushButton* button, const QString& answer, bool confirmed);
    void RunCommand(const QPushButton* button, uint8_t address, JournalAction action, const QString& oldValue,
                    const QString& newValue, const uint8_t* frame, int length, ConfirmedCommand what);

    void CreateSigningControls(QWidget* client);
    // The lock follows the signatures: read-only fields, the label.
    void SetProgramSignatures(std::vector<Signature> signatures, const QString& openedText = QString());
    // A change tried on a locked program (a key, a double click).
    bool ChangeTriedOnLocked(QObject* watched, QEvent* event);

    int m_chamber = -1;  // picked in the main window; -1 before any pick
    std::vector<Signature> m_programSignatures;  // of the table shown, locked while any
};

extern TForm3* Form3;

// The character filter's rule: digits 0..9, backspace, "-" and the decimal
// separators "," and "." pass (a value typed with a fraction stays as typed,
// for the check to refuse).
bool TypedCharAllowed(QChar c);

// Keys that move the cursor or edit without typing a character; they pass
// the filter whatever text the platform attaches to them.
bool IsEditingKey(int key);
