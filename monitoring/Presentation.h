// Text forms of the chamber values, the main window's value fields as a
// poll leaves them, the scan's list entries and progress, and the record line.
#pragma once

#include <QString>

#include "link/ChamberContract.h"

struct StatusReply;

// n tenths: "-" when negative, the whole part, and the separator with the
// tenths digit only when there is one (253 → "25,3", 250 → "25", -1 → "-0,1").
QString TenthsText(int tenths, const QString& separator);
// Plain decimal (program, step, cycle and their counts).
QString NumberText(int value);
// Hours and minutes: at least two digits (7 → "07", 123 → "123").
QString TwoDigitText(int value);
// "x(y)".
QString PairText(int x, int y);
// The minutes of a time field: the hours part (the text before the first
// ":", or all of it), ":", two-digit minutes. Rebuilding instead of appending
// keeps a field whose hours were refused from growing at every poll.
QString MinutesAppended(const QString& field, int minutes);

// The seven value texts (last accepted values) and the eleven value fields.
struct StatusView {
    QString currentTempText, setTempText, currentHumidityText, setHumidityText;
    QString programText, stepText, cycleText;

    QString label5, label18;                    // current / set temperature
    QString label11, label15, label3, label19;  // stabilisation, reach, their set points
    QString label13, label20, label17;          // step pair, cycle pair, program
    QString label2, label4;                     // current / set humidity
};

// A decoded reply's accepted values into the texts and fields, in the order
// the reply is decoded. The two temperature fields are rewritten from their
// value texts even when the value is refused. A reply not decoded changes
// nothing.
void ApplyStatus(StatusView& view, const StatusReply& reply, const QString& separator);

// k spaces, nothing when k is not positive.
QString Fill(int k);
// The status record line: time, the five value texts in their columns, CR LF.
QString RecordLine(const QString& timeText, const QString& currentTemp, const QString& currentHumidity,
                   const QString& program, const QString& step, const QString& cycle);

// Device scan (its registers, waits and attempts: link/ChamberContract.h).
// "Камера №" (eight characters) and the address.
QString ChamberEntryText(int address);
// The address of a list entry: the number after the eight-character prefix.
// Throws EConvertError when that is not a whole number.
int AddressFromEntry(const QString& entry);
// address × 100 / 250 to the nearest integer.
int ProgressForAddress(int address);
// "N из 250".
QString ProgressText(int address);
