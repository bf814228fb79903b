// Alarms end to end: the application polls the simulated chamber through a
// pseudo-terminal; what the chamber does must reach the marker, the
// "Тревоги" window, the desktop notification and the event file.
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <array>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "link/Waits.h"
#include "monitoring/DataLog.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "monitoring/ActionJournal.h"
#include "support/AppFixture.h"
#include "ui/AlarmCenter.h"
#include "ui/AlarmWindow.h"
#include "services/Watching.h"
#include "ui/ErrorDisplay.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {

// The settings file of this test program goes to a folder of its own,
// before anything reads it.
using Words = std::array<uint16_t, 17>;

// 25.3 °C of 30.0 (4.7 °C off), 70.0 % of 70 %, program 0.
Words OutOfBand() { return {253, 0, 300, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 700, 700}; }
Words Inside() { return {299, 0, 300, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 700, 700}; }

struct Notification {
    QString summary, body;
    bool urgent;
};

}  // namespace

class AlarmSimTest : public AppFixture {
protected:
    explicit AlarmSimTest(double scale = 0.1) : AppFixture(scale) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(dir.isValid());
        SetProgramFolderForTests(dir.path() + "/");
        AlarmCenter->SetNotifier([this](const QString& s, const QString& b, bool u) {
            notes.push_back({s, b, u});
            return true;
        });
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(bus.AddChamber(1));
        // As a start the chamber confirmed would: its deviations are watched.
        AlarmCenter->SetDeviationArmed(1, true, QStringLiteral("оператором"), true);
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        SetProgramFolderForTests({});
        bus.Stop();
    }

    void Pin(const Words& words)
    {
        bus.WithChamber(1, [&](sim::ChamberModel& m) {
            for (int n = 0; n < 17; ++n)
                m.PinStatusWord(n, words[n]);
        });
    }
    void StartReading()
    {
        Form1->ListBox1->addItem(ChamberEntryText(1));
        Form1->ListBox1->setCurrentRow(0);
        Guarded([] { Form1->Button6Click(); });
    }
    void Use(const AlarmSettings& s) { AlarmCenter->ApplySettings(s, false); }

    int Count(AlarmKind kind) const
    {
        int n = 0;
        for (const Alarm& a : AlarmCenter->Rules().Alarms())
            n += a.kind == kind;
        return n;
    }
    const Alarm* Last(AlarmKind kind) const
    {
        const Alarm* last = nullptr;
        for (const Alarm& a : AlarmCenter->Rules().Alarms())
            if (a.kind == kind)
                last = &a;
        return last;
    }
    // Event file lines after the header.
    QStringList EventLines() const
    {
        const QString text = QString::fromUtf8(ReadFileBytes(AlarmCenter->EventFileName()));
        QStringList lines = text.split("\r\n", Qt::SkipEmptyParts);
        if (!lines.isEmpty())
            lines.removeFirst();
        return lines;
    }
    quint64 Polls() const
    {
        return AlarmCenter->Watched().pollsAnswered + AlarmCenter->Watched().pollsUnanswered;
    }

    sim::BusSimulator bus;
    QTemporaryDir dir;
    std::vector<Notification> notes;
};

