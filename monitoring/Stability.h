// Storage conditions of stability studies: a temperature (and a relative
// humidity) with its tolerance that a chamber must hold for months, and the
// figures that show whether it did. Pure arithmetic on logged records.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>
#include <cmath>
#include <vector>

#include "monitoring/LogReader.h"
#include "monitoring/TestReport.h"

// One storage condition: set point ± tolerance for each quantity it keeps.
// A refrigerator's condition keeps no humidity.
struct StabilityCondition {
    QString name;  // the preset's name ("25/60"), empty for a custom one
    double temperature = 25.0;
    double temperatureTolerance = 2.0;
    bool hasHumidity = true;
    double humidity = 60.0;
    double humidityTolerance = 5.0;

    bool operator==(const StabilityCondition& o) const;
    bool operator!=(const StabilityCondition& o) const { return !(*this == o); }
};

// The usual long-term, intermediate, accelerated and refrigerated
// conditions: "25/60", "30/65", "30/75", "40/75" (±2 °C, ±5 %RH) and
// "5 °C" (±3 °C, no humidity).
QVector<StabilityCondition> StabilityPresets();

// A preset's name, or a custom condition "T±dT/RH±dRH" ("25±2/60±5"; "+-"
// or "+/-" for "±", a decimal point or comma, no humidity part for a
// condition that keeps none: "5±3"). False with the reason in *error when it
// reads as neither; a tolerance must be above 0, a humidity within 0..100 %.
bool ParseStabilityCondition(const QString& text, StabilityCondition* condition, QString* error);

// The text that parses back to the condition: the preset's name, else
// "25±2/60±5" with as many decimals as it takes ("25.55±0.05").
QString StabilityConditionText(const StabilityCondition& condition);

// ---------------------------------------------------------------------------
// Excursions: the periods a quantity spent out of its band.
//
// Time is shared out by one rule throughout. Record i of the span stands for
// [t(i), t(i+1)); the span's last record stands for no time, so the figures
// cover t(first)..t(last). What an interval counts as, for each quantity:
// - a gap, when IsRecordGap(t(i), t(i+1)): a clock jumping forward by more
//   than that is a gap too. In neither band; listed in gaps.
// - nothing, when t(i+1) <= t(i) (the clock set back, or two records at one
//   time): no duration, never a negative one; counted in clockBacks when
//   the clock went back.
// - no value, when record i has NaN for the quantity: nothing was measured,
//   so it is neither in nor out of band.
// - in band when |value − set point| <= tolerance (with the alarm rules'
//   margin of 1e-9 for values logged in tenths: 27.0 is inside 25 ± 2),
//   out of band otherwise.
//
// An excursion is a run of records out of band. It ends at the first record
// back in band (end is that record's time). It is cut:
// - by a gap, or by the quantity going without a value for so long that its
//   values lie as far apart as records across a gap (IsRecordGap between
//   the last value's record and the next value's): it ends where it was
//   last seen out of band (its last out-of-band record, plus that record's
//   interval where it was counted: the last record before a gap stands for
//   none), marked endsAtGap; a record out of band after the cut starts a new one,
//   marked startsAfterGap (also when the quantity was in band before the
//   cut: when it left the band is not known either way). A shorter stretch
//   without a value does not end it: its time is in end − start but not in
//   the duration.
// - by the span's end: marked open, ending where last seen out of band.
// - by the span's start: an excursion whose first record has no record with
//   a value before it in the span may have begun earlier: fromSpanStart.
// An excursion fully seen (none of those marks) that lasted less than the
// delay, both out of band and on the clock, is a door opening: shortOne,
// listed with the others for the report to set apart. One cut short or
// left open is never called one: how long it lasted is not known.

enum class StabilityQuantity { Temperature, Humidity };

struct StabilityExcursion {
    StabilityQuantity quantity = StabilityQuantity::Temperature;
    qint64 start = 0;       // time of its first record out of band
    qint64 end = 0;         // see above; before start only where the clock went back inside it
    qint64 durationMs = 0;  // the time out of band it holds
    double extreme = NAN;   // the value farthest from the set point (the first such)
    qint64 extremeTime = 0;
    double mean = NAN;  // of its records out of band
    int records = 0;    // its records out of band
    bool shortOne = false;  // a door opening: shorter than the delay, seen whole
    bool startsAfterGap = false;
    bool endsAtGap = false;
    bool fromSpanStart = false;
    bool open = false;  // still out of band at the span's end
};

struct StabilityQuantityFigures {
    bool kept = false;  // false: humidity of a condition that keeps none (all else empty)
    double setPoint = NAN;
    double tolerance = NAN;
    qint64 inBandMs = 0;
    qint64 outOfBandMs = 0;  // door openings included
    qint64 noValueMs = 0;
    QVector<StabilityExcursion> excursions;  // oldest first, door openings among them
    // Time in band of the time measured (in + out of band); NaN when none was.
    double InBandShare() const;
};

