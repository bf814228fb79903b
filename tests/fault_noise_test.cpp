// Line noise against the poll and the scan. The test plays the line during
// the first attempt of an exchange, one piece at a time, and keeps a model of
// the receive buffer built from the pure rules: every chunk lands at offset 0,
// a chunk is at most 256 bytes, the clearing spares byte 255. What the window
// then shows must be exactly what the reply search and the decoder make of
// the model.
#include <QListWidget>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/PortUnit.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "monitoring/StatusDecode.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/Unit5.h"
#include "ui/main.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

// 25.3 °C of 30.0, 60.5 % of 70 %.
const std::vector<uint16_t> kPlausible = {253, 3, 300, 0, 5, 30, 1, 15, 2, 45, 2, 5, 10, 100, 75, 605, 700};

// The chunks a piece written at once becomes: once the line has been silent
// for the frame gap the receive thread takes what is waiting, and as soon as
// 256 bytes wait it takes those.
std::vector<Bytes> Chunks(const Bytes& piece)
{
    std::vector<Bytes> chunks;
    for (size_t at = 0; at < piece.size(); at += kReceiveBufferSize)
        chunks.emplace_back(piece.begin() + static_cast<long>(at),
                            piece.begin() + static_cast<long>(std::min(piece.size(), at + kReceiveBufferSize)));
    return chunks;
}

void StoreInModel(ReceiveBytes& model, const Bytes& chunk) { std::copy(chunk.begin(), chunk.end(), model.begin()); }

Bytes StatusFrame(uint8_t address, const std::vector<uint16_t>& words, bool goodCrc = true)
{
    Bytes frame = {address, 0x04, static_cast<uint8_t>(2 * words.size())};
    for (uint16_t w : words) {
        frame.push_back(static_cast<uint8_t>(w >> 8));
        frame.push_back(static_cast<uint8_t>(w & 0xFF));
    }
    sim::AppendFrameCrc(&frame);
    if (!goodCrc)
        frame[frame.size() - 1] ^= 0x5A;
    return frame;
}

// The value texts and fields as one list, in the order of StatusView.
QStringList Texts(const StatusView& v)
{
    return {v.currentTempText, v.setTempText, v.currentHumidityText, v.setHumidityText, v.programText,
            v.stepText,        v.cycleText,   v.label5,              v.label18,         v.label11,
            v.label15,         v.label3,      v.label19,             v.label13,         v.label20,
            v.label17,         v.label2,      v.label4};
}

StatusView WindowView()
{
    return {CurrentTempText,         SetTempText,         CurrentHumidityText,     SetHumidityText,
            ProgramText,             StepText,            CycleText,               Form1->Label5->text(),
            Form1->Label18->text(),  Form1->Label11->text(), Form1->Label15->text(), Form1->Label3->text(),
            Form1->Label19->text(),  Form1->Label13->text(), Form1->Label20->text(), Form1->Label17->text(),
            Form1->Label2->text(),   Form1->Label4->text()};
}

// The reply search as the rule states it, apart from the code under test:
// the two bytes (address, 0x04) next to each other anywhere in 0..255.
bool PairInBuffer(const ReceiveBytes& buffer, int address)
{
    const uint8_t pair[2] = {static_cast<uint8_t>(address), 0x04};
    return address >= 0 && address <= 255 &&
           std::search(buffer.begin(), buffer.end(), pair, pair + 2) != buffer.end();
}

// Only a reply whose first byte is at offset 0 is decoded.
bool ReplyAtStart(const ReceiveBytes& buffer, int address) { return buffer[0] == address && buffer[1] == 0x04; }

// What the window shows after the buffer: the decoded reply's values when
// the reply starts the buffer, otherwise what it showed before.
StatusView Expected(const StatusView& before, const ReceiveBytes& buffer, int address)
{
    StatusView view = before;
    if (ReplyAtStart(buffer, address)) {
        const StatusReply reply = DecodeStatus(buffer, address);
        EXPECT_TRUE(reply.decoded);
        ApplyStatus(view, reply, DecimalSeparator());
    }
    return view;
}

