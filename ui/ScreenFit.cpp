#include "ui/ScreenFit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QWidget>
#include <algorithm>

QRect FitOuterRect(const QRect& wanted, const QRect& available)
{
    if (available.isEmpty())
        return wanted;
    const int width = std::min(wanted.width(), available.width());
    const int height = std::min(wanted.height(), available.height());
    const int left = std::clamp(wanted.left(), available.left(), available.left() + available.width() - width);
    const int top = std::clamp(wanted.top(), available.top(), available.top() + available.height() - height);
    return {left, top, width, height};
}

void PlaceWindow(QWidget* window, QSize client, std::optional<QPoint> topLeft)
{
    QScreen* screen = topLeft ? QGuiApplication::screenAt(*topLeft) : nullptr;
    if (!screen)
        screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect();

    // The real frame once the window system has drawn one, the usual one before.
    const QRect frame = window->frameGeometry();
    const QRect inner = window->geometry();
    QMargins margins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                     frame.bottom() - inner.bottom());
    if (margins.isNull() && !window->isVisible())
        margins = kAssumedFrame;

    const QPoint origin = topLeft ? *topLeft : frame.topLeft();
    auto fit = [&](QSize inner) {
        return FitOuterRect(QRect(origin, inner.grownBy(margins)), available);
    };
    QRect outer = fit(client);
    // A window cut short in one direction scrolls in it; its scroll bar takes
    // room the other way, which the window gets where the screen has it.
    const QSize shrunk = outer.size().shrunkBy(margins);
    const int bar = window->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, window);
    if (shrunk.height() < client.height() || shrunk.width() < client.width())
        outer = fit(QSize(client.width() + (shrunk.height() < client.height() ? bar : 0),
                          client.height() + (shrunk.width() < client.width() ? bar : 0)));
    window->resize(outer.width() - margins.left() - margins.right(), outer.height() - margins.top() - margins.bottom());
    // A window placed by the window system (no topLeft) only needs to fit.
    if (topLeft)
        window->move(outer.topLeft());
}

void BringToFront(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}
