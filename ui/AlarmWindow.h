// The "Тревоги" window (active and past alarms, acknowledgement) and the
// small dialog for bands and delays.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QWidget>
#include <vector>

#include "monitoring/Alarms.h"

// A tolerance as the settings dialog takes it: up to tenths under either
// separator, the box's suffix allowed, inside the alarm band's range. False
// for anything else ("abc-1e9", "1e1", "-2", "0").
bool ParseTolerance(const QString& text, const QString& suffix, double* value);

class TAlarmSettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit TAlarmSettingsDialog(QWidget* parent = nullptr);
    void SetValues(const AlarmSettings& s);
    // Delays are shown in whole minutes.
    AlarmSettings Values() const;
    // A switch per chamber for its deviation alarms, as they stand now.
    void SetArming(const std::vector<ChamberArming>& chambers);
    // The chambers whose switch the operator turned, with its new state.
    std::vector<std::pair<int, bool>> ArmingChanges() const;
    // The name and serial number of each chamber of the list, as edited.
    std::vector<std::pair<int, ChamberIdentity>> IdentityChanges() const;
    // False, with the box's text red, while a tolerance box holds a text
    // that is no number of its range; "Сохранить" is refused meanwhile.
    bool TolerancesValid() const;

    // The editors of one chamber's condition, a row of Conditions.
    struct ConditionEditors {
        int address = 0;
        int shownDelay = -1;  // s, as the settings had it; -1 for a row added here
        QComboBox* choice = nullptr;  // a preset's name or "Своё"
        QDoubleSpinBox* temperature = nullptr;
        QDoubleSpinBox* temperatureTolerance = nullptr;
        QCheckBox* humidityKept = nullptr;
        QDoubleSpinBox* humidity = nullptr;
        QDoubleSpinBox* humidityTolerance = nullptr;
        QSpinBox* delay = nullptr;  // whole minutes
    };
    const std::vector<ConditionEditors>& ConditionRows() const { return m_conditionRows; }
    // A row for the chamber, on the first preset with a delay of 15 min, or
    // its row selected when it has one. False for an address outside 0..250.
    bool AddCondition(int address);
    // The selected row's chamber follows its set point again.
    void RemoveSelectedCondition();

    QCheckBox* TemperatureOn;
    QDoubleSpinBox* TemperatureBand;
    QSpinBox* TemperatureDelay;
    QCheckBox* HumidityOn;
    QDoubleSpinBox* HumidityBand;
    QSpinBox* HumidityDelay;
    QCheckBox* LinkOn;
    QCheckBox* ProgramEndOn;
    QCheckBox* ReasonRequired;  // "Причина изменения обязательна"
    QListWidget* Arming;  // "Камера №N": checked while its deviation alarms are armed
    QLineEdit* ChamberName;    // of the chamber selected in Arming
    QLineEdit* ChamberSerial;
    // Chambers held to a storage condition: its deviation alarms follow the
    // condition, not the set point it reports.
    QTableWidget* Conditions;
    QComboBox* ConditionAddress;  // the chambers known, or an address typed
    QPushButton* ButtonAddCondition;
    QPushButton* ButtonRemoveCondition;
    QPushButton* ButtonOk;
    QPushButton* ButtonCancel;

protected:
    void done(int result) override;

private:
    void ChamberPicked(int row);
    void IdentityEdited();
    void CheckTolerances();
    std::vector<QDoubleSpinBox*> ToleranceBoxes() const;
    void ShowConditions();
    void ShowCondition(ConditionEditors& row, const StabilityCondition& condition);
    void ConditionChosen(QComboBox* choice);
    void HumidityKeptChanged(QCheckBox* kept);
    ChamberCondition ConditionOf(const ConditionEditors& row) const;
    void OfferAddresses();
    void FitConditions();

    AlarmSettings m_shown;
    std::vector<ConditionEditors> m_conditionRows;
    std::vector<ChamberArming> m_arming;
    std::vector<ChamberIdentity> m_identities, m_shownIdentities;  // by row of Arming
    bool m_picking = false;
};

// Shows what the alarm centre hands it and signals what the operator asks
// for; the centre decides. It knows nothing of the centre.
class TAlarmWindow : public QWidget {
    Q_OBJECT
public:
    TAlarmWindow();

    // Every chamber's alarms, given oldest first and shown newest first with
    // the chamber's address; active alarms on a red background.
    void ShowAlarms(const std::vector<ChamberAlarm>& alarms);
    // The bands and delays the settings dialog starts from.
    void ShowSettings(const AlarmSettings& settings);
    // Each chamber's deviation arming: the switches of the settings dialog
    // and the line that names the chambers whose deviation alarms are off
    // (a chamber held to a condition is watched all the same, and not named).
    void ShowArming(const std::vector<ChamberArming>& chambers);
    // The alarm number of the selected row, 0 when none is selected.
    int SelectedAlarm() const;

    // Opens the dialog; what the operator accepts goes out as SettingsChosen.
    void EditSettings();

    QTableWidget* Table;
    QLineEdit* EditComment;  // the operator's comment on an acknowledgement, for the journal
    QPushButton* ButtonAcknowledge;
    QPushButton* ButtonAcknowledgeAll;
    QPushButton* ButtonSettings;
    QLabel* LabelArming;
    TAlarmSettingsDialog* SettingsDialog;

signals:
    void AcknowledgeRequested(int id, const QString& comment);
    void AcknowledgeAllRequested(const QString& comment);
    void SettingsChosen(const AlarmSettings& settings);
    void ArmingChosen(int address, bool armed);
    void ReasonRequirementChosen(bool required);

private:
    AlarmSettings m_settings;
    std::vector<ChamberArming> m_arming;
};

// "тревоги отклонения выключены с 10.12.2026 14:05:30" in the window's form.
QString ArmingMomentText(const DeviationArming& arming);
