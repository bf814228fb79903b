#include "link/Transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/Mbap.h"
#include "link/SerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

// What every descriptor-backed line shares: a read that waits with poll on
// the scheduler's own thread, so no receive thread of its own is needed.
class FdTransport : public Transport {
public:
    explicit FdTransport(TransportAddress address) : Transport(std::move(address)) {}
    ~FdTransport() override { FdTransport::Close(); }
    bool IsOpen() const override { return m_fd >= 0; }
    void Close() override
    {
        if (m_fd >= 0)
            CloseFd(m_fd);
        m_fd = -1;
        m_stream.clear();
    }

protected:
    virtual void CloseFd(int fd) { ::close(fd); }
    // Turns what the descriptor gave into RTU bytes; false when the stream
    // can no longer be trusted (the line is then dropped).
    virtual bool Take(const uint8_t* chunk, size_t length, std::vector<uint8_t>* bytes)
    {
        bytes->insert(bytes->end(), chunk, chunk + length);
        return true;
    }
    bool Send(const uint8_t* frame, size_t length) override { return WriteBytes(m_fd, frame, length); }
    bool Receive(std::vector<uint8_t>* bytes, Clock::time_point deadline) override
    {
        if (m_fd < 0)
            return false;
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, MsUntil(deadline));
        if (ready < 0)
            return errno == EINTR;
        if (ready == 0)
            return true;
        uint8_t chunk[512];
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0 && Take(chunk, static_cast<size_t>(n), bytes))
            return true;
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        // End of stream, a hang-up or an error: the adapter went, or the
        // other end closed the connection.
        Close();
        return false;
    }
    // Read and passed through the framing, so a Modbus TCP stream stays in
    // step; what it carried is dropped.
    void DropInput() override
    {
        uint8_t chunk[512];
        std::vector<uint8_t> dropped;
        ssize_t n = 0;
        while (m_fd >= 0 && (n = ::read(m_fd, chunk, sizeof chunk)) > 0)
            if (!Take(chunk, static_cast<size_t>(n), &dropped))
                Close();
        if (n == 0)
            Close();  // the other end is gone; the read that follows says so
    }

    int m_fd = -1;
    std::vector<uint8_t> m_stream;  // bytes of a frame not yet whole (Modbus TCP)
};

class SerialTransport : public FdTransport {
public:
    explicit SerialTransport(TransportAddress address) : FdTransport(std::move(address)) {}
    ~SerialTransport() override { Close(); }  // the exclusive flag is cleared by our own close
    bool Open(int, std::string* reason) override
    {
        Close();
        int error = 0;
        m_fd = OpenSerialDevice(Address().device, &error);
        if (m_fd < 0) {
            *reason = std::strerror(error);
            return false;
        }
        return true;
    }

protected:
    void CloseFd(int fd) override { CloseSerialDevice(fd); }
    void DropInput() override { PurgeInput(m_fd); }
};

class TcpTransport : public FdTransport {
public:
    explicit TcpTransport(TransportAddress address) : FdTransport(std::move(address)) {}
    bool Open(int timeoutMs, std::string* reason) override
    {
        Close();
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(Address().port);
        const int lookup = ::getaddrinfo(Address().host.c_str(), service.c_str(), &hints, &found);
        if (lookup != 0) {
            *reason = ::gai_strerror(lookup);
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        *reason = "no address";
        for (addrinfo* a = found; a && m_fd < 0; a = a->ai_next)
            m_fd = ConnectOne(a, deadline, reason);
        ::freeaddrinfo(found);
        return m_fd >= 0;
    }

protected:
    bool Send(const uint8_t* frame, size_t length) override
    {
        return m_fd >= 0 && ::send(m_fd, frame, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
    }

private:
    static int ConnectOne(const addrinfo* a, Clock::time_point deadline, std::string* reason)
    {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            *reason = std::strerror(errno);
            return -1;
        }
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, MsUntil(deadline)) <= 0) {
                    error = ETIMEDOUT;
                } else {
                    socklen_t length = sizeof error;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                }
            }
        }
        if (error != 0) {
            *reason = std::strerror(error);
            ::close(fd);
            return -1;
        }
        // A request is a few bytes: it must leave at once, not wait for more.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // A gateway that went away without a word is found out in time.
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        return fd;
    }
};

class ModbusTcpTransport : public TcpTransport {
public:
    explicit ModbusTcpTransport(TransportAddress address) : TcpTransport(std::move(address)) {}

protected:
    bool Send(const uint8_t* frame, size_t length) override
    {
        ++m_transaction;
        const std::vector<uint8_t> adu = MbapRequestOf(frame, length, m_transaction);
        return !adu.empty() && TcpTransport::Send(adu.data(), adu.size());
    }
    bool Take(const uint8_t* chunk, size_t length, std::vector<uint8_t>* bytes) override
    {
        m_stream.insert(m_stream.end(), chunk, chunk + length);
        for (;;) {
            const MbapFrame frame = NextMbapFrame(m_stream.data(), m_stream.size());
            if (frame.state == MbapFrame::State::Broken)
                return false;
            if (frame.state == MbapFrame::State::Incomplete)
                return true;
            // A reply to an earlier request, given up on, is not this one's.
            if (frame.transaction == m_transaction)
                bytes->insert(bytes->end(), frame.rtu.begin(), frame.rtu.end());
            m_stream.erase(m_stream.begin(), m_stream.begin() + static_cast<std::ptrdiff_t>(frame.consumed));
        }
    }

private:
    uint16_t m_transaction = 0;
};

