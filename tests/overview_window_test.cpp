// "Обзор камер": tiles with the main window's texts, a click that picks the
// chamber, addresses typed by hand, a chamber that falls silent and comes
// back, a log per chamber byte for byte as the main window's own, and a
// watched chamber's alarms in "Тревоги", acknowledged there.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>

#include <QDir>
#include <QHeaderView>
#include <QSettings>
#include <QTemporaryDir>
#include <QCoreApplication>
#include <QMouseEvent>

#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/StatusMetrics.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/AlarmCenter.h"
#include "ui/AlarmWindow.h"
#include "support/Sanitizers.h"
#include "ui/ErrorDisplay.h"
#include "ui/OverviewWindow.h"
#include "ui/main.h"

namespace {

void ClickTile(QWidget* tile)
{
    const QPointF at(20, 20);
    QMouseEvent press(QEvent::MouseButtonPress, at, tile->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(tile, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, tile->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(tile, &release);
}

// A row of the "Тревоги" window as the operator reads it.
struct AlarmRow {
    int row = -1;
    int number = 0;
    QString chamber, kind, end, acknowledged;
    QColor background;
};

std::vector<AlarmRow> AlarmRows()
{
    std::vector<AlarmRow> rows;
    const QTableWidget* t = AlarmCenter->Window()->Table;
    for (int r = 0; r < t->rowCount(); ++r)
        rows.push_back({r, t->item(r, 0)->text().toInt(), t->item(r, 1)->text(), t->item(r, 2)->text(),
                        t->item(r, 5)->text(), t->item(r, 9)->text(), t->item(r, 0)->background().color()});
    return rows;
}

// The acknowledgement records of the action journal, oldest first.
std::vector<JournalRecord> Acknowledgements()
{
    std::vector<JournalRecord> found;
    CheckJournal(JournalFileName(JournalFolder()), [&](const JournalRecord& r) {
        if (r.action == QStringLiteral("Подтверждение тревоги"))
            found.push_back(r);
    });
    return found;
}

QColor TileColour(int address) { return FormOverview->Tile(address)->palette().color(QPalette::Window); }

const QColor kTileAlarm(0xff, 0xb8, 0xb8);
const QColor kTileAnswering(0xd8, 0xf0, 0xd8);

class OverviewWindowTest : public AppFixture {
protected:
    // Under ThreadSanitizer the strict simulator would otherwise see the
    // shortened poll ask again while its slowed reply is still on the way.
    OverviewWindowTest() : AppFixture(SanitizedTimeScale(0.05)) {}
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(folder.isValid());
        SetProgramFolderForTests(folder.path());
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        for (int a : {2, 5, 17})
            bus.AddChamber(a);
        bus.SetSpeed(0);
        bus.SetStrict(true);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        SetProgramFolderForTests(QString());
        EXPECT_TRUE(bus.Collisions().empty());
        bus.Stop();
    }
    static bool Answering(int address)
    {
        const WatchedChamber* c = FormOverview->Chamber(address);
        return c && c->link == ChamberLink::Answering;
    }
    // Chamber 5 watched and logged by the overview at a clock the test sets;
    // the file's name once its header and a first record are in.
    QString LogChamber5WithItsFirstRecord()
    {
        clock = LocalMoment(2026, 12, 9, 14, 5, 30);
        SetClockSource([this] { return clock.load(); });
        FormOverview->Watch(5);
        FormOverview->StartReading();
        if (!PumpUntil([] { return Answering(5); }, 5000))
            return {};
        FormOverview->SetChamberLog(5, true);
        const QString name = FormOverview->Log(5)->FileName();
        return PumpUntil([&] { return ReadFileBytes(name).count('\n') >= 4; }, 15000) ? name : QString();
    }
    static bool WaitForANewAnswer(int address)
    {
        const qint64 answeredAt = FormOverview->Chamber(address)->lastAnswerMs;
        return PumpUntil([&] { return FormOverview->Chamber(address)->lastAnswerMs > answeredAt; }, 5000);
    }
    void MakeSilent(int address)
    {
        sim::Faults gone;
        gone.silent = true;
        bus.SetFaults(address, gone);
    }
    bool Silence(int address)
    {
        MakeSilent(address);
        return PumpUntil([&] { return FormOverview->Chamber(address)->link == ChamberLink::Silent; }, 5000);
    }
    QStringList LogFiles() const
    {
        return QDir(folder.path()).entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
    }
    // Chambers 2, 5, 10 and 100 at 25.3, -12.3, 5 and 0 °C, 17 never answering,
    // watched in the table until each has been read.
    bool WatchFiveInTheTable()
    {
        for (int a : {10, 100})
            if (!bus.AddChamber(a))
                return false;
        const std::map<int, uint16_t> tenths = {{2, 253}, {5, 65413}, {10, 50}, {100, 0}};
        for (const auto& [address, value] : tenths)
            bus.WithChamber(address, [value = value](sim::ChamberModel& m) { m.PinStatusWord(0, value); });
        sim::Faults gone;
        gone.silent = true;
        bus.SetFaults(17, gone);
        for (int a : {100, 17, 10, 5, 2})
            FormOverview->Watch(a);
        FormOverview->show();
        FormOverview->ButtonTable->click();
        return PumpUntil(
            [] {
                auto answering = [](int a) { return FormOverview->Chamber(a)->link == ChamberLink::Answering; };
                return answering(2) && answering(5) && answering(10) && answering(100) &&
                       FormOverview->Chamber(17)->link == ChamberLink::Silent;
            },
            20000);
    }
    QTemporaryDir folder;
    sim::BusSimulator bus;
    std::atomic<std::time_t> clock{0};
};

}  // namespace

// The timeout as the settings file holds it: a typo takes the default, not
// the minimum (at 20 ms every chamber would fall silent).
TEST(OverviewTimeoutSettingTest, UnreadableTakesTheDefaultAndNumbersTheLimits)
{
    struct Case {
        QVariant stored;
        int ms;
    };
    const Case cases[] = {
        {QVariant(), kDefaultOverviewTimeoutMs},
        {QStringLiteral("abc"), kDefaultOverviewTimeoutMs},
        {QStringLiteral("150ms"), kDefaultOverviewTimeoutMs},
        {QStringLiteral(""), kDefaultOverviewTimeoutMs},
        {QStringList{QStringLiteral("1"), QStringLiteral("5")}, kDefaultOverviewTimeoutMs},
        {QStringLiteral(" 300 "), 300},
        {QStringLiteral("5"), kMinOverviewTimeoutMs},
        {QStringLiteral("99999"), kMaxOverviewTimeoutMs},
        {400, 400},
    };
    for (const Case& c : cases) {
        if (c.stored.isValid())
            QSettings().setValue(QStringLiteral("overview/timeoutMs"), c.stored);
        else
            QSettings().remove(QStringLiteral("overview/timeoutMs"));
        TOverviewWindow window;
        EXPECT_EQ(window.SpinTimeout->value(), c.ms) << c.stored.toString().toStdString();
        EXPECT_EQ(OverviewTimeoutFromSetting(c.stored), c.ms) << c.stored.toString().toStdString();
    }
    QSettings().remove(QStringLiteral("overview/timeoutMs"));
}

TEST_F(OverviewWindowTest, ChambersFoundAreTiledWithTheMainWindowsTexts)
{
    Form1->ListBox1->addItem(ChamberEntryText(5));
    Form1->ListBox1->addItem(ChamberEntryText(17));
    Guarded([] { Form1->ButtonOverviewClick(); });
    EXPECT_TRUE(FormOverview->isVisible());
    EXPECT_EQ(FormOverview->windowTitle(), QStringLiteral("Обзор камер"));
    EXPECT_EQ(FormOverview->Watched(), (QVector<int>{5, 17}));
    ASSERT_TRUE(PumpUntil([] { return Answering(5) && Answering(17); }, 5000));

    // The read of the selected chamber writes the same texts into the main
    // window as into its tile.
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });
    ASSERT_TRUE(PumpUntil([] { return !CurrentTempText.isEmpty(); }, 5000));
    Guarded([] { Form1->Button6Click(); });
    const StatusView& v = FormOverview->Chamber(5)->view;
    EXPECT_EQ(v.currentTempText, CurrentTempText);
    EXPECT_EQ(v.currentHumidityText, CurrentHumidityText);
    EXPECT_EQ(v.stepText, StepText);
    EXPECT_EQ(v.cycleText, CycleText);
    EXPECT_EQ(v.programText, ProgramText);
    const TChamberTile* tile = FormOverview->Tile(5);
    ASSERT_TRUE(tile);
    EXPECT_TRUE(tile->Temperature->text().contains(v.label5));
    EXPECT_TRUE(tile->Link->text().contains(QStringLiteral("отвечает")));

    // A click on the tile picks the chamber in the main list.
    ClickTile(FormOverview->Tile(17));
    EXPECT_EQ(SelectedEntryIndex(*Form1->ListBox1), 1);
    EXPECT_TRUE(Form1->Button6->isEnabled());
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

