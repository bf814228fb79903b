// The line's one owner: a reply taken the moment it is whole, the overview's
// reads between the operator's exchanges without ever talking over a chamber,
// and what a pulled adapter does to a poll and to a scan.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <thread>
#include <unistd.h>

#include "control/Commands.h"
#include "link/PortUnit.h"
#include "link/Rtu.h"
#include "monitoring/DataLog.h"
#include "monitoring/LineOwner.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Overview.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/Sanitizers.h"
#include "ui/ErrorDisplay.h"
#include "ui/OverviewWindow.h"
#include "ui/main.h"

namespace {

std::vector<uint8_t> WithCrc(std::vector<uint8_t> bytes)
{
    uint8_t frame[256] = {};
    std::copy(bytes.begin(), bytes.end(), frame);
    const size_t n = AppendCrc(frame, bytes.size());
    return std::vector<uint8_t>(frame, frame + n);
}

std::vector<uint8_t> StatusFrame(uint8_t address)
{
    std::vector<uint8_t> f = {address, 0x04, 34};
    for (int i = 0; i < 34; ++i)
        f.push_back(static_cast<uint8_t>(i));
    return WithCrc(f);
}

}  // namespace

TEST(ReplyScanTest, WholeOnlyWithItsByteCountAndCrc)
{
    const std::vector<uint8_t> reply = StatusFrame(7);
    std::vector<uint8_t> badCrc = reply;
    badCrc.back() ^= 0xFF;
    const std::vector<uint8_t> exception = WithCrc({7, 0x84, 0x04});
    std::vector<uint8_t> noisy = {0xFF, 0x07, 0x04, 0x00};
    noisy.insert(noisy.end(), reply.begin(), reply.end());
    const std::vector<uint8_t> other = StatusFrame(8);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        ReplyScan::State state;
        size_t offset;
    };
    const std::vector<Case> cases = {
        {"whole", reply, ReplyScan::State::Whole, 0},
        {"one byte short", std::vector<uint8_t>(reply.begin(), reply.end() - 1), ReplyScan::State::Incomplete, 0},
        {"header only", std::vector<uint8_t>(reply.begin(), reply.begin() + 3), ReplyScan::State::Incomplete, 0},
        {"wrong CRC", badCrc, ReplyScan::State::Incomplete, 0},
        {"exception", exception, ReplyScan::State::Exception, 0},
        {"noise that looks like a start, then the reply", noisy, ReplyScan::State::Whole, 4},
        {"another chamber's reply", other, ReplyScan::State::Incomplete, 0},
        {"nothing", {}, ReplyScan::State::Incomplete, 0},
    };
    for (const Case& c : cases) {
        const ReplyScan scan = ScanReply(c.bytes.data(), c.bytes.size(), 7, 0x04, 15);
        EXPECT_EQ(scan.state, c.state) << c.name;
        if (c.state != ReplyScan::State::Incomplete) {
            EXPECT_EQ(scan.offset, c.offset) << c.name;
        }
    }
    // Every cut of the reply short of its end is not whole yet.
    for (size_t n = 0; n < reply.size(); ++n)
        EXPECT_EQ(ScanReply(reply.data(), n, 7, 0x04, 15).state, ReplyScan::State::Incomplete) << n;
}

