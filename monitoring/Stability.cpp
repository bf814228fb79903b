#include "monitoring/Stability.h"

#include <QDateTime>
#include <QLocale>
#include <algorithm>
#include <cmath>

#include "monitoring/Csv.h"

bool StabilityCondition::operator==(const StabilityCondition& o) const
{
    return name == o.name && temperature == o.temperature && temperatureTolerance == o.temperatureTolerance &&
           hasHumidity == o.hasHumidity && (!hasHumidity || (humidity == o.humidity && humidityTolerance == o.humidityTolerance));
}

QVector<StabilityCondition> StabilityPresets()
{
    auto preset = [](const char* name, double t, double rh) {
        StabilityCondition c;
        c.name = QString::fromUtf8(name);
        c.temperature = t;
        c.temperatureTolerance = 2.0;
        c.humidity = rh;
        c.humidityTolerance = 5.0;
        return c;
    };
    QVector<StabilityCondition> presets{preset("25/60", 25, 60), preset("30/65", 30, 65), preset("30/75", 30, 75),
                                        preset("40/75", 40, 75)};
    StabilityCondition cold;
    cold.name = QString::fromUtf8("5 °C");
    cold.temperature = 5.0;
    cold.temperatureTolerance = 3.0;
    cold.hasHumidity = false;
    cold.humidity = 0;
    cold.humidityTolerance = 0;
    presets.push_back(cold);
    return presets;
}

