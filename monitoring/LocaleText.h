// Date, time and decimal separator as the user's locale writes them
// (LC_TIME's date and time formats, LC_NUMERIC's radix character).
#pragma once

#include <QString>
#include <ctime>
#include <functional>

// Today's date in the locale's short date format (D_FMT).
QString ShortDateText(const std::tm& when);
// The time of day in the locale's long time format (T_FMT): hours, minutes
// and seconds, no time zone.
QString LongTimeText(const std::tm& when);
// The locale's decimal separator.
QString DecimalSeparator();

// The moment "now" as local broken-down time; tests may fix the clock.
std::tm LocalNow();
void SetClockSource(std::function<std::time_t()> source);  // empty: the real clock
