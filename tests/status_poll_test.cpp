// The status poll and periodic reading against a simulated bus: which chamber
// is asked, what a reply does to the main window, and what a poll always does.
#include <QListWidget>
#include <array>
#include <clocale>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

#include "link/PortUnit.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/ErrorDisplay.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {

using Words = std::array<uint16_t, 17>;

// A reply every window accepts: 25.3 °C of 30.0, stabilisation 05:30 of
// 02:45, reach 01:15 of 01:15, step 2(5), cycle 10(100), program 3,
// 60.5 % of 70 %.
Words Plausible()
{
    return {253, 3, 300, 0, 5, 30, 1, 15, 2, 45, 2, 5, 10, 100, 75, 605, 700};
}

// 14:05:30 today, local time.
std::time_t FixedMoment(int hour = 14, int minute = 5, int second = 30)
{
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

}  // namespace

class PollFixture : public AppFixture {
protected:
    // Reply windows of 80 ms: the tests count requests exactly, so a reply
    // must not miss its window on a busy machine.
    explicit PollFixture(double timeScale = 0.1) : AppFixture(timeScale) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        SetClockSource([] { return FixedMoment(); });
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        bus.SetSpeed(0);  // the models stand still; pinned words are exact
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
    }

    void AddChamber(int address, const Words& words = Plausible())
    {
        ASSERT_TRUE(bus.AddChamber(address));
        Pin(address, words);
    }
    void Pin(int address, const Words& words)
    {
        bus.WithChamber(address, [&](sim::ChamberModel& m) {
            for (int n = 0; n < 17; ++n)
                m.PinStatusWord(n, words[n]);
        });
    }
    // Lists the chamber as the scan would and selects its entry.
    static void Select(int address)
    {
        Form1->ListBox1->addItem(ChamberEntryText(address));
        Form1->ListBox1->setCurrentRow(Form1->ListBox1->count() - 1);
    }
    size_t Requests() const { return bus.ReceivedFrames().size(); }
    std::vector<uint8_t> LastRequest() const { return bus.ReceivedFrames().back().bytes; }

    static QStringList Fields()
    {
        QStringList texts;
        for (QLabel* l : {Form1->Label5, Form1->Label18, Form1->Label11, Form1->Label15, Form1->Label3,
                          Form1->Label19, Form1->Label13, Form1->Label20, Form1->Label17, Form1->Label2,
                          Form1->Label4})
            texts << l->text();
        return texts;
    }
    static QStringList IdleFields()
    {
        return {"0", "0", "00:00", "00:00", "00:00", "00:00", "0(0)", "0(0)", "0", "0", "0"};
    }
    static QStringList ValueTexts()
    {
        return {CurrentTempText, SetTempText, CurrentHumidityText, SetHumidityText,
                ProgramText,     StepText,    CycleText};
    }

    sim::BusSimulator bus;
};

class PollTest : public PollFixture {};

TEST_F(PollTest, SwitchingReadingOnPollsOnceThenStartsTheTimer)
{
    ScopedLocale comma(LC_NUMERIC, "ru_RU.UTF-8");
    ASSERT_TRUE(comma.ok());
    AddChamber(12);
    Select(12);
    Form1->ListBox1Click();

    Form1->Button6Click();
    EXPECT_EQ(Requests(), 1u);
    EXPECT_EQ(LastRequest(), std::vector<uint8_t>({0x0C, 0x04, 0x00, 0x00, 0x00, 0x0F, 0xB1, 0x13}));
    EXPECT_TRUE(Form1->Timer1->isActive());
    EXPECT_EQ(Form1->ReadingActive, 1);
    EXPECT_EQ(Form1->Button6->text(), QString::fromUtf8("Останов чтения"));
    EXPECT_EQ(Fields(), QStringList({"25,3", "30", "05:30", "01:15", "01:15", "02:45", "2(5)", "10(100)", "3",
                                     "60,5", "70"}));
    EXPECT_EQ(ValueTexts(), QStringList({"25,3", "30", "60,5", "70", "3", "2(5)", "10(100)"}));
    EXPECT_EQ(LogLine, RecordLine("14:05:30", "25,3", "60,5", "3", "2(5)", "10(100)"));
    EXPECT_TRUE(Form1->CheckBox1->isEnabled());
    EXPECT_FALSE(Form1->ActivityIndicator1->Animate());
    EXPECT_FALSE(Form1->ActivityIndicator2->Animate());
    EXPECT_FALSE(Form1->ActivityIndicator3->Animate());
    EXPECT_TRUE(Form1->Timer4->isActive());
    EXPECT_FALSE(Form5->isVisible());

    // Timer1 repeats the poll (every 400 ms at this time scale).
    ASSERT_TRUE(PumpUntil([this] { return Requests() >= 3; }, 5000));

    // Off: fields idle, value texts and record line kept.
    const QString line = LogLine;
    Form1->Button6Click();
    EXPECT_FALSE(Form1->Timer1->isActive());
    EXPECT_EQ(Form1->ReadingActive, 0);
    EXPECT_EQ(Form1->Button6->text(), QString::fromUtf8("Чтение текущих показаний"));
    EXPECT_EQ(Fields(), IdleFields());
    EXPECT_EQ(ValueTexts(), QStringList({"25,3", "30", "60,5", "70", "3", "2(5)", "10(100)"}));
    EXPECT_EQ(LogLine, line);
    EXPECT_TRUE(Form1->CheckBox1->isEnabled());
    const size_t polled = Requests();
    Pump(900);
    EXPECT_EQ(Requests(), polled) << "no poll while reading is off";

    // On again: the indicators stay still.
    Form1->Button6Click();
    EXPECT_FALSE(Form1->ActivityIndicator1->Animate());
    EXPECT_EQ(Form1->Label5->text(), "25,3");
}