// A script of line pieces for one exchange, with what it must come to when
// that is known beforehand (-1: the model decides).
struct Script {
    std::string name;
    int address;
    std::vector<Bytes> pieces;
    int found = -1;
    int atStart = -1;
};

class ScriptMaker {
public:
    explicit ScriptMaker(uint32_t seed) : m_rng(seed) {}

    Script Make(int address, int index)
    {
        Script s{"random " + std::to_string(index), address, {}};
        const int kinds = Int(1, 4);
        for (int k = 0; k < kinds; ++k) {
            switch (Int(0, 8)) {
            case 0:
                s.pieces.push_back(Noise(Int(1, 40)));
                break;
            case 1:  // a burst longer than the buffer
                s.pieces.push_back(Noise(Int(257, 600)));
                break;
            case 2: {  // the pair hidden in noise, now and then right at the end
                Bytes b = Noise(Int(2, 300));
                const size_t at = Int(0, 3) == 0 ? b.size() - 2 : static_cast<size_t>(Int(0, static_cast<int>(b.size()) - 2));
                b[at] = static_cast<uint8_t>(address);
                b[at + 1] = 0x04;
                s.pieces.push_back(b);
                break;
            }
            case 3: {  // another chamber's reply
                int other = Int(0, 250);
                if (other == address)
                    other = (other + 1) % 251;
                s.pieces.push_back(StatusFrame(static_cast<uint8_t>(other), Words()));
                break;
            }
            case 4: {  // exception reply
                Bytes b = {static_cast<uint8_t>(address), 0x84, 0x04};
                sim::AppendFrameCrc(&b);
                s.pieces.push_back(b);
                break;
            }
            case 5:
                s.pieces.push_back(StatusFrame(static_cast<uint8_t>(address), Words(), false));
                break;
            case 6: {  // a reply in 2 to 5 chunks
                const Bytes reply = StatusFrame(static_cast<uint8_t>(address), Words(), Int(0, 1) == 1);
                const int count = Int(2, 5);
                std::vector<size_t> cuts;
                for (int c = 1; c < count; ++c)
                    cuts.push_back(static_cast<size_t>(Int(1, static_cast<int>(reply.size()) - 1)));
                std::sort(cuts.begin(), cuts.end());
                cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
                size_t from = 0;
                for (size_t cut : cuts) {
                    s.pieces.emplace_back(reply.begin() + static_cast<long>(from), reply.begin() + static_cast<long>(cut));
                    from = cut;
                }
                s.pieces.emplace_back(reply.begin() + static_cast<long>(from), reply.end());
                break;
            }
            default:  // a whole reply, noise in front now and then
                Bytes b = Int(0, 2) == 0 ? Noise(Int(1, 5)) : Bytes{};
                const Bytes reply = StatusFrame(static_cast<uint8_t>(address), Words());
                b.insert(b.end(), reply.begin(), reply.end());
                s.pieces.push_back(b);
                break;
            }
        }
        return s;
    }

private:
    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_rng); }
    Bytes Noise(int n)
    {
        Bytes b(static_cast<size_t>(n));
        for (auto& byte : b)
            byte = static_cast<uint8_t>(Int(0, 255));
        return b;
    }
    // Half of the words inside their windows, half anything at all.
    std::vector<uint16_t> Words()
    {
        std::vector<uint16_t> w(17);
        for (size_t n = 0; n < w.size(); ++n)
            w[n] = Int(0, 1) ? kPlausible[n] : static_cast<uint16_t>(Int(0, 65535));
        if (Int(0, 3) == 0)
            w[0] = static_cast<uint16_t>(Int(64537, 65535));  // below zero
        return w;
    }

    std::mt19937 m_rng;
};

}  // namespace

