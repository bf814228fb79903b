#include "ui/AlarmWindow.h"

#include "services/JournalRecorder.h"

#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QVBoxLayout>

#include "ui/ErrorDisplay.h"
#include "ui/ScreenFit.h"

namespace {

enum Column { ColNumber, ColChamber, ColKind, ColText, ColStart, ColEnd, ColValue, ColSetPoint, ColWorst, ColAck, ColCount };

QString Moment(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QString Value(double v) { return QLocale().toString(v, 'f', 1); }

// A tolerance box that takes the text as typed: a spin box's own check drops
// each character it cannot use and makes a number of what is left ("abc-1e9"
// became 19). Here a text that is no number of the range stays as it is,
// and the dialog shows it red and refuses to save it.
class ToleranceBox : public QDoubleSpinBox {
public:
    using QDoubleSpinBox::QDoubleSpinBox;

protected:
    QValidator::State validate(QString& text, int&) const override
    {
        double v = 0;
        return ParseTolerance(text, suffix(), &v) ? QValidator::Acceptable : QValidator::Intermediate;
    }
    // Either separator, as the check above takes it.
    double valueFromText(const QString& text) const override
    {
        double v = value();
        ParseTolerance(text, suffix(), &v);
        return v;
    }
};

QDoubleSpinBox* Band(QWidget* parent, const QString& suffix)
{
    auto* box = new ToleranceBox(parent);
    box->setRange(kMinAlarmBand, kMaxAlarmBand);
    box->setDecimals(1);
    box->setSingleStep(0.5);
    box->setSuffix(suffix);
    return box;
}

QSpinBox* Delay(QWidget* parent)
{
    auto* box = new QSpinBox(parent);
    box->setRange(0, kMaxAlarmDelay / 60);
    box->setSuffix(QStringLiteral(" мин"));
    return box;
}

}  // namespace

bool ParseTolerance(const QString& text, const QString& suffix, double* value)
{
    QString t = text.trimmed();
    if (!suffix.trimmed().isEmpty() && t.endsWith(suffix.trimmed()))
        t.chop(suffix.trimmed().size());
    t = t.trimmed();
    // Tenths at most, under either separator; no sign, no exponent.
    static const QRegularExpression form(QStringLiteral("^\\d{1,3}(?:[.,]\\d)?$"));
    if (!form.match(t).hasMatch())
        return false;
    const double v = t.replace(u',', u'.').toDouble();
    if (v < kMinAlarmBand || v > kMaxAlarmBand)
        return false;
    *value = v;
    return true;
}

TAlarmSettingsDialog::TAlarmSettingsDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Настройка тревог"));
    auto* form = new QFormLayout;
    TemperatureOn = new QCheckBox(QStringLiteral("Отклонение температуры"), this);
    TemperatureBand = Band(this, QStringLiteral(" °C"));
    TemperatureDelay = Delay(this);
    HumidityOn = new QCheckBox(QStringLiteral("Отклонение влажности"), this);
    HumidityBand = Band(this, QStringLiteral(" %"));
    HumidityDelay = Delay(this);
    LinkOn = new QCheckBox(QStringLiteral("Обрыв связи"), this);
    ProgramEndOn = new QCheckBox(QStringLiteral("Окончание программы"), this);
    ReasonRequired = new QCheckBox(QStringLiteral("Причина изменения обязательна"), this);
    ReasonRequired->setToolTip(QStringLiteral("Программа, уставки, пуск, останов и настройки тревог спрашивают причину, "
                                              "которая записывается в журнал действий"));
    form->addRow(TemperatureOn);
    form->addRow(QStringLiteral("Допуск ±"), TemperatureBand);
    form->addRow(QStringLiteral("Задержка"), TemperatureDelay);
    form->addRow(HumidityOn);
    form->addRow(QStringLiteral("Допуск ±"), HumidityBand);
    form->addRow(QStringLiteral("Задержка"), HumidityDelay);
    form->addRow(LinkOn);
    form->addRow(ProgramEndOn);
    form->addRow(ReasonRequired);
    // Armed by a start the chamber confirmed, disarmed by a confirmed stop or
    // the program's end; here by hand.
    form->addRow(new QLabel(QStringLiteral("Тревоги отклонения по камерам:"), this));
    Arming = new QListWidget(this);
    Arming->setMinimumHeight(90);
    Arming->setMinimumWidth(520);  // "Камера №N: тревоги отклонения включены с 10.12.2026 14:05:30" whole
    form->addRow(Arming);
    // The selected chamber's name and serial number, which its reports carry.
    ChamberName = new QLineEdit(this);
    ChamberName->setPlaceholderText(QStringLiteral("например, КТХ-500 лаборатории 2"));
    ChamberSerial = new QLineEdit(this);
    form->addRow(QStringLiteral("Наименование камеры"), ChamberName);
    form->addRow(QStringLiteral("Заводской номер"), ChamberSerial);
    ChamberName->setEnabled(false);
    ChamberSerial->setEnabled(false);
    auto* note = new QLabel(QStringLiteral("Пока камера приближается к уставке (за время задержки\n"
                                           "отклонение уменьшается хотя бы на допуск), тревоги нет."),
                            this);
    form->addRow(note);
    ButtonOk = new QPushButton(QStringLiteral("Сохранить"), this);
    ButtonCancel = new QPushButton(QStringLiteral("Отмена"), this);
    ButtonOk->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ButtonOk);
    buttons->addWidget(ButtonCancel);
    form->addRow(buttons);
    setLayout(form);
    connect(ButtonOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(TemperatureOn, &QCheckBox::toggled, TemperatureBand, &QWidget::setEnabled);
    connect(TemperatureOn, &QCheckBox::toggled, TemperatureDelay, &QWidget::setEnabled);
    connect(HumidityOn, &QCheckBox::toggled, HumidityBand, &QWidget::setEnabled);
    connect(HumidityOn, &QCheckBox::toggled, HumidityDelay, &QWidget::setEnabled);
    connect(Arming, &QListWidget::currentRowChanged, this, [this](int row) { ChamberPicked(row); });
    for (QLineEdit* edit : {ChamberName, ChamberSerial})
        connect(edit, &QLineEdit::textChanged, this, [this] { IdentityEdited(); });
    for (QDoubleSpinBox* box : {TemperatureBand, HumidityBand})
        // The editor's own signal: the box's speaks only of texts it takes.
        connect(box->findChild<QLineEdit*>(), &QLineEdit::textChanged, this, [this] { CheckTolerances(); });
}

