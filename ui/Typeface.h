// The windows' typeface and the self-sizing label every window places by hand.
#pragma once

#include <QFont>
#include <QString>

class QLabel;
class QWidget;

// Times New Roman at a pixel size (Liberation Serif stands in where it is
// missing, see Startup.cpp).
QFont Tnr(int pixels, bool bold = false, bool underline = false);

// A label sized to its text and placed at (left, top).
QLabel* AutoLabel(QWidget* parent, const QString& text, int left, int top, const QFont& font);
