#include "ui/JournalWindow.h"

#include <QDateTime>

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <set>

#include "link/Waits.h"
#include "monitoring/DataLog.h"
#include "monitoring/HandlerErrors.h"
#include "services/Signature.h"
#include "ui/AlarmCenter.h"
#include "ui/ReportSigning.h"
#include "ui/SignatureDialog.h"

TJournalWindow* FormJournal = nullptr;

namespace {
QString Folder() { return ActionJournalFolder(); }

// How often kept records are tried again.
constexpr int kRetryMs = 5000;

// A kept record as the window lists it: no number or hash yet.
JournalRecord KeptAsRecord(const KeptJournalRecord& kept)
{
    JournalRecord r;
    r.local = kept.when.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    r.chamber = kept.entry.chamber;
    r.action = JournalActionText(kept.entry.action);
    r.oldValue = kept.entry.oldValue;
    r.newValue = kept.entry.newValue;
    r.outcome = kept.entry.outcome;
    return r;
}
}  // namespace

void FollowJournalState(bool writable, const QString& reason)
{
    if (AlarmCenter)
        AlarmCenter->JournalWritable(writable, reason);
    if (FormJournal)
        FormJournal->KeptChanged();
}

TJournalWindow::TJournalWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Журнал действий"));
    resize(1100, 560);
    ComboChamber = new QComboBox(this);
    CheckDay = new QCheckBox(QStringLiteral("За день"), this);
    DateDay = new QDateEdit(QDate::currentDate(), this);
    DateDay->setCalendarPopup(true);
    DateDay->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    ButtonReload = new QPushButton(QStringLiteral("Обновить"), this);
    ButtonReview = new QPushButton(QStringLiteral("Отметить просмотр…"), this);
    LabelChain = new QLabel(this);
    LabelChain->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Table = new QTableWidget(0, 9, this);
    Table->setHorizontalHeaderLabels({QStringLiteral("№"), QStringLiteral("Местное время"), QStringLiteral("Оператор"),
                                      QStringLiteral("Компьютер"), QStringLiteral("Камера"), QStringLiteral("Действие"),
                                      QStringLiteral("Было"), QStringLiteral("Стало"), QStringLiteral("Итог")});
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->verticalHeader()->hide();
    Table->horizontalHeader()->setStretchLastSection(true);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Камера:"), this));
    top->addWidget(ComboChamber);
    top->addSpacing(16);
    top->addWidget(CheckDay);
    top->addWidget(DateDay);
    top->addStretch(1);
    top->addWidget(ButtonReview);
    top->addWidget(ButtonReload);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(LabelChain);
    layout->addWidget(Table, 1);

    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [] { RetryKeptRecords(); });
    connect(ButtonReload, &QPushButton::clicked, this, [this] { Reload(); });
    connect(ButtonReview, &QPushButton::clicked, this, [this] { ReviewClicked(); });
    connect(ComboChamber, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
    connect(CheckDay, &QCheckBox::toggled, this, [this] { Reload(); });
    connect(DateDay, &QDateEdit::dateChanged, this, [this] { Reload(); });
}

TJournalWindow::~TJournalWindow() { FinishJournal(); }

bool TJournalWindow::ReviewAs(const QString& login, const QString& password, QString* message)
{
    const JournalHead head = ReadJournalHead(Folder());
    if (head.records <= 0) {
        *message = QStringLiteral("В журнале нет записей");
        return false;
    }
    const QString subject = JournalReviewSubject(head.records);
    const SignOutcome outcome = DesktopSigner(true).Sign(login, subject, head.lastHash, SignatureMeaning::Reviewed, password,
                                                     QDateTime::currentMSecsSinceEpoch());
    *message = outcome.ok ? QStringLiteral("Просмотр отмечен: %1").arg(SignatureLine(outcome.signature)) : outcome.error;
    // The review is a record of the chain: it shows as the newest line.
    Reload();
    return outcome.ok;
}

void TJournalWindow::ReviewClicked()
{
    const JournalHead head = ReadJournalHead(Folder());
    if (head.records <= 0)
        return;
    const QString login = CurrentLogin();
    TSignatureDialog dialog(login, FullNameOf(login), JournalReviewSubject(head.records), head.lastHash, this,
                            {SignatureMeaning::Reviewed});
    while (dialog.exec() == QDialog::Accepted) {
        QString message;
        if (ReviewAs(login, dialog.Password(), &message))
            return;
        dialog.ShowRefusal(message);
    }
}

