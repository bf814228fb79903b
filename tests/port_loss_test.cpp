// An adapter pulled out and plugged in again, played by a pseudo-terminal that
// is closed and re-created behind the same path (a link the test re-points).
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "link/PortUnit.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/Sanitizers.h"
#include "ui/ErrorDisplay.h"
#include "ui/LineMonitorWindow.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {

class PortLossTest : public AppFixture {
protected:
    PortLossTest() : AppFixture(SanitizedTimeScale(0.05)) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.AddChamber(1);
        bus.SetSpeed(0);
        link = dir.filePath(QStringLiteral("com1")).toStdString();
        PointLink();
        OpenPortOn(link);
        ASSERT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
        Form1->ListBox1->addItem(ChamberEntryText(1));
        Form1->ListBox1->setCurrentRow(0);
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
    }
    // The adapter's stable name now leads to the simulator's current terminal.
    void PointLink()
    {
        const std::string fresh = link + ".new";
        ASSERT_EQ(::symlink(bus.SlavePath().c_str(), fresh.c_str()), 0);
        ASSERT_EQ(::rename(fresh.c_str(), link.c_str()), 0);
    }
    static bool Says(const char* text) { return Form1->LabelPort->toolTip().contains(QString::fromUtf8(text)); }

    QTemporaryDir dir;
    std::string link;
    sim::BusSimulator bus;
};

}  // namespace

TEST_F(PortLossTest, PulledOutWhileReadingIsSaidAtOnceAndReopenedWhenBack)
{
    Guarded([] { Form1->Button6Click(); });  // reading on: one poll now, then every 4 s (scaled)
    ASSERT_TRUE(!Form5->isVisible());
    ASSERT_TRUE(Form1->LabelPort->text().isEmpty());

    bus.CloseLine();
    // Well before the 20 unanswered attempts of one poll would be over.
    EXPECT_TRUE(PumpUntil([] { return Says("Адаптер отключён"); }, 2000));
    EXPECT_TRUE(PortLost());
    EXPECT_TRUE(Form1->LabelPort->toolTip().contains(QString::fromStdString(link)));
    // Nothing comes back by itself while the link leads nowhere.
    Pump(600);
    EXPECT_TRUE(Says("Адаптер отключён"));

    std::string error;
    ASSERT_TRUE(bus.Restart(&error)) << error;
    bus.ResetRequestCount(1);
    PointLink();
    EXPECT_TRUE(PumpUntil([] { return Says("снова подключён"); }, 3000));
    EXPECT_FALSE(PortLost());
    EXPECT_EQ(RunningReceiveThreads(), 1);
    // Polling goes on against the device that came back, and gets answers.
    EXPECT_TRUE(PumpUntil([&] { return bus.RequestCount(1) >= 2; }, 5000));
    EXPECT_TRUE(Form1->Timer1->isActive());
    EXPECT_TRUE(Form1->Timer4->isActive());
    EXPECT_TRUE(PumpUntil([] { return !Form5->isVisible(); }, 3000));
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

TEST_F(PortLossTest, NoTimerWatchesThePortWhileItIsThere)
{
    // At rest nothing looks at the port every so often: the receive thread
    // tells of a pull the moment it happens.
    EXPECT_FALSE(Form1->TimerPort->isActive());
    Guarded([] { Form1->Button6Click(); });
    Pump(300);
    EXPECT_FALSE(Form1->TimerPort->isActive());

    bus.CloseLine();
    ASSERT_TRUE(PumpUntil([] { return Says("Адаптер отключён"); }, 2000));
    // Only now, with reading on, is the device looked for until it is back.
    EXPECT_TRUE(Form1->TimerPort->isActive());
    std::string error;
    ASSERT_TRUE(bus.Restart(&error)) << error;
    PointLink();
    ASSERT_TRUE(PumpUntil([] { return Says("снова подключён"); }, 3000));
    EXPECT_FALSE(Form1->TimerPort->isActive());

    // Reading switched off while the device is gone ends the looking.
    bus.CloseLine();
    ASSERT_TRUE(PumpUntil([] { return Says("Адаптер отключён"); }, 2000));
    Guarded([] { Form1->Button6Click(); });
    Pump(500);
    EXPECT_FALSE(Form1->TimerPort->isActive());
    // And switched on again while it is still gone starts it again.
    Guarded([] { Form1->Button6Click(); });
    EXPECT_TRUE(Form1->TimerPort->isActive());
}

TEST_F(PortLossTest, WithReadingOffTheOperatorOpensItAgain)
{
    bus.CloseLine();
    EXPECT_TRUE(PumpUntil([] { return Says("Адаптер отключён"); }, 2000));
    std::string error;
    ASSERT_TRUE(bus.Restart(&error)) << error;
    PointLink();
    Pump(800);
    EXPECT_TRUE(Says("Адаптер отключён"));

    // "Открыть" again: the notice goes and the line answers.
    Guarded([] { Form1->Button5Click(); });
    EXPECT_TRUE(Form1->LabelPort->text().isEmpty());
    bool found = false;
    for (int attempt = 0; attempt < 5 && !found; ++attempt)
        found = ReadExchange(1, 0x04, 3, 160);
    EXPECT_TRUE(found);
}

// The scan goes on where it was when the adapter comes back.
TEST_F(PortLossTest, PulledDuringAScanReopensAndGoesOnAtItsAddress)
{
    for (int a : {3, 9, 14})
        bus.AddChamber(a);
    Form1->ListBox1->clear();
    Guarded([] { Form1->Button4Click(); });
    ASSERT_TRUE(PumpUntil([] { return ScanAddress >= 6; }, 20000));
    bus.CloseLine();
    ASSERT_TRUE(PumpUntil([] { return PortLost(); }, 2000));
    Pump(300);
    const int stoppedAt = ScanAddress;
    Pump(500);
    EXPECT_EQ(ScanAddress, stoppedAt);  // no address passed over unasked

    std::string error;
    ASSERT_TRUE(bus.Restart(&error)) << error;
    PointLink();
    ASSERT_TRUE(PumpUntil([] { return ScanAddress >= 16; }, 30000));
    EXPECT_EQ(ListBoxEntries(), (QStringList{ChamberEntryText(1), ChamberEntryText(3), ChamberEntryText(9), ChamberEntryText(14)}));
    // Every address from where the scan stood was asked on the new line.
    std::vector<int> asked;
    for (const sim::LineFrame& f : bus.ReceivedFrames())
        asked.push_back(f.bytes[0]);
    for (int a = stoppedAt; a < 16; ++a)
        EXPECT_NE(std::find(asked.begin(), asked.end(), a), asked.end()) << a;
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}
