// Decoding of the status reply: positions, the sign rule and every window.
#include <array>
#include <gtest/gtest.h>

#include "monitoring/StatusDecode.h"

namespace {

using Words = std::array<uint16_t, kStatusWordCount>;

// A reply to chamber `address` starting at `offset`, words high byte first.
ReceiveBytes Reply(uint8_t address, const Words& words, int offset = 0)
{
    ReceiveBytes buffer{};
    buffer[offset] = address;
    buffer[offset + 1] = 0x04;
    buffer[offset + 2] = 34;
    for (int n = 0; n < kStatusWordCount; ++n) {
        buffer[offset + 3 + 2 * n] = static_cast<uint8_t>(words[n] >> 8);
        buffer[offset + 4 + 2 * n] = static_cast<uint8_t>(words[n] & 0xFF);
    }
    return buffer;
}

// Words that every window accepts, so a test changes only what it looks at.
Words Plausible()
{
    Words w{};
    w[0] = 253;   // 25.3 °C
    w[1] = 3;     // program
    w[2] = 300;   // 30.0 °C
    w[4] = 5;     // stabilisation 05:30
    w[5] = 30;
    w[6] = 1;     // reach 01:15
    w[7] = 15;
    w[8] = 2;     // stabilisation set point 02:45
    w[9] = 45;
    w[10] = 2;    // step 2 of 5
    w[11] = 5;
    w[12] = 10;   // cycle 10 of 100
    w[13] = 100;
    w[14] = 75;   // reach set point 01:15
    w[15] = 605;  // 60.5 %
    w[16] = 700;  // 70.0 %
    return w;
}

}  // namespace

TEST(StatusDecode, EveryWordIsReadFromItsOwnPosition)
{
    Words w{};
    for (int n = 0; n < kStatusWordCount; ++n)
        w[n] = static_cast<uint16_t>(0x0100 * (n + 1) + n);  // distinct high and low bytes
    const StatusReply reply = DecodeStatus(Reply(9, w), 9);
    ASSERT_TRUE(reply.decoded);
    for (int n = 0; n < kStatusWordCount; ++n)
        EXPECT_EQ(reply.words[n], w[n]) << "word " << n;
}

struct TempCase {
    uint16_t word;
    int tenths;
    bool accepted;
};

class TemperatureWord : public ::testing::TestWithParam<TempCase> {};

