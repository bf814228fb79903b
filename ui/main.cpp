#include "ui/main.h"
#include "link/ThreadHandoff.h"

#include <algorithm>
#include <QCloseEvent>
#include <cstdio>
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QAction>
#include <QDateTime>
#include <QFileInfo>

#include "ui/Unit3.h"
#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/LineOwner.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/StatusDecode.h"
#include "ui/AlarmCenter.h"
#include "ui/ChartWindow.h"
#include "monitoring/PortMessages.h"
#include "monitoring/PortSettings.h"
#include "ui/ErrorDisplay.h"
#include "ui/JournalWindow.h"
#include "ui/ScreenFit.h"
#include "ui/Startup.h"
#include "ui/LineMonitorWindow.h"
#include "ui/OverviewWindow.h"
#include "ui/PortMappingDialog.h"
#include "ui/ScrollingClient.h"
#include "ui/Typeface.h"
#include "ui/Unit5.h"

TForm1* Form1 = nullptr;

namespace {

// On the receive thread: the window looks at the port on its own thread.
void NotePortLost()
{
    std::lock_guard<std::mutex> posting(HandoffLock(Handoff::PortLost));
    QMetaObject::invokeMethod(
        qApp, [] {
            { std::lock_guard<std::mutex> arrived(HandoffLock(Handoff::PortLost)); }
            if (Form1)
                Guarded([] { Form1->TimerPortTimer(); });
        },
        Qt::QueuedConnection);
}

// Client area of the 1127 x 856 outer window at 96 dpi.
constexpr int kClientWidth = 1111;
constexpr int kClientHeight = 817;

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 128, 0);

QLabel* Heading(QWidget* parent, const QString& text, int left, int top)
{
    return AutoLabel(parent, text, left, top, Tnr(24, true, true));
}

// A fixed box with its text centred; the texts come from the status poll.
QLabel* ValueField(QWidget* parent, const char* name, QRect bounds, int pixels, bool bold, const QColor& colour, bool whiteBackground)
{
    auto* label = new QLabel(parent);
    // The status field table finds the field by this name.
    label->setObjectName(QLatin1String(name));
    label->setGeometry(bounds);
    label->setFont(Tnr(pixels, bold));
    label->setAlignment(Qt::AlignCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    if (whiteBackground) {
        palette.setColor(QPalette::Window, Qt::white);
        label->setAutoFillBackground(true);
    }
    label->setPalette(palette);
    return label;
}

// A caption panel: single-line border, centred caption, button-face background.
QLabel* CaptionPanel(QWidget* parent, const QString& caption, QRect bounds)
{
    auto* panel = new QLabel(caption, parent);
    panel->setGeometry(bounds);
    panel->setFont(Tnr(21));
    panel->setAlignment(Qt::AlignCenter);
    panel->setFrameShape(QFrame::Box);
    panel->setLineWidth(1);
    panel->setAutoFillBackground(true);
    panel->setBackgroundRole(QPalette::Button);
    return panel;
}

QPushButton* Button(QWidget* parent, const QString& caption, QRect bounds, bool enabled)
{
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(bounds);
    button->setFont(Tnr(19));
    button->setEnabled(enabled);
    return button;
}

// "COM1 (/dev/ttyS0)" for the journal; "" when no port was opened.
QTimer* Timer(QObject* parent, int interval)
{
    auto* timer = new QTimer(parent);
    timer->setInterval(ScaledMs(interval));
    // Coarse timers may drift by 5 %, 200 ms on the poll period.
    timer->setTimerType(Qt::PreciseTimer);
    return timer;
}

}  // namespace

