// The alarm rules on their own: time-stamped poll facts in, alarm events out.
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

#include "monitoring/Alarms.h"

namespace {

// One poll of a temperature-only chamber at t seconds.
struct TempPoll {
    double t;
    double current;
    double set;
};

PollFacts Temp(const TempPoll& p)
{
    PollFacts f;
    f.time = static_cast<qint64>(p.t * 1000);
    f.answered = true;
    f.currentTemp = p.current;
    f.setTemp = p.set;
    return f;
}

// "start@64" / "end@80": what happened, at which second.
std::string Describe(const AlarmEvent& e)
{
    const char* type = e.type == AlarmEventType::Start ? "start" : e.type == AlarmEventType::End ? "end" : "ack";
    return std::string(type) + "@" + std::to_string(e.time / 1000);
}

std::vector<std::string> Feed(AlarmRules& rules, const std::vector<PollFacts>& polls)
{
    std::vector<std::string> out;
    for (const PollFacts& f : polls)
        for (const AlarmEvent& e : rules.Feed(f))
            out.push_back(Describe(e));
    return out;
}

// Polls every 4 s from `from` to `to` seconds, the value given by a function of time.
template <class F>
std::vector<PollFacts> Every4s(double from, double to, double set, F value)
{
    std::vector<PollFacts> polls;
    for (double t = from; t <= to + 1e-9; t += 4)
        polls.push_back(Temp({t, value(t), set}));
    return polls;
}

struct DeviationCase {
    const char* name;
    double band;
    int delay;
    std::vector<PollFacts> polls;
    std::vector<std::string> expected;
};

std::vector<PollFacts> Join(std::vector<PollFacts> a, const std::vector<PollFacts>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(AlarmRulesTest, TemperatureDeviationCases)
{
    const std::vector<DeviationCase> cases = {
        {"inside the band all the time", 2, 60, Every4s(0, 400, 30, [](double) { return 31.9; }), {}},
        {"on the band edge is inside", 2, 60, Every4s(0, 400, 25, [](double) { return 27.0; }), {}},
        // Waiting from 0 s; 60 s is not longer than the delay, 64 s is.
        {"stuck outside: one alarm after the delay", 2, 60, Every4s(0, 400, 30, [](double) { return 25.3; }),
         {"start@64"}},
        {"below the set point the same", 2, 60, Every4s(0, 200, 30, [](double) { return 34.1; }), {"start@64"}},
        {"back inside ends it",
         2,
         60,
         Join(Every4s(0, 100, 30, [](double) { return 25.0; }), Every4s(104, 200, 30, [](double) { return 29.5; })),
         {"start@64", "end@104"}},
        {"a short excursion shorter than the delay",
         2,
         60,
         Join(Join(Every4s(0, 40, 30, [](double) { return 20.0; }), Every4s(44, 60, 30, [](double) { return 30.0; })),
              Every4s(64, 100, 30, [](double) { return 20.0; })),
         {}},
        // The simulator's ramp: 2 °C a minute from 20 to 80 °C takes 30 min,
        // twice the default delay.
        {"ramp at 2 °C/min with the defaults", 2, 900,
         Join(Every4s(0, 1800, 80, [](double t) { return 20 + t / 30.0; }),
              Every4s(1804, 4000, 80, [](double) { return 80.0; })),
         {}},
        {"ramp slower than one band per delay", 2, 900, Every4s(0, 4000, 80, [](double t) { return 20 + t / 600.0; }),
         {"start@904"}},
        {"drifting away", 2, 900, Every4s(0, 2000, 30, [](double t) { return 28 - t / 600.0; }), {"start@908"}},
    };
    for (const DeviationCase& c : cases) {
        AlarmSettings s;
        s.temperatureBand = c.band;
        s.temperatureDelay = c.delay;
        AlarmRules rules(s);
        EXPECT_EQ(Feed(rules, c.polls), c.expected) << c.name;
    }
}

TEST(AlarmRulesTest, AlarmCarriesItsValuesAndWorstReading)
{
    AlarmSettings s;
    s.temperatureDelay = 10;
    AlarmRules rules(s);
    Feed(rules, {Temp({0, 25, 30}), Temp({12, 24.5, 30}), Temp({16, 21, 30}), Temp({20, 23, 30})});
    auto events = rules.Feed(Temp({24, 29.9, 30}));
    ASSERT_EQ(events.size(), 1u);
    const Alarm& a = events[0].alarm;
    EXPECT_EQ(a.kind, AlarmKind::Temperature);
    EXPECT_DOUBLE_EQ(a.value, 24.5);
    EXPECT_DOUBLE_EQ(a.setPoint, 30);
    EXPECT_DOUBLE_EQ(a.worst, 21);
    EXPECT_DOUBLE_EQ(a.endValue, 29.9);
    EXPECT_EQ(a.start, 12000);
    EXPECT_EQ(a.end, 24000);
    EXPECT_FALSE(a.Active());
}

TEST(AlarmRulesTest, NewSetPointStartsTheWaitAgain)
{
    AlarmSettings s;
    s.temperatureDelay = 60;
    AlarmRules rules(s);
    // 40 s outside toward 30 °C, then the next step asks for 60 °C: the
    // wait counts from the new set point, not from the first poll.
    auto polls = Every4s(0, 40, 30, [](double) { return 20.0; });
    for (double t = 44; t <= 120; t += 4)
        polls.push_back(Temp({t, 20.0, 60}));
    EXPECT_EQ(Feed(rules, polls), (std::vector<std::string>{"start@108"}));
}

TEST(AlarmRulesTest, PollsWithoutValuesNeitherRunNorRestartTheWait)
{
    AlarmSettings s;
    s.temperatureDelay = 60;
    AlarmRules rules(s);
    std::vector<PollFacts> polls = Every4s(0, 20, 30, [](double) { return 20.0; });
    PollFacts silent;
    silent.time = 40000;
    PollFacts refused;  // answered, temperature outside its window
    refused.time = 44000;
    refused.answered = true;
    polls.push_back(silent);
    polls.push_back(refused);
    polls.push_back(Temp({64, 20, 30}));
    EXPECT_EQ(Feed(rules, polls), (std::vector<std::string>{"start@64"}));
}

TEST(AlarmRulesTest, HumidityFollowsItsOwnBandAndIgnoresZeroSetPoint)
{
    AlarmSettings s;
    s.humidityBand = 5;
    s.humidityDelay = 20;
    AlarmRules rules(s);
    auto hum = [](double t, double current, double set) {
        PollFacts f;
        f.time = static_cast<qint64>(t * 1000);
        f.answered = true;
        f.currentHumidity = current;
        f.setHumidity = set;
        return f;
    };
    // 0 % asks for no humidity: a chamber at room humidity is fine.
    EXPECT_TRUE(Feed(rules, {hum(0, 45, 0), hum(40, 45, 0)}).empty());
    EXPECT_EQ(Feed(rules, {hum(44, 60, 70), hum(64, 60, 70), hum(68, 64.9, 70), hum(72, 65, 70)}),
              (std::vector<std::string>{"start@68", "end@72"}));
    EXPECT_EQ(rules.ActiveCount(AlarmKind::Humidity), 0);
    EXPECT_EQ(rules.ActiveCount(AlarmKind::Temperature), 0);
}

TEST(AlarmRulesTest, KindSwitchedOffRaisesNothingAndEndsItsAlarm)
{
    AlarmSettings s;
    s.temperatureDelay = 10;
    AlarmRules rules(s);
    Feed(rules, {Temp({0, 20, 30}), Temp({12, 20, 30})});
    ASSERT_EQ(rules.ActiveCount(AlarmKind::Temperature), 1);
    s.temperatureOn = false;
    auto ended = rules.SetSettings(s, 13000);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].type, AlarmEventType::End);
    EXPECT_TRUE(Feed(rules, Every4s(16, 200, 30, [](double) { return 0.0; })).empty());
}