class NoiseFixture : public AppFixture {
protected:
    // Reply windows of 120 ms; the few pieces of a script land within a few.
    NoiseFixture() : AppFixture(0.15) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        // Each piece is a chunk of its own once the line has been silent for
        // the frame gap; the shortest gap keeps a script of many pieces
        // inside a probe's window.
        ::setenv("CALVETRA_FRAME_GAP_MS", "1", 1);
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        bus.SetSpeed(0);
        // Chambers that ignore the first request of each exchange (the test
        // plays the line then) and answer the second one properly.
        for (int address : {0, 4, 12, 250}) {
            ASSERT_TRUE(bus.AddChamber(address));
            bus.WithChamber(address, [](sim::ChamberModel& m) {
                for (int n = 0; n < 17; ++n)
                    m.PinStatusWord(n, kPlausible[static_cast<size_t>(n)]);
            });
            sim::Faults second;
            second.answerFrom = 2;
            bus.SetFaults(address, second);
        }
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
        ::unsetenv("CALVETRA_FRAME_GAP_MS");
    }

    struct Played {
        ReceiveBytes model{};     // the buffer as the rules say it is after the script
        bool inStep = true;       // every piece landed as the model said
        std::string mismatch;
        Clock::time_point done;   // when the last piece had landed
    };

    // Plays the script once the exchange's first request is on the line.
    Played Play(const Script& s, size_t requestsBefore)
    {
        Played p;
        const auto end = Clock::now() + 5s;
        while (bus.ReceivedFrames().size() <= requestsBefore && Clock::now() < end)
            std::this_thread::sleep_for(100us);
        // Cleared by the attempt, byte 255 as it was.
        p.model = ReceiveBufferSnapshot();
        for (size_t i = 0; i < s.pieces.size() && p.inStep; ++i) {
            const ReceiveBytes modelBefore = p.model;
            EXPECT_TRUE(bus.InjectBytes(s.pieces[i]));
            for (const Bytes& chunk : Chunks(s.pieces[i]))
                StoreInModel(p.model, chunk);
            // A piece that changes nothing cannot be seen landing: give the
            // receive thread its gap to take it before the next one comes,
            // or the two would be one chunk.
            if (p.model == modelBefore)
                std::this_thread::sleep_for(std::chrono::microseconds(3 * FrameGapUs()));
            const auto deadline = Clock::now() + 1s;
            while (ReceiveBufferSnapshot() != p.model && Clock::now() < deadline)
                std::this_thread::sleep_for(50us);
            if (ReceiveBufferSnapshot() != p.model) {
                p.inStep = false;
                p.mismatch = "piece " + std::to_string(i) + " of " + std::to_string(s.pieces[i].size()) + " bytes";
            }
        }
        p.done = Clock::now();
        return p;
    }

    // One status poll with the script in its first attempt.
    void PollWith(const Script& s)
    {
        SCOPED_TRACE(s.name + " to " + std::to_string(s.address));
        ASSERT_TRUE(bus.WaitUntilIdle(5s));
        bus.ClearReceivedFrames();
        bus.ResetRequestCount(s.address);
        Select(s.address);
        const StatusView before = WindowView();

        Played played;
        std::thread line([&] { played = Play(s, 0); });
        Form1->ReadStatus();
        const auto returned = Clock::now();
        line.join();
        ASSERT_TRUE(played.inStep) << "the receive buffer left the model at " << played.mismatch;

        const auto frames = bus.ReceivedFrames();
        const bool found = PairInBuffer(played.model, s.address);
        ASSERT_LT(played.done, frames.size() > 1 ? frames[1].time : returned)
            << "the script outlasted the first attempt's window";
        if (s.found >= 0) {
            EXPECT_EQ(found, s.found == 1) << "the model disagrees with the known outcome";
        }
        if (s.atStart >= 0) {
            EXPECT_EQ(ReplyAtStart(played.model, s.address), s.atStart == 1);
        }
        if (found) {
            EXPECT_EQ(frames.size(), 1u) << "the first attempt should have taken the pair";
            EXPECT_EQ(Texts(WindowView()), Texts(Expected(before, played.model, s.address)));
        } else {
            // The second attempt gets the chamber's own reply, whole at offset 0.
            EXPECT_EQ(frames.size(), 2u) << "the first attempt should have found nothing";
            ReceiveBytes proper{};
            const Bytes reply = StatusFrame(static_cast<uint8_t>(s.address), kPlausible);
            std::copy(reply.begin(), reply.end(), proper.begin());
            EXPECT_EQ(Texts(WindowView()), Texts(Expected(before, proper, s.address)));
        }
        EXPECT_EQ(Form5->isVisible(), false);
    }

    // One scan probe of an address with no chamber, the script in its first
    // attempt: listed exactly when the search finds the pair.
    void ProbeWith(const Script& s)
    {
        SCOPED_TRACE(s.name + " probing " + std::to_string(s.address));
        ASSERT_TRUE(bus.WaitUntilIdle(5s));
        bus.ClearReceivedFrames();
        Form1->ListBox1->clear();
        Played played;
        std::thread line([&] { played = Play(s, 0); });
        Form1->ProbeAddress(s.address);
        const auto returned = Clock::now();
        line.join();
        ASSERT_TRUE(played.inStep) << "the receive buffer left the model at " << played.mismatch;
        const auto frames = bus.ReceivedFrames();
        ASSERT_LT(played.done, frames.size() > 1 ? frames[1].time : returned)
            << "the script outlasted the first attempt's window";
        const bool found = PairInBuffer(played.model, s.address);
        EXPECT_EQ(frames.size(), found ? 1u : 5u);
        EXPECT_EQ(Form1->ListBox1->count(), found ? 1 : 0);
    }

    static void Select(int address)
    {
        Form1->ListBox1->clear();
        Form1->ListBox1->addItem(ChamberEntryText(address));
        Form1->ListBox1->setCurrentRow(0);
    }

    sim::BusSimulator bus;
};

