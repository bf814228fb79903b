#include "ui/Unit4.h"

#include "ui/ScreenFit.h"
#include "ui/Typeface.h"

namespace {

// Frame of an ordinary top-level window at 96 dpi: outer = client + this.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 39;

QLabel* AutoLabel(QWidget* parent, const QString& text, int left, int top)
{
    return AutoLabel(parent, text, left, top, Tnr(19));
}

}  // namespace

TForm4::TForm4(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint)
{
    SetWindowFace(this, QStringLiteral("Tahoma"));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    // Nothing refers to a window once the operator has closed it.
    setAttribute(Qt::WA_DeleteOnClose);

    Label1 = AutoLabel(this, QStringLiteral("Правильно заполните все ячейки, учитывая следующие ограничения:"), 32, 24);
    // "º" here is the ordinal indicator U+00BA, as the window has always shown it.
    Label2 = AutoLabel(this, QStringLiteral("T, \u00BAC: [-85..180], целое;"), 72, 66);
    Label3 = AutoLabel(this, QStringLiteral("RH,%: [0..98], целое;"), 72, 93);
    Label4 = AutoLabel(this, QStringLiteral("t, чч: [0..99], целое;"), 320, 67);
    Label5 = AutoLabel(this, QStringLiteral("t, мм: [0..59], целое;"), 320, 93);
    Label6 = AutoLabel(this, QStringLiteral("число шагов: [1..15], целое;"), 72, 120);
    Label7 = AutoLabel(this, QStringLiteral("число программ: [1..15], целое."), 320, 120);
}

TForm4* RaiseErrorWindow(QWidget* owner)
{
    auto* window = new TForm4(owner);
    window->setWindowTitle(QStringLiteral("Ошибка"));
    PlaceWindow(window, {650 - kFrameWidth, 200 - kFrameHeight}, QPoint(400, 400));
    window->show();
    return window;
}
