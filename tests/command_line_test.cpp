// The real program's command line where no window is wanted: the help is
// printed without a display and without the offscreen platform.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct HelpRun {
    bool finished = false;
    int exitCode = -1;
    QString out, err;
};

// No display of any kind: no X, no Wayland, no platform named.
HelpRun RunWithoutDisplay(const QStringList& arguments)
{
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "CALVETRA_TEST_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(CALVETRA_APP), arguments);
    HelpRun run;
    run.finished = app.waitForFinished(60000) && app.exitStatus() == QProcess::NormalExit;
    if (!run.finished)
        app.kill();
    app.waitForFinished(5000);
    run.exitCode = app.exitCode();
    run.out = QString::fromUtf8(app.readAllStandardOutput());
    run.err = QString::fromUtf8(app.readAllStandardError());
    return run;
}

}  // namespace

TEST(CommandLine, HelpPrintsTheOptionsWithoutADisplay)
{
    for (const QStringList& arguments : {QStringList{QStringLiteral("--help")}, QStringList{QStringLiteral("-h")},
                                         QStringList{QStringLiteral("--listen"), QStringLiteral("9100"),
                                                     QStringLiteral("--help")},
                                         QStringList{QStringLiteral("--report"), QStringLiteral("log.txt"),
                                                     QStringLiteral("--help")}}) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const HelpRun run = RunWithoutDisplay(arguments);
        ASSERT_TRUE(run.finished) << run.err.toStdString();
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.startsWith(QStringLiteral("Вызов: calvetra"))) << run.out.toStdString();
        for (const char* option : {"--listen [АДРЕС:]ПОРТ", "--report ЖУРНАЛ -o ОТЧЁТ.pdf", "--verify-journal ФАЙЛ…",
                                   "-h, --help", "CALVETRA_COM1"})
            EXPECT_TRUE(run.out.contains(QString::fromUtf8(option))) << option;
        // Nothing of a window was tried: Qt would complain on stderr first.
        EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    }
}
