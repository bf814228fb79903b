// The whole-number conversion of operator texts against a reference written
// here from the rule: optional leading blanks (U+0020 only), one optional
// sign, one or more ASCII digits, optional trailing blanks and nothing else,
// within the signed 32-bit range. Any disagreement ends the run.
//
// Input: byte 0 selects how the rest becomes a text. Even: every byte is
// one character picked from a small alphabet of the characters that matter
// (digits, blanks, signs and their look-alikes). Odd: the bytes are UTF-16
// code units, so any character, surrogates included.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <QString>

#include "control/Convert.h"
#include "monitoring/HandlerErrors.h"

namespace {

[[noreturn]] void Mismatch(const char* what, const QString& text)
{
    std::fprintf(stderr, "mismatch: %s for \"%s\"\n", what, text.toUtf8().constData());
    std::abort();
}

const char16_t kAlphabet[] = {
    u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7', u'8', u'9', u'0', u'9', u'1', u'2',  // digits, more often
    u' ', u' ', u'+', u'-', u'-', u'\t', u'\0', u'\n',
    0x00A0,  // no-break space
    0x3000,  // ideographic space
    0x2212,  // minus sign
    0xFF10,  // fullwidth zero
    0xFF15,  // fullwidth five
    0x0660,  // Arabic-Indic zero
    0x06F5,  // extended Arabic-Indic five
    0x00B2,  // superscript two
    0x0301,  // combining acute
    0xD835,  // a high surrogate alone
    u'a', u'e', u'x', u'$', u'.', u',',
};
constexpr size_t kAlphabetSize = sizeof kAlphabet / sizeof kAlphabet[0];

// The rule, step by step, with a wide accumulator that stops early.
bool Reference(const QString& text, long long* value)
{
    qsizetype n = text.size();
    while (n > 0 && text.at(n - 1).unicode() == 0x20)
        --n;
    qsizetype i = 0;
    while (i < n && text.at(i).unicode() == 0x20)
        ++i;
    int sign = 1;
    if (i < n && (text.at(i).unicode() == u'+' || text.at(i).unicode() == u'-')) {
        sign = text.at(i).unicode() == u'-' ? -1 : 1;
        ++i;
    }
    if (i >= n)
        return false;
    long long magnitude = 0;
    bool big = false;
    for (; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return false;
        if (!big) {
            magnitude = magnitude * 10 + (c - u'0');
            big = magnitude > 4000000000LL;
        }
    }
    if (big)
        return false;
    const long long signedValue = sign * magnitude;
    if (signedValue < -2147483648LL || signedValue > 2147483647LL)
        return false;
    *value = signedValue;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    QString text;
    if (data[0] % 2 == 0) {
        for (size_t i = 1; i < size; ++i)
            text += QChar(kAlphabet[data[i] % kAlphabetSize]);
    } else {
        for (size_t i = 1; i + 1 < size; i += 2)
            text += QChar(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }

    long long expected = 0;
    const bool converts = Reference(text, &expected);

    int value = 12345;
    const bool ok = TryStrToInt(text, &value);
    if (ok != converts)
        Mismatch(converts ? "refused a whole number" : "accepted a text that is no whole number", text);
    if (ok && value != expected)
        Mismatch("wrong value", text);
    if (!ok && value != 12345)
        Mismatch("value changed by a failed conversion", text);
    if (!TryStrToInt(text, nullptr) == ok)
        Mismatch("result depends on the value pointer", text);

    try {
        const int thrown = StrToInt(text);
        if (!converts || thrown != expected)
            Mismatch("StrToInt differs from the rule", text);
    } catch (const EConvertError& error) {
        if (converts)
            Mismatch("StrToInt threw for a whole number", text);
        const std::string message = QStringLiteral("«%1» — не целое число").arg(text).toStdString();
        // what() ends at a NUL of the text; up to there it must be the message.
        if (std::string(error.what()) != message.substr(0, message.find('\0')))
            Mismatch("message does not name the text", text);
    }
    return 0;
}
