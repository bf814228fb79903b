// The program stopped from outside (systemctl stop, Ctrl+C, the end of a
// session) ends as a closed main window does: the port is closed, so the
// line is left for the next program, and the process exits normally.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/CloseSignals.h"
#include "ui/ErrorDisplay.h"
#include "ui/Startup.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {

constexpr int kCloseSignals[] = {SIGTERM, SIGINT, SIGHUP};

// 1: another program made the line exclusive; 0: free; -1: cannot tell.
int ExclusiveFlag(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY ? 1 : -1;
    int flag = -1;
    if (::ioctl(fd, TIOCGEXCL, &flag) != 0)
        flag = -1;
    ::close(fd);
    return flag;
}

class CloseSignalsTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
        bus.AddChamber(1);
    }
    void TearDown() override
    {
        StopHandlingCloseSignals();
        AppFixture::TearDown();
        bus.Stop();
    }
    sim::BusSimulator bus;
};

// The real program with a settings folder of its own and the endpoint on port.
void StartRealProgram(QProcess& app, const QTemporaryDir& config, int port)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(QStringLiteral(CALVETRA_APP), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)});
}

int FreeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

}  // namespace

TEST_F(CloseSignalsTest, EachSignalClosesThePortAsClosingTheWindowDoes)
{
    for (const int number : kCloseSignals) {
        SCOPED_TRACE(number);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
        Form1->ListBox1->clear();
        Form1->ListBox1->addItem(ChamberEntryText(1));
        Form1->ListBox1->setCurrentRow(0);
        if (Form1->ReadingActive == 0)
            Guarded([] { Form1->Button6Click(); });
        ASSERT_NE(PortHandle, kNoPort);
        ASSERT_EQ(ExclusiveFlag(bus.SlavePath()), 1);

        ResumeWaits();  // the closing before abandoned every wait of this process
        HandleCloseSignals();
        ASSERT_EQ(::raise(number), 0);
        // Taken from the event loop, not inside the handler.
        EXPECT_NE(PortHandle, kNoPort);
        EXPECT_TRUE(PumpUntil([] { return PortHandle == kNoPort; }, 2000));
        EXPECT_EQ(RunningReceiveThreads(), 0);
        // Left for the next program: our exclusivity went with the port.
        EXPECT_EQ(ExclusiveFlag(bus.SlavePath()), 0);
        StopHandlingCloseSignals();
    }
}

TEST_F(CloseSignalsTest, ASignalDuringASilentPollEndsItAtOnce)
{
    // Real waits: the poll of a silent chamber would hold the window 16 s.
    SetTimeScale(1.0);
    OpenPortOn(bus.SlavePath());
    sim::Faults gone;
    gone.silent = true;
    bus.SetFaults(1, gone);
    Form1->ListBox1->clear();
    Form1->ListBox1->addItem(ChamberEntryText(1));
    Form1->ListBox1->setCurrentRow(0);
    HandleCloseSignals();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        ::kill(::getpid(), SIGTERM);
    });
    QElapsedTimer took;
    took.start();
    Guarded([] { Form1->Button6Click(); });
    const qint64 pollMs = took.elapsed();
    stopper.join();
    // Abandoned within the attempt under way, and what it did not hear says
    // nothing: no link-loss window.
    EXPECT_LT(pollMs, 3000);
    EXPECT_TRUE(PumpUntil([] { return PortHandle == kNoPort; }, 2000));
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_FALSE(Form1->Timer1->isActive());
    EXPECT_EQ(RunningReceiveThreads(), 0);
}

TEST_F(CloseSignalsTest, ASignalEndsAnOpenMessageBox)
{
    OpenPortOn(bus.SlavePath());
    HandleCloseSignals();
    bool boxReturned = false;
    bool portClosedInBox = false;
    QTimer::singleShot(0, [&] {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Calvetra"), QStringLiteral("…"), QMessageBox::Ok);
        QTimer::singleShot(100, [] { ::kill(::getpid(), SIGTERM); });
        box.exec();
        portClosedInBox = PortHandle == kNoPort;
        boxReturned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return boxReturned; }, 2000));
    EXPECT_TRUE(portClosedInBox);
    EXPECT_TRUE(ApplicationClosed());
}

TEST(CloseSignalsApp, TheRealProgramEndsOnASignalWithAStartUpMessageOpen)
{
    // The endpoint's port is taken: the error display's box stays open.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost, 0));
    QTemporaryDir config;
    QProcess app;
    StartRealProgram(app, config, taken.serverPort());
    ASSERT_TRUE(app.waitForStarted(5000));
    // Time to reach the box: its handlers are installed before it.
    QThread::msleep(1500);
    ASSERT_EQ(app.state(), QProcess::Running) << app.readAll().toStdString();
    QElapsedTimer took;
    took.start();
    ASSERT_EQ(::kill(static_cast<pid_t>(app.processId()), SIGTERM), 0);
    const bool ended = app.waitForFinished(5000);
    if (!ended)
        app.kill();
    ASSERT_TRUE(ended) << "still running 5 s after SIGTERM";
    EXPECT_LT(took.elapsed(), 2000);
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << app.readAll().toStdString();
    EXPECT_EQ(app.exitCode(), 0);
}

TEST(CloseSignalsApp, TheRealProgramExitsNormallyOnEachSignal)
{
    for (const int number : kCloseSignals) {
        SCOPED_TRACE(number);
        QTemporaryDir config;
        const int port = FreeTcpPort();
        ASSERT_GT(port, 0);
        QProcess app;
        StartRealProgram(app, config, port);
        ASSERT_TRUE(app.waitForStarted(5000));
        // Up once its endpoint answers: the handlers are in place by then.
        bool up = false;
        for (int i = 0; i < 200 && !up; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
            up = probe.waitForConnected(100);
            if (!up)
                QThread::msleep(50);
        }
        ASSERT_TRUE(up) << app.readAll().toStdString();
        ASSERT_EQ(::kill(static_cast<pid_t>(app.processId()), number), 0);
        ASSERT_TRUE(app.waitForFinished(10000));
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << app.readAll().toStdString();
        EXPECT_EQ(app.exitCode(), 0);
    }
}