// A frame with a good CRC but fewer data bytes than the registers asked for
// is no answer: what it lacks would be decoded from zeros and its CRC.
TEST(ReplyScanTest, ReplyShorterThanTheRequestIsNoAnswer)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        WholeReply::Outcome outcome;
        size_t frameOffset;
    };
    const std::vector<uint8_t> reply = StatusFrame(7);
    std::vector<uint8_t> shortThenWhole = WithCrc({7, 0x04, 2, 0x01, 0x02});
    shortThenWhole.insert(shortThenWhole.end(), reply.begin(), reply.end());
    std::vector<uint8_t> fifteen = {7, 0x04, 30};
    fifteen.resize(33, 1);
    const std::vector<Case> cases = {
        {"byte count 0", WithCrc({7, 0x04, 0}), WholeReply::Outcome::Garbled, 0},
        {"one word", WithCrc({7, 0x04, 2, 0x01, 0x02}), WholeReply::Outcome::Garbled, 0},
        {"a short frame, then the reply", shortThenWhole, WholeReply::Outcome::Answered, 7},
        {"fifteen words", WithCrc(fifteen), WholeReply::Outcome::Answered, 0},
        {"seventeen words", reply, WholeReply::Outcome::Answered, 0},
    };
    for (const Case& c : cases) {
        const WholeReply whole = WholeReplyOf(c.bytes, 7, 0x04, 15, false);
        EXPECT_EQ(whole.outcome, c.outcome) << c.name;
        if (c.outcome == WholeReply::Outcome::Answered)
            EXPECT_EQ(whole.frame, std::vector<uint8_t>(c.bytes.begin() + c.frameOffset, c.bytes.end())) << c.name;
        EXPECT_EQ(OverviewReadOf(7, whole).answered, c.outcome == WholeReply::Outcome::Answered) << c.name;
    }
}

// A fifteen-word reply carries no humidities: its CRC is not read as one.
// With an odd byte count, the half word at its end is not read either.
TEST(ReplyScanTest, OverviewDecodesOnlyTheReplysData)
{
    std::vector<uint8_t> odd = {7, 0x04, 33};
    for (int n = 0; n < 33; ++n)
        odd.push_back(static_cast<uint8_t>(n + 1));
    WholeReply oddReply;
    oddReply.outcome = WholeReply::Outcome::Answered;
    oddReply.frame = WithCrc(odd);
    const OverviewRead oddRead = OverviewReadOf(7, oddReply);
    ASSERT_TRUE(oddRead.answered);
    EXPECT_EQ(oddRead.reply.words[15], 31 * 256 + 32);
    EXPECT_EQ(oddRead.reply.words[16], 0);
    EXPECT_FALSE(oddRead.reply.setHumidity.accepted);

    std::vector<uint8_t> body = {7, 0x04, 30};
    for (int n = 0; n < 15; ++n) {
        body.push_back(0);
        body.push_back(static_cast<uint8_t>(n + 1));
    }
    for (int variant = 0; variant < 65536; ++variant) {
        // A body whose CRC reads as a humidity inside its window (below 1100).
        body[5] = static_cast<uint8_t>(variant >> 8);
        body[6] = static_cast<uint8_t>(variant & 0xFF);
        WholeReply whole;
        whole.outcome = WholeReply::Outcome::Answered;
        whole.frame = WithCrc(body);
        if (whole.frame[33] >= 4)
            continue;
        const OverviewRead read = OverviewReadOf(7, whole);
        ASSERT_TRUE(read.answered);
        EXPECT_EQ(read.reply.words[14], 15);
        EXPECT_EQ(read.reply.words[1], variant);
        EXPECT_EQ(read.reply.words[15], 0);
        EXPECT_EQ(read.reply.words[16], 0);
        EXPECT_FALSE(read.reply.currentHumidity.accepted);
        EXPECT_FALSE(read.reply.setHumidity.accepted);
        return;
    }
    FAIL() << "no body with a CRC below 1100 found";
}

TEST(OverviewRulesTest, AddressesTypedByHand)
{
    const QVector<int> watched = {1, 7};
    struct Case {
        const char* text;
        bool ok;
        int address;
    };
    const Case cases[] = {{"12", true, 12},   {" 250 ", true, 250}, {"0", true, 0},    {"251", false, 0},
                          {"-1", false, 0},   {"abc", false, 0},    {"", false, 0},    {"7", false, 0},
                          {"1e2", false, 0},  {"٣", false, 0},      {"99999999999", false, 0}};
    for (const Case& c : cases) {
        int address = -1;
        const QString why = CheckNewAddress(QString::fromUtf8(c.text), watched, &address);
        EXPECT_EQ(why.isEmpty(), c.ok) << c.text << ": " << why.toStdString();
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.text;
        }
    }
    EXPECT_TRUE(CheckNewAddress(QStringLiteral("7"), watched, nullptr).contains(QStringLiteral("уже")));
    EXPECT_TRUE(CheckNewAddress(QStringLiteral("251"), watched, nullptr).contains(QStringLiteral("от 0 до 250")));
}

