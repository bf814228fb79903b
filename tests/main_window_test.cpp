// The main window's start state and its port handling.
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <gtest/gtest.h>

#include "link/PortUnit.h"
#include "monitoring/StatusFields.h"
#include "support/AppFixture.h"
#include "ui/Startup.h"
#include "ui/main.h"

class MainWindowTest : public AppFixture {};

TEST_F(MainWindowTest, StartsWithOnlyPortChoiceUsable)
{
    EXPECT_TRUE(Form1->ComboBox1->isEnabled());
    EXPECT_EQ(Form1->ComboBox1->currentIndex(), -1);
    EXPECT_TRUE(Form1->Button5->isEnabled());
    for (QWidget* w : {static_cast<QWidget*>(Form1->Button4), static_cast<QWidget*>(Form1->Button1),
                       static_cast<QWidget*>(Form1->Button6), static_cast<QWidget*>(Form1->Button2),
                       static_cast<QWidget*>(Form1->CheckBox1)})
        EXPECT_FALSE(w->isEnabled());
    EXPECT_EQ(Form1->Label5->text(), "0");
    EXPECT_EQ(Form1->Label13->text(), "0(0)");
    EXPECT_EQ(Form1->Label15->text(), "00:00");
    EXPECT_EQ(Form1->ListBox1->count(), 0);
    EXPECT_TRUE(Form1->ActivityIndicator1->Animate());
    EXPECT_TRUE(Form1->Timer2->isActive());
    EXPECT_FALSE(Form1->Timer1->isActive());
    EXPECT_EQ(Form1->windowTitle(), QString::fromUtf8("Связь с ЭВМ"));
}

// Every field of the status table is a label of its own on the window,
// showing its idle text, with its caption on the window too.
TEST_F(MainWindowTest, EveryStatusFieldIsALabelShowingItsIdleText)
{
    QStringList texts;
    for (const QLabel* label : Form1->findChildren<QLabel*>())
        texts << label->text();
    QSet<const QLabel*> labels;
    for (const StatusFieldInfo& field : kStatusFields) {
        SCOPED_TRACE(field.label);
        const auto* label = Form1->findChild<QLabel*>(QLatin1String(field.label));
        ASSERT_NE(label, nullptr);
        labels.insert(label);
        EXPECT_EQ(label->text(), QString::fromUtf8(field.idleText));
        EXPECT_TRUE(texts.contains(QString::fromUtf8(field.caption)));
    }
    EXPECT_EQ(labels.size(), kStatusFieldCount);
}

