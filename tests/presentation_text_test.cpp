// Text forms, the value fields a decoded reply leaves, and the record line.
#include <clocale>
#include <cmath>
#include <gtest/gtest.h>

#include "monitoring/LocaleText.h"
#include "monitoring/Presentation.h"
#include "monitoring/StatusDecode.h"
#include "monitoring/StatusFields.h"
#include "support/AppFixture.h"

namespace {

struct TenthsCase {
    int tenths;
    const char* comma;
    const char* dot;
};

// Field texts as the main window starts.
StatusView IdleView() { return IdleStatusView(); }

// A decoded reply in which every value is refused.
StatusReply NothingAccepted()
{
    StatusReply r;
    r.decoded = true;
    return r;
}

}  // namespace

TEST(TextForms, TenthsUnderCommaAndDot)
{
    const TenthsCase cases[] = {
        {253, "25,3", "25.3"},   {250, "25", "25"},     {5, "0,5", "0.5"},         {-750, "-75", "-75"},
        {-1, "-0,1", "-0.1"},    {0, "0", "0"},         {-999, "-99,9", "-99.9"}, {1099, "109,9", "109.9"},
        {2499, "249,9", "249.9"}, {-10, "-1", "-1"},    {1000, "100", "100"},
    };
    for (const TenthsCase& c : cases) {
        EXPECT_EQ(TenthsText(c.tenths, ","), QString::fromUtf8(c.comma)) << c.tenths;
        EXPECT_EQ(TenthsText(c.tenths, "."), QString::fromUtf8(c.dot)) << c.tenths;
    }
}

TEST(TextForms, TenthsFollowTheLocaleSeparator)
{
    struct LocaleCase {
        const char* name;
        const char* expected;
    };
    for (const LocaleCase c : {LocaleCase{"ru_RU.UTF-8", "-0,1"}, LocaleCase{"en_US.UTF-8", "-0.1"},
                               LocaleCase{"C", "-0.1"}}) {
        ScopedLocale locale(LC_NUMERIC, c.name);
        if (!locale.ok()) {
            ADD_FAILURE() << c.name << " is not installed";
            continue;
        }
        EXPECT_EQ(TenthsText(-1, DecimalSeparator()), QString::fromUtf8(c.expected)) << c.name;
    }
}

TEST(TextForms, TwoDigitAndPairForms)
{
    const std::pair<int, const char*> twoDigit[] = {{0, "00"}, {7, "07"}, {9, "09"}, {10, "10"}, {59, "59"},
                                                    {123, "123"}};
    for (const auto& [value, text] : twoDigit)
        EXPECT_EQ(TwoDigitText(value), text) << value;
    EXPECT_EQ(PairText(0, 0), "0(0)");
    EXPECT_EQ(PairText(19, 19), "19(19)");
    EXPECT_EQ(PairText(999, 65535), "999(65535)");
    EXPECT_EQ(NumberText(0), "0");
    EXPECT_EQ(NumberText(19), "19");
}

TEST(TextForms, MinutesReplaceWhateverFollowsTheHours)
{
    struct Case {
        const char* field;
        int minutes;
        const char* expected;
    };
    for (const Case c : {Case{"05", 30, "05:30"}, Case{"05:30", 31, "05:31"}, Case{"05:30:31:31", 7, "05:07"},
                         Case{"123", 5, "123:05"}, Case{"00:00", 0, "00:00"}, Case{"", 9, ":09"}})
        EXPECT_EQ(MinutesAppended(c.field, c.minutes), c.expected) << c.field;
}

TEST(ValueFields, TimeFieldsTakeHoursThenMinutes)
{
    StatusView v = IdleView();
    StatusReply r = NothingAccepted();
    r.reachHours = {123, true};
    r.reachMinutes = {5, true};
    r.reachSetHours = {1, true};
    r.reachSetMinutes = {15, true};
    r.stabiliseHours = {5, true};
    r.stabiliseMinutes = {60, false};
    r.stabiliseSetHours = {200, false};
    r.stabiliseSetMinutes = {7, true};
    ApplyStatus(v, r, ",");
    EXPECT_EQ(v.label15, "123:05");
    EXPECT_EQ(v.label3, "01:15");
    EXPECT_EQ(v.label11, "05") << "hours accepted, minutes refused: the hours alone";
    EXPECT_EQ(v.label19, "00:07") << "hours refused: the old hours keep, the minutes are new";
}

