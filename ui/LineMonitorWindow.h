// "Монитор линии": every frame sent and chunk received, with its meaning and
// the line's counters; pause, clear, save as text. Non-modal.
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include "monitoring/LineMonitor.h"

class TLineMonitorWindow : public QWidget {
    Q_OBJECT
public:
    explicit TLineMonitorWindow(QWidget* parent = nullptr);

    // Takes what the link recorded into the monitor and brings the view up
    // to date; run by a timer from the event loop, so never inside a handler.
    void Drain();
    // The text as saved; false with the system's reason in *error.
    bool SaveText(const QString& path, QString* error = nullptr);
    // "Сохранить…" after the dialog: the outcome stays in LabelStatus, which
    // the counters' refresh leaves alone.
    void SaveTo(const QString& path);
    const LineMonitor& Monitor() const { return m_monitor; }
    // How often Drain runs now: often while shown, seldom while hidden.
    int DrainInterval() const { return m_drainTimer.interval(); }
    // Whether it keeps a timer of its own: only while shown.
    bool DrainTimerRunning() const { return m_drainTimer.isActive(); }

    QLabel* LabelCounters;
    QLabel* LabelStatus;
    QPushButton* ButtonPause;
    QPushButton* ButtonClear;
    QPushButton* ButtonSave;
    QPlainTextEdit* List;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void RebuildView();
    void PauseClick();
    void ClearClick();

    LineMonitor m_monitor;
    quint64 m_shown = 0;  // TotalKept() of the last entry in the view
    QTimer m_drainTimer;
    QElapsedTimer m_sinceDrain;
};

extern TLineMonitorWindow* FormLineMonitor;
