// A chamber that is no longer read, and values no longer measured, without
// windows: the read marks and their periods, the "нет опроса" rule, and
// which series /metrics still carries.
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "link/Waits.h"
#include "monitoring/Alarms.h"
#include "monitoring/Overview.h"
#include "monitoring/ReadWatch.h"
#include "monitoring/StatusMetrics.h"
#include "support/MetricsParse.h"

namespace {

using std::chrono::milliseconds;

// The same read marks at a time of the test's choosing.
ReadMark MarkAt(long long msAgo, int periodMs, ReadClock::time_point now)
{
    return ReadMark{now - milliseconds(msAgo), periodMs};
}

WatchedStatus Answered(int address, qint64 lastAnswered)
{
    WatchedStatus s;
    s.chamberAddress = address;
    s.port = "COM1";
    s.reading = true;
    s.currentTemp = 22;
    s.setTemp = 45;
    s.currentHumidity = 60;
    s.setHumidity = 70;
    s.program = 3;
    s.step = 2;
    s.steps = 5;
    s.cycle = 1;
    s.cycles = 10;
    s.link = LinkState::Up;
    s.pollsAnswered = 7;
    s.lastAnswered = lastAnswered;
    return s;
}

const char* const kValueFamilies[] = {
    "calvetra_temperature_celsius", "calvetra_temperature_setpoint_celsius", "calvetra_humidity_relative",
    "calvetra_humidity_setpoint_relative", "calvetra_program", "calvetra_step", "calvetra_steps", "calvetra_cycle",
    "calvetra_cycles"};

}  // namespace

TEST(ReadWatchTest, OverdueOnlyAfterThreeWholePeriods)
{
    const ReadClock::time_point now = ReadClock::now();
    struct Case {
        long long ageMs;
        int periodMs;
        bool overdue;
    };
    const Case cases[] = {
        {0, 4000, false},     {11999, 4000, false}, {12000, 4000, false},
        {12001, 4000, true},  {600000, 4000, true}, {47999, 16000, false},
        {48001, 16000, true}, {179000, 60000, false}, {181000, 60000, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadOverdue(MarkAt(c.ageMs, c.periodMs, now), now), c.overdue) << c.ageMs << " ms of " << c.periodMs;
        EXPECT_EQ(ReadAgeMs(MarkAt(c.ageMs, c.periodMs, now), now), c.ageMs);
    }
    // A mark from a moment still to come is no negative age.
    EXPECT_EQ(ReadAgeMs(ReadMark{now + milliseconds(500), 4000}, now), 0);
}

TEST(ReadWatchTest, MarksAreKeptPerAddressAndNeverReadIsNeverOverdue)
{
    ForgetChamberReads();
    const ReadClock::time_point now = ReadClock::now();
    EXPECT_FALSE(LastChamberRead(5));
    EXPECT_FALSE(ChamberReadOverdue(5, now + std::chrono::hours(1)));
    NoteChamberRead(ReadSource::Overview, 5, 4000, now - milliseconds(13000));
    NoteChamberRead(ReadSource::Overview, 17, 4000, now - milliseconds(1000));
    NoteChamberRead(ReadSource::Overview, 251, 4000, now - milliseconds(99000));  // no such address
    NoteChamberRead(ReadSource::Poll, -1, 4000, now - milliseconds(99000));
    EXPECT_TRUE(ChamberReadOverdue(5, now));
    EXPECT_FALSE(ChamberReadOverdue(17, now));
    EXPECT_FALSE(LastChamberRead(251));
    // A newer read of the same reader replaces the old one, period and all.
    NoteChamberRead(ReadSource::Overview, 5, 16000, now - milliseconds(20000));
    ASSERT_TRUE(LastChamberRead(5));
    EXPECT_EQ(LastChamberRead(5)->periodMs, 16000);
    EXPECT_FALSE(ChamberReadOverdue(5, now));
    ForgetChamberReads();
    EXPECT_FALSE(LastChamberRead(17));
}