TEST(ValueFields, RefusedHoursDoNotMakeTheFieldGrow)
{
    StatusView v = IdleView();
    v.label11 = "05:30";
    StatusReply r = NothingAccepted();
    r.stabiliseHours = {250, false};
    r.stabiliseMinutes = {31, true};
    for (int poll = 0; poll < 3; ++poll) {
        ApplyStatus(v, r, ",");
        EXPECT_EQ(v.label11, "05:31") << "poll " << poll;
    }
    r.stabiliseHours = {6, true};
    r.stabiliseMinutes = {2, true};
    ApplyStatus(v, r, ",");
    EXPECT_EQ(v.label11, "06:02");
}

TEST(ValueFields, TemperatureFieldsAreRewrittenEvenWhenRefused)
{
    StatusView v = IdleView();
    StatusReply r = NothingAccepted();
    r.currentTemp = {5000, false};
    r.setTemp = {-1000, false};
    ApplyStatus(v, r, ",");
    // No temperature was ever accepted, so the fields turn from "0" to empty.
    EXPECT_EQ(v.label5, "");
    EXPECT_EQ(v.label18, "");
    // Other refused values leave their fields alone.
    EXPECT_EQ(v.label2, "0");
    EXPECT_EQ(v.label13, "0(0)");
    EXPECT_EQ(v.label11, "00:00");
    EXPECT_EQ(v.label17, "0");
}

TEST(ValueFields, AfterIdleResetAnOldTemperatureComesBackButNotTheHumidity)
{
    StatusView v = IdleView();
    StatusReply good = NothingAccepted();
    good.currentTemp = {-1, true};
    good.setTemp = {250, true};
    good.currentHumidity = {605, true};
    good.setHumidity = {0, true};
    good.stepAccepted = true;
    good.step = 19;
    good.steps = 19;
    good.cycleAccepted = true;
    good.cycle = 999;
    good.cycles = 65535;
    good.program = {19, true};
    ApplyStatus(v, good, ",");
    EXPECT_EQ(v.label5, "-0,1");
    EXPECT_EQ(v.label18, "25");
    EXPECT_EQ(v.label2, "60,5");
    EXPECT_EQ(v.label4, "0");
    EXPECT_EQ(v.label13, "19(19)");
    EXPECT_EQ(v.label20, "999(65535)");
    EXPECT_EQ(v.label17, "19");
    EXPECT_EQ(v.currentHumidityText, "60,5");
    EXPECT_EQ(v.programText, "19");

    // Reading switched off: fields idle, value texts kept.
    StatusView idle = IdleView();
    idle.currentTempText = v.currentTempText;
    idle.setTempText = v.setTempText;
    idle.currentHumidityText = v.currentHumidityText;
    idle.setHumidityText = v.setHumidityText;
    idle.programText = v.programText;
    idle.stepText = v.stepText;
    idle.cycleText = v.cycleText;

    StatusReply bad = NothingAccepted();
    bad.currentTemp = {2500, false};
    bad.currentHumidity = {1100, false};
    ApplyStatus(idle, bad, ",");
    EXPECT_EQ(idle.label5, "-0,1");
    EXPECT_EQ(idle.label2, "0");
}

TEST(ValueFields, AReplyNotDecodedChangesNothing)
{
    StatusView v = IdleView();
    StatusReply r;  // not decoded, though its values look acceptable
    r.currentTemp = {253, true};
    r.reachMinutes = {5, true};
    ApplyStatus(v, r, ",");
    EXPECT_EQ(v.label5, "0");
    EXPECT_EQ(v.label15, "00:00");
    EXPECT_EQ(v.currentTempText, "");
}

TEST(RecordLine, WorkedExample)
{
    const QString line = RecordLine("14:05:30", "25,3", "60,5", "3", "2(5)", "10(100)");
    const QString expected = QString(4, ' ') + "14:05:30;" + QString(11, ' ') + "25,3;" + QString(26, ' ') +
                             "60,5;" + QString(24, ' ') + "3;" + QString(23, ' ') + "2(5);" + QString(27, ' ') +
                             "10(100);" + QString(5, ' ') + "\r\n";
    EXPECT_EQ(line, expected);
    EXPECT_EQ(line.size(), 156);
    EXPECT_EQ(line.indexOf("25,3"), 24);
    EXPECT_EQ(line.indexOf("60,5"), 55);
    EXPECT_EQ(line.indexOf("3;", 60), 84);
    EXPECT_EQ(line.indexOf("2(5)"), 109);
    EXPECT_EQ(line.indexOf("10(100)"), 141);
    EXPECT_TRUE(line.endsWith(";     \r\n"));
}