namespace {

// Under the port group: the scan, its results and the switches.
void BuildScanColumn(TForm1* f, QWidget* c)
{
    f->Label22 = Heading(c, QStringLiteral("Поиск устройства"), 38, 123);
    f->Button4 = Button(c, QStringLiteral("Пуск"), {16, 180, 105, 41}, false);
    f->Button1 = Button(c, QStringLiteral("Стоп"), {139, 180, 113, 41}, false);
    f->ProgressBar1 = new QProgressBar(c);
    f->ProgressBar1->setGeometry(16, 227, 236, 38);
    f->ProgressBar1->setRange(0, 100);
    f->ProgressBar1->setValue(0);
    f->ProgressBar1->setTextVisible(false);
    f->ProgressBar1->setStyleSheet(QStringLiteral(
        "QProgressBar { border: 1px solid gray; background: white; }"
        "QProgressBar::chunk { background: rgb(0, 255, 255); }"));
    f->Label26 = AutoLabel(c, QString(14, u' '), 104, 276, Tnr(16));
    {
        QPalette palette = f->Label26->palette();
        palette.setColor(QPalette::Window, Qt::white);
        palette.setColor(QPalette::WindowText, Qt::black);
        f->Label26->setPalette(palette);
        f->Label26->setAutoFillBackground(true);
    }
    f->Panel11 = CaptionPanel(c, QStringLiteral("Результаты сканирования"), {16, 313, 236, 30});
    f->ListBox1 = new QListWidget(c);
    f->ListBox1->setGeometry(16, 341, 236, 253);
    f->ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    {
        QFont listFont(QStringLiteral("MS Sans Serif"));
        listFont.setPixelSize(16);
        f->ListBox1->setFont(listFont);
        f->ListBox1->setStyleSheet(QStringLiteral("QListWidget::item { height: 20px; }"));
    }
    f->Button6 = Button(c, QStringLiteral("Чтение текущих показаний"), {16, 600, 236, 57}, false);
    f->Button2 = Button(c, QStringLiteral("Управление камерой"), {16, 663, 236, 65}, false);
    f->CheckBox1 = new QCheckBox(QStringLiteral("Запись в файл"), c);
    f->CheckBox1->setGeometry(8, 734, 153, 49);
    f->LabelRecorderLog = new QLabel(c);
    // In the scan's progress bar's place, which an attached window does not use.
    f->LabelRecorderLog->setGeometry(16, 226, 236, 44);
    f->LabelRecorderLog->setFont(Tnr(12));
    f->LabelRecorderLog->setWordWrap(true);
    f->LabelRecorderLog->hide();
    f->CheckBox1->setFont(Tnr(21));
    f->CheckBox1->setEnabled(false);
}

// The current and set values, the times and the thermocycling fields.
void BuildValueArea(TForm1* f, QWidget* c)
{
    f->Label23 = Heading(c, QStringLiteral(" Температура/влажность"), 499, 3);
    f->ActivityIndicator1 = new TActivityIndicator(c);
    f->ActivityIndicator1->setGeometry(780, 3, 32, 32);
    f->Label5 = ValueField(c, "Label5", {311, 96, 154, 69}, 63, true, kRed, true);
    f->Label6 = AutoLabel(c, QStringLiteral("/"), 472, 96, Tnr(60, true));
    f->Label2 = ValueField(c, "Label2", {496, 96, 131, 69}, 63, true, kGreen, true);
    f->Panel2 = CaptionPanel(c, QStringLiteral("Текущая температура/влажность, °C/%"), {295, 171, 354, 30});
    f->Label18 = ValueField(c, "Label18", {712, 96, 153, 66}, 63, true, kRed, false);
    f->Label7 = AutoLabel(c, QStringLiteral("/"), 872, 93, Tnr(60, true));
    f->Label4 = ValueField(c, "Label4", {896, 96, 124, 69}, 63, true, kGreen, true);
    f->Panel3 = CaptionPanel(c, QStringLiteral("Заданная температура/влажность, °C/%"), {696, 171, 365, 30});

    f->Label24 = Heading(c, QStringLiteral("Временные показатели"), 531, 227);
    f->ActivityIndicator2 = new TActivityIndicator(c);
    f->ActivityIndicator2->setGeometry(802, 227, 32, 32);
    f->Label15 = ValueField(c, "Label15", {341, 294, 208, 73}, 75, false, kGreen, false);
    f->Panel4 = CaptionPanel(c, QStringLiteral("Время выхода на режим, чч:мм"), {311, 373, 291, 30});
    f->Label11 = ValueField(c, "Label11", {766, 294, 225, 73}, 75, false, kGreen, false);
    f->Panel9 = CaptionPanel(c, QStringLiteral("Время стабилизации, чч:мм"), {744, 373, 260, 30});
    f->Label3 = ValueField(c, "Label3", {341, 432, 225, 73}, 75, false, kRed, false);
    f->Panel10 = CaptionPanel(c, QStringLiteral("Уставка времени выхода на режим, чч:мм"), {273, 530, 376, 30});
    f->Label19 = ValueField(c, "Label19", {766, 432, 208, 73}, 75, false, kRed, false);
    f->Panel5 = CaptionPanel(c, QStringLiteral("Уставка времени стабилизации, чч:мм"), {696, 530, 349, 30});

    f->Label25 = Heading(c, QStringLiteral("Параметры термоциклирования"), 509, 592);
    f->ActivityIndicator3 = new TActivityIndicator(c);
    f->ActivityIndicator3->setGeometry(883, 592, 32, 32);
    f->Label13 = ValueField(c, "Label13", {301, 643, 256, 81}, 75, false, kGreen, false);
    f->Panel6 = CaptionPanel(c, QStringLiteral("Текущий шаг(всего шагов)"), {304, 747, 253, 30});
    f->Label17 = ValueField(c, "Label17", {584, 643, 200, 81}, 75, false, kGreen, false);
    f->Panel7 = CaptionPanel(c, QStringLiteral("Текущая программа"), {582, 747, 200, 30});
    f->Label20 = ValueField(c, "Label20", {832, 643, 274, 81}, 75, false, kGreen, false);
    f->Panel8 = CaptionPanel(c, QStringLiteral("Текущий цикл(всего циклов)"), {837, 747, 261, 30});
}

// The version, the alarm marker, the buttons of the other windows and the
// clock; the journal warning above the times.
void BuildBottomLine(TForm1* f, QWidget* c)
{
    f->Label1 = AutoLabel(c, QStringLiteral("v" CALVETRA_VERSION_TEXT), 8, 799, f->font());
    f->Label8 = new QLabel(c);
    f->Label8->setGeometry(904, 793, 194, 19);
    f->Label8->setFont(Tnr(16));
    f->Label8->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // In the free strip of the bottom line, reached last by Tab.
    f->ButtonChart = new QPushButton(QStringLiteral("График"), c);
    f->ButtonChart->setGeometry(410, 786, 80, 27);
    f->ButtonChart->setFont(Tnr(16));
    // Left part of the strip, between the version and "График".
    f->AlarmMarker = MakeAlarmMarker(c, {150, 786, 254, 27});
    f->ButtonMonitor = new QPushButton(QStringLiteral("Монитор линии"), c);
    f->ButtonMonitor->setGeometry(496, 786, 130, 27);
    f->ButtonMonitor->setFont(Tnr(16));
    f->ButtonJournal = new QPushButton(QStringLiteral("Журнал действий"), c);
    f->ButtonJournal->setGeometry(632, 786, 130, 27);
    f->ButtonJournal->setFont(Tnr(16));
    // In the free strip between the set values and the time heading.
    f->LabelJournal = new QLabel(c);
    f->LabelJournal->setGeometry(273, 203, 830, 22);
    f->LabelJournal->setFont(Tnr(15, true));
    {
        QPalette palette = f->LabelJournal->palette();
        palette.setColor(QPalette::WindowText, kRed);
        f->LabelJournal->setPalette(palette);
    }
    f->LabelJournal->hide();

    f->ButtonOverview = new QPushButton(QStringLiteral("Обзор камер"), c);
    f->ButtonOverview->setGeometry(768, 786, 130, 27);
    f->ButtonOverview->setFont(Tnr(16));
}

void SetFocusOrder(TForm1* f)
{
    // Only these take focus, in this order.
    const std::initializer_list<QWidget*> order{f->ComboBox1, f->Button4,     f->Button5,       f->ListBox1,
                                                f->Button6,   f->CheckBox1,   f->Button1,       f->Button2,
                                                f->ButtonChart, f->ButtonMonitor, f->ButtonJournal, f->ButtonOverview};
    for (QWidget* w : order)
        w->setFocusPolicy(Qt::StrongFocus);
    for (auto it = order.begin(); it + 1 != order.end(); ++it)
        QWidget::setTabOrder(*it, *(it + 1));
}

void MakeTimers(TForm1* f)
{
    f->Timer1 = Timer(f, kStatusPollPeriodMs);
    f->Timer2 = Timer(f, 500);
    f->Timer4 = Timer(f, 60000);
    f->Timer5 = Timer(f, 100);
    f->Timer6 = Timer(f, 5000);
    // Real time whatever the scale of the waits. It runs only while reading
    // waits for a pulled adapter to come back; the pull itself is reported
    // by the receive thread the moment it happens.
    f->TimerPort = new QTimer(f);
    f->TimerPort->setInterval(200);
    f->TimerRecorder = Timer(f, 1000);
    // Shortened with the waits, but never so far that its asks alone reach
    // the recorder's rate of requests.
    f->TimerRecorder->setInterval(std::max(f->TimerRecorder->interval(), 250));
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Связь с ЭВМ"));
    SetWindowFace(this, QStringLiteral("MS Sans Serif"));

    QWidget* c = MakeScrollingClient(this, kClientWidth, kClientHeight);

    // Left column: port, scan, chamber list and switches.
    Label21 = Heading(c, QStringLiteral("Установка порта"), 38, 3);
    ComboBox1 = new TPortComboBox(c);
    RefreshPortList();
    const QString remembered = LoadPortSettings().lastPort;
    ComboBox1->setCurrentIndex(FindPortEntry(m_portEntries, remembered));
    ComboBox1->setGeometry(16, 52, 105, 21);
    ComboBox1->beforePopup = [this] { RefreshPortList(); };
    ComboBox1->setContextMenuPolicy(Qt::ActionsContextMenu);
    {
        auto* mapping = new QAction(QStringLiteral("Устройства COM1–COM5…"), ComboBox1);
        connect(mapping, &QAction::triggered, this, [this] { Guarded([this] { EditPortMapping(this); }); });
        ComboBox1->addAction(mapping);
    }
    Button5 = Button(c, QStringLiteral("Открыть"), {139, 52, 113, 41}, true);
    // In the free space under the port group.
    LabelPort = new QLabel(c);
    LabelPort->setGeometry(16, 96, 236, 22);
    LabelPort->setFont(Tnr(15));
    // An adapter remembered from the last run but not plugged in now: no
    // entry is picked, and the operator is told instead of seeing COM1.
    const QString missing = RememberedPortText(m_portEntries, remembered);
    if (!missing.isEmpty())
        m_missingPort = remembered;
    ShowPortState(missing, true);
    BuildScanColumn(this, c);

    BuildValueArea(this, c);

    for (int i = 0; i < kStatusFieldCount; ++i) {
        m_fieldLabels[i] = findChild<QLabel*>(QLatin1String(kStatusFields[i].label));
        if (!m_fieldLabels[i])
            qFatal("No value label %s on the main window", kStatusFields[i].label);
    }

    BuildBottomLine(this, c);

    SetFocusOrder(this);

    MakeTimers(this);
    SetPortLostHook(&NotePortLost);

    PlaceWindow(this, {kClientWidth, kClientHeight}, QPoint(0, 0));

    Connect();
    Guarded([this] { FormCreate(); });
    Timer2->start();
}

TForm1::~TForm1() { SetPortLostHook(nullptr); }

void TForm1::Connect()
{
    connect(ComboBox1, &QComboBox::activated, this, [this] { Guarded([this] { ComboBox1Change(); }); });
    connect(Button5, &QPushButton::clicked, this, [this] { Guarded([this] { Button5Click(); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(ListBox1, &QListWidget::itemClicked, this, [this] { Guarded([this] { ListBox1Click(); }); });
    connect(ListBox1, &QListWidget::currentRowChanged, this, [this] { Guarded([this] { ListBox1Click(); }); });
    connect(Button6, &QPushButton::clicked, this, [this] { Guarded([this] { Button6Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(); }); });
    connect(ButtonChart, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonChartClick(); }); });
    connect(CheckBox1, &QCheckBox::clicked, this, [this] { Guarded([this] { CheckBox1Click(); }); });
    connect(Timer1, &QTimer::timeout, this, [this] { Guarded([this] { Timer1Timer(); }); });
    connect(Timer2, &QTimer::timeout, this, [this] { Guarded([this] { Timer2Timer(); }); });
    connect(Timer4, &QTimer::timeout, this, [this] { Guarded([this] { Timer4Timer(); }); });
    connect(Timer5, &QTimer::timeout, this, [this] { Guarded([this] { Timer5Timer(); }); });
    connect(Timer6, &QTimer::timeout, this, [this] { Guarded([this] { Timer6Timer(); }); });
    connect(TimerPort, &QTimer::timeout, this, [this] { Guarded([this] { TimerPortTimer(); }); });
    connect(TimerRecorder, &QTimer::timeout, this, [this] { Guarded([this] { ReadStatus(); }); });
    connect(&DesktopRecorder(), &RecorderClient::AttachedNow, this,
            [this] { Guarded([this] { RecorderAvailable(true, QString()); }); });
    connect(&DesktopRecorder(), &RecorderClient::Unavailable, this,
            [this](const QString& why) { Guarded([this, why] { RecorderAvailable(false, why); }); });
    connect(ButtonMonitor, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonMonitorClick(); }); });
    connect(ButtonJournal, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonJournalClick(); }); });
    connect(ButtonOverview, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonOverviewClick(); }); });
}