TEST_F(AlarmSimTest, ChamberOutOfItsBandRaisesOneAlarmAfterTheDelayAndEndsItWhenBack)
{
    bus.SetSpeed(0);
    Pin(OutOfBand());
    AlarmSettings s;
    s.temperatureBand = 2;
    s.temperatureDelay = 20;  // 2 s with the waits at a tenth
    Use(s);
    EXPECT_EQ(AlarmCenter->MarkerText(), "Тревог нет");
    StartReading();
    const qint64 firstPoll = AlarmCenter->Watched().lastAnswered;
    ASSERT_GT(firstPoll, 0);
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Temperature) > 0; }, 30000));
    const Alarm alarm = *Last(AlarmKind::Temperature);
    EXPECT_GT(alarm.start - firstPoll, 2000) << "raised before the delay had passed";
    EXPECT_DOUBLE_EQ(alarm.value, 25.3);
    EXPECT_DOUBLE_EQ(alarm.setPoint, 30.0);
    EXPECT_TRUE(AlarmCenter->MarkerText().startsWith("ТРЕВОГА: Температура вне допуска"))
        << AlarmCenter->MarkerText().toStdString();
    EXPECT_EQ(Form1->AlarmMarker->text(), AlarmCenter->MarkerText());

    // Still outside for several more polls: still one alarm.
    const quint64 polls = Polls();
    ASSERT_TRUE(PumpUntil([&] { return Polls() >= polls + 4; }, 30000));
    EXPECT_EQ(Count(AlarmKind::Temperature), 1);
    EXPECT_EQ(AlarmCenter->Watched().alarmsTemperature, 1);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].urgent);
    EXPECT_TRUE(notes[0].body.contains("25.3")) << notes[0].body.toStdString();

    TAlarmWindow* window = AlarmCenter->Window();
    ASSERT_EQ(window->Table->rowCount(), 1);
    EXPECT_EQ(window->Table->item(0, 1)->text(), "1");
    EXPECT_EQ(window->Table->item(0, 5)->text(), "идёт");

    Pin(Inside());
    ASSERT_TRUE(PumpUntil([&] { return !Last(AlarmKind::Temperature)->Active(); }, 30000));
    EXPECT_DOUBLE_EQ(Last(AlarmKind::Temperature)->endValue, 29.9);
    EXPECT_EQ(Count(AlarmKind::Temperature), 1);
    EXPECT_TRUE(AlarmCenter->MarkerText().startsWith("Не подтверждено")) << AlarmCenter->MarkerText().toStdString();
    EXPECT_NE(window->Table->item(0, 5)->text(), "идёт");

    // The operator acknowledges it in the window, with a comment for the journal.
    window->Table->selectRow(0);
    window->EditComment->setText(QStringLiteral("дверь была открыта"));
    window->ButtonAcknowledge->click();
    EXPECT_TRUE(Last(AlarmKind::Temperature)->acknowledged);
    {
        JournalRecord last;
        CheckJournal(JournalFileName(JournalFolder()), [&](const JournalRecord& r) { last = r; });
        EXPECT_EQ(last.action, "Подтверждение тревоги");
        EXPECT_EQ(last.chamber, "1");
        EXPECT_TRUE(last.oldValue.startsWith("тревога №1: ")) << last.oldValue.toStdString();
        EXPECT_EQ(last.newValue, "дверь была открыта");
        EXPECT_TRUE(window->EditComment->text().isEmpty());
    }
    EXPECT_EQ(AlarmCenter->MarkerText(), "Тревог нет");

    const QStringList lines = EventLines();
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].contains(",начало,1,Температура,1,COM1,25.3,30.0,")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(",конец,1,Температура,1,COM1,29.9,30.0,")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].contains(",подтверждение,1,")) << lines[2].toStdString();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

TEST_F(AlarmSimTest, SilentChamberRaisesTheLinkAlarmWithTheLinkLossWindow)
{
    bus.SetSpeed(0);
    Pin(Inside());
    StartReading();
    EXPECT_EQ(AlarmCenter->Watched().link, LinkState::Up);
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(1, silent);
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Link) > 0; }, 60000));
    EXPECT_TRUE(Form5->isVisible());
    EXPECT_TRUE(Last(AlarmKind::Link)->Active());
    EXPECT_EQ(AlarmCenter->Watched().link, LinkState::Down);
    EXPECT_GE(AlarmCenter->Watched().pollsUnanswered, 1u);
    EXPECT_TRUE(AlarmCenter->MarkerText().contains("Возможен обрыв линии RS-485"));

    bus.SetFaults(1, sim::Faults{});
    ASSERT_TRUE(PumpUntil([&] { return !Last(AlarmKind::Link)->Active(); }, 60000));
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_EQ(Count(AlarmKind::Link), 1);
    const QStringList lines = EventLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(",начало,1,Связь,1,COM1,")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(",конец,1,Связь,1,COM1,")) << lines[1].toStdString();
}