namespace {

// The shortest text that reads back as the same number: a condition typed
// with two decimals must come back as itself.
QString Number(double v)
{
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

bool ReadNumber(const QString& text, double* value)
{
    QString t = text.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

// "25±2" into its two numbers.
bool ReadPart(const QString& part, double* value, double* tolerance)
{
    const QString p = part.trimmed();
    const QStringList halves = p.split(QChar(0x00B1));
    return halves.size() == 2 && ReadNumber(halves[0], value) && ReadNumber(halves[1], tolerance);
}

}  // namespace

bool ParseStabilityCondition(const QString& text, StabilityCondition* condition, QString* error)
{
    const QString t = text.trimmed();
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (t.isEmpty())
        return fail(QStringLiteral("условие хранения не задано"));
    for (const StabilityCondition& preset : StabilityPresets()) {
        QString bare = preset.name;
        bare.remove(QStringLiteral(" °C"));
        if (t.compare(preset.name, Qt::CaseInsensitive) == 0 || t == bare || t == bare + QStringLiteral("C") ||
            t == bare + QStringLiteral("°C")) {
            *condition = preset;
            return true;
        }
    }
    // "+/-" holds the very slash that parts temperature from humidity.
    QString plain = t;
    plain.replace(QStringLiteral("+/-"), QStringLiteral("±"));
    plain.replace(QStringLiteral("+-"), QStringLiteral("±"));
    const QStringList parts = plain.split(QLatin1Char('/'));
    StabilityCondition c;
    c.name.clear();
    if (parts.size() > 2 || !ReadPart(parts[0], &c.temperature, &c.temperatureTolerance))
        return fail(QStringLiteral("условие «%1» не читается: ожидается предустановка (25/60, 30/65, 30/75, 40/75, 5 °C) "
                                   "или Т±dТ/ВЛ±dВЛ, например 25±2/60±5")
                        .arg(t));
    if (parts.size() == 2) {
        if (!ReadPart(parts[1], &c.humidity, &c.humidityTolerance))
            return fail(QStringLiteral("влажность условия «%1» не читается: ожидается ВЛ±dВЛ, например 60±5").arg(t));
        c.hasHumidity = true;
    } else {
        c.hasHumidity = false;
        c.humidity = 0;
        c.humidityTolerance = 0;
    }
    if (c.temperatureTolerance <= 0 || (c.hasHumidity && c.humidityTolerance <= 0))
        return fail(QStringLiteral("допуск условия «%1» должен быть больше нуля").arg(t));
    if (c.temperature < -100 || c.temperature > 200)
        return fail(QStringLiteral("температура условия «%1» вне −100…200 °C").arg(t));
    if (c.hasHumidity && (c.humidity < 0 || c.humidity > 100))
        return fail(QStringLiteral("влажность условия «%1» вне 0…100 %").arg(t));
    // A custom text that is exactly a preset is that preset.
    for (const StabilityCondition& preset : StabilityPresets()) {
        StabilityCondition named = c;
        named.name = preset.name;
        if (named == preset) {
            *condition = preset;
            return true;
        }
    }
    *condition = c;
    return true;
}

QString StabilityConditionText(const StabilityCondition& condition)
{
    if (!condition.name.isEmpty())
        return condition.name;
    QString text = Number(condition.temperature) + QChar(0x00B1) + Number(condition.temperatureTolerance);
    if (condition.hasHumidity)
        text += QLatin1Char('/') + Number(condition.humidity) + QChar(0x00B1) + Number(condition.humidityTolerance);
    return text;
}

namespace {

// Readings arrive in tenths; the alarm rules' margin keeps 27.0 inside 25 ± 2.
bool OutOfBand(double value, double setPoint, double tolerance)
{
    return std::fabs(value - setPoint) > tolerance + 1e-9;
}

// The excursions and band times of one quantity over records [first, last].
void QuantityFigures(const QVector<LogRecord>& records, int first, int last, double LogRecord::*value,
                     StabilityQuantity quantity, qint64 delayMs, StabilityQuantityFigures* f)
{
    StabilityExcursion e;
    bool inExcursion = false;
    double sum = 0;
    qint64 lastSeenOut = 0;  // where the excursion was last seen out of band
    bool cut = true;         // nothing with a value before (the span's start), or a gap since
    bool seenValue = false;
    qint64 withoutValue = 0;  // the last value's interval and the no-value time after it
    auto finish = [&](qint64 end) {
        e.end = end;
        e.mean = sum / e.records;
        // Only an excursion seen going out and coming back is known to be short.
        e.shortOne = !e.startsAfterGap && !e.endsAtGap && !e.fromSpanStart && !e.open &&
                     std::max(e.durationMs, e.end - e.start) < delayMs;
        f->excursions.append(e);
        inExcursion = false;
    };
    for (int i = first; i <= last; ++i) {
        const LogRecord& r = records[i];
        const double v = r.*value;
        const bool measured = !std::isnan(v);
        const bool out = measured && OutOfBand(v, f->setPoint, f->tolerance);
        if (measured) {
            if (out && !inExcursion) {
                e = StabilityExcursion();
                e.quantity = quantity;
                e.start = r.time;
                e.fromSpanStart = !seenValue;
                e.startsAfterGap = cut && seenValue;
                e.extreme = v;
                e.extremeTime = r.time;
                sum = 0;
                inExcursion = true;
            } else if (out && std::fabs(v - f->setPoint) > std::fabs(e.extreme - f->setPoint)) {
                e.extreme = v;
                e.extremeTime = r.time;
            }
            if (out) {
                sum += v;
                ++e.records;
                lastSeenOut = r.time;
            } else if (inExcursion) {
                finish(r.time);
            }
            seenValue = true;
            cut = false;
            withoutValue = 0;
        }
        if (i == last)
            break;
        const qint64 next = records[i + 1].time;
        if (IsRecordGap(r.time, next)) {
            if (inExcursion) {
                e.endsAtGap = true;
                finish(lastSeenOut);
            }
            cut = true;
            withoutValue = 0;
            continue;
        }
        const qint64 d = std::max<qint64>(0, next - r.time);
        if (!measured) {
            f->noValueMs += d;
            withoutValue += d;
            // No value for as long as a gap between two values: a gap for this quantity.
            if (!cut && IsRecordGap(0, withoutValue)) {
                if (inExcursion) {
                    e.endsAtGap = true;
                    finish(lastSeenOut);
                }
                cut = true;
            }
        } else if (out) {
            f->outOfBandMs += d;
            e.durationMs += d;
            lastSeenOut = r.time + d;
            withoutValue = d;
        } else {
            f->inBandMs += d;
            withoutValue = d;
        }
    }
    if (inExcursion) {
        e.open = true;
        finish(lastSeenOut);
    }
}

// "2026-12-09T14:05:30+03:00": local time with the offset it had then.
QString IsoWithOffset(qint64 ms)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QString Plain(double v) { return std::isnan(v) ? QString() : QString::number(v, 'g', 12); }

QString Flag(bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); }

}  // namespace

double StabilityQuantityFigures::InBandShare() const
{
    const qint64 measured = inBandMs + outOfBandMs;
    return measured > 0 ? static_cast<double>(inBandMs) / static_cast<double>(measured) : NAN;
}

StabilityFigures StabilityFiguresOf(const QVector<LogRecord>& records, RecordSpan span,
                                    const StabilityCondition& condition, qint64 delayMs)
{
    StabilityFigures figures;
    figures.temperature.kept = true;
    figures.temperature.setPoint = condition.temperature;
    figures.temperature.tolerance = condition.temperatureTolerance;
    figures.humidity.kept = condition.hasHumidity;
    if (condition.hasHumidity) {
        figures.humidity.setPoint = condition.humidity;
        figures.humidity.tolerance = condition.humidityTolerance;
    }
    span.first = std::max(span.first, 0);
    span.last = std::min(span.last, static_cast<int>(records.size()) - 1);
    if (span.Empty())
        return figures;
    figures.start = records[span.first].time;
    figures.end = records[span.last].time;
    figures.gaps = RecordGapsOfSpan(records, span);
    for (const RecordGap& gap : figures.gaps)
        figures.gapMs += gap.Duration();
    for (int i = span.first; i < span.last; ++i)
        if (records[i + 1].time < records[i].time)
            ++figures.clockBacks;
    QuantityFigures(records, span.first, span.last, &LogRecord::currentTemp, StabilityQuantity::Temperature, delayMs,
                    &figures.temperature);
    if (condition.hasHumidity)
        QuantityFigures(records, span.first, span.last, &LogRecord::currentHumidity, StabilityQuantity::Humidity,
                        delayMs, &figures.humidity);
    return figures;
}

QByteArray StabilityExcursionsCsv(const StabilityFigures& figures)
{
    struct Row {
        const StabilityExcursion* excursion;
        const StabilityQuantityFigures* quantity;
    };
    QVector<Row> rows;
    for (const StabilityQuantityFigures* q : {&figures.temperature, &figures.humidity})
        for (const StabilityExcursion& e : q->excursions)
            rows.append({&e, q});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row& a, const Row& b) { return a.excursion->start < b.excursion->start; });

    // Excel takes a CSV without it for the ANSI code page, as the other exports say.
    QByteArray out("\xEF\xBB\xBF");
    out += CsvLine({QStringLiteral("Величина"), QStringLiteral("Начало"), QStringLiteral("Конец"),
                    QStringLiteral("Длительность, мин"), QStringLiteral("Крайнее значение"),
                    QStringLiteral("Время крайнего значения"), QStringLiteral("Среднее"), QStringLiteral("Уставка"),
                    QStringLiteral("Допуск"), QStringLiteral("Записей"),
                    QStringLiteral("Кратковременное (открытие двери)"), QStringLiteral("Начало после пропуска"),
                    QStringLiteral("Конец у пропуска"), QStringLiteral("С начала периода"),
                    QStringLiteral("Не закончилось")}) +
           "\r\n";
    for (const Row& row : rows) {
        const StabilityExcursion& e = *row.excursion;
        out += CsvLine({e.quantity == StabilityQuantity::Temperature ? QStringLiteral("температура")
                                                                      : QStringLiteral("влажность"),
                        IsoWithOffset(e.start), IsoWithOffset(e.end),
                        QString::number(static_cast<double>(e.durationMs) / 60000.0, 'f', 2), Plain(e.extreme),
                        IsoWithOffset(e.extremeTime), std::isnan(e.mean) ? QString() : QString::number(e.mean, 'f', 2),
                        Plain(row.quantity->setPoint), Plain(row.quantity->tolerance), QString::number(e.records),
                        Flag(e.shortOne), Flag(e.startsAfterGap), Flag(e.endsAtGap), Flag(e.fromSpanStart),
                        Flag(e.open)}) +
               "\r\n";
    }
    return out;
}

