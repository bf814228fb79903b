#include "control/Convert.h"

#include <cstdint>

#include "monitoring/HandlerErrors.h"

namespace {

bool IsDigit(QChar c)
{
    // Only ASCII digits: other scripts' digits are not numbers here.
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}

// Only the plain blank counts; tabs and other spaces are characters like any other.
int SkipBlanks(const QString& text, int i)
{
    while (i < text.size() && text[i] == u' ')
        ++i;
    return i;
}

// The end of the text without its trailing blanks.
int EndWithoutBlanks(const QString& text)
{
    int end = static_cast<int>(text.size());
    while (end > 0 && text[end - 1] == u' ')
        --end;
    return end;
}

}  // namespace

bool TryStrToInt(const QString& text, int* value)
{
    const int end = EndWithoutBlanks(text);
    int i = SkipBlanks(text, 0);
    bool negative = false;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i >= end)
        return false;
    // Accumulated as the magnitude so that -2147483648 fits; stops growing
    // past the range, which also keeps very long digit runs from overflowing.
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    for (; i < end; ++i) {
        if (!IsDigit(text[i]))
            return false;
        magnitude = magnitude * 10 + (text[i].unicode() - u'0');
        if (magnitude > limit)
            return false;
    }
    if (value)
        *value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

QString ConvertErrorText(const QString& text) { return QStringLiteral("«%1» — не целое число").arg(text); }

int StrToInt(const QString& text)
{
    int value = 0;
    if (!TryStrToInt(text, &value))
        throw EConvertError(ConvertErrorText(text).toStdString());
    return value;
}

bool IsFractionText(const QString& text)
{
    const int end = EndWithoutBlanks(text);
    int i = SkipBlanks(text, 0);
    if (i < end && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    int digits = 0;
    bool separator = false;
    for (; i < end; ++i) {
        if (IsDigit(text[i])) {
            ++digits;
        } else if ((text[i] == u',' || text[i] == u'.') && !separator) {
            separator = true;
        } else {
            return false;
        }
    }
    return separator && digits > 0;
}
