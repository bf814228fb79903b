// The simulated line seen from the application's side: a raw pseudo-terminal
// slave, requests written to it and replies read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "support/TestBytes.h"
#include "link/Rtu.h"
#include "sim/ChamberSim.h"

namespace {

using namespace std::chrono_literals;
using sim::Bytes;
using sim::Clock;

// Generous: only a broken simulator comes near it.
constexpr auto kPatience = 3s;

int OpenRaw(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B57600);
    ::cfsetospeed(&tio, B57600);
    ::tcsetattr(fd, TCSANOW, &tio);
    ::ioctl(fd, TIOCEXCL);  // as the application holds its port
    return fd;
}

void CloseRaw(int fd)
{
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void Send(int fd, const Bytes& bytes)
{
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

struct Read {
    Bytes bytes;
    Clock::time_point time;
};

// Reads until count bytes came or the patience ran out; one entry per read.
std::vector<Read> ReadReads(int fd, size_t count)
{
    std::vector<Read> reads;
    size_t total = 0;
    const auto deadline = Clock::now() + kPatience;
    while (total < count && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        uint8_t buffer[256];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - total));
        if (n > 0) {
            reads.push_back({Bytes(buffer, buffer + n), Clock::now()});
            total += static_cast<size_t>(n);
        }
    }
    return reads;
}

Bytes ReadBytes(int fd, size_t count)
{
    Bytes all;
    for (const Read& r : ReadReads(fd, count))
        all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    return all;
}

// True when nothing is waiting to be read on fd right now.
bool NothingPending(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

Bytes ReadRequest(uint8_t address, uint8_t count)
{
    const auto r = BuildReadRequest(address, 0x04, count);
    return Bytes(r.begin(), r.end());
}

Bytes Framed(Bytes bytes)
{
    sim::AppendFrameCrc(&bytes);
    return bytes;
}

template <typename Condition>
bool Eventually(Condition condition)
{
    const auto deadline = Clock::now() + kPatience;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class SimBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus.SetSpeed(0);  // frozen climate: replies are comparable byte for byte
        ASSERT_TRUE(bus.AddChamber(1));
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        fd = OpenRaw(bus.SlavePath());
        ASSERT_GE(fd, 0) << bus.SlavePath();
    }
    void TearDown() override
    {
        if (fd >= 0)
            CloseRaw(fd);
        bus.Stop();
    }

    // The request written and its reply (expected length) read back; the
    // simulator's own log of the write may lag the bytes, so wait for it too.
    Bytes Exchange(const Bytes& request, size_t replyLength)
    {
        Send(fd, request);
        Bytes reply = ReadBytes(fd, replyLength);
        EXPECT_TRUE(bus.WaitUntilIdle(kPatience));
        return reply;
    }

    // The request was taken in and every reply to it is out.
    void Settle(size_t framesReceived)
    {
        ASSERT_TRUE(bus.WaitForReceivedFrames(framesReceived, kPatience));
        ASSERT_TRUE(bus.WaitUntilIdle(kPatience));
    }

    Bytes NormalStatusReply(uint8_t count)
    {
        sim::Bytes reply;
        const auto request = ReadRequest(1, count);
        bus.WithChamber(1, [&](sim::ChamberModel& m) { reply = sim::AnswerRequest(m, request); });
        return reply;
    }

    sim::BusSimulator bus;
    int fd = -1;
};

TEST_F(SimBus, StatusReadsAnswerSeventeenWordsForFifteenAndExactlyNOtherwise)
{
    bus.WithChamber(1, [](sim::ChamberModel& m) {
        m.SetTemperature(-75.0);
        m.SetHumidity(55.5);
    });
    const Bytes three = Exchange(ReadRequest(1, 3), 11);
    ASSERT_EQ(three.size(), 11u);
    EXPECT_EQ(Bytes(three.begin(), three.begin() + 5), Hex("01 04 06 FD 12"));
    EXPECT_TRUE(sim::CrcValid(three));

    const Bytes status = Exchange(ReadRequest(1, 15), 39);
    ASSERT_EQ(status.size(), 39u);
    EXPECT_EQ(status[0], 0x01);
    EXPECT_EQ(status[1], 0x04);
    EXPECT_EQ(status[2], 34);
    EXPECT_EQ(status[3], 0xFD);  // 64786: -75.0 °C
    EXPECT_EQ(status[4], 0x12);
    EXPECT_EQ(status[33], 0x02);  // word 15, 555: 55.5 %
    EXPECT_EQ(status[34], 0x2B);
    EXPECT_TRUE(sim::CrcValid(status));
    EXPECT_TRUE(NothingPending(fd));
}

