// How the report writes numbers and names: the locale's separator in its own
// figures and in texts taken from files, halves rounded away from zero, and
// the author's name from the account.
#include <gtest/gtest.h>

#include <clocale>

#include "support/AppFixture.h"
#include "report/ReportPdf.h"

TEST(ReportText, NumbersInTheLocalesForm)
{
    struct Case {
        const char* locale;
        double value;
        int decimals;
        const char* text;
    } cases[] = {
        {"ru_RU.UTF-8", 31.55, 1, "31,6"},  {"ru_RU.UTF-8", 21.65, 1, "21,7"}, {"ru_RU.UTF-8", -44.45, 1, "-44,5"},
        {"ru_RU.UTF-8", -0.04, 1, "0,0"},   {"ru_RU.UTF-8", 25, 0, "25"},      {"en_US.UTF-8", 31.55, 1, "31.6"},
        {"en_US.UTF-8", 2, 1, "2.0"},       {"C.UTF-8", 51.8, 1, "51.8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + " " + std::to_string(c.value));
        ScopedLocale numeric(LC_NUMERIC, c.locale);
        ASSERT_TRUE(numeric.ok());
        EXPECT_EQ(ReportDecimal(c.value, c.decimals), QString::fromUtf8(c.text));
    }
}

TEST(ReportText, DecimalsInTextsFromFiles)
{
    ScopedLocale comma(LC_NUMERIC, "ru_RU.UTF-8");
    ASSERT_TRUE(comma.ok());
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"51.8", "51,8"},
        {"-45.5 °C, 60 %", "-45,5 °C, 60 %"},
        {"было 25.5, стало 30.0", "было 25,5, стало 30,0"},
        {"шаг 1: 25 °C, 60 %", "шаг 1: 25 °C, 60 %"},                  // a comma and a space: no decimal
        {"10.12.2026 13:44:59", "10.12.2026 13:44:59"},                // a date stays
        {"версия 1.2.3", "версия 1.2.3"},                              // so does a version
        {"31,55", "31,55"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LocaliseDecimals(QString::fromUtf8(c.in)), QString::fromUtf8(c.out)) << c.in;
    ScopedLocale dot(LC_NUMERIC, "en_US.UTF-8");
    ASSERT_TRUE(dot.ok());
    EXPECT_EQ(LocaliseDecimals(QStringLiteral("31,55 и 51.8")), QStringLiteral("31.55 и 51.8"));
}

TEST(ReportText, FullNameFromTheAccount)
{
    struct Case {
        const char* gecos;
        const char* login;
        const char* name;
    } cases[] = {
        {"Иван Петрович Сидоров,комната 5,+7 495 000,,", "isidorov", "Иван Петрович Сидоров"},
        {"Anna Smith", "asmith", "Anna Smith"},
        {"  Anna Smith  ,2", "asmith", "Anna Smith"},
        {"", "isidorov", "isidorov"},
        {",комната 5,,", "isidorov", "isidorov"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AccountFullName(QString::fromUtf8(c.gecos), QString::fromUtf8(c.login)), QString::fromUtf8(c.name))
            << c.gecos;
}