namespace {

constexpr double kMktScale = kMktActivationEnergy / kMktGasConstant;  // ΔH/R, in kelvin
// Exponentials of the rolling figure are taken relative to this: for any
// chamber's temperature (−100…200 °C) they stay within e^±35.
constexpr double kMktReferenceKelvin = 25.0 + kKelvinOfZeroCelsius;

bool Kelvin(double celsius, double* kelvin)
{
    if (!std::isfinite(celsius))
        return false;
    *kelvin = celsius + kKelvinOfZeroCelsius;
    return *kelvin > 0;
}

// Neumaier's compensated sum: what each addition rounds away is kept apart.
struct CompensatedSum {
    double sum = 0;
    double lost = 0;
    void Add(double x)
    {
        const double t = sum + x;
        lost += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    double Value() const { return sum + lost; }
};

}  // namespace

MeanKineticTemperature MeanKineticTemperatureOf(const QVector<LogRecord>& records, RecordSpan span)
{
    MeanKineticTemperature mkt;
    span.first = std::max(span.first, 0);
    span.last = std::min(span.last, static_cast<int>(records.size()) - 1);
    if (span.Empty())
        return mkt;
    const QVector<RecordGap> gaps = RecordGapsOfSpan(records, span);
    mkt.gaps = gaps.size();
    for (const RecordGap& gap : gaps)
        mkt.gapMs += gap.Duration();
    // Relative to the hottest record every exponential is at most 1.
    double hottest = 0;
    for (int i = span.first; i <= span.last; ++i) {
        double k;
        if (Kelvin(records[i].currentTemp, &k)) {
            hottest = std::max(hottest, k);
            ++mkt.records;
        }
    }
    if (mkt.records == 0)
        return mkt;
    CompensatedSum sum;
    for (int i = span.first; i <= span.last; ++i) {
        double k;
        if (Kelvin(records[i].currentTemp, &k))
            sum.Add(std::exp(kMktScale / hottest - kMktScale / k));
    }
    const double kelvin = kMktScale / (kMktScale / hottest - std::log(sum.Value() / mkt.records));
    mkt.celsius = kelvin - kKelvinOfZeroCelsius;
    return mkt;
}

RollingMeanKineticTemperature::RollingMeanKineticTemperature(qint64 windowMs, qint64 bucketMs)
    : m_bucketMs(std::max<qint64>(1, bucketMs)),
      m_buckets(std::max<qint64>(1, (windowMs + m_bucketMs - 1) / m_bucketMs)),
      m_ring(static_cast<size_t>(m_buckets))
{
}

qint64 RollingMeanKineticTemperature::BucketOf(qint64 timeMs) const
{
    // Rounded down also before 1970.
    const qint64 q = timeMs / m_bucketMs;
    return timeMs % m_bucketMs < 0 ? q - 1 : q;
}

RollingMeanKineticTemperature::Bucket& RollingMeanKineticTemperature::SlotOf(qint64 index)
{
    return m_ring[static_cast<size_t>(((index % m_buckets) + m_buckets) % m_buckets)];
}

void RollingMeanKineticTemperature::Clear()
{
    std::fill(m_ring.begin(), m_ring.end(), Bucket());
    m_samples = 0;
    m_total = m_compensation = 0;
    m_leftSinceResum = 0;
}

void RollingMeanKineticTemperature::AddToTotal(double x)
{
    const double t = m_total + x;
    m_compensation += std::fabs(m_total) >= std::fabs(x) ? (m_total - t) + x : (x - t) + m_total;
    m_total = t;
}

void RollingMeanKineticTemperature::Resum()
{
    CompensatedSum sum;
    for (const Bucket& b : m_ring)
        if (b.count > 0) {
            sum.Add(b.sum);
            sum.Add(b.lost);
        }
    m_total = sum.sum;
    m_compensation = sum.lost;
    m_leftSinceResum = 0;
}

void RollingMeanKineticTemperature::Advance(qint64 newest)
{
    if (newest - m_newest >= m_buckets) {
        Clear();
    } else {
        // The buckets that leave: from the oldest of the window up to the
        // one a whole window before the new newest.
        for (qint64 k = m_newest - m_buckets + 1; k <= newest - m_buckets; ++k) {
            Bucket& b = SlotOf(k);
            if (b.count == 0 || b.index != k)
                continue;
            AddToTotal(-b.sum);
            AddToTotal(-b.lost);
            m_samples -= b.count;
            b = Bucket();
            ++m_leftSinceResum;
        }
        if (m_samples == 0)
            m_total = m_compensation = 0;
        else if (m_leftSinceResum >= m_buckets)
            Resum();
    }
    m_newest = newest;
}

void RollingMeanKineticTemperature::Add(qint64 timeMs, double celsius)
{
    const qint64 index = BucketOf(timeMs);
    if (!m_started) {
        m_started = true;
        m_newest = index;
    } else if (index > m_newest) {
        Advance(index);
    } else if (index <= m_newest - m_buckets) {
        Clear();
        m_newest = index;
        ++m_restarts;
    }
    double kelvin;
    if (!Kelvin(celsius, &kelvin))
        return;
    Bucket& b = SlotOf(index);
    if (b.count == 0 || b.index != index) {
        b = Bucket();
        b.index = index;
    }
    const double term = std::exp(kMktScale / kMktReferenceKelvin - kMktScale / kelvin);
    const double t = b.sum + term;
    b.lost += std::fabs(b.sum) >= term ? (b.sum - t) + term : (term - t) + b.sum;
    b.sum = t;
    ++b.count;
    ++m_samples;
    AddToTotal(term);
}

double RollingMeanKineticTemperature::Celsius() const
{
    if (m_samples == 0)
        return NAN;
    const double mean = (m_total + m_compensation) / static_cast<double>(m_samples);
    const double denominator = kMktScale / kMktReferenceKelvin - std::log(mean);
    if (!(mean > 0) || !(denominator > 0))
        return NAN;
    return kMktScale / denominator - kKelvinOfZeroCelsius;
}

qint64 RollingMeanKineticTemperature::WindowStart() const
{
    return (m_newest - m_buckets + 1) * m_bucketMs;
}

QString Mkt30DaysText(const QVector<LogRecord>& records, const QString& decimalSeparator)
{
    if (records.isEmpty())
        return {};
    qint64 newest = records.front().time;
    for (const LogRecord& r : records)
        newest = std::max(newest, r.time);
    const RecordSpan span = RecordsInRange(records, newest - RollingMeanKineticTemperature::kDefaultWindowMs, newest);
    const MeanKineticTemperature mkt = MeanKineticTemperatureOf(records, span);
    if (std::isnan(mkt.celsius))
        return {};
    QString value = QString::number(mkt.celsius, 'f', 1);
    value.replace(QLatin1Char('.'), decimalSeparator);
    QString text = QStringLiteral("СКТ за 30 сут: %1 °C (записей %2").arg(value).arg(mkt.records);
    if (mkt.gaps > 0)
        text += QStringLiteral(", пропусков %1 — исключены").arg(mkt.gaps);
    return text + QLatin1Char(')');
}
