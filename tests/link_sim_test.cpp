// The read exchange end to end against the chamber simulator: real waits,
// real line timing, and the controllers' misbehaviour as it reaches the port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/PortUnit.h"
#include "monitoring/PortMessages.h"
#include "sim/ChamberSim.h"

namespace {

using namespace std::chrono_literals;

constexpr int kProbeWait = 160;
constexpr int kPollWait = 800;
constexpr uint8_t kProbeCount = 3;
constexpr uint8_t kPollCount = 15;

class LinkSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTimeScale(1.0);
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
        ::setenv("CALVETRA_COM1", bus.SlavePath().c_str(), 1);
        const PortOpenResult result = OpenPort(0);
        ASSERT_TRUE(result.ok) << PortOpenMessage(result);
    }
    void TearDown() override
    {
        ClosePort();
        bus.Stop();
        ::unsetenv("CALVETRA_COM1");
    }

    // Attempts until found or the limit, as the scan and the poll repeat
    // them; the number of the attempt that found it, 0 for none.
    static int AttemptsUntilFound(int address, uint8_t count, int wait, int limit)
    {
        for (int attempt = 1; attempt <= limit; ++attempt)
            if (ReadExchange(address, 0x04, count, wait))
                return attempt;
        return 0;
    }

    sim::BusSimulator bus;
};

sim::Faults Split(std::vector<int> sizes)
{
    sim::Faults f;
    f.chunkSizes = std::move(sizes);
    // Far apart, so that the receive thread takes them as two chunks even
    // on a busy machine, and still well inside the 160 ms window.
    f.chunkGap = 60ms;
    return f;
}

}  // namespace

TEST_F(LinkSimTest, ProbeAgainstMisbehavingControllers)
{
    struct Case {
        const char* name;
        sim::Faults faults;
        int foundOnAttempt;  // 0: never within 5 attempts
    };
    sim::Faults silent;
    silent.silent = true;
    sim::Faults exception;
    exception.exceptionReply = true;
    sim::Faults badCrc;
    badCrc.badCrc = true;
    sim::Faults noise;
    noise.noiseBytes = {0xFF, 0x00, 0x7E};
    sim::Faults third;
    third.answerFrom = 3;
    sim::Faults late;
    late.extraDelay = 250ms;
    const Case cases[] = {
        {"healthy", {}, 1},
        {"silent", silent, 0},
        {"exception reply", exception, 0},
        {"wrong CRC", badCrc, 1},
        {"noise in front", noise, 1},
        {"answers from the third request", third, 3},
        // 11 bytes as 4 + 7: the second piece overwrites the address.
        {"reply split 4 + 7", Split({4, 7}), 0},
        {"reply split 7 + 4", Split({7, 4}), 0},
        // Its first reply comes during the second attempt's window, after
        // that attempt's clearing, and is taken for the second one's. Last,
        // as its later replies are still on their way.
        {"answers too late", late, 2},
    };
    int address = 10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++address;
        ASSERT_TRUE(bus.AddChamber(address));
        ASSERT_TRUE(bus.SetFaults(address, c.faults));
        EXPECT_EQ(AttemptsUntilFound(address, kProbeCount, kProbeWait, 5), c.foundOnAttempt);
    }
}

TEST_F(LinkSimTest, OnlyPresentChambersAreFound)
{
    ASSERT_TRUE(bus.AddChamber(0));
    ASSERT_TRUE(bus.AddChamber(3));
    ASSERT_TRUE(bus.AddChamber(250));
    std::vector<int> found;
    for (int address : {0, 1, 2, 3, 4, 249, 250})
        if (ReadExchange(address, 0x04, kProbeCount, kProbeWait))
            found.push_back(address);
    EXPECT_EQ(found, (std::vector<int>{0, 3, 250}));

    // Every request went out whole and correct, one per attempt.
    const auto frames = bus.ReceivedFrames();
    ASSERT_EQ(frames.size(), 7u);
    const int asked[] = {0, 1, 2, 3, 4, 249, 250};
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto request = BuildReadRequest(static_cast<uint8_t>(asked[i]), 0x04, kProbeCount);
        EXPECT_EQ(frames[i].bytes, std::vector<uint8_t>(request.begin(), request.end())) << "request " << i;
    }
}

TEST_F(LinkSimTest, StatusReplyLandsWholeAtTheStartOfTheBuffer)
{
    const int address = 42;
    ASSERT_TRUE(bus.AddChamber(address));
    ASSERT_TRUE(ReadExchange(address, 0x04, kPollCount, kPollWait));
    const ReceiveBytes buffer = ReceiveBufferSnapshot();
    // 17 words are sent for the 15 asked: address, function, count 34, words, CRC.
    EXPECT_EQ(buffer[0], address);
    EXPECT_EQ(buffer[1], 0x04);
    EXPECT_EQ(buffer[2], 34);
    EXPECT_EQ(Crc16(0, 38, buffer.data()), 0) << "the reply was not received whole and in order";
    for (int i = 39; i < 255; ++i)
        ASSERT_EQ(buffer[i], 0) << "byte " << i;

    sim::Faults shortReply;
    shortReply.fifteenWordsOnly = true;
    ASSERT_TRUE(bus.SetFaults(address, shortReply));
    ASSERT_TRUE(ReadExchange(address, 0x04, kPollCount, kPollWait));
    const ReceiveBytes shorter = ReceiveBufferSnapshot();
    EXPECT_EQ(shorter[2], 30);
    EXPECT_EQ(Crc16(0, 34, shorter.data()), 0);
    // The longer reply's tail is gone: the buffer was cleared first.
    for (int i = 35; i < 255; ++i)
        ASSERT_EQ(shorter[i], 0) << "byte " << i;
}

TEST_F(LinkSimTest, ExchangesSurviveTheLineGoingAway)
{
    ASSERT_TRUE(bus.AddChamber(1));
    ASSERT_TRUE(ReadExchange(1, 0x04, kProbeCount, kProbeWait));
    bus.CloseLine();
    // The port is dead; requests simply go unanswered.
    EXPECT_FALSE(ReadExchange(1, 0x04, kProbeCount, kProbeWait));
    EXPECT_EQ(RunningReceiveThreads(), 1);

    // A new line (the adapter plugged in again) on the next open.
    std::string error;
    ASSERT_TRUE(bus.Restart(&error)) << error;
    ::setenv("CALVETRA_COM1", bus.SlavePath().c_str(), 1);
    const PortOpenResult result = OpenPort(0);
    ASSERT_TRUE(result.ok) << PortOpenMessage(result);
    EXPECT_EQ(RunningReceiveThreads(), 1);
    EXPECT_TRUE(ReadExchange(1, 0x04, kProbeCount, kProbeWait));
}