TEST_F(OverviewWindowTest, AddressesByHandRefusedInClearWordsAndAClickListsThem)
{
    Guarded([] { Form1->ButtonOverviewClick(); });
    FormOverview->AddAddressText(QStringLiteral("251"));
    EXPECT_TRUE(FormOverview->LabelMessage->text().contains(QStringLiteral("от 0 до 250")));
    FormOverview->AddAddressText(QStringLiteral("два"));
    EXPECT_FALSE(FormOverview->LabelMessage->text().isEmpty());
    EXPECT_TRUE(FormOverview->Watched().isEmpty());
    FormOverview->AddAddressText(QStringLiteral("2"));
    EXPECT_TRUE(FormOverview->LabelMessage->text().isEmpty());
    FormOverview->AddAddressText(QStringLiteral("2"));
    EXPECT_TRUE(FormOverview->LabelMessage->text().contains(QStringLiteral("уже")));
    EXPECT_EQ(FormOverview->Watched(), (QVector<int>{2}));
    ASSERT_TRUE(PumpUntil([] { return Answering(2); }, 5000));
    // Not in the scan's list yet: a click gives it its entry and selects it.
    ClickTile(FormOverview->Tile(2));
    EXPECT_EQ(ListBoxEntries(), QStringList{ChamberEntryText(2)});
    EXPECT_EQ(SelectedEntryIndex(*Form1->ListBox1), 0);
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    // The address added, and a tile's log on and off, each in the journal;
    // the refused ones not.
    FormOverview->SetChamberLog(2, true);
    const QString file = FormOverview->Log(2)->FileName();
    FormOverview->SetChamberLog(2, false);
    std::vector<JournalRecord> records;
    CheckJournal(JournalFileName(JournalFolder()), [&](const JournalRecord& r) {
        if (r.chamber == QStringLiteral("2") && r.action != JournalActionText(JournalAction::ChamberSelect))
            records.push_back(r);
    });
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].action, JournalActionText(JournalAction::WatchAdd));
    EXPECT_EQ(records[0].newValue, QStringLiteral("Камера №2"));
    EXPECT_EQ(records[1].action, JournalActionText(JournalAction::LoggingOn));
    EXPECT_EQ(records[1].newValue, file);
    EXPECT_EQ(records[2].action, JournalActionText(JournalAction::LoggingOff));
    EXPECT_EQ(records[2].oldValue, file);
}

