// Every status poll feeds the trend chart: values when a reply was decoded,
// a gap when the chamber stayed silent.
#include <gtest/gtest.h>
#include <string>

#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/ChartWindow.h"
#include "ui/main.h"

class TrendPollTest : public AppFixture {
protected:
    TrendPollTest() : AppFixture(0.1) {}
    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
        ASSERT_TRUE(bus.AddChamber(5));
        bus.WithChamber(5, [](sim::ChamberModel& m) {
            const uint16_t words[17] = {253, 3, 300, 0, 5, 30, 1, 15, 2, 45, 2, 5, 10, 100, 75, 2000, 700};
            for (int n = 0; n < 17; ++n)
                m.PinStatusWord(n, words[n]);
        });
        OpenPortOn(bus.SlavePath());
        Form1->ListBox1->addItem(ChamberEntryText(5));
        Form1->ListBox1->setCurrentRow(0);
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
    }
    sim::BusSimulator bus;
};

TEST_F(TrendPollTest, AnsweredPollAddsValuesAndSilentPollAddsAGap)
{
    Form1->ReadStatus();
    const TrendModel& model = FormChart->LiveModel();
    ASSERT_EQ(model.samples.size(), 1u);
    const TrendSample first = model.samples.back();
    EXPECT_TRUE(first.answered);
    EXPECT_DOUBLE_EQ(first.currentTemp, 25.3);
    EXPECT_DOUBLE_EQ(first.setTemp, 30.0);
    // A humidity outside its window is no point at all, not a zero.
    EXPECT_TRUE(std::isnan(first.currentHumidity));
    EXPECT_DOUBLE_EQ(first.setHumidity, 70.0);

    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(5, silent);
    Form1->ReadStatus();
    ASSERT_EQ(model.samples.size(), 2u);
    EXPECT_FALSE(model.samples.back().answered);

    bus.SetFaults(5, sim::Faults{});
    Form1->ReadStatus();
    FormChart->SyncView();
    EXPECT_EQ(FormChart->SegmentCount(TrendSeriesId::CurrentTemp), 2);
}
