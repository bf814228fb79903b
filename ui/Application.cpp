// Calvetra: operator's client for climatic test chambers on a Modbus RTU line.
#include <QApplication>
#include <QGuiApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTextStream>
#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "monitoring/ActionJournal.h"

#include "report/ReportPdf.h"
#include "services/JournalRecorder.h"
#include "services/Signature.h"
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
    "      --stability --condition 25/60 [--delay МИН] [--stability-csv ОТКЛОНЕНИЯ.csv]\n"
    "                           отчёт об условиях хранения: 25/60, 30/65, 30/75, 40/75,\n"
    "                           5 или Т±dT/RH±dRH; --delay — короче неё отклонение\n"
    "                           считается открытием двери (по умолчанию задержка\n"
    "                           тревоги); --stability-csv — отклонения в CSV (можно без -o)\n"
    "  --verify-journal ФАЙЛ… [--head N:ХЕШ]\n"
    "                           проверяет файлы журнала действий, без окна; с --head\n"
    "                           ещё и что последний файл кончается записью N с этим\n"
    "                           хешем (голова из /metrics или из журнала регистратора)\n"
    "  --verify-report ОТЧЁТ.pdf… [--journal ПАПКА]\n"
    "                           известна ли журналу действий эта версия отчёта и чьи\n"
    "                           подписи на ней, без окна (0 — известна, 1 — нет)\n"
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
    ReportOutcome written;
    QString path;
    RunReportCommand(QGuiApplication::arguments(), &exitCode, &written, &path);
    // Every report written is journalled with its SHA-256: --verify-report
    // knows it by that. Kept and said when the journal cannot take it.
    if (exitCode == 0 && !written.sha256.isEmpty()) {
        QString failure;
        if (!AppendOrKeepJournal(ActionJournalFolder(),
                                 ReportWrittenEntry(written.number, QFileInfo(path).absoluteFilePath(), written.sha256, 0),
                                 QDateTime::currentDateTime(), &failure)) {
            std::fprintf(stderr, "calvetra: журнал действий не записывается: %s\n", failure.toLocal8Bit().constData());
            FinishJournal();
            return 1;
        }
    }
    return exitCode;
}

// --verify-report FILE… [--journal FOLDER]: no display needed.
int VerifyReportsOnly(int argc, char** argv)
{
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Calvetra"));
    QCoreApplication::setOrganizationName(QStringLiteral("Calvetra"));
    QStringList files;
    QString folder;
    const QStringList args = QCoreApplication::arguments().mid(2);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--journal") && i + 1 < args.size())
            folder = args[++i];
        else
            files << args[i];
    }
    QTextStream out(stdout);
    if (files.isEmpty()) {
        out << "calvetra --verify-report FILE.pdf… [--journal FOLDER]: no file given\n";
        return 1;
    }
    if (folder.isEmpty())
        folder = ActionJournalFolder();
    int result = 0;
    for (const QString& file : files)
        result = std::max(result, VerifyReportFile(file, folder, out));
    return result;
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
    if (argc > 1 && std::strcmp(argv[1], "--verify-report") == 0)
        return VerifyReportsOnly(argc, argv);
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
