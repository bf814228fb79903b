// Whole-number conversion of the operator's texts.
#pragma once

#include <QString>

// Optional leading blanks, one optional "+" or "-", one or more digits 0..9,
// optional trailing blanks and nothing else, within the signed 32-bit range.
// Anything else throws EConvertError naming the text (ConvertErrorText).
int StrToInt(const QString& text);

// The same rule without throwing: false when the text does not convert.
bool TryStrToInt(const QString& text, int* value);

// The message of a text that does not convert, as the operator reads it.
QString ConvertErrorText(const QString& text);

// A number written with a decimal separator ("," or "."), such as "-2,5",
// "25.5" or ",5": blanks and a sign as for a whole number, digits on at least
// one side of the one separator. Such a value is refused by the checks as not
// whole, not reported as text that is no number.
bool IsFractionText(const QString& text);
