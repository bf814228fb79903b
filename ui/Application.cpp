// Calvetra: operator's client for climatic test chambers on a Modbus RTU line.
#include <QApplication>
#include <clocale>

#include "ui/CloseSignals.h"
#include "ui/Startup.h"
#include "ui/Watching.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Dates, times and the decimal separator follow the user's locale.
    std::setlocale(LC_ALL, "");
    CreateApplicationWindows();
    // Stopped from outside, the program ends as a closed window does.
    HandleCloseSignals();
    // --listen [ADDRESS:]PORT: the read-only endpoint for watchers elsewhere.
    StartWatching(QApplication::arguments());
    const int result = app.exec();
    StopWatching();
    StopHandlingCloseSignals();
    return result;
}
