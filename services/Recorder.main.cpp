// calvetra-recorder: the recorder as a service. Runs in the foreground under
// the service manager, logs each event as one line to standard error, stops
// cleanly on SIGTERM and SIGINT and reads its configuration anew on SIGHUP.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "link/Waits.h"
#include "services/Recorder.h"
#include "services/RecorderConfig.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int number)
{
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

const char kUsage[] =
    "Использование: calvetra-recorder [--config ФАЙЛ] [--check]\n"
    "Регистратор климатических камер: опрашивает все линии конфигурации\n"
    "и ведёт журналы данных без окна и без дисплея.\n"
    "\n"
    "  --config ФАЙЛ  конфигурация (по умолчанию /etc/calvetra/recorder.conf)\n"
    "  --check        только проверить конфигурацию и выйти\n"
    "  --help         эта справка\n"
    "  --version      версия\n"
    "\n"
    "Сигналы: SIGTERM и SIGINT — остановка, SIGHUP — перечитать конфигурацию.\n"
    "Код 78 — ошибка конфигурации.\n";

void Say(const QString& text)
{
    const QByteArray line = (text + u'\n').toUtf8();
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line.constData(), static_cast<size_t>(line.size()));
}

}  // namespace

int main(int argc, char** argv)
{
    QString configPath = QString::fromLatin1(kDefaultRecorderConfig);
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("calvetra-recorder %s\n", CALVETRA_VERSION);
            return 0;
        }
        if (std::strcmp(arg, "--check") == 0) {
            checkOnly = true;
        } else if (std::strcmp(arg, "--config") == 0 && i + 1 < argc) {
            configPath = QString::fromLocal8Bit(argv[++i]);
        } else if (std::strncmp(arg, "--config=", 9) == 0) {
            configPath = QString::fromLocal8Bit(arg + 9);
        } else {
            std::fprintf(stderr, "calvetra-recorder: неизвестный параметр %s\n%s", arg, kUsage);
            return 64;  // EX_USAGE
        }
    }

    QCoreApplication app(argc, argv);
    // Tests run the program with its fixed waits (the period, the minute)
    // shortened, as they shorten them in-process.
    if (const QByteArray scale = qgetenv("CALVETRA_TIME_SCALE"); !scale.isEmpty()) {
        bool ok = false;
        const double value = scale.toDouble(&ok);
        if (ok && value > 0 && value <= 1)
            SetTimeScale(value);
    }
    RecorderConfig config;
    QString error;
    if (!ReadRecorderConfig(configPath, &config, &error)) {
        Say(QStringLiteral("конфигурация не принята: %1").arg(error));
        return kConfigErrorExit;
    }
    if (checkOnly) {
        Say(QStringLiteral("%1: конфигурация верна, линий %2").arg(configPath).arg(config.lines.size()));
        return 0;
    }

    // Signals become bytes on a pipe, read on the main thread between events.
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Say(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return 71;  // EX_OSERR
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Recorder recorder;
    if (!recorder.Start(config, &error)) {
        Say(QStringLiteral("регистратор не запущен: %1").arg(error));
        return 73;  // EX_CANTCREAT
    }
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char number = 0;
        while (::read(g_signalPipe[0], &number, 1) == 1) {
            if (number == SIGHUP) {
                RecorderConfig fresh;
                QString why;
                if (ReadRecorderConfig(configPath, &fresh, &why))
                    recorder.Reload(fresh);
                else
                    Say(QStringLiteral("новая конфигурация не принята, линии работают как прежде: %1").arg(why));
            } else {
                recorder.Stop();
                QCoreApplication::quit();
                return;
            }
        }
    });
    return QCoreApplication::exec();
}
