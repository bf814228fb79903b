#include "ui/Unit5.h"

#include "ui/ScreenFit.h"
#include "ui/Typeface.h"

TForm5* Form5 = nullptr;

TForm5::TForm5(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint)
{
    setWindowTitle(QStringLiteral("Обрыв связи"));
    PlaceWindow(this, {549, 140}, std::nullopt);
    Label1 = new QLabel(QStringLiteral("Возможен обрыв линии RS-485"), this);
    Label1->setFont(Tnr(19));
    Label1->adjustSize();
    Label1->move(128, 56);
    // It informs; it must not take the focus away from the main window.
    setAttribute(Qt::WA_ShowWithoutActivating);
}