TEST_F(AlarmSimTest, PortOfAnAlarmIsThePortItStartedOnNotTheDropDowns)
{
    bus.SetSpeed(0);
    Pin(Inside());
    StartReading();
    // The operator looks at another entry without opening it.
    Form1->ComboBox1->setCurrentIndex(2);
    sim::Faults silent;
    silent.silent = true;
    bus.SetFaults(1, silent);
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Link) > 0; }, 60000));
    EXPECT_EQ(AlarmCenter->Watched().port, "COM1");
    // Reading off, then another port opened (it is not there): the alarm's
    // acknowledgement still names the port it started on.
    Guarded([] { Form1->Button6Click(); });
    ::setenv("CALVETRA_COM3", "/nonexistent/calvetra-com3", 1);
    Guarded([] { Form1->Button5Click(); });
    ::unsetenv("CALVETRA_COM3");
    EXPECT_EQ(errors.size(), 1);
    errors.clear();
    EXPECT_EQ(Form1->OpenPortName(), "COM3");
    AlarmCenter->AcknowledgeAll();
    const QStringList lines = EventLines();
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].contains(",начало,1,Связь,1,COM1,")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(",конец,1,Связь,1,COM1,")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].contains(",подтверждение,1,Связь,1,COM1,")) << lines[2].toStdString();
}

TEST_F(AlarmSimTest, ProgramRunToItsEndRaisesTheNotice)
{
    // One step at room climate, so neither deviation alarm can interfere:
    // 22 °C, 45 %, 5 min to hold, one cycle. 120 simulated seconds a real
    // second: the program runs about 2.5 s, several polls see it.
    bus.SetSpeed(0);
    bus.WithChamber(1, [](sim::ChamberModel& m) {
        ASSERT_EQ(m.WriteRegisters(0x00, {1, 1, 22, 0, 5, 45, 1, 0, 2, 0, 1, 0, 1}), 0);
        ASSERT_EQ(m.WriteRegisters(0x11, {1, 1}), 0);
    });
    StartReading();
    EXPECT_EQ(AlarmCenter->Watched().program.value_or(-1), 1);
    bus.SetSpeed(120);
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::ProgramEnd) > 0; }, 60000));
    const Alarm* notice = Last(AlarmKind::ProgramEnd);
    EXPECT_EQ(notice->text, "Программа 1 завершена");
    EXPECT_EQ(AlarmCenter->Watched().alarmsProgramEnd, 1);
    EXPECT_TRUE(AlarmCenter->MarkerText().contains("Программа 1 завершена"));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_FALSE(notes[0].urgent);
    const quint64 polls = Polls();
    ASSERT_TRUE(PumpUntil([&] { return Polls() >= polls + 3; }, 30000));
    EXPECT_EQ(Count(AlarmKind::ProgramEnd), 1);
    EXPECT_EQ(Count(AlarmKind::Temperature) + Count(AlarmKind::Humidity), 0);
    // The program's end disarms the deviation alarms: the chamber now sits
    // at whatever its last step left.
    EXPECT_FALSE(AlarmCenter->Arming(1).armed);
    EXPECT_EQ(AlarmCenter->Arming(1).why, QStringLiteral("программа закончилась"));

    AlarmCenter->Window()->ButtonAcknowledgeAll->click();
    EXPECT_EQ(AlarmCenter->Watched().alarmsProgramEnd, 0);
    const QStringList lines = EventLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(",начало,1,Программа,1,COM1,1,,Программа 1 завершена")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(",подтверждение,1,Программа,")) << lines[1].toStdString();
}

