#include "ui/OverviewWindow.h"
#include "link/ThreadHandoff.h"

#include <QButtonGroup>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QMouseEvent>
#include <QScrollArea>
#include <QSettings>
#include <QVBoxLayout>

#include "link/Waits.h"
#include "monitoring/LocaleText.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/PollSummary.h"
#include "monitoring/ReadWatch.h"
#include "ui/AlarmCenter.h"
#include "ui/AlarmWindow.h"
#include "ui/ErrorDisplay.h"
#include "services/JournalRecorder.h"
#include "services/StatusEndpoint.h"
#include "ui/Typeface.h"

TOverviewWindow* FormOverview = nullptr;

namespace {

constexpr int kTileWidth = 250;
constexpr int kTileHeight = 162;

// The tile's short form: the time alone on the day itself.
QString TileArmingText(const DeviationArming& arming, qint64 nowMs)
{
    if (arming.since <= 0)
        return ArmingText(arming, QString());
    const QDateTime since = QDateTime::fromMSecsSinceEpoch(arming.since);
    const bool today = since.date() == QDateTime::fromMSecsSinceEpoch(nowMs).date();
    return ArmingText(arming, since.toString(today ? QStringLiteral("HH:mm") : QStringLiteral("dd.MM HH:mm")));
}

QLabel* TileLine(QWidget* parent, int pixels, bool bold = false)
{
    auto* label = new QLabel(parent);
    QFont f = label->font();
    f.setPixelSize(pixels);
    f.setBold(bold);
    label->setFont(f);
    return label;
}

// The entry of a chamber, or null.
template <class T>
const T* Entry(const QMap<int, T>& map, int address)
{
    auto it = map.constFind(address);
    return it == map.constEnd() ? nullptr : &*it;
}

}  // namespace

TChamberTile::TChamberTile(int address, QWidget* parent) : QFrame(parent), m_address(address)
{
    setFrameShape(QFrame::Box);
    setAutoFillBackground(true);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(kTileWidth, kTileHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(1);
    auto* top = new QHBoxLayout;
    Title = TileLine(this, 16, true);
    Title->setText(QStringLiteral("Камера №%1").arg(address));
    Log = new QCheckBox(QStringLiteral("Запись"), this);
    top->addWidget(Title);
    top->addStretch();
    top->addWidget(Log);
    layout->addLayout(top);
    Temperature = TileLine(this, 14);
    Humidity = TileLine(this, 14);
    Program = TileLine(this, 14);
    Age = TileLine(this, 13);
    Link = TileLine(this, 13);
    Arming = TileLine(this, 11);
    layout->addWidget(Temperature);
    layout->addWidget(Humidity);
    layout->addWidget(Program);
    layout->addWidget(Age);
    layout->addWidget(Link);
    layout->addWidget(Arming);
}

void TChamberTile::Show(const WatchedChamber& chamber, qint64 nowMs)
{
    // Before the first answer the fields hold the main window's idle texts,
    // which would read as a chamber at 0 °C.
    const bool answered = chamber.lastAnswerMs > 0;
    m_stale = answered && !AnswerFresh(chamber.lastAnswerMs, nowMs);
    const StatusView& v = chamber.view;
    auto text = [&chamber](const QString& shown) { return ShownValue(chamber, shown); };
    Temperature->setText(QStringLiteral("T, °C: %1  (задано %2)").arg(text(v.label5), text(v.label18)));
    Humidity->setText(QStringLiteral("H, %: %1  (задано %2)").arg(text(v.label2), text(v.label4)));
    Program->setText(
        QStringLiteral("Прог. %1  шаг %2  цикл %3").arg(text(v.label17), text(v.label13), text(v.label20)));
    // Values no longer measured stay readable, greyed, with their age.
    const bool grey = m_stale || !m_unavailable.isEmpty();
    for (QLabel* value : {Temperature, Humidity, Program}) {
        QPalette p = value->palette();
        p.setColor(QPalette::WindowText, grey ? StaleTextColour() : palette().color(QPalette::WindowText));
        value->setPalette(p);
    }
    Age->setText(m_stale ? QStringLiteral("Показания %1").arg(AnswerAgeText(chamber.lastAnswerMs, nowMs)) : QString());
    Age->setVisible(m_stale);
    Link->setText(m_unavailable.isEmpty()
                      ? QStringLiteral("Связь: %1, %2").arg(ShownLink(chamber), AnswerAgeText(chamber.lastAnswerMs, nowMs))
                      : m_unavailable);
    // Deviation alarms that do not watch the chamber are said, with since when;
    // a chamber held to a condition is watched whatever its arming.
    DeviationArming arming = AlarmCenter ? AlarmCenter->Arming(m_address) : DeviationArming{true, 0, {}};
    if (AlarmCenter && !AlarmCenter->FollowsRecorder() && AlarmCenter->Settings().ConditionOf({QString(), m_address}))
        arming.armed = true;
    Arming->setText(arming.armed ? QString() : TileArmingText(arming, nowMs));
    Arming->setVisible(!arming.armed);
    // An alarm of the whole lab (the journal) stands on every tile.
    const QString lab = AlarmCenter ? AlarmCenter->LabAlarmText() : QString();
    QString tip = chamber.outstandingAlarms > 0 ? chamber.alarmText : QStringLiteral("Тревог нет");
    if (!arming.armed)
        tip += u'\n' + ArmingMomentText(arming);
    if (!lab.isEmpty())
        tip = lab + u'\n' + tip;
    setToolTip(tip);
    QPalette p = palette();
    p.setColor(QPalette::Window, ChamberColour(chamber, !lab.isEmpty()));
    setPalette(p);
}

void TChamberTile::SetUnavailable(const QString& why) { m_unavailable = why; }

void TChamberTile::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit Clicked(m_address);
    QFrame::mouseReleaseEvent(event);
}