TEST(OverviewRulesTest, SilentChamberAskedLessOftenButEveryMinute)
{
    EXPECT_EQ(SilentPauseMs(0, 4000), 0);
    EXPECT_EQ(SilentPauseMs(2, 4000), 0);
    EXPECT_EQ(SilentPauseMs(3, 4000), 8000);
    EXPECT_EQ(SilentPauseMs(4, 4000), 16000);
    for (int n = 3; n < 200; ++n)
        EXPECT_LE(SilentPauseMs(n, 4000), kSilentAskAtLeastMs) << n;
    EXPECT_EQ(SilentPauseMs(100, 4000), kSilentAskAtLeastMs);

    WatchedChamber c = NewWatchedChamber(5);
    OverviewRead silent;
    silent.address = 5;
    ApplyOverviewRead(c, silent, 1000, QStringLiteral(","));
    EXPECT_EQ(c.link, ChamberLink::Late);
    ApplyOverviewRead(c, silent, 2000, QStringLiteral(","));
    ApplyOverviewRead(c, silent, 3000, QStringLiteral(","));
    EXPECT_EQ(c.link, ChamberLink::Silent);
    EXPECT_EQ(AnswerAgeText(c.lastAnswerMs, 3000), QStringLiteral("нет ответа"));
}

// The overview's read against the simulator, through every way a reply may
// come in pieces or spoilt.
class OverviewReadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.AddChamber(3);
        bus.SetSpeed(0);
        bus.SetStrict(true);
        ASSERT_TRUE(OpenPortDevice("COM1", bus.SlavePath()).ok);
    }
    void TearDown() override
    {
        ClosePort();
        EXPECT_TRUE(bus.Collisions().empty());
        bus.Stop();
    }
    OverviewRead ReadOnce(int timeoutMs = kDefaultOverviewTimeoutMs)
    {
        OverviewRead read = RunOverviewExchange(3, timeoutMs);
        // Whatever a spoilt reply left on the line is over before the next.
        bus.WaitUntilIdle(std::chrono::milliseconds(2000));
        return read;
    }
    sim::BusSimulator bus;
};

TEST_F(OverviewReadTest, EndsTheMomentTheReplyIsWhole)
{
    struct Case {
        const char* name;
        sim::Faults faults;
    };
    std::vector<Case> cases;
    cases.push_back({"at once", {}});
    {
        sim::Faults f;
        f.pieceSize = 1;
        f.chunkGap = std::chrono::microseconds(0);
        cases.push_back({"byte by byte", f});
    }
    {
        sim::Faults f;
        f.pieceSize = 14;
        f.chunkGap = std::chrono::microseconds(0);
        cases.push_back({"16550 FIFO pieces", f});
    }
    {
        sim::Faults f;
        f.latencyTimer = std::chrono::milliseconds(16);
        cases.push_back({"USB latency timer", f});
    }
    {
        sim::Faults f;
        f.noiseBytes = {0x03, 0x04, 0xFF};
        cases.push_back({"noise before the reply", f});
    }
    {
        sim::Faults f;
        f.chunkSizes = {5};
        f.chunkGap = std::chrono::microseconds(40000);
        cases.push_back({"two pieces 40 ms apart", f});
    }
    for (const Case& c : cases) {
        bus.SetFaults(3, c.faults);
        const OverviewRead read = ReadOnce();
        EXPECT_TRUE(read.answered) << c.name;
        EXPECT_TRUE(read.reply.decoded) << c.name;
        // The wire alone takes 8 ms; well inside the timeout means it ended
        // when the reply was whole, not at the timeout.
        EXPECT_LT(read.took, std::chrono::milliseconds(120)) << c.name;
    }
}

