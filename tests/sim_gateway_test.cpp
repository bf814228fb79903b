// The simulated serial device server and Modbus TCP gateway in front of a
// simulated line: what a client on TCP meets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/ChamberContract.h"
#include "link/Mbap.h"
#include "link/Rtu.h"
#include "sim/BusSimulator.h"
#include "sim/TcpGateway.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

int Connect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until done(bytes) or the connection ends or the time is up; counts
// the reads it took.
Bytes ReadUntil(int fd, const std::function<bool(const Bytes&)>& done, std::chrono::milliseconds timeout,
                int* reads = nullptr, bool* closed = nullptr)
{
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(bytes)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        uint8_t buffer[512];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            break;
        }
        if (reads)
            ++*reads;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

bool WholeStatus(const Bytes& bytes, uint8_t address)
{
    return ScanReply(bytes.data(), bytes.size(), address, kStatusFunction, kStatusRegisterCount).state !=
           ReplyScan::State::Incomplete;
}

class SimGateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(bus.AddChamber(7));
        ASSERT_TRUE(bus.AddChamber(9));
        sim::Faults silent;
        silent.silent = true;
        bus.SetFaults(9, silent);
        ASSERT_TRUE(bus.Start(&error)) << error;
    }
    void StartGateway(sim::TcpGateway::Options options)
    {
        std::string error;
        options.linePath = bus.SlavePath();
        ASSERT_TRUE(gateway.Start(options, &error)) << error;
        ASSERT_NE(gateway.Port(), 0);
    }
    sim::BusSimulator bus;
    sim::TcpGateway gateway;
};

TEST_F(SimGateway, RawModeCarriesTheLineBytesInAnySegmentation)
{
    for (bool byteByByte : {false, true}) {
        SCOPED_TRACE(byteByByte ? "byte by byte" : "as the line gives them");
        sim::TcpGateway::Options options;
        options.byteByByte = byteByByte;
        options.pieceGap = 1ms;
        StartGateway(options);
        const int fd = Connect(gateway.Port());
        ASSERT_GE(fd, 0);
        const auto request = BuildReadRequest(7, kStatusFunction, kStatusRegisterCount);
        ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
        int reads = 0;
        const Bytes reply = ReadUntil(fd, [](const Bytes& b) { return WholeStatus(b, 7); }, 3s, &reads);
        const ReplyScan scan = ScanReply(reply.data(), reply.size(), 7, kStatusFunction, kStatusRegisterCount);
        EXPECT_EQ(scan.state, ReplyScan::State::Whole);
        EXPECT_EQ(scan.length, 3u + 2u * kStatusWordCount + 2u);
        if (byteByByte) {
            EXPECT_GT(reads, 1);  // 1 ms between the bytes: no single read takes the whole reply
        }
        ::close(fd);
        gateway.Stop();
    }
}

TEST_F(SimGateway, ModbusTcpWrapsEachReplyWithItsTransaction)
{
    sim::TcpGateway::Options options;
    options.mode = sim::TcpGateway::Mode::ModbusTcp;
    options.replyTimeout = 300ms;
    options.answerTargetFailure = true;
    StartGateway(options);
    const int fd = Connect(gateway.Port());
    ASSERT_GE(fd, 0);

    struct Case {
        uint8_t address;
        uint16_t transaction;
        ReplyScan::State expected;
        uint8_t exceptionCode;
    } cases[] = {
        {7, 0x0102, ReplyScan::State::Whole, 0},
        {9, 0x0103, ReplyScan::State::Exception, 0x0B},  // silent behind the gateway
        {7, 0xFFFF, ReplyScan::State::Whole, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transaction);
        const auto rtu = BuildReadRequest(c.address, kStatusFunction, kStatusRegisterCount);
        const Bytes adu = MbapRequestOf(rtu.data(), rtu.size(), c.transaction);
        ASSERT_EQ(::send(fd, adu.data(), adu.size(), 0), static_cast<ssize_t>(adu.size()));
        const Bytes stream = ReadUntil(
            fd, [](const Bytes& b) { return NextMbapFrame(b.data(), b.size()).state != MbapFrame::State::Incomplete; },
            3s);
        const MbapFrame frame = NextMbapFrame(stream.data(), stream.size());
        ASSERT_EQ(frame.state, MbapFrame::State::Whole);
        EXPECT_EQ(frame.transaction, c.transaction);
        EXPECT_EQ(frame.consumed, stream.size());
        const ReplyScan scan = ScanReply(frame.rtu.data(), frame.rtu.size(), c.address, kStatusFunction,
                                         kStatusRegisterCount);
        EXPECT_EQ(scan.state, c.expected);
        if (c.exceptionCode) {
            EXPECT_EQ(frame.rtu[2], c.exceptionCode);
        }
    }
    ::close(fd);
}

TEST_F(SimGateway, OneConnectionAtATimeAndADropLetsTheNextIn)
{
    StartGateway({});
    const int first = Connect(gateway.Port());
    ASSERT_GE(first, 0);
    const int second = Connect(gateway.Port());  // the backlog takes it, the box then closes it
    ASSERT_GE(second, 0);
    bool closed = false;
    ReadUntil(second, [](const Bytes&) { return false; }, 2s, nullptr, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(gateway.Refused(), 1);
    ::close(second);

    gateway.DropConnection();
    closed = false;
    ReadUntil(first, [](const Bytes&) { return false; }, 2s, nullptr, &closed);
    EXPECT_TRUE(closed);
    ::close(first);

    const int third = Connect(gateway.Port());
    ASSERT_GE(third, 0);
    const auto request = BuildReadRequest(7, kStatusFunction, kStatusRegisterCount);
    ::send(third, request.data(), request.size(), 0);
    EXPECT_TRUE(WholeStatus(ReadUntil(third, [](const Bytes& b) { return WholeStatus(b, 7); }, 3s), 7));
    EXPECT_EQ(gateway.Accepted(), 2);
    ::close(third);
}

}  // namespace