TEST(AlarmRulesTest, SettingsOutsideTheirLimitsAreMadeSane)
{
    AlarmSettings bad;
    bad.temperatureBand = 0;
    bad.humidityBand = std::numeric_limits<double>::quiet_NaN();
    bad.temperatureDelay = -5;
    bad.humidityDelay = 1 << 30;
    const AlarmSettings s = SaneAlarmSettings(bad);
    EXPECT_DOUBLE_EQ(s.temperatureBand, AlarmSettings{}.temperatureBand);
    EXPECT_DOUBLE_EQ(s.humidityBand, AlarmSettings{}.humidityBand);
    EXPECT_EQ(s.temperatureDelay, 0);
    EXPECT_EQ(s.humidityDelay, kMaxAlarmDelay);
}

TEST(AlarmRulesTest, SettingsFileValuesFollowOneRule)
{
    const AlarmSettings d;
    struct Case {
        const char* key;
        const char* text;
        bool refused;
        AlarmSettings expected;
    };
    auto with = [&](auto change) {
        AlarmSettings s = d;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"humidityDelay", "15m", true, d},  // once read as 0: an alarm on every poll
        {"humidityDelay", "600", false, with([](AlarmSettings& s) { s.humidityDelay = 600; })},
        {"humidityDelay", "0", false, with([](AlarmSettings& s) { s.humidityDelay = 0; })},
        {"humidityDelay", "86400", false, with([](AlarmSettings& s) { s.humidityDelay = 86400; })},
        {"humidityDelay", "86401", true, d},
        {"temperatureDelay", "-1", true, d},
        {"temperatureDelay", "9.5", true, d},
        {"humidityBand", "1e308", true, d},  // once 100 % with the box still ticked
        {"humidityBand", "100", false, with([](AlarmSettings& s) { s.humidityBand = 100; })},
        {"temperatureBand", "0.1", false, with([](AlarmSettings& s) { s.temperatureBand = 0.1; })},
        {"temperatureBand", "0.05", true, d},
        {"temperatureBand", "0", true, d},
        {"temperatureBand", "nan", true, d},
        {"temperatureBand", "inf", true, d},
        {"temperatureBand", "2,5", true, d},
        {"temperatureBand", "", true, d},
        {"temperatureBand", " 3.5 ", false, with([](AlarmSettings& s) { s.temperatureBand = 3.5; })},
        {"temperatureOn", "false", false, with([](AlarmSettings& s) { s.temperatureOn = false; })},
        {"linkOn", "0", false, with([](AlarmSettings& s) { s.linkOn = false; })},
        {"programEndOn", "ja", true, d},
        {"humidityOn", "", true, d},
        {"listen", "9100", false, d},  // not an alarm setting
    };
    for (const Case& c : cases) {
        QStringList refused;
        const AlarmSettings got =
            AlarmSettingsFromText({{QString::fromUtf8(c.key), QString::fromUtf8(c.text)}}, &refused);
        EXPECT_EQ(got, c.expected) << c.key << "=" << c.text;
        EXPECT_EQ(refused.size(), c.refused ? 1 : 0) << c.key << "=" << c.text;
        if (c.refused && !refused.isEmpty())
            EXPECT_EQ(refused[0], QStringLiteral("%1=%2").arg(QString::fromUtf8(c.key), QString::fromUtf8(c.text)));
    }
    // Every refused value is named; the good ones next to them are kept.
    QStringList refused;
    const AlarmSettings got = AlarmSettingsFromText(
        {{"humidityDelay", "15m"}, {"humidityBand", "1e308"}, {"temperatureBand", "3"}}, &refused);
    EXPECT_EQ(refused.size(), 2);
    EXPECT_EQ(got.temperatureBand, 3);
    EXPECT_EQ(got.humidityBand, d.humidityBand);
    EXPECT_TRUE(got.humidityOn);
}