bool TAlarmSettingsDialog::TolerancesValid() const
{
    double v = 0;
    for (const QDoubleSpinBox* box : {TemperatureBand, HumidityBand})
        if (!ParseTolerance(box->text(), box->suffix(), &v))
            return false;
    return true;
}

void TAlarmSettingsDialog::CheckTolerances()
{
    double v = 0;
    for (QDoubleSpinBox* box : {TemperatureBand, HumidityBand})
        box->setStyleSheet(ParseTolerance(box->text(), box->suffix(), &v)
                               ? QString()
                               : QStringLiteral("QDoubleSpinBox { background: #ffc0c0; }"));
    ButtonOk->setEnabled(TolerancesValid());
}

void TAlarmSettingsDialog::done(int result)
{
    if (result == QDialog::Accepted && !TolerancesValid())
        return;  // Enter in a red box: nothing is saved
    QDialog::done(result);
}

void TAlarmSettingsDialog::ChamberPicked(int row)
{
    const bool picked = row >= 0 && row < static_cast<int>(m_identities.size());
    ChamberName->setEnabled(picked);
    ChamberSerial->setEnabled(picked);
    const ChamberIdentity shown = picked ? m_identities[row] : ChamberIdentity{};
    m_picking = true;  // the fields show the chamber's; nothing is edited yet
    ChamberName->setText(shown.name);
    ChamberSerial->setText(shown.serial);
    m_picking = false;
}

void TAlarmSettingsDialog::IdentityEdited()
{
    const int row = Arming->currentRow();
    if (m_picking || row < 0 || row >= static_cast<int>(m_identities.size()))
        return;
    m_identities[row] = {ChamberName->text().trimmed(), ChamberSerial->text().trimmed()};
}

std::vector<std::pair<int, ChamberIdentity>> TAlarmSettingsDialog::IdentityChanges() const
{
    std::vector<std::pair<int, ChamberIdentity>> changes;
    for (size_t i = 0; i < m_identities.size() && i < m_arming.size(); ++i)
        if (!(m_identities[i] == m_shownIdentities[i]))
            changes.emplace_back(m_arming[i].chamberAddress, m_identities[i]);
    return changes;
}