class PollNoiseTest : public NoiseFixture {};

TEST_F(PollNoiseTest, KnownLineSituations)
{
    const Bytes reply = StatusFrame(12, kPlausible);
    Bytes noisy = {0x55, 0x66, 0x77};
    noisy.insert(noisy.end(), reply.begin(), reply.end());
    Bytes burstEndingInPair(300, 0xEE);
    burstEndingInPair[298] = 12;
    burstEndingInPair[299] = 0x04;
    // The pair sits at 254 and 255 of the first 256 bytes; the 44 bytes after
    // them land at offset 0 and leave it there.
    Bytes burstPairAtTheEnd(300, 0x11);
    burstPairAtTheEnd[254] = 12;
    burstPairAtTheEnd[255] = 0x04;
    Bytes exception = {12, 0x84, 0x04};
    sim::AppendFrameCrc(&exception);
    Bytes otherCold = StatusFrame(13, {64786, 3, 300, 0, 5, 30, 1, 15, 2, 45, 2, 5, 10, 100, 75, 605, 700});
    // Name, address, pieces, then whether the pair is found and whether the
    // reply starts the buffer.
    const Script scripts[] = {
        // Byte 255 is never cleared: a chunk of 256 bytes sets it for good.
        {"a burst of 256 sets byte 255", 0, {Bytes(256, 0x11)}, 0, 0},
        {"zeros for address 0", 0, {Bytes(40, 0x00)}, 0, 0},
        {"reply at offset 0", 12, {StatusFrame(12, {64786, 1, 2499, 0, 199, 59, 999, 0, 12, 1, 19, 19, 999, 65535, 11999,
                                                    1099, 0})}, 1, 1},
        {"reply with a bad CRC", 12, {StatusFrame(12, {201, 2, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, false)},
         1, 1},
        {"three bytes, then the reply, one write", 12, {noisy}, 1, 0},
        // A later chunk over the address: nothing left to find.
        {"reply, then three stray bytes", 12, {reply, {0x55, 0x66, 0x77}}, 0, 0},
        {"reply split 4 + 35", 12, {Bytes(reply.begin(), reply.begin() + 4), Bytes(reply.begin() + 4, reply.end())}, 0,
         0},
        {"reply split 35 + 4", 12, {Bytes(reply.begin(), reply.begin() + 35), Bytes(reply.begin() + 35, reply.end())},
         0, 0},
        {"burst of 300 ending in the pair", 12, {burstEndingInPair}, 1, 0},
        {"burst with the pair at 254", 12, {burstPairAtTheEnd}, 1, 0},
        {"exception reply", 12, {exception}, 0, 0},
        {"another chamber's reply", 12, {otherCold}, 0, 0},
        // The burst above left 0x04 in byte 255, and every clearing writes 0
        // into byte 254: from now on address 0 is "answered" by nothing.
        {"address 0 after byte 255 was left at 0x04", 0, {Bytes(40, 0x00)}, 1, 0},
        {"address 4 meets its own function code", 4, {{0x04, 0x04}}, 1, 1},
        {"address 250", 250, {StatusFrame(250, kPlausible)}, 1, 1},
    };
    for (const Script& s : scripts)
        PollWith(s);
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

TEST_F(PollNoiseTest, SeededRandomLine)
{
    ScriptMaker maker(20240611);
    const int addresses[] = {0, 4, 12, 250};
    for (int i = 0; i < 28; ++i) {
        PollWith(maker.Make(addresses[i % 4], i));
        if (HasFatalFailure())
            return;
    }
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

class ScanNoiseTest : public NoiseFixture {};

TEST_F(ScanNoiseTest, SeededRandomLineDuringProbes)
{
    ScriptMaker maker(7);
    for (int i = 0; i < 16; ++i) {
        ProbeWith(maker.Make(i % 2 ? 33 : 104, i));  // no chamber at either
        if (HasFatalFailure())
            return;
    }
}

// ---------------------------------------------------------------------------
// Noise at any moment while reading runs: the exact outcome depends on when
// the bytes land, but whatever a poll shows must lie inside its window.

namespace {

bool TenthsIn(const QString& text, int lowTenths, int highTenths)
{
    static const QRegularExpression form(QStringLiteral("^(-?)(\\d+)(?:\\.(\\d))?$"));
    const auto m = form.match(text);
    if (!m.hasMatch() || (m.captured(3) == "0"))
        return false;
    int tenths = m.captured(2).toInt() * 10 + (m.captured(3).isEmpty() ? 0 : m.captured(3).toInt());
    if (m.captured(1) == "-")
        tenths = -tenths;
    return tenths > lowTenths && tenths < highTenths;
}

bool TimeIn(const QString& text, int hoursBelow)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{2,3})(?::(\\d{2}))?$"));
    const auto m = form.match(text);
    return m.hasMatch() && m.captured(1).toInt() < hoursBelow && (m.captured(2).isEmpty() || m.captured(2).toInt() < 60);
}

bool PairIn(const QString& text, int firstBelow, int secondBelow)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)\\((\\d+)\\)$"));
    const auto m = form.match(text);
    return m.hasMatch() && m.captured(1).toInt() < firstBelow && m.captured(2).toLongLong() < secondBelow;
}