TEST_F(PollTest, TheSelectedEntryNamesTheChamber)
{
    for (int address : {1, 7, 15, 250})
        AddChamber(address);
    for (int address : {7, 15, 250, 1}) {
        Select(address);
        const size_t before = Requests();
        Form1->ReadStatus();
        EXPECT_EQ(ChamberAddress, address);
        ASSERT_EQ(Requests(), before + 1) << address;
        const auto frame = BuildReadRequest(static_cast<uint8_t>(address), 0x04, 15);
        EXPECT_EQ(LastRequest(), std::vector<uint8_t>(frame.begin(), frame.end())) << address;
    }
    EXPECT_EQ(bus.RequestCount(250), 1);
    EXPECT_EQ(bus.RequestCount(1), 1) << "entry 15 must not poll chamber 1";
}

TEST_F(PollTest, WithoutASelectionThePreviousChamberIsPolled)
{
    AddChamber(0);
    AddChamber(15);
    Form1->ReadStatus();
    EXPECT_EQ(ChamberAddress, 0);
    EXPECT_EQ(LastRequest()[0], 0x00);
    EXPECT_EQ(Form1->Label5->text(), "25.3");

    Select(15);
    Form1->ReadStatus();
    Form1->Button1Click();  // a new scan empties the list while reading is on
    ASSERT_EQ(Form1->ListBox1->count(), 0);
    Form1->ReadStatus();
    EXPECT_EQ(ChamberAddress, 15);
    EXPECT_EQ(LastRequest()[0], 15);
    EXPECT_EQ(bus.RequestCount(15), 2);
}

TEST_F(PollTest, TheFirstPollWritesTheAddressIntoTheLogFileName)
{
    AddChamber(12);
    AddChamber(3);
    LogFileName = QString::fromUtf8("/data/КТХ№> 03.07.2017 09_05_07.txt");
    Select(12);
    Form1->ReadStatus();
    EXPECT_EQ(LogFileName, QString::fromUtf8("/data/КТХ№12 03.07.2017 09_05_07.txt"));
    Select(3);
    Form1->ReadStatus();
    EXPECT_EQ(LogFileName, QString::fromUtf8("/data/КТХ№12 03.07.2017 09_05_07.txt"));
}

// The warning belongs to a running poll on the open line: switching reading
// off, or opening a port, takes it away; a later silent poll brings it back.
TEST_F(PollTest, LinkLossWindowGoesWhenReadingStopsOrAPortIsOpened)
{
    AddChamber(12);
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(12, silent);
    Select(12);
    enum class Then { SwitchReadingOff, StopScanThenOpenPort };
    for (const Then then : {Then::SwitchReadingOff, Then::StopScanThenOpenPort}) {
        SCOPED_TRACE(static_cast<int>(then));
        if (Form1->ReadingActive == 0)
            Guarded([] { Form1->Button6Click(); });  // on: one silent poll
        else
            Guarded([] { Form1->Timer1Timer(); });
        ASSERT_TRUE(Form5->isVisible());
        if (then == Then::SwitchReadingOff) {
            Guarded([] { Form1->Button6Click(); });  // off
            EXPECT_EQ(Form1->ReadingActive, 0);
            EXPECT_EQ(Fields(), IdleFields());
        } else {
            Guarded([] { Form1->Button1Click(); });  // "Стоп" alone says nothing of the line
            EXPECT_TRUE(Form5->isVisible());
            Form1->ComboBox1->setCurrentIndex(0);
            Guarded([] { Form1->ComboBox1Change(); });
            Guarded([] { Form1->Button5Click(); });
            ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        }
        EXPECT_FALSE(Form5->isVisible());
        Pump(50);
        EXPECT_FALSE(Form5->isVisible());
    }
}