TEST(RecordLine, EmptyValueTexts)
{
    const QString line = RecordLine("14:05:30", "", "", "", "", "");
    EXPECT_EQ(line, QString(4, ' ') + "14:05:30;" + QString(11, ' ') + ";" + QString(30, ' ') + ";" +
                        QString(28, ' ') + ";" + QString(24, ' ') + ";" + QString(31, ' ') + ";" + QString(5, ' ') +
                        "\r\n");
    EXPECT_EQ(line.size(), 149);
}

TEST(RecordLine, ColumnsFollowTheLengthOfTheTime)
{
    const QString texts[] = {"-99,9", "109,9", "19", "19(19)", "999(65535)"};
    for (const QString& time : {QString("9:05:07"), QString("14:05:30"), QString("02:05:07 PM")}) {
        const int l = static_cast<int>(time.size());
        const QString line = RecordLine(time, texts[0], texts[1], texts[2], texts[3], texts[4]);
        const int starts[] = {16 + l, 47 + l, 76 + l, 101 + l, 133 + l};
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(line.mid(starts[i], texts[i].size()), texts[i]) << time.toStdString() << " value " << i;
        EXPECT_EQ(line.mid(starts[0] - 12, 12), ";" + QString(11, ' '));
    }
    // "19" then ";" and 22 spaces; "-99,9" then ";" and 25 spaces.
    const QString line = RecordLine("14:05:30", "-99,9", "", "19", "", "");
    EXPECT_EQ(line.mid(24, 5 + 1 + 25 + 1), "-99,9;" + QString(25, ' ') + ";");
    EXPECT_EQ(line.mid(84, 2 + 1 + 22 + 1), "19;" + QString(22, ' ') + ";");
}

TEST(RecordLine, LongTextsGetNoFillAndAreNotCut)
{
    const QString longTemp(31, 'T');
    const QString longStep(40, 'S');
    const QString line = RecordLine("14:05:30", longTemp, "1", "2", longStep, "3");
    EXPECT_EQ(line, QString(4, ' ') + "14:05:30;" + QString(11, ' ') + longTemp + ";" + "1;" + QString(27, ' ') +
                        "2;" + QString(23, ' ') + longStep + ";" + "3;" + QString(5, ' ') + "\r\n");
    EXPECT_EQ(RecordLine("t", QString(30, 'x'), "", "", "", "").indexOf(";;"), 4 + 1 + 1 + 11 + 30);
}

TEST(ScanTexts, ProgressRoundsToTheNearestPercent)
{
    const std::pair<int, int> cases[] = {{0, 0},   {1, 0},   {2, 1},   {3, 1},    {4, 2},    {124, 50},
                                         {125, 50}, {126, 50}, {248, 99}, {249, 100}, {250, 100}};
    for (const auto& [address, percent] : cases)
        EXPECT_EQ(ProgressForAddress(address), percent) << address;
    for (int a = 0; a <= 250; ++a) {
        const double exact = a * 100.0 / 250.0;
        EXPECT_LT(std::abs(ProgressForAddress(a) - exact), 0.5) << a;
    }
    EXPECT_EQ(ProgressText(7), QString::fromUtf8("7 из 250"));
    EXPECT_EQ(ProgressText(250), QString::fromUtf8("250 из 250"));
}

TEST(ScanTexts, EntryTextAndBack)
{
    EXPECT_EQ(ChamberEntryText(7), QString::fromUtf8("Камера №7"));
    EXPECT_EQ(ChamberEntryText(0), QString::fromUtf8("Камера №0"));
    EXPECT_EQ(ChamberEntryText(120), QString::fromUtf8("Камера №120"));
    for (int a : {0, 1, 7, 15, 120, 250})
        EXPECT_EQ(AddressFromEntry(ChamberEntryText(a)), a);
    EXPECT_THROW(AddressFromEntry(QString::fromUtf8("Камера №")), std::runtime_error);
    EXPECT_THROW(AddressFromEntry(QString::fromUtf8("Камера №1x")), std::runtime_error);
}