TEST_F(OverviewReadTest, SpoiltOrLateRepliesAreNoAnswer)
{
    sim::Faults badCrc;
    badCrc.badCrc = true;
    sim::Faults exception;
    exception.exceptionReply = true;
    sim::Faults late;
    late.extraDelay = std::chrono::milliseconds(100);
    sim::Faults silent;
    silent.silent = true;
    struct Case {
        const char* name;
        sim::Faults faults;
        WholeReply::Outcome outcome;
    };
    const Case cases[] = {
        {"wrong CRC", badCrc, WholeReply::Outcome::Garbled},
        {"exception", exception, WholeReply::Outcome::Exception},
        {"later than the timeout", late, WholeReply::Outcome::Silent},
        {"silent", silent, WholeReply::Outcome::Silent},
    };
    for (const Case& c : cases) {
        bus.SetFaults(3, c.faults);
        const OverviewRead read = ReadOnce(50);
        EXPECT_FALSE(read.answered) << c.name;
        EXPECT_EQ(read.outcome, c.outcome) << c.name;
        if (c.outcome == WholeReply::Outcome::Exception) {
            EXPECT_LT(read.took, std::chrono::milliseconds(40)) << c.name;  // ends with the exception
        } else {
            EXPECT_GE(read.took, std::chrono::milliseconds(50)) << c.name;
        }
    }
    // The late reply landed after the read gave up; it is not taken for the
    // next read's answer.
    bus.SetFaults(3, {});
    const OverviewRead next = ReadOnce();
    EXPECT_TRUE(next.answered);
}

// The whole application with a strict simulator: the scan, the poll, the
// overview and the commands all at once must never talk over a chamber.
class LineOwnerAppTest : public AppFixture {
protected:
    explicit LineOwnerAppTest(double scale = 0.05) : AppFixture(SanitizedTimeScale(scale)) {}
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(folder.isValid());
        SetProgramFolderForTests(folder.path());
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        for (int a = 1; a <= 6; ++a)
            bus.AddChamber(a);
        bus.SetSpeed(0);
        bus.SetStrict(true);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        SetProgramFolderForTests(QString());
        bus.Stop();
    }
    QTemporaryDir folder;
    sim::BusSimulator bus;
};

// Every exchange at once. The waits are shortened less than elsewhere: at the
// scan's 8 ms a simulator slowed by a loaded machine can answer after the scan
// has asked again, which is a wait shorter than the chamber, not an overlap.
class LineOwnerTogetherTest : public LineOwnerAppTest {
protected:
    LineOwnerTogetherTest() : LineOwnerAppTest(0.2) {}
};

