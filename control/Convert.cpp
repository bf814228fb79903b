#include "control/Convert.h"

#include <cstdint>

#include "monitoring/HandlerErrors.h"

bool TryStrToInt(const QString& text, int* value)
{
    const int length = static_cast<int>(text.size());
    int i = 0;
    // Only the plain blank leads; tabs and other spaces are characters like any other.
    while (i < length && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < length && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == length)
        return false;
    // Accumulated as the magnitude so that -2147483648 fits; stops growing
    // past the range, which also keeps very long digit runs from overflowing.
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    for (; i < length; ++i) {
        const char16_t c = text[i].unicode();
        // Only ASCII digits: other scripts' digits are not numbers here.
        if (c < u'0' || c > u'9')
            return false;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > limit)
            return false;
    }
    if (value)
        *value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

int StrToInt(const QString& text)
{
    int value = 0;
    if (!TryStrToInt(text, &value))
        throw EConvertError("'" + text.toStdString() + "' is not a valid integer value");
    return value;
}
