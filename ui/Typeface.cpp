#include "ui/Typeface.h"

#include <QWidget>

#include <QLabel>

QFont Tnr(int pixels, bool bold, bool underline)
{
    QFont font(QStringLiteral("Times New Roman"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setUnderline(underline);
    return font;
}

QLabel* AutoLabel(QWidget* parent, const QString& text, int left, int top, const QFont& font)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->adjustSize();
    label->move(left, top);
    return label;
}

void SetWindowFace(QWidget* window, const QString& family)
{
    QFont face(family);
    face.setPixelSize(11);
    window->setFont(face);
}
