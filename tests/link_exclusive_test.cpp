// Exclusive use of the port against the simulator's line: a port another
// program or a second instance holds is a failed open that says so, for
// root too, and nobody's close takes a holder's exclusivity away.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/PortUnit.h"
#include "monitoring/PortMessages.h"
#include "sim/ChamberSim.h"

namespace {

// How another program holds the line.
enum class Hold {
    Lock,       // an advisory lock, as exclusive serial libraries take it
    Exclusive,  // the tty's exclusive flag only, as terminal programs set it
};

// Another process holding the device until it is told to let go.
class Holder {
public:
    Holder(const std::string& path, Hold how)
    {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            bool held = fd >= 0;
            if (held && how == Hold::Lock)
                held = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            if (held && how == Hold::Exclusive)
                held = ::ioctl(fd, TIOCEXCL) == 0;
            const char state = held ? 'y' : 'n';
            (void)!::write(ready[1], &state, 1);
            char c;
            (void)!::read(release[0], &c, 1);
            if (how == Hold::Exclusive)
                ::ioctl(fd, TIOCNXCL);  // a tidy program clears its flag
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_release = release[1];
        char state = 'n';
        m_held = ::read(ready[0], &state, 1) == 1 && state == 'y';
        ::close(ready[0]);
    }
    ~Holder() { Release(); }
    bool held() const { return m_held; }
    void Release()
    {
        if (m_release >= 0)
            ::close(m_release);  // end of file: the holder lets go and exits
        m_release = -1;
        if (m_pid > 0)
            ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_release = -1;
    bool m_held = false;
};

// A second Calvetra on the same machine: its own process, the same open.
// Returns the errno of its failed open, 0 when it opened the port.
int SecondInstanceOpen(const std::string& path)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        int error = 0;
        const int fd = OpenSerialDevice(path, &error);
        if (fd != kNoPort) {
            CloseSerialDevice(fd);
            ::_exit(0);
        }
        ::_exit(error > 0 && error < 256 ? error : 255);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Whether the tty's exclusive flag is set, asked through a descriptor of its own.
int ExclusiveFlag(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY ? 1 : -1;  // an ordinary user is refused: it is set
    int flag = -1;
    if (::ioctl(fd, TIOCGEXCL, &flag) != 0)
        flag = -1;
    ::close(fd);
    return flag;
}

}  // namespace

TEST(ExclusivePort, HeldElsewhereRefusedSecondInstanceRefusedReleasedOnClose)
{
    SetTimeScale(1.0);
    sim::BusSimulator bus;
    std::string error;
    ASSERT_TRUE(bus.Start(&error)) << error;
    bus.SetSpeed(0);
    ASSERT_TRUE(bus.AddChamber(1));
    const std::string path = bus.SlavePath();
    ::setenv("CALVETRA_COM1", path.c_str(), 1);
    const bool root = ::geteuid() == 0;

    // Held by another program, whichever way it holds it; as root as well.
    for (const Hold how : {Hold::Lock, Hold::Exclusive}) {
        SCOPED_TRACE(how == Hold::Lock ? "lock" : "exclusive flag");
        Holder other(path, how);
        ASSERT_TRUE(other.held());
        const PortOpenResult refused = OpenPort(0);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.error, EBUSY);
        EXPECT_NE(PortOpenMessage(refused).find("используется"), std::string::npos) << PortOpenMessage(refused);
        EXPECT_NE(PortOpenMessage(refused).find(path), std::string::npos) << PortOpenMessage(refused);
        EXPECT_EQ(PortHandle, kNoPort);
        EXPECT_FALSE(ReadExchange(1, 0x04, 3, 160)) << "nothing may reach the line";
        if (how == Hold::Exclusive)
            EXPECT_EQ(ExclusiveFlag(path), 1) << "the refused open took the holder's exclusivity away";
        ClosePort();
        if (how == Hold::Exclusive)
            EXPECT_EQ(ExclusiveFlag(path), 1) << "closing took the holder's exclusivity away";
        other.Release();
        // Once it has let go the port opens and the chamber answers.
        const PortOpenResult opened = OpenPort(0);
        ASSERT_TRUE(opened.ok) << PortOpenMessage(opened);
        EXPECT_TRUE(ReadExchange(1, 0x04, 3, 160));
        ClosePort();
    }

    // Held by this instance: a second one is refused and leaves it be.
    const PortOpenResult first = OpenPort(0);
    ASSERT_TRUE(first.ok) << PortOpenMessage(first);
    EXPECT_EQ(SecondInstanceOpen(path), EBUSY);
    int flag = 0;
    ASSERT_EQ(::ioctl(PortHandle, TIOCGEXCL, &flag), 0);
    EXPECT_EQ(flag, 1) << "the second instance's close cleared our exclusivity";
    const int probe = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe >= 0) {  // only root gets a descriptor past the exclusive flag
        EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0) << "the port we hold was not locked";
        ::close(probe);
    }
    EXPECT_EQ(probe >= 0, root);
    EXPECT_TRUE(ReadExchange(1, 0x04, 3, 160));

    // Released on close: the second instance opens it now.
    ClosePort();
    EXPECT_EQ(ExclusiveFlag(path), 0);
    EXPECT_EQ(SecondInstanceOpen(path), 0);

    ::unsetenv("CALVETRA_COM1");
    bus.Stop();
}