// A chamber both polled and read by the overview is unread only once
// neither reads it in time; the mark's age is always the newest read's.
TEST(ReadWatchTest, ChamberOfTwoReadersIsUnreadWhenBothAreOverdue)
{
    struct Case {
        const char* name;
        long long pollAgo;  // < 0: no poll read
        int pollPeriod;
        long long overviewAgo;
        int overviewPeriod;
        long long age;
        bool overdue;
    };
    const Case cases[] = {
        {"poll alone, in time", 11000, 4000, -1, 0, 11000, false},
        {"poll alone, overdue", 13000, 4000, -1, 0, 13000, true},
        // Reading switched off: the old poll reads say nothing while the
        // overview, asked once a minute on purpose, is still in time.
        {"old poll, backed-off overview in time", 100000, 4000, 40000, 60000, 40000, false},
        {"old poll, backed-off overview overdue", 300000, 4000, 181000, 60000, 181000, true},
        // The overview starved by a silent poll: the poll reads it.
        {"overview starved, poll in time", 500, 4000, 30000, 4000, 500, false},
        // The newest read is the poll's, but the overview's allows longer.
        {"newest poll overdue, overview still in time", 13000, 4000, 40000, 60000, 13000, false},
        {"both overdue", 13000, 4000, 13500, 4000, 13000, true},
    };
    const ReadClock::time_point now = ReadClock::now();
    for (const Case& c : cases) {
        ForgetChamberReads();
        if (c.pollAgo >= 0)
            NoteChamberRead(ReadSource::Poll, 7, c.pollPeriod, now - milliseconds(c.pollAgo));
        if (c.overviewAgo >= 0)
            NoteChamberRead(ReadSource::Overview, 7, c.overviewPeriod, now - milliseconds(c.overviewAgo));
        const std::optional<ReadMark> mark = LastChamberRead(7);
        ASSERT_TRUE(mark) << c.name;
        EXPECT_EQ(ReadAgeMs(*mark, now), c.age) << c.name;
        EXPECT_EQ(ReadOverdue(*mark, now), c.overdue) << c.name;
        EXPECT_EQ(ChamberReadOverdue(7, now), c.overdue) << c.name;
        // The age and the period on /metrics tell the same.
        EXPECT_EQ(ReadAgeMs(*mark, now) > 3LL * mark->periodMs, c.overdue) << c.name;
    }
    ForgetChamberReads();
}

// A silent chamber asked less often on purpose never looks unread by that
// alone: each next read comes after its pause and at most one cycle more
// (the overview asks at the start of a cycle), and before that the pause's
// three periods have not passed.
TEST(ReadWatchTest, BackoffAloneNeverLooksUnread)
{
    SetTimeScale(1.0);
    const ReadClock::time_point start = ReadClock::now();
    ReadClock::time_point at = start;
    for (int unanswered = 1; unanswered <= 30; ++unanswered) {
        const int pause = std::min(SilentPauseMs(unanswered, kOverviewCycleMs), kSilentAskAtLeastMs);
        // The latest the next read comes: the pause, a cycle, the read itself.
        const ReadClock::time_point next = at + milliseconds(pause + kOverviewCycleMs + kMaxOverviewTimeoutMs);
        EXPECT_FALSE(ReadOverdue(ReadMark{at, OverviewReadPeriodMs(pause)}, next))
            << unanswered << " unanswered, pause " << pause;
        at = next;
    }
    // An answering chamber's period is the poll's 4 s.
    EXPECT_EQ(OverviewReadPeriodMs(0), kChamberPeriodMs);
    EXPECT_TRUE(ReadOverdue(ReadMark{start, OverviewReadPeriodMs(0)}, start + milliseconds(12001)));
}

TEST(ReadWatchTest, PeriodsFollowTheTimeScale)
{
    SetTimeScale(0.05);
    EXPECT_EQ(ChamberPeriodMs(), 200);
    EXPECT_EQ(OverviewReadPeriodMs(100), 200);
    EXPECT_EQ(OverviewReadPeriodMs(1500), 1500);
    SetTimeScale(1.0);
    EXPECT_EQ(ChamberPeriodMs(), 4000);
}

