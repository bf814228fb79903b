// Windows laid out in fixed pixels keep their sizes and positions where the
// screen holds them; on a smaller screen they open at its available area and
// are never placed off it.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>

class QWidget;

// Frame of an ordinary top-level window at 96 dpi (outer 1127 x 856 around a
// 1111 x 817 client); assumed while the window system has not told us yet.
inline const QMargins kAssumedFrame{8, 31, 8, 8};

// The outer rectangle a window gets: the wanted one where it fits inside the
// available area; otherwise no larger than that area and moved into it.
QRect FitOuterRect(const QRect& wanted, const QRect& available);

// Sizes (and, when topLeft is given, places) a top-level window whose client
// area should be `client` and whose frame's top-left corner `topLeft`, on the
// available area of the screen it will open on.
void PlaceWindow(QWidget* window, QSize client, std::optional<QPoint> topLeft);

// Shows a non-modal window (again) and brings it in front of the others.
void BringToFront(QWidget* window);
