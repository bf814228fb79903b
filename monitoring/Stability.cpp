#include "monitoring/Stability.h"

#include <QLocale>
#include <cmath>

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
