// The three kinds of line behind one interface, end to end against the
// simulated line: directly on its terminal, through a serial device server in
// raw TCP mode, and through a Modbus TCP gateway.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/ChamberContract.h"
#include "link/Rtu.h"
#include "link/Transport.h"
#include "sim/BusSimulator.h"
#include "sim/TcpGateway.h"

namespace {

using namespace std::chrono_literals;
using Outcome = WholeReply::Outcome;

constexpr int kTimeoutMs = 300;

// A port nothing listens on: bound, never listening, then closed.
uint16_t UnusedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::vector<uint8_t> SetPointWrite(uint8_t address)
{
    std::vector<uint8_t> frame{address, kWriteMultipleRegisters, 0, kRegSetPointFirst, 0, kSetPointRegisterCount,
                               2 * kSetPointRegisterCount, 0, 40, 0, 60, 0, 1};
    frame.resize(frame.size() + 2);
    AppendCrc(frame.data(), frame.size() - 2);
    return frame;
}

struct Kind {
    const char* name;
    TransportKind kind;
    bool byteByByte;
};

class LinkTransport : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(bus.AddChamber(7));
        ASSERT_TRUE(bus.AddChamber(8));
        ASSERT_TRUE(bus.AddChamber(9));
        sim::Faults silent;
        silent.silent = true;
        bus.SetFaults(9, silent);
        sim::Faults late;
        late.extraDelay = 2 * std::chrono::milliseconds(kTimeoutMs);
        bus.SetFaults(8, late);
        ASSERT_TRUE(bus.Start(&error)) << error;
        address.kind = GetParam().kind;
        if (address.kind == TransportKind::Serial) {
            address.device = bus.SlavePath();
        } else {
            sim::TcpGateway::Options options;
            options.linePath = bus.SlavePath();
            options.mode = address.kind == TransportKind::ModbusTcp ? sim::TcpGateway::Mode::ModbusTcp
                                                                      : sim::TcpGateway::Mode::RawRtu;
            options.byteByByte = GetParam().byteByByte;
            options.replyTimeout = 3 * std::chrono::milliseconds(kTimeoutMs);
            options.answerTargetFailure = GetParam().byteByByte;
            ASSERT_TRUE(gateway.Start(options, &error)) << error;
            address.host = "127.0.0.1";
            address.port = gateway.Port();
        }
        transport = MakeTransport(address);
        ASSERT_TRUE(transport->Open(1000, &error)) << error;
    }

    sim::BusSimulator bus;
    sim::TcpGateway gateway;
    TransportAddress address;
    std::unique_ptr<Transport> transport;
};

TEST_P(LinkTransport, ReadsWritesAndSilencesAsOnTheSerialLine)
{
    const WholeReply answered = transport->Read(7, kStatusFunction, kStatusRegisterCount, kTimeoutMs);
    ASSERT_EQ(answered.outcome, Outcome::Answered);
    EXPECT_EQ(answered.frame.size(), 3u + 2u * kStatusWordCount + 2u);
    EXPECT_EQ(answered.frame[0], 7);

    const auto write = SetPointWrite(7);
    const WriteReply echo = transport->Write(write.data(), static_cast<int>(write.size()), kTimeoutMs);
    EXPECT_TRUE(echo.sent);
    EXPECT_EQ(echo.outcome, Outcome::Answered);

    // Last: a gateway waits on for a silent chamber, as real ones do, and
    // may then say so with exception 0x0B: a silence all the same.
    const WholeReply silent = transport->Read(9, kStatusFunction, kStatusRegisterCount, kTimeoutMs);
    EXPECT_EQ(silent.outcome, Outcome::Silent);
    EXPECT_GE(silent.took, std::chrono::milliseconds(kTimeoutMs));
    EXPECT_TRUE(transport->IsOpen());
}