void TForm1::EnableTimer(QTimer* timer)
{
    if (!timer->isActive())
        timer->start();
}

void TForm1::FormCreate()
{
    ShowIdleTexts();
    ListBox1->clear();
    ActivityIndicator1->SetAnimate(true);
    ActivityIndicator2->SetAnimate(true);
    ActivityIndicator3->SetAnimate(true);
}

void TForm1::ShowIdleTexts()
{
    for (int i = 0; i < kStatusFieldCount; ++i)
        m_fieldLabels[i]->setText(QString::fromUtf8(kStatusFields[i].idleText));
}

void TForm1::Timer2Timer()
{
    ShowClock();
    AlarmsCheckReads();
}

void TForm1::ShowClock()
{
    const QString date = ShortDateText(LocalNow());
    const QString time = LongTimeText(LocalNow());
    Label8->setText(date + QStringLiteral("  ") + time);
}

void TForm1::ComboBox1Change() { Button5->setEnabled(true); }

void TForm1::Button5Click()
{
    const int index = ComboBox1->currentIndex();
    if (index >= m_portEntries.size() && index - m_portEntries.size() < m_recorderLines.size()) {
        AttachRecorderLine(m_recorderLines[index - m_portEntries.size()]);
        return;
    }
    // A port of its own: the recorder's line is left first.
    DetachRecorder();
    // A device entry opens its path; COM1..COM5 and no choice go by the
    // port names as before.
    const bool device = index >= kComEntries && index < m_portEntries.size();
    PortOpenResult result;
    OnLine([&] {
        result = device ? OpenPortDevice(m_portEntries[index].caption.toStdString(),
                                         m_portEntries[index].devicePath.toStdString())
                        : OpenPort(index);
    });
    // Recorded after the open, whose outcome it carries. A journal that
    // cannot be written keeps the record for later and the port stays open
    // (watching goes on); anything else thrown closes it again.
    try {
        RecordAction(JournalAction::PortOpen, QString(), PortText(m_openPortName, m_openDevicePath),
                     PortText(result.portName, result.devicePath),
                     result.ok ? JournalOutcomeDone() : QStringLiteral("не открыт: %1").arg(QString::fromStdString(PortOpenMessage(result))));
    } catch (...) {
        if (result.ok)
            OnLine(ClosePort);
        throw;
    }
    // A warning about the old line says nothing about the new one.
    if (Form5)
        Form5->hide();
    m_openPortName = result.portName;
    m_openDevicePath = result.devicePath;
    if (FormOverview)
        FormOverview->SetPortLabel(QString::fromStdString(result.portName));
    m_portGone = false;
    ShowPortState(QString(), false);
    Button4->setEnabled(true);
    Button1->setEnabled(true);
    Button5->setEnabled(false);
    if (result.ok && index >= 0 && index < m_portEntries.size())
        SaveLastPort(m_portEntries[index].Key());
    if (result.ok)
        m_missingPort.clear();
    // Everything the open does happens first; then the operator learns that
    // the port is not there instead of watching a scan that finds nothing.
    if (!result.ok)
        throw EInOutError(PortOpenMessage(result));
}

