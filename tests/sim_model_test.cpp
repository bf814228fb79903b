// The simulated chamber without the line: register writes, program runs on a
// fake clock, status words and the controller's replies.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "support/TestBytes.h"
#include "link/Rtu.h"
#include "sim/ChamberSim.h"

namespace {

using sim::Bytes;
using sim::ChamberModel;
using sim::Mode;
using sim::Phase;

// A write request built from register values, with CRC.
Bytes WriteFrame(uint8_t address, uint16_t first, const std::vector<uint16_t>& values)
{
    Bytes f{address, 0x10, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
            static_cast<uint8_t>(values.size() >> 8), static_cast<uint8_t>(values.size()),
            static_cast<uint8_t>(2 * values.size())};
    for (uint16_t v : values) {
        f.push_back(static_cast<uint8_t>(v >> 8));
        f.push_back(static_cast<uint8_t>(v));
    }
    sim::AppendFrameCrc(&f);
    return f;
}

struct StepValues {
    int program, step, temperature, stabH, stabM, humidity, steps, reachH, reachM, cycles;
};

// Registers 0x0000..0x000C of a step frame, laid out as the client sends them.
std::vector<uint16_t> StepRegisters(const StepValues& s)
{
    const int t = std::abs(s.temperature);
    return {static_cast<uint16_t>(s.program), static_cast<uint16_t>(s.step), static_cast<uint16_t>(t),
            static_cast<uint16_t>(s.stabH), static_cast<uint16_t>(s.stabM),
            static_cast<uint16_t>(s.humidity), static_cast<uint16_t>(s.steps),
            static_cast<uint16_t>(s.cycles / 100), static_cast<uint16_t>(s.temperature < 0 ? 1 : 2),
            static_cast<uint16_t>(s.reachH), static_cast<uint16_t>(s.reachM),
            static_cast<uint16_t>(s.cycles / 10 % 10), static_cast<uint16_t>(s.cycles % 10)};
}

uint8_t WriteStep(ChamberModel& m, const StepValues& s)
{
    return m.WriteRegisters(0x0000, StepRegisters(s));
}

uint16_t Word(const Bytes& reply, int index)
{
    return static_cast<uint16_t>(reply[3 + 2 * index] << 8 | reply[4 + 2 * index]);
}

// Everything a write could change, to prove that a rejected one changed nothing.
struct Snapshot {
    std::vector<uint16_t> registers;
    std::vector<sim::Program> programs;
    Mode mode;
    int program, manualT, manualH;

