// A busy indicator: dots circling a centre, one frame every 50 ms while on.
#pragma once

#include <QTimer>
#include <QWidget>

class TActivityIndicator : public QWidget {
    Q_OBJECT
public:
    explicit TActivityIndicator(QWidget* parent = nullptr);
    void SetAnimate(bool on);
    bool Animate() const { return m_timer.isActive(); }
    int Frame() const { return m_frame; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QTimer m_timer;
    int m_frame = 0;
};
