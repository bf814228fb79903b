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
                                           Convertible{u"-00000000002147483648", -2147483647 - 1},
                                           // A blank typed after the number is no error.
                                           Convertible{u"7 ", 7}, Convertible{u" -85   ", -85},
                                           Convertible{u"+5 ", 5}));

class RejectsTest : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(RejectsTest, ThrowsNamingTheText)
{
    const QString text = QString::fromUtf16(GetParam());
    EXPECT_FALSE(TryStrToInt(text, nullptr)) << text.toStdString();
    try {
        StrToInt(text);
        FAIL() << "converted: " << text.toStdString();
    } catch (const EConvertError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), QString::fromUtf8("«") + text + QString::fromUtf8("» — не целое число"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RejectsTest,
    ::testing::Values(u"", u" ", u"   ", u"+", u"-", u" -", u"- ", u"+ ", u"7 \t", u"7 8", u"5-", u"--1", u"+-1", u"-+1", u"++1",
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
        EXPECT_EQ(QString::fromUtf8(error.what()), QString::fromUtf8("«") + digits + QString::fromUtf8("» — не целое число"));
    }
}

TEST(ConvertTest, NonAsciiTextComesBackIntactInTheMessage)
{
    const QString text = QString::fromUtf8("пять");
    try {
        StrToInt(text);
        FAIL();
    } catch (const EConvertError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), QString::fromUtf8("«пять» — не целое число"));
    }
}

// The message as the operator reads it: in Russian, naming the text, with
// the error display's closing full stop.
TEST(ConvertTest, MessageIsRussianAndNamesTheText)
{
    try {
        StrToInt(QStringLiteral("abc"));
        FAIL();
    } catch (const EConvertError& error) {
        EXPECT_EQ(ErrorDisplayText(QString::fromStdString(error.text)), QString::fromUtf8("«abc» — не целое число."));
    }
}

struct FractionCase {
    const char16_t* text;
    bool fraction;
};

class FractionTextTest : public ::testing::TestWithParam<FractionCase> {};

TEST_P(FractionTextTest, TellsAValueWithAFraction)
{
    const QString text = QString::fromUtf16(GetParam().text);
    EXPECT_EQ(IsFractionText(text), GetParam().fraction) << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FractionTextTest,
    ::testing::Values(FractionCase{u"-2,5", true}, FractionCase{u"25,5", true}, FractionCase{u"4.5", true},
                      FractionCase{u" +0,5 ", true}, FractionCase{u",5", true}, FractionCase{u"5,", true},
                      FractionCase{u"2,0", true}, FractionCase{u"25", false}, FractionCase{u"-25", false},
                      FractionCase{u",", false}, FractionCase{u"-.", false}, FractionCase{u"", false},
                      FractionCase{u"1,2,3", false}, FractionCase{u"1.2.3", false}, FractionCase{u"1,5a", false},
                      FractionCase{u"1 ,5", false}, FractionCase{u"--1,5", false}, FractionCase{u"1e3", false},
                      FractionCase{u"\u0661,\u0665", false}));

}  // namespace
