// The error display: the final full stop rule and whole messages.
#include <QStringList>
#include <gtest/gtest.h>

#include "ui/ErrorDisplay.h"

TEST(ErrorDisplay, FullStopIsAddedOnlyAfterCharactersAboveIt)
{
    const std::pair<const char*, const char*> cases[] = {
        {"File access denied", "File access denied."},
        {"I/O error 123", "I/O error 123."},
        {"Ends with a stop.", "Ends with a stop."},
        {"Ends with a bracket)", "Ends with a bracket)"},  // ')' is below '.'
        {"Ends with a comma,", "Ends with a comma,"},
        {"Ends in Cyrillic ошибка", "Ends in Cyrillic ошибка."},
        {"", ""},
    };
    for (const auto& [message, shown] : cases)
        EXPECT_EQ(ErrorDisplayText(QString::fromUtf8(message)), QString::fromUtf8(shown)) << message;
}

TEST(ErrorDisplay, GuardedShowsTheWholeMessageAndGoesOn)
{
    QStringList shown;
    SetErrorDisplayHook([&](const QString& text) { shown << text; });
    bool after = false;
    Guarded([] { throw EConvertError(std::string("'5\0x' is not a valid integer value", 34)); });
    Guarded([] { throw EInOutError("No such file or directory"); });
    Guarded([] { throw std::runtime_error("plain"); });
    Guarded([&] { after = true; });
    SetErrorDisplayHook({});
    ASSERT_EQ(shown.size(), 3);
    EXPECT_EQ(shown[0], QString::fromUtf8("'5␀x' is not a valid integer value."));
    EXPECT_EQ(shown[1], "No such file or directory.");
    EXPECT_EQ(shown[2], "plain.");
    EXPECT_TRUE(after);
}
