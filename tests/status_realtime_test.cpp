// The operator's path with the real 160 ms and 800 ms reply windows: a short
// scan finds the chamber, its entry is picked, one poll fills the window.
#include <QListWidget>
#include <gtest/gtest.h>
#include <string>

#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/Unit5.h"
#include "ui/main.h"

class RealWaitsTest : public AppFixture {
protected:
    RealWaitsTest() : AppFixture(1.0) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
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

TEST_F(RealWaitsTest, ShortScanThenOnePoll)
{
    ASSERT_TRUE(bus.AddChamber(249));
    const uint16_t words[17] = {64786, 7, 2499, 0, 199, 59, 999, 0, 12, 1, 19, 19, 999, 65535, 11999, 1099, 0};
    bus.WithChamber(249, [&](sim::ChamberModel& m) {
        for (int n = 0; n < 17; ++n)
            m.PinStatusWord(n, words[n]);
    });

    // Only 248, 249 and 250 are probed.
    ScanAddress = 248;
    Form1->Button4Click();
    ASSERT_TRUE(PumpUntil([] { return ScanAddress == 251; }, 15000));
    ASSERT_EQ(Form1->ListBox1->count(), 1);
    EXPECT_EQ(Form1->ListBox1->item(0)->text(), QString::fromUtf8("Камера №249"));
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("250 из 250"));
    EXPECT_EQ(Form1->ProgressBar1->value(), 100);
    EXPECT_EQ(bus.RequestCount(249), 1);
    EXPECT_EQ(bus.ReceivedFrames().size(), 11u);  // 5 + 1 + 5

    Form1->ListBox1->setCurrentRow(0);
    Form1->ListBox1Click();
    ASSERT_TRUE(Form1->Button6->isEnabled());
    bus.ClearReceivedFrames();
    Form1->Button6Click();
    ASSERT_EQ(bus.ReceivedFrames().size(), 1u);
    EXPECT_EQ(bus.ReceivedFrames()[0].bytes[5], 15);
    EXPECT_EQ(ChamberAddress, 249);
    EXPECT_EQ(Form1->Label5->text(), "-75");
    EXPECT_EQ(Form1->Label18->text(), "249.9");
    EXPECT_EQ(Form1->Label11->text(), "199:59");
    EXPECT_EQ(Form1->Label15->text(), "999:00");
    EXPECT_EQ(Form1->Label3->text(), "199:59");
    EXPECT_EQ(Form1->Label19->text(), "12:01");
    EXPECT_EQ(Form1->Label13->text(), "19(19)");
    EXPECT_EQ(Form1->Label20->text(), "999(65535)");
    EXPECT_EQ(Form1->Label17->text(), "7");
    EXPECT_EQ(Form1->Label2->text(), "109.9");
    EXPECT_EQ(Form1->Label4->text(), "0");
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_TRUE(Form1->Timer1->isActive());
    EXPECT_EQ(Form1->Timer1->interval(), 4000);
    EXPECT_TRUE(LogLine.startsWith("    "));
    EXPECT_TRUE(LogLine.endsWith(";     \r\n"));
    Form1->Button6Click();
    EXPECT_EQ(Form1->Label5->text(), "0");
}