// Field texts a poll can leave, whatever bytes it read.
std::vector<std::string> FieldsOutsideTheirWindows()
{
    std::vector<std::string> bad;
    const auto check = [&](const char* name, const QString& text, bool ok) {
        if (!ok)
            bad.push_back(std::string(name) + "=" + text.toStdString());
    };
    const auto temperature = [](const QString& t) { return t.isEmpty() || TenthsIn(t, -1000, 2500) || t == "0"; };
    const auto humidity = [](const QString& t) { return TenthsIn(t, -1, 1100) || t == "0"; };
    check("Label5", Form1->Label5->text(), temperature(Form1->Label5->text()));
    check("Label18", Form1->Label18->text(), temperature(Form1->Label18->text()));
    check("Label2", Form1->Label2->text(), humidity(Form1->Label2->text()));
    check("Label4", Form1->Label4->text(), humidity(Form1->Label4->text()));
    check("Label11", Form1->Label11->text(), TimeIn(Form1->Label11->text(), 200));
    check("Label15", Form1->Label15->text(), TimeIn(Form1->Label15->text(), 1000));
    check("Label3", Form1->Label3->text(), TimeIn(Form1->Label3->text(), 200));
    check("Label19", Form1->Label19->text(), TimeIn(Form1->Label19->text(), 200));
    check("Label13", Form1->Label13->text(), PairIn(Form1->Label13->text(), 20, 20));
    check("Label20", Form1->Label20->text(), PairIn(Form1->Label20->text(), 1000, 65536));
    const int program = Form1->Label17->text().toInt();
    check("Label17", Form1->Label17->text(), program >= 0 && program < 20);
    return bad;
}

}  // namespace