TEST_F(AlarmSimTest, OnlyAnArmedChamberRaisesDeviationAlarms)
{
    bus.SetSpeed(0);
    Pin(OutOfBand());
    AlarmSettings s;
    s.temperatureDelay = 0;
    Use(s);
    auto changes = [] {
        int n = 0;
        CheckJournal(JournalFileName(JournalFolder()), [&](const JournalRecord& r) {
            if (r.action == QStringLiteral("Тревоги отклонения") && r.chamber == QStringLiteral("1"))
                ++n;
        });
        return n;
    };
    const int before = changes();
    // A chamber that runs nothing: far from its set point, nothing wrong.
    AlarmCenter->SetDeviationArmed(1, false, QStringLiteral("оператором"), true);
    StartReading();
    Pump(5 * ScaledMs(4000));
    EXPECT_EQ(Count(AlarmKind::Temperature), 0);
    EXPECT_TRUE(AlarmCenter->Window()->LabelArming->text().contains(QStringLiteral("тревоги отклонения выключены с ")))
        << AlarmCenter->Window()->LabelArming->text().toStdString();

    // A start the chamber confirmed arms them; the deviation alarms.
    AlarmCenter->CommandConfirmed(1, true);
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Temperature) > 0; }, 30000));
    EXPECT_TRUE(Last(AlarmKind::Temperature)->Active());
    EXPECT_TRUE(AlarmCenter->Window()->LabelArming->isHidden());
    // A confirmed stop disarms: the alarm ends at once, none comes again.
    AlarmCenter->CommandConfirmed(1, false);
    EXPECT_FALSE(Last(AlarmKind::Temperature)->Active());
    Pump(3 * ScaledMs(4000));
    EXPECT_EQ(Count(AlarmKind::Temperature), 1);
    EXPECT_FALSE(AlarmCenter->Arming(1).armed);
    EXPECT_EQ(AlarmCenter->Arming(1).why, QStringLiteral("останов подтверждён камерой"));
    // Each change is in the journal under the chamber: off, on, off.
    EXPECT_EQ(changes() - before, 3);
}

TEST_F(AlarmSimTest, SwitchingReadingOffEndsActiveAlarms)
{
    bus.SetSpeed(0);
    Pin(OutOfBand());
    AlarmSettings s;
    s.temperatureDelay = 0;
    Use(s);
    StartReading();
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Temperature) > 0; }, 30000));
    Guarded([] { Form1->Button6Click(); });
    EXPECT_FALSE(Last(AlarmKind::Temperature)->Active());
    EXPECT_FALSE(AlarmCenter->Watched().reading);
    EXPECT_EQ(EventLines().size(), 2);
}

TEST_F(AlarmSimTest, EventFileFailureIsShownAndTheAlarmStillReachesTheOperator)
{
    bus.SetSpeed(0);
    Pin(OutOfBand());
    AlarmSettings s;
    s.temperatureDelay = 0;
    Use(s);
    SetProgramFolderForTests(dir.path() + "/missing/");
    StartReading();
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Temperature) > 0; }, 30000));
    ASSERT_EQ(errors.size(), 1) << errors.join("; ").toStdString();
    EXPECT_TRUE(errors[0].contains("Тревоги.csv")) << errors[0].toStdString();
    EXPECT_TRUE(AlarmCenter->MarkerText().startsWith("ТРЕВОГА"));
    EXPECT_EQ(notes.size(), 1u);
}

