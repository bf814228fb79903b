#include "monitoring/LocaleText.h"

#include <langinfo.h>

namespace {

std::function<std::time_t()>& ClockSource()
{
    static std::function<std::time_t()> source;
    return source;
}

QString Format(const char* format, const std::tm& when)
{
    char text[128];
    const size_t n = std::strftime(text, sizeof text, format, &when);
    return QString::fromLocal8Bit(text, static_cast<qsizetype>(n));
}

}  // namespace

QString ShortDateText(const std::tm& when) { return Format(nl_langinfo(D_FMT), when); }

QString LongTimeText(const std::tm& when) { return Format(nl_langinfo(T_FMT), when); }

QString DecimalSeparator()
{
    const char* radix = nl_langinfo(RADIXCHAR);
    return radix && *radix ? QString::fromLocal8Bit(radix) : QStringLiteral(".");
}

void SetClockSource(std::function<std::time_t()> source) { ClockSource() = std::move(source); }

std::tm LocalNow()
{
    const std::time_t now = ClockSource() ? ClockSource()() : std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}
