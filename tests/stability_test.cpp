// Storage conditions read and written back.
#include <gtest/gtest.h>

#include "monitoring/Stability.h"

namespace {

StabilityCondition Preset(const char* name)
{
    for (const StabilityCondition& c : StabilityPresets())
        if (c.name == QString::fromUtf8(name))
            return c;
    ADD_FAILURE() << "no preset " << name;
    return {};
}

// ---- Conditions --------------------------------------------------------

TEST(StabilityConditions, ReadsPresetsAndCustomConditions)
{
    struct Case {
        const char* text;
        const char* name;  // the preset it is, "" for a custom one
        double t, dt;
        bool humidity;
        double rh, drh;
    };
    const Case cases[] = {
        {"25/60", "25/60", 25, 2, true, 60, 5},
        {"40/75", "40/75", 40, 2, true, 75, 5},
        {"5 °C", "5 °C", 5, 3, false, 0, 0},
        {"5C", "5 °C", 5, 3, false, 0, 0},
        {"25±2/60±5", "25/60", 25, 2, true, 60, 5},
        {"25+-2/60+-5", "25/60", 25, 2, true, 60, 5},
        {"25+/-2/60+/-5", "25/60", 25, 2, true, 60, 5},
        {"5±3", "5 °C", 5, 3, false, 0, 0},
        {"25,5±1,5", "", 25.5, 1.5, false, 0, 0},
        {"30±2/70±3", "", 30, 2, true, 70, 3},
        {" 22 ± 0,5 / 50 ± 10 ", "", 22, 0.5, true, 50, 10},
        {"-20±2", "", -20, 2, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        StabilityCondition parsed;
        QString error;
        ASSERT_TRUE(ParseStabilityCondition(QString::fromUtf8(c.text), &parsed, &error)) << error.toStdString();
        EXPECT_EQ(parsed.name, QString::fromUtf8(c.name));
        EXPECT_DOUBLE_EQ(parsed.temperature, c.t);
        EXPECT_DOUBLE_EQ(parsed.temperatureTolerance, c.dt);
        EXPECT_EQ(parsed.hasHumidity, c.humidity);
        if (c.humidity) {
            EXPECT_DOUBLE_EQ(parsed.humidity, c.rh);
            EXPECT_DOUBLE_EQ(parsed.humidityTolerance, c.drh);
        }
        // Written back, it reads as itself.
        StabilityCondition again;
        ASSERT_TRUE(ParseStabilityCondition(StabilityConditionText(parsed), &again, &error))
            << StabilityConditionText(parsed).toStdString();
        EXPECT_EQ(again, parsed) << StabilityConditionText(parsed).toStdString();
    }
}

TEST(StabilityConditions, WritesTheTextThatReadsBack)
{
    StabilityCondition c;
    QString error;
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("25,55±0,05/60±5"), &c, &error));
    EXPECT_EQ(StabilityConditionText(c), QStringLiteral("25.55±0.05/60±5"));
    EXPECT_EQ(StabilityConditionText(Preset("30/65")), QStringLiteral("30/65"));
    c.hasHumidity = false;
    EXPECT_EQ(StabilityConditionText(c), QStringLiteral("25.55±0.05"));
}

TEST(StabilityConditions, RefusesWhatIsNoCondition)
{
    const char* refused[] = {"",           "   ",          "25±0/60±5", "25±2/60±0", "25±-1",  "25±2/120±5",
                             "25±2/-1±5",  "abc",          "25",        "±2",        "25±2/", "25±2/60±5/70",
                             "300±2",      "25±2±1/60±5", "nan±2",     "25±inf"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        StabilityCondition c = Preset("40/75");
        QString error;
        EXPECT_FALSE(ParseStabilityCondition(QString::fromUtf8(text), &c, &error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(c, Preset("40/75"));  // left as it was
    }
}

}  // namespace