void TForm1::RefreshPortList()
{
    QString current = ComboBox1->currentIndex() >= 0 && ComboBox1->currentIndex() < m_portEntries.size()
                          ? m_portEntries[ComboBox1->currentIndex()].Key()
                          : QString();
    const int recorderIndex = ComboBox1->currentIndex() - m_portEntries.size();
    const QString currentLine = recorderIndex >= 0 && recorderIndex < m_recorderLines.size()
                                    ? m_recorderLines[recorderIndex].name
                                    : QString();
    // The remembered adapter plugged in meanwhile is picked again.
    if (current.isEmpty() && !m_missingPort.isEmpty())
        current = m_missingPort;
    m_portEntries = BuildPortEntries(ListSerialDevices());
    const QSignalBlocker quiet(ComboBox1);
    ComboBox1->clear();
    for (const PortEntry& entry : m_portEntries) {
        ComboBox1->addItem(entry.caption);
        if (!entry.devicePath.isEmpty())
            ComboBox1->setItemData(ComboBox1->count() - 1, entry.devicePath, Qt::ToolTipRole);
    }
    RefreshRecorderEntries();
    ComboBox1->setCurrentIndex(FindPortEntry(m_portEntries, current));
    for (int i = 0; i < m_recorderLines.size(); ++i)
        if (!currentLine.isEmpty() && m_recorderLines[i].name == currentLine)
            ComboBox1->setCurrentIndex(m_portEntries.size() + i);
    if (!m_missingPort.isEmpty() && ComboBox1->currentIndex() >= 0) {
        m_missingPort.clear();
        ShowPortState(QString(), false);
    }
}

