// "Обзор камер": tiles with the main window's texts, a click that picks the
// chamber, addresses typed by hand, a chamber that falls silent and comes
// back, and a log per chamber byte for byte as the main window's own.
#include <gtest/gtest.h>

#include <QDir>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QCoreApplication>
#include <QMouseEvent>

#include "link/PortUnit.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/StatusMetrics.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
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

class OverviewWindowTest : public AppFixture {
protected:
    OverviewWindowTest() : AppFixture(0.05) {}
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
    QStringList LogFiles() const
    {
        return QDir(folder.path()).entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
    }
    QTemporaryDir folder;
    sim::BusSimulator bus;
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

    // The poll of the same chamber writes the same texts into the main window.
    Form1->ListBox1->setCurrentRow(0);
    Guarded([] { Form1->Button6Click(); });
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
}

TEST_F(OverviewWindowTest, ChamberThatVanishesGoesLateThenSilentAndComesBack)
{
    FormOverview->Watch(5);
    FormOverview->Watch(17);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(5) && Answering(17); }, 5000));
    sim::Faults gone;
    gone.silent = true;
    bus.SetFaults(17, gone);
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
    const ChamberLogState* log = FormOverview->LogState(5);
    ASSERT_TRUE(log && log->on);
    EXPECT_EQ(log->fileName, mainName);
    ASSERT_TRUE(PumpUntil([&] { return ReadFileBytes(log->fileName).count('\n') >= 4; }, 15000));
    const QByteArray chamberBytes = ReadFileBytes(log->fileName);
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

TEST_F(OverviewWindowTest, SilentChamberGetsNoInventedLogLines)
{
    FormOverview->Watch(5);
    FormOverview->StartReading();
    ASSERT_TRUE(PumpUntil([] { return Answering(5); }, 5000));
    FormOverview->SetChamberLog(5, true);
    const QString name = FormOverview->LogState(5)->fileName;
    ASSERT_TRUE(PumpUntil([&] { return ReadFileBytes(name).count('\n') >= 4; }, 15000));
    sim::Faults gone;
    gone.silent = true;
    bus.SetFaults(5, gone);
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Chamber(5)->link == ChamberLink::Silent; }, 5000));
    // Let one log minute (3 s scaled) pass for the last answer, then two more.
    Pump(3200);
    const int linesSilent = ReadFileBytes(name).count('\n');
    Pump(6400);
    EXPECT_EQ(ReadFileBytes(name).count('\n'), linesSilent);
    bus.SetFaults(5, {});
    EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(name).count('\n') > linesSilent; }, 40000));
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
    sim::Faults gone;
    gone.silent = true;
    bus.SetFaults(17, gone);
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