void TJournalWindow::KeptChanged()
{
    if (KeptJournalCount() > 0) {
        if (!m_retry->isActive())
            m_retry->start(ScaledMs(kRetryMs));
    } else {
        m_retry->stop();
    }
    if (isVisible())
        Reload();
}

void TJournalWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Reload();
}

void TJournalWindow::Reload()
{
    m_records.clear();
    // A day of an earlier month is in that month's file.
    QString file = JournalFileName(Folder());
    if (CheckDay->isChecked()) {
        const QDate day = DateDay->date();
        const QString monthFile = JournalMonthFileName(Folder(), day.year(), day.month());
        if (QFileInfo::exists(monthFile))
            file = monthFile;
    }
    JournalCheck check;
    if (QFileInfo::exists(file))
        check = CheckJournal(file, [this](const JournalRecord& r) { m_records.push_back(r); });
    QPalette palette = LabelChain->palette();
    if (!QFileInfo::exists(file)) {
        LabelChain->setText(QStringLiteral("Записей нет: %1").arg(file));
        palette.setColor(QPalette::WindowText, Qt::black);
    } else if (check.ok) {
        LabelChain->setText(QStringLiteral("Цепочка цела: записей %1, последний хеш %2 (%3)")
                                .arg(check.records)
                                .arg(check.lastHash.left(16), file));
        palette.setColor(QPalette::WindowText, QColor(0, 128, 0));
    } else {
        LabelChain->setText(QStringLiteral("Цепочка нарушена: %1 (%2)").arg(check.problem, file));
        palette.setColor(QPalette::WindowText, Qt::red);
    }
    // Records waiting in memory come after the file's, unnumbered.
    const std::vector<KeptJournalRecord> kept = KeptJournalRecords();
    for (const KeptJournalRecord& k : kept)
        m_records.push_back(KeptAsRecord(k));
    if (!kept.empty()) {
        LabelChain->setText(LabelChain->text() + QStringLiteral("\nНе записано в файл: %1 (%2); записи ждут в памяти")
                                                     .arg(kept.size())
                                                     .arg(JournalWriteFailure()));
        palette.setColor(QPalette::WindowText, Qt::red);
    }
    LabelChain->setPalette(palette);

    const QString chosen = ComboChamber->currentIndex() > 0 ? ComboChamber->currentText() : QString();
    std::set<int> chambers;
    for (const JournalRecord& r : m_records) {
        bool number = false;
        const int address = r.chamber.toInt(&number);
        if (number)
            chambers.insert(address);
    }
    // The chosen chamber stays chosen in a file where it has no record.
    if (bool number = false; !chosen.isEmpty() && (chosen.toInt(&number), number))
        chambers.insert(chosen.toInt());
    {
        const QSignalBlocker quiet(ComboChamber);
        ComboChamber->clear();
        ComboChamber->addItem(QStringLiteral("Все камеры"));
        for (int address : chambers)
            ComboChamber->addItem(QString::number(address));
        const int index = chosen.isEmpty() ? 0 : ComboChamber->findText(chosen);
        ComboChamber->setCurrentIndex(index < 0 ? 0 : index);
    }
    ApplyFilter();
}

void TJournalWindow::ApplyFilter()
{
    const QString chamber = ComboChamber->currentIndex() > 0 ? ComboChamber->currentText() : QString();
    const std::vector<JournalRecord> shown =
        FilterJournalRecords(m_records, chamber, CheckDay->isChecked() ? DateDay->date() : QDate());
    Table->setRowCount(static_cast<int>(shown.size()));
    for (int row = 0; row < static_cast<int>(shown.size()); ++row) {
        const JournalRecord& r = shown[static_cast<size_t>(row)];
        const QStringList cells{r.number > 0 ? QString::number(r.number) : QStringLiteral("не записана"),
                                r.local.left(19).replace(u'T', u' '), r.operatorName,
                                r.computer, r.chamber, r.action, r.oldValue, r.newValue, r.outcome};
        for (int column = 0; column < cells.size(); ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setToolTip(cells[column]);
            Table->setItem(row, column, item);
        }
    }
    Table->resizeColumnsToContents();
    for (int column = 0; column < Table->columnCount(); ++column)
        Table->setColumnWidth(column, std::min(Table->columnWidth(column), 360));
}