void TForm1::ShowPortState(const QString& text, bool bad)
{
    QPalette palette = LabelPort->palette();
    palette.setColor(QPalette::WindowText, bad ? kRed : kGreen);
    LabelPort->setPalette(palette);
    LabelPort->setToolTip(text);
    LabelPort->setText(LabelPort->fontMetrics().elidedText(text, Qt::ElideRight, LabelPort->width()));
}

void TForm1::TimerPortTimer()
{
    if (!m_portGone && !m_openDevicePath.empty() && PortLost()) {
        m_portGone = true;
        ShowPortState(QStringLiteral("Адаптер отключён: %1").arg(QString::fromStdString(m_openDevicePath)), true);
    }
    // The same device back while reading is on or a scan runs: open it
    // again, and the polls, the log and the scan go on by themselves.
    const bool scanning = ScanRunning == 1 && ScanAddress <= kLastAddress;
    if (m_portGone && (ReadingActive == 1 || scanning) &&
        QFileInfo::exists(QString::fromStdString(m_openDevicePath))) {
        PortOpenResult result;
        OnLine([&] { result = OpenPortDevice(m_openPortName, m_openDevicePath); });
        if (result.ok) {
            m_portGone = false;
            ShowPortState(QStringLiteral("Адаптер снова подключён: %1").arg(QString::fromStdString(m_openDevicePath)),
                          false);
        }
    }
    // Looks again only while there is a device to wait for.
    if (m_portGone && (ReadingActive == 1 || scanning))
        EnableTimer(TimerPort);
    else
        TimerPort->stop();
}

