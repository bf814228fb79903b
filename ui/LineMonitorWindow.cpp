#include "ui/LineMonitorWindow.h"

#include <QAbstractEventDispatcher>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QSaveFile>
#include <QScrollBar>
#include <QVBoxLayout>

#include "ui/ScreenFit.h"

TLineMonitorWindow* FormLineMonitor = nullptr;

namespace {
constexpr int kDrainMs = 100;
// Hidden, the rings are emptied seldom: nobody looks, and the counters only
// need every chunk. The rings hold well over this long of a scan's traffic.
constexpr int kHiddenDrainMs = 5000;
}

TLineMonitorWindow::TLineMonitorWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Монитор линии"));

    LabelCounters = new QLabel(CountersText({}), this);
    LabelStatus = new QLabel(this);
    LabelStatus->setWordWrap(true);
    ButtonPause = new QPushButton(QStringLiteral("Пауза"), this);
    ButtonClear = new QPushButton(QStringLiteral("Очистить"), this);
    ButtonSave = new QPushButton(QStringLiteral("Сохранить…"), this);
    List = new QPlainTextEdit(this);
    List->setReadOnly(true);
    List->setLineWrapMode(QPlainTextEdit::NoWrap);
    List->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // The view holds no more than the monitor does.
    List->setMaximumBlockCount(static_cast<int>(m_monitor.Capacity()));

    auto* top = new QHBoxLayout;
    top->addWidget(LabelCounters, 1);
    top->addWidget(ButtonPause);
    top->addWidget(ButtonClear);
    top->addWidget(ButtonSave);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(LabelStatus);
    layout->addWidget(List, 1);

    connect(ButtonPause, &QPushButton::clicked, this, [this] { PauseClick(); });
    connect(ButtonClear, &QPushButton::clicked, this, [this] { ClearClick(); });
    connect(ButtonSave, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Сохранить монитор линии"),
                                                          QStringLiteral("линия.txt"),
                                                          QStringLiteral("Текст (*.txt)"));
        if (!path.isEmpty())
            SaveTo(path);
    });
    // Sized once laid out, so that the layout does not grow it again.
    PlaceWindow(this, {1100, 560}, std::nullopt);
    m_drainTimer.setInterval(kHiddenDrainMs);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] { Drain(); });
    // Hidden, it has no timer of its own: the rings are emptied when the
    // thread is awake anyway (the clock ticks twice a second), just before it
    // sleeps again, once the hidden interval has passed.
    m_sinceDrain.start();
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this, [this] {
        if (!m_drainTimer.isActive() && m_sinceDrain.hasExpired(m_drainTimer.interval()))
            Drain();
    });
}

void TLineMonitorWindow::Drain()
{
    m_sinceDrain.start();
    DrainLineRecording(m_monitor);
    LabelCounters->setText(CountersText(m_monitor.Counters()));
    if (!isVisible() || m_monitor.TotalKept() == m_shown)
        return;
    const auto& entries = m_monitor.Entries();
    const quint64 fresh = m_monitor.TotalKept() - m_shown;
    if (fresh >= entries.size()) {
        RebuildView();
        return;
    }
    QScrollBar* bar = List->verticalScrollBar();
    // Near the end counts as the end: a resize moves the end by a few lines.
    const bool atEnd = bar->value() >= bar->maximum() - bar->pageStep() / 4;
    for (size_t i = entries.size() - fresh; i < entries.size(); ++i)
        List->appendPlainText(LineEntryText(entries[i]));
    m_shown = m_monitor.TotalKept();
    if (atEnd)
        bar->setValue(bar->maximum());
}

void TLineMonitorWindow::RebuildView()
{
    QStringList lines;
    for (const LineEntry& entry : m_monitor.Entries())
        lines << LineEntryText(entry);
    List->setPlainText(lines.join(u'\n'));
    // The text is laid out later; the end is known once it is.
    QTimer::singleShot(0, List, [this] { List->verticalScrollBar()->setValue(List->verticalScrollBar()->maximum()); });
    m_shown = m_monitor.TotalKept();
}

void TLineMonitorWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_drainTimer.setInterval(kDrainMs);
    m_drainTimer.start();
    DrainLineRecording(m_monitor);
    RebuildView();
}

void TLineMonitorWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_drainTimer.stop();
    m_drainTimer.setInterval(kHiddenDrainMs);
}

void TLineMonitorWindow::PauseClick()
{
    m_monitor.SetPaused(!m_monitor.Paused());
    ButtonPause->setText(m_monitor.Paused() ? QStringLiteral("Продолжить") : QStringLiteral("Пауза"));
}

void TLineMonitorWindow::ClearClick()
{
    DrainLineRecording(m_monitor);
    m_monitor.Clear();
    List->clear();
    m_shown = m_monitor.TotalKept();
    LabelCounters->setText(CountersText(m_monitor.Counters()));
}

bool TLineMonitorWindow::SaveText(const QString& path, QString* error)
{
    QSaveFile file(path);
    const QByteArray text = LineMonitorText(m_monitor).toUtf8();
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

void TLineMonitorWindow::SaveTo(const QString& path)
{
    QString error;
    const bool saved = SaveText(path, &error);
    LabelStatus->setText(saved ? QStringLiteral("Сохранено: %1").arg(path)
                               : QStringLiteral("Не удалось сохранить %1: %2").arg(path, error));
    LabelStatus->setToolTip(LabelStatus->text());
}
