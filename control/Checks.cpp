#include "control/Checks.h"

#include "control/Convert.h"

namespace {

// A value that converts to a whole number inside range. A value with a
// fraction is no whole number and fails without converting; any other text
// that does not convert throws.
bool WholeInRange(const QString& text, const ValueRange& range)
{
    if (IsFractionText(text))
        return false;
    return range.Contains(StrToInt(text));
}

}  // namespace

ValueRange ColumnRange(int column)
{
    switch (column) {
    case kColTemperature:
        return kTemperatureRange;
    case kColStabiliseHours:
    case kColReachHours:
        return {0, 99};
    case kColStabiliseMinutes:
    case kColReachMinutes:
        return {0, 59};
    case kColHumidity:
        return kHumidityRange;
    default:
        return {0, -1};
    }
}

bool CheckProgramTable(const ProgramTexts& texts)
{
    if (texts.steps.isEmpty() || texts.cycles.isEmpty())
        return false;
    if (!WholeInRange(texts.steps, kStepsRange))
        return false;
    const int steps = StrToInt(texts.steps);

    // A failure does not stop the walk: a conversion error further on must
    // still be found and reported.
    bool passed = true;
    for (int row = 1; row <= steps; ++row) {
        for (int column = 1; column <= kTableColumns; ++column)
            if (texts.Cell(row, column).isEmpty())
                passed = false;
        for (int column = 1; column <= kTableColumns; ++column) {
            const QString& cell = texts.Cell(row, column);
            if (cell.isEmpty())
                continue;
            if (!WholeInRange(cell, ColumnRange(column)))
                passed = false;
        }
        if (!WholeInRange(texts.cycles, kCyclesRange))
            passed = false;
    }
    return passed;
}

bool CheckProgramWrite(int program, const ProgramTexts& texts)
{
    const bool table = CheckProgramTable(texts);
    return kProgramRange.Contains(program) && table;
}

bool CheckSetPoints(const QString& temperature, const QString& humidity)
{
    if (temperature.isEmpty() || humidity.isEmpty())
        return false;
    // A failed temperature does not stop the check: the humidity is still
    // converted, so a text there that is no number is reported.
    const bool temperatureOk = WholeInRange(temperature, kTemperatureRange);
    const bool humidityOk = WholeInRange(humidity, kHumidityRange);
    return temperatureOk && humidityOk;
}