TEST_F(AlarmSimTest, DialogValuesAreAppliedAndRemembered)
{
    TAlarmWindow* window = AlarmCenter->Window();
    QTimer::singleShot(0, [window] {
        TAlarmSettingsDialog* d = window->SettingsDialog;
        d->TemperatureBand->setValue(3.5);
        d->TemperatureDelay->setValue(20);
        d->HumidityOn->setChecked(false);
        d->ButtonOk->click();
    });
    window->ButtonSettings->click();
    EXPECT_DOUBLE_EQ(AlarmCenter->Settings().temperatureBand, 3.5);
    EXPECT_EQ(AlarmCenter->Settings().temperatureDelay, 1200);
    EXPECT_FALSE(AlarmCenter->Settings().humidityOn);
    EXPECT_TRUE(QFile::exists(QSettings().fileName())) << QSettings().fileName().toStdString();
    // The test run's own settings folder, never the operator's.
    EXPECT_TRUE(QSettings().fileName().startsWith(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"))));
    const AlarmSettings loaded = LoadAlarmSettings();
    EXPECT_EQ(loaded, AlarmCenter->Settings());

    // Cancel changes nothing.
    QTimer::singleShot(0, [window] {
        window->SettingsDialog->TemperatureBand->setValue(9);
        window->SettingsDialog->ButtonCancel->click();
    });
    window->ButtonSettings->click();
    EXPECT_DOUBLE_EQ(AlarmCenter->Settings().temperatureBand, 3.5);

    // A switch per chamber: chamber 1 (armed in set-up) switched off by hand,
    // kept across a restart of the alarm centre.
    StartReading();
    QStringList shown;
    QTimer::singleShot(0, [window, &shown] {
        QListWidget* list = window->SettingsDialog->Arming;
        for (int i = 0; i < list->count(); ++i)
            shown << list->item(i)->text();
        if (list->count() > 0)
            list->item(0)->setCheckState(Qt::Unchecked);
        window->SettingsDialog->ButtonOk->click();
    });
    window->ButtonSettings->click();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("Камера №1: тревоги отклонения включены с "))) << shown[0].toStdString();
    EXPECT_FALSE(AlarmCenter->Arming(1).armed);
    EXPECT_EQ(AlarmCenter->Arming(1).why, QStringLiteral("оператором"));
    // Kept in the settings file: another start of the program finds it.
    AlarmCenter->CommandConfirmed(1, true);
    const DeviationArming kept = TAlarmCenter().Arming(1);
    EXPECT_TRUE(kept.armed);
    EXPECT_EQ(kept.why, QStringLiteral("пуск подтверждён камерой"));
    EXPECT_EQ(kept.since, AlarmCenter->Arming(1).since);
}

// A chamber held to 25/60 whose set point someone changed to 30 °C at its
// panel: at its own set point, not running a program, its deviation alarms
// disarmed; the condition alarms all the same, and names itself.
TEST_F(AlarmSimTest, ChamberHeldToAConditionAlarmsAtItsOwnSetPoint)
{
    bus.SetSpeed(0);
    // 30.0 °C of 30.0, 60 % of 60 %, no program.
    Pin({300, 0, 300, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 600, 600});
    AlarmCenter->SetDeviationArmed(1, false, QStringLiteral("оператором"), true);
    AlarmSettings s;
    ChamberCondition held;
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("25/60"), &held.condition, nullptr));
    held.delay = 20;  // 2 s with the waits at a tenth
    s.conditions[{QString(), 1}] = held;
    Use(s);
    StartReading();
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Temperature) > 0; }, 30000));
    const Alarm alarm = *Last(AlarmKind::Temperature);
    EXPECT_EQ(alarm.text, QStringLiteral("Температура вне условия 25/60: 30.0 °C при 25±2 °C"));
    EXPECT_DOUBLE_EQ(alarm.setPoint, 25.0);
    EXPECT_TRUE(AlarmCenter->MarkerText().startsWith(QStringLiteral("ТРЕВОГА: Температура вне условия 25/60")))
        << AlarmCenter->MarkerText().toStdString();
    // Watched though disarmed: the window does not name it as unwatched.
    EXPECT_TRUE(AlarmCenter->Window()->LabelArming->isHidden())
        << AlarmCenter->Window()->LabelArming->text().toStdString();
    EXPECT_EQ(Count(AlarmKind::Humidity), 0);

    // Back inside the condition's band, the chamber's set point still 30 °C.
    Pin({265, 0, 300, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 600, 600});
    ASSERT_TRUE(PumpUntil([&] { return !Last(AlarmKind::Temperature)->Active(); }, 30000));
    EXPECT_EQ(Count(AlarmKind::Temperature), 1);
    const QStringList lines = EventLines();
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].contains(",начало,1,Температура,1,COM1,30.0,25.0,")) << lines[0].toStdString();
}