// A gateway's own exceptions (path unavailable, target failed to respond)
// say that the chamber did not answer, not that it refused.
void TakeGatewayExceptionAsSilence(WholeReply::Outcome* outcome, std::vector<uint8_t>* frame)
{
    if (*outcome != WholeReply::Outcome::Exception || frame->size() <= 2)
        return;
    if ((*frame)[2] == kGatewayPathUnavailable || (*frame)[2] == kGatewayTargetFailed) {
        *outcome = WholeReply::Outcome::Silent;
        frame->clear();
    }
}

}  // namespace

template <typename Whole>
std::vector<uint8_t> Transport::Collect(const uint8_t* frame, size_t length, int timeoutMs, const Whole& whole,
                                        bool* lost, bool* sent)
{
    std::vector<uint8_t> bytes;
    *lost = !IsOpen();
    *sent = false;
    if (*lost)
        return bytes;
    DropInput();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    *sent = Send(frame, length);
    while (!whole(bytes) && Clock::now() < deadline) {
        if (!Receive(&bytes, deadline)) {
            *lost = true;
            break;
        }
    }
    return bytes;
}

WholeReply Transport::Read(uint8_t address, uint8_t function, uint8_t count, int timeoutMs)
{
    const auto start = Clock::now();
    const auto request = BuildReadRequest(address, function, count);
    bool lost = false;
    bool sent = false;
    const auto bytes = Collect(
        request.data(), request.size(), timeoutMs,
        [&](const std::vector<uint8_t>& b) {
            return ScanReply(b.data(), b.size(), address, function, count).state != ReplyScan::State::Incomplete;
        },
        &lost, &sent);
    WholeReply reply = WholeReplyOf(bytes, address, function, count, lost);
    TakeGatewayExceptionAsSilence(&reply.outcome, &reply.frame);
    reply.took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    return reply;
}

WriteReply Transport::Write(const uint8_t* frame, int length, int timeoutMs)
{
    bool lost = false;
    bool sent = false;
    if (length < 8)
        return {};
    const auto bytes = Collect(
        frame, static_cast<size_t>(length), timeoutMs,
        [&](const std::vector<uint8_t>& b) {
            return !b.empty() && WriteReplyOf(b, frame, length, false).outcome != WholeReply::Outcome::Garbled;
        },
        &lost, &sent);
    WriteReply reply = WriteReplyOf(bytes, frame, length, lost);
    TakeGatewayExceptionAsSilence(&reply.outcome, &reply.frame);
    reply.sent = sent;
    return reply;
}

bool ParseTcpAddress(const std::string& text, std::string* host, uint16_t* port, std::string* reason)
{
    std::string name;
    std::string number;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *reason = "expected [address]:port";
            return false;
        }
        name = text.substr(1, close - 1);
        number = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            *reason = "expected host:port";
            return false;
        }
        name = text.substr(0, colon);
        number = text.substr(colon + 1);
    }
    if (name.empty()) {
        *reason = "no host";
        return false;
    }
    for (const char c : name)
        if (c == ' ' || c == '\t' || c == '/') {
            *reason = "not a host name: " + name;
            return false;
        }
    if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos) {
        *reason = "not a port number: " + number;
        return false;
    }
    const long value = std::stol(number);
    if (value < 1 || value > 65535) {
        *reason = "port outside 1..65535: " + number;
        return false;
    }
    *host = name;
    *port = static_cast<uint16_t>(value);
    return true;
}

std::string TransportText(const TransportAddress& address)
{
    const std::string where = address.host.find(':') != std::string::npos
                                  ? "[" + address.host + "]:" + std::to_string(address.port)
                                  : address.host + ":" + std::to_string(address.port);
    switch (address.kind) {
    case TransportKind::Serial:
        return "serial " + address.device;
    case TransportKind::RtuOverTcp:
        return "rtu-over-tcp " + where;
    case TransportKind::ModbusTcp:
        return "modbus-tcp " + where;
    }
    return {};
}

std::unique_ptr<Transport> MakeTransport(const TransportAddress& address)
{
    switch (address.kind) {
    case TransportKind::Serial:
        return std::make_unique<SerialTransport>(address);
    case TransportKind::RtuOverTcp:
        return std::make_unique<TcpTransport>(address);
    case TransportKind::ModbusTcp:
        return std::make_unique<ModbusTcpTransport>(address);
    }
    return nullptr;
}
