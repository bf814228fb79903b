// Calvetra: operator's client for climatic test chambers on a Modbus RTU line.
#include <QApplication>
#include <QGuiApplication>
#include <QCoreApplication>
#include <QTextStream>
#include <clocale>
#include <cstring>

#include "monitoring/ActionJournal.h"

#include "ui/ReportPdf.h"
#include "ui/CloseSignals.h"
#include "ui/Startup.h"
#include "ui/Watching.h"

namespace {

// --report: the PDF alone, with or without a display (a job on a server).
int ReportOnly(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    std::setlocale(LC_ALL, "");
    // Where the settings (and the report counter) are, as in the windows.
    QGuiApplication::setApplicationName(QStringLiteral("Calvetra"));
    QGuiApplication::setOrganizationName(QStringLiteral("Calvetra"));
    int exitCode = 0;
    RunReportCommand(QGuiApplication::arguments(), &exitCode);
    return exitCode;
}

}  // namespace

int main(int argc, char** argv)
{
    if (WantsReport(argc, argv))
        return ReportOnly(argc, argv);
    // --verify-journal FILE…: checks journal files and exits; no display needed.
    if (argc > 1 && std::strcmp(argv[1], "--verify-journal") == 0) {
        QCoreApplication core(argc, argv);
        QTextStream out(stdout);
        return VerifyJournalFiles(QCoreApplication::arguments().mid(2), out);
    }
    QApplication app(argc, argv);
    // Dates, times and the decimal separator follow the user's locale.
    std::setlocale(LC_ALL, "");
    // Standard dialogs and buttons in the interface's language.
    InstallQtTranslations();
    CreateApplicationWindows();
    // Stopped from outside, the program ends as a closed window does.
    HandleCloseSignals();
    // --listen [ADDRESS:]PORT: the read-only endpoint for watchers elsewhere.
    StartWatching(QApplication::arguments());
    // Closed already (a signal while a start-up message box was open): the
    // loop would never be told to end.
    const int result = ApplicationClosed() ? 0 : app.exec();
    StopWatching();
    StopHandlingCloseSignals();
    return result;
}