TEST_F(PollTest, ASilentChamberShowsTheLinkLossWindowUntilItAnswers)
{
    AddChamber(12);
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(12, silent);
    Select(12);
    Form1->Button6Click();

    EXPECT_EQ(bus.RequestCount(12), 20);
    EXPECT_TRUE(Form5->isVisible());
    EXPECT_EQ(Form5->windowTitle(), QString::fromUtf8("Обрыв связи"));
    // Everything else of the poll happens as after a reply.
    EXPECT_EQ(Fields(), IdleFields());
    EXPECT_EQ(LogLine, RecordLine("14:05:30", "", "", "", "", ""));
    EXPECT_TRUE(Form1->CheckBox1->isEnabled());
    EXPECT_FALSE(Form1->ActivityIndicator1->Animate());
    EXPECT_FALSE(Form1->ActivityIndicator3->Animate());
    EXPECT_TRUE(Form1->Timer4->isActive());
    EXPECT_EQ(Form1->ReadingActive, 1);
    EXPECT_TRUE(Form1->Timer1->isActive());

    bus.SetFaults(12, sim::Faults{});
    bus.ResetRequestCount(12);
    Form1->ReadStatus();
    EXPECT_EQ(bus.RequestCount(12), 1);
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_EQ(Form1->Label5->text(), "25.3");
}

TEST_F(PollTest, LaterPollsLeaveTheLogTimersPeriodAlone)
{
    AddChamber(12);
    Select(12);
    Form1->ReadStatus();
    ASSERT_TRUE(Form1->Timer4->isActive());
    const int afterFirst = Form1->Timer4->remainingTime();
    Pump(500);
    Form1->ReadStatus();
    // 60 s are 6 s here; a restarted period would be back near its length.
    EXPECT_LT(Form1->Timer4->remainingTime(), afterFirst - 300);
}

TEST_F(PollTest, AReplyAfterStrayBytesEndsTheExchangeUndecoded)
{
    AddChamber(12);
    sim::Faults noise;
    noise.noiseBytes = {0x55, 0x66, 0x77};
    bus.SetFaults(12, noise);
    Select(12);
    Form1->ReadStatus();
    EXPECT_EQ(bus.RequestCount(12), 1) << "found at the first attempt";
    EXPECT_FALSE(Form5->isVisible()) << "the chamber did answer";
    EXPECT_EQ(Fields(), IdleFields());
    EXPECT_EQ(ValueTexts(), QStringList({"", "", "", "", "", "", ""}));
    // The record line still carries the time of this poll.
    SetClockSource([] { return FixedMoment(15, 0, 1); });
    Form1->ReadStatus();
    EXPECT_EQ(LogLine, RecordLine("15:00:01", "", "", "", "", ""));
}

