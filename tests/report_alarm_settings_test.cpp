// The alarm settings dialog's part in the report: each chamber's name and
// serial number, kept with the alarm settings; and a tolerance box that
// refuses a text that is no number instead of making one of what is left.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QSettings>
#include <QTimer>

#include "ui/AlarmWindow.h"

namespace {

// Types the text into the box as the keyboard would, over what it holds.
void Type(QDoubleSpinBox* box, const QString& text)
{
    box->selectAll();
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(box, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(box, &release);
    }
}

ChamberArming Chamber(int address)
{
    ChamberArming c;
    c.chamberAddress = address;
    c.arming.armed = true;
    return c;
}

}  // namespace

TEST(ReportAlarmSettings, ChamberNameAndSerialAreKeptPerChamber)
{
    SaveChamberIdentity(3, {QStringLiteral("  КТХ-500  "), QStringLiteral("SN 17")});
    SaveChamberIdentity(12, {QStringLiteral("Тепловая 2"), QString()});
    EXPECT_EQ(LoadChamberIdentity(3), (ChamberIdentity{QStringLiteral("КТХ-500"), QStringLiteral("SN 17")}));
    EXPECT_EQ(LoadChamberIdentity(12), (ChamberIdentity{QStringLiteral("Тепловая 2"), QString()}));
    EXPECT_EQ(LoadChamberIdentity(4), ChamberIdentity{});
    // In the settings file itself, where the next start of the program finds it.
    QSettings().sync();
    EXPECT_EQ(QSettings(QSettings().fileName(), QSettings::IniFormat).value("chamberIdentity/3/serial").toString(),
              QStringLiteral("SN 17"));
    SaveChamberIdentity(3, {});
    EXPECT_EQ(LoadChamberIdentity(3), ChamberIdentity{});
    EXPECT_FALSE(QSettings().contains(QStringLiteral("chamberIdentity/3/name")));
    SaveChamberIdentity(12, {});
}

TEST(ReportAlarmSettings, TheDialogEditsTheSelectedChambersNameAndSerial)
{
    SaveChamberIdentity(5, {QStringLiteral("Старое имя"), QStringLiteral("SN 1")});
    TAlarmWindow window;
    window.ShowArming({Chamber(5), Chamber(12)});
    QStringList seen;
    QTimer::singleShot(0, [&] {
        TAlarmSettingsDialog* d = window.SettingsDialog;
        EXPECT_FALSE(d->ChamberName->isEnabled());  // no chamber picked yet
        d->Arming->setCurrentRow(0);
        seen << d->ChamberName->text() << d->ChamberSerial->text();
        d->Arming->setCurrentRow(1);
        d->ChamberName->setText(QStringLiteral("КТХ-1000 №2"));
        d->ChamberSerial->setText(QStringLiteral("0421-17"));
        d->Arming->setCurrentRow(0);  // chamber 5 stays as it was
        seen << d->ChamberName->text();
        d->ButtonOk->click();
    });
    window.EditSettings();
    EXPECT_EQ(seen, (QStringList{QStringLiteral("Старое имя"), QStringLiteral("SN 1"), QStringLiteral("Старое имя")}));
    EXPECT_EQ(LoadChamberIdentity(12), (ChamberIdentity{QStringLiteral("КТХ-1000 №2"), QStringLiteral("0421-17")}));
    EXPECT_EQ(LoadChamberIdentity(5), (ChamberIdentity{QStringLiteral("Старое имя"), QStringLiteral("SN 1")}));

    // Cancel keeps nothing of what was typed.
    QTimer::singleShot(0, [&] {
        TAlarmSettingsDialog* d = window.SettingsDialog;
        d->Arming->setCurrentRow(1);
        d->ChamberName->setText(QStringLiteral("не то"));
        d->ButtonCancel->click();
    });
    window.EditSettings();
    EXPECT_EQ(LoadChamberIdentity(12).name, QStringLiteral("КТХ-1000 №2"));
    SaveChamberIdentity(5, {});
    SaveChamberIdentity(12, {});
}

TEST(ReportAlarmSettings, ATolerancesTextThatIsNoNumberIsRefused)
{
    struct Case {
        const char* text;
        bool ok;
        double value;
    } cases[] = {
        {"2", true, 2},        {"2,5", true, 2.5},   {"2.5 °C", true, 2.5}, {"100", true, 100},  {"0,1", true, 0.1},
        {"abc-1e9", false, 0}, {"1e1", false, 0},    {"-2", false, 0},      {"0", false, 0},     {"100,1", false, 0},
        {"", false, 0},        {"2,55", false, 0},   {"2,", false, 0},      {"19 °C x", false, 0},
    };
    for (const Case& c : cases) {
        double v = -1;
        EXPECT_EQ(ParseTolerance(QString::fromUtf8(c.text), QStringLiteral(" °C"), &v), c.ok) << c.text;
        if (c.ok)
            EXPECT_DOUBLE_EQ(v, c.value) << c.text;
    }

    TAlarmSettingsDialog dialog;
    AlarmSettings s;
    s.temperatureBand = 2;
    dialog.SetValues(s);
    dialog.show();
    Type(dialog.TemperatureBand, QStringLiteral("abc-1e9"));
    // Kept as typed, red, and not to be saved.
    EXPECT_TRUE(dialog.TemperatureBand->text().contains(QStringLiteral("abc-1e9"))) << dialog.TemperatureBand->text().toStdString();
    EXPECT_FALSE(dialog.TolerancesValid());
    EXPECT_FALSE(dialog.ButtonOk->isEnabled());
    EXPECT_TRUE(dialog.TemperatureBand->styleSheet().contains(QStringLiteral("background")));
    dialog.accept();
    EXPECT_TRUE(dialog.isVisible());  // Enter in the red box saves nothing
    EXPECT_DOUBLE_EQ(dialog.Values().temperatureBand, 2);

    Type(dialog.TemperatureBand, QStringLiteral("3,5"));
    EXPECT_TRUE(dialog.TolerancesValid());
    EXPECT_TRUE(dialog.ButtonOk->isEnabled());
    EXPECT_TRUE(dialog.TemperatureBand->styleSheet().isEmpty());
    EXPECT_DOUBLE_EQ(dialog.Values().temperatureBand, 3.5);
    dialog.accept();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}