TEST_F(SimBus, ControlFramesAreLoggedByteForByteAndAnswered)
{
    struct Case {
        const char* frame;
        const char* replyHead;  // without CRC
    };
    const std::vector<Case> cases = {
        {"01 10 00 0D 00 03 06 00 14 00 32 00 02 67 77", "01 10 00 0D 00 03"},
        {"01 10 00 00 00 0D 1A 00 02 00 01 00 28 00 01 00 1E 00 00 00 03 00 01 00 01 00 00 00 2D 00 02 00 05 8D 09",
         "01 10 00 00 00 0D"},
        {"01 10 00 10 00 01 02 00 01 65 00", "01 10 00 10 00 01"},
        {"01 10 00 10 00 01 02 00 02 25 01", "01 10 00 10 00 01"},
        {"01 10 00 11 00 02 04 00 01 00 03 22 AE", "01 90 03"},  // program 3 is empty
        {"01 10 00 11 00 01 02 00 02 24 D0", "01 10 00 11 00 01"},
    };
    std::vector<Bytes> sent;
    for (const Case& c : cases) {
        const Bytes frame = Hex(c.frame);
        const Bytes expected = Framed(Hex(c.replyHead));
        EXPECT_EQ(Exchange(frame, expected.size()), expected) << c.frame;
        sent.push_back(frame);
    }
    const auto log = bus.ReceivedFrames();
    ASSERT_EQ(log.size(), sent.size());
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].bytes, sent[i]) << i;
        if (i > 0) {
            EXPECT_GE(log[i].time, log[i - 1].time);
        }
    }
    bus.WithChamber(1, [](sim::ChamberModel& m) {
        EXPECT_EQ(m.ManualTemperature(), -20);
        EXPECT_EQ(m.ManualHumidity(), 50);
        EXPECT_EQ(m.GetProgram(2).steps[0].temperature, -40);
        EXPECT_EQ(m.GetMode(), sim::Mode::Stopped);
    });
    bus.ClearReceivedFrames();
    EXPECT_TRUE(bus.ReceivedFrames().empty());
}

TEST_F(SimBus, RequestWithBadCrcIsDroppedAndCounted)
{
    Bytes bad = ReadRequest(1, 3);
    bad[7] ^= 0x01;
    Send(fd, bad);
    ASSERT_TRUE(Eventually([&] { return bus.BadCrcCount() == 1; }));
    EXPECT_TRUE(bus.ReceivedFrames().empty());

    // The line is clean afterwards: the next reply is the first thing read.
    const Bytes reply = Exchange(ReadRequest(1, 3), 11);
    EXPECT_EQ(reply, NormalStatusReply(3));
    EXPECT_EQ(bus.ReceivedFrames().size(), 1u);
    EXPECT_EQ(bus.SentWrites().size(), 1u);
}

TEST_F(SimBus, RequestInTwoWritesIsOneFrameButAFragmentDiesInSilence)
{
    const Bytes request = ReadRequest(1, 3);
    Send(fd, Bytes(request.begin(), request.begin() + 3));
    Send(fd, Bytes(request.begin() + 3, request.end()));
    EXPECT_EQ(ReadBytes(fd, 11), NormalStatusReply(3));

    Send(fd, Bytes(request.begin(), request.begin() + 3));
    ASSERT_TRUE(Eventually([&] { return bus.DroppedFragmentCount() == 1; }));
    EXPECT_EQ(Exchange(request, 11), NormalStatusReply(3));
    EXPECT_EQ(bus.BadCrcCount(), 0u);
}