TOverviewWindow::TOverviewWindow(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Обзор камер"));
    // Four tiles across at first; wider, the tiles flow into more columns.
    resize(1080, 600);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(CreateBar());
    layout->addWidget(CreateViews(), 1);
    ShowTable(QSettings().value(QStringLiteral("overview/table")).toBool());
    ConnectHandlers();
}

QHBoxLayout* TOverviewWindow::CreateBar()
{
    auto* bar = new QHBoxLayout;
    ButtonAdd = new QPushButton(QStringLiteral("Добавить адрес…"), this);
    CheckLogAll = new QCheckBox(QStringLiteral("Записывать все"), this);
    SpinTimeout = new QSpinBox(this);
    SpinTimeout->setRange(kMinOverviewTimeoutMs, kMaxOverviewTimeoutMs);
    SpinTimeout->setSuffix(QStringLiteral(" мс"));
    const int timeout = OverviewTimeoutFromSetting(QSettings().value(QStringLiteral("overview/timeoutMs")));
    m_reader.SetTimeoutMs(timeout);
    SpinTimeout->setValue(m_reader.TimeoutMs());
    LabelMessage = new QLabel(this);
    LabelMessage->setStyleSheet(QStringLiteral("color: #c00000"));
    // The two views, one pressed at a time.
    ButtonTiles = new QPushButton(QStringLiteral("Плитки"), this);
    ButtonTable = new QPushButton(QStringLiteral("Таблица"), this);
    auto* views = new QButtonGroup(this);
    for (QPushButton* b : {ButtonTiles, ButtonTable}) {
        b->setCheckable(true);
        views->addButton(b);
    }
    bar->addWidget(ButtonAdd);
    bar->addWidget(CheckLogAll);
    bar->addSpacing(16);
    bar->addWidget(new QLabel(QStringLiteral("Ожидание ответа:"), this));
    bar->addWidget(SpinTimeout);
    bar->addSpacing(16);
    bar->addWidget(LabelMessage, 1);
    bar->addWidget(ButtonTiles);
    bar->addWidget(ButtonTable);
    return bar;
}

