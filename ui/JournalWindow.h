// "Журнал действий": the journal's records newest first, filtered by chamber
// and by day, with the state of its chain.
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
#include "services/JournalRecorder.h"

// The alarm centre and the window follow the journal's kept records (the
// journal recorder's hook, set at start-up).
void FollowJournalState(bool writable, const QString& reason);

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
    QPushButton* ButtonReview;  // "Отметить просмотр…": a signed review up to the newest record
    QLabel* LabelChain;
    QTableWidget* Table;

    // The review signed as login: "Просмотрено" of every record up to the
    // newest of the current file, with that record's hash; false with why.
    bool ReviewAs(const QString& login, const QString& password, QString* message);
    // The dialog, then ReviewAs.
    void ReviewClicked();

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