struct StabilityFigures {
    qint64 start = 0;  // times of the span's first and last record
    qint64 end = 0;
    QVector<RecordGap> gaps;  // as RecordGapsOfSpan lists them
    qint64 gapMs = 0;
    int clockBacks = 0;  // intervals where the clock went back
    StabilityQuantityFigures temperature;
    StabilityQuantityFigures humidity;
};

// The figures of the records in span against the condition; delayMs is how
// long an excursion must last not to be a door opening (the alarm delay).
// With a clock that never goes back, for each kept quantity
// inBandMs + outOfBandMs + noValueMs + gapMs == end − start.
StabilityFigures StabilityFiguresOf(const QVector<LogRecord>& records, RecordSpan span,
                                    const StabilityCondition& condition, qint64 delayMs);

// The excursions of both quantities, oldest first (temperature first at one
// start), as CSV for the lab's tools: UTF-8 with a byte-order mark and CR LF
// as the program's other exports; times ISO 8601 local with their UTC offset
// ("2026-12-09T14:05:30+03:00", "Z" where local time is UTC), "." as the
// decimal separator, the duration in minutes, flags as 1 or 0.
QByteArray StabilityExcursionsCsv(const StabilityFigures& figures);

// ---------------------------------------------------------------------------
// Mean kinetic temperature: the one temperature that would degrade a product
// as much as the temperatures it went through (Arrhenius, ΔH = 83.144 kJ/mol,
// R = 8.3144 J/(mol·K)):
//   T = (ΔH/R) / (−ln(Σ exp(−ΔH/(R·T_i)) / n)),  T_i in kelvin.
// Each record weighs the same: records come once a minute.

constexpr double kMktActivationEnergy = 83144.0;  // J/mol
constexpr double kMktGasConstant = 8.3144;        // J/(mol·K)
constexpr double kKelvinOfZeroCelsius = 273.15;

struct MeanKineticTemperature {
    double celsius = NAN;  // NaN when no record has a temperature
    int records = 0;       // the records with a temperature it is made of
    // The gaps of the span (RecordGapsOfSpan): nothing of them is in it.
    int gaps = 0;
    qint64 gapMs = 0;
};

// NaN temperatures (and any at or below absolute zero) are left out.
MeanKineticTemperature MeanKineticTemperatureOf(const QVector<LogRecord>& records, RecordSpan span);

// The chart's words for the newest 30 days of a log's records: "СКТ за 30 сут:
// 25,4 °C (записей 43200, пропусков 2 — исключены)", the separator given;
// empty when no record has a temperature.
QString Mkt30DaysText(const QVector<LogRecord>& records, const QString& decimalSeparator);

// The mean kinetic temperature of the newest 30 days, fed one sample at a
// time as the chamber is read, in bounded memory and constant work a sample
// (amortized). Samples fall into buckets of bucketMs by their time; the
// window is the newest sample's bucket and those before it up to windowMs,
// so it covers between windowMs − bucketMs and windowMs. Each sample weighs
// the same.
//
// The exponentials are taken relative to 25 °C, so that none of a chamber's
// temperatures comes near the limits of a double; each bucket keeps its own
// sum, and the window's total is added and taken from with compensation and
// summed anew from the buckets once as many buckets have left it as it
// holds: months of adding and taking away leave no drift.
//
// A sample older than the newest but inside the window (the clock set back
// a little) goes into its own bucket. One older than the whole window (the
// clock set back by more than that) starts the window anew at its time: the
// samples kept were timed by a clock that no longer holds, and waiting for
// it to catch up would leave the figure standing for as long.
class RollingMeanKineticTemperature {
public:
    static constexpr qint64 kDayMs = 24LL * 3600 * 1000;
    static constexpr qint64 kDefaultWindowMs = 30 * kDayMs;
    static constexpr qint64 kDefaultBucketMs = 3600LL * 1000;

    // windowMs is rounded up to whole buckets.
    explicit RollingMeanKineticTemperature(qint64 windowMs = kDefaultWindowMs, qint64 bucketMs = kDefaultBucketMs);

    // A NaN temperature moves the window on without counting.
    void Add(qint64 timeMs, double celsius);

    double Celsius() const;  // NaN while the window holds no temperature
    qint64 Samples() const { return m_samples; }
    int Restarts() const { return m_restarts; }  // times the clock went back past the window
    // The first time in the window: the start of its oldest bucket.
    qint64 WindowStart() const;

private:
    struct Bucket {
        qint64 index = 0;
        double sum = 0;
        double lost = 0;  // what rounding took from sum
        qint64 count = 0;
    };
    qint64 BucketOf(qint64 timeMs) const;
    Bucket& SlotOf(qint64 index);
    void Advance(qint64 newest);
    void Clear();
    void AddToTotal(double x);
    void Resum();

    qint64 m_bucketMs;
    qint64 m_buckets;
    std::vector<Bucket> m_ring;
    bool m_started = false;
    qint64 m_newest = 0;  // the newest bucket's index
    qint64 m_samples = 0;
    double m_total = 0;         // the window's sum, with
    double m_compensation = 0;  // what its rounding lost (Neumaier)
    qint64 m_leftSinceResum = 0;
    int m_restarts = 0;
};