void TForm1::ButtonMonitorClick()
{
    BringToFront(FormLineMonitor);
}

void TForm1::ButtonJournalClick()
{
    BringToFront(FormJournal);
}

void TForm1::ShowJournalState(const QString& message)
{
    LabelJournal->setToolTip(message);
    LabelJournal->setText(LabelJournal->fontMetrics().elidedText(message, Qt::ElideRight, LabelJournal->width()));
    LabelJournal->setVisible(!message.isEmpty());
}

void TForm1::ButtonOverviewClick()
{
    if (!FormOverview)
        return;
    // Chambers found before the window was first opened are watched too.
    for (int i = 0; i < ListBox1->count(); ++i)
        FormOverview->Watch(AddressFromEntry(ListBox1->item(i)->text()));
    BringToFront(FormOverview);
}

void TForm1::Button2Click()
{
    BringToFront(Form3);
}

void TForm1::ButtonChartClick()
{
    BringToFront(FormChart);
}

void TForm1::RecordTrend(const StatusReply& reply)
{
    if (!FormChart)
        return;
    TrendSample sample;
    sample.time = QDateTime::currentMSecsSinceEpoch();
    sample.answered = reply.decoded;
    auto tenths = [](const Accepted& v) { return v.accepted ? v.value / 10.0 : NAN; };
    if (reply.decoded) {
        sample.currentTemp = tenths(reply.currentTemp);
        sample.setTemp = tenths(reply.setTemp);
        sample.currentHumidity = tenths(reply.currentHumidity);
        sample.setHumidity = tenths(reply.setHumidity);
    }
    FormChart->AddLiveSample(sample);
}

