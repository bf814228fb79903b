// The line under faults, seen from the main window: the adapter vanishing in
// the middle of a poll or a scan, and chambers that answer too late for the
// attempt that asked them.
#include <QListWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "link/PortUnit.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/Unit5.h"
#include "ui/main.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// 25.3 °C of 30.0, 60.5 % of 70 %: a reply every window accepts.
std::vector<uint16_t> Words(uint16_t currentTemp = 253)
{
    return {currentTemp, 3, 300, 0, 5, 30, 1, 15, 2, 45, 2, 5, 10, 100, 75, 605, 700};
}

double ProcessCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// Processor time the whole process takes while the user-interface thread
// sleeps: only the receive thread (and the simulator's own) can use any.
double IdleCpuMs(int ms)
{
    std::this_thread::sleep_for(50ms);
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return ProcessCpuMs() - before;
}

}  // namespace

class LineFaultFixture : public AppFixture {
protected:
    explicit LineFaultFixture(double timeScale) : AppFixture(timeScale) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        bus.SetSpeed(0);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    }
    void TearDown() override
    {
        if (closer.joinable())
            closer.join();
        AppFixture::TearDown();
        bus.Stop();
    }

    void AddChamber(int address, const std::vector<uint16_t>& words = Words())
    {
        ASSERT_TRUE(bus.AddChamber(address));
        Pin(address, words);
    }
    void Pin(int address, const std::vector<uint16_t>& words)
    {
        bus.WithChamber(address, [&](sim::ChamberModel& m) {
            for (int n = 0; n < 17; ++n)
                m.PinStatusWord(n, words[n]);
        });
    }
    static void Select(int address)
    {
        Form1->ListBox1->addItem(ChamberEntryText(address));
        Form1->ListBox1->setCurrentRow(Form1->ListBox1->count() - 1);
        Form1->ListBox1Click();
    }
    size_t RequestsTo(int address) const
    {
        size_t n = 0;
        for (const sim::LineFrame& f : bus.ReceivedFrames())
            n += f.bytes[0] == address;
        return n;
    }

    // Pulls the adapter once `address` has been asked `requests` times,
    // from another thread while the window is blocked in its exchange.
    void CloseLineAfter(int address, size_t requests)
    {
        closer = std::thread([this, address, requests] {
            const auto end = Clock::now() + 20s;
            while (RequestsTo(address) < requests && Clock::now() < end)
                std::this_thread::sleep_for(1ms);
            bus.CloseLine();
            lineClosed = true;
        });
    }

    // The operator plugs the adapter back in (a new terminal), picks the port
    // again and presses "Открыть".
    void Reconnect()
    {
        if (closer.joinable())
            closer.join();
        std::string error;
        ASSERT_TRUE(bus.Restart(&error)) << error;
        Form1->ComboBox1Change();
        ASSERT_TRUE(Form1->Button5->isEnabled());
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        EXPECT_FALSE(Form1->Button5->isEnabled());
        EXPECT_EQ(RunningReceiveThreads(), 1);
    }

    sim::BusSimulator bus;
    std::thread closer;
    std::atomic<bool> lineClosed{false};
};

class PollLineLossTest : public LineFaultFixture {
protected:
    PollLineLossTest() : LineFaultFixture(0.05) {}
};