TEST(AlarmRulesTest, LinkAlarmFollowsTheLinkLossWindow)
{
    AlarmRules rules;
    std::vector<PollFacts> polls;
    for (int i = 0; i < 6; ++i) {
        PollFacts f;
        f.time = i * 16000;
        f.linkLost = i >= 1 && i <= 3;
        f.answered = !f.linkLost;
        polls.push_back(f);
    }
    EXPECT_EQ(Feed(rules, polls), (std::vector<std::string>{"start@16", "end@64"}));
    ASSERT_EQ(rules.Alarms().size(), 1u);
    EXPECT_EQ(rules.Alarms()[0].kind, AlarmKind::Link);
}

namespace {
PollFacts Program(double t, int program, int step, int steps, int cycle, int cycles)
{
    PollFacts f;
    f.time = static_cast<qint64>(t * 1000);
    f.answered = true;
    f.program = program;
    f.step = step;
    f.steps = steps;
    f.cycle = cycle;
    f.cycles = cycles;
    return f;
}
}  // namespace

TEST(AlarmRulesTest, ProgramEndNoticeCases)
{
    struct Case {
        const char* name;
        std::vector<PollFacts> polls;
        std::vector<std::string> expected;
        const char* text;
    };
    PollFacts silent;
    silent.time = 12000;
    const std::vector<Case> cases = {
        {"never ran", {Program(0, 0, 0, 0, 0, 0), Program(4, 0, 0, 0, 0, 0)}, {}, ""},
        {"ran to its end",
         {Program(0, 3, 2, 3, 2, 2), Program(4, 3, 3, 3, 2, 2), Program(8, 0, 0, 0, 0, 0), Program(12, 0, 0, 0, 0, 0)},
         {"start@8"},
         "Программа 3 завершена"},
        {"stopped halfway",
         {Program(0, 5, 1, 4, 1, 10), Program(4, 0, 0, 0, 0, 0)},
         {"start@4"},
         "Программа 5 остановлена (шаг 1, цикл 1)"},
        {"a silent poll is no end", {Program(0, 3, 1, 2, 1, 1), silent, Program(16, 3, 1, 2, 1, 1)}, {}, ""},
        {"step counter back to 0 with the program still shown",
         {Program(0, 2, 2, 2, 1, 1), Program(4, 2, 0, 2, 0, 1)},
         {"start@4"},
         "Программа 2 завершена"},
        {"two runs, two notices",
         {Program(0, 1, 1, 1, 1, 1), Program(4, 0, 0, 0, 0, 0), Program(8, 1, 1, 1, 1, 1), Program(12, 0, 0, 0, 0, 0)},
         {"start@4", "start@12"},
         "Программа 1 завершена"},
    };
    for (const Case& c : cases) {
        AlarmRules rules;
        EXPECT_EQ(Feed(rules, c.polls), c.expected) << c.name;
        if (!c.expected.empty()) {
            EXPECT_EQ(rules.Alarms().back().text, QString::fromUtf8(c.text)) << c.name;
            EXPECT_FALSE(rules.Alarms().back().Active()) << c.name;
            EXPECT_EQ(rules.OutstandingCount(AlarmKind::ProgramEnd), static_cast<int>(c.expected.size())) << c.name;
        }
    }
}

