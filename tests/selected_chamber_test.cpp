// The selected chamber among many on one line: a silent one never blinds the
// others, each chamber's values go to its own log and chart series, and a
// chamber has one alarm state whether it is selected, watched or both.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <map>

#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/Sanitizers.h"
#include "ui/AlarmCenter.h"
#include "ui/ChartWindow.h"
#include "ui/ErrorDisplay.h"
#include "ui/OverviewWindow.h"
#include "ui/Unit5.h"
#include "ui/main.h"

namespace {

class SelectedChamberTest : public AppFixture {
protected:
    SelectedChamberTest() : AppFixture(SanitizedTimeScale(0.1)) {}
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(folder.isValid());
        SetProgramFolderForTests(folder.path());
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
        bus.SetStrict(true);
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        SetClockSource({});
        SetProgramFolderForTests(QString());
        EXPECT_TRUE(bus.Collisions().empty());
        bus.Stop();
    }
    void AddChambers(int first, int last)
    {
        for (int a = first; a <= last; ++a)
            bus.AddChamber(a);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    }
    void WatchAll(int first, int last)
    {
        for (int a = first; a <= last; ++a)
            FormOverview->Watch(a);
        FormOverview->StartReading();
    }
    void MakeSilent(int address)
    {
        sim::Faults gone;
        gone.silent = true;
        bus.SetFaults(address, gone);
    }
    void SetValues(int address, double temperature)
    {
        bus.WithChamber(address, [temperature](sim::ChamberModel& m) {
            m.SetTemperature(temperature);
            m.SetHumidity(40);
        });
    }
    static void ReadingOn(int address)
    {
        Form1->SelectChamber(address);
        if (Form1->ReadingActive == 0)
            Guarded([] { Form1->Button6Click(); });
    }
    // The record lines of a log, its header left out.
    static QStringList Records(const QString& path)
    {
        QStringList lines;
        const QStringList all = QString::fromUtf8(ReadFileBytes(path)).split(u'\n');
        for (int i = 1; i < all.size(); ++i)
            if (!all[i].trimmed().isEmpty())
                lines << all[i];
        return lines;
    }
    static std::vector<JournalRecord> Journal()
    {
        std::vector<JournalRecord> found;
        CheckJournal(JournalFileName(JournalFolder()), [&](const JournalRecord& r) { found.push_back(r); });
        return found;
    }
    static int LinkAlarms(int address, bool activeOnly)
    {
        int n = 0;
        for (const ChamberAlarm& c : AlarmCenter->AllAlarms())
            if (c.chamberAddress == address && c.alarm.kind == AlarmKind::Link && (!activeOnly || c.alarm.Active()))
                ++n;
        return n;
    }
    QTemporaryDir folder;
    sim::BusSimulator bus;
};

}  // namespace

TEST_F(SelectedChamberTest, ASilentSelectedChamberNeverStopsTheOthersReads)
{
    AddChambers(1, 32);
    MakeSilent(20);
    WatchAll(1, 32);
    std::map<int, int> answers;
    QObject::connect(FormOverview, &TOverviewWindow::ChamberRead, FormOverview,
                     [&](const WatchedChamber& c, bool answered) { answers[c.address] += answered ? 1 : 0; });
    int selectedReads = 0;
    QObject::connect(FormOverview, &TOverviewWindow::SelectedRead, FormOverview,
                     [&](const OverviewRead&) { ++selectedReads; });
    bus.ResetRequestCount(20);
    ReadingOn(20);

    // The window never waits on the line for the chamber: its tick only
    // hands the chamber to the overview's scheduler.
    QElapsedTimer tick;
    tick.start();
    Guarded([] { Form1->Timer1Timer(); });
    EXPECT_LT(tick.elapsed(), ScaledMs(kStatusWait));

    const int periodMs = ScaledMs(kStatusPollPeriodMs);
    const int periods = 12;
    Pump(periods * periodMs);
    for (int a = 1; a <= 32; ++a) {
        if (a == 20)
            continue;
        // One cycle every three quarters of a period: at least a read every
        // two periods even on a loaded machine; a 20-attempt poll of chamber
        // 20 would have left every one of them with almost none.
        EXPECT_GE(answers[a], periods / 2) << "chamber " << a;
    }
    // Read once a period, one timeout each, never 20 attempts in a row.
    EXPECT_GE(selectedReads, periods / 2);
    EXPECT_LE(bus.RequestCount(20), periods + 3);
    // Not answered for the poll's twenty attempts: the link-loss window, as
    // the poll shows it, and the link alarm of the one chamber.
    EXPECT_TRUE(PumpUntil([] { return Form5->isVisible(); }, 4 * periodMs));
    EXPECT_TRUE(PumpUntil([] { return LinkAlarms(20, true) == 1; }, 4 * periodMs));
    EXPECT_EQ(LinkAlarms(20, false), 1);
    // A tile of another chamber picked: read at once, among the others.
    bus.ClearReceivedFrames();
    Form1->SelectChamber(7);
    Guarded([] { Form1->Timer1Timer(); });
    EXPECT_TRUE(PumpUntil([] { return Form1->Label5->text() != QStringLiteral("0") && !Form5->isVisible(); },
                          4 * periodMs));
    EXPECT_EQ(ChamberAddress, 7);
}

