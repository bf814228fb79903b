#include "ui/AlarmWindow.h"

#include "services/JournalRecorder.h"

#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>

#include "link/ChamberContract.h"
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

// The chambers' list and the conditions' table start a few rows tall, so
// the dialog fits a laptop's screen; they grow with the dialog.
class ArmingList : public QListWidget {
public:
    using QListWidget::QListWidget;
    QSize sizeHint() const override { return {QListWidget::sizeHint().width(), 110}; }
};
class ConditionTable : public QTableWidget {
public:
    using QTableWidget::QTableWidget;
    QSize sizeHint() const override { return {QTableWidget::sizeHint().width(), 100}; }
};

enum ConditionColumn {
    CondChamber,
    CondChoice,
    CondTemperature,
    CondTemperatureTolerance,
    CondHumidityKept,
    CondHumidity,
    CondHumidityTolerance,
    CondDelay,
    CondCount
};

const QString kOwnCondition = QStringLiteral("Своё");

QDoubleSpinBox* SetPoint(QWidget* parent, double from, double to, const QString& suffix)
{
    auto* box = new QDoubleSpinBox(parent);
    box->setRange(from, to);
    box->setDecimals(1);
    box->setSuffix(suffix);
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
    Arming = new ArmingList(this);
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
    // A chamber that holds a storage condition for a study alarms against the
    // condition, whatever set point it reports and whether it runs a program.
    form->addRow(new QLabel(QStringLiteral("Условия хранения по камерам:"), this));
    Conditions = new ConditionTable(0, CondCount, this);
    Conditions->setHorizontalHeaderLabels({QStringLiteral("Камера"), QStringLiteral("Условие"), QStringLiteral("Т"),
                                           QStringLiteral("Допуск Т ±"), QStringLiteral("Влажность"),
                                           QStringLiteral("ВЛ"), QStringLiteral("Допуск ВЛ ±"),
                                           QStringLiteral("Задержка")});
    Conditions->setSelectionBehavior(QAbstractItemView::SelectRows);
    Conditions->setSelectionMode(QAbstractItemView::SingleSelection);
    Conditions->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Conditions->verticalHeader()->hide();
    Conditions->setMinimumHeight(90);
    form->addRow(Conditions);
    ConditionAddress = new QComboBox(this);
    ConditionAddress->setEditable(true);
    ConditionAddress->setValidator(new QIntValidator(0, kLastAddress, ConditionAddress));
    ConditionAddress->lineEdit()->setPlaceholderText(QStringLiteral("адрес"));
    ConditionAddress->setMinimumWidth(90);
    ButtonAddCondition = new QPushButton(QStringLiteral("Добавить"), this);
    ButtonRemoveCondition = new QPushButton(QStringLiteral("Убрать"), this);
    auto* conditionButtons = new QHBoxLayout;
    conditionButtons->addWidget(new QLabel(QStringLiteral("Камера №"), this));
    conditionButtons->addWidget(ConditionAddress);
    conditionButtons->addWidget(ButtonAddCondition);
    conditionButtons->addWidget(ButtonRemoveCondition);
    conditionButtons->addStretch();
    form->addRow(conditionButtons);
    auto* note = new QLabel(QStringLiteral("Пока камера приближается к уставке (за время задержки отклонение\n"
                                           "уменьшается хотя бы на допуск), тревоги нет. Камера с условием хранения\n"
                                           "тревожит, если показание вне его допуска дольше его задержки."),
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
    connect(ButtonAddCondition, &QPushButton::clicked, this, [this] {
        bool ok = false;
        const int address = ConditionAddress->currentText().trimmed().toInt(&ok);
        if (ok && AddCondition(address))
            ConditionAddress->setCurrentText(QString());
    });
    connect(ButtonRemoveCondition, &QPushButton::clicked, this, [this] { RemoveSelectedCondition(); });
    // As wide as a row of editors before the first row comes.
    AddCondition(0);
    m_conditionRows.clear();
    Conditions->setRowCount(0);
    OfferAddresses();
}

std::vector<QDoubleSpinBox*> TAlarmSettingsDialog::ToleranceBoxes() const
{
    std::vector<QDoubleSpinBox*> boxes{TemperatureBand, HumidityBand};
    for (const ConditionEditors& row : m_conditionRows) {
        boxes.push_back(row.temperatureTolerance);
        boxes.push_back(row.humidityTolerance);
    }
    return boxes;
}

void TAlarmSettingsDialog::ShowCondition(ConditionEditors& row, const StabilityCondition& c)
{
    row.temperature->setValue(c.temperature);
    row.temperatureTolerance->setValue(c.temperatureTolerance);
    row.humidityKept->setChecked(c.hasHumidity);
    // A condition that keeps no humidity shows what ticking the box would bring.
    row.humidity->setValue(c.hasHumidity ? c.humidity : 60.0);
    row.humidityTolerance->setValue(c.hasHumidity ? c.humidityTolerance : 5.0);
    const bool own = row.choice->currentText() == kOwnCondition;
    for (QWidget* w : {static_cast<QWidget*>(row.temperature), static_cast<QWidget*>(row.temperatureTolerance),
                       static_cast<QWidget*>(row.humidityKept)})
        w->setEnabled(own);
    row.humidity->setEnabled(own && c.hasHumidity);
    row.humidityTolerance->setEnabled(own && c.hasHumidity);
}

void TAlarmSettingsDialog::ConditionChosen(QComboBox* choice)
{
    for (ConditionEditors& row : m_conditionRows) {
        if (row.choice != choice)
            continue;
        const int index = choice->currentIndex();
        const QVector<StabilityCondition> presets = StabilityPresets();
        if (index >= 0 && index < presets.size()) {
            ShowCondition(row, presets[index]);
        } else {
            // "Своё" starts from what the row showed, now open to change.
            StabilityCondition shown = ConditionOf(row).condition;
            ShowCondition(row, shown);
        }
    }
    CheckTolerances();
}

void TAlarmSettingsDialog::HumidityKeptChanged(QCheckBox* kept)
{
    for (ConditionEditors& row : m_conditionRows)
        if (row.humidityKept == kept) {
            row.humidity->setEnabled(kept->isEnabled() && kept->isChecked());
            row.humidityTolerance->setEnabled(kept->isEnabled() && kept->isChecked());
        }
}

ChamberCondition TAlarmSettingsDialog::ConditionOf(const ConditionEditors& row) const
{
    ChamberCondition result;
    const QVector<StabilityCondition> presets = StabilityPresets();
    const int index = row.choice->currentIndex();
    if (index >= 0 && index < presets.size()) {
        result.condition = presets[index];
    } else {
        StabilityCondition c;
        c.name.clear();
        c.temperature = row.temperature->value();
        c.temperatureTolerance = row.temperatureTolerance->value();
        c.hasHumidity = row.humidityKept->isChecked();
        c.humidity = c.hasHumidity ? row.humidity->value() : 0;
        c.humidityTolerance = c.hasHumidity ? row.humidityTolerance->value() : 0;
        // Read back from its text: a custom one with a preset's figures is that
        // preset, as it would be read from the settings file.
        StabilityCondition read;
        result.condition = ParseStabilityCondition(StabilityConditionText(c), &read, nullptr) ? read : c;
    }
    // A delay of seconds set elsewhere stays as it is unless the minutes change.
    result.delay = row.shownDelay >= 0 && row.delay->value() == row.shownDelay / 60 ? row.shownDelay
                                                                                    : row.delay->value() * 60;
    return result;
}

bool TAlarmSettingsDialog::AddCondition(int address)
{
    if (address < 0 || address > kLastAddress)
        return false;
    int at = 0;
    for (; at < static_cast<int>(m_conditionRows.size()) && m_conditionRows[at].address <= address; ++at)
        if (m_conditionRows[at].address == address) {
            Conditions->selectRow(at);
            return true;
        }
    ConditionEditors row;
    row.address = address;
    row.choice = new QComboBox(Conditions);
    for (const StabilityCondition& preset : StabilityPresets())
        row.choice->addItem(preset.name);
    row.choice->addItem(kOwnCondition);
    row.choice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    row.temperature = SetPoint(Conditions, -100, 200, QStringLiteral(" °C"));
    row.temperatureTolerance = Band(Conditions, QStringLiteral(" °C"));
    row.humidityKept = new QCheckBox(QStringLiteral("есть"), Conditions);
    row.humidity = SetPoint(Conditions, 0, 100, QStringLiteral(" %"));
    row.humidityTolerance = Band(Conditions, QStringLiteral(" %"));
    row.delay = Delay(Conditions);
    row.delay->setValue(kDefaultConditionDelay / 60);
    Conditions->insertRow(at);
    auto* chamber = new QTableWidgetItem(QString::number(address));
    Conditions->setItem(at, CondChamber, chamber);
    Conditions->setCellWidget(at, CondChoice, row.choice);
    Conditions->setCellWidget(at, CondTemperature, row.temperature);
    Conditions->setCellWidget(at, CondTemperatureTolerance, row.temperatureTolerance);
    Conditions->setCellWidget(at, CondHumidityKept, row.humidityKept);
    Conditions->setCellWidget(at, CondHumidity, row.humidity);
    Conditions->setCellWidget(at, CondHumidityTolerance, row.humidityTolerance);
    Conditions->setCellWidget(at, CondDelay, row.delay);
    m_conditionRows.insert(m_conditionRows.begin() + at, row);
    ShowCondition(m_conditionRows[at], StabilityPresets().front());
    QComboBox* choice = row.choice;
    connect(choice, &QComboBox::currentIndexChanged, this, [this, choice] { ConditionChosen(choice); });
    QCheckBox* kept = row.humidityKept;
    connect(kept, &QCheckBox::toggled, this, [this, kept] { HumidityKeptChanged(kept); });
    for (QDoubleSpinBox* box : {row.temperatureTolerance, row.humidityTolerance})
        connect(box->findChild<QLineEdit*>(), &QLineEdit::textChanged, this, [this] { CheckTolerances(); });
    FitConditions();
    Conditions->selectRow(at);
    OfferAddresses();
    return true;
}

void TAlarmSettingsDialog::FitConditions()
{
    // Every column whole: a condition half hidden behind a scroll bar is
    // easily saved unread.
    Conditions->resizeColumnsToContents();
    const int width = Conditions->horizontalHeader()->length() + 2 * Conditions->frameWidth() +
                      Conditions->verticalScrollBar()->sizeHint().width();
    Conditions->setMinimumWidth(std::max(width, Conditions->minimumWidth()));
}

void TAlarmSettingsDialog::RemoveSelectedCondition()
{
    const QModelIndexList selected = Conditions->selectionModel()->selectedRows();
    const int row = selected.isEmpty() ? Conditions->currentRow() : selected.first().row();
    if (row < 0 || row >= static_cast<int>(m_conditionRows.size()))
        return;
    m_conditionRows.erase(m_conditionRows.begin() + row);
    Conditions->removeRow(row);
    OfferAddresses();
    CheckTolerances();
}

void TAlarmSettingsDialog::ShowConditions()
{
    m_conditionRows.clear();
    Conditions->setRowCount(0);
    for (const auto& [chamber, condition] : m_shown.conditions) {
        // The desktop's own line only: the recorder keeps its lines' conditions.
        if (!chamber.first.isEmpty() || !AddCondition(chamber.second))
            continue;
        for (ConditionEditors& row : m_conditionRows) {
            if (row.address != chamber.second)
                continue;
            const QVector<StabilityCondition> presets = StabilityPresets();
            int index = static_cast<int>(presets.size());  // "Своё"
            for (int i = 0; i < presets.size(); ++i)
                if (presets[i] == condition.condition)
                    index = i;
            {
                const QSignalBlocker quiet(row.choice);
                row.choice->setCurrentIndex(index);
            }
            ShowCondition(row, condition.condition);
            row.delay->setValue(condition.delay / 60);
            row.shownDelay = condition.delay;
        }
    }
    Conditions->clearSelection();
    Conditions->setCurrentCell(-1, -1);
    OfferAddresses();
    CheckTolerances();
}

void TAlarmSettingsDialog::OfferAddresses()
{
    // The chambers known here that have no condition yet.
    const QString typed = ConditionAddress->currentText();
    ConditionAddress->clear();
    for (const ChamberArming& c : m_arming) {
        const bool held = std::any_of(m_conditionRows.begin(), m_conditionRows.end(),
                                      [&](const ConditionEditors& row) { return row.address == c.chamberAddress; });
        if (!held)
            ConditionAddress->addItem(QString::number(c.chamberAddress));
    }
    ConditionAddress->setCurrentText(typed);
}

bool TAlarmSettingsDialog::TolerancesValid() const
{
    double v = 0;
    for (const QDoubleSpinBox* box : ToleranceBoxes())
        if (!ParseTolerance(box->text(), box->suffix(), &v))
            return false;
    return true;
}

void TAlarmSettingsDialog::CheckTolerances()
{
    double v = 0;
    for (QDoubleSpinBox* box : ToleranceBoxes())
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
    ShowConditions();
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
        QString text = QStringLiteral("Камера №%1: %2").arg(c.chamberAddress).arg(ArmingMomentText(c.arming));
        // The switch counts again once the chamber has no condition.
        if (const ChamberCondition* held = m_shown.ConditionOf({QString(), c.chamberAddress}))
            text += QStringLiteral("; условие %1 следит всегда").arg(StabilityConditionText(held->condition));
        auto* item = new QListWidgetItem(text, Arming);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(c.arming.armed ? Qt::Checked : Qt::Unchecked);
    }
    OfferAddresses();
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
    for (auto it = s.conditions.begin(); it != s.conditions.end();)
        it = it->first.first.isEmpty() ? s.conditions.erase(it) : std::next(it);
    for (const ConditionEditors& row : m_conditionRows)
        s.conditions[{QString(), row.address}] = ConditionOf(row);
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

void TAlarmWindow::ShowSettings(const AlarmSettings& settings)
{
    m_settings = settings;
    ShowArming(m_arming);
}

void TAlarmWindow::ShowArming(const std::vector<ChamberArming>& chambers)
{
    m_arming = chambers;
    QStringList off;
    for (const ChamberArming& c : chambers)
        if (!c.arming.armed && !m_settings.ConditionOf({QString(), c.chamberAddress}))
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