QWidget* TOverviewWindow::CreateViews()
{
    m_views = new QStackedWidget(this);
    m_tileScroll = new QScrollArea(m_views);
    m_tileScroll->setWidgetResizable(true);
    m_tileArea = new QWidget(m_tileScroll);
    // The window's own tiles; attached to a recorder, under their line's
    // caption, with a group for each other line of the recorder below.
    auto* area = new QVBoxLayout(m_tileArea);
    area->setContentsMargins(0, 0, 0, 0);
    LabelLine = new QLabel(m_tileArea);
    LabelLine->setFont(Tnr(14, true));
    LabelLine->setContentsMargins(9, 4, 9, 0);
    LabelLine->hide();
    area->addWidget(LabelLine);
    m_grid = new QGridLayout;
    m_grid->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    area->addLayout(m_grid);
    m_groupLayout = new QVBoxLayout;
    m_groupLayout->setContentsMargins(0, 0, 0, 0);
    area->addLayout(m_groupLayout);
    area->addStretch(1);
    m_tileScroll->setWidget(m_tileArea);
    // The tiles flow to the width the window has.
    m_tileScroll->viewport()->installEventFilter(this);
    m_views->addWidget(m_tileScroll);

    m_model = new TOverviewModel(this);
    m_sorted = new QSortFilterProxyModel(this);
    m_sorted->setSourceModel(m_model);
    m_sorted->setSortRole(TOverviewModel::SortRole);
    Table = new QTableView(m_views);
    Table->setModel(m_sorted);
    Table->setSortingEnabled(true);
    Table->sortByColumn(TOverviewModel::Address, Qt::AscendingOrder);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->verticalHeader()->hide();
    // Compact: 80 rows on one screen.
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 4);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    Table->horizontalHeader()->setSectionResizeMode(TOverviewModel::Alarm, QHeaderView::Stretch);
    m_views->addWidget(Table);
    return m_views;
}

void TOverviewWindow::ConnectHandlers()
{
    connect(&m_reader, &OverviewReader::Read, this, [this](const OverviewRead& read) {
                { std::lock_guard<std::mutex> arrived(HandoffLock(Handoff::OverviewRead)); }
                OnRead(read);
            },
            Qt::QueuedConnection);
    connect(ButtonAdd, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonAddClick(); }); });
    connect(CheckLogAll, &QCheckBox::clicked, this, [this] { Guarded([this] { CheckLogAllClick(); }); });
    connect(SpinTimeout, &QSpinBox::valueChanged, this, [this](int ms) {
        m_reader.SetTimeoutMs(ms);
        QSettings().setValue(QStringLiteral("overview/timeoutMs"), m_reader.TimeoutMs());
    });
    connect(ButtonTiles, &QPushButton::clicked, this, [this] { ShowTable(false); });
    connect(ButtonTable, &QPushButton::clicked, this, [this] { ShowTable(true); });
    // A row picks its chamber as a tile does.
    connect(Table, &QTableView::clicked, this, [this](const QModelIndex& index) {
        const int address = m_model->AddressAt(m_sorted->mapToSource(index).row());
        if (address >= 0)
            emit ChamberClicked(address);
    });
    m_ageTimer.setInterval(1000);
    connect(&m_ageTimer, &QTimer::timeout, this, [this] { RefreshAges(); });
    m_logTimer.setTimerType(Qt::PreciseTimer);
    m_logTimer.setInterval(ScaledMs(60000));
    connect(&m_logTimer, &QTimer::timeout, this, [this] { Guarded([this] { AppendChamberLogLines(); }); });
    // An acknowledgement in "Тревоги" or new settings change a tile's colour between reads.
    if (AlarmCenter)
        connect(AlarmCenter, &TAlarmCenter::ChamberAlarmsChanged, this, &TOverviewWindow::ShowChamberAlarms);
    m_headerTimer.setSingleShot(true);
    m_headerTimer.setInterval(ScaledMs(5000));
    connect(&m_headerTimer, &QTimer::timeout, this, [this] { Guarded([this] { WriteDueHeaders(); }); });
}

void TOverviewWindow::ShowTable(bool table)
{
    m_views->setCurrentWidget(table ? static_cast<QWidget*>(Table) : m_tileScroll);
    ButtonTable->setChecked(table);
    ButtonTiles->setChecked(!table);
    QSettings settings;
    if (settings.value(QStringLiteral("overview/table")).toBool() != table)
        settings.setValue(QStringLiteral("overview/table"), table);
}