TEST(NotReadAlarmTest, RaisedOnceEndedByAReadOrTheWatchdogOrStop)
{
    struct Step {
        enum { Watch, Read, Stop, LinkOff } what;
        bool overdue = false;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> events;  // "start" / "end", in order
        int activeAtEnd;
    };
    const Case cases[] = {
        {"overdue raises it once", {{Step::Watch, true}, {Step::Watch, true}}, {"start"}, 1},
        {"not overdue raises nothing", {{Step::Watch, false}, {Step::Watch, false}}, {}, 0},
        {"a read ends it", {{Step::Watch, true}, {Step::Read}}, {"start", "end"}, 0},
        {"the watchdog ends it when reads came", {{Step::Watch, true}, {Step::Watch, false}}, {"start", "end"}, 0},
        {"reading stopped ends it", {{Step::Watch, true}, {Step::Stop}}, {"start", "end"}, 0},
        {"link alarms off end it and raise no new one",
         {{Step::Watch, true}, {Step::LinkOff}, {Step::Watch, true}},
         {"start", "end"},
         0},
        {"raised again after it ended", {{Step::Watch, true}, {Step::Read}, {Step::Watch, true}},
         {"start", "end", "start"}, 1},
    };
    for (const Case& c : cases) {
        AlarmRules rules;
        std::vector<std::string> seen;
        qint64 t = 1000;
        for (const Step& s : c.steps) {
            std::vector<AlarmEvent> events;
            t += 20000;
            if (s.what == Step::Watch) {
                events = rules.NotRead(s.overdue, t);
            } else if (s.what == Step::Read) {
                PollFacts f;
                f.time = t;
                events = rules.Feed(f);  // unanswered: a read all the same
            } else if (s.what == Step::Stop) {
                events = rules.Stop(t);
            } else {
                AlarmSettings off;
                off.linkOn = false;
                events = rules.SetSettings(off, t);
            }
            for (const AlarmEvent& e : events) {
                seen.push_back(e.type == AlarmEventType::Start ? "start" : "end");
                EXPECT_EQ(e.alarm.kind, AlarmKind::Link) << c.name;
                EXPECT_EQ(e.alarm.text, QStringLiteral("нет опроса")) << c.name;
            }
        }
        EXPECT_EQ(seen, c.events) << c.name;
        EXPECT_EQ(rules.ActiveCount(AlarmKind::Link), c.activeAtEnd) << c.name;
    }
}

TEST(NotReadAlarmTest, StandsBesideTheSilentLinesAlarm)
{
    AlarmRules rules;
    PollFacts silent;
    silent.time = 1000;
    silent.linkLost = true;
    ASSERT_EQ(rules.Feed(silent).size(), 1u);
    // Then the reads stop altogether: a second link alarm in its own words.
    const std::vector<AlarmEvent> raised = rules.NotRead(true, 30000);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].alarm.text, QStringLiteral("нет опроса"));
    EXPECT_EQ(rules.ActiveCount(AlarmKind::Link), 2);
    // A read again, still silent: only "нет опроса" ends.
    silent.time = 40000;
    const std::vector<AlarmEvent> back = rules.Feed(silent);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].type, AlarmEventType::End);
    EXPECT_EQ(back[0].alarm.text, QStringLiteral("нет опроса"));
    EXPECT_EQ(rules.ActiveCount(AlarmKind::Link), 1);
}

// Every value series only while its answer is at most three periods old;
// the ages and the counts stay.
TEST(StaleValuesTest, ValueSeriesOnlyWhileTheAnswerIsFresh)
{
    SetTimeScale(1.0);
    const qint64 answered = 1'000'000'000;
    struct Case {
        const char* name;
        qint64 lastAnswered;
        qint64 now;
        bool values;
    };
    const Case cases[] = {
        {"just answered", answered, answered, true},
        {"three periods old", answered, answered + 12000, true},
        {"a little older", answered, answered + 12001, false},
        {"silent for 820 s", answered, answered + 820000, false},
        {"never answered", 0, answered, false},
    };
    for (const Case& c : cases) {
        WatchedStatus polled = Answered(20, c.lastAnswered);
        WatchedStatus watched = Answered(21, c.lastAnswered);
        if (c.lastAnswered == 0)
            polled.pollsAnswered = watched.pollsAnswered = 0;
        const QByteArray text = MetricsText(polled, {watched}, c.now);
        const ParsedMetrics m = ParseMetrics(text);
        EXPECT_TRUE(m.errors.isEmpty()) << c.name;
        for (const char* address : {"20", "21"}) {
            const QString at = QStringLiteral("address=\"%1\"").arg(QLatin1String(address));
            double v = 0;
            for (const char* family : kValueFamilies)
                EXPECT_EQ(m.Find(family, at, &v), c.values) << c.name << " " << family << " " << address;
            EXPECT_EQ(m.Find("calvetra_seconds_since_last_answer", at, &v), c.lastAnswered > 0) << c.name;
            if (c.lastAnswered > 0) {
                EXPECT_DOUBLE_EQ(v, (c.now - c.lastAnswered) / 1000.0) << c.name;
            }
            EXPECT_TRUE(m.Find("calvetra_polls_answered_total", at, &v)) << c.name;
            EXPECT_TRUE(m.Find("calvetra_link_up", at, &v)) << c.name;
        }
        // The JSON form says the same: values null once no longer fresh.
        const QJsonObject o = QJsonDocument::fromJson(StatusJson(polled, c.now)).object();
        EXPECT_EQ(o["temperature"].isNull(), !c.values) << c.name;
        EXPECT_EQ(o["cycles"].isNull(), !c.values) << c.name;
        EXPECT_EQ(o["polls_answered"].toDouble(), polled.pollsAnswered) << c.name;
    }
    // The window follows the time scale.
    SetTimeScale(0.05);
    EXPECT_TRUE(AnswerFresh(answered, answered + 600));
    EXPECT_FALSE(AnswerFresh(answered, answered + 601));
    SetTimeScale(1.0);
}

