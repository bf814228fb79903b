// The frame gap as the operator may set it in the environment.
#include "link/PortUnit.h"

FrameGapSetting FrameGapFromText(const char* text)
{
    FrameGapSetting setting;
    if (!text || !*text)
        return setting;
    // Milliseconds with an optional decimal point, read by hand: the
    // process's locale may want a comma.
    long long micros = 0;
    int fractionDigits = -1;
    bool digits = false;
    for (const char* c = text; *c; ++c) {
        if (*c == '.' && fractionDigits < 0) {
            fractionDigits = 0;
        } else if (*c >= '0' && *c <= '9' && fractionDigits < 3) {
            digits = true;
            if (micros < 1000000000LL)
                micros = micros * 10 + (*c - '0');
            if (fractionDigits >= 0)
                ++fractionDigits;
        } else if (*c >= '0' && *c <= '9') {
            continue;  // finer than a microsecond
        } else {
            digits = false;
            break;
        }
    }
    const std::string given = std::string("CALVETRA_FRAME_GAP_MS=") + text;
    if (!digits) {
        setting.warning = given + " is not a number of milliseconds; using the default of " +
                          std::to_string(kDefaultFrameGapUs / 1000) + " ms";
        return setting;
    }
    for (int i = fractionDigits < 0 ? 0 : fractionDigits; i < 3; ++i)
        micros *= 10;
    if (micros < kMinFrameGapUs) {
        setting.us = kMinFrameGapUs;
        setting.warning = given + " is below " + std::to_string(kMinFrameGapUs / 1000) + " ms; using " +
                          std::to_string(kMinFrameGapUs / 1000) + " ms";
    } else if (micros > kMaxFrameGapUs) {
        setting.us = kMaxFrameGapUs;
        setting.warning = given + " is above " + std::to_string(kMaxFrameGapUs / 1000) + " ms; using " +
                          std::to_string(kMaxFrameGapUs / 1000) + " ms";
    } else {
        setting.us = static_cast<int>(micros);
    }
    return setting;
}
