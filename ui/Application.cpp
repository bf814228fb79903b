// Calvetra: operator's client for climatic test chambers on a Modbus RTU line.
#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>
#include <clocale>
#include <cstring>

#include "monitoring/ActionJournal.h"

#include "ui/Startup.h"
#include "ui/Watching.h"

int main(int argc, char** argv)
{
    // --verify-journal FILE…: checks journal files and exits; no display needed.
    if (argc > 1 && std::strcmp(argv[1], "--verify-journal") == 0) {
        QCoreApplication core(argc, argv);
        QTextStream out(stdout);
        return VerifyJournalFiles(QCoreApplication::arguments().mid(2), out);
    }
    QApplication app(argc, argv);
    // Dates, times and the decimal separator follow the user's locale.
    std::setlocale(LC_ALL, "");
    CreateApplicationWindows();
    // --listen [ADDRESS:]PORT: the read-only endpoint for watchers elsewhere.
    StartWatching(QApplication::arguments());
    const int result = app.exec();
    StopWatching();
    return result;
}
