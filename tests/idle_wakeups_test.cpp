// What keeps the process awake at rest: the overview's reader, with no
// chamber but the selected one, wakes only for that chamber's reads, not at
// every cycle's end; the hidden line monitor has no timer of its own.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <gtest/gtest.h>

#include "link/PortUnit.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/LineMonitorWindow.h"
#include "ui/OverviewWindow.h"
#include "ui/main.h"

using namespace std::chrono_literals;

namespace {

// Runs the event loop as the application does, asleep between events
// (the test fixture's pumping never sleeps).
void RunLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

class IdleWakeupsTest : public AppFixture {
protected:
    // The selected chamber read every second, a cycle of 750 ms.
    IdleWakeupsTest() : AppFixture(0.25) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        ASSERT_TRUE(bus.AddChamber(1));
        ASSERT_TRUE(bus.AddChamber(2));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
    }
    sim::BusSimulator bus;
};

TEST_F(IdleWakeupsTest, AReaderWithOnlyTheSelectedChamberSleepsBetweenItsReads)
{
    // Counted on the reader's thread, which outlives this body until the
    // windows go: the counters are shared, not on this stack.
    auto selectedReads = std::make_shared<std::atomic<int>>(0);
    auto otherReads = std::make_shared<std::atomic<int>>(0);
    OverviewReader& reader = FormOverview->Reader();
    QObject::connect(&reader, &OverviewReader::Read, &reader,
                     [selectedReads, otherReads](const OverviewRead& read) { ++*(read.selected ? selectedReads : otherReads); },
                     Qt::DirectConnection);
    FormOverview->Watch(1);
    FormOverview->StartReading();
    Form1->ListBox1->addItem(QStringLiteral("Камера №1"));
    Form1->ListBox1->setCurrentRow(0);
    Form1->ListBox1Click();
    Form1->Button6->click();
    ASSERT_TRUE(PumpUntil([&] { return reader.Selected() == 1 && *selectedReads >= 2; }, 20000));
    const long wakeupsBefore = reader.Wakeups();
    const int readsBefore = *selectedReads;
    const int othersBefore = *otherReads;  // chamber 1 before it was selected
    // Four cycles' time: a line woken at each cycle's end would wake four
    // times more than it reads.
    Pump(3000);
    const int reads = *selectedReads - readsBefore;
    EXPECT_GE(reads, 2);  // every second, as before
    // One more for a read under way at either end.
    EXPECT_LE(reader.Wakeups() - wakeupsBefore, reads + 1);
    EXPECT_EQ(*otherReads - othersBefore, 0);
    // A chamber of the cycle's own wakes it at once.
    FormOverview->Watch(2);
    EXPECT_TRUE(PumpUntil([&] { return *otherReads > othersBefore; }, 10000));
}

// Hidden, the monitor keeps no timer, yet takes every frame once the
// thread is awake for something else (here the clock) and its interval has
// passed; at the real interval, as that is the point.
TEST_F(IdleWakeupsTest, TheHiddenLineMonitorHasNoTimerOfItsOwn)
{
    EXPECT_FALSE(FormLineMonitor->DrainTimerRunning());
    FormLineMonitor->show();
    EXPECT_TRUE(FormLineMonitor->DrainTimerRunning());
    FormLineMonitor->hide();
    EXPECT_FALSE(FormLineMonitor->DrainTimerRunning());
    FormLineMonitor->Drain();
    const quint64 before = FormLineMonitor->Monitor().Counters().requests;
    for (int i = 0; i < 3; ++i)
        ReadExchange(1, 0x04, 3, 160);
    QElapsedTimer waited;
    waited.start();
    while (FormLineMonitor->Monitor().Counters().requests != before + 3 &&
           waited.elapsed() < 3 * FormLineMonitor->DrainInterval())
        RunLoop(250);
    EXPECT_EQ(FormLineMonitor->Monitor().Counters().requests, before + 3);
}