TEST_F(PollLineLossTest, AdapterGoneMidPollThenReopened)
{
    AddChamber(12);
    Select(12);
    Form1->Button6Click();  // reading on: one answered poll
    ASSERT_EQ(Form1->Label5->text(), "25.3");
    ASSERT_FALSE(Form5->isVisible());

    // The chamber falls silent and, three requests into the next poll, the
    // adapter is pulled.
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(12, silent);
    CloseLineAfter(12, 1 + 3);
    const auto start = Clock::now();
    Form1->Timer1Timer();
    const auto took = Clock::now() - start;
    closer.join();
    ASSERT_TRUE(lineClosed);

    // The poll ended unanswered once the port was known to be gone,
    // instead of sleeping through 20 attempts at a port that is not there.
    EXPECT_LT(took, 20 * std::chrono::milliseconds(ScaledMs(800)));
    EXPECT_GE(RequestsTo(12), 4u);
    EXPECT_LT(RequestsTo(12), 21u);
    EXPECT_TRUE(Form5->isVisible());
    EXPECT_EQ(Form1->Label5->text(), "25.3") << "a poll without a reply changes no field";
    EXPECT_EQ(Form1->ReadingActive, 1);
    EXPECT_TRUE(Form1->Timer1->isActive());
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();

    // The dead port costs nothing while the window waits.
    EXPECT_LT(IdleCpuMs(400), 80.0) << "the receive thread spins on the vanished adapter";
    EXPECT_EQ(RunningReceiveThreads(), 1);

    // Reading goes on against the dead port without harm, and without
    // holding the window: each poll ends at once.
    const auto again = Clock::now();
    Form1->Timer1Timer();
    EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(ScaledMs(800)));
    EXPECT_TRUE(Form5->isVisible());

    // Back on a new terminal, with a new temperature to tell the polls apart.
    bus.SetFaults(12, sim::Faults{});
    Pin(12, Words(301));
    Reconnect();
    ASSERT_TRUE(PumpUntil([] { return Form1->Label5->text() == "30.1"; }, 10000))
        << "periodic reading did not recover; field shows " << Form1->Label5->text().toStdString();
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

class ScanLineLossTest : public LineFaultFixture {
protected:
    // Probe windows of 16 ms; a chamber missing one still has four more.
    ScanLineLossTest() : LineFaultFixture(0.1) {}
};

TEST_F(ScanLineLossTest, AdapterGoneMidScanWaitsAtItsAddressAndGoesOnWhenReopened)
{
    AddChamber(231);
    AddChamber(235);
    AddChamber(240);
    // 235 answers from its third request on; the adapter goes after its second.
    sim::Faults third;
    third.answerFrom = 3;
    bus.SetFaults(235, third);
    CloseLineAfter(235, 2);

    ScanAddress = 230;
    Form1->Button4Click();
    ASSERT_TRUE(PumpUntil([this] { return lineClosed.load(); }, 30000));
    closer.join();
    ASSERT_TRUE(PumpUntil([] { return PortLost(); }, 2000));
    Pump(400);

    // The scan holds at the address it was probing: the addresses after it
    // are not passed over as silent while the adapter is out.
    EXPECT_EQ(ScanAddress, 235);
    EXPECT_TRUE(Form1->Timer5->isActive());
    EXPECT_EQ(ListBoxEntries(), QStringList{ChamberEntryText(231)});
    EXPECT_EQ(RequestsTo(240), 0u);
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пауза"));
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    EXPECT_LT(IdleCpuMs(400), 80.0) << "the scan spins on the vanished adapter";

    // Plugged in again: the scan goes on at 235 and finds the rest.
    Reconnect();
    ASSERT_TRUE(PumpUntil([] { return ScanAddress == 251; }, 30000)) << "scan stuck at " << ScanAddress;
    EXPECT_EQ(ListBoxEntries(), QStringList({ChamberEntryText(231), ChamberEntryText(235), ChamberEntryText(240)}));
    EXPECT_EQ(Form1->ProgressBar1->value(), 100);
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("250 из 250"));
    EXPECT_FALSE(Form1->Timer5->isActive());
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

// A reply that lands after its own attempt has given up is taken by a later
// attempt of the same exchange: the attempt it lands in finds it.
class PollLateReplyTest : public LineFaultFixture {
protected:
    // Windows of 200 ms: a late reply lands well inside the intended one.
    PollLateReplyTest() : LineFaultFixture(0.25) {}
};