bool TOverviewWindow::TableShown() const { return m_views->currentWidget() == Table; }

int TOverviewWindow::TileColumns() const
{
    int left = 0, top = 0, right = 0, bottom = 0;
    m_grid->getContentsMargins(&left, &top, &right, &bottom);
    const int spacing = std::max(0, m_grid->horizontalSpacing());
    const int room = m_tileScroll->viewport()->width() - left - right;
    return std::max(1, (room + spacing) / (kTileWidth + spacing));
}

bool TOverviewWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_tileScroll->viewport() && event->type() == QEvent::Resize && TileColumns() != m_columns)
        Relayout();
    return QWidget::eventFilter(watched, event);
}

TOverviewWindow::~TOverviewWindow() { m_reader.Stop(); }

void TOverviewWindow::StartReading()
{
    m_reader.Start();
}

void TOverviewWindow::showEvent(QShowEvent* event)
{
    StartReading();
    RefreshAges();
    m_ageTimer.start();
    QWidget::showEvent(event);
}

void TOverviewWindow::hideEvent(QHideEvent* event)
{
    // The reading goes on; only the clock of the ages rests.
    m_ageTimer.stop();
    QWidget::hideEvent(event);
}

void TOverviewWindow::Watch(int address)
{
    if (address < 0 || address > kLastAddress || m_chambers.contains(address))
        return;
    m_chambers.insert(address, NewWatchedChamber(address));
    Board().Watch({QString(), address});
    auto* tile = new TChamberTile(address, m_tileArea);
    m_tiles.insert(address, tile);
    connect(tile, &TChamberTile::Clicked, this, &TOverviewWindow::ChamberClicked);
    // Attached to a recorder, which keeps every chamber's log.
    tile->Log->setEnabled(LabelLine->text().isEmpty());
    connect(tile->Log, &QCheckBox::clicked, this,
            [this, address](bool on) { Guarded([this, address, on] { SetChamberLog(address, on); }); });
    ShowChamber(m_chambers[address], QDateTime::currentMSecsSinceEpoch());
    Relayout();
    m_reader.SetAddresses(Watched());
    if (CheckLogAll->isChecked()) {
        tile->Log->setChecked(true);
        SetChamberLog(address, true, false);
    }
}

QVector<int> TOverviewWindow::Watched() const { return QVector<int>(m_chambers.keyBegin(), m_chambers.keyEnd()); }

const WatchedChamber* TOverviewWindow::Chamber(int address) const { return Entry(m_chambers, address); }

const ChamberLog* TOverviewWindow::Log(int address) const
{
    const auto it = m_logs.find(address);
    return it == m_logs.end() ? nullptr : &it->second;
}

TChamberTile* TOverviewWindow::Tile(int address) const { return m_tiles.value(address, nullptr); }

const WatchedStatus* TOverviewWindow::Status(int address) const { return Board().Find({QString(), address}); }

StatusBoard& TOverviewWindow::Board() { return AlarmCenter ? AlarmCenter->Board() : m_ownBoard; }

const StatusBoard& TOverviewWindow::Board() const { return AlarmCenter ? AlarmCenter->Board() : m_ownBoard; }

const AlarmRules* TOverviewWindow::Alarms(int address) const
{
    return AlarmCenter ? AlarmCenter->ChamberRules(address) : nullptr;
}

void TOverviewWindow::Relayout()
{
    m_columns = TileColumns();
    RelayoutLine(m_grid, m_tiles);
    for (auto& [line, group] : m_lineGroups)
        RelayoutLine(group.grid, group.tiles);
}

void TOverviewWindow::RelayoutLine(QGridLayout* grid, const QMap<int, TChamberTile*>& tiles)
{
    for (TChamberTile* tile : tiles)
        grid->removeWidget(tile);
    int i = 0;
    for (TChamberTile* tile : tiles) {  // ascending addresses
        grid->addWidget(tile, i / m_columns, i % m_columns);
        ++i;
    }
}