TEST_F(SelectedChamberTest, SelectionChangeWhileLoggingGivesEachChamberItsOwnFile)
{
    // The poll alone, then with the overview reading the line.
    for (const bool overview : {false, true}) {
        SCOPED_TRACE(overview ? "overview reading" : "poll alone");
        const int a = overview ? 3 : 1;
        const int b = overview ? 4 : 2;
        if (!overview) {
            AddChambers(1, 4);
        }
        // A clock the values can never be taken for.
        std::atomic<std::time_t> clock{LocalMoment(2026, 12, 10, 14, 5, overview ? 40 : 10)};
        SetClockSource([&clock] { return clock.load(); });
        SetValues(a, -7.5);
        SetValues(b, 61.5);
        if (overview)
            WatchAll(1, 4);
        ReadingOn(a);
        ASSERT_TRUE(PumpUntil([] { return Form1->CheckBox1->isEnabled(); }, 5000));
        Form1->CheckBox1->setChecked(true);
        Guarded([] { Form1->CheckBox1Click(); });
        const QString first = FillAddressPlaceholder(LogFileName, a);
        ASSERT_TRUE(PumpUntil([&] { return Records(first).size() >= 1; }, 3 * ScaledMs(60000))) << first.toStdString();

        clock = clock + 1;  // the new file's name differs by its time
        Form1->SelectChamber(b);
        ASSERT_TRUE(PumpUntil([&] { return LogFileName != first && ChamberAddress == b; }, 4 * ScaledMs(4000)));
        const QString second = LogFileName;
        EXPECT_FALSE(HoldsAddressPlaceholder(second));
        EXPECT_TRUE(second.contains(QStringLiteral("КТХ№%1 ").arg(b))) << second.toStdString();
        ASSERT_TRUE(PumpUntil([&] { return Records(second).size() >= 1; }, 3 * ScaledMs(60000)));

        for (const QString& line : Records(first)) {
            EXPECT_TRUE(line.contains(QStringLiteral("-7"))) << line.toStdString();
            EXPECT_FALSE(line.contains(QStringLiteral("61"))) << line.toStdString();
        }
        for (const QString& line : Records(second)) {
            EXPECT_TRUE(line.contains(QStringLiteral("61"))) << line.toStdString();
            EXPECT_FALSE(line.contains(QStringLiteral("-7"))) << line.toStdString();
        }
        // Both files journalled under their own chamber, the change too.
        const std::vector<JournalRecord> journal = Journal();
        auto has = [&](const QString& action, int chamber, const QString& value) {
            return std::any_of(journal.begin(), journal.end(), [&](const JournalRecord& r) {
                return r.action == action && r.chamber == QString::number(chamber) &&
                       (r.oldValue == value || r.newValue == value);
            });
        };
        EXPECT_TRUE(has(QStringLiteral("Выбор камеры"), b, ChamberEntryText(b)));
        EXPECT_TRUE(has(QStringLiteral("Запись в файл выключена"), a, first));
        EXPECT_TRUE(has(QStringLiteral("Запись в файл включена"), b, second));

        // The chart's live series is the new chamber's alone.
        EXPECT_EQ(FormChart->LiveChamber(), b);
        for (const TrendSample& s : FormChart->LiveModel().samples)
            if (s.answered)
                EXPECT_GT(s.currentTemp, 60) << s.currentTemp;
        // The endpoint's poll counters start again for the new chamber.
        EXPECT_EQ(AlarmCenter->Watched().chamberAddress, b);
        EXPECT_EQ(AlarmCenter->Watched().pollsUnanswered, 0u);

        Form1->CheckBox1->setChecked(false);
        Guarded([] { Form1->CheckBox1Click(); });
        Guarded([] { Form1->Button6Click(); });
    }
}

TEST_F(SelectedChamberTest, ASelectedAndWatchedChamberHasOneAlarmState)
{
    AddChambers(1, 3);
    WatchAll(1, 3);
    ReadingOn(2);
    ASSERT_TRUE(PumpUntil([] { return Form1->CheckBox1->isEnabled(); }, 5000));
    MakeSilent(2);
    ASSERT_TRUE(PumpUntil([] { return LinkAlarms(2, true) == 1; }, 10 * ScaledMs(kStatusPollPeriodMs) + 2000));
    Pump(3 * ScaledMs(kStatusPollPeriodMs));
    EXPECT_EQ(LinkAlarms(2, false), 1);

    // Another chamber picked: chamber 2 is still silent, its alarm stands.
    Form1->SelectChamber(1);
    ASSERT_TRUE(PumpUntil([] { return AlarmCenter->Watched().chamberAddress == 1; }, 4 * ScaledMs(4000)));
    Pump(4 * ScaledMs(kStatusPollPeriodMs));
    EXPECT_EQ(LinkAlarms(2, true), 1);
    EXPECT_EQ(LinkAlarms(2, false), 1);

    // The event file has the one start and no end of it.
    int starts = 0, ends = 0;
    const QStringList lines = QString::fromUtf8(ReadFileBytes(AlarmCenter->EventFileName())).split(u'\n');
    for (const QString& line : lines) {
        if (!line.contains(QStringLiteral(",Связь,2,")))
            continue;
        starts += line.contains(QStringLiteral("начало")) ? 1 : 0;
        ends += line.contains(QStringLiteral("конец")) ? 1 : 0;
    }
    EXPECT_EQ(starts, 1) << lines.join(u'\n').toStdString();
    EXPECT_EQ(ends, 0) << lines.join(u'\n').toStdString();
}
