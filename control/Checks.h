// The two input checks of the control window, over the texts as typed.
#pragma once

#include <QString>
#include <array>

constexpr int kTableSteps = 15;    // data rows 1..15
constexpr int kTableColumns = 6;   // data columns 1..6

// Data columns of the program table (column 0 holds the step labels).
enum TableColumn {
    kColTemperature = 1,
    kColStabiliseHours = 2,
    kColStabiliseMinutes = 3,
    kColReachHours = 4,
    kColReachMinutes = 5,
    kColHumidity = 6,
};

// What the program table check and the step frames read.
struct ProgramTexts {
    QString steps;   // Edit1
    QString cycles;  // Edit2
    // cells[r - 1][c - 1] is the text of row r, column c.
    std::array<std::array<QString, kTableColumns>, kTableSteps> cells;

    QString& Cell(int row, int column) { return cells[row - 1][column - 1]; }
    const QString& Cell(int row, int column) const { return cells[row - 1][column - 1]; }
};

// Allowed values of a data column, inclusive.
struct ValueRange {
    int low;
    int high;
    bool Contains(int value) const { return value >= low && value <= high; }
};
ValueRange ColumnRange(int column);

constexpr ValueRange kProgramRange{1, 15};
constexpr ValueRange kStepsRange{1, 15};
constexpr ValueRange kCyclesRange{1, 999};
constexpr ValueRange kTemperatureRange{-85, 180};
constexpr ValueRange kHumidityRange{0, 98};

// True when the program table may be written. A text that does not convert
// ends the check with EConvertError; the texts are converted in the order
// Edit1, row 1's non-empty cells, Edit2, row 2's non-empty cells, Edit2, ...
// up to row N, and later failures never hide an earlier conversion error. A
// value with a fraction ("2,5") is no whole number: the check fails as for a
// value out of range, and the walk goes on.
bool CheckProgramTable(const ProgramTexts& texts);

// The table check and the program slot: a program written with none chosen
// (0) would land in no slot. The whole table is checked even then, so that a
// text that does not convert is still reported.
bool CheckProgramWrite(int program, const ProgramTexts& texts);

// True when the manual set points may be written. Both empty-field tests come
// first and convert nothing; then Edit3 and Edit4 are converted in that order
// (an out-of-range or fractional temperature does not spare Edit4 its
// conversion), and a failed conversion throws EConvertError.
bool CheckSetPoints(const QString& temperature, const QString& humidity);
