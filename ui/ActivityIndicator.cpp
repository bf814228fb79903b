#include "ui/ActivityIndicator.h"

#include <QPainter>
#include <cmath>

namespace {
constexpr int kDots = 8;
}

TActivityIndicator::TActivityIndicator(QWidget* parent) : QWidget(parent)
{
    m_timer.setInterval(50);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_frame = (m_frame + 1) % kDots;
        update();
    });
}

void TActivityIndicator::SetAnimate(bool on)
{
    if (on && !m_timer.isActive())
        m_timer.start();
    else if (!on)
        m_timer.stop();
}

void TActivityIndicator::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(width() / 2.0, height() / 2.0);
    const double radius = std::min(width(), height()) / 2.0 - 4.0;
    for (int i = 0; i < kDots; ++i) {
        const double angle = 2 * M_PI * i / kDots - M_PI / 2;
        // The dot at the current frame is darkest; the trail fades behind it.
        const int age = (m_frame - i + kDots) % kDots;
        QColor colour(Qt::black);
        colour.setAlphaF(1.0 - age * 0.11);
        painter.setBrush(colour);
        painter.setPen(Qt::NoPen);
        const QPointF dot(centre.x() + radius * std::cos(angle), centre.y() + radius * std::sin(angle));
        painter.drawEllipse(dot, 2.6, 2.6);
    }
}