// Where every control of the window stands and what it says at start: the
// operator's eye and the screenshots in the guide rely on this layout.
TEST_F(MainWindowTest, EveryControlStandsWhereTheLayoutPutsIt)
{
    struct Place {
        const char* name;
        QWidget* widget;
        QRect bounds;  // an empty size: an auto-sized label, left and top only
        const char* text;
    };
    const TForm1* f = Form1;
    const Place places[] = {
        {"ComboBox1", f->ComboBox1, {16, 52, 105, 21}, nullptr},
        {"Button5", f->Button5, {139, 52, 113, 41}, "Открыть"},
        {"Label22", f->Label22, {38, 123, 0, 0}, "Поиск устройства"},
        {"Button4", f->Button4, {16, 180, 105, 41}, "Пуск"},
        {"Button1", f->Button1, {139, 180, 113, 41}, "Стоп"},
        {"ProgressBar1", f->ProgressBar1, {16, 227, 236, 38}, nullptr},
        {"Label26", f->Label26, {104, 276, 0, 0}, "              "},
        {"Panel11", f->Panel11, {16, 313, 236, 30}, "Результаты сканирования"},
        {"ListBox1", f->ListBox1, {16, 341, 236, 253}, nullptr},
        {"Button6", f->Button6, {16, 600, 236, 57}, "Чтение текущих показаний"},
        {"Button2", f->Button2, {16, 663, 236, 65}, "Управление камерой"},
        {"CheckBox1", f->CheckBox1, {8, 734, 153, 49}, "Запись в файл"},
        {"Label23", f->Label23, {499, 3, 0, 0}, " Температура/влажность"},
        {"ActivityIndicator1", f->ActivityIndicator1, {780, 3, 32, 32}, nullptr},
        {"Label5", f->Label5, {311, 96, 154, 69}, "0"},
        {"Label6", f->Label6, {472, 96, 0, 0}, "/"},
        {"Label2", f->Label2, {496, 96, 131, 69}, "0"},
        {"Panel2", f->Panel2, {295, 171, 354, 30}, "Текущая температура/влажность, °C/%"},
        {"Label18", f->Label18, {712, 96, 153, 66}, "0"},
        {"Label7", f->Label7, {872, 93, 0, 0}, "/"},
        {"Label4", f->Label4, {896, 96, 124, 69}, "0"},
        {"Panel3", f->Panel3, {696, 171, 365, 30}, "Заданная температура/влажность, °C/%"},
        {"Label24", f->Label24, {531, 227, 0, 0}, "Временные показатели"},
        {"ActivityIndicator2", f->ActivityIndicator2, {802, 227, 32, 32}, nullptr},
        {"Label15", f->Label15, {341, 294, 208, 73}, "00:00"},
        {"Panel4", f->Panel4, {311, 373, 291, 30}, "Время выхода на режим, чч:мм"},
        {"Label11", f->Label11, {766, 294, 225, 73}, "00:00"},
        {"Panel9", f->Panel9, {744, 373, 260, 30}, "Время стабилизации, чч:мм"},
        {"Label3", f->Label3, {341, 432, 225, 73}, "00:00"},
        {"Panel10", f->Panel10, {273, 530, 376, 30}, "Уставка времени выхода на режим, чч:мм"},
        {"Label19", f->Label19, {766, 432, 208, 73}, "00:00"},
        {"Panel5", f->Panel5, {696, 530, 349, 30}, "Уставка времени стабилизации, чч:мм"},
        {"Label25", f->Label25, {509, 592, 0, 0}, "Параметры термоциклирования"},
        {"ActivityIndicator3", f->ActivityIndicator3, {883, 592, 32, 32}, nullptr},
        {"Label13", f->Label13, {301, 643, 256, 81}, "0(0)"},
        {"Panel6", f->Panel6, {304, 747, 253, 30}, "Текущий шаг(всего шагов)"},
        {"Label17", f->Label17, {584, 643, 200, 81}, "0"},
        {"Panel7", f->Panel7, {582, 747, 200, 30}, "Текущая программа"},
        {"Label20", f->Label20, {832, 643, 274, 81}, "0(0)"},
        {"Panel8", f->Panel8, {837, 747, 261, 30}, "Текущий цикл(всего циклов)"},
        {"Label1", f->Label1, {8, 799, 0, 0}, "v12.23.134.4.12.05"},
        {"Label8", f->Label8, {904, 793, 194, 19}, nullptr},
        {"AlarmMarker", f->AlarmMarker, {150, 786, 254, 27}, nullptr},
        {"ButtonChart", f->ButtonChart, {410, 786, 80, 27}, "График"},
        {"ButtonMonitor", f->ButtonMonitor, {496, 786, 130, 27}, "Монитор линии"},
        {"ButtonJournal", f->ButtonJournal, {632, 786, 130, 27}, "Журнал действий"},
        {"ButtonOverview", f->ButtonOverview, {768, 786, 130, 27}, "Обзор камер"},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.name);
        ASSERT_NE(place.widget, nullptr);
        const QRect at = place.widget->geometry();
        EXPECT_EQ(at.topLeft(), place.bounds.topLeft());
        if (!place.bounds.size().isEmpty())
            EXPECT_EQ(at.size(), place.bounds.size());
        if (!place.text)
            continue;
        if (const auto* label = qobject_cast<const QLabel*>(place.widget))
            EXPECT_EQ(label->text(), QString::fromUtf8(place.text));
        else if (const auto* button = qobject_cast<const QAbstractButton*>(place.widget))
            EXPECT_EQ(button->text(), QString::fromUtf8(place.text));
        else
            ADD_FAILURE() << "no text to compare";
    }
    // The version label shows the version the package carries.
    EXPECT_TRUE(f->Label1->text().startsWith(QStringLiteral("v" CALVETRA_PACKAGE_VERSION ".")));
    // The journal warning waits hidden until a broken chain is found.
    EXPECT_TRUE(f->LabelJournal->isHidden());
    EXPECT_EQ(f->LabelJournal->geometry(), QRect(273, 203, 830, 22));
}