TEST_F(SimBus, MalformedFramesGetExceptionsOverTheLine)
{
    // Byte count 4 for one register: framed by the silence after it.
    EXPECT_EQ(Exchange(Framed({1, 0x10, 0, 0x10, 0, 1, 4, 0, 1}), 5), sim::ExceptionReply(1, 0x10, 3));
    // A function without a length rule.
    EXPECT_EQ(Exchange(Framed({1, 0x2B, 0x0E, 1, 0}), 5), sim::ExceptionReply(1, 0x2B, 1));
    EXPECT_EQ(Exchange(Framed({1, 4, 0, 1, 0, 3}), 5), sim::ExceptionReply(1, 0x04, 2));
    bus.WithChamber(1, [](sim::ChamberModel& m) { EXPECT_EQ(m.GetMode(), sim::Mode::Stopped); });
}

TEST_F(SimBus, AbsentAddressIsLoggedButNotAnswered)
{
    Send(fd, ReadRequest(2, 3));
    Settle(1);
    EXPECT_TRUE(bus.SentWrites().empty());
    EXPECT_TRUE(NothingPending(fd));
    EXPECT_EQ(bus.ReceivedFrames()[0].bytes, ReadRequest(2, 3));
    EXPECT_EQ(Exchange(ReadRequest(1, 3), 11)[0], 0x01);
}

TEST_F(SimBus, AddressZeroIsAnOrdinaryAddress)
{
    Send(fd, ReadRequest(0, 3));
    Settle(1);
    EXPECT_TRUE(bus.SentWrites().empty());
    EXPECT_EQ(bus.RequestCount(1), 0);  // not a broadcast to chamber 1

    ASSERT_TRUE(bus.AddChamber(0));
    const Bytes reply = Exchange(ReadRequest(0, 3), 11);
    ASSERT_EQ(reply.size(), 11u);
    EXPECT_EQ(reply[0], 0x00);
    EXPECT_EQ(reply[1], 0x04);
}

TEST_F(SimBus, EachChamberAnswersForItself)
{
    ASSERT_TRUE(bus.AddChamber(7));
    ASSERT_TRUE(bus.AddChamber(250));
    EXPECT_FALSE(bus.AddChamber(7));
    EXPECT_FALSE(bus.AddChamber(251));
    EXPECT_FALSE(bus.AddChamber(-1));
    EXPECT_EQ(bus.Chambers(), (std::vector<int>{1, 7, 250}));
    bus.WithChamber(7, [](sim::ChamberModel& m) { m.SetTemperature(30.0); });
    for (uint8_t address : {7, 250, 1}) {
        const Bytes reply = Exchange(ReadRequest(address, 3), 11);
        ASSERT_EQ(reply.size(), 11u);
        EXPECT_EQ(reply[0], address);
        EXPECT_EQ(reply[4], address == 7 ? 0x2C : 0xDC) << int(address);  // 300 or 220 tenths
    }
    EXPECT_TRUE(bus.RemoveChamber(7));
    EXPECT_FALSE(bus.HasChamber(7));
    EXPECT_FALSE(bus.WithChamber(7, [](sim::ChamberModel&) {}));
}

TEST_F(SimBus, ReplyComesAfterControllerTimeAndWireTime)
{
    bus.SetControllerDelay(10ms);
    const auto before = Clock::now();
    Send(fd, ReadRequest(1, 15));
    const auto reads = ReadReads(fd, 39);
    ASSERT_FALSE(reads.empty());
    EXPECT_GE(reads.back().time - before, 10ms + sim::BusSimulator::WireTime(39));
    ASSERT_TRUE(bus.WaitUntilIdle(kPatience));
    const auto log = bus.ReceivedFrames();
    const auto writes = bus.SentWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_GE(writes[0].time - log[0].time, 10ms + sim::BusSimulator::WireTime(39));
}

TEST_F(SimBus, LateChamberAnswersAfterItsExtraDelay)
{
    sim::Faults f;
    f.extraDelay = 150ms;
    bus.SetFaults(1, f);
    const auto before = Clock::now();
    Send(fd, ReadRequest(1, 3));
    const auto reads = ReadReads(fd, 11);
    ASSERT_FALSE(reads.empty());
    EXPECT_GE(reads.front().time - before, 150ms);
}