TEST_F(OverviewWindowTest, ChamberThatVanishesGoesLateThenSilentAndComesBack)
{
    FormOverview->Watch(5);
    FormOverview->Watch(17);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(5) && Answering(17); }, 5000));
    MakeSilent(17);
    EXPECT_TRUE(PumpUntil([] { return FormOverview->Chamber(17)->link == ChamberLink::Late; }, 5000));
    EXPECT_TRUE(PumpUntil([] { return FormOverview->Chamber(17)->link == ChamberLink::Silent; }, 5000));
    EXPECT_TRUE(FormOverview->Tile(17)->Link->text().contains(QStringLiteral("молчит")));
    // The other chamber is read on as before.
    bus.ResetRequestCount(5);
    EXPECT_TRUE(PumpUntil([&] { return bus.RequestCount(5) >= 3; }, 5000));
    bus.SetFaults(17, {});
    EXPECT_TRUE(PumpUntil([] { return Answering(17); }, 20000));
}

TEST_F(OverviewWindowTest, ChamberLogIsByteForByteTheMainWindowsLog)
{
    SetClockSource([] { return LocalMoment(2026, 12, 9, 14, 5, 30); });
    // The main window's log of chamber 5.
    Form1->ListBox1->addItem(ChamberEntryText(5));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });
    Form1->CheckBox1->setChecked(true);
    Guarded([] { Form1->CheckBox1Click(); });
    // The next poll writes the address into the name.
    ASSERT_TRUE(PumpUntil([] { return !HoldsAddressPlaceholder(LogFileName); }, 5000));
    const QString mainName = LogFileName;
    ASSERT_TRUE(PumpUntil([&] { return ReadFileBytes(mainName).count('\n') >= 4; }, 15000));
    Form1->CheckBox1->setChecked(false);
    Guarded([] { Form1->Button6Click(); });
    const QByteArray mainBytes = ReadFileBytes(mainName).left(ReadFileBytes(mainName).indexOf("\r\n\r\n", 0) + 4);
    QByteArray mainHeaderAndTwo = ReadFileBytes(mainName);
    ASSERT_TRUE(QFile::remove(mainName));

    // The overview's log of the same chamber, "Записывать все".
    FormOverview->Watch(5);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(5); }, 5000));
    FormOverview->CheckLogAll->setChecked(true);
    FormOverview->CheckLogAll->clicked(true);
    const ChamberLog* log = FormOverview->Log(5);
    ASSERT_TRUE(log);
    // The same second as the main window's log, whose file is gone but whose
    // name this process already gave out.
    EXPECT_EQ(log->FileName(), QString(mainName).replace(QStringLiteral(".txt"), QStringLiteral(" (2).txt")));
    ASSERT_TRUE(PumpUntil([&] { return ReadFileBytes(log->FileName()).count('\n') >= 4; }, 15000));
    const QByteArray chamberBytes = ReadFileBytes(log->FileName());
    // Header and the first record lines, each byte the same.
    const int lines = std::min(chamberBytes.count('\n'), mainHeaderAndTwo.count('\n'));
    auto firstLines = [](const QByteArray& b, int n) {
        int at = -1;
        for (int i = 0; i < n; ++i)
            at = b.indexOf('\n', at + 1);
        return b.left(at + 1);
    };
    ASSERT_GE(lines, 4);
    EXPECT_EQ(firstLines(chamberBytes, lines), firstLines(mainHeaderAndTwo, lines));
    EXPECT_TRUE(mainBytes.startsWith(ToLogCodePage(LogHeaderText())));
}

