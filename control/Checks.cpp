#include "control/Checks.h"

#include "control/Convert.h"

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
    const int steps = StrToInt(texts.steps);
    if (!kStepsRange.Contains(steps))
        return false;

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
            if (!ColumnRange(column).Contains(StrToInt(cell)))
                passed = false;
        }
        if (!kCyclesRange.Contains(StrToInt(texts.cycles)))
            passed = false;
    }
    return passed;
}

bool CheckSetPoints(const QString& temperature, const QString& humidity)
{
    if (temperature.isEmpty() || humidity.isEmpty())
        return false;
    // An out-of-range temperature does not stop the check: the humidity is
    // still converted, so a text there that is no number is reported.
    const bool temperatureOk = kTemperatureRange.Contains(StrToInt(temperature));
    const bool humidityOk = kHumidityRange.Contains(StrToInt(humidity));
    return temperatureOk && humidityOk;
}
