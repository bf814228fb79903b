#include "control/Unit3.h"

#include <QCloseEvent>

TForm3* Form3 = nullptr;

TForm3::TForm3(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Управление с ЭВМ"));
    resize(1125, 661);
}

void TForm3::closeEvent(QCloseEvent* event)
{
    // Closing only hides: the contents stay for the next showing.
    hide();
    event->ignore();
}