TEST_F(PollLateReplyTest, LateReplyAnswersTheAttemptItLandsIn)
{
    AddChamber(9);
    Select(9);
    const int window = ScaledMs(800);
    struct Case {
        double lateness;  // in reply windows
        size_t requests;  // the attempt that takes the reply
    };
    for (const Case& c : {Case{0.5, 1}, Case{1.5, 2}, Case{2.5, 3}}) {
        SCOPED_TRACE(c.lateness);
        // The replies of the previous case's later requests are still on
        // their way; let them land before this poll's first clearing.
        ASSERT_TRUE(bus.WaitUntilIdle(5s));
        std::this_thread::sleep_for(50ms);
        bus.ClearReceivedFrames();
        sim::Faults late;
        late.extraDelay = std::chrono::milliseconds(static_cast<int>(c.lateness * window));
        bus.SetFaults(9, late);
        Form1->Label5->setText("-");
        Form1->ReadStatus();
        EXPECT_EQ(RequestsTo(9), c.requests);
        // It begins at the start of the buffer, so it is decoded too.
        EXPECT_EQ(Form1->Label5->text(), "25.3");
        EXPECT_FALSE(Form5->isVisible());
    }
}

class ScanLateReplyTest : public LineFaultFixture {
protected:
    // The real 160 ms probe windows.
    ScanLateReplyTest() : LineFaultFixture(1.0) {}
};

TEST_F(ScanLateReplyTest, LateProbeReplyCountsForTheNextAttempt)
{
    AddChamber(17);
    AddChamber(18);
    sim::Faults late;
    late.extraDelay = 240ms;  // lands in the second 160 ms window
    bus.SetFaults(17, late);
    sim::Faults tooLate;
    tooLate.extraDelay = 1000ms;  // past all five windows
    bus.SetFaults(18, tooLate);

    Form1->ProbeAddress(17);
    EXPECT_EQ(RequestsTo(17), 2u);
    EXPECT_EQ(ListBoxEntries(), QStringList{ChamberEntryText(17)});

    Form1->ProbeAddress(18);
    EXPECT_EQ(RequestsTo(18), 5u);
    EXPECT_EQ(ListBoxEntries(), QStringList{ChamberEntryText(17)});
}

// The input purge at the start of every attempt can take away bytes the
// receive thread has just been woken for. That must cost those bytes only,
// never the receive thread: a port that stops listening after such a race
// answers no poll again until it is reopened.
class LinkPurgeRaceTest : public LineFaultFixture {
protected:
    LinkPurgeRaceTest() : LineFaultFixture(0.05) {}
};

TEST_F(LinkPurgeRaceTest, PurgingWhileBytesArriveKeepsTheReceiveThreadListening)
{
    std::atomic<bool> stop{false};
    std::thread line([&] {
        const std::vector<uint8_t> noise(7, 0x55);
        while (!stop) {
            bus.InjectBytes(noise);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    const auto end = Clock::now() + 1500ms;
    int purges = 0;
    while (Clock::now() < end) {
        PurgeInput(PortHandle);
        ++purges;
    }
    stop = true;
    line.join();
    ASSERT_GT(purges, 1000);

    // The last noise may still be on its way; once the line has been quiet
    // for many frame gaps it is taken and dropped, so that the reply below
    // arrives alone, as after any silence.
    std::this_thread::sleep_for(300ms);
    PurgeInput(PortHandle);
    // A reply now must still reach the buffer.
    ClearReceiveBuffer();
    const std::vector<uint8_t> marker = {0x07, 0x04, 0x02, 0x12, 0x34};
    ASSERT_TRUE(bus.InjectBytes(marker));
    const auto deadline = Clock::now() + 2s;
    bool landed = false;
    while (!landed && Clock::now() < deadline) {
        const ReceiveBytes b = ReceiveBufferSnapshot();
        landed = std::equal(marker.begin(), marker.end(), b.begin());
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(landed) << "the receive thread stopped listening after " << purges << " purges";
    EXPECT_EQ(RunningReceiveThreads(), 1);
}