    explicit Snapshot(const ChamberModel& m)
        : mode(m.GetMode()), program(m.CurrentProgram()), manualT(m.ManualTemperature()),
          manualH(m.ManualHumidity())
    {
        for (int r = 0; r < sim::kControlRegisters; ++r)
            registers.push_back(m.ControlRegister(r));
        for (int slot = 1; slot <= sim::kProgramSlots; ++slot)
            programs.push_back(m.GetProgram(slot));
    }
    bool operator==(const Snapshot& o) const
    {
        if (registers != o.registers || mode != o.mode || program != o.program || manualT != o.manualT ||
            manualH != o.manualH)
            return false;
        for (size_t i = 0; i < programs.size(); ++i)
            if (programs[i].stepCount != o.programs[i].stepCount || programs[i].cycles != o.programs[i].cycles ||
                programs[i].steps != o.programs[i].steps)
                return false;
        return true;
    }
};

// The controller's CRC is its own implementation; it must agree with the
// published check value and with frames the client builds, byte for byte.
TEST(SimCrc, KnownValuesAndTheClientsFrames)
{
    struct Case {
        const char* bytes;
        uint16_t crc;
    };
    const Case cases[] = {
        {"31 32 33 34 35 36 37 38 39", 0x4B37},
        {"01 04 00 00 00 03", 0x0BB0},
        {"01 04 00 00 00 0F", 0x0EB0},
        {"01", 0x807E},
        {"00", 0x40BF},
        {"", 0xFFFF},
    };
    for (const Case& c : cases) {
        const Bytes bytes = Hex(c.bytes);
        EXPECT_EQ(sim::FrameCrc(bytes.data(), bytes.size()), c.crc) << c.bytes;
    }
    Bytes ramp(256);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(sim::FrameCrc(ramp.data(), ramp.size()), 0xDE6C);
    for (int address : {0, 1, 7, 250})
        for (uint8_t count : {3, 15}) {
            const auto request = BuildReadRequest(static_cast<uint8_t>(address), 0x04, count);
            EXPECT_TRUE(sim::CrcValid(Bytes(request.begin(), request.end()))) << address << " " << int(count);
        }
}

TEST(SimModel, EncodesSignedTenthsAsTheClientDecodesThem)
{
    const std::vector<std::pair<double, uint16_t>> cases = {
        {25.3, 253}, {0.0, 0}, {-0.1, 65535}, {-75.0, 64786}, {-99.9, 64537}, {249.9, 2499}, {-40.0, 65136},
        {-0.04, 0},  // rounds to zero, must not become 65536
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChamberModel::EncodeTenths(c.first), c.second) << c.first;
}

TEST(SimModel, KnownStepFrameFillsTheProgramSlot)
{
    ChamberModel m;
    const Bytes frame = Hex("01 10 00 00 00 0D 1A 00 02 00 01 00 28 00 01 00 1E 00 00 00 03 00 01 00 01 "
                            "00 00 00 2D 00 02 00 05 8D 09");
    ASSERT_TRUE(sim::CrcValid(frame));
    Bytes echo = Hex("01 10 00 00 00 0D");
    sim::AppendFrameCrc(&echo);
    EXPECT_EQ(sim::AnswerRequest(m, frame), echo);

    const sim::Program& p = m.GetProgram(2);
    EXPECT_EQ(p.stepCount, 3);
    EXPECT_EQ(p.cycles, 125);
    const sim::ProgramStep& s = p.steps[0];
    EXPECT_TRUE(s.defined);
    EXPECT_EQ(s.temperature, -40);
    EXPECT_EQ(s.humidity, 0);
    EXPECT_EQ(s.stabiliseHours, 1);
    EXPECT_EQ(s.stabiliseMinutes, 30);
    EXPECT_EQ(s.reachHours, 0);
    EXPECT_EQ(s.reachMinutes, 45);
    EXPECT_FALSE(p.steps[1].defined);
    EXPECT_FALSE(p.Runnable());  // steps 2 and 3 still missing
    EXPECT_FALSE(m.GetProgram(1).steps[0].defined);
}

TEST(SimModel, SignRegistersUseOppositeCodes)
{
    // register 0x0008 of a step: 1 below zero, 2 otherwise;
    // register 0x000F of the set points: 2 below zero, 1 otherwise.
    struct Case {
        uint16_t absolute, stepSign, manualSign;
        int expected;
    };
    const std::vector<Case> cases = {{20, 1, 2, -20}, {20, 2, 1, 20}, {0, 2, 1, 0}, {0, 1, 2, 0}, {85, 1, 2, -85}};
    for (const Case& c : cases) {
        ChamberModel m;
        auto regs = StepRegisters({1, 1, 0, 0, 1, 10, 1, 0, 1, 1});
        regs[2] = c.absolute;
        regs[8] = c.stepSign;
        ASSERT_EQ(m.WriteRegisters(0x0000, regs), 0);
        EXPECT_EQ(m.GetProgram(1).steps[0].temperature, c.expected) << "step sign " << c.stepSign;
        ASSERT_EQ(m.WriteRegisters(0x000D, {c.absolute, 50, c.manualSign}), 0);
        EXPECT_EQ(m.ManualTemperature(), c.expected) << "manual sign " << c.manualSign;
    }
}

TEST(SimModel, RejectedWritesAnswerTheirCodeAndChangeNothing)
{
    const auto good = StepRegisters({2, 1, -40, 1, 30, 0, 3, 0, 45, 125});
    auto with = [&](int index, uint16_t value) {
        auto r = good;
        r[index] = value;
        return r;
    };
    struct Case {
        const char* what;
        uint16_t first;
        std::vector<uint16_t> values;
        uint8_t code;
    };
    const std::vector<Case> cases = {
        {"program 0", 0x0000, with(0, 0), 3},
        {"program 16", 0x0000, with(0, 16), 3},
        {"step 0", 0x0000, with(1, 0), 3},
        {"step 16", 0x0000, with(1, 16), 3},
        {"step beyond N", 0x0000, with(1, 4), 3},
        {"temperature 181", 0x0000, with(2, 181), 3},
        {"temperature -86", 0x0000, [&] { auto r = with(2, 86); r[8] = 1; return r; }(), 3},
        {"stabilisation 100 h", 0x0000, with(3, 100), 3},
        {"stabilisation 60 min", 0x0000, with(4, 60), 3},
        {"humidity 99", 0x0000, with(5, 99), 3},
        {"N 0", 0x0000, with(6, 0), 3},
        {"N 16", 0x0000, with(6, 16), 3},
        {"cycle digit 10", 0x0000, with(11, 10), 3},
        {"cycles 000", 0x0000, [&] { auto r = with(7, 0); r[11] = 0; r[12] = 0; return r; }(), 3},
        {"step sign 0", 0x0000, with(8, 0), 3},
        {"step sign 3", 0x0000, with(8, 3), 3},
        {"reach 100 h", 0x0000, with(9, 100), 3},
        {"reach 60 min", 0x0000, with(10, 60), 3},
        {"set point 181", 0x000D, {181, 50, 1}, 3},
        {"set point -86", 0x000D, {86, 50, 2}, 3},
        {"set humidity 99", 0x000D, {20, 99, 1}, 3},
        {"set sign 0", 0x000D, {20, 50, 0}, 3},
        {"manual run 0", 0x0010, {0}, 3},
        {"manual run 3", 0x0010, {3}, 3},
        {"program run 3", 0x0011, {3}, 3},
        {"start empty slot", 0x0011, {1, 5}, 3},
        {"start slot 0", 0x0011, {1, 0}, 3},
        {"start slot 16", 0x0011, {1, 16}, 3},
        {"start without slot", 0x0011, {1}, 3},
        {"step block short", 0x0000, std::vector<uint16_t>(good.begin(), good.end() - 1), 2},
        {"set points from 0x0E", 0x000E, {50, 1}, 2},
        {"run block 0x10..0x12", 0x0010, {1, 1, 1}, 2},
        {"beyond 0x0012", 0x0012, {1, 1}, 2},
        {"register 0x0013", 0x0013, {1}, 2},
    };
    for (const Case& c : cases) {
        ChamberModel m;
        ASSERT_EQ(WriteStep(m, {1, 1, 10, 0, 5, 20, 1, 0, 5, 1}), 0);
        ASSERT_EQ(m.WriteRegisters(0x0010, {1}), 0);  // running manually
        const Snapshot before(m);
        EXPECT_EQ(m.WriteRegisters(c.first, c.values), c.code) << c.what;
        EXPECT_TRUE(Snapshot(m) == before) << c.what;

        // Over the wire the same write gives the exception reply.
        const Bytes reply = sim::AnswerRequest(m, WriteFrame(7, c.first, c.values));
        ASSERT_EQ(reply.size(), 5u) << c.what;
        EXPECT_EQ(reply[0], 7);
        EXPECT_EQ(reply[1], 0x90);
        EXPECT_EQ(reply[2], c.code) << c.what;
        EXPECT_TRUE(sim::CrcValid(reply));
        EXPECT_TRUE(Snapshot(m) == before) << c.what;
    }
}

TEST(SimModel, StatusReplyLengthFollowsTheRequestedCount)
{
    // count → words answered; 15 gets the two humidity words as well.
    const std::vector<std::pair<int, int>> cases = {{1, 1}, {3, 3}, {14, 14}, {15, 17}, {16, 16}, {17, 17}};
    for (const auto& c : cases) {
        ChamberModel m;
        const auto request = BuildReadRequest(9, 0x04, static_cast<uint8_t>(c.first));
        const Bytes reply = sim::AnswerRequest(m, Bytes(request.begin(), request.end()));
        ASSERT_EQ(reply.size(), 5u + 2 * c.second) << "count " << c.first;
        EXPECT_EQ(reply[0], 9);
        EXPECT_EQ(reply[1], 0x04);
        EXPECT_EQ(reply[2], 2 * c.second);
        EXPECT_TRUE(sim::CrcValid(reply));
    }
}

TEST(SimModel, FifteenWordsOnlyShapeDropsTheHumidities)
{
    ChamberModel m;
    const auto request = BuildReadRequest(1, 0x04, 15);
    const Bytes reply = sim::AnswerRequest(m, Bytes(request.begin(), request.end()), sim::ReplyShape{true});
    EXPECT_EQ(reply.size(), 35u);
    EXPECT_EQ(reply[2], 30);
    EXPECT_TRUE(sim::CrcValid(reply));
}

TEST(SimModel, BadStatusRequestsGetIllegalAddress)
{
    auto framed = [](Bytes b) {
        sim::AppendFrameCrc(&b);
        return b;
    };
    const std::vector<Bytes> requests = {
        framed({1, 4, 0, 0, 0, 0}),   // count 0
        framed({1, 4, 0, 0, 0, 18}),  // more words than the controller has
        framed({1, 4, 0, 1, 0, 3}),   // not from register 0
        framed({1, 4, 1, 0, 0, 3}),
    };
    for (const Bytes& r : requests) {
        ChamberModel m;
        EXPECT_EQ(sim::AnswerRequest(m, r), sim::ExceptionReply(1, 0x04, 2)) << sim::HexBytes(r);
    }
}

TEST(SimModel, StatusWordsCarryTemperatureHumidityAndPins)
{
    ChamberModel m;
    m.SetTemperature(-75.0);
    m.SetHumidity(63.4);
    ASSERT_EQ(m.WriteRegisters(0x000D, {20, 50, 2}), 0);
    const auto request = BuildReadRequest(1, 0x04, 15);
    Bytes reply = sim::AnswerRequest(m, Bytes(request.begin(), request.end()));
    EXPECT_EQ(Word(reply, 0), 64786);
    EXPECT_EQ(Word(reply, 2), 65336);  // set point -20.0
    EXPECT_EQ(Word(reply, 15), 634);
    EXPECT_EQ(Word(reply, 16), 500);
    EXPECT_EQ(Word(reply, 1), 0);  // no program

    m.PinStatusWord(0, 50001);
    m.PinStatusWord(16, 1100);
    reply = sim::AnswerRequest(m, Bytes(request.begin(), request.end()));
    EXPECT_EQ(Word(reply, 0), 50001);
    EXPECT_EQ(Word(reply, 16), 1100);
    EXPECT_EQ(Word(reply, 15), 634);
    m.UnpinAllStatusWords();
    EXPECT_EQ(m.StatusWords()[0], 64786);
}

TEST(SimModel, ManualModeApproachesSetPointsAtALimitedRate)
{
    ChamberModel m;
    ASSERT_EQ(m.WriteRegisters(0x000D, {20, 80, 2}), 0);  // -20 °C, 80 %
    ASSERT_EQ(m.WriteRegisters(0x0010, {1}), 0);
    EXPECT_EQ(m.GetMode(), Mode::Manual);
    const double start = m.Temperature();
    m.Step(60);
    const double fall = start - m.Temperature();
    EXPECT_GT(fall, 1.0);   // it moves...
    EXPECT_LE(fall, 2.01);  // ...but no faster than the rate limit
    m.Step(3 * 3600);
    EXPECT_NEAR(m.Temperature(), -20.0, 0.1);
    EXPECT_NEAR(m.Humidity(), 80.0, 0.1);

    // Stop: slow drift back toward the room, slower than when driven.
    ASSERT_EQ(m.WriteRegisters(0x0010, {2}), 0);
    EXPECT_EQ(m.GetMode(), Mode::Stopped);
    m.Step(60);
    EXPECT_GT(m.Temperature(), -20.0);
    EXPECT_LT(m.Temperature(), -19.0);
    m.Step(48 * 3600);
    EXPECT_NEAR(m.Temperature(), m.GetPhysics().ambientTemperature, 0.1);
    EXPECT_NEAR(m.Humidity(), m.GetPhysics().ambientHumidity, 0.1);
}

TEST(SimModel, LargeStepsEqualManySmallOnesAndSpeedScalesRealTime)
{
    ChamberModel a, b, c;
    for (ChamberModel* m : {&a, &b, &c}) {
        ASSERT_EQ(m->WriteRegisters(0x000D, {60, 20, 1}), 0);
        ASSERT_EQ(m->WriteRegisters(0x0010, {1}), 0);
    }
    a.Step(1800);
    for (int i = 0; i < 1800; ++i)
        b.Step(1);
    c.SetSpeed(60);
    c.Advance(30);  // 30 real seconds at 60× = 30 simulated minutes
    EXPECT_NEAR(a.Temperature(), b.Temperature(), 1e-9);
    EXPECT_NEAR(a.Temperature(), c.Temperature(), 1e-9);
    EXPECT_NEAR(a.Humidity(), c.Humidity(), 1e-9);
}

TEST(SimModel, RunCommandsSwitchModes)
{
    ChamberModel m;
    ASSERT_EQ(WriteStep(m, {4, 1, 50, 1, 0, 30, 1, 1, 0, 1}), 0);
    EXPECT_EQ(m.WriteRegisters(0x0011, {1, 4}), 0);
    EXPECT_EQ(m.GetMode(), Mode::Program);
    EXPECT_EQ(m.WriteRegisters(0x0010, {2}), 0);  // manual stop: not in manual, nothing to stop
    EXPECT_EQ(m.GetMode(), Mode::Program);
    EXPECT_EQ(m.WriteRegisters(0x0010, {1}), 0);  // manual start takes over
    EXPECT_EQ(m.GetMode(), Mode::Manual);
    EXPECT_EQ(m.CurrentProgram(), 0);
    EXPECT_EQ(m.WriteRegisters(0x0011, {2}), 0);  // program stop leaves manual running
    EXPECT_EQ(m.GetMode(), Mode::Manual);
    // A lone start register starts the slot last written to 0x0012.
    EXPECT_EQ(m.WriteRegisters(0x0011, {1}), 0);
    EXPECT_EQ(m.GetMode(), Mode::Program);
    EXPECT_EQ(m.CurrentProgram(), 4);
    EXPECT_EQ(m.WriteRegisters(0x0011, {2}), 0);
    EXPECT_EQ(m.GetMode(), Mode::Stopped);
    EXPECT_EQ(m.StatusWords()[1], 0);
}

TEST(SimModel, KnownProgramStartFrameStartsProgramThree)
{
    ChamberModel m;
    EXPECT_EQ(sim::AnswerRequest(m, Hex("01 10 00 11 00 02 04 00 01 00 03 22 AE")),
              sim::ExceptionReply(1, 0x10, 3));  // slot 3 still empty
    ASSERT_EQ(WriteStep(m, {3, 1, 30, 0, 10, 40, 1, 0, 10, 2}), 0);
    Bytes echo = Hex("01 10 00 11 00 02");
    sim::AppendFrameCrc(&echo);
    EXPECT_EQ(sim::AnswerRequest(m, Hex("01 10 00 11 00 02 04 00 01 00 03 22 AE")), echo);
    EXPECT_EQ(m.CurrentProgram(), 3);
    EXPECT_EQ(m.CurrentStep(), 1);
    EXPECT_EQ(m.CurrentCycle(), 1);
}

// One visited state of a program run.
using Visit = std::tuple<int, int, Phase>;  // cycle, step, phase

TEST(SimModel, ProgramRunsStepByStepThroughItsCyclesToTheEnd)
{
    ChamberModel m;
    // Step 1 holds the room climate (reached at once), step 2 asks for 80 °C
    // within 5 minutes, faster than the chamber's own rate: it ramps over the
    // reach time and arrives as that ends.
    ASSERT_EQ(WriteStep(m, {5, 1, 22, 0, 10, 45, 2, 0, 30, 2}), 0);
    ASSERT_EQ(WriteStep(m, {5, 2, 80, 0, 2, 45, 2, 0, 5, 2}), 0);
    ASSERT_EQ(m.WriteRegisters(0x0011, {1, 5}), 0);

    std::vector<Visit> visits;
    std::vector<double> entered;  // simulated second each state began
    double now = 0;
    auto record = [&] {
        if (m.GetMode() != Mode::Program)
            return;
        const Visit v{m.CurrentCycle(), m.CurrentStep(), m.GetPhase()};
        if (visits.empty() || visits.back() != v) {
            visits.push_back(v);
            entered.push_back(now);
        }
    };
    record();
    while (m.GetMode() == Mode::Program && now < 6 * 3600) {
        m.Step(1);
        now += 1;
        record();
    }

    const std::vector<Visit> expected = {
        {1, 1, Phase::Stabilise}, {1, 2, Phase::Reach}, {1, 2, Phase::Stabilise},
        {2, 1, Phase::Reach},     {2, 1, Phase::Stabilise}, {2, 2, Phase::Reach},
        {2, 2, Phase::Stabilise},
    };
    ASSERT_EQ(visits, expected);
    EXPECT_EQ(m.GetMode(), Mode::Stopped);
    EXPECT_EQ(m.CurrentProgram(), 0);

    // Stabilisation lasts its set point exactly; a reach phase never longer
    // than its set point, and the steep one about that long.
    EXPECT_NEAR(entered[1] - entered[0], 600, 1);
    EXPECT_LE(entered[2] - entered[1], 300 + 1);
    EXPECT_GE(entered[2] - entered[1], 300 - 5);
    EXPECT_NEAR(entered[3] - entered[2], 120, 1);
    EXPECT_LE(entered[4] - entered[3], 1800 + 1);
    EXPECT_GT(entered[4] - entered[3], 60);  // 22 °C is not reached from ~32 °C at once
    EXPECT_NEAR(entered[5] - entered[4], 600, 1);
    EXPECT_NEAR(now - entered[6], 120, 1);
}

TEST(SimModel, ProgramStatusWordsDescribeTheRunningStep)
{
    ChamberModel m;
    // -40 °C in 20 minutes: the chamber ramps to arrive as the reach time ends.
    ASSERT_EQ(WriteStep(m, {7, 1, -40, 1, 30, 20, 3, 0, 20, 125}), 0);
    ASSERT_EQ(WriteStep(m, {7, 2, 60, 0, 5, 90, 3, 2, 0, 125}), 0);
    ASSERT_EQ(WriteStep(m, {7, 3, 22, 0, 5, 45, 3, 0, 5, 125}), 0);
    ASSERT_EQ(m.WriteRegisters(0x0011, {1, 7}), 0);
    m.Step(10 * 60 + 30);  // ten and a half minutes into reaching -40 °C

    auto w = m.StatusWords();
    EXPECT_EQ(w[1], 7);
    EXPECT_EQ(w[2], ChamberModel::EncodeTenths(-40));
    EXPECT_EQ(w[3], 0);
    EXPECT_EQ(w[4], 0);
    EXPECT_EQ(w[5], 0);
    EXPECT_EQ(w[6], 0);
    EXPECT_EQ(w[7], 10);
    EXPECT_EQ(w[8], 1);
    EXPECT_EQ(w[9], 30);
    EXPECT_EQ(w[10], 1);
    EXPECT_EQ(w[11], 3);
    EXPECT_EQ(w[12], 1);
    EXPECT_EQ(w[13], 125);
    EXPECT_EQ(w[14], 20);
    EXPECT_EQ(w[16], 200);

    m.Step(9 * 60 + 30 + 75 * 60);  // reach time over; 75 min into stabilisation
    w = m.StatusWords();
    ASSERT_EQ(m.GetPhase(), Phase::Stabilise);
    EXPECT_EQ(w[4], 1);
    EXPECT_EQ(w[5], 15);
    EXPECT_EQ(w[6], 0);  // the reach time it took stays shown: 19 min and some seconds
    EXPECT_EQ(w[7], 19);
}

TEST(SimModel, StepReachesItsSetPointWhenItsReachTimeEnds)
{
    struct Case {
        int temperature, humidity, reachMinutes;
        bool ramped;  // faster than the chamber's own rate
    };
    const Case cases[] = {
        {-10, 45, 5, true},  // from the room's 22 °C: 32 °C in 5 minutes
        {80, 90, 10, true},
        {-40, 20, 20, true},
        {22, 98, 3, true},  // humidity alone
        {30, 50, 59, false},  // the chamber's rate is enough: reached early
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.temperature);
        ChamberModel m;
        ASSERT_EQ(WriteStep(m, {1, 1, c.temperature, 0, 30, c.humidity, 1, 0, c.reachMinutes, 1}), 0);
        ASSERT_EQ(m.WriteRegisters(0x0011, {1, 1}), 0);
        double now = 0;
        double halfway = NAN;
        while (m.GetPhase() == Phase::Reach && now < 3 * 3600) {
            m.Step(1);
            now += 1;
            if (now == c.reachMinutes * 30)
                halfway = m.Temperature();
        }
        ASSERT_EQ(m.GetPhase(), Phase::Stabilise);
        EXPECT_LE(now, c.reachMinutes * 60);
        if (c.ramped)
            EXPECT_GE(now, c.reachMinutes * 60 - 15);
        else
            EXPECT_LT(now, c.reachMinutes * 60 - 60);
        EXPECT_NEAR(m.Temperature(), c.temperature, m.GetPhysics().temperatureTolerance);
        EXPECT_NEAR(m.Humidity(), c.humidity, m.GetPhysics().humidityTolerance);
        // A ramp, not a jump at the end: halfway is about halfway there.
        if (c.ramped && c.temperature != 22)
            EXPECT_NEAR(halfway, (22.0 + c.temperature) / 2, std::abs(c.temperature - 22.0) * 0.1);
    }
}