TEST_F(AlarmSimTest, DialogKeepsEachChambersConditionAndJournalsEveryChange)
{
    TAlarmWindow* window = AlarmCenter->Window();
    auto records = [] {
        std::vector<JournalRecord> all;
        CheckJournal(JournalFileName(JournalFolder()), [&](const JournalRecord& r) {
            if (r.action == QStringLiteral("Настройка тревог"))
                all.push_back(r);
        });
        return all;
    };
    const size_t before = records().size();

    // Chamber 3, not read here yet, put on 30/65 with a delay of 20 min.
    QTimer::singleShot(0, [window] {
        TAlarmSettingsDialog* d = window->SettingsDialog;
        d->ConditionAddress->setCurrentText(QStringLiteral("3"));
        d->ButtonAddCondition->click();
        if (d->ConditionRows().size() == 1) {
            d->ConditionRows()[0].choice->setCurrentText(QStringLiteral("30/65"));
            d->ConditionRows()[0].delay->setValue(20);
        }
        d->ButtonOk->click();
    });
    window->ButtonSettings->click();
    const ChamberCondition* three = AlarmCenter->Settings().ConditionOf({QString(), 3});
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(StabilityConditionText(three->condition), QStringLiteral("30/65"));
    EXPECT_EQ(three->delay, 1200);
    EXPECT_EQ(QSettings().value(QStringLiteral("alarms/condition.3")).toString(), QStringLiteral("30/65"));
    EXPECT_EQ(QSettings().value(QStringLiteral("alarms/conditionDelay.3")).toInt(), 1200);
    EXPECT_EQ(LoadAlarmSettings(), AlarmCenter->Settings());
    std::vector<JournalRecord> now = records();
    // Only the condition changed: its record alone, under the chamber.
    ASSERT_EQ(now.size(), before + 1);
    EXPECT_EQ(now.back().chamber, QStringLiteral("3"));
    EXPECT_EQ(now.back().oldValue, QStringLiteral("без условия"));
    EXPECT_EQ(now.back().newValue, QStringLiteral("30/65, задержка 20 мин"));

    // Opened again: chamber 3's row as kept. It becomes a custom 25±1.5
    // without humidity, and chamber 1, known here, is offered and added.
    QString shownChoice;
    int shownDelay = -1;
    QStringList offered;
    QTimer::singleShot(0, [&, window] {
        TAlarmSettingsDialog* d = window->SettingsDialog;
        for (int i = 0; i < d->ConditionAddress->count(); ++i)
            offered << d->ConditionAddress->itemText(i);
        if (d->ConditionRows().size() == 1) {
            const TAlarmSettingsDialog::ConditionEditors& row = d->ConditionRows()[0];
            shownChoice = row.choice->currentText();
            shownDelay = row.delay->value();
            row.choice->setCurrentText(QStringLiteral("Своё"));
            row.temperature->setValue(25);
            row.temperatureTolerance->setValue(1.5);
            row.humidityKept->setChecked(false);
        }
        d->ConditionAddress->setCurrentIndex(d->ConditionAddress->findText(QStringLiteral("1")));
        d->ButtonAddCondition->click();
        d->ButtonOk->click();
    });
    window->ButtonSettings->click();
    EXPECT_EQ(shownChoice, QStringLiteral("30/65"));
    EXPECT_EQ(shownDelay, 20);
    EXPECT_EQ(offered, QStringList{QStringLiteral("1")});
    ASSERT_NE(AlarmCenter->Settings().ConditionOf({QString(), 1}), nullptr);
    EXPECT_EQ(QSettings().value(QStringLiteral("alarms/condition.3")).toString(), QStringLiteral("25±1.5"));
    EXPECT_EQ(QSettings().value(QStringLiteral("alarms/condition.1")).toString(), QStringLiteral("25/60"));
    now = records();
    ASSERT_EQ(now.size(), before + 3);
    EXPECT_EQ(now[before + 1].chamber, QStringLiteral("1"));
    EXPECT_EQ(now[before + 1].oldValue, QStringLiteral("без условия"));
    EXPECT_EQ(now[before + 1].newValue, QStringLiteral("25/60, задержка 15 мин"));
    EXPECT_EQ(now[before + 2].chamber, QStringLiteral("3"));
    EXPECT_EQ(now[before + 2].oldValue, QStringLiteral("30/65, задержка 20 мин"));
    EXPECT_EQ(now[before + 2].newValue, QStringLiteral("25±1.5, задержка 20 мин"));

    // Chamber 3 removed (rows go by address: 1, then 3) and a band changed
    // in the same save: both records, the bands' first.
    QTimer::singleShot(0, [window] {
        TAlarmSettingsDialog* d = window->SettingsDialog;
        d->Conditions->selectRow(1);
        d->ButtonRemoveCondition->click();
        d->TemperatureBand->setValue(3);
        d->ButtonOk->click();
    });
    window->ButtonSettings->click();
    EXPECT_EQ(AlarmCenter->Settings().ConditionOf({QString(), 3}), nullptr);
    EXPECT_NE(AlarmCenter->Settings().ConditionOf({QString(), 1}), nullptr);
    EXPECT_FALSE(QSettings().contains(QStringLiteral("alarms/condition.3")));
    EXPECT_FALSE(QSettings().contains(QStringLiteral("alarms/conditionDelay.3")));
    now = records();
    ASSERT_EQ(now.size(), before + 5);
    EXPECT_TRUE(now[before + 3].chamber.isEmpty());
    EXPECT_TRUE(now[before + 3].newValue.contains(QStringLiteral("±3.0 °C"))) << now[before + 3].newValue.toStdString();
    EXPECT_EQ(now[before + 4].chamber, QStringLiteral("3"));
    EXPECT_EQ(now[before + 4].oldValue, QStringLiteral("25±1.5, задержка 20 мин"));
    EXPECT_EQ(now[before + 4].newValue, QStringLiteral("без условия"));

    // Cancel keeps what is kept.
    QTimer::singleShot(0, [window] {
        TAlarmSettingsDialog* d = window->SettingsDialog;
        d->Conditions->selectRow(0);
        d->ButtonRemoveCondition->click();
        d->ButtonCancel->click();
    });
    window->ButtonSettings->click();
    EXPECT_NE(AlarmCenter->Settings().ConditionOf({QString(), 1}), nullptr);
    EXPECT_EQ(records().size(), before + 5);
    QSettings().remove(QStringLiteral("alarms"));
}