TEST_F(SimBus, SplitReplyArrivesInPiecesWithTheGap)
{
    sim::Faults f;
    f.chunkSizes = {4, 7};
    f.chunkGap = 200ms;
    bus.SetFaults(1, f);
    Send(fd, ReadRequest(1, 15));
    const auto reads = ReadReads(fd, 39);
    Bytes all;
    for (const Read& r : reads)
        all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    EXPECT_EQ(all, NormalStatusReply(15));
    ASSERT_GE(reads.size(), 2u);
    EXPECT_LE(reads[0].bytes.size(), 4u);  // the second piece is 200 ms away

    ASSERT_TRUE(bus.WaitUntilIdle(kPatience));
    const auto writes = bus.SentWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes.size(), 4u);
    EXPECT_EQ(writes[1].bytes.size(), 7u);
    EXPECT_EQ(writes[2].bytes.size(), 28u);
    EXPECT_GE(writes[1].time - writes[0].time, 200ms);
    EXPECT_GE(writes[2].time - writes[1].time, 200ms);
}

TEST_F(SimBus, SplitIntoACountOfPieces)
{
    sim::Faults f;
    f.chunkCount = 3;
    f.chunkGap = 5ms;
    bus.SetFaults(1, f);
    EXPECT_EQ(Exchange(ReadRequest(1, 15), 39), NormalStatusReply(15));
    const auto writes = bus.SentWrites();
    ASSERT_EQ(writes.size(), 3u);
    for (const auto& w : writes)
        EXPECT_EQ(w.bytes.size(), 13u);
}

TEST_F(SimBus, PiecesOfAFixedSizeLeaveAtTheWiresPace)
{
    sim::Faults f;
    f.pieceSize = 14;
    f.chunkGap = 0us;
    bus.SetFaults(1, f);
    EXPECT_EQ(Exchange(ReadRequest(1, 15), 39), NormalStatusReply(15));
    const auto writes = bus.SentWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes.size(), 14u);
    EXPECT_EQ(writes[1].bytes.size(), 14u);
    EXPECT_EQ(writes[2].bytes.size(), 11u);
    // 14 bytes take 2.4 ms on the wire; a piece never leaves before its
    // last byte would have arrived.
    EXPECT_GE(writes[1].time - writes[0].time, sim::BusSimulator::WireTime(14));
    EXPECT_GE(writes[2].time - writes[1].time, sim::BusSimulator::WireTime(11));
}

TEST_F(SimBus, ALatencyTimerCutsTheReplyAtItsTicks)
{
    // A 4 ms timer against a 6.8 ms reply: two or three pieces, together the
    // reply; where they are cut depends on where the ticks fall.
    sim::Faults f;
    f.latencyTimer = 4ms;
    bus.SetFaults(1, f);
    for (int round = 0; round < 5; ++round) {
        bus.ClearSentWrites();
        EXPECT_EQ(Exchange(ReadRequest(1, 15), 39), NormalStatusReply(15));
        const auto writes = bus.SentWrites();
        ASSERT_GE(writes.size(), 2u);
        ASSERT_LE(writes.size(), 3u);
    }
}

TEST_F(SimBus, RandomPiecesStillMakeTheWholeReply)
{
    sim::Faults f;
    f.randomPieces = true;
    f.chunkGap = 3ms;
    bus.SetFaults(1, f);
    size_t most = 0;
    for (int round = 0; round < 10; ++round) {
        bus.ClearSentWrites();
        EXPECT_EQ(Exchange(ReadRequest(1, 15), 39), NormalStatusReply(15)) << "round " << round;
        most = std::max(most, bus.SentWrites().size());
    }
    EXPECT_GE(most, 2u);  // ten replies are never all left whole
}

TEST_F(SimBus, NoiseBytesPrecedeTheReplyInTheSameWrite)
{
    sim::Faults f;
    f.noiseBytes = {0xFF, 0x01};
    bus.SetFaults(1, f);
    Bytes expected{0xFF, 0x01};
    const Bytes normal = NormalStatusReply(3);
    expected.insert(expected.end(), normal.begin(), normal.end());
    EXPECT_EQ(Exchange(ReadRequest(1, 3), 13), expected);
    ASSERT_EQ(bus.SentWrites().size(), 1u);
    EXPECT_EQ(bus.SentWrites()[0].bytes, expected);

    f.noiseBytes.clear();
    f.noiseCount = 3;
    bus.SetFaults(1, f);
    const Bytes noisy = Exchange(ReadRequest(1, 3), 14);
    ASSERT_EQ(noisy.size(), 14u);
    EXPECT_EQ(Bytes(noisy.begin() + 3, noisy.end()), normal);
}