TEST(AlarmRulesTest, AcknowledgeOnceAndStopEndsEverything)
{
    AlarmSettings s;
    s.temperatureDelay = 0;
    AlarmRules rules(s);
    PollFacts lost;
    lost.time = 1000;
    lost.linkLost = true;
    rules.Feed(Temp({0, 0, 30}));
    rules.Feed(Temp({0.5, 0, 30}));
    rules.Feed(lost);
    ASSERT_EQ(rules.Alarms().size(), 2u);
    const int id = rules.Alarms()[0].id;
    auto ack = rules.Acknowledge(id, 2000);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->type, AlarmEventType::Acknowledge);
    EXPECT_TRUE(ack->alarm.Active());
    EXPECT_FALSE(rules.Acknowledge(id, 3000).has_value());
    EXPECT_FALSE(rules.Acknowledge(999, 3000).has_value());

    auto ended = rules.Stop(4000);
    EXPECT_EQ(ended.size(), 2u);
    EXPECT_EQ(rules.ActiveCount(AlarmKind::Temperature) + rules.ActiveCount(AlarmKind::Link), 0);
    // After a stop the wait starts afresh: with a delay of 0 the first poll
    // outside has waited 0 s, which is not longer than the delay.
    EXPECT_TRUE(rules.Feed(Temp({5, 0, 30})).empty());
    EXPECT_EQ(rules.Feed(Temp({6, 0, 30})).size(), 1u);
}

TEST(AlarmRulesTest, HistoryIsBoundedButKeepsActiveAlarms)
{
    AlarmRules rules;
    PollFacts lost, back;
    lost.linkLost = true;
    back.answered = true;
    for (size_t i = 0; i < AlarmRules::kKeptAlarms + 50; ++i) {
        lost.time = static_cast<qint64>(i) * 2;
        back.time = lost.time + 1;
        rules.Feed(lost);
        rules.Feed(back);
    }
    rules.Feed(lost);
    EXPECT_EQ(rules.Alarms().size(), AlarmRules::kKeptAlarms);
    EXPECT_TRUE(rules.Alarms().back().Active());
    EXPECT_EQ(rules.ActiveCount(AlarmKind::Link), 1);
}

TEST(AlarmRulesTest, RulesSharingACounterNeverGiveOneNumberTwice)
{
    auto next = std::make_shared<int>(1);
    AlarmRules a, b;
    a.ShareNumbers(next);
    b.ShareNumbers(next);
    PollFacts lost;
    lost.linkLost = true;
    lost.time = 1000;
    ASSERT_EQ(a.Feed(lost).size(), 1u);
    ASSERT_EQ(b.Feed(lost).size(), 1u);
    EXPECT_EQ(a.Alarms().back().id, 1);
    EXPECT_EQ(b.Alarms().back().id, 2);
    // Each acknowledges only its own.
    EXPECT_FALSE(a.Acknowledge(2, 2000));
    EXPECT_TRUE(b.Acknowledge(2, 2000));
}

TEST(AlarmRulesTest, DisarmedDeviationsRaiseNothingAndDisarmingEndsTheAlarm)
{
    AlarmSettings s;
    s.temperatureDelay = 10;
    AlarmRules rules(s);
    rules.SetDeviationArmed(false, 0);
    // A chamber that runs nothing: at the room's climate against a set point of 0.
    EXPECT_TRUE(Feed(rules, {Temp({0, 22, 0}), Temp({30, 22, 0}), Temp({60, 22, 0})}).empty());
    // Armed: the wait starts afresh at arming, not at the first poll.
    EXPECT_TRUE(rules.SetDeviationArmed(true, 60000).empty());
    EXPECT_EQ(Feed(rules, {Temp({64, 22, 0}), Temp({70, 22, 0}), Temp({76, 22, 0})}),
              (std::vector<std::string>{"start@76"}));
    // Disarmed: the alarm ends at once, and none comes again.
    std::vector<std::string> ended;
    for (const AlarmEvent& e : rules.SetDeviationArmed(false, 80000))
        ended.push_back(Describe(e));
    EXPECT_EQ(ended, (std::vector<std::string>{"end@80"}));
    EXPECT_TRUE(Feed(rules, {Temp({90, 22, 0}), Temp({200, 22, 0})}).empty());
    // The link alarm does not depend on it.
    PollFacts lost;
    lost.time = 210000;
    lost.linkLost = true;
    EXPECT_EQ(Feed(rules, {lost}), (std::vector<std::string>{"start@210"}));
}