class PollNoiseStressTest : public AppFixture {
protected:
    PollNoiseStressTest() : AppFixture(0.05) {}
};

TEST_F(PollNoiseStressTest, NoiseAtAnyMomentWhileReading)
{
    sim::BusSimulator bus;
    std::string error;
    ASSERT_TRUE(bus.Start(&error)) << error;
    bus.SetSpeed(0);
    bus.SetSeed(99);
    ASSERT_TRUE(bus.AddChamber(12));
    bus.WithChamber(12, [](sim::ChamberModel& m) {
        for (int n = 0; n < 17; ++n)
            m.PinStatusWord(n, kPlausible[static_cast<size_t>(n)]);
    });
    sim::Faults flaky;
    flaky.faultRate = 0.3;
    bus.SetFaults(12, flaky);
    OpenPortOn(bus.SlavePath());
    Form1->ListBox1->addItem(ChamberEntryText(12));
    Form1->ListBox1->setCurrentRow(0);
    Form1->Button6Click();

    std::atomic<bool> stop{false};
    std::atomic<int> injected{0};
    std::thread noise([&] {
        std::mt19937 rng(4242);
        const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::microseconds(pick(0, 20000)));
            Bytes b(static_cast<size_t>(pick(0, 3) == 0 ? pick(257, 700) : pick(1, 60)));
            for (auto& byte : b)
                byte = static_cast<uint8_t>(pick(0, 255));
            if (pick(0, 1)) {  // the chamber's pair, anywhere, at offset 0 of a chunk now and then
                const size_t at = pick(0, 2) == 0 ? 0 : static_cast<size_t>(pick(0, static_cast<int>(b.size()) - 1));
                b[at] = 12;
                if (at + 1 < b.size())
                    b[at + 1] = 0x04;
            }
            if (bus.InjectBytes(b))
                ++injected;
        }
    });
    std::vector<std::string> outside;
    const auto end = Clock::now() + 2500ms;
    while (Clock::now() < end) {
        Pump(20);
        for (const auto& field : FieldsOutsideTheirWindows())
            outside.push_back(field);
    }
    stop = true;
    noise.join();
    EXPECT_GT(injected, 50);
    EXPECT_GT(bus.ReceivedFrames().size(), 10u);
    EXPECT_TRUE(outside.empty()) << outside.front();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    EXPECT_EQ(RunningReceiveThreads(), 1);

    // Quiet line, sound chamber: the plausible values come back.
    bus.SetFaults(12, sim::Faults{});
    EXPECT_TRUE(PumpUntil(
        [] {
            return Form1->Label5->text() == "25.3" && Form1->Label13->text() == "2(5)" &&
                   Form1->Label2->text() == "60.5" && !Form5->isVisible();
        },
        10000));
    Form1->Button6Click();
}
