// Program files: save then load, and every malformed file refused whole.
#include <gtest/gtest.h>

#include "control/ProgramFile.h"

namespace {

ProgramTexts ThreeSteps()
{
    ProgramTexts t;
    t.steps = "3";
    t.cycles = "125";
    const char* rows[3][6] = {{"-40", "1", "30", "0", "45", "0"},
                              {"180", "99", "59", "99", "59", "98"},
                              {"25", "0", "0", "0", "10", "50"}};
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 6; ++c)
            t.Cell(r, c) = rows[r - 1][c - 1];
    return t;
}

const QByteArray kGood =
    "№ шага;Т, °С;Стабилизация, чч;Стабилизация, мм;Выход,чч;Выход,мм;RH, %\r\n"
    "1;-40;1;30;0;45;0\r\n"
    "2;180;99;59;99;59;98\r\n"
    "3;25;0;0;0;10;50\r\n"
    "Число шагов;3\r\n"
    "Число циклов;125\r\n";

}  // namespace

TEST(ProgramFile, SaveWritesHeadingsStepsAndCounts)
{
    EXPECT_EQ(ProgramToCsv(ThreeSteps()), kGood);
}

TEST(ProgramFile, SaveThenLoadGivesTheSameProgram)
{
    ProgramTexts loaded;
    QString error;
    ASSERT_TRUE(ProgramFromCsv(ProgramToCsv(ThreeSteps()), &loaded, &error)) << error.toStdString();
    const ProgramTexts original = ThreeSteps();
    EXPECT_EQ(loaded.steps, original.steps);
    EXPECT_EQ(loaded.cycles, original.cycles);
    EXPECT_EQ(loaded.cells, original.cells);
}

TEST(ProgramFile, SpreadsheetFormsAreAccepted)
{
    QByteArray withBom = "\xEF\xBB\xBF" + kGood;
    withBom.replace("Число шагов;3\r\n", "Число шагов;3;;;;;\n");
    ProgramTexts loaded;
    QString error;
    EXPECT_TRUE(ProgramFromCsv(withBom, &loaded, &error)) << error.toStdString();
}

TEST(ProgramFile, MalformedFilesNameTheLineAndChangeNothing)
{
    struct Case {
        QByteArray from, to;
        const char* expected;  // part of the message
    };
    const Case cases[] = {
        {"RH, %", "RH", "Строка 1"},
        {"2;180;99;59;99;59;98", "2;181;99;59;99;59;98", "Строка 3: 181"},
        {"2;180;99;59;99;59;98", "2;abc;99;59;99;59;98", "Строка 3: «abc»"},
        {"2;180;99;59;99;59;98", "2;180;99;60;99;59;98", "Строка 3: 60"},
        {"2;180;99;59;99;59;98", "2;180;;59;99;59;98", "Строка 3: пустое"},
        {"2;180;99;59;99;59;98", "2;180;99;59;99;59", "Строка 3: ожидалось 7"},
        {"3;25;0;0;0;10;50", "4;25;0;0;0;10;50", "Строка 4: ожидался шаг 3"},
        {"1;-40;1;30;0;45;0", "1;-40;1;30;0;45;99", "Строка 2: 99"},
        {"Число шагов;3", "Число шагов;4", "строк шагов в файле 3"},
        {"Число шагов;3", "Число шагов;16", "Строка 5: 16"},
        {"Число циклов;125", "Число циклов;1000", "Строка 6: 1000"},
        {"Число циклов;125", "Число циклов;0", "Строка 6: 0"},
        {"Число циклов;125", "Циклы;125", "Строка 6"},
        {"2;180;99;59;99;59;98", "2;2147483648;99;59;99;59;98", "не целое"},
        {"2;180;99;59;99;59;98", "2;１８０;99;59;99;59;98", "не целое"},
    };
    for (const Case& c : cases) {
        QByteArray file = kGood;
        ASSERT_TRUE(file.contains(c.from));
        file.replace(c.from, c.to);
        ProgramTexts texts = ThreeSteps();
        texts.Cell(1, 1) = "untouched";
        QString error;
        EXPECT_FALSE(ProgramFromCsv(file, &texts, &error)) << c.to.constData();
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.expected))) << error.toStdString();
        EXPECT_EQ(texts.Cell(1, 1), "untouched");
    }
    ProgramTexts texts;
    QString error;
    EXPECT_FALSE(ProgramFromCsv("", &texts, &error));
    EXPECT_FALSE(ProgramFromCsv("\xff\xfe\x00", &texts, &error));
}

TEST(ProgramFile, ProfileAndDurationCoverEveryCycle)
{
    ProgramTexts t = ThreeSteps();
    t.cycles = "2";
    // One cycle: 45 + 90, 99*60+59 + 99*60+59, 10 + 0 minutes.
    const int cycle = 135 + 2 * (99 * 60 + 59) + 10;
    EXPECT_EQ(ProgramDurationMinutes(t), 2 * cycle);
    const auto profile = ProgramProfile(t);
    ASSERT_EQ(profile.size(), 12);
    EXPECT_EQ(profile[0].minute, 45);
    EXPECT_EQ(profile[0].temperature, -40);
    EXPECT_EQ(profile[1].minute, 135);
    EXPECT_EQ(profile[5].humidity, 50);
    t.steps = "x";
    EXPECT_TRUE(ProgramProfile(t).isEmpty());
    EXPECT_EQ(DurationText(125), QString::fromUtf8("2 ч 05 мин"));
    EXPECT_EQ(DurationText(27 * 60), QString::fromUtf8("1 сут 3 ч 00 мин"));
}