void TOverviewWindow::ShowChamber(const WatchedChamber& chamber, qint64 nowMs)
{
    if (TChamberTile* tile = m_tiles.value(chamber.address))
        tile->Show(chamber, nowMs);
    const bool lab = AlarmCenter && !AlarmCenter->LabAlarmText().isEmpty();
    m_model->Show(chamber, nowMs, lab);
}

void TOverviewWindow::OnRead(const OverviewRead& read)
{
    // The main window shows it as its poll, and feeds its alarms from it.
    if (read.selected)
        emit SelectedRead(read);
    ShowRead(read);
}

void TOverviewWindow::ShowRead(const OverviewRead& read)
{
    auto it = m_chambers.find(read.address);
    if (it == m_chambers.end())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    ApplyOverviewRead(*it, read, now, DecimalSeparator());
    // Only an answer makes a record: an unanswered read measured nothing, and
    // its time beside the last answer's values would be a time nothing was
    // read at.
    const auto log = m_logs.find(read.address);
    if (read.answered && log != m_logs.end())
        log->second.Take(ChamberRecordLine(LocalNow(), it->view));
    // The chamber's alarms, by the rules of the main window's chamber (the
    // alarm centre keeps them and writes the event file); the link alarm once
    // it has gone silent. A file failure is said on the window, once per read.
    if (AlarmCenter && !read.selected) {
        QString failure;
        const std::vector<AlarmEvent> events = AlarmCenter->AfterChamberRead(read, m_portLabel, &failure);
        if (!failure.isEmpty())
            LabelMessage->setText(QStringLiteral("Файл тревог: %1").arg(failure));
        if (!events.empty())
            emit ChamberAlarmEvents(read.address, events);
    }

    Board().TakeRead({QString(), read, now}, m_portLabel);
    ShowChamberAlarms(read.address);
    if (read.answered)
        LabelMessage->clear();
    emit ChamberRead(*it, read.answered);
}

void TOverviewWindow::ShowChamberAlarms(int address)
{
    auto it = m_chambers.find(address);
    if (it == m_chambers.end())
        return;
    // Red while an alarm of the chamber is active or not yet acknowledged, as
    // the main window's marker is.
    it->outstandingAlarms = 0;
    it->alarmText.clear();
    const std::vector<Alarm> alarms = AlarmCenter ? AlarmCenter->ChamberAlarms(address) : std::vector<Alarm>();
    for (const Alarm& a : alarms)
        if (a.active || !a.acknowledged) {
            ++it->outstandingAlarms;
            it->alarmText = QStringLiteral("Камера №%1: %2").arg(address).arg(a.text);
        }
    // A tile's counts hold until acknowledged, as its colour does.
    Board().SetAlarmCounts({QString(), address}, OutstandingAlarmCounts(alarms));
    if (Endpoint)
        Endpoint->PublishChambers(Board().Chambers());
    ShowChamber(*it, QDateTime::currentMSecsSinceEpoch());
}

void TOverviewWindow::RefreshAges()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = m_chambers.cbegin(); it != m_chambers.cend(); ++it)
        if (TChamberTile* tile = m_tiles.value(it.key()))
            tile->Show(*it, now);
    for (const auto& [line, group] : m_lineGroups)
        for (auto it = group.chambers.cbegin(); it != group.chambers.cend(); ++it)
            if (TChamberTile* tile = group.tiles.value(it.key()))
                tile->Show(*it, now);
    m_model->SetNow(now);
}

void TOverviewWindow::ButtonAddClick()
{
    bool ok = false;
    const QString text = QInputDialog::getText(this, QStringLiteral("Добавить адрес…"),
                                               QStringLiteral("Адрес камеры (0…%1):").arg(kLastAddress),
                                               QLineEdit::Normal, QString(), &ok);
    if (ok)
        AddAddressText(text);
}

void TOverviewWindow::AddAddressText(const QString& text)
{
    int address = -1;
    const QString why = CheckNewAddress(text, Watched(), &address);
    LabelMessage->setText(why);
    if (!why.isEmpty())
        return;
    RecordAction(JournalAction::WatchAdd, JournalChamber(address), QString(), QStringLiteral("Камера №%1").arg(address),
                 JournalOutcomeDone());
    Watch(address);
}