TEST_F(OverviewWindowTest, MainAndOverviewLogsOfOneChamberStartedInOneSecondAreTwoFiles)
{
    SetClockSource([] { return LocalMoment(2026, 12, 9, 14, 5, 30); });
    Form1->ListBox1->addItem(ChamberEntryText(5));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });
    FormOverview->Watch(5);
    // A read must fit between the shortened 200 ms polls.
    FormOverview->Reader().SetTimeoutMs(kUnderThreadSanitizer ? 120 : 60);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(5); }, 5000));
    Form1->CheckBox1->setChecked(true);
    Guarded([] { Form1->CheckBox1Click(); });
    FormOverview->SetChamberLog(5, true);
    ASSERT_TRUE(PumpUntil([] { return !HoldsAddressPlaceholder(LogFileName); }, 5000));
    const QString mainName = LogFileName;
    const QString overviewName = FormOverview->Log(5)->FileName();
    ASSERT_NE(mainName, overviewName);
    // Each file: one header, then its own writer's records, one a minute.
    auto lines = [](const QString& name) { return ReadFileBytes(name).split('\n'); };
    ASSERT_TRUE(PumpUntil([&] { return lines(mainName).size() >= 5 && lines(overviewName).size() >= 5; }, 20000))
        << lines(mainName).size() << " " << lines(overviewName).size() << " " << LogFiles().join(u' ').toStdString();
    Form1->CheckBox1->setChecked(false);
    Guarded([] { Form1->Button6Click(); });
    FormOverview->SetChamberLog(5, false);
    for (const QString& name : {mainName, overviewName}) {
        const QList<QByteArray> all = lines(name);
        // Two writers in one file would each have written their header.
        EXPECT_EQ(all.count(ToLogCodePage(LogHeaderText()).split('\n').first()), 1) << name.toStdString();
    }
    EXPECT_EQ(LogFiles().size(), 2) << LogFiles().join(u' ').toStdString();
}

TEST_F(OverviewWindowTest, SilentChamberGetsNoInventedLogLines)
{
    const QString name = LogChamber5WithItsFirstRecord();
    ASSERT_FALSE(name.isEmpty());
    // An answer since that line, so the next minute has a record to write;
    // the reads after it are unanswered, and their time is never a record's.
    ASSERT_TRUE(WaitForANewAnswer(5));
    clock = LocalMoment(2026, 12, 9, 14, 9, 0);
    const QByteArray silentTime = ToLogCodePage(LongTimeText(LocalNow()));
    ASSERT_TRUE(Silence(5));
    // Let one log minute pass for the last answer, then two more.
    Pump(ScaledMs(60000) + 200);
    const int linesSilent = ReadFileBytes(name).count('\n');
    Pump(2 * ScaledMs(60000) + 400);
    EXPECT_EQ(ReadFileBytes(name).count('\n'), linesSilent);
    EXPECT_FALSE(ReadFileBytes(name).contains(silentTime)) << ReadFileBytes(name).toStdString();
    bus.SetFaults(5, {});
    EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(name).count('\n') > linesSilent; }, 40000));
}

TEST_F(OverviewWindowTest, RecordOfAFailedWriteIsWrittenTheNextMinute)
{
    const QString name = LogChamber5WithItsFirstRecord();
    ASSERT_FALSE(name.isEmpty());
    // The file goes away; the last answer before the chamber falls silent
    // carries its own time.
    ASSERT_TRUE(QFile::remove(name));
    clock = LocalMoment(2026, 12, 9, 14, 7, 10);
    const QByteArray lastAnswerTime = ToLogCodePage(LongTimeText(LocalNow()));
    ASSERT_TRUE(WaitForANewAnswer(5));
    ASSERT_TRUE(Silence(5));
    clock = LocalMoment(2026, 12, 9, 14, 9, 0);
    FormOverview->LabelMessage->clear();
    // A minute whose write fails...
    ASSERT_TRUE(PumpUntil([] { return FormOverview->LabelMessage->text().contains(QStringLiteral("Камера №5")); },
                          2 * ScaledMs(60000) + 2000));
    // ...and the file back: that answer is still written, once.
    QFile back(name);
    ASSERT_TRUE(back.open(QIODevice::WriteOnly));
    back.close();
    EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(name).contains(lastAnswerTime); }, 2 * ScaledMs(60000) + 2000));
    Pump(ScaledMs(60000) + 500);
    EXPECT_EQ(ReadFileBytes(name).count(lastAnswerTime), 1);
}