TEST(AlarmRulesTest, ArmingAsTheSettingsFileKeepsIt)
{
    struct Case {
        const char* text;
        bool armed;
        qint64 since;
        const char* why;
    };
    const Case cases[] = {
        {"1;1765375530000;пуск подтверждён камерой", true, 1765375530000, "пуск подтверждён камерой"},
        {"0;1765375530000;программа закончилась", false, 1765375530000, "программа закончилась"},
        {"1;5", true, 5, ""},
        {"", false, 0, ""},
        {"2;5;x", false, 0, ""},
        {"1;-5;x", false, 0, ""},
        {"1;abc;x", false, 0, ""},
        {"yes", false, 0, ""},
    };
    for (const Case& c : cases) {
        const DeviationArming a = ArmingFromText(QString::fromUtf8(c.text));
        EXPECT_EQ(a.armed, c.armed) << c.text;
        EXPECT_EQ(a.since, c.since) << c.text;
        EXPECT_EQ(a.why, QString::fromUtf8(c.why)) << c.text;
    }
    // What is written reads back, a ";" in the reason included.
    const DeviationArming kept{true, 42, QStringLiteral("оператором; по заявке")};
    const DeviationArming back = ArmingFromText(ArmingToText(kept));
    EXPECT_TRUE(back.armed);
    EXPECT_EQ(back.since, 42);
    EXPECT_EQ(back.why, QStringLiteral("оператором, по заявке"));
    EXPECT_EQ(ArmingText({false, 0, {}}, QStringLiteral("10.12.2026 14:05:30")), QStringLiteral("тревоги отклонения выключены"));
    EXPECT_EQ(ArmingText({false, 7, {}}, QStringLiteral("10.12.2026 14:05:30")),
              QStringLiteral("тревоги отклонения выключены с 10.12.2026 14:05:30"));
}

namespace {

// One poll of a chamber with humidity at t seconds.
struct ClimatePoll {
    double t;
    double temp, setTemp;
    double humidity, setHumidity;
};

PollFacts Climate(const ClimatePoll& p)
{
    PollFacts f = Temp({p.t, p.temp, p.setTemp});
    f.currentHumidity = p.humidity;
    f.setHumidity = p.setHumidity;
    return f;
}

ChamberCondition Held(const char* text, int delay)
{
    ChamberCondition c;
    EXPECT_TRUE(ParseStabilityCondition(QString::fromUtf8(text), &c.condition, nullptr)) << text;
    c.delay = delay;
    return c;
}

// "temperature start@64": the kind too, the condition watches both.
std::vector<std::string> FeedKinds(AlarmRules& rules, const std::vector<PollFacts>& polls)
{
    std::vector<std::string> out;
    for (const PollFacts& f : polls)
        for (const AlarmEvent& e : rules.Feed(f))
            out.push_back(AlarmKindKey(e.alarm.kind).toStdString() + " " + Describe(e));
    return out;
}

template <class F>
std::vector<PollFacts> ClimateEvery4s(double from, double to, F poll)
{
    std::vector<PollFacts> polls;
    for (double t = from; t <= to + 1e-9; t += 4)
        polls.push_back(Climate(poll(t)));
    return polls;
}

}  // namespace

