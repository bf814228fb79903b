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
#include <QWidget>
#include <vector>

#include "monitoring/ActionJournal.h"

// Writes the action's record into the journal of the running application
// (flushed); throws EInOutError when it cannot, and the caller's handler ends
// there, before anything is sent or done.
void RecordAction(JournalAction action, const QString& chamber, const QString& oldValue, const QString& newValue,
                  const QString& outcome);

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

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::vector<JournalRecord> m_records;
};

extern TJournalWindow* FormJournal;