TEST_F(MainWindowTest, ClockFillsOnFirstTick)
{
    EXPECT_TRUE(Form1->Label8->text().isEmpty());
    ASSERT_TRUE(PumpUntil([] { return !Form1->Label8->text().isEmpty(); }, 2000));
    EXPECT_TRUE(Form1->Label8->text().contains("  "));
}

TEST_F(MainWindowTest, FailedOpenIsReportedAndStillEnablesScan)
{
    OpenPortOn("/nonexistent/calvetra-port");
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("COM1"));
    EXPECT_TRUE(errors[0].contains("/nonexistent/calvetra-port"));
    EXPECT_TRUE(errors[0].contains("No such file or directory"));
    EXPECT_TRUE(Form1->Button4->isEnabled());
    EXPECT_TRUE(Form1->Button1->isEnabled());
    EXPECT_FALSE(Form1->Button5->isEnabled());
    EXPECT_EQ(PortHandle, kNoPort);
    EXPECT_EQ(RunningReceiveThreads(), 1);
}

TEST_F(MainWindowTest, PickingAnotherPortEnablesOpenAgain)
{
    OpenPortOn("/nonexistent/calvetra-port");
    Form1->ComboBox1Change();
    EXPECT_TRUE(Form1->Button5->isEnabled());
}

TEST_F(MainWindowTest, EnableTimerKeepsARunningPeriod)
{
    QTimer* t = Form1->Timer4;
    TForm1::EnableTimer(t);
    ASSERT_TRUE(t->isActive());
    Pump(20);
    const int before = t->remainingTime();
    TForm1::EnableTimer(t);
    EXPECT_LE(t->remainingTime(), before);
}

TEST_F(MainWindowTest, TabOrderFollowsTheOperatorsPath)
{
    const std::vector<QWidget*> order = {Form1->ComboBox1, Form1->Button4, Form1->Button5, Form1->ListBox1,
                                         Form1->Button6,   Form1->CheckBox1, Form1->Button1, Form1->Button2,
                                         Form1->ButtonChart};
    // The next widget Tab would reach, disabled ones included (Qt skips those
    // at run time just as the operator expects).
    auto nextTabStop = [](QWidget* w) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        return w;
    };
    for (size_t i = 0; i + 1 < order.size(); ++i)
        EXPECT_EQ(nextTabStop(order[i]), order[i + 1]) << "after control " << i;
}

TEST(QtTranslations, StandardButtonsAndFileDialogsSpeakRussian)
{
    ASSERT_TRUE(InstallQtTranslations()) << "qtbase_ru.qm not found (qt6-translations-l10n)";
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Save);
    QFileDialog dialog(nullptr, QStringLiteral("Сохранить"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    const QString cancel = buttons.button(QDialogButtonBox::Cancel)->text();
    const QString save = buttons.button(QDialogButtonBox::Save)->text();
    const QString look = dialog.labelText(QFileDialog::LookIn);
    RemoveQtTranslations();
    EXPECT_EQ(cancel, QStringLiteral("Отмена"));
    EXPECT_EQ(save, QStringLiteral("Сохранить"));
    EXPECT_NE(look, QStringLiteral("Look in:"));
    // Installing again is harmless.
    EXPECT_TRUE(InstallQtTranslations());
    EXPECT_TRUE(InstallQtTranslations());
    RemoveQtTranslations();
    EXPECT_EQ(QDialogButtonBox(QDialogButtonBox::Cancel).button(QDialogButtonBox::Cancel)->text(), "Cancel");
}