TEST(AlarmRulesTest, ConditionCases)
{
    struct Case {
        const char* name;
        const char* condition;
        int delay;
        bool armed;
        std::vector<PollFacts> polls;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        // Someone set 30 °C by hand; the chamber follows its new set point at
        // 2 °C a minute and holds it: at its own set point, out of 25/60.
        // Outside from 27.1 °C (64 s), the alarm once the 60 s have passed.
        {"set point changed by hand to 30",
         "25/60",
         60,
         false,
         ClimateEvery4s(0, 400, [](double t) { return ClimatePoll{t, std::min(25.0 + t / 30.0, 30.0), 30, 60, 60}; }),
         {"temperature start@128"}},
        {"inside the band while reporting another set point",
         "25/60",
         60,
         false,
         ClimateEvery4s(0, 400, [](double t) { return ClimatePoll{t, 26.9, 30, 64.0, 70}; }),
         {}},
        {"a door opened for less than the delay",
         "25/60",
         60,
         true,
         Join(Join(ClimateEvery4s(0, 40, [](double t) { return ClimatePoll{t, 25.1, 25, 60, 60}; }),
                   ClimateEvery4s(44, 92, [](double t) { return ClimatePoll{t, 21.0, 25, 40, 60}; })),
              ClimateEvery4s(96, 400, [](double t) { return ClimatePoll{t, 25.0, 25, 60, 60}; })),
         {}},
        {"the door left open longer ends when it is shut",
         "25/60",
         60,
         true,
         Join(ClimateEvery4s(0, 100, [](double t) { return ClimatePoll{t, 21.0, 25, 59, 60}; }),
              ClimateEvery4s(104, 120, [](double t) { return ClimatePoll{t, 24.0, 25, 59, 60}; })),
         {"temperature start@64", "temperature end@104"}},
        // Under the set point rule each new set point starts the wait again;
        // a condition counts every second outside it.
        {"set points changed during the wait do not restart it",
         "25/60",
         60,
         true,
         ClimateEvery4s(0, 100, [](double t) { return ClimatePoll{t, 30.0, 30.0 + t / 4, 60, 60}; }),
         {"temperature start@64"}},
        {"a reading on its way back still counts",
         "25/60",
         60,
         true,
         ClimateEvery4s(0, 100, [](double t) { return ClimatePoll{t, 40.0 - t / 10, 25, 60, 60}; }),
         {"temperature start@64"}},
        {"humidity left by hand: alarms against the condition's 60 %",
         "30/65",
         20,
         false,
         ClimateEvery4s(0, 40, [](double t) { return ClimatePoll{t, 30, 30, 45, 0}; }),
         {"humidity start@24"}},
        {"humidity under 5 °C is never alarmed",
         "5 °C",
         0,
         false,
         ClimateEvery4s(0, 200, [](double t) { return ClimatePoll{t, 6.5, 6, 90, 40}; }),
         {}},
        {"5 °C holds its ±3 °C",
         "5 °C",
         0,
         false,
         ClimateEvery4s(0, 8, [](double t) { return ClimatePoll{t, 8.1, 5, 90, 40}; }),
         {"temperature start@4"}},
        {"a custom condition's own tolerances",
         "25±0.5/60±2",
         10,
         false,
         ClimateEvery4s(0, 20, [](double t) { return ClimatePoll{t, 25.4, 25, 62.5, 60}; }),
         {"humidity start@12"}},
    };
    for (const Case& c : cases) {
        AlarmRules rules;
        rules.SetDeviationArmed(c.armed, 0);
        EXPECT_TRUE(rules.SetCondition(Held(c.condition, c.delay), 0).empty()) << c.name;
        EXPECT_EQ(FeedKinds(rules, c.polls), c.expected) << c.name;
    }
}

TEST(AlarmRulesTest, ConditionAlarmNamesTheConditionAndItsSetPoint)
{
    AlarmRules rules;
    rules.SetCondition(Held("25/60", 0), 0);
    rules.Feed(Climate({0, 30.0, 30, 49.0, 60}));
    const auto events = rules.Feed(Climate({4, 30.2, 30, 48.5, 60}));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].alarm.text, QStringLiteral("Температура вне условия 25/60: 30.2 °C при 25±2 °C"));
    EXPECT_DOUBLE_EQ(events[0].alarm.setPoint, 25);
    EXPECT_DOUBLE_EQ(events[0].alarm.value, 30.2);
    EXPECT_EQ(events[1].alarm.text, QStringLiteral("Влажность вне условия 25/60: 48.5 % при 60±5 %"));
    EXPECT_DOUBLE_EQ(events[1].alarm.setPoint, 60);
    // The farthest reading is measured from the condition, not from the chamber's set point.
    rules.Feed(Climate({8, 31.5, 31.5, 55, 60}));
    rules.Feed(Climate({12, 29.0, 29.0, 55, 60}));
    EXPECT_DOUBLE_EQ(rules.Alarms()[0].worst, 31.5);
    EXPECT_DOUBLE_EQ(rules.Alarms()[0].setPoint, 25);

    AlarmRules custom;
    custom.SetCondition(Held("8±1.5", 0), 0);
    custom.Feed(Climate({0, 10, 8, 45, 0}));
    const auto own = custom.Feed(Climate({4, 10, 8, 45, 0}));
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].alarm.text, QStringLiteral("Температура вне условия 8±1.5: 10.0 °C при 8±1.5 °C"));
}

