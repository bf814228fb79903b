// The frames of the six commands, byte for byte.
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "control/Commands.h"
#include "link/Rtu.h"

namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N>
Bytes ToBytes(const std::array<uint8_t, N>& frame)
{
    return Bytes(frame.begin(), frame.end());
}

std::string Hex(const Bytes& bytes)
{
    std::ostringstream os;
    for (size_t i = 0; i < bytes.size(); ++i)
        os << (i ? " " : "") << std::hex << std::uppercase << (bytes[i] < 16 ? "0" : "") << int(bytes[i]);
    return os.str();
}

// Register value i of a function-0x10 frame (data begins at byte 7).
int Register(const Bytes& frame, int i) { return frame[7 + 2 * i] * 256 + frame[8 + 2 * i]; }

bool CrcOk(const Bytes& frame)
{
    const uint16_t crc = Crc16(0, static_cast<uint8_t>(frame.size() - 3), frame.data());
    return frame[frame.size() - 2] == (crc & 0xFF) && frame.back() == (crc >> 8);
}

struct FrameCase {
    const char* name;
    Bytes built;
    const char* expected;
};

std::ostream& operator<<(std::ostream& os, const FrameCase& c) { return os << c.name; }

class KnownFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(KnownFrameTest, ByteForByte) { EXPECT_EQ(Hex(GetParam().built), GetParam().expected); }

StepValues Step(int t, int sh, int sm, int rh, int rm, int h) { return {t, sh, sm, rh, rm, h}; }

INSTANTIATE_TEST_SUITE_P(
    Frames, KnownFrameTest,
    ::testing::Values(
        FrameCase{"manual_start", ToBytes(BuildRunFrame(1, kRegManualRun, kRunStart)),
                  "01 10 00 10 00 01 02 00 01 65 00"},
        FrameCase{"manual_stop", ToBytes(BuildRunFrame(1, kRegManualRun, kRunStop)),
                  "01 10 00 10 00 01 02 00 02 25 01"},
        FrameCase{"program_stop", ToBytes(BuildRunFrame(1, kRegProgramRun, kRunStop)),
                  "01 10 00 11 00 01 02 00 02 24 D0"},
        FrameCase{"program_start_3", ToBytes(BuildProgramStartFrame(1, 3)),
                  "01 10 00 11 00 02 04 00 01 00 03 22 AE"},
        FrameCase{"set_points_minus_20_50", ToBytes(BuildSetPointFrame(1, -20, 50)),
                  "01 10 00 0D 00 03 06 00 14 00 32 00 02 67 77"},
        FrameCase{"step_1_of_program_2", ToBytes(BuildStepFrame(1, 2, 1, Step(-40, 1, 30, 0, 45, 0), 3, 125)),
                  "01 10 00 00 00 0D 1A 00 02 00 01 00 28 00 01 00 1E 00 00 00 03 00 01 00 01 00 00 00 2D 00 "
                  "02 00 05 8D 09"}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

TEST(StepFrameTest, CarriesEveryFieldInItsRegister)
{
    const Bytes f = ToBytes(BuildStepFrame(0xF7, 15, 9, Step(180, 99, 59, 12, 34, 98), 15, 999));
    ASSERT_EQ(f.size(), 35u);
    EXPECT_EQ(Hex(Bytes(f.begin(), f.begin() + 7)), "F7 10 00 00 00 0D 1A");
    const int expected[13] = {15, 9, 180, 99, 59, 98, 15, 9, 2, 12, 34, 9, 9};
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(f[7 + 2 * i], 0) << "register " << i;
        EXPECT_EQ(Register(f, i), expected[i]) << "register " << i;
    }
    EXPECT_TRUE(CrcOk(f));
}

TEST(StepFrameTest, SignCodes)
{
    struct {
        int temperature;
        int magnitude;
        int sign;
    } const cases[] = {{0, 0, 2}, {1, 1, 2}, {-1, 1, 1}, {-85, 85, 1}, {180, 180, 2}};
    for (const auto& c : cases) {
        const Bytes f = ToBytes(BuildStepFrame(1, 1, 1, Step(c.temperature, 0, 0, 0, 0, 0), 1, 1));
        EXPECT_EQ(Register(f, 2), c.magnitude) << c.temperature;
        EXPECT_EQ(Register(f, 8), c.sign) << c.temperature;
        EXPECT_TRUE(CrcOk(f));
    }
    // The set point frame counts the other way round.
    struct {
        int temperature;
        int magnitude;
        int sign;
    } const setPoints[] = {{0, 0, 1}, {1, 1, 1}, {-1, 1, 2}, {-85, 85, 2}, {180, 180, 1}};
    for (const auto& c : setPoints) {
        const Bytes f = ToBytes(BuildSetPointFrame(1, c.temperature, 7));
        EXPECT_EQ(Register(f, 0), c.magnitude) << c.temperature;
        EXPECT_EQ(Register(f, 1), 7);
        EXPECT_EQ(Register(f, 2), c.sign) << c.temperature;
        EXPECT_TRUE(CrcOk(f));
    }
}

TEST(StepFrameTest, CycleDigits)
{
    struct {
        int cycles, hundreds, tens, units;
    } const cases[] = {{1, 0, 0, 1}, {10, 0, 1, 0}, {99, 0, 9, 9}, {100, 1, 0, 0},
                       {125, 1, 2, 5}, {250, 2, 5, 0}, {999, 9, 9, 9}};
    for (const auto& c : cases) {
        const Bytes f = ToBytes(BuildStepFrame(1, 1, 1, Step(0, 0, 0, 0, 0, 0), 1, c.cycles));
        EXPECT_EQ(Register(f, 7), c.hundreds) << c.cycles;
        EXPECT_EQ(Register(f, 11), c.tens) << c.cycles;
        EXPECT_EQ(Register(f, 12), c.units) << c.cycles;
    }
}

// Texts of a program as the table would hold them.
ProgramTexts ThreeStepProgram()
{
    ProgramTexts t;
    t.steps = "3";
    t.cycles = "125";
    const char* rows[3][6] = {{"-40", "1", "30", "0", "45", "0"},
                              {"25", "0", "10", "0", "5", "50"},
                              {"0", "2", "0", "1", "0", "98"}};
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 6; ++c)
            t.Cell(r, c) = rows[r - 1][c - 1];
    // Rows after N are never sent, whatever they hold.
    t.Cell(4, 1) = "abc";
    t.Cell(15, 6) = "99";
    return t;
}