TEST_F(OverviewWindowTest, EveryWatchedChamberOnTheEndpointWithAddressAndOpenedPort)
{
    FormOverview->Watch(5);
    FormOverview->Watch(17);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(5) && Answering(17); }, 5000));
    const WatchedStatus* five = FormOverview->Status(5);
    ASSERT_TRUE(five);
    EXPECT_EQ(five->port, QStringLiteral("COM1"));
    EXPECT_GE(five->pollsAnswered, 1u);

    WatchedStatus polled;
    polled.chamberAddress = 5;
    polled.port = QStringLiteral("COM1");
    polled.reading = true;
    const QVector<WatchedStatus> watched = {*FormOverview->Status(5), *FormOverview->Status(17)};
    const QByteArray text = MetricsText(polled, watched, 0);
    // Chamber 5 is the polled one: its series come once; 17 has its own.
    EXPECT_EQ(text.count("calvetra_link_up{address=\"5\",port=\"COM1\"}"), 1);
    EXPECT_EQ(text.count("calvetra_link_up{address=\"17\",port=\"COM1\"} 1"), 1);
    EXPECT_EQ(text.count("# TYPE calvetra_link_up "), 1);
    EXPECT_EQ(text.count("# HELP calvetra_alarms_active "), 1);
    // Each family's samples stand together after its head.
    const QList<QByteArray> lines = text.split('\n');
    QByteArray family;
    QSet<QByteArray> closed;
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QByteArray name = line.startsWith('#') ? line.split(' ')[2] : line.left(line.indexOf('{'));
        if (name != family) {
            EXPECT_FALSE(closed.contains(name)) << name.toStdString() << " appears in two places";
            closed.insert(family);
            family = name;
        }
    }
    const QByteArray json = StatusJson(polled, watched, 0);
    EXPECT_TRUE(json.contains("\"chambers\":[{"));
    EXPECT_TRUE(json.contains("\"address\":17"));
}

TEST_F(OverviewWindowTest, SilentChamberRaisesItsLinkAlarmWithItsAddress)
{
    FormOverview->Watch(5);
    FormOverview->Watch(17);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(17); }, 5000));
    MakeSilent(17);
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Chamber(17)->outstandingAlarms > 0; }, 5000));
    EXPECT_TRUE(FormOverview->Chamber(17)->alarmText.startsWith(QStringLiteral("Камера №17")));
    EXPECT_EQ(FormOverview->Alarms(17)->ActiveCount(AlarmKind::Link), 1);
    EXPECT_EQ(FormOverview->Status(17)->alarmsLink, 1);
    EXPECT_EQ(FormOverview->Chamber(5)->outstandingAlarms, 0);
    // The alarm event file has its start with the chamber's address and the opened port.
    const QString events = QString::fromUtf8(ReadFileBytes(AlarmEventFileName(LogFolder())));
    EXPECT_TRUE(events.contains(QStringLiteral(",17,COM1,"))) << events.toStdString();
    bus.SetFaults(17, {});
    EXPECT_TRUE(PumpUntil([] { return FormOverview->Alarms(17)->ActiveCount(AlarmKind::Link) == 0; }, 20000));
}

TEST_F(OverviewWindowTest, WatchedChambersLinkAlarmIsListedAndAcknowledgedWithItsAddress)
{
    FormOverview->Watch(5);
    FormOverview->Watch(17);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(5) && Answering(17); }, 5000));
    EXPECT_EQ(TileColour(17), kTileAnswering);
    MakeSilent(17);
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Chamber(17)->outstandingAlarms > 0; }, 5000));

    // Listed with its address, active and red, and counted by the main window's marker.
    AlarmCenter->ShowWindow();
    EXPECT_EQ(AlarmCenter->Window()->Table->horizontalHeaderItem(1)->text(), QStringLiteral("Камера"));
    std::vector<AlarmRow> rows = AlarmRows();
    ASSERT_EQ(rows.size(), 1u);
    const int number = rows[0].number;
    EXPECT_EQ(rows[0].chamber, "17");
    EXPECT_EQ(rows[0].kind, AlarmKindText(AlarmKind::Link));
    EXPECT_EQ(rows[0].end, QStringLiteral("идёт"));
    EXPECT_EQ(rows[0].background, QColor(255, 200, 200));
    EXPECT_EQ(Form1->AlarmMarker->text(),
              QStringLiteral("ТРЕВОГА: Камера №17: Возможен обрыв линии RS-485"));
    EXPECT_EQ(TileColour(17), kTileAlarm);

    // Acknowledged while still silent: the tile stays red while the alarm lasts.
    AlarmCenter->Window()->Table->selectRow(rows[0].row);
    AlarmCenter->Window()->EditComment->setText(QStringLiteral("кабель камеры 17 снят для ремонта"));
    AlarmCenter->Window()->ButtonAcknowledge->click();
    rows = AlarmRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(rows[0].acknowledged, QStringLiteral("нет"));
    EXPECT_TRUE(Form1->AlarmMarker->text().startsWith(QStringLiteral("Тревога (подтверждена): Камера №17")));
    EXPECT_EQ(TileColour(17), kTileAlarm);
    const std::vector<JournalRecord> acks = Acknowledgements();
    ASSERT_FALSE(acks.empty());
    EXPECT_EQ(acks.back().chamber, "17");
    EXPECT_EQ(acks.back().oldValue, QStringLiteral("тревога №%1: Возможен обрыв линии RS-485").arg(number));
    EXPECT_EQ(acks.back().newValue, QStringLiteral("кабель камеры 17 снят для ремонта"));
    const QString events = QString::fromUtf8(ReadFileBytes(AlarmEventFileName(LogFolder())));
    EXPECT_TRUE(events.contains(QStringLiteral(",подтверждение,%1,Связь,17,COM1,").arg(number))) << events.toStdString();

    // Back on the line: the alarm ends and the tile turns back to its link's colour.
    bus.SetFaults(17, {});
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Alarms(17)->ActiveCount(AlarmKind::Link) == 0; }, 20000));
    EXPECT_EQ(FormOverview->Chamber(17)->outstandingAlarms, 0);
    EXPECT_EQ(TileColour(17), kTileAnswering);
    EXPECT_EQ(Form1->AlarmMarker->text(), QStringLiteral("Тревог нет"));
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

