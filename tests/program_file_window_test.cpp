// The control window's program files and preview.
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "ui/ProfilePreview.h"
#include "ui/Unit3.h"
#include "support/AppFixture.h"
#include "ui/ErrorDisplay.h"

class ProgramFileWindowTest : public AppFixture {
protected:
    void FillTwoSteps()
    {
        Form3->Edit1->setText("2");
        Form3->Edit2->setText("3");
        const char* rows[2][6] = {{"-40", "1", "30", "0", "45", "0"}, {"80", "2", "0", "1", "0", "90"}};
        for (int r = 1; r <= 2; ++r)
            for (int c = 1; c <= 6; ++c)
                Form3->SetCells(c, r, rows[r - 1][c - 1]);
    }
    QTemporaryDir dir;
};

TEST_F(ProgramFileWindowTest, SavedProgramLoadsBackIntoAnEmptyTable)
{
    FillTwoSteps();
    Form3->SetCells(1, 9, "stray text beyond N is not saved");
    const QString path = dir.filePath("p.csv");
    Guarded([&] { Form3->SaveProgramTo(path); });
    ASSERT_TRUE(errors.isEmpty()) << errors.join(";").toStdString();

    Form3->ComboBox1Change();  // empties the table, steps and cycles
    ASSERT_EQ(Form3->Cells(1, 1), "");
    Guarded([&] { Form3->LoadProgramFrom(path); });
    ASSERT_TRUE(errors.isEmpty()) << errors.join(";").toStdString();
    EXPECT_EQ(Form3->Edit1->text(), "2");
    EXPECT_EQ(Form3->Edit2->text(), "3");
    EXPECT_EQ(Form3->Cells(1, 1), "-40");
    EXPECT_EQ(Form3->Cells(6, 2), "90");
    EXPECT_EQ(Form3->Cells(1, 9), "");
}

TEST_F(ProgramFileWindowTest, BadFileIsReportedAndChangesNothing)
{
    FillTwoSteps();
    const QString path = dir.filePath("bad.csv");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("№ шага;Т, °С;Стабилизация, чч;Стабилизация, мм;Выход,чч;Выход,мм;RH, %\n"
               "1;20;0;0;0;0;50\n1;20;0;0;0;0;50\nЧисло шагов;2\nЧисло циклов;1\n");
    file.close();
    Guarded([&] { Form3->LoadProgramFrom(path); });
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QString::fromUtf8("Строка 3"))) << errors[0].toStdString();
    EXPECT_EQ(Form3->Cells(1, 1), "-40");
    EXPECT_EQ(Form3->Edit2->text(), "3");

    Guarded([&] { Form3->LoadProgramFrom(dir.filePath("missing.csv")); });
    EXPECT_EQ(errors.size(), 2);
}

TEST_F(ProgramFileWindowTest, PreviewFollowsTheTable)
{
    EXPECT_TRUE(Form3->ProfilePreview->DurationCaption().contains(QString::fromUtf8("не заполнена")));
    FillTwoSteps();
    // One cycle: 45 + 90 + 60 + 120 minutes; three cycles.
    EXPECT_EQ(Form3->ProfilePreview->DurationCaption(), QString::fromUtf8("Длительность: 15 ч 45 мин"));
    Form3->SetCells(1, 2, "abc");
    EXPECT_TRUE(Form3->ProfilePreview->DurationCaption().contains(QString::fromUtf8("не заполнена")));
    EXPECT_TRUE(errors.isEmpty());
}
