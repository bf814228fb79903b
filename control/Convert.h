// Whole-number conversion of the operator's texts.
#pragma once

#include <QString>

// Optional leading blanks, one optional "+" or "-", one or more digits 0..9
// and nothing after them, within the signed 32-bit range. Anything else
// throws EConvertError "'<text>' is not a valid integer value".
int StrToInt(const QString& text);

// The same rule without throwing: false when the text does not convert.
bool TryStrToInt(const QString& text, int* value);