TEST_F(PollTest, AFifteenWordReplyPutsItsCrcIntoTheCurrentHumidity)
{
    // Word 3 is not read, so it can steer the reply's CRC: once to a value a
    // humidity may have, once to one it may not.
    const auto crcWord = [](const Words& w) {
        ReceiveBytes frame{};
        frame[0] = 5;
        frame[1] = 0x04;
        frame[2] = 30;
        for (int n = 0; n < 15; ++n) {
            frame[3 + 2 * n] = static_cast<uint8_t>(w[n] >> 8);
            frame[4 + 2 * n] = static_cast<uint8_t>(w[n] & 0xFF);
        }
        const uint16_t crc = Crc16(0, 32, frame.data());
        return 256 * (crc & 0xFF) + (crc >> 8);  // low byte first on the line
    };
    Words inWindow = Plausible();
    Words outOfWindow = Plausible();
    bool haveIn = false, haveOut = false;
    for (int w3 = 0; w3 < 65536 && !(haveIn && haveOut); ++w3) {
        Words w = Plausible();
        w[3] = static_cast<uint16_t>(w3);
        const int crc = crcWord(w);
        if (!haveIn && crc < 1100 && crc % 10 != 0) {
            inWindow = w;
            haveIn = true;
        } else if (!haveOut && crc >= 1100) {
            outOfWindow = w;
            haveOut = true;
        }
    }
    ASSERT_TRUE(haveIn && haveOut);

    AddChamber(5, inWindow);
    sim::Faults shortReply;
    shortReply.fifteenWordsOnly = true;
    bus.SetFaults(5, shortReply);
    Select(5);
    Form1->ReadStatus();
    EXPECT_EQ(Form1->Label2->text(), TenthsText(crcWord(inWindow), "."));
    EXPECT_EQ(Form1->Label4->text(), "0") << "the cleared bytes after the CRC";
    EXPECT_EQ(SetHumidityText, "0");
    EXPECT_EQ(Form1->Label5->text(), "25.3");

    Pin(5, outOfWindow);
    Form1->Label4->setText("x");
    Form1->ReadStatus();
    EXPECT_EQ(Form1->Label2->text(), TenthsText(crcWord(inWindow), ".")) << "refused: the old value stays";
    EXPECT_EQ(Form1->Label4->text(), "0");
}

TEST_F(PollTest, AnOutOfWindowTemperatureEmptiesTheFieldBeforeAnyWasAccepted)
{
    Words w = Plausible();
    w[0] = 2500;
    w[2] = 64536;
    w[15] = 1100;
    AddChamber(8, w);
    Select(8);
    Form1->ReadStatus();
    EXPECT_EQ(Form1->Label5->text(), "");
    EXPECT_EQ(Form1->Label18->text(), "");
    EXPECT_EQ(Form1->Label2->text(), "0");
    EXPECT_EQ(Form1->Label13->text(), "2(5)");
    EXPECT_EQ(LogLine, RecordLine("14:05:30", "", "", "3", "2(5)", "10(100)"));

    Pin(8, Plausible());
    Form1->ReadStatus();
    Pin(8, w);
    Form1->ReadStatus();
    EXPECT_EQ(Form1->Label5->text(), "25.3") << "rewritten from the last accepted value";
    EXPECT_EQ(Form1->Label2->text(), "60.5");
}

TEST_F(PollTest, RefusedHoursKeepTheTimeFieldAtHoursAndMinutes)
{
    AddChamber(4);
    Select(4);
    Form1->ReadStatus();
    ASSERT_EQ(Form1->Label11->text(), "05:30");
    Words w = Plausible();
    w[4] = 250;   // stabilisation hours refused
    w[5] = 31;
    w[14] = 12000;  // reach set point: 200 h refused, 0 min taken
    Pin(4, w);
    for (int poll = 0; poll < 2; ++poll) {
        Form1->ReadStatus();
        EXPECT_EQ(Form1->Label11->text(), "05:31") << "poll " << poll;
        EXPECT_EQ(Form1->Label3->text(), "01:00") << "poll " << poll;
    }
    w[14] = 11999;
    Pin(4, w);
    Form1->ReadStatus();
    EXPECT_EQ(Form1->Label3->text(), "199:59");
}

// The split reply needs the receive thread to see its two pieces apart (100 ms
// between them) and both inside the reply window (200 ms here).
class SplitReplyTest : public PollFixture {
protected:
    SplitReplyTest() : PollFixture(0.25) {}
};

TEST_F(SplitReplyTest, AReplyInTwoChunksIsNotDecoded)
{
    AddChamber(12);
    sim::Faults split;
    split.chunkSizes = {10};
    split.chunkGap = std::chrono::milliseconds(100);
    bus.SetFaults(12, split);
    Select(12);
    Form1->ReadStatus();
    // The second piece landed at offset 0 over the first: nothing decoded.
    EXPECT_EQ(Fields(), IdleFields());
    EXPECT_EQ(ValueTexts(), QStringList({"", "", "", "", "", "", ""}));
    const auto writes = bus.SentWrites();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes.size(), 10u);
    EXPECT_EQ(writes[1].bytes.size(), 29u);
    // The pair (12, 4) is nowhere in the second piece, so all 20 attempts ran.
    EXPECT_EQ(bus.RequestCount(12), 20);
    EXPECT_TRUE(Form5->isVisible());
}