TEST_F(OverviewWindowTest, WatchedChambersEndedAlarmKeepsItsTileRedUntilAcknowledged)
{
    FormOverview->Watch(17);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(17); }, 5000));
    MakeSilent(17);
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Alarms(17) && FormOverview->Alarms(17)->ActiveCount(AlarmKind::Link) == 1; }, 5000));
    bus.SetFaults(17, {});
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Alarms(17)->ActiveCount(AlarmKind::Link) == 0; }, 20000));
    // Ended but not acknowledged: still red, the endpoint counts no active link alarm.
    EXPECT_EQ(TileColour(17), kTileAlarm);
    EXPECT_EQ(FormOverview->Status(17)->alarmsLink, 0);
    EXPECT_TRUE(Form1->AlarmMarker->text().startsWith(QStringLiteral("Не подтверждено: Камера №17")));
    AlarmCenter->Window()->ButtonAcknowledgeAll->click();
    EXPECT_EQ(FormOverview->Chamber(17)->outstandingAlarms, 0);
    EXPECT_EQ(TileColour(17), kTileAnswering);
    EXPECT_EQ(Acknowledgements().back().chamber, "17");
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

TEST_F(OverviewWindowTest, SelectedAndWatchedChambersAlarmsAreNumberedApartAndAcknowledgedTogether)
{
    AlarmCenter->SetNotifier([](const QString&, const QString&, bool) { return true; });
    // Chamber 17 watched falls silent, then chamber 2, polled in the main window.
    // In that order: under the shortened waits the poll's period leaves no
    // room for the overview's timeouts.
    FormOverview->Watch(17);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(17); }, 5000));
    MakeSilent(17);
    ASSERT_TRUE(PumpUntil(
        [] { return FormOverview->Alarms(17) && FormOverview->Alarms(17)->ActiveCount(AlarmKind::Link) == 1; }, 5000));
    MakeSilent(2);
    Form1->ListBox1->addItem(ChamberEntryText(2));
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });
    ASSERT_TRUE(PumpUntil([] { return AlarmCenter->Rules().ActiveCount(AlarmKind::Link) == 1; }, 20000));
    AlarmCenter->ShowWindow();
    const std::vector<AlarmRow> rows = AlarmRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0].number, rows[1].number);
    EXPECT_EQ(QSet<QString>({rows[0].chamber, rows[1].chamber}), QSet<QString>({"2", "17"}));
    EXPECT_TRUE(Form1->AlarmMarker->text().endsWith(QStringLiteral("(всего 2)"))) << Form1->AlarmMarker->text().toStdString();

    const size_t before = Acknowledgements().size();
    AlarmCenter->Window()->EditComment->setText(QStringLiteral("обе линии проверены"));
    AlarmCenter->Window()->ButtonAcknowledgeAll->click();
    const std::vector<JournalRecord> acks = Acknowledgements();
    ASSERT_EQ(acks.size(), before + 2);
    EXPECT_EQ(QSet<QString>({acks[before].chamber, acks[before + 1].chamber}), QSet<QString>({"2", "17"}));
    EXPECT_EQ(acks[before].newValue, QStringLiteral("обе линии проверены"));
    EXPECT_EQ(acks[before + 1].newValue, QStringLiteral("обе линии проверены"));
    // The event file: each chamber's start and acknowledgement under its own number.
    const QString events = QString::fromUtf8(ReadFileBytes(AlarmEventFileName(LogFolder())));
    for (const AlarmRow& r : rows) {
        EXPECT_EQ(events.count(QStringLiteral(",%1,Связь,").arg(r.number)), 2) << events.toStdString();
        EXPECT_TRUE(events.contains(QStringLiteral(",подтверждение,%1,Связь,%2,COM1,").arg(r.number).arg(r.chamber)))
            << events.toStdString();
    }
    EXPECT_TRUE(Form1->AlarmMarker->text().startsWith(QStringLiteral("Тревога (подтверждена)")));
    bus.SetFaults(2, {});
    bus.SetFaults(17, {});
    Guarded([] { Form1->Button6Click(); });
}

