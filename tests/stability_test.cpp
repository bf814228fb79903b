// Storage conditions read and written back; excursions, band times and gaps
// of small logs against figures worked out by hand; the mean kinetic
// temperature against a published example and hand cases; the rolling 30-day
// figure against the batch one; the excursions' CSV read back.
#include <gtest/gtest.h>

#include <QDateTime>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "monitoring/Csv.h"
#include "monitoring/Stability.h"

namespace {

constexpr qint64 kMinute = 60 * 1000;
constexpr qint64 kHour = 60 * kMinute;
constexpr qint64 kDay = 24 * kHour;
// A whole hour, so that hour buckets start on records.
constexpr qint64 kT0 = 1780000000000LL / kHour * kHour;

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

// ---- Excursions --------------------------------------------------------

struct Rec {
    qint64 second;  // after kT0
    double t;
    double rh;
};
qint64 M(double minutes) { return static_cast<qint64>(minutes * 60); }
QVector<LogRecord> RecordsOf(const std::vector<Rec>& rows)
{
    QVector<LogRecord> records;
    for (const Rec& r : rows) {
        LogRecord record;
        record.line = records.size() + 1;
        record.time = kT0 + r.second * 1000;
        record.currentTemp = r.t;
        record.currentHumidity = r.rh;
        records.append(record);
    }
    return records;
}
RecordSpan All(const QVector<LogRecord>& records) { return {0, static_cast<int>(records.size()) - 1}; }
// A record a minute from minute 0, at 60 %RH.
std::vector<Rec> Minutes(std::initializer_list<double> temperatures)
{
    std::vector<Rec> rows;
    for (double t : temperatures)
        rows.push_back({M(rows.size()), t, 60});
    return rows;
}

struct ExpectedExcursion {
    qint64 startS, endS;  // seconds after kT0
    double durationMin;
    double extreme;
    qint64 extremeS;
    double mean;
    int records;
    bool shortOne, afterGap, atGap, fromStart, open;
};
struct ExpectedQuantity {
    double inMin, outMin, noValueMin;
    std::vector<ExpectedExcursion> excursions;
};
struct ExcursionCase {
    const char* name;
    std::vector<Rec> rows;
    const char* condition;
    double delayMin;
    qint64 fromS;  // the span: records from this second on
    double gapMin;
    int clockBacks;
    ExpectedQuantity temperature;
    ExpectedQuantity humidity;
};

void ExpectQuantity(const StabilityQuantityFigures& f, const ExpectedQuantity& e, StabilityQuantity quantity)
{
    EXPECT_EQ(f.inBandMs, M(e.inMin) * 1000);
    EXPECT_EQ(f.outOfBandMs, M(e.outMin) * 1000);
    EXPECT_EQ(f.noValueMs, M(e.noValueMin) * 1000);
    ASSERT_EQ(f.excursions.size(), static_cast<int>(e.excursions.size()));
    for (size_t i = 0; i < e.excursions.size(); ++i) {
        SCOPED_TRACE(i);
        const StabilityExcursion& got = f.excursions[static_cast<int>(i)];
        const ExpectedExcursion& x = e.excursions[i];
        EXPECT_EQ(got.quantity, quantity);
        EXPECT_EQ(got.start, kT0 + x.startS * 1000);
        EXPECT_EQ(got.end, kT0 + x.endS * 1000);
        EXPECT_EQ(got.durationMs, M(x.durationMin) * 1000);
        EXPECT_DOUBLE_EQ(got.extreme, x.extreme);
        EXPECT_EQ(got.extremeTime, kT0 + x.extremeS * 1000);
        EXPECT_NEAR(got.mean, x.mean, 1e-9);
        EXPECT_EQ(got.records, x.records);
        EXPECT_EQ(got.shortOne, x.shortOne);
        EXPECT_EQ(got.startsAfterGap, x.afterGap);
        EXPECT_EQ(got.endsAtGap, x.atGap);
        EXPECT_EQ(got.fromSpanStart, x.fromStart);
        EXPECT_EQ(got.open, x.open);
    }
}

TEST(StabilityExcursions, SmallLogsAgainstFiguresWorkedOutByHand)
{
    const double N = NAN;
    const ExpectedQuantity humidityAllIn9{9, 0, 0, {}};
    const ExcursionCase cases[] = {
        // Out above and below, back at 26 °C; 27.0 is inside by the margin. The
        // extreme is the value farthest from 25, not the highest.
        {"step out and back",
         Minutes({25, 25, 28, 20.5, 28, 26, 25, 25, 27.0, 25}),
         "25/60", 2, 0, 0, 0,
         {6, 3, 0, {{M(2), M(5), 3, 20.5, M(3), 25.5, 3, false, false, false, false, false}}},
         humidityAllIn9},
        // Exactly at the band's edge is inside, though 32.7 − 30.7 comes out a
        // hair above 2 in binary.
        {"at the band's edge",
         {{M(0), 30.7, 30.2}, {M(1), 32.7, 35.2}, {M(2), 28.7, 30.2}, {M(3), 30.7, 30.2}},
         "30,7±2/30,2±5", 5, 0, 0, 0,
         {3, 0, 0, {}},
         {3, 0, 0, {}}},
        // One minute out is a door opening; five minutes, the delay, is not. Of
        // equal extremes the first counts.
        {"spike shorter than the delay",
         Minutes({25, 25, 31, 25, 25, 25, 18, 18, 18, 18, 18, 25, 25}),
         "25/60", 5, 0, 0, 0,
         {6, 6, 0,
          {{M(2), M(3), 1, 31, M(2), 31, 1, true, false, false, false, false},
           {M(6), M(11), 5, 18, M(6), 18, 5, false, false, false, false, false}}},
         {12, 0, 0, {}}},
        // Nothing was recorded from minute 2 to 10: the excursion ends at the
        // last record before the gap, a new one starts after it; neither is
        // called short, though both are.
        {"gap across an excursion",
         {{M(0), 25, 60}, {M(1), 28, 60}, {M(2), 28.5, 60}, {M(10), 29, 60}, {M(11), 29, 60}, {M(12), 25, 60},
          {M(13), 25, 60}},
         "25/60", 5, 0, 8, 0,
         {2, 3, 0,
          {{M(1), M(2), 1, 28.5, M(2), 28.25, 2, false, false, true, false, false},
           {M(10), M(12), 2, 29, M(10), 29, 2, false, true, false, false, false}}},
         {5, 0, 0, {}}},
        // The clock goes back 90 s at the third record: that interval has no
        // duration; then it jumps an hour forward, which is a gap.
        {"clock going back and forward",
         {{0, 25, 60}, {60, 28, 60}, {120, 28, 60}, {30, 28, 60}, {90, 25, 60}, {150, 25, 60}, {3750, 28, 60},
          {3810, 25, 60}},
         "25/60", 5, 0, 60, 1,
         {2, 3, 0,
          {{60, 90, 2, 28, 60, 28, 3, true, false, false, false, false},
           {3750, 3810, 1, 28, 3750, 28, 1, false, true, false, false, false}}},
         {5, 0, 0, {}}},
        // Temperature holds; humidity leaves its band for two minutes. 65.0 is inside.
        {"humidity only",
         {{M(0), 25, 60}, {M(1), 25, 66}, {M(2), 25, 67}, {M(3), 25, 60}, {M(4), 25, 60}, {M(5), 25, 65.0},
          {M(6), 25, 60}},
         "25/60", 5, 0, 0, 0,
         {6, 0, 0, {}},
         {4, 2, 0, {{M(1), M(3), 2, 67, M(2), 66.5, 2, true, false, false, false, false}}}},
        // A condition without humidity leaves humidity alone, however far off.
        {"no humidity kept",
         {{M(0), 5, 10}, {M(1), 5, 95}, {M(2), 9, 95}, {M(3), 5, N}},
         "5 °C", 5, 0, 0, 0,
         {2, 1, 0, {{M(2), M(3), 1, 9, M(2), 9, 1, true, false, false, false, false}}},
         {0, 0, 0, {}}},
        // One minute without a value inside an excursion does not end it (its
        // time is in neither band); three minutes without one are as a gap.
        {"values missing",
         {{M(0), 25, 60}, {M(1), 28, 60}, {M(2), N, N}, {M(3), 28.5, 60}, {M(4), 25, 60}, {M(5), N, 60},
          {M(6), N, 60}, {M(7), N, 60}, {M(8), 28, 60}, {M(9), 28, 60}, {M(10), 25, 60}},
         "25/60", 10, 0, 0, 0,
         {2, 4, 4,
          {{M(1), M(4), 2, 28.5, M(3), 28.25, 2, true, false, false, false, false},
           {M(8), M(10), 2, 28, M(8), 28, 2, false, true, false, false, false}}},
         {9, 0, 1, {}}},
        // A value missing for two records after one out of band cuts the
        // excursion where that record's minute ends.
        {"values missing for as long as a gap",
         {{M(0), 25, 60}, {M(1), 28, 60}, {M(2), N, 60}, {M(3), N, 60}, {M(4), 29, 60}, {M(5), 25, 60}},
         "25/60", 5, 0, 0, 0,
         {1, 2, 2,
          {{M(1), M(2), 1, 28, M(1), 28, 1, false, false, true, false, false},
           {M(4), M(5), 1, 29, M(4), 29, 1, false, true, false, false, false}}},
         {5, 0, 0, {}}},
        // Still out at the last record: open, ending there, not short.
        {"open at the end",
         Minutes({25, 25, 28, 29, 29.5}),
         "25/60", 5, 0, 0, 0,
         {2, 2, 0, {{M(2), M(4), 2, 29.5, M(4), (28 + 29 + 29.5) / 3, 3, false, false, false, false, true}}},
         {4, 0, 0, {}}},
        // The span begins at minute 2, in the middle of an excursion.
        {"span starting inside an excursion",
         Minutes({25, 28, 29, 28, 25, 25}),
         "25/60", 5, M(2), 0, 0,
         {1, 2, 0, {{M(2), M(4), 2, 29, M(2), 28.5, 2, false, false, false, true, false}}},
         {3, 0, 0, {}}},
    };
    for (const ExcursionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QVector<LogRecord> records = RecordsOf(c.rows);
        StabilityCondition condition;
        QString error;
        ASSERT_TRUE(ParseStabilityCondition(QString::fromUtf8(c.condition), &condition, &error));
        const RecordSpan span = RecordsInRange(records, kT0 + c.fromS * 1000, LLONG_MAX);
        // The log of the clock case is not in time order; its span is all of it.
        const RecordSpan used = c.clockBacks > 0 ? All(records) : span;
        const StabilityFigures f = StabilityFiguresOf(records, used, condition, M(c.delayMin) * 1000);
        EXPECT_EQ(f.start, records[used.first].time);
        EXPECT_EQ(f.end, records[used.last].time);
        EXPECT_EQ(f.gapMs, M(c.gapMin) * 1000);
        EXPECT_EQ(f.gaps.size(), c.gapMin > 0 ? 1 : 0);
        EXPECT_EQ(f.clockBacks, c.clockBacks);
        {
            SCOPED_TRACE("temperature");
            EXPECT_TRUE(f.temperature.kept);
            ExpectQuantity(f.temperature, c.temperature, StabilityQuantity::Temperature);
        }
        {
            SCOPED_TRACE("humidity");
            EXPECT_EQ(f.humidity.kept, condition.hasHumidity);
            ExpectQuantity(f.humidity, c.humidity, StabilityQuantity::Humidity);
        }
        // Where the clock only goes forward, each kept quantity's times make up the span.
        if (c.clockBacks == 0)
            for (const StabilityQuantityFigures* q : {&f.temperature, &f.humidity}) {
                if (q->kept) {
                    EXPECT_EQ(q->inBandMs + q->outOfBandMs + q->noValueMs + f.gapMs, f.end - f.start);
                }
            }
    }
}

TEST(StabilityExcursions, ShareOfMeasuredTimeInBand)
{
    const QVector<LogRecord> records =
        RecordsOf({{M(0), 25, NAN}, {M(1), 30, NAN}, {M(2), NAN, NAN}, {M(3), 25, NAN}, {M(4), 25, NAN}});
    const StabilityFigures f = StabilityFiguresOf(records, All(records), Preset("25/60"), 0);
    // In 2 min, out 1 min, 1 min without a value: 2 of the 3 measured.
    EXPECT_DOUBLE_EQ(f.temperature.InBandShare(), 2.0 / 3.0);
    // Humidity was never measured: no share at all, rather than 0 or 100 %.
    EXPECT_TRUE(std::isnan(f.humidity.InBandShare()));
    EXPECT_EQ(f.humidity.noValueMs, 4 * kMinute);

    const StabilityFigures none = StabilityFiguresOf(records, RecordSpan{3, 2}, Preset("25/60"), 0);
    EXPECT_TRUE(none.temperature.excursions.isEmpty());
    EXPECT_EQ(none.temperature.inBandMs + none.temperature.outOfBandMs, 0);
}

// ---- Mean kinetic temperature ------------------------------------------

QVector<LogRecord> TemperaturesEveryMinute(const std::vector<double>& temperatures)
{
    QVector<LogRecord> records;
    for (double t : temperatures) {
        LogRecord r;
        r.time = kT0 + records.size() * kMinute;
        r.currentTemp = t;
        records.append(r);
    }
    return records;
}

TEST(StabilityMeanKinetic, PublishedExampleAndHandCases)
{
    struct Case {
        const char* name;
        std::vector<double> temperatures;
        double expected;
        double tolerance;
        int records;
    };
    const Case cases[] = {
        // The usage example of the mkt aggregate for PostgreSQL
        // (github.com/zelti/mkt, README.md): 2, 2, 5, 8, 8, 8, 8 °C give 6.25 °C.
        {"published example", {2, 2, 5, 8, 8, 8, 8}, 6.25, 0.005, 7},
        {"constant", {25, 25, 25, 25}, 25, 1e-9, 4},
        // ΔH/R = 10000 K. −10000/293.15 = −34.11223, −10000/303.15 = −32.98697;
        // their exponentials 1.531959e-15 and 4.719988e-15 average 3.125973e-15,
        // whose logarithm is −33.39903: 10000 / 33.39903 = 299.40989 K.
        {"20 and 30 °C", {20, 30}, 299.4098869 - 273.15, 1e-6, 2},
        {"no temperature but one", {NAN, 25, NAN}, 25, 1e-9, 1},
        {"refrigerator", {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 12}, NAN, 0, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QVector<LogRecord> records = TemperaturesEveryMinute(c.temperatures);
        const MeanKineticTemperature m = MeanKineticTemperatureOf(records, All(records));
        EXPECT_EQ(m.records, c.records);
        EXPECT_EQ(m.gaps, 0);
        if (!std::isnan(c.expected)) {
            EXPECT_NEAR(m.celsius, c.expected, c.tolerance);
        }
        // Warm spells weigh more: never below the arithmetic mean, never above the maximum.
        const ValueStats stats = StatsOf(records, All(records), &LogRecord::currentTemp);
        EXPECT_GE(m.celsius, stats.mean - 1e-9);
        EXPECT_LE(m.celsius, stats.max + 1e-9);
        if (stats.min < stats.max) {
            EXPECT_GT(m.celsius, stats.mean + 1e-6);
        }
    }
}

TEST(StabilityMeanKinetic, GapsAndRangesAreSaid)
{
    // Minutes 0, 1, then 10, 11, then 20 after a gap of 8 minutes each.
    QVector<LogRecord> records = TemperaturesEveryMinute({20, 30, 20, 30, 25});
    records[2].time = kT0 + 10 * kMinute;
    records[3].time = kT0 + 11 * kMinute;
    records[4].time = kT0 + 20 * kMinute;
    const MeanKineticTemperature m = MeanKineticTemperatureOf(records, All(records));
    EXPECT_EQ(m.records, 5);
    EXPECT_EQ(m.gaps, 2);
    EXPECT_EQ(m.gapMs, 18 * kMinute);
    // The range of the first four: 20 and 30 twice, as the two-value case.
    const MeanKineticTemperature firstFour =
        MeanKineticTemperatureOf(records, RecordsInRange(records, kT0, kT0 + 11 * kMinute));
    EXPECT_EQ(firstFour.records, 4);
    EXPECT_EQ(firstFour.gaps, 1);
    EXPECT_NEAR(firstFour.celsius, 299.4098869 - 273.15, 1e-6);

    const MeanKineticTemperature none = MeanKineticTemperatureOf(records, RecordSpan{2, 1});
    EXPECT_EQ(none.records, 0);
    EXPECT_TRUE(std::isnan(none.celsius));
    const MeanKineticTemperature noValues = MeanKineticTemperatureOf(TemperaturesEveryMinute({NAN, NAN}), {0, 1});
    EXPECT_EQ(noValues.records, 0);
    EXPECT_TRUE(std::isnan(noValues.celsius));
}

// ---- Rolling 30-day figure ---------------------------------------------

// 40 days a record a minute: a daily swing, a hot day, values missing and a
// six-hour stop.
QVector<LogRecord> FortyDays()
{
    QVector<LogRecord> records;
    for (qint64 m = 0; m < 40 * 24 * 60; ++m) {
        if (m >= 12 * 24 * 60 && m < 12 * 24 * 60 + 6 * 60)
            continue;
        LogRecord r;
        r.time = kT0 + m * kMinute;
        const double day = static_cast<double>(m) / (24 * 60);
        r.currentTemp = 25 + 3 * std::sin(2 * M_PI * day) + (m / (24 * 60) == 33 ? 15 : 0);
        if (m % 997 == 0)
            r.currentTemp = NAN;
        records.append(r);
    }
    return records;
}

// The batch figure of the records whose bucket lies in the newest windowMs
// ending at the bucket of newestMs, in whatever order they came.
MeanKineticTemperature BatchOfWindow(const QVector<LogRecord>& fed, qint64 newestMs, qint64 windowMs, qint64 bucketMs)
{
    const qint64 from = (newestMs / bucketMs - windowMs / bucketMs + 1) * bucketMs;
    QVector<LogRecord> inside;
    for (const LogRecord& r : fed)
        if (r.time >= from && r.time <= newestMs)
            inside.append(r);
    return MeanKineticTemperatureOf(inside, All(inside));
}

TEST(StabilityRollingMeanKinetic, AgreesWithTheBatchFigure)
{
    const QVector<LogRecord> records = FortyDays();
    const qint64 window = RollingMeanKineticTemperature::kDefaultWindowMs;
    for (qint64 bucket : {kHour, kMinute}) {
        SCOPED_TRACE(bucket);
        RollingMeanKineticTemperature rolling(window, bucket);
        EXPECT_TRUE(std::isnan(rolling.Celsius()));
        int checked = 0;
        for (int i = 0; i < records.size(); ++i) {
            rolling.Add(records[i].time, records[i].currentTemp);
            // Every 7 h 13 min, so checks fall all over the buckets.
            if (i % 433 != 0 && i + 1 != records.size())
                continue;
            const MeanKineticTemperature batch = BatchOfWindow(records, records[i].time, window, bucket);
            ASSERT_EQ(rolling.Samples(), batch.records) << i;
            if (batch.records == 0)
                ASSERT_TRUE(std::isnan(rolling.Celsius())) << i;  // the first reading had no value
            else
                ASSERT_NEAR(rolling.Celsius(), batch.celsius, 1e-9) << i;
            EXPECT_EQ(rolling.WindowStart(), (records[i].time / bucket - window / bucket + 1) * bucket);
            ++checked;
        }
        EXPECT_GT(checked, 100);
        // A full window at the end: days 10 to 40, less the stop of day 12
        // and the readings without a value.
        EXPECT_GT(rolling.Samples(), 30 * 24 * 60 - 6 * 60 - 60);
        EXPECT_LE(rolling.Samples(), 30 * 24 * 60 - 6 * 60);
    }
}

TEST(StabilityRollingMeanKinetic, ClockGoingBackDoesNotCorruptIt)
{
    const qint64 window = RollingMeanKineticTemperature::kDefaultWindowMs;
    RollingMeanKineticTemperature rolling;
    QVector<LogRecord> fed;
    qint64 newest = LLONG_MIN;
    int checks = 0;
    auto feed = [&](qint64 time, double t) {
        rolling.Add(time, t);
        LogRecord r;
        r.time = time;
        r.currentTemp = t;
        fed.append(r);
        newest = std::max(newest, time);
        if (fed.size() % 311 == 0) {
            // The window holds what the clock put in it, by the samples' times.
            const MeanKineticTemperature batch = BatchOfWindow(fed, newest, window, kHour);
            ASSERT_EQ(rolling.Samples(), batch.records) << fed.size();
            ASSERT_NEAR(rolling.Celsius(), batch.celsius, 1e-9) << fed.size();
            ++checks;
        }
    };
    auto temperature = [](qint64 m) { return 25 + 2 * std::sin(static_cast<double>(m) / 500.0); };
    // 35 days; the clock set back by three hours for a day; then by 29 days
    // for two (those readings belong near the window's far end); then the
    // right time again for four days, while the window's start passes the
    // readings timed 29 days back.
    for (qint64 m = 0; m < 35 * 24 * 60; ++m)
        feed(kT0 + m * kMinute, temperature(m));
    for (qint64 m = 35 * 24 * 60 - 180; m < 36 * 24 * 60 - 180; ++m)
        feed(kT0 + m * kMinute, temperature(m) + 10);
    const qint64 right = newest;
    for (qint64 m = 0; m < 2 * 24 * 60; ++m)
        feed(right - 29 * kDay + m * kMinute, 40);
    for (qint64 m = 1; m <= 4 * 24 * 60; ++m)
        feed(right + m * kMinute, temperature(m));
    EXPECT_GT(checks, 100);
    EXPECT_EQ(rolling.Restarts(), 0);
    const MeanKineticTemperature batch = BatchOfWindow(fed, newest, window, kHour);
    EXPECT_EQ(rolling.Samples(), batch.records);
    EXPECT_NEAR(rolling.Celsius(), batch.celsius, 1e-9);

    // Set back by 40 days, more than the window: the window starts anew there.
    const qint64 back = newest - 40 * kDay;
    for (qint64 m = 0; m < 600; ++m)
        rolling.Add(back + m * kMinute, 30 + (m % 2));
    EXPECT_EQ(rolling.Restarts(), 1);
    EXPECT_EQ(rolling.Samples(), 600);
    const MeanKineticTemperature two = MeanKineticTemperatureOf(TemperaturesEveryMinute({30, 31}), {0, 1});
    EXPECT_NEAR(rolling.Celsius(), two.celsius, 1e-9);

    // A reading without a value still moves time on: a month later nothing is left.
    rolling.Add(back + 31 * kDay, NAN);
    EXPECT_EQ(rolling.Samples(), 0);
    EXPECT_TRUE(std::isnan(rolling.Celsius()));
    rolling.Add(back + 31 * kDay + kMinute, 21);
    EXPECT_NEAR(rolling.Celsius(), 21, 1e-9);
}

TEST(StabilityRollingMeanKinetic, StaysExactOverMonthsOfHotAndColdSpells)
{
    // A record every ten minutes for 400 days: 10 days at 150 °C, then 40 at
    // −50 °C, by turns. The hot exponentials are a billion times the cold
    // ones: whatever adding and taking them away left behind would show in
    // the windows of cold days alone.
    const qint64 window = RollingMeanKineticTemperature::kDefaultWindowMs;
    RollingMeanKineticTemperature rolling;
    QVector<LogRecord> fed;
    for (qint64 i = 0; i < 400 * 24 * 6; ++i) {
        LogRecord r;
        r.time = kT0 + i * 10 * kMinute;
        const qint64 day = i / (24 * 6);
        r.currentTemp = day % 50 < 10 ? 150.0 + (i % 7) : -50.0 - (i % 5);
        fed.append(r);
        rolling.Add(r.time, r.currentTemp);
        if (i % (24 * 6) == 24 * 6 - 1) {
            const MeanKineticTemperature batch = BatchOfWindow(fed, r.time, window, kHour);
            ASSERT_EQ(rolling.Samples(), batch.records) << day;
            ASSERT_NEAR(rolling.Celsius(), batch.celsius, 1e-9) << day;
        }
    }
    // A whole window at −50 °C after all that: exactly −50 °C.
    for (qint64 i = 0; i < 31 * 24 * 6; ++i)
        rolling.Add(fed.last().time + (i + 1) * 10 * kMinute, -50.0);
    EXPECT_NEAR(rolling.Celsius(), -50.0, 1e-9);
}

// ---- CSV -----------------------------------------------------------------

// The time zone of the process for one test; the C library reads TZ anew.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            m_old = old, m_had = true;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string m_old;
    bool m_had = false;
};

TEST(StabilityExcursionsCsv, ReadsBackWithEveryField)
{
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // A humidity excursion in January (+01:00) left open at the log's end in
    // July (+02:00), with a door opening and a temperature excursion cut by
    // a gap in between.
    const qint64 winter = QDateTime(QDate(2026, 1, 15), QTime(10, 0)).toMSecsSinceEpoch();
    const qint64 summer = QDateTime(QDate(2026, 7, 15), QTime(10, 0)).toMSecsSinceEpoch();
    ASSERT_EQ(QDateTime::fromMSecsSinceEpoch(winter).offsetFromUtc(), 3600);
    ASSERT_EQ(QDateTime::fromMSecsSinceEpoch(summer).offsetFromUtc(), 7200);
    QVector<LogRecord> records;
    auto add = [&](qint64 time, double t, double rh) {
        LogRecord r;
        r.time = time;
        r.currentTemp = t;
        r.currentHumidity = rh;
        records.append(r);
    };
    add(winter, 25, 60);
    add(winter + kMinute, 25, 70.5);
    add(winter + 2 * kMinute, 25.3, 71);
    add(winter + 3 * kMinute, 28.25, 60);  // 1 min, a door opening
    add(winter + 4 * kMinute, 25, 60);
    add(winter + 5 * kMinute, 22.9, 60);  // then the log stops until summer
    add(summer, 25, 60);
    add(summer + kMinute, 25, 66);
    add(summer + 2 * kMinute, 25, 67);
    StabilityCondition condition;
    QString error;
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("25±2/60±5,5"), &condition, &error));
    const StabilityFigures f = StabilityFiguresOf(records, All(records), condition, 5 * kMinute);
    ASSERT_EQ(f.temperature.excursions.size(), 2);
    ASSERT_EQ(f.humidity.excursions.size(), 2);

    const QByteArray csv = StabilityExcursionsCsv(f);
    ASSERT_TRUE(csv.startsWith("\xEF\xBB\xBF"));
    const QList<QByteArray> lines = SplitCsvRecords(csv.mid(3));
    ASSERT_EQ(lines.size(), 5);
    QList<QList<QByteArray>> rows;
    for (const QByteArray& line : lines) {
        QList<QByteArray> fields;
        ASSERT_TRUE(SplitCsvRecord(line, &fields)) << line.toStdString();
        ASSERT_EQ(fields.size(), 15) << line.toStdString();
        rows.append(fields);
    }
    EXPECT_EQ(QString::fromUtf8(rows[0][0]), QStringLiteral("Величина"));
    EXPECT_EQ(QString::fromUtf8(rows[0][3]), QStringLiteral("Длительность, мин"));
    EXPECT_EQ(QString::fromUtf8(rows[0][10]), QStringLiteral("Кратковременное (открытие двери)"));

    auto timeOf = [](const QByteArray& field) {
        return QDateTime::fromString(QString::fromUtf8(field), Qt::ISODate).toMSecsSinceEpoch();
    };
    struct Expect {
        const char* quantity;
        qint64 start, end;
        const char* minutes;
        const char* extreme;
        qint64 extremeTime;
        const char* mean;
        const char* setPoint;
        const char* tolerance;
        const char* records;
        const char* flags;  // short, after gap, at gap, from span start, open
        const char* offset;
    };
    const Expect expected[] = {
        {"влажность", winter + kMinute, winter + 3 * kMinute, "2.00", "71", winter + 2 * kMinute, "70.75", "60", "5.5",
         "2", "10000", "+01:00"},
        {"температура", winter + 3 * kMinute, winter + 4 * kMinute, "1.00", "28.25", winter + 3 * kMinute, "28.25",
         "25", "2", "1", "10000", "+01:00"},
        {"температура", winter + 5 * kMinute, winter + 5 * kMinute, "0.00", "22.9", winter + 5 * kMinute, "22.90",
         "25", "2", "1", "00100", "+01:00"},
        {"влажность", summer + kMinute, summer + 2 * kMinute, "1.00", "67", summer + 2 * kMinute, "66.50", "60", "5.5",
         "2", "00001", "+02:00"},
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const QList<QByteArray>& row = rows[i + 1];
        const Expect& x = expected[i];
        EXPECT_EQ(QString::fromUtf8(row[0]), QString::fromUtf8(x.quantity));
        EXPECT_EQ(timeOf(row[1]), x.start);
        EXPECT_EQ(timeOf(row[2]), x.end);
        EXPECT_TRUE(row[1].endsWith(x.offset)) << row[1].toStdString();
        EXPECT_TRUE(row[2].endsWith(x.offset)) << row[2].toStdString();
        EXPECT_EQ(row[3], QByteArray(x.minutes));
        EXPECT_EQ(row[4], QByteArray(x.extreme));
        EXPECT_EQ(timeOf(row[5]), x.extremeTime);
        EXPECT_EQ(row[6], QByteArray(x.mean));
        EXPECT_EQ(row[7], QByteArray(x.setPoint));
        EXPECT_EQ(row[8], QByteArray(x.tolerance));
        EXPECT_EQ(row[9], QByteArray(x.records));
        EXPECT_EQ(row[10] + row[11] + row[12] + row[13] + row[14], QByteArray(x.flags));
    }
    // Local time as the lab's clock showed it.
    EXPECT_EQ(rows[1][1], QByteArray("2026-01-15T10:01:00+01:00"));

    // No excursions: the header alone.
    const StabilityFigures calm = StabilityFiguresOf(records, RecordSpan{0, 0}, condition, 0);
    EXPECT_EQ(SplitCsvRecords(StabilityExcursionsCsv(calm).mid(3)).size(), 1);
}

}  // namespace
