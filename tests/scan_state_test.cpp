// The device scan against a simulated bus: probes, list, progress display
// and the states idle, running, paused, complete and acknowledged.
#include <QListWidget>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "link/PortUnit.h"
#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/main.h"

namespace {

QString Entry(int address) { return QString::fromUtf8("Камера №") + QString::number(address); }

// "Поиск завершён" stands beside the button.
bool SaysScanDone()
{
    const QLabel* label = Form1->LabelScanDone;
    return label && !label->isHidden() && label->text() == QString::fromUtf8("Поиск завершён");
}

}  // namespace

class ScanTest : public AppFixture {
protected:
    // Probe windows of 40 ms: the tests count requests exactly, and a busy
    // machine can hold a reply back longer than a window of a few ms.
    ScanTest() : AppFixture(0.25) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
    }

    // Addresses of the requests on the line so far, in order.
    std::vector<int> Requested() const
    {
        std::vector<int> addresses;
        for (const sim::LineFrame& f : bus.ReceivedFrames())
            addresses.push_back(f.bytes[0]);
        return addresses;
    }

    // One tick as Timer5 would deliver it.
    static void Tick() { Form1->Timer5Timer(); }

    sim::BusSimulator bus;
};

TEST_F(ScanTest, ProbesListAnsweringAddressesOnly)
{
    ASSERT_TRUE(bus.AddChamber(0));
    ASSERT_TRUE(bus.AddChamber(3));
    ASSERT_TRUE(bus.AddChamber(5));
    ASSERT_TRUE(bus.AddChamber(7));
    sim::Faults fifth;
    fifth.answerFrom = 5;
    bus.SetFaults(5, fifth);
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(3, silent);

    Form1->Button4Click();
    for (int i = 0; i < 9; ++i)
        Tick();

    EXPECT_EQ(ListBoxEntries(), QStringList({Entry(0), Entry(5), Entry(7)}));
    EXPECT_EQ(ScanAddress, 9);
    EXPECT_EQ(Form1->ProgressBar1->value(), 3);  // 8 × 100 / 250 = 3.2
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("8 из 250"));
    // Answering chambers are asked once, the others five times; each request
    // asks for 3 registers from register 0.
    EXPECT_EQ(bus.RequestCount(0), 1);
    EXPECT_EQ(bus.RequestCount(3), 5);
    EXPECT_EQ(bus.RequestCount(5), 5);
    EXPECT_EQ(bus.RequestCount(7), 1);
    const std::vector<int> expected = {0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4,
                                       5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 7, 8, 8, 8, 8, 8};
    EXPECT_EQ(Requested(), expected);
    for (const sim::LineFrame& f : bus.ReceivedFrames()) {
        ASSERT_EQ(f.bytes.size(), 8u);
        EXPECT_EQ(f.bytes[1], 0x04);
        EXPECT_EQ(f.bytes[5], 3);
    }
    EXPECT_TRUE(Form1->Timer5->isActive());
    EXPECT_EQ(ScanRunning, 1);
}