namespace {

// The texts of one column of the table, top to bottom as shown.
QStringList TableColumn(int column)
{
    const QAbstractItemModel* shown = FormOverview->Table->model();
    QStringList texts;
    for (int row = 0; row < shown->rowCount(); ++row)
        texts << shown->index(row, column).data().toString();
    return texts;
}

QStringList Numbers(std::initializer_list<int> values)
{
    QStringList texts;
    for (int v : values)
        texts << QString::number(v);
    return texts;
}

// The viewport the tiles are laid out in.
QWidget* TileViewport() { return FormOverview->Tile(FormOverview->Watched().first())->parentWidget()->parentWidget(); }

}  // namespace

// 32 chambers on a full-HD screen: the tiles flow to the window's width, so
// all of them fit; a narrower window takes fewer columns, never cutting one.
TEST_F(OverviewWindowTest, TilesFlowToTheWindowsWidth)
{
    for (int a = 20; a < 52; ++a)
        FormOverview->Watch(a);
    FormOverview->ShowTable(false);
    FormOverview->show();
    Pump(50);
    EXPECT_EQ(FormOverview->TileColumns(), 4) << "four across as the window first opens";
    struct Width {
        int width;
        int atLeastColumns;
    };
    for (const Width& w : {Width{1920, 7}, Width{1060, 3}, Width{800, 2}, Width{300, 1}, Width{1920, 7}}) {
        SCOPED_TRACE(w.width);
        FormOverview->resize(w.width, 1040);
        Pump(50);
        const QWidget* viewport = TileViewport();
        const int columns = FormOverview->TileColumns();
        EXPECT_GE(columns, w.atLeastColumns);
        // Row by row, as many tiles as the width takes, none beyond it.
        const QVector<int> watched = FormOverview->Watched();
        for (int i = 0; i < watched.size(); ++i) {
            const QRect tile = FormOverview->Tile(watched[i])->geometry();
            const QRect first = FormOverview->Tile(watched[i - i % columns])->geometry();
            EXPECT_EQ(tile.top(), first.top()) << watched[i];
            EXPECT_LE(tile.right(), viewport->width()) << watched[i];
        }
        // One more column would not have fitted, with the same gap and margin.
        const QRect first = FormOverview->Tile(watched[0])->geometry();
        const QRect last = FormOverview->Tile(watched[columns - 1])->geometry();
        const int gap = columns > 1 ? FormOverview->Tile(watched[1])->geometry().left() - first.right() - 1 : 0;
        EXPECT_GT(last.right() + gap + last.width(), viewport->width() - 1 - first.left());
    }
    // At full HD all 32 stand on the screen at once, no scrolling.
    const QRect lastTile = FormOverview->Tile(51)->geometry();
    EXPECT_LE(lastTile.bottom(), TileViewport()->height());
}

// The table: a row per chamber with the tile's texts, fed by the same reads;
// a click on a row picks the chamber; the view chosen stays for the next start.
TEST_F(OverviewWindowTest, TableRowsSayWhatTheTilesSay)
{
    ASSERT_TRUE(WatchFiveInTheTable());
    EXPECT_TRUE(FormOverview->TableShown());
    EXPECT_TRUE(FormOverview->Table->isVisible());
    FormOverview->Table->sortByColumn(TOverviewModel::Address, Qt::AscendingOrder);
    ASSERT_EQ(TableColumn(TOverviewModel::Address), Numbers({2, 5, 10, 17, 100}));
    const QStringList temperatures = TableColumn(TOverviewModel::Temperature);
    const QStringList links = TableColumn(TOverviewModel::Link);
    for (int row = 0; row < 5; ++row) {
        const int address = TableColumn(TOverviewModel::Address)[row].toInt();
        const TChamberTile* tile = FormOverview->Tile(address);
        EXPECT_TRUE(tile->Temperature->text().contains(temperatures[row])) << address;
        EXPECT_TRUE(tile->Link->text().contains(links[row])) << address;
    }
    EXPECT_EQ(temperatures[0], FormOverview->Chamber(2)->view.label5);
    EXPECT_TRUE(temperatures[0].startsWith(QStringLiteral("25"))) << temperatures[0].toStdString();
    EXPECT_EQ(temperatures[3], QStringLiteral("—"));
    EXPECT_EQ(links[3], QStringLiteral("молчит"));
    EXPECT_EQ(TableColumn(TOverviewModel::Age)[3], QStringLiteral("нет ответа"));

    // A click on a row picks its chamber in the main list, as a tile's does.
    emit FormOverview->Table->clicked(FormOverview->Table->model()->index(2, TOverviewModel::Temperature));
    ASSERT_TRUE(Form1->ListBox1->currentItem());
    EXPECT_EQ(Form1->ListBox1->currentItem()->text(), ChamberEntryText(10));
    EXPECT_EQ(SelectedEntryIndex(*Form1->ListBox1), Form1->ListBox1->currentRow());

    FormOverview->ButtonTiles->click();
    EXPECT_FALSE(FormOverview->TableShown());
    EXPECT_FALSE(QSettings().value(QStringLiteral("overview/table")).toBool());
    FormOverview->ButtonTable->click();
    EXPECT_TRUE(QSettings().value(QStringLiteral("overview/table")).toBool());
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
}