TEST(StaleValuesTest, ReadAgeAndPeriodOnlyForAChamberBeingRead)
{
    SetTimeScale(1.0);
    ForgetChamberReads();
    NoteChamberRead(ReadSource::Overview, 20, OverviewReadPeriodMs(24000), ReadClock::now() - milliseconds(30000));
    WatchedStatus s = Answered(20, 1);
    FillReadAge(s);
    ASSERT_TRUE(s.lastReadAgeSeconds && s.readPeriodSeconds);
    EXPECT_GE(*s.lastReadAgeSeconds, 30.0);
    EXPECT_LT(*s.lastReadAgeSeconds, 40.0);
    EXPECT_DOUBLE_EQ(*s.readPeriodSeconds, 24.0);
    const ParsedMetrics m = ParseMetrics(MetricsText(s, 2));
    double v = 0;
    ASSERT_TRUE(m.Find("calvetra_chamber_last_read_age_seconds", "address=\"20\"", &v));
    EXPECT_GE(v, 30.0);
    ASSERT_TRUE(m.Find("calvetra_chamber_read_period_seconds", "address=\"20\"", &v));
    EXPECT_DOUBLE_EQ(v, 24.0);
    EXPECT_EQ(m.types.value("calvetra_chamber_last_read_age_seconds"), "gauge");
    const QJsonObject o = QJsonDocument::fromJson(StatusJson(s, 2)).object();
    EXPECT_GE(o["last_read_age_seconds"].toDouble(), 30.0);
    EXPECT_DOUBLE_EQ(o["read_period_seconds"].toDouble(), 24.0);

    // Reading switched off, or never read: no age that could raise an alert.
    s.reading = false;
    FillReadAge(s);
    EXPECT_FALSE(s.lastReadAgeSeconds);
    EXPECT_FALSE(ParseMetrics(MetricsText(s, 2)).types.contains("calvetra_chamber_last_read_age_seconds"));
    WatchedStatus never = Answered(33, 1);
    FillReadAge(never);
    EXPECT_FALSE(never.lastReadAgeSeconds);
    EXPECT_TRUE(QJsonDocument::fromJson(StatusJson(never, 2)).object()["last_read_age_seconds"].isNull());
    ForgetChamberReads();
}

// One label set, one series: the polled chamber and a watched chamber of the
// same address never both appear.
TEST(StaleValuesTest, PolledAndWatchedChamberOfOneAddressGiveOneSeries)
{
    SetTimeScale(1.0);
    const qint64 now = 1'000'000'000;
    struct Case {
        const char* name;
        bool polledReading;
        int watchedAddress;
        double reading;  // calvetra_reading of address 20
    };
    const Case cases[] = {
        {"reading on: the poll's series", true, 20, 1},
        {"reading off: the overview's series", false, 20, 1},
        {"reading off, another address watched", false, 21, 0},
    };
    for (const Case& c : cases) {
        WatchedStatus polled = Answered(20, now);
        polled.reading = c.polledReading;
        polled.pollsAnswered = 111;
        WatchedStatus watched = Answered(c.watchedAddress, now);
        watched.pollsAnswered = 222;
        const QByteArray text = MetricsText(polled, {watched}, now);
        EXPECT_EQ(text.count("calvetra_reading{address=\"20\""), 1) << c.name << "\n" << text.constData();
        EXPECT_EQ(text.count("calvetra_polls_answered_total{address=\"20\""), 1) << c.name;
        double v = 0;
        const ParsedMetrics m = ParseMetrics(text);
        ASSERT_TRUE(m.Find("calvetra_reading", "address=\"20\"", &v)) << c.name;
        EXPECT_EQ(v, c.reading) << c.name;
    }
}
