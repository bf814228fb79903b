// "Журнал действий": the journal's records newest first, filtered by chamber
// and by day, with the state of its chain; and the one call every action of
// the windows makes before it acts.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "monitoring/ActionJournal.h"

// Writes the action's record into the journal of the running application
// (flushed), after any records kept from before. When the journal cannot be
// written: a change of a chamber's work (JournalActionNeedsRecord) throws
// EInOutError and the caller's handler ends there, before anything is sent,
// its refusal kept to be written later; any other action (a stop, watching)
// goes ahead and its record is kept, with the time it was made, until the
// journal can be written. Meanwhile the alarm "журнал действий не
// записывается" stands.
void RecordAction(JournalAction action, const QString& chamber, const QString& oldValue, const QString& newValue,
                  const QString& outcome);
// A record of what followed from the chamber rather than the operator (its
// confirmed stop disarms its deviation alarms): never refused; kept in memory
// while the journal cannot be written, as watching's records are.
void RecordFollowingAction(JournalAction action, const QString& chamber, const QString& oldValue,
                           const QString& newValue, const QString& outcome);

// Tries the kept records again (the window's timer does it every few
// seconds while any are kept) and tells the alarm centre.
void RetryKeptRecords();

// The chamber column's text for a bus address.
QString JournalChamber(int address);

class TJournalWindow : public QWidget {
    Q_OBJECT
public:
    explicit TJournalWindow(QWidget* parent = nullptr);

    // Reads the current file (or, for a chosen day of an earlier month, that
    // month's file) again and shows it through the filters.
    void Reload();
    void ApplyFilter();

    QComboBox* ComboChamber;  // "Все камеры", then each chamber in the file
    QCheckBox* CheckDay;
    QDateEdit* DateDay;
    QPushButton* ButtonReload;
    QLabel* LabelChain;
    QTableWidget* Table;

    // Kept records and their alarm changed: the timer runs while any are kept.
    void KeptChanged();
    QTimer* RetryTimer() const { return m_retry; }

    // The end of the run: the kept records are tried once more, and any still
    // kept are written to the standard error so that they are not lost unseen.
    ~TJournalWindow() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::vector<JournalRecord> m_records;
    QTimer* m_retry = nullptr;
};

extern TJournalWindow* FormJournal;