TEST_P(TemperatureWord, SignRuleAndWindowApplyToBothTemperatures)
{
    const TempCase c = GetParam();
    for (int word : {0, 2}) {
        Words w = Plausible();
        w[word] = c.word;
        const StatusReply r = DecodeStatus(Reply(1, w), 1);
        const Accepted& t = word == 0 ? r.currentTemp : r.setTemp;
        EXPECT_EQ(t.value, c.tenths) << "word " << word << " = " << c.word;
        EXPECT_EQ(t.accepted, c.accepted) << "word " << word << " = " << c.word;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TemperatureWord,
                         ::testing::Values(TempCase{253, 253, true}, TempCase{64786, -750, true},
                                           TempCase{50000, 50000, false}, TempCase{50001, -15535, false},
                                           TempCase{2499, 2499, true}, TempCase{2500, 2500, false},
                                           TempCase{64536, -1000, false}, TempCase{64537, -999, true},
                                           TempCase{0, 0, true}, TempCase{65535, -1, true},
                                           TempCase{32768, 32768, false}));

struct WindowCase {
    const char* name;
    int word;
    uint16_t value;
    bool accepted;
};

class WordWindow : public ::testing::TestWithParam<WindowCase> {};

// Which decoded value a word feeds, for the single-word windows.
const Accepted& ValueOfWord(const StatusReply& r, int word)
{
    switch (word) {
    case 1: return r.program;
    case 4: return r.stabiliseHours;
    case 5: return r.stabiliseMinutes;
    case 6: return r.reachHours;
    case 7: return r.reachMinutes;
    case 8: return r.stabiliseSetHours;
    case 9: return r.stabiliseSetMinutes;
    case 15: return r.currentHumidity;
    default: return r.setHumidity;
    }
}

TEST_P(WordWindow, EdgeOfTheWindow)
{
    const WindowCase c = GetParam();
    Words w = Plausible();
    w[c.word] = c.value;
    const StatusReply r = DecodeStatus(Reply(1, w), 1);
    const Accepted& v = ValueOfWord(r, c.word);
    EXPECT_EQ(v.value, c.value);
    EXPECT_EQ(v.accepted, c.accepted);
    // A refused word leaves its neighbours alone.
    EXPECT_TRUE(r.currentTemp.accepted);
    EXPECT_TRUE(r.stepAccepted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WordWindow,
    ::testing::Values(WindowCase{"program19", 1, 19, true}, WindowCase{"program20", 1, 20, false},
                      WindowCase{"stabHours199", 4, 199, true}, WindowCase{"stabHours200", 4, 200, false},
                      WindowCase{"stabMin59", 5, 59, true}, WindowCase{"stabMin60", 5, 60, false},
                      WindowCase{"reachHours999", 6, 999, true}, WindowCase{"reachHours1000", 6, 1000, false},
                      WindowCase{"reachMin59", 7, 59, true}, WindowCase{"reachMin60", 7, 60, false},
                      WindowCase{"stabSetHours199", 8, 199, true}, WindowCase{"stabSetHours200", 8, 200, false},
                      WindowCase{"stabSetMin59", 9, 59, true}, WindowCase{"stabSetMin60", 9, 60, false},
                      WindowCase{"humidity1099", 15, 1099, true}, WindowCase{"humidity1100", 15, 1100, false},
                      WindowCase{"setHumidity1099", 16, 1099, true},
                      WindowCase{"setHumidity1100", 16, 1100, false},
                      WindowCase{"setHumidity65535", 16, 65535, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct PairCase {
    uint16_t first, second;
    bool accepted;
};

TEST(StatusDecode, StepPairIsTakenOrRefusedAsAWhole)
{
    for (const PairCase c : {PairCase{19, 19, true}, PairCase{19, 20, false}, PairCase{20, 19, false},
                             PairCase{0, 0, true}}) {
        Words w = Plausible();
        w[10] = c.first;
        w[11] = c.second;
        const StatusReply r = DecodeStatus(Reply(1, w), 1);
        EXPECT_EQ(r.stepAccepted, c.accepted) << c.first << "/" << c.second;
        EXPECT_EQ(r.step, c.first);
        EXPECT_EQ(r.steps, c.second);
    }
}

TEST(StatusDecode, CyclePairWindowIsOnTheCurrentCycleOnly)
{
    for (const PairCase c : {PairCase{999, 65535, true}, PairCase{1000, 5, false}, PairCase{0, 0, true}}) {
        Words w = Plausible();
        w[12] = c.first;
        w[13] = c.second;
        const StatusReply r = DecodeStatus(Reply(1, w), 1);
        EXPECT_EQ(r.cycleAccepted, c.accepted) << c.first << "/" << c.second;
        EXPECT_EQ(r.cycle, c.first);
        EXPECT_EQ(r.cycles, c.second);
    }
}

TEST(StatusDecode, ReachSetPointInMinutesSplitsIntoHoursAndMinutes)
{
    struct Case {
        uint16_t word;
        int hours;
        bool hoursAccepted;
        int minutes;
    };
    for (const Case c : {Case{11999, 199, true, 59}, Case{12000, 200, false, 0}, Case{75, 1, true, 15},
                         Case{0, 0, true, 0}, Case{65535, 1092, false, 15}}) {
        Words w = Plausible();
        w[14] = c.word;
        const StatusReply r = DecodeStatus(Reply(1, w), 1);
        EXPECT_EQ(r.reachSetHours.value, c.hours) << c.word;
        EXPECT_EQ(r.reachSetHours.accepted, c.hoursAccepted) << c.word;
        EXPECT_EQ(r.reachSetMinutes.value, c.minutes) << c.word;
        EXPECT_TRUE(r.reachSetMinutes.accepted) << c.word;
    }
}

TEST(StatusDecode, OnlyAReplyAtTheStartOfTheBufferIsDecoded)
{
    EXPECT_TRUE(DecodeStatus(Reply(7, Plausible()), 7).decoded);
    EXPECT_FALSE(DecodeStatus(Reply(7, Plausible(), 3), 7).decoded) << "three stray bytes before it";
    EXPECT_FALSE(DecodeStatus(Reply(7, Plausible()), 8).decoded) << "another chamber's reply";

    ReceiveBytes exception = Reply(7, Plausible());
    exception[1] = 0x84;
    EXPECT_FALSE(DecodeStatus(exception, 7).decoded);

    // Address 250 is the byte 0xFA; an address beyond a byte never matches.
    EXPECT_TRUE(DecodeStatus(Reply(0xFA, Plausible()), 250).decoded);
    EXPECT_FALSE(DecodeStatus(Reply(0xFA, Plausible()), 250 + 256).decoded);
    EXPECT_FALSE(DecodeStatus(Reply(0, Plausible()), -256).decoded);

    // With address 0 the cleared buffer must not pass for a reply.
    EXPECT_FALSE(DecodeStatus(ReceiveBytes{}, 0).decoded);
}

TEST(StatusDecode, FifteenWordReplyReadsItsCrcAsTheCurrentHumidity)
{
    // A plain slave stops after word 14; its CRC lands where word 15 is read
    // and the cleared bytes after it give a set humidity of 0.
    ReceiveBytes buffer = Reply(4, Plausible());
    buffer[2] = 30;
    const uint16_t crc = Crc16(0, 32, buffer.data());
    buffer[33] = static_cast<uint8_t>(crc & 0xFF);
    buffer[34] = static_cast<uint8_t>(crc >> 8);
    buffer[35] = 0;
    buffer[36] = 0;
    const StatusReply r = DecodeStatus(buffer, 4);
    ASSERT_TRUE(r.decoded);
    EXPECT_EQ(r.currentHumidity.value, 256 * (crc & 0xFF) + (crc >> 8));
    EXPECT_EQ(r.currentHumidity.accepted, r.currentHumidity.value < 1100);
    EXPECT_EQ(r.setHumidity.value, 0);
    EXPECT_TRUE(r.setHumidity.accepted);
}
