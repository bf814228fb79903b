// The operator's own devices for COM1..COM5, kept in the settings file.
#pragma once

#include <QComboBox>
#include <QDialog>

#include "monitoring/PortSettings.h"

class TPortMappingDialog : public QDialog {
    Q_OBJECT
public:
    // devicePaths: the devices present now, offered in each row.
    TPortMappingDialog(const PortSettings& settings, const QStringList& devicePaths, QWidget* parent = nullptr);
    // The rows' texts; an empty row keeps the default device.
    void Mapping(QString (&mapping)[5]) const;

    QComboBox* Rows[5];
};

// Opens the dialog; on OK saves the mapping and hands it to the link.
void EditPortMapping(QWidget* parent);
