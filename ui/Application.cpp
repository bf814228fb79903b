// Calvetra: operator's client for climatic test chambers on a Modbus RTU line.
#include <QApplication>
#include <QGuiApplication>
#include <QCoreApplication>
#include <QTextStream>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "monitoring/ActionJournal.h"

#include "report/ReportPdf.h"
#include "ui/CloseSignals.h"
#include "ui/Startup.h"
#include "services/Watching.h"
#include "ui/AlarmCenter.h"

namespace {

// Printed by --help; kept to the options main() and the windows take.
constexpr char kUsage[] =
    "Вызов: calvetra [параметры]\n"
    "Клиент оператора для климатических камер на линии Modbus RTU.\n"
    "Без параметров открывает главное окно.\n"
    "\n"
    "  --listen [АДРЕС:]ПОРТ    наблюдение: GET /metrics и /api/status по HTTP,\n"
    "                           только для чтения; без адреса — 127.0.0.1\n"
    "                           (например --listen 9100, --listen 0.0.0.0:9464)\n"
    "  --report ЖУРНАЛ -o ОТЧЁТ.pdf [--from \"ГГГГ-ММ-ДД ЧЧ:ММ\"] [--to \"ГГГГ-ММ-ДД ЧЧ:ММ\"]\n"
    "                           отчёт PDF по журналу камеры, без окна\n"
    "  --verify-journal ФАЙЛ… [--head N:ХЕШ]\n"
    "                           проверяет файлы журнала действий, без окна; с --head\n"
    "                           ещё и что последний файл кончается записью N с этим\n"
    "                           хешем (голова из /metrics или из журнала регистратора)\n"
    "  -h, --help               этот текст\n"
    "\n"
    "Переменные окружения:\n"
    "  CALVETRA_COM1 … CALVETRA_COM5   устройство для COM1…COM5 (важнее файла настроек)\n"
    "\n"
    "Настройки: ~/.config/Calvetra/Calvetra.conf (или $XDG_CONFIG_HOME/Calvetra/Calvetra.conf).\n";

// Decided before any Qt object exists: the help needs no display.
bool WantsHelp(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

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
    if (WantsHelp(argc, argv)) {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
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
