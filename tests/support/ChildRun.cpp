#include "support/ChildRun.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

ChildResult RunTestInChild(const QString& name, const QString& platform, const QStringList& environment)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALVETRA_TEST_PLATFORM"), platform);
    for (const QString& pair : environment) {
        const qsizetype eq = pair.indexOf(u'=');
        env.insert(pair.left(eq), pair.mid(eq + 1));
    }
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_also_run_disabled_tests"), QStringLiteral("--gtest_filter=") + name});
    ChildResult result;
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
    } else {
        result.finished = child.exitStatus() == QProcess::NormalExit;
        result.exitCode = child.exitCode();
    }
    result.output = QString::fromUtf8(child.readAll());
    // A filter that matched nothing would pass without running anything.
    if (!result.output.contains(QStringLiteral("[       OK ] ") + name) &&
        !result.output.contains(QStringLiteral("[  FAILED  ] ") + name))
        result.finished = false;
    return result;
}

XvfbServer::XvfbServer(const QString& screen)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return;
    int fds[2];
    if (::pipe(fds) != 0)
        return;
    const QByteArray program = xvfb.toLocal8Bit();
    const QByteArray displayFd = QByteArray::number(fds[1]);
    const QByteArray geometry = screen.toLocal8Bit();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDERR_FILENO);
        // -displayfd: the server picks a free display and writes its number.
        ::execl(program.constData(), "Xvfb", "-displayfd", displayFd.constData(), "-screen", "0",
                geometry.constData(), "-nolisten", "tcp", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return;
    }
    m_pid = pid;
    QByteArray number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
        char c;
        if (::read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number.append(c);
    }
    ::close(fds[0]);
    if (!number.isEmpty())
        m_display = QStringLiteral(":") + QString::fromLatin1(number);
}

XvfbServer::~XvfbServer()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
}
