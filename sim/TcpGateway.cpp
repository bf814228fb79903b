#include "sim/TcpGateway.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "sim/ModbusSlave.h"

namespace sim {

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int OpenLine(const std::string& path, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText(path.c_str());
        return -1;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B57600);
        ::cfsetospeed(&tio, B57600);
        tio.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

void WriteAll(int fd, const uint8_t* bytes, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n > 0) {
            bytes += n;
            length -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

// Length of the RTU reply starting at bytes[0] by its function's rule; 0 when
// more bytes are needed to tell, -1 when the function has none.
int ReplyLength(const uint8_t* bytes, size_t available)
{
    if (available < 2)
        return 0;
    const uint8_t function = bytes[1];
    if (function & 0x80)
        return 5;
    switch (function) {
    case 0x03:
    case 0x04:
        return available < 3 ? 0 : 3 + bytes[2] + 2;
    case 0x06:
    case 0x10:
        return 8;
    default:
        return -1;
    }
}

}  // namespace

TcpGateway::~TcpGateway() { Stop(); }

bool TcpGateway::Start(const Options& options, std::string* error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (m_thread.joinable()) {
        *error = "already running";
        return false;
    }
    m_options = options;
    m_line = OpenLine(options.linePath, error);
    if (m_line < 0)
        return false;
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (::inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1) {
        *error = "not an IPv4 address: " + options.host;
        Stop();
        return false;
    }
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(m_listen, 4) != 0) {
        *error = ErrnoText("listen");
        Stop();
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = ErrnoText("pipe");
        Stop();
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void TcpGateway::Stop()
{
    m_stop = true;
    if (m_wake[1] >= 0) {
        const char c = 's';
        [[maybe_unused]] ssize_t n = ::write(m_wake[1], &c, 1);
    }
    if (m_thread.joinable())
        m_thread.join();
    for (int* fd : {&m_line, &m_listen, &m_wake[0], &m_wake[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_port = 0;
}

void TcpGateway::DropConnection()
{
    m_drop = true;
    const char c = 'd';
    [[maybe_unused]] ssize_t n = ::write(m_wake[1], &c, 1);
}

void TcpGateway::Serve()
{
    while (!m_stop) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents) {
            char drain[16];
            while (::read(m_wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++m_accepted;
        // A drop asked for before the connection was taken up ends it too.
        if (!m_drop)
            ServeClient(client);
        m_drop = false;
        ::close(client);
    }
}

// A second client while one is served is turned away, as a box that takes
// one connection does.
void TcpGateway::RefuseWaiting()
{
    const int other = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (other >= 0) {
        ++m_refused;
        ::close(other);
    }
}

void TcpGateway::ServeClient(int client)
{
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::tcflush(m_line, TCIOFLUSH);
    if (m_options.mode == Mode::RawRtu)
        RelayRaw(client);
    else
        RelayModbusTcp(client);
}

void TcpGateway::SendToClient(int client, const uint8_t* bytes, size_t length)
{
    if (!m_options.byteByByte) {
        ::send(client, bytes, length, MSG_NOSIGNAL);
        return;
    }
    for (size_t i = 0; i < length && !m_stop; ++i) {
        ::send(client, bytes + i, 1, MSG_NOSIGNAL);
        if (m_options.pieceGap.count() > 0 && i + 1 < length)
            std::this_thread::sleep_for(m_options.pieceGap);
    }
}

void TcpGateway::RelayRaw(int client)
{
    uint8_t buffer[512];
    while (!m_stop && !m_drop) {
        pollfd fds[4] = {{client, POLLIN, 0}, {m_line, POLLIN, 0}, {m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0 && errno != EINTR)
            return;
        if (fds[2].revents)
            return;  // stop or drop: Serve drains the pipe
        if (fds[3].revents & POLLIN)
            RefuseWaiting();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            WriteAll(m_line, buffer, static_cast<size_t>(n));
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(m_line, buffer, sizeof buffer);
            if (n > 0)
                SendToClient(client, buffer, static_cast<size_t>(n));
        }
    }
}

void TcpGateway::RelayModbusTcp(int client)
{
    std::vector<uint8_t> in;
    uint8_t buffer[512];
    while (!m_stop && !m_drop) {
        // Requests are carried out one at a time, in the order they came.
        while (in.size() >= 7) {
            const size_t length = static_cast<size_t>(in[4] << 8 | in[5]);
            if ((in[2] | in[3]) != 0 || length < 2 || length > 254)
                return;  // not Modbus TCP: the connection is closed
            if (in.size() < 6 + length)
                break;
            if (!ForwardRequest(client, in.data(), 6 + length))
                return;
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(6 + length));
        }
        pollfd fds[4] = {{client, POLLIN, 0}, {m_line, POLLIN, 0}, {m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
        if (::poll(fds, 4, -1) < 0 && errno != EINTR)
            return;
        if (fds[2].revents)
            return;
        if (fds[3].revents & POLLIN)
            RefuseWaiting();
        if (fds[1].revents & POLLIN)
            while (::read(m_line, buffer, sizeof buffer) > 0) {
            }  // a late reply to a request already given up
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            in.insert(in.end(), buffer, buffer + n);
        }
    }
}

// Sends one request on the line and waits for its reply; false when the
// connection is to end.
bool TcpGateway::ForwardRequest(int client, const uint8_t* adu, size_t length)
{
    Bytes request(adu + 6, adu + length);
    AppendFrameCrc(&request);
    ::tcflush(m_line, TCIFLUSH);
    WriteAll(m_line, request.data(), request.size());

    Bytes reply;
    const auto deadline = SteadyClock::now() + m_options.replyTimeout;
    // A reply of a function without a length rule ends with the line's silence.
    constexpr auto kSilence = std::chrono::milliseconds(20);
    auto lastByte = SteadyClock::time_point{};
    bool whole = false;
    while (!m_stop && !m_drop) {
        const auto now = SteadyClock::now();
        if (now >= deadline)
            break;
        const int rule = ReplyLength(reply.data(), reply.size());
        if (rule > 0 && reply.size() >= static_cast<size_t>(rule)) {
            reply.resize(static_cast<size_t>(rule));
            whole = true;
            break;
        }
        if (rule < 0 && !reply.empty() && now - lastByte >= kSilence) {
            whole = true;
            break;
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        if (rule < 0)
            wait = std::min<long long>(wait, kSilence.count());
        pollfd fds[2] = {{m_line, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(wait)) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents)
            return false;
        if (fds[0].revents & POLLIN) {
            uint8_t buffer[256];
            const ssize_t n = ::read(m_line, buffer, sizeof buffer);
            if (n > 0) {
                reply.insert(reply.end(), buffer, buffer + n);
                lastByte = SteadyClock::now();
            }
        }
    }
    if (m_stop || m_drop)
        return false;
    const uint8_t unit = adu[6];
    if (!whole || reply.size() < 4 || !CrcValid(reply) || reply[0] != unit) {
        if (!m_options.answerTargetFailure)
            return true;
        reply = ExceptionReply(unit, adu[7], 0x0B);
    }
    const size_t pdu = reply.size() - 2;  // unit and PDU, the CRC left behind
    Bytes out{adu[0], adu[1], 0, 0, static_cast<uint8_t>(pdu >> 8), static_cast<uint8_t>(pdu)};
    out.insert(out.end(), reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(pdu));
    SendToClient(client, out.data(), out.size());
    return true;
}

}  // namespace sim