TEST(ProgramFramesTest, OneFramePerStepUpToN)
{
    const std::vector<StepFrame> frames = BuildProgramFrames(1, 2, ThreeStepProgram());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(Hex(ToBytes(frames[0])),
              "01 10 00 00 00 0D 1A 00 02 00 01 00 28 00 01 00 1E 00 00 00 03 00 01 00 01 00 00 00 2D 00 02 00 "
              "05 8D 09");
    for (int r = 0; r < 3; ++r) {
        const Bytes f = ToBytes(frames[r]);
        EXPECT_EQ(Register(f, 0), 2);
        EXPECT_EQ(Register(f, 1), r + 1);
        EXPECT_EQ(Register(f, 6), 3);
        EXPECT_TRUE(CrcOk(f));
    }
    const Bytes third = ToBytes(frames[2]);
    EXPECT_EQ(Register(third, 2), 0);
    EXPECT_EQ(Register(third, 8), 2);
    EXPECT_EQ(Register(third, 3), 2);
    EXPECT_EQ(Register(third, 9), 1);
    EXPECT_EQ(Register(third, 5), 98);
}

TEST(ProgramFramesTest, TextsWithBlanksAndSigns)
{
    ProgramTexts t = ThreeStepProgram();
    t.steps = " +1";
    t.cycles = " 007";
    t.Cell(1, 1) = " -0";
    const std::vector<StepFrame> frames = BuildProgramFrames(9, 4, t);
    ASSERT_EQ(frames.size(), 1u);
    const Bytes f = ToBytes(frames[0]);
    EXPECT_EQ(f[0], 9);
    EXPECT_EQ(Register(f, 6), 1);
    EXPECT_EQ(Register(f, 2), 0);
    EXPECT_EQ(Register(f, 8), 2);  // -0 is zero, not below it
    EXPECT_EQ(Register(f, 12), 7);
}

}  // namespace
