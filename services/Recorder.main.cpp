// calvetra-recorder: the recorder as a service. Runs in the foreground under
// the service manager, logs each event as one line to standard error, stops
// cleanly on SIGTERM and SIGINT and reads its configuration anew on SIGHUP.
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "link/Waits.h"
#include "services/ProcessSignals.h"
#include "services/Recorder.h"
#include "services/RecorderConfig.h"

namespace {

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

    // A peer gone from a TCP line or the endpoint is an error of that write,
    // not the end of the recorder.
    ::signal(SIGPIPE, SIG_IGN);

    Recorder recorder;
    if (!recorder.Start(config, &error)) {
        Say(QStringLiteral("регистратор не запущен: %1").arg(error));
        return 73;  // EX_CANTCREAT
    }
    // Taken between events: a reload never runs inside a line's hand-over.
    const bool handled = HandleProcessSignals(SignalHandling{}, [&](int number) {
        if (number == SIGHUP) {
            RecorderConfig fresh;
            QString why;
            if (ReadRecorderConfig(configPath, &fresh, &why))
                recorder.Reload(fresh);
            else
                Say(QStringLiteral("новая конфигурация не принята, линии работают как прежде: %1").arg(why));
            return;
        }
        recorder.Stop();
        StopHandlingProcessSignals();
        QCoreApplication::quit();
    });
    if (!handled) {
        Say(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        recorder.Stop();
        return 71;  // EX_OSERR
    }
    return QCoreApplication::exec();
}