TEST(SimModel, RunningProgramKeepsTheTableItStartedWith)
{
    ChamberModel m;
    ASSERT_EQ(WriteStep(m, {2, 1, 22, 0, 2, 45, 2, 0, 0, 1}), 0);
    ASSERT_EQ(WriteStep(m, {2, 2, 23, 0, 2, 45, 2, 0, 5, 1}), 0);
    ASSERT_EQ(m.WriteRegisters(0x0011, {1, 2}), 0);
    m.Step(30);

    // The slot is rewritten as one step of 50 °C for 3 cycles while it runs.
    ASSERT_EQ(WriteStep(m, {2, 1, 50, 0, 1, 60, 1, 0, 30, 3}), 0);
    EXPECT_EQ(m.GetProgram(2).stepCount, 1);
    auto w = m.StatusWords();
    EXPECT_EQ(w[2], 220);  // still step 1 as started
    EXPECT_EQ(w[10], 1);
    EXPECT_EQ(w[11], 2);
    EXPECT_EQ(w[12], 1);
    EXPECT_EQ(w[13], 1);

    // The run goes on through its second step, then ends after its one cycle.
    std::vector<int> steps;
    double now = 30;
    while (m.GetMode() == Mode::Program && now < 3600) {
        if (steps.empty() || steps.back() != m.CurrentStep())
            steps.push_back(m.CurrentStep());
        w = m.StatusWords();
        EXPECT_EQ(w[11], 2);
        EXPECT_EQ(w[13], 1);
        m.Step(1);
        now += 1;
    }
    EXPECT_EQ(steps, (std::vector<int>{1, 2}));
    EXPECT_EQ(m.GetMode(), Mode::Stopped);

    // The next start takes the new table.
    ASSERT_EQ(m.WriteRegisters(0x0011, {1, 2}), 0);
    w = m.StatusWords();
    EXPECT_EQ(w[2], 500);
    EXPECT_EQ(w[11], 1);
    EXPECT_EQ(w[13], 3);
}

}  // namespace