// Sorted by every column in both directions; addresses and values as
// numbers, a chamber never heard below every value.
TEST_F(OverviewWindowTest, TableSortsByEveryColumn)
{
    ASSERT_TRUE(WatchFiveInTheTable());
    struct Order {
        int column;
        Qt::SortOrder order;
        QStringList addresses;  // top to bottom; only the first when one entry
    };
    for (const Order& o : {Order{TOverviewModel::Address, Qt::AscendingOrder, Numbers({2, 5, 10, 17, 100})},
                           Order{TOverviewModel::Address, Qt::DescendingOrder, Numbers({100, 17, 10, 5, 2})},
                           Order{TOverviewModel::Temperature, Qt::AscendingOrder, Numbers({17, 5, 100, 10, 2})},
                           Order{TOverviewModel::Temperature, Qt::DescendingOrder, Numbers({2, 10, 100, 5, 17})},
                           Order{TOverviewModel::Link, Qt::DescendingOrder, Numbers({17})},
                           Order{TOverviewModel::Age, Qt::DescendingOrder, Numbers({17})}}) {
        FormOverview->Table->sortByColumn(o.column, o.order);
        const QStringList shown = TableColumn(TOverviewModel::Address);
        EXPECT_EQ(o.addresses.size() == 1 ? shown.mid(0, 1) : shown, o.addresses) << "column " << o.column;
    }
    const QAbstractItemModel* shown = FormOverview->Table->model();
    for (int column = 0; column < TOverviewModel::ColumnCount; ++column) {
        for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            FormOverview->Table->sortByColumn(column, order);
            EXPECT_EQ(FormOverview->Table->horizontalHeader()->sortIndicatorSection(), column);
            for (int row = 1; row < shown->rowCount(); ++row) {
                const QVariant before = shown->index(row - 1, column).data(TOverviewModel::SortRole);
                const QVariant after = shown->index(row, column).data(TOverviewModel::SortRole);
                const QPartialOrdering c = QVariant::compare(before, after);
                const bool inOrder = order == Qt::AscendingOrder ? c != QPartialOrdering::Greater
                                                                 : c != QPartialOrdering::Less;
                EXPECT_TRUE(inOrder && c != QPartialOrdering::Unordered) << "column " << column << ", row " << row;
            }
        }
    }
}

// Eighty answering chambers: eighty rows, in the order of their addresses
// as numbers (1, 2, … 80; as texts 10 would come before 2).
TEST_F(OverviewWindowTest, TableHoldsEightyChambersInTheOrderOfTheirNumbers)
{
    for (int a = 1; a <= 80; ++a) {
        if (a != 2 && a != 5 && a != 17)
            ASSERT_TRUE(bus.AddChamber(a));
        FormOverview->Watch(81 - a);
    }
    FormOverview->ShowTable(true);
    FormOverview->show();
    ASSERT_TRUE(PumpUntil(
        [] {
            for (int a = 1; a <= 80; ++a)
                if (!Answering(a))
                    return false;
            return true;
        },
        60000));
    EXPECT_EQ(FormOverview->Table->model()->rowCount(), 80);
    FormOverview->Table->sortByColumn(TOverviewModel::Address, Qt::AscendingOrder);
    QStringList ascending;
    for (int a = 1; a <= 80; ++a)
        ascending << QString::number(a);
    EXPECT_EQ(TableColumn(TOverviewModel::Address), ascending);
    FormOverview->Table->sortByColumn(TOverviewModel::Address, Qt::DescendingOrder);
    std::reverse(ascending.begin(), ascending.end());
    EXPECT_EQ(TableColumn(TOverviewModel::Address), ascending);
    EXPECT_FALSE(TableColumn(TOverviewModel::Link).contains(QStringLiteral("молчит")));
}
