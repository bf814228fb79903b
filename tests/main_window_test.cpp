// The main window's start state and its port handling.
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
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
