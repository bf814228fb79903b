// Storage conditions of stability studies: a temperature (and a relative
// humidity) with its tolerance that a chamber must hold for months, and the
// figures that show whether it did. Pure arithmetic on logged records.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

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