TEST_F(LineOwnerTogetherTest, ScanPollOverviewAndCommandsTogetherNeverOverlap)
{
    const int collisionsBefore = LineCollisions();
    // Pieces within the scan's shortened 32 ms wait, so that the scan's own
    // retries never talk over a reply.
    sim::Faults pieces;
    pieces.pieceSize = 14;
    pieces.chunkGap = std::chrono::microseconds(0);
    bus.SetFaults(4, pieces);
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(6, silent);

    for (int a = 1; a <= 6; ++a)
        FormOverview->Watch(a);
    // A read must fit between the shortened 800 ms polls, and outlast a reply
    // the simulator is slow to send on a loaded machine.
    FormOverview->Reader().SetTimeoutMs(120);
    FormOverview->StartReading();
    Form1->ListBox1->addItem(ChamberEntryText(2));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });  // reading on
    Guarded([] { Form1->Button4Click(); });  // scan on
    // Commands from another thread of the test, as if clicked in between.
    std::atomic<bool> done{false};
    std::thread commands([&] {
        for (int i = 0; i < 6; ++i)
            SendFrame(BuildRunFrame(2, kRegManualRun, i % 2 ? kRunStop : kRunStart));
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return ScanAddress >= 20 && done; }, 30000));
    commands.join();
    Guarded([] { Form1->Button4Click(); });
    Guarded([] { Form1->Button6Click(); });

    EXPECT_EQ(LineCollisions(), collisionsBefore);
    const auto collisions = bus.Collisions();
    EXPECT_TRUE(collisions.empty()) << (collisions.empty() ? "" : collisions.front());
    // The scan found every chamber it passed, the overview read them all.
    const QStringList found = ListBoxEntries();
    for (int a = 1; a <= 5; ++a)
        EXPECT_TRUE(found.contains(ChamberEntryText(a))) << a;
    for (int a = 1; a <= 5; ++a) {
        const WatchedChamber* c = FormOverview->Chamber(a);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->link, ChamberLink::Answering) << a;
    }
    EXPECT_NE(FormOverview->Chamber(6)->link, ChamberLink::Answering);
}

TEST_F(LineOwnerAppTest, PollWhilePortIsLostEndsAtOnceUnanswered)
{
    bus.CloseLine();
    ASSERT_TRUE(PumpUntil([] { return PortLost(); }, 2000));
    const auto start = LineClock::now();
    const StatusExchange exchange = RunStatusExchange(1);
    EXPECT_LT(LineClock::now() - start, std::chrono::milliseconds(50));
    EXPECT_FALSE(exchange.found);
    EXPECT_TRUE(exchange.portLost);
    EXPECT_EQ(exchange.attempts, 0);
    // The window's rules for an unanswered poll still hold.
    Form1->ListBox1->addItem(ChamberEntryText(1));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });
    EXPECT_TRUE(Form1->CheckBox1->isEnabled());
    EXPECT_TRUE(Form1->Timer4->isActive());
}

// Real waits: the selected chamber's poll keeps its 4 s with the overview
// reading 12 chambers in between.
class PollPeriodTest : public LineOwnerAppTest {
protected:
    PollPeriodTest() : LineOwnerAppTest(1.0) {}
};

TEST_F(PollPeriodTest, PollKeepsItsPeriodAndBytesWithTheOverviewRunning)
{
    for (int a = 7; a <= 12; ++a)
        bus.AddChamber(a);
    // Chamber 2 is the selected one, left to its poll so the poll's
    // requests stand apart.
    for (int a = 1; a <= 12; ++a)
        if (a != 2)
            FormOverview->Watch(a);
    FormOverview->StartReading();
    Form1->ListBox1->addItem(ChamberEntryText(2));
    Form1->ListBox1->setCurrentRow(0);
    bus.ClearReceivedFrames();
    Guarded([] { Form1->Button6Click(); });
    Pump(4 * 4000 + 300);
    Guarded([] { Form1->Button6Click(); });

    const std::array<uint8_t, 8> poll = BuildReadRequest(2, 0x04, 15);
    std::vector<sim::Clock::time_point> polls;
    int overviewReads = 0;
    for (const sim::LineFrame& f : bus.ReceivedFrames()) {
        if (f.bytes == std::vector<uint8_t>(poll.begin(), poll.end()))
            polls.push_back(f.time);
        else
            ++overviewReads;
    }
    // The first poll runs at once and Timer1 starts after it (800 ms later):
    // the rhythm is that of the timer's ticks.
    const std::vector<sim::Clock::time_point>& rhythm = polls;
    ASSERT_EQ(rhythm.size(), 5u);
    for (size_t i = 2; i < rhythm.size(); ++i) {
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(rhythm[i] - rhythm[i - 1]).count();
        EXPECT_NEAR(gap, 4000, 20) << i;
    }
    EXPECT_GE(overviewReads, 4 * 11);
    EXPECT_TRUE(bus.Collisions().empty());
}