void TAlarmSettingsDialog::SetValues(const AlarmSettings& s)
{
    m_shown = s;
    TemperatureOn->setChecked(s.temperatureOn);
    TemperatureBand->setValue(s.temperatureBand);
    TemperatureDelay->setValue(s.temperatureDelay / 60);
    HumidityOn->setChecked(s.humidityOn);
    HumidityBand->setValue(s.humidityBand);
    HumidityDelay->setValue(s.humidityDelay / 60);
    LinkOn->setChecked(s.linkOn);
    ProgramEndOn->setChecked(s.programEndOn);
    TemperatureBand->setEnabled(s.temperatureOn);
    TemperatureDelay->setEnabled(s.temperatureOn);
    HumidityBand->setEnabled(s.humidityOn);
    HumidityDelay->setEnabled(s.humidityOn);
}

void TAlarmSettingsDialog::SetArming(const std::vector<ChamberArming>& chambers)
{
    m_arming = chambers;
    m_identities.clear();
    for (const ChamberArming& c : chambers)
        m_identities.push_back(LoadChamberIdentity(c.chamberAddress));
    m_shownIdentities = m_identities;
    Arming->clear();
    ChamberPicked(-1);
    for (const ChamberArming& c : chambers) {
        auto* item = new QListWidgetItem(
            QStringLiteral("Камера №%1: %2").arg(c.chamberAddress).arg(ArmingMomentText(c.arming)), Arming);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(c.arming.armed ? Qt::Checked : Qt::Unchecked);
    }
}

std::vector<std::pair<int, bool>> TAlarmSettingsDialog::ArmingChanges() const
{
    std::vector<std::pair<int, bool>> changes;
    for (int i = 0; i < Arming->count() && i < static_cast<int>(m_arming.size()); ++i) {
        const bool armed = Arming->item(i)->checkState() == Qt::Checked;
        if (armed != m_arming[i].arming.armed)
            changes.emplace_back(m_arming[i].chamberAddress, armed);
    }
    return changes;
}

AlarmSettings TAlarmSettingsDialog::Values() const
{
    AlarmSettings s = m_shown;
    s.temperatureOn = TemperatureOn->isChecked();
    s.temperatureBand = TemperatureBand->value();
    // A delay of seconds set elsewhere stays as it is unless the minutes change.
    if (TemperatureDelay->value() != m_shown.temperatureDelay / 60)
        s.temperatureDelay = TemperatureDelay->value() * 60;
    s.humidityOn = HumidityOn->isChecked();
    s.humidityBand = HumidityBand->value();
    if (HumidityDelay->value() != m_shown.humidityDelay / 60)
        s.humidityDelay = HumidityDelay->value() * 60;
    s.linkOn = LinkOn->isChecked();
    s.programEndOn = ProgramEndOn->isChecked();
    return s;
}

TAlarmWindow::TAlarmWindow() : QWidget(nullptr, Qt::Window)
{
    setWindowTitle(QStringLiteral("Тревоги"));
    Table = new QTableWidget(0, ColCount, this);
    Table->setHorizontalHeaderLabels({QStringLiteral("№"), QStringLiteral("Камера"), QStringLiteral("Вид"), QStringLiteral("Описание"),
                                      QStringLiteral("Начало"), QStringLiteral("Конец"), QStringLiteral("Значение"),
                                      QStringLiteral("Уставка"), QStringLiteral("Крайнее"),
                                      QStringLiteral("Подтверждена")});
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->verticalHeader()->hide();
    Table->horizontalHeader()->setSectionResizeMode(ColText, QHeaderView::Stretch);
    EditComment = new QLineEdit(this);
    EditComment->setPlaceholderText(QStringLiteral("Комментарий к подтверждению"));
    ButtonAcknowledge = new QPushButton(QStringLiteral("Подтвердить"), this);
    ButtonAcknowledgeAll = new QPushButton(QStringLiteral("Подтвердить все"), this);
    ButtonSettings = new QPushButton(QStringLiteral("Настройка…"), this);
    SettingsDialog = new TAlarmSettingsDialog(this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(EditComment, 1);
    buttons->addWidget(ButtonAcknowledge);
    buttons->addWidget(ButtonAcknowledgeAll);
    buttons->addStretch();
    buttons->addWidget(ButtonSettings);
    LabelArming = new QLabel(this);
    LabelArming->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Table);
    layout->addWidget(LabelArming);
    layout->addLayout(buttons);
    PlaceWindow(this, {980, 360}, std::nullopt);
    connect(ButtonAcknowledge, &QPushButton::clicked, this, [this] {
        Guarded([this] {
            if (const int id = SelectedAlarm()) {
                emit AcknowledgeRequested(id, EditComment->text());
                EditComment->clear();
            }
        });
    });
    connect(ButtonAcknowledgeAll, &QPushButton::clicked, this, [this] {
        Guarded([this] {
            emit AcknowledgeAllRequested(EditComment->text());
            EditComment->clear();
        });
    });
    connect(ButtonSettings, &QPushButton::clicked, this, [this] { Guarded([this] { EditSettings(); }); });
}