void TForm1::FormClose()
{
    if (PortHandle != kNoPort) {
        // Closing the application is not refused: a record that cannot be
        // written is told, and the port closes all the same.
        try {
            RecordAction(JournalAction::PortClose, QString(), PortText(m_openPortName, m_openDevicePath), QString(),
                         JournalOutcomeDone());
        } catch (...) {
            OnLine(ClosePort);
            throw;
        }
    }
    OnLine(ClosePort);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // The process ends in every state: no exchange is waited for, nothing
    // falls due any more, the overview's reading ends before the port goes.
    AbandonWaits();
    for (QTimer* timer : {Timer1, Timer4, Timer5, Timer6, TimerPort})
        timer->stop();
    DesktopLine().ClearExpectedExchange();
    if (FormOverview)
        FormOverview->Reader().Stop();
    // A failure is told on the standard error: a message box would hold the
    // closing up until somebody answers it.
    try {
        FormClose();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "calvetra: %s\n", error.what());
    }
    event->accept();
    MarkApplicationClosed();
    // A message box or dialog open ends its own loop first; then the main
    // loop ends. quit() would ask every window to close, and one that
    // refuses would keep the process alive.
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible())
            dialog->reject();
    QCoreApplication::exit(0);
}

int SelectedEntryIndex(const QListWidget& list)
{
    const QListWidgetItem* current = list.currentItem();
    return current && current->isSelected() ? list.currentRow() : -1;
}