TEST_F(ScanTest, RunsToCompletionAndWaitsForAcknowledgement)
{
    ASSERT_TRUE(bus.AddChamber(248));
    ASSERT_TRUE(bus.AddChamber(250));
    ScanAddress = 244;
    Form1->Button4Click();
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пауза"));
    ASSERT_TRUE(PumpUntil([] { return ScanAddress == 251; }, 20000));
    Pump(100);  // no further tick may probe anything

    // Complete: the caption still reads "Пауза" until acknowledged.
    EXPECT_FALSE(Form1->Timer5->isActive());
    EXPECT_EQ(ScanRunning, 1);
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пауза"));
    EXPECT_EQ(ListBoxEntries(), QStringList({Entry(248), Entry(250)}));
    EXPECT_EQ(Form1->ProgressBar1->value(), 100);
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("250 из 250"));
    // Every address once, in order, however the ticks fell.
    const std::vector<int> expected = {244, 244, 244, 244, 244, 245, 245, 245, 245, 245, 246, 246, 246,
                                       246, 246, 247, 247, 247, 247, 247, 248, 249, 249, 249, 249, 249, 250};
    EXPECT_EQ(Requested(), expected);

    // Acknowledged: list cleared, progress display kept.
    Form1->Button4Click();
    EXPECT_EQ(ScanRunning, 0);
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пуск"));
    EXPECT_EQ(Form1->ListBox1->count(), 0);
    EXPECT_EQ(Form1->ProgressBar1->value(), 100);
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("250 из 250"));
    EXPECT_EQ(ScanAddress, 251);

    // A new scan: the first tick only goes back to 0, the next probes 0.
    bus.ClearReceivedFrames();
    Form1->Button4Click();
    EXPECT_TRUE(Form1->Timer5->isActive());
    Tick();
    EXPECT_EQ(ScanAddress, 0);
    EXPECT_TRUE(bus.ReceivedFrames().empty());
    Tick();
    EXPECT_EQ(ScanAddress, 1);
    EXPECT_EQ(Requested(), std::vector<int>(5, 0));
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("0 из 250"));
}

// The button still reads "Пауза" when the last address is done; the line
// beside it says the search has ended, until "Пуск" or "Стоп".
TEST_F(ScanTest, CompletionIsSaidBesideTheButtonUntilAcknowledged)
{
    Form1->show();
    for (const bool acknowledgeWithStop : {false, true}) {
        SCOPED_TRACE(acknowledgeWithStop ? "Стоп" : "Пуск");
        ScanAddress = 248;
        Form1->Button4Click();
        EXPECT_FALSE(SaysScanDone());
        Tick();
        EXPECT_EQ(ScanAddress, 249);
        EXPECT_FALSE(SaysScanDone()) << "said while addresses are left";
        // Paused at 249 and resumed: not done either.
        Form1->Button4Click();
        EXPECT_FALSE(SaysScanDone());
        Form1->Button4Click();
        ASSERT_TRUE(PumpUntil([] { return ScanAddress == 251; }, 20000));
        EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пауза"));
        ASSERT_TRUE(SaysScanDone());
        EXPECT_TRUE(Form1->LabelScanDone->isVisible());
        // Beside the button, clear of the heading and of the button itself.
        const QRect said = Form1->LabelScanDone->geometry();
        EXPECT_FALSE(said.intersects(Form1->Button4->geometry()));
        EXPECT_FALSE(said.intersects(Form1->Label22->geometry()));
        EXPECT_LE(std::abs(said.left() - Form1->Button4->geometry().left()), 8);
        if (acknowledgeWithStop)
            Form1->Button1Click();
        else
            Form1->Button4Click();
        EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пуск"));
        EXPECT_FALSE(SaysScanDone());
        // A scan started again is not done.
        Form1->Button4Click();
        Tick();
        EXPECT_FALSE(SaysScanDone());
        Form1->Button1Click();
    }
}

TEST_F(ScanTest, PauseKeepsTheListAndResumesWithTheNextAddress)
{
    ASSERT_TRUE(bus.AddChamber(40));
    ScanAddress = 40;
    Form1->Button4Click();
    Tick();
    Tick();
    ASSERT_EQ(ScanAddress, 42);
    Form1->Button4Click();  // pause after 41
    EXPECT_FALSE(Form1->Timer5->isActive());
    EXPECT_EQ(ScanRunning, 0);
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пуск"));
    Pump(100);
    EXPECT_EQ(ScanAddress, 42);
    EXPECT_EQ(ListBoxEntries(), QStringList({Entry(40)}));
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("41 из 250"));

    bus.ClearReceivedFrames();
    Form1->Button4Click();  // resume
    EXPECT_TRUE(Form1->Timer5->isActive());
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пауза"));
    ASSERT_TRUE(PumpUntil([] { return ScanAddress == 43; }, 5000));
    Form1->Button4Click();
    EXPECT_EQ(Requested(), std::vector<int>(5, 42));
    EXPECT_EQ(ListBoxEntries(), QStringList({Entry(40)}));
}

