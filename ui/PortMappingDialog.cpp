#include "ui/PortMappingDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>

#include "monitoring/PortList.h"

TPortMappingDialog::TPortMappingDialog(const PortSettings& settings, const QStringList& devicePaths,
                                       QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Устройства COM1–COM5"));
    auto* form = new QFormLayout(this);
    form->addRow(new QLabel(QStringLiteral("Пустая строка: устройство по умолчанию (/dev/ttyS0…/dev/ttyS4).\n"
                                           "Переменные CALVETRA_COM1…CALVETRA_COM5 важнее этих настроек."),
                            this));
    for (int n = 1; n <= 5; ++n) {
        QComboBox* row = new QComboBox(this);
        row->setEditable(true);
        row->addItem(QString());
        row->addItems(devicePaths);
        row->setCurrentText(settings.mapping[n - 1]);
        row->setMinimumWidth(420);
        Rows[n - 1] = row;
        form->addRow(QStringLiteral("COM%1").arg(n), row);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

void TPortMappingDialog::Mapping(QString (&mapping)[5]) const
{
    for (int n = 0; n < 5; ++n)
        mapping[n] = Rows[n]->currentText().trimmed();
}

void EditPortMapping(QWidget* parent)
{
    PortSettings settings = LoadPortSettings();
    QStringList paths;
    const QVector<PortEntry> entries = BuildPortEntries(ListSerialDevices());
    for (int i = kComEntries; i < entries.size(); ++i)
        paths << entries[i].devicePath;
    TPortMappingDialog dialog(settings, paths, parent);
    if (dialog.exec() != QDialog::Accepted)
        return;
    dialog.Mapping(settings.mapping);
    SavePortMapping(settings.mapping);
    ApplyPortMapping(settings);
}
