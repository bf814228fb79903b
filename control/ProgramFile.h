// Program files: the program table, number of steps and number of cycles as
// a small UTF-8 CSV file (semicolons) that a spreadsheet opens.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include "control/Checks.h"

// The table's headings, column 0 to 6, as the window shows them.
const QStringList& ProgramTableHeadings();

// First line: the headings; then one line per step 1..N; then the number of
// steps and the number of cycles, each on a line of its own. A signed
// program's file goes on with a line per signature ("Подпись;…"), the
// fields given.
QByteArray ProgramToCsv(const ProgramTexts& texts, const QList<QStringList>& signatureLines = {});

// Reads a program file. Every value is checked with the rules of the program
// table; on any fault the result is false and *error names the line. The
// signature lines after the number of cycles go to *signatureLines as
// their fields (a caller that does not ask for them gets none).
bool ProgramFromCsv(const QByteArray& bytes, ProgramTexts* texts, QString* error,
                    QList<QStringList>* signatureLines = nullptr);
// The first field of a signature line.
QString ProgramSignatureLineMark();

// The profile of a program that passed the check: temperature and humidity
// at the start of each step's approach and at the ends of its approach and
// its stabilisation, over all cycles.
struct ProfilePoint {
    int minute;
    int temperature;
    int humidity;
};
QVector<ProfilePoint> ProgramProfile(const ProgramTexts& texts);
// Total duration in minutes for the given number of cycles.
int ProgramDurationMinutes(const ProgramTexts& texts);
// "2 ч 05 мин"; days are written out from 24 hours on ("1 сут 3 ч 00 мин").
QString DurationText(int minutes);
