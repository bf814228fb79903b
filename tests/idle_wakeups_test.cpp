// What keeps the process awake at rest: the hidden line monitor has no
// timer of its own.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>

#include "link/PortUnit.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/LineMonitorWindow.h"
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
    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        ASSERT_TRUE(bus.AddChamber(1));
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