TEST_F(ScanTest, StopResetsFromRunAndFromPause)
{
    ASSERT_TRUE(bus.AddChamber(1));
    for (bool pausedFirst : {false, true}) {
        ScanAddress = 0;
        Form1->Button4Click();
        Tick();
        Tick();
        ASSERT_EQ(ListBoxEntries(), QStringList({Entry(1)}));
        if (pausedFirst)
            Form1->Button4Click();
        Form1->Button1Click();
        EXPECT_EQ(ScanAddress, 0);
        EXPECT_EQ(ScanRunning, 0);
        EXPECT_FALSE(Form1->Timer5->isActive());
        EXPECT_EQ(Form1->ListBox1->count(), 0);
        EXPECT_EQ(Form1->ProgressBar1->value(), 0);
        EXPECT_EQ(Form1->Label26->text(), "    ");
        EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пуск"));
    }
    // The next start probes address 0 first and lists chamber 1 once.
    bus.ClearReceivedFrames();
    Form1->Button4Click();
    Tick();
    Tick();
    EXPECT_EQ(Requested().front(), 0);
    EXPECT_EQ(ListBoxEntries(), QStringList({Entry(1)}));
}

TEST_F(ScanTest, ListClickEnablesReadingAndControlOnlyWithASelection)
{
    ASSERT_TRUE(bus.AddChamber(6));
    Form1->ListBox1Click();
    EXPECT_FALSE(Form1->Button6->isEnabled());
    EXPECT_FALSE(Form1->Button2->isEnabled());

    Form1->ProbeAddress(6);
    ASSERT_EQ(Form1->ListBox1->count(), 1);
    Form1->ListBox1Click();  // an entry, but none selected
    EXPECT_FALSE(Form1->Button6->isEnabled());
    Form1->ListBox1->setCurrentRow(0);
    Form1->ListBox1Click();
    EXPECT_TRUE(Form1->Button6->isEnabled());
    EXPECT_TRUE(Form1->Button2->isEnabled());

    // Clearing the list does not take them back.
    Form1->Button1Click();
    Form1->ListBox1Click();
    EXPECT_TRUE(Form1->Button6->isEnabled());
    EXPECT_TRUE(Form1->Button2->isEnabled());
}

TEST_F(ScanTest, NoReplyCountsAsAChamberUnlessItsPairMatches)
{
    // Replies are recognised by their first two bytes: a bad CRC still counts,
    // an exception reply does not.
    ASSERT_TRUE(bus.AddChamber(10));
    ASSERT_TRUE(bus.AddChamber(11));
    sim::Faults badCrc;
    badCrc.badCrc = true;
    bus.SetFaults(10, badCrc);
    sim::Faults exception;
    exception.exceptionReply = true;
    bus.SetFaults(11, exception);
    Form1->ProbeAddress(10);
    Form1->ProbeAddress(11);
    EXPECT_EQ(ListBoxEntries(), QStringList({Entry(10)}));
    EXPECT_EQ(bus.RequestCount(11), 5);
}

class ScanWithoutPortTest : public AppFixture {};

TEST_F(ScanWithoutPortTest, CompletesWithAnEmptyList)
{
    OpenPortOn("/nonexistent/calvetra-port");
    errors.clear();
    ScanAddress = 249;
    Form1->Button4Click();
    ASSERT_TRUE(PumpUntil([] { return ScanAddress == 251; }, 10000));
    EXPECT_EQ(Form1->ListBox1->count(), 0);
    EXPECT_EQ(Form1->ProgressBar1->value(), 100);
    EXPECT_EQ(Form1->Label26->text(), QString::fromUtf8("250 из 250"));
    EXPECT_EQ(Form1->Button4->text(), QString::fromUtf8("Пауза"));
    EXPECT_TRUE(SaysScanDone());
    EXPECT_TRUE(errors.isEmpty());
}