TEST(AlarmRulesTest, ConditionWatchesWhateverTheArmingAndItsChangesStartAfresh)
{
    AlarmSettings s;
    s.temperatureDelay = 0;
    AlarmRules rules(s);
    rules.SetDeviationArmed(false, 0);
    rules.SetCondition(Held("25/60", 10), 0);
    EXPECT_TRUE(rules.DeviationWatched());
    EXPECT_EQ(FeedKinds(rules, ClimateEvery4s(0, 12, [](double t) { return ClimatePoll{t, 22.0, 22, 60, 60}; })),
              (std::vector<std::string>{"temperature start@12"}));
    // A program that starts and ends there changes nothing of the condition's watch.
    EXPECT_TRUE(rules.SetDeviationArmed(true, 13000).empty());
    EXPECT_TRUE(rules.SetDeviationArmed(false, 14000).empty());
    EXPECT_EQ(rules.ActiveCount(AlarmKind::Temperature), 1);
    // The same condition again is no change.
    EXPECT_TRUE(rules.SetCondition(Held("25/60", 10), 15000).empty());
    // Another one: the alarm ends, the wait starts again against 30/65.
    std::vector<std::string> ended;
    for (const AlarmEvent& e : rules.SetCondition(Held("30/65", 10), 16000))
        ended.push_back(Describe(e));
    EXPECT_EQ(ended, (std::vector<std::string>{"end@16"}));
    EXPECT_EQ(FeedKinds(rules, ClimateEvery4s(20, 32, [](double t) { return ClimatePoll{t, 22.0, 22, 65, 65}; })),
              (std::vector<std::string>{"temperature start@32"}));
    // No condition any more, disarmed: nothing watches the deviations.
    ended.clear();
    for (const AlarmEvent& e : rules.SetCondition(std::nullopt, 36000))
        ended.push_back(Describe(e));
    EXPECT_EQ(ended, (std::vector<std::string>{"end@36"}));
    EXPECT_FALSE(rules.DeviationWatched());
    EXPECT_TRUE(FeedKinds(rules, ClimateEvery4s(40, 100, [](double t) { return ClimatePoll{t, 22.0, 30, 65, 65}; })).empty());
    // Armed again, the set point rule as before: the chamber's own 30 °C, the settings' delay.
    rules.SetDeviationArmed(true, 104000);
    EXPECT_EQ(FeedKinds(rules, ClimateEvery4s(104, 108, [](double t) { return ClimatePoll{t, 22.0, 30, 65, 65}; })),
              (std::vector<std::string>{"temperature start@108"}));
    EXPECT_EQ(rules.Alarms().back().text, QStringLiteral("Температура вне допуска"));
    EXPECT_DOUBLE_EQ(rules.Alarms().back().setPoint, 30);
}

TEST(AlarmRulesTest, ConditionKeepsTheKindSwitches)
{
    AlarmSettings s;
    s.temperatureOn = false;
    AlarmRules rules(s);
    rules.SetCondition(Held("25/60", 0), 0);
    EXPECT_EQ(FeedKinds(rules, ClimateEvery4s(0, 8, [](double t) { return ClimatePoll{t, 30, 30, 40, 40}; })),
              (std::vector<std::string>{"humidity start@4"}));
    s.humidityOn = false;
    EXPECT_EQ(rules.SetSettings(s, 9000).size(), 1u);
    EXPECT_TRUE(FeedKinds(rules, ClimateEvery4s(12, 40, [](double t) { return ClimatePoll{t, 30, 30, 40, 40}; })).empty());
}