void TAlarmWindow::EditSettings()
{
    SettingsDialog->SetValues(m_settings);
    SettingsDialog->SetArming(m_arming);
    const bool reasonBefore = ChangeReasonRequired();
    SettingsDialog->ReasonRequired->setChecked(reasonBefore);
    if (SettingsDialog->exec() != QDialog::Accepted)
        return;
    if (SettingsDialog->ReasonRequired->isChecked() != reasonBefore)
        emit ReasonRequirementChosen(SettingsDialog->ReasonRequired->isChecked());
    const std::vector<std::pair<int, bool>> arming = SettingsDialog->ArmingChanges();
    for (const auto& [address, identity] : SettingsDialog->IdentityChanges())
        SaveChamberIdentity(address, identity);
    emit SettingsChosen(SettingsDialog->Values());
    for (const auto& [address, armed] : arming)
        emit ArmingChosen(address, armed);
}

void TAlarmWindow::ShowArming(const std::vector<ChamberArming>& chambers)
{
    m_arming = chambers;
    QStringList off;
    for (const ChamberArming& c : chambers)
        if (!c.arming.armed)
            off << QStringLiteral("Камера №%1: %2").arg(c.chamberAddress).arg(ArmingMomentText(c.arming));
    LabelArming->setText(off.join(QStringLiteral("; ")));
    LabelArming->setVisible(!off.isEmpty());
}

QString ArmingMomentText(const DeviationArming& arming)
{
    return ArmingText(arming, arming.since > 0 ? Moment(arming.since) : QString());
}

int TAlarmWindow::SelectedAlarm() const
{
    const QList<QTableWidgetItem*> items = Table->selectedItems();
    for (QTableWidgetItem* item : items)
        if (item->column() == ColNumber)
            return item->text().toInt();
    return 0;
}

void TAlarmWindow::ShowAlarms(const std::vector<ChamberAlarm>& alarms)
{
    const int selected = SelectedAlarm();
    Table->setRowCount(static_cast<int>(alarms.size()));
    int row = 0;
    for (auto it = alarms.rbegin(); it != alarms.rend(); ++it, ++row) {
        const Alarm& a = it->alarm;
        const QStringList cells{
            QString::number(a.id),
            it->chamberAddress == kLabWideAlarm ? QStringLiteral("все") : QString::number(it->chamberAddress),
            AlarmKindText(a.kind),
            a.text,
            Moment(a.start),
            a.Active() ? QStringLiteral("идёт") : (a.kind == AlarmKind::ProgramEnd ? QString() : Moment(a.end)),
            a.hasValues ? Value(a.value) : QString(),
            a.hasValues ? Value(a.setPoint) : QString(),
            a.hasValues ? Value(a.worst) : QString(),
            a.acknowledged ? Moment(a.acknowledgedAt) : QStringLiteral("нет"),
        };
        for (int c = 0; c < ColCount; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (a.Active())
                item->setBackground(QColor(255, 200, 200));
            else if (!a.acknowledged)
                item->setBackground(QColor(255, 245, 190));
            Table->setItem(row, c, item);
        }
        if (a.id == selected)
            Table->selectRow(row);
    }
    Table->resizeColumnsToContents();
}