TEST_F(AlarmSimTest, BadSettingsTakeTheDefaultsAndTheOperatorIsToldOnce)
{
    {
        QSettings settings;
        settings.beginGroup("alarms");
        settings.setValue("humidityDelay", "15m");
        settings.setValue("humidityBand", "1e308");
        settings.setValue("temperatureBand", "3");
    }
    errors.clear();
    StartWatching({"calvetra"});
    const AlarmSettings d;
    EXPECT_EQ(AlarmCenter->Settings().humidityDelay, d.humidityDelay);
    EXPECT_EQ(AlarmCenter->Settings().humidityBand, d.humidityBand);
    EXPECT_EQ(AlarmCenter->Settings().temperatureBand, 3);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("humidityDelay=15m")) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains("humidityBand=1e308")) << errors[0].toStdString();
    // The dialog opens on what is in force.
    AlarmCenter->Window()->SettingsDialog->SetValues(AlarmCenter->Settings());
    EXPECT_EQ(AlarmCenter->Window()->SettingsDialog->HumidityDelay->value(), d.humidityDelay / 60);
    QSettings().remove("alarms");
    StopWatching();
}

TEST(AlarmMarkerTest, StateAndTextOfTheMarker)
{
    auto alarm = [](int id, const char* text, bool active, bool acknowledged) {
        Alarm a;
        a.id = id;
        a.text = QString::fromUtf8(text);
        a.start = 1;
        a.active = active;
        a.end = active ? 0 : 2;
        a.acknowledged = acknowledged;
        return a;
    };
    struct Case {
        std::vector<Alarm> alarms;
        AlarmMarkerState state;
        const char* text;
    };
    const Case cases[] = {
        {{}, AlarmMarkerState::Quiet, "Тревог нет"},
        {{alarm(1, "a", false, true)}, AlarmMarkerState::Quiet, "Тревог нет"},
        {{alarm(1, "a", true, false)}, AlarmMarkerState::Alarm, "ТРЕВОГА: a"},
        {{alarm(1, "a", true, true), alarm(2, "b", true, false)}, AlarmMarkerState::Alarm, "ТРЕВОГА: b (всего 2)"},
        {{alarm(1, "a", true, true)}, AlarmMarkerState::AcknowledgedAlarm, "Тревога (подтверждена): a"},
        {{alarm(1, "a", false, false)}, AlarmMarkerState::Unacknowledged, "Не подтверждено: a"},
        // An alarm whose own text begins like a state word does not change the colour.
        {{alarm(1, "ТРЕВОГА учебная", false, false)}, AlarmMarkerState::Unacknowledged,
         "Не подтверждено: ТРЕВОГА учебная"},
    };
    for (const Case& c : cases) {
        const AlarmMarker m = MarkerOf(c.alarms);
        EXPECT_EQ(m.state, c.state) << c.text;
        EXPECT_EQ(m.text, QString::fromUtf8(c.text));
    }
}

