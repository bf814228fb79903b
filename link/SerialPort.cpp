#include "link/SerialPort.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A closed standard stream would hand us its number; "no port" must never
// look like a descriptor the process already means otherwise. The
// descriptor, moved above them when needed, or kNoPort (fd closed).
int AboveStandardStreams(int fd, int* error)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    if (high < 0) {
        *error = errno;
        return kNoPort;
    }
    return high;
}

// TIOCEXCL alone refuses only later opens, and never root's: a program that
// already holds the line (a terminal program, a modem manager probing a new
// adapter, a second instance) must make this open fail, or two masters talk
// on one RS-485 line. Programs that open ports exclusively take this
// advisory lock as well. False leaves fd open for the caller to close; the
// holder's exclusivity is not ours to clear.
bool TakeLineExclusively(int fd, int* error)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? EBUSY : errno;
        return false;
    }
    int heldExclusively = 0;
    if (::ioctl(fd, TIOCGEXCL, &heldExclusively) == 0 && heldExclusively) {
        // Someone made the line exclusive without the lock; root got past it.
        *error = EBUSY;
        return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

// 57600 8N1, raw. Bytes must pass unchanged both ways: no echo, no CR/LF
// translation, no XON/XOFF (0x11 and 0x13 occur in Modbus data), no RTS/CTS.
bool SetRawLine(int fd, int* error)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        *error = errno;
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B57600);
    ::cfsetospeed(&tio, B57600);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

}  // namespace

int OpenSerialDevice(const std::string& path, int* error)
{
    // O_NONBLOCK so that open does not wait for carrier; the receive thread
    // waits for bytes with epoll instead.
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return kNoPort;
    }
    fd = AboveStandardStreams(fd, error);
    if (fd == kNoPort)
        return kNoPort;
    if (!TakeLineExclusively(fd, error)) {
        ::close(fd);
        return kNoPort;
    }
    // Ours now: closing also gives up the exclusivity.
    if (!SetRawLine(fd, error)) {
        CloseSerialDevice(fd);
        return kNoPort;
    }
    return fd;
}

void CloseSerialDevice(int fd)
{
    if (fd < 0)
        return;
    // Only an open that succeeded gets here, so the exclusive flag is ours.
    // It outlives our descriptor while another one (an adapter's daemon, the
    // simulator) keeps the tty open; clear it so that the next open by an
    // ordinary user succeeds. Closing releases the lock.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void PurgeInput(int fd)
{
    if (fd >= 0)
        ::tcflush(fd, TCIFLUSH);
}

void PurgeOutput(int fd)
{
    if (fd >= 0)
        ::tcflush(fd, TCOFLUSH);
}

bool WriteBytes(int fd, const uint8_t* bytes, size_t length)
{
    if (fd < 0)
        return false;
    size_t done = 0;
    int stalls = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && stalls++ < 5) {
            // The driver's queue is full; a frame is at most 35 bytes, so a
            // short wait lets it drain. Past that the frame is given up.
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
            continue;
        }
        return false;
    }
    return true;
}
