// Calvetra: operator's client for climatic test chambers on a Modbus RTU line.
#include <QApplication>
#include <clocale>

#include "ui/Startup.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Dates, times and the decimal separator follow the user's locale.
    std::setlocale(LC_ALL, "");
    CreateApplicationWindows();
    return app.exec();
}