TEST(AlarmMarkerTest, EveryChambersAlarmsCountAndAWatchedOneIsNamed)
{
    auto alarm = [](int chamber, int id, const char* text, bool active, bool acknowledged) {
        ChamberAlarm c;
        c.chamberAddress = chamber;
        c.alarm.id = id;
        c.alarm.text = QString::fromUtf8(text);
        c.alarm.active = active;
        c.alarm.acknowledged = acknowledged;
        return c;
    };
    struct Case {
        std::vector<ChamberAlarm> alarms;
        AlarmMarkerState state;
        const char* text;
    };
    // Chamber 1 is the selected one.
    const Case cases[] = {
        {{alarm(1, 1, "a", false, true), alarm(7, 2, "b", false, true)}, AlarmMarkerState::Quiet, "Тревог нет"},
        {{alarm(7, 1, "b", true, false)}, AlarmMarkerState::Alarm, "ТРЕВОГА: Камера №7: b"},
        {{alarm(1, 1, "a", true, true), alarm(7, 2, "b", true, false)}, AlarmMarkerState::Alarm,
         "ТРЕВОГА: Камера №7: b (всего 2)"},
        {{alarm(7, 1, "b", true, true), alarm(1, 2, "a", true, true)}, AlarmMarkerState::AcknowledgedAlarm,
         "Тревога (подтверждена): a (всего 2)"},
        {{alarm(1, 1, "a", false, true), alarm(9, 2, "c", false, false)}, AlarmMarkerState::Unacknowledged,
         "Не подтверждено: Камера №9: c"},
    };
    for (const Case& c : cases) {
        const AlarmMarker m = MarkerOf(c.alarms, 1);
        EXPECT_EQ(m.state, c.state) << c.text;
        EXPECT_EQ(m.text, QString::fromUtf8(c.text));
    }
}

// The same chamber with the real waits: 800 ms reply windows, 4 s between
// polls, and a delay of 5 s.
class AlarmRealWaitTest : public AlarmSimTest {
protected:
    AlarmRealWaitTest() : AlarmSimTest(1.0) {}
};

TEST_F(AlarmRealWaitTest, OneAlarmAfterTheDelayWithRealWaits)
{
    bus.SetSpeed(0);
    Pin(OutOfBand());
    AlarmSettings s;
    s.temperatureDelay = 5;
    Use(s);
    StartReading();
    const qint64 firstPoll = AlarmCenter->Watched().lastAnswered;
    ASSERT_TRUE(PumpUntil([&] { return Count(AlarmKind::Temperature) > 0; }, 30000));
    EXPECT_GT(Last(AlarmKind::Temperature)->start - firstPoll, 5000);
    EXPECT_GE(AlarmCenter->Watched().pollsAnswered, 3u);
    Pin(Inside());
    ASSERT_TRUE(PumpUntil([&] { return !Last(AlarmKind::Temperature)->Active(); }, 30000));
    EXPECT_EQ(Count(AlarmKind::Temperature), 1);
    EXPECT_EQ(EventLines().size(), 2);
}
