// The windows' typeface and the self-sizing label every window places by hand.
#pragma once

#include <QFont>
#include <QString>

class QLabel;
class QWidget;

// Times New Roman at a pixel size (Liberation Serif stands in where it is
// missing, see Startup.cpp).
QFont Tnr(int pixels, bool bold = false, bool underline = false);

// The face every control of a window inherits: `family` at 11 pixels, as
// the windows were laid out for.
void SetWindowFace(QWidget* window, const QString& family);

// A label sized to its text and placed at (left, top).
QLabel* AutoLabel(QWidget* parent, const QString& text, int left, int top, const QFont& font);