TEST_F(SimBus, AnswerFromTheKthRequestOnAndResetCount)
{
    sim::Faults f;
    f.answerFrom = 3;
    bus.SetFaults(1, f);
    for (size_t i = 1; i <= 2; ++i) {
        Send(fd, ReadRequest(1, 3));
        Settle(i);
        EXPECT_TRUE(bus.SentWrites().empty()) << "request " << i;
    }
    EXPECT_EQ(Exchange(ReadRequest(1, 3), 11), NormalStatusReply(3));
    EXPECT_EQ(bus.RequestCount(1), 3);

    ASSERT_TRUE(bus.ResetRequestCount(1));
    EXPECT_EQ(bus.RequestCount(1), 0);
    Send(fd, Hex("01 10 00 10 00 01 02 00 01 65 00"));  // ignored writes are not applied
    Settle(4);
    EXPECT_EQ(bus.SentWrites().size(), 1u);
    bus.WithChamber(1, [](sim::ChamberModel& m) { EXPECT_EQ(m.GetMode(), sim::Mode::Stopped); });
}

TEST_F(SimBus, SilentChamberNeitherAnswersNorActs)
{
    sim::Faults f;
    f.silent = true;
    bus.SetFaults(1, f);
    Send(fd, Hex("01 10 00 10 00 01 02 00 01 65 00"));
    Send(fd, ReadRequest(1, 15));
    Settle(2);
    EXPECT_TRUE(bus.SentWrites().empty());
    EXPECT_TRUE(NothingPending(fd));
    EXPECT_EQ(bus.RequestCount(1), 2);
    bus.WithChamber(1, [](sim::ChamberModel& m) { EXPECT_EQ(m.GetMode(), sim::Mode::Stopped); });
}

TEST_F(SimBus, ExceptionFaultAnswersStatusReadsWithDeviceFailure)
{
    sim::Faults f;
    f.exceptionReply = true;
    bus.SetFaults(1, f);
    EXPECT_EQ(Exchange(ReadRequest(1, 15), 5), Framed(Hex("01 84 04")));
    // Writes are still carried out.
    EXPECT_EQ(Exchange(Hex("01 10 00 10 00 01 02 00 01 65 00"), 8), Framed(Hex("01 10 00 10 00 01")));
}

TEST_F(SimBus, ShortReplyFaultSendsOnlyTheFifteenWords)
{
    sim::Faults f;
    f.fifteenWordsOnly = true;
    bus.SetFaults(1, f);
    const Bytes reply = Exchange(ReadRequest(1, 15), 35);
    ASSERT_EQ(reply.size(), 35u);
    EXPECT_EQ(reply[2], 30);
    EXPECT_TRUE(sim::CrcValid(reply));
    const Bytes normal = NormalStatusReply(15);
    EXPECT_EQ(Bytes(reply.begin() + 3, reply.begin() + 33), Bytes(normal.begin() + 3, normal.begin() + 33));
    EXPECT_EQ(Exchange(ReadRequest(1, 3), 11).size(), 11u);  // other counts unchanged
}

TEST_F(SimBus, BadCrcFaultSpoilsOnlyTheCrc)
{
    sim::Faults f;
    f.badCrc = true;
    bus.SetFaults(1, f);
    const Bytes reply = Exchange(ReadRequest(1, 15), 39);
    const Bytes normal = NormalStatusReply(15);
    ASSERT_EQ(reply.size(), 39u);
    EXPECT_FALSE(sim::CrcValid(reply));
    EXPECT_EQ(Bytes(reply.begin(), reply.end() - 2), Bytes(normal.begin(), normal.end() - 2));
}

