// The whole-number conversion of the operator's texts.
#include <QString>
#include <gtest/gtest.h>

#include "control/Convert.h"
#include "ui/ErrorDisplay.h"

namespace {

struct Convertible {
    const char16_t* text;
    int value;
};

class ConvertsTest : public ::testing::TestWithParam<Convertible> {};

TEST_P(ConvertsTest, GivesTheValue)
{
    const QString text = QString::fromUtf16(GetParam().text);
    EXPECT_EQ(StrToInt(text), GetParam().value) << text.toStdString();
    int value = -12345;
    EXPECT_TRUE(TryStrToInt(text, &value));
    EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, ConvertsTest,
                         ::testing::Values(Convertible{u"0", 0}, Convertible{u"7", 7}, Convertible{u" 7", 7},
                                           Convertible{u"   -85", -85}, Convertible{u"+5", 5},
                                           Convertible{u"-0", 0}, Convertible{u"+0", 0},
                                           Convertible{u"007", 7}, Convertible{u"-007", -7},
                                           Convertible{u"180", 180}, Convertible{u"2147483647", 2147483647},
                                           Convertible{u"-2147483648", -2147483647 - 1},
                                           Convertible{u"0000000000000000000000000042", 42},
                                           Convertible{u"-00000000002147483648", -2147483647 - 1}));

class RejectsTest : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(RejectsTest, ThrowsNamingTheText)
{
    const QString text = QString::fromUtf16(GetParam());
    EXPECT_FALSE(TryStrToInt(text, nullptr)) << text.toStdString();
    try {
        StrToInt(text);
        FAIL() << "converted: " << text.toStdString();
    } catch (const EConvertError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), "'" + text + "' is not a valid integer value");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RejectsTest,
    ::testing::Values(u"", u" ", u"   ", u"+", u"-", u" -", u"7 ", u"5-", u"--1", u"+-1", u"-+1", u"++1",
                      u"- 1", u"1 2", u"1.5", u"1,5", u"abc", u"12a", u"\t7", u"7\n", u"2147483648",
                      u"-2147483649", u"4294967296", u"99999999999999999999999999999",
                      u"4294967303",  // wraps to 7 in 32 bits
                      u"$1F", u"0x1F", u"1e3",
                      u"\u0663",         // Arabic-Indic three
                      u"\uFF17",         // fullwidth seven
                      u"1\u0660",        // a Latin digit then an Arabic-Indic zero
                      u"\u00A07",        // no-break space in front
                      u"\u22127",        // minus sign U+2212
                      u"\u0037\u0301"));  // seven with a combining accent

TEST(ConvertTest, VeryLongDigitRunFailsWithTheWholeText)
{
    const QString digits(100000, u'9');
    try {
        StrToInt(digits);
        FAIL();
    } catch (const EConvertError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), "'" + digits + "' is not a valid integer value");
    }
}

TEST(ConvertTest, NonAsciiTextComesBackIntactInTheMessage)
{
    const QString text = QString::fromUtf8("пять");
    try {
        StrToInt(text);
        FAIL();
    } catch (const EConvertError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), QString::fromUtf8("'пять' is not a valid integer value"));
    }
}

}  // namespace