TEST(AlarmRulesTest, ConditionKeysRead)
{
    const auto preset = [](const char* name, int delay) { return Held(name, delay); };
    struct Case {
        const char* name;
        QMap<QString, QString> values;
        QStringList lines;
        std::map<ChamberKey, ChamberCondition> expected;
        QStringList refused;
    };
    const QStringList desk{QString()};
    const QStringList ab{QStringLiteral("a"), QStringLiteral("b")};
    const std::vector<Case> cases = {
        {"a preset with its delay", {{"condition.3", "25/60"}, {"conditionDelay.3", "600"}}, desk,
         {{{QString(), 3}, preset("25/60", 600)}}, {}},
        {"the delay's default", {{"condition.250", "40/75"}}, desk, {{{QString(), 250}, preset("40/75", 900)}}, {}},
        {"the refrigerator, as written with or without its unit",
         {{"condition.1", "5 °C"}, {"condition.2", "5"}, {"condition.4", "5C"}},
         desk,
         {{{QString(), 1}, preset("5 °C", 900)}, {{QString(), 2}, preset("5 °C", 900)},
          {{QString(), 4}, preset("5 °C", 900)}},
         {}},
        {"a custom one, decimal comma and +-", {{"condition.7", "22,5+-1/50+-3"}, {"conditionDelay.7", "0"}}, desk,
         {{{QString(), 7}, preset("22.5±1/50±3", 0)}}, {}},
        {"custom figures of a preset are the preset", {{"condition.7", "30±2/65±5"}}, desk,
         {{{QString(), 7}, preset("30/65", 900)}}, {}},
        {"lines of the recorder",
         {{"condition.a.3", "25/60"}, {"condition.b.3", "30/75"}, {"conditionDelay.b.3", "1800"}},
         ab,
         {{{QStringLiteral("a"), 3}, preset("25/60", 900)}, {{QStringLiteral("b"), 3}, preset("30/75", 1800)}},
         {}},
        {"not a condition", {{"condition.3", "25/70"}}, desk, {}, {"condition.3=25/70"}},
        {"no tolerance", {{"condition.3", "25±0/60±5"}}, desk, {}, {"condition.3=25±0/60±5"}},
        {"humidity beyond 100 %", {{"condition.3", "25±2/110±5"}}, desk, {}, {"condition.3=25±2/110±5"}},
        {"empty", {{"condition.3", ""}}, desk, {}, {"condition.3="}},
        {"an address beyond 250", {{"condition.251", "25/60"}}, desk, {}, {"condition.251=25/60"}},
        {"no address", {{"condition.", "25/60"}}, desk, {}, {"condition.=25/60"}},
        {"an address of letters", {{"condition.x", "25/60"}}, desk, {}, {"condition.x=25/60"}},
        {"a line the desktop does not have", {{"condition.a.3", "25/60"}}, desk, {}, {"condition.a.3=25/60"}},
        {"an unknown line", {{"condition.c.3", "25/60"}}, ab, {}, {"condition.c.3=25/60"}},
        {"no line in the recorder", {{"condition.3", "25/60"}}, ab, {}, {"condition.3=25/60"}},
        {"too many parts", {{"condition.a.b.3", "25/60"}}, ab, {}, {"condition.a.b.3=25/60"}},
        {"a delay that does not read keeps the default",
         {{"condition.3", "25/60"}, {"conditionDelay.3", "15m"}},
         desk,
         {{{QString(), 3}, preset("25/60", 900)}},
         {"conditionDelay.3=15m"}},
        {"a delay beyond a day",
         {{"condition.3", "25/60"}, {"conditionDelay.3", "86401"}},
         desk,
         {{{QString(), 3}, preset("25/60", 900)}},
         {"conditionDelay.3=86401"}},
        {"a delay without its condition", {{"conditionDelay.3", "600"}}, desk, {}, {"conditionDelay.3=600"}},
        {"a delay whose condition was refused",
         {{"condition.3", "25"}, {"conditionDelay.3", "600"}},
         desk,
         {},
         {"condition.3=25", "conditionDelay.3=600"}},
    };
    for (const Case& c : cases) {
        QStringList refused;
        const AlarmSettings s = AlarmSettingsFromText(c.values, &refused, c.lines);
        EXPECT_EQ(refused, c.refused) << c.name;
        EXPECT_EQ(s.conditions.size(), c.expected.size()) << c.name;
        for (const auto& [chamber, condition] : c.expected) {
            const ChamberCondition* got = s.ConditionOf(chamber);
            ASSERT_NE(got, nullptr) << c.name << ": " << chamber.first.toStdString() << "/" << chamber.second;
            EXPECT_EQ(*got, condition) << c.name << ": " << StabilityConditionText(got->condition).toStdString();
        }
        // The bands beside them are untouched.
        EXPECT_TRUE(s.SameBands(AlarmSettings{})) << c.name;
    }
}

TEST(AlarmRulesTest, ConditionKeysAreWrittenBackAndARemovedOneLeavesNone)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Calvetra.conf"));
    AlarmSettings s;
    s.temperatureBand = 3;
    s.conditions[{QString(), 3}] = Held("25/60", 900);
    s.conditions[{QString(), 12}] = Held("5 °C", 90);
    s.conditions[{QString(), 40}] = Held("22.5±1/50±3", 0);
    {
        QSettings store(path, QSettings::IniFormat);
        WriteAlarmSettings(store, s);
    }
    {
        QSettings store(path, QSettings::IniFormat);
        QStringList refused;
        EXPECT_EQ(ReadAlarmSettings(store, &refused), s);
        EXPECT_TRUE(refused.isEmpty()) << refused.join(u' ').toStdString();
    }
    // As a person reads the file.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    for (const char* line : {"condition.3=25/60", "conditionDelay.3=900", "condition.12=5 °C", "conditionDelay.12=90",
                             "condition.40=22.5±1/50±3", "conditionDelay.40=0", "temperatureBand=3"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(line))) << line << "\n" << text.toStdString();

    s.conditions.erase({QString(), 12});
    {
        QSettings store(path, QSettings::IniFormat);
        WriteAlarmSettings(store, s);
    }
    QSettings store(path, QSettings::IniFormat);
    EXPECT_EQ(ReadAlarmSettings(store, nullptr), s);
    EXPECT_FALSE(store.contains(QStringLiteral("alarms/condition.12")));
    EXPECT_FALSE(store.contains(QStringLiteral("alarms/conditionDelay.12")));
    EXPECT_TRUE(store.contains(QStringLiteral("alarms/condition.3")));
}