// Replays the same requests on a fresh simulator and returns what it wrote.
std::vector<Bytes> FaultyRun(uint32_t seed)
{
    sim::BusSimulator bus;
    bus.SetSpeed(0);
    bus.SetSeed(seed);
    bus.AddChamber(1);
    sim::Faults f;
    f.faultRate = 1.0;
    f.chunkGap = 2ms;
    bus.SetFaults(1, f);
    std::string error;
    EXPECT_TRUE(bus.Start(&error)) << error;
    const int fd = OpenRaw(bus.SlavePath());
    for (size_t i = 1; i <= 10; ++i) {
        Send(fd, ReadRequest(1, 15));
        EXPECT_TRUE(bus.WaitForReceivedFrames(i, kPatience));
    }
    EXPECT_TRUE(bus.WaitUntilIdle(5s));
    std::vector<Bytes> writes;
    for (const auto& w : bus.SentWrites())
        writes.push_back(w.bytes);
    CloseRaw(fd);
    return writes;
}

TEST(SimBusFaultRate, RandomFaultsAreReproducibleWithTheSeed)
{
    const auto first = FaultyRun(7);
    const auto second = FaultyRun(7);
    EXPECT_EQ(first, second);
    // Every request drew a fault: not all ten replies can be the plain one.
    sim::ChamberModel frozen;
    const auto request = ReadRequest(1, 15);
    const Bytes plain = sim::AnswerRequest(frozen, Bytes(request.begin(), request.end()));
    EXPECT_LT(std::count(first.begin(), first.end(), plain), 10);
}

TEST_F(SimBus, InjectedBytesReachTheApplication)
{
    ASSERT_TRUE(bus.InjectBytes({0x01, 0x04, 0xAA}));
    EXPECT_EQ(ReadBytes(fd, 3), Hex("01 04 AA"));
    ASSERT_EQ(bus.SentWrites().size(), 1u);
}

TEST_F(SimBus, ReopeningThePortDoesNotHangUpTheLine)
{
    EXPECT_EQ(Exchange(ReadRequest(1, 3), 11).size(), 11u);
    CloseRaw(fd);
    fd = -1;
    std::this_thread::sleep_for(60ms);  // a serving pass or more with the port closed
    EXPECT_TRUE(bus.LineOpen());
    fd = OpenRaw(bus.SlavePath());
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(Exchange(ReadRequest(1, 3), 11), NormalStatusReply(3));
}

TEST_F(SimBus, ClosedLineLooksLikeAVanishedAdapterAndRestartGivesANewOne)
{
    bus.CloseLine();
    EXPECT_FALSE(bus.LineOpen());
    EXPECT_FALSE(bus.InjectBytes({0x00}));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    uint8_t byte;
    const ssize_t n = ::read(fd, &byte, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;

    const std::string old = bus.SlavePath();
    std::string error;
    ASSERT_TRUE(bus.Restart(&error)) << error;
    EXPECT_TRUE(bus.LineOpen());
    CloseRaw(fd);
    fd = OpenRaw(bus.SlavePath());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(ReadRequest(1, 3), 11), NormalStatusReply(3));
    (void)old;  // the kernel may hand the same number out again
}

TEST_F(SimBus, SpeedDrivesTheModelsFromTheServingThread)
{
    bus.WithChamber(1, [](sim::ChamberModel& m) {
        ASSERT_EQ(m.WriteRegisters(0x000D, {20, 50, 2}), 0);
        ASSERT_EQ(m.WriteRegisters(0x0010, {1}), 0);
    });
    bus.SetSpeed(3600);
    EXPECT_EQ(bus.Speed(), 3600);
    EXPECT_TRUE(Eventually([&] {
        double t = 100;
        bus.WithChamber(1, [&](sim::ChamberModel& m) { t = m.Temperature(); });
        return t < 10.0;
    }));
}

TEST(SimBusLifecycle, StartStopAndStartAgain)
{
    sim::BusSimulator bus;
    EXPECT_EQ(bus.SlavePath(), "");
    EXPECT_FALSE(bus.Running());
    bus.Stop();  // harmless before Start
    std::string error;
    ASSERT_TRUE(bus.Start(&error)) << error;
    EXPECT_FALSE(bus.Start(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(bus.SlavePath().rfind("/dev/pts/", 0), 0u) << bus.SlavePath();
    EXPECT_TRUE(bus.Running());
    bus.Stop();
    bus.Stop();
    EXPECT_FALSE(bus.Running());
    EXPECT_FALSE(bus.LineOpen());
    ASSERT_TRUE(bus.Start(&error)) << error;
    EXPECT_TRUE(bus.LineOpen());
}  // the destructor stops it

}  // namespace
