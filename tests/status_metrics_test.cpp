// The watched status in its two text forms, and the listen address.
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "monitoring/StatusMetrics.h"
#include "support/MetricsParse.h"

namespace {

WatchedStatus Running()
{
    WatchedStatus s;
    s.chamberAddress = 12;
    s.port = "COM3";
    s.reading = true;
    s.currentTemp = -12.3;
    s.setTemp = 25;
    s.currentHumidity = 60.5;
    s.setHumidity = 70;
    s.program = 3;
    s.step = 2;
    s.steps = 5;
    s.cycle = 10;
    s.cycles = 100;
    s.link = LinkState::Up;
    s.pollsAnswered = 1234567;
    s.pollsUnanswered = 3;
    s.lastAnswered = 1'000'000;
    s.alarmsTemperature = 1;
    s.alarmsProgramEnd = 2;
    return s;
}

}  // namespace

TEST(StatusMetricsTest, EveryValueIsASampleLabelledWithChamberAndPort)
{
    const ParsedMetrics m = ParseMetrics(MetricsText(Running(), 1'004'500));
    EXPECT_TRUE(m.errors.isEmpty()) << m.errors.join('\n').toStdString();
    const QString where = R"(address="12",port="COM3")";
    struct Expect {
        const char* name;
        const char* extra;
        double value;
    };
    const std::vector<Expect> expected = {
        {"calvetra_temperature_celsius", "", -12.3},
        {"calvetra_temperature_setpoint_celsius", "", 25},
        {"calvetra_humidity_relative", "", 60.5},
        {"calvetra_humidity_setpoint_relative", "", 70},
        {"calvetra_program", "", 3},
        {"calvetra_step", "", 2},
        {"calvetra_steps", "", 5},
        {"calvetra_cycle", "", 10},
        {"calvetra_cycles", "", 100},
        {"calvetra_reading", "", 1},
        {"calvetra_link_up", "", 1},
        {"calvetra_polls_answered_total", "", 1234567},
        {"calvetra_polls_unanswered_total", "", 3},
        {"calvetra_seconds_since_last_answer", "", 4.5},
        {"calvetra_alarms_active", R"(kind="temperature")", 1},
        {"calvetra_alarms_active", R"(kind="humidity")", 0},
        {"calvetra_alarms_active", R"(kind="link")", 0},
        {"calvetra_alarms_active", R"(kind="program_end")", 2},
    };
    for (const Expect& e : expected) {
        double v = 0;
        ASSERT_TRUE(m.Find(e.name, where, &v) || m.Find(e.name, e.extra, &v)) << e.name << " " << e.extra;
        if (*e.extra) {
            ASSERT_TRUE(m.Find(e.name, e.extra, &v)) << e.name;
        }
        EXPECT_DOUBLE_EQ(v, e.value) << e.name << " " << e.extra;
    }
    for (auto it = m.samples.begin(); it != m.samples.end(); ++it)
        EXPECT_TRUE(it.key().contains(where)) << it.key().toStdString();
    EXPECT_EQ(m.types.value("calvetra_polls_answered_total"), "counter");
    EXPECT_EQ(m.types.value("calvetra_temperature_celsius"), "gauge");
}

TEST(StatusMetricsTest, UnknownValuesAreLeftOutNotShownAsZero)
{
    WatchedStatus s;
    s.port = "COM1";
    const ParsedMetrics m = ParseMetrics(MetricsText(s, 5000));
    EXPECT_TRUE(m.errors.isEmpty());
    for (const char* absent : {"calvetra_temperature_celsius", "calvetra_humidity_relative", "calvetra_program",
                               "calvetra_seconds_since_last_answer"})
        EXPECT_FALSE(m.types.contains(absent)) << absent;
    double link = 0;
    ASSERT_TRUE(m.Find("calvetra_link_up", "", &link));
    EXPECT_TRUE(std::isnan(link));
}

TEST(StatusMetricsTest, LabelValuesAreEscaped)
{
    WatchedStatus s = Running();
    s.port = "a\"b\\c\nd";
    const QByteArray text = MetricsText(s, 0);
    EXPECT_TRUE(text.contains(R"(port="a\"b\\c\nd")")) << text.constData();
    EXPECT_TRUE(ParseMetrics(text).errors.isEmpty());
}

TEST(StatusMetricsTest, PromtoolAcceptsTheText)
{
    for (const WatchedStatus& s : {Running(), WatchedStatus{}}) {
        bool available = false;
        const QString complaints = PromtoolCheck(MetricsText(s, 2'000'000), &available);
        if (!available)
            GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
        EXPECT_TRUE(complaints.isEmpty()) << complaints.toStdString();
    }
}

TEST(StatusMetricsTest, JsonCarriesTheSameFacts)
{
    const QJsonObject o = QJsonDocument::fromJson(StatusJson(Running(), 1'004'500)).object();
    EXPECT_EQ(o["address"].toInt(), 12);
    EXPECT_EQ(o["port"].toString(), "COM3");
    EXPECT_DOUBLE_EQ(o["temperature"].toDouble(), -12.3);
    EXPECT_DOUBLE_EQ(o["humidity_setpoint"].toDouble(), 70);
    EXPECT_EQ(o["step"].toInt(), 2);
    EXPECT_EQ(o["cycles"].toInt(), 100);
    EXPECT_EQ(o["link"].toString(), "up");
    EXPECT_EQ(o["polls_answered"].toDouble(), 1234567);
    EXPECT_DOUBLE_EQ(o["seconds_since_last_answer"].toDouble(), 4.5);
    EXPECT_EQ(o["alarms_active"].toObject()["program_end"].toInt(), 2);
    const QJsonObject empty = QJsonDocument::fromJson(StatusJson(WatchedStatus{}, 0)).object();
    EXPECT_TRUE(empty["temperature"].isNull());
    EXPECT_TRUE(empty["seconds_since_last_answer"].isNull());
    EXPECT_EQ(empty["link"].toString(), "unknown");
}

TEST(StatusMetricsTest, ListenAddressCases)
{
    struct Case {
        const char* text;
        bool ok;
        const char* address;
        int port;
    };
    const std::vector<Case> cases = {
        {"9100", true, "127.0.0.1", 9100},
        {" 9100 ", true, "127.0.0.1", 9100},
        {"0.0.0.0:9100", true, "0.0.0.0", 9100},
        {"192.168.1.20:80", true, "192.168.1.20", 80},
        {"[::1]:9100", true, "::1", 9100},
        {"[::]:65535", true, "::", 65535},
        {"65536", false, "", 0},
        {"0", false, "", 0},
        {"-1", false, "", 0},
        {"+80", false, "", 0},
        {"", false, "", 0},
        {"127.0.0.1", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"localhost:9100", false, "", 0},
        {"300.1.1.1:9100", false, "", 0},
        {"[::1]9100", false, "", 0},
        {"::1:9100", false, "", 0},
        {"9100abc", false, "", 0},
    };
    for (const Case& c : cases) {
        const ListenAddress a = ParseListenAddress(c.text);
        EXPECT_EQ(a.ok, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a.address, c.address) << c.text;
            EXPECT_EQ(a.port, c.port) << c.text;
        } else {
            EXPECT_FALSE(a.error.isEmpty()) << c.text;
        }
    }
}