TEST_P(LinkTransport, LateReplyIsNotTakenForTheNextOne)
{
    // Chamber 8 answers after the read gave up, while the next read, of
    // chamber 7, waits: that read must get chamber 7's reply, nothing of 8's
    // (over Modbus TCP, 8's reply comes with the earlier transaction).
    EXPECT_EQ(transport->Read(8, kStatusFunction, kStatusRegisterCount, kTimeoutMs).outcome, Outcome::Silent);
    const WholeReply next = transport->Read(7, kStatusFunction, kStatusRegisterCount, 3 * kTimeoutMs);
    ASSERT_EQ(next.outcome, Outcome::Answered);
    EXPECT_EQ(next.frame[0], 7);
}

TEST_P(LinkTransport, LostLineIsSaidAndOpensAgain)
{
    if (address.kind == TransportKind::Serial) {
        bus.Stop();  // the adapter pulled out
    } else {
        gateway.DropConnection();
        std::this_thread::sleep_for(50ms);
    }
    const WholeReply lost = transport->Read(7, kStatusFunction, kStatusRegisterCount, kTimeoutMs);
    EXPECT_EQ(lost.outcome, Outcome::PortLost);
    EXPECT_FALSE(transport->IsOpen());
    EXPECT_EQ(transport->Read(7, kStatusFunction, kStatusRegisterCount, kTimeoutMs).outcome, Outcome::PortLost);
    if (address.kind == TransportKind::Serial)
        return;  // a new terminal has a new path: the recorder's own test covers the adapter's return
    std::string error;
    ASSERT_TRUE(transport->Open(1000, &error)) << error;
    EXPECT_EQ(transport->Read(7, kStatusFunction, kStatusRegisterCount, kTimeoutMs).outcome, Outcome::Answered);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LinkTransport,
                         ::testing::Values(Kind{"Serial", TransportKind::Serial, false},
                                           Kind{"RtuOverTcp", TransportKind::RtuOverTcp, false},
                                           Kind{"RtuOverTcpByteByByte", TransportKind::RtuOverTcp, true},
                                           Kind{"ModbusTcp", TransportKind::ModbusTcp, false},
                                           Kind{"ModbusTcpByteByByte", TransportKind::ModbusTcp, true}),
                         [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

TEST(LinkTransportOpen, RefusedConnectionAndMissingDeviceGiveTheReason)
{
    struct Case {
        TransportAddress address;
        const char* reason;
    } cases[] = {
        {{TransportKind::RtuOverTcp, "", "127.0.0.1", UnusedPort()}, "Connection refused"},
        {{TransportKind::ModbusTcp, "", "127.0.0.1", UnusedPort()}, "Connection refused"},
        {{TransportKind::Serial, "/dev/calvetra-no-such-device", "", 0}, "No such file or directory"},
    };
    for (const Case& c : cases) {
        auto transport = MakeTransport(c.address);
        std::string reason;
        EXPECT_FALSE(transport->Open(1000, &reason)) << TransportText(c.address);
        EXPECT_EQ(reason, c.reason) << TransportText(c.address);
        EXPECT_FALSE(transport->IsOpen());
        EXPECT_EQ(transport->Read(1, kStatusFunction, kStatusRegisterCount, 50).outcome, Outcome::PortLost);
    }
}

TEST(LinkTransportOpen, TcpAddressesAsAConfigurationGivesThem)
{
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"10.0.0.5:4001", true, "10.0.0.5", 4001},
        {"gateway.lab:502", true, "gateway.lab", 502},
        {"[fe80::1]:502", true, "fe80::1", 502},
        {"10.0.0.5", false, "", 0},
        {"10.0.0.5:", false, "", 0},
        {":502", false, "", 0},
        {"10.0.0.5:0", false, "", 0},
        {"10.0.0.5:65536", false, "", 0},
        {"10.0.0.5:50x", false, "", 0},
        {"fe80::1:502", false, "", 0},
        {"[fe80::1]502", false, "", 0},
        {"a b:502", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host;
        uint16_t port = 0;
        std::string reason;
        EXPECT_EQ(ParseTcpAddress(c.text, &host, &port, &reason), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        } else {
            EXPECT_FALSE(reason.empty()) << c.text;
        }
    }
}

}  // namespace
