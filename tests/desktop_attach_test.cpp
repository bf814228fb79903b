// The desktop attached to a recorder's line in the same run: the recorder
// reads the simulated chambers, the main window shows the selected one from
// its reads, the control window's commands go through the recorder under the
// caller's login, a refusal sends nothing, and a recorder restarted under the
// window is found again.
#include <gtest/gtest.h>

#include <QDir>
#include <algorithm>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <pwd.h>
#include <unistd.h>

#include "control/Commands.h"
#include "link/ChamberContract.h"
#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "services/Recorder.h"
#include "services/RecorderClient.h"
#include "services/Signature.h"
#include "ui/ReportSigning.h"
#include "sim/BusSimulator.h"
#include "support/AppFixture.h"
#include "support/ControlClient.h"
#include "ui/AlarmCenter.h"
#include "ui/AlarmWindow.h"
#include "ui/ChartWindow.h"
#include "ui/OverviewWindow.h"
#include "ui/Unit3.h"
#include "ui/main.h"

namespace {
using namespace std::chrono_literals;

QString OwnLogin()
{
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString();
}

class DesktopAttach : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        for (int address : {1, 2, 3})
            ASSERT_TRUE(bus.AddChamber(address));
        bus.WithChamber(2, [](sim::ChamberModel& chamber) { chamber.SetTemperature(31.5); });
        ASSERT_TRUE(bus.Start(&error)) << error;
        // Another path than the service's, as a socket forwarded over SSH has.
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("forwarded"))));
        socketPath = dir.filePath(QStringLiteral("forwarded/calvetra.sock"));
        qputenv("CALVETRA_RECORDER_SOCKET", socketPath.toLocal8Bit());
        config.folder = dir.filePath(QStringLiteral("recorder"));
        QDir().mkpath(config.folder);
        config.listen = false;
        config.socket = socketPath;
        config.access.readGroup = OwnPrimaryGroup();
        config.access.writeGroup = OwnPrimaryGroup();
        RecorderLine line;
        line.name = QStringLiteral("a");
        line.address = {TransportKind::Serial, bus.SlavePath(), "", 0};
        line.chambers = {1, 2, 3};
        line.timeoutMs = 100;
        config.lines = {line};
    }
    void TearDown() override
    {
        DesktopRecorder().Detach();
        StopRecorder();
        thread.quit();
        thread.wait();
        qunsetenv("CALVETRA_RECORDER_SOCKET");
        AppFixture::TearDown();
        bus.Stop();
    }
    // The recorder on a thread of its own, as it runs in a process of its
    // own: the window's waits for its answers never hold it up.
    void StartRecorder()
    {
        if (!thread.isRunning()) {
            thread.start();
            home.moveToThread(&thread);
        }
        QString error;
        bool started = false;
        CallOn(&home, [&] {
            recorder = std::make_unique<Recorder>([](const QString&) {});
            started = recorder->Start(config, &error);
        });
        ASSERT_TRUE(started) << error.toStdString();
    }
    void StopRecorder()
    {
        if (thread.isRunning())
            CallOn(&home, [&] { recorder.reset(); });
    }
    // Picks the recorder's line in the port list and presses "Открыть".
    void AttachToLineA()
    {
        Form1->RefreshPortList();
        const int index = Form1->ComboBox1->findText(QStringLiteral("Линия a — регистратор (3 камеры)"));
        ASSERT_GE(index, 0) << "the recorder's line is not in the port list";
        Form1->ComboBox1->setCurrentIndex(index);
        Form1->Button5->click();
        ASSERT_TRUE(Form1->AttachedToRecorder());
        ASSERT_TRUE(PumpUntil([] { return DesktopRecorder().Attached(); }, 5000));
    }
    void ReadChamberTwo()
    {
        Form1->SelectChamber(2);
        Form1->Button6->click();
        ASSERT_EQ(Form1->ReadingActive, 1);
        ASSERT_TRUE(PumpUntil([] { return Form1->Label5->text() == TenthsText(315, DecimalSeparator()); }, 10000))
            << Form1->Label5->text().toStdString();
    }
    QString JournalText() const
    {
        QFile file(QDir(config.folder).filePath(QStringLiteral("Журнал действий.csv")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    int FramesLike(const std::vector<uint8_t>& frame) const
    {
        int n = 0;
        for (const sim::LineFrame& f : bus.ReceivedFrames())
            n += f.bytes == frame;
        return n;
    }

    QTemporaryDir dir;
    sim::BusSimulator bus;
    RecorderConfig config;
    QString socketPath;
    std::unique_ptr<Recorder> recorder;
    QThread thread;
    QObject home;
};

TEST_F(DesktopAttach, MainWindowShowsTheRecordersReadsOfTheSelectedChamberWithoutAPortOfItsOwn)
{
    StartRecorder();
    AttachToLineA();
    EXPECT_EQ(ListBoxEntries(), (QStringList{"Камера №1", "Камера №2", "Камера №3"}));
    ReadChamberTwo();
    // The recorder is the line's one master: the window opened nothing.
    EXPECT_EQ(PortHandle, kNoPort);
    EXPECT_FALSE(Form1->CheckBox1->isEnabled());
    // Another chamber picked: its values, not the last one's.
    bus.WithChamber(3, [](sim::ChamberModel& chamber) { chamber.SetTemperature(-12.4); });
    Form1->SelectChamber(3);
    EXPECT_TRUE(PumpUntil([] { return Form1->Label5->text() == TenthsText(-124, DecimalSeparator()); }, 10000))
        << Form1->Label5->text().toStdString();
    // Every chamber of the line on its tile, from the same reads.
    Form1->ButtonOverview->click();
    bus.WithChamber(1, [](sim::ChamberModel& chamber) { chamber.SetTemperature(22.7); });
    EXPECT_TRUE(PumpUntil([] { return FormOverview->Tile(1) && FormOverview->Tile(1)->Temperature->text().contains(TenthsText(227, DecimalSeparator())); }, 10000))
        << (FormOverview->Tile(1) ? FormOverview->Tile(1)->Temperature->text().toStdString() : std::string("no tile"));
    EXPECT_TRUE(bus.Collisions().empty());
    // The picture in the guide, when asked for.
    const QByteArray pictures = qgetenv("CALVETRA_PICTURES");
    if (!pictures.isEmpty())
        Form1->grab().save(QDir(QString::fromLocal8Bit(pictures)).filePath(QStringLiteral("main-window-attached.png")));
}

// "Пуск" on the recorder's line: the recorder scans it, its reads paused,
// and the list becomes the chambers found.
TEST_F(DesktopAttach, StartAsksTheRecorderToScanItsLine)
{
    // Each silent address costs its timeout three times over: a short one.
    config.lines[0].timeoutMs = 30;
    StartRecorder();
    AttachToLineA();
    ASSERT_TRUE(bus.RemoveChamber(3));
    ASSERT_TRUE(bus.AddChamber(7));
    Form1->Button4->click();
    EXPECT_FALSE(Form1->Button4->isEnabled());
    EXPECT_TRUE(PumpUntil([] { return ListBoxEntries() == QStringList{"Камера №1", "Камера №2", "Камера №7"}; }, 60000))
        << ListBoxEntries().join(',').toStdString();
    EXPECT_TRUE(Form1->Button4->isEnabled());
    EXPECT_TRUE(bus.Collisions().empty());
    // The recorder reads the chambers found.
    bus.ResetRequestCount(7);
    EXPECT_TRUE(PumpUntil([this] { return bus.RequestCount(7) >= 2; }, 10000));
}

// Set point, start and a program from the control window: checked and sent
// by the recorder, byte for byte as the window would send them, journalled
// in the recorder's journal under the login the kernel gave it.
TEST_F(DesktopAttach, CommandsGoThroughTheRecorderUnderTheCallersLogin)
{
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    bus.ClearReceivedFrames();
    Form3->Edit3->setText(QStringLiteral("25"));
    Form3->Edit4->setText(QStringLiteral("60"));
    Form3->Button4->click();
    EXPECT_EQ(Form3->LabelAnswer->text(), QStringLiteral("%1: %2").arg(Form3->Button4->text(), JournalOutcomeConfirmed()));
    Form3->Button2->click();
    EXPECT_TRUE(Form3->LabelAnswer->text().endsWith(JournalOutcomeConfirmed())) << Form3->LabelAnswer->text().toStdString();

    Form3->ComboBox1->setCurrentIndex(1);
    Form3->Edit1->setText("2");
    Form3->Edit2->setText("5");
    const char* rows[2][6] = {{"-40", "1", "30", "0", "45", "0"}, {"25", "0", "10", "0", "5", "50"}};
    for (int row = 1; row <= 2; ++row)
        for (int column = 1; column <= 6; ++column)
            Form3->SetCells(column, row, rows[row - 1][column - 1]);
    Form3->Button1->click();
    EXPECT_TRUE(Form3->LabelAnswer->text().startsWith(Form3->Button1->text())) << Form3->LabelAnswer->text().toStdString();
    ASSERT_TRUE(bus.WaitUntilIdle(5000ms));

    const SetPointFrame set = BuildSetPointFrame(2, 25, 60);
    const RunFrame start = BuildRunFrame(2, kRegManualRun, kRunStart);
    EXPECT_EQ(FramesLike({set.begin(), set.end()}), 1);
    EXPECT_EQ(FramesLike({start.begin(), start.end()}), 1);
    ProgramTexts texts;
    texts.steps = "2";
    texts.cycles = "5";
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 6; ++c)
            texts.cells[r][c] = QString::fromLatin1(rows[r][c]);
    for (const StepFrame& step : BuildProgramFrames(2, 2, texts))
        EXPECT_EQ(FramesLike({step.begin(), step.end()}), 1);
    EXPECT_TRUE(bus.Collisions().empty());
    const QString journal = JournalText();
    EXPECT_TRUE(journal.contains(QStringLiteral("a/2"))) << journal.toStdString();
    EXPECT_TRUE(journal.contains(OwnLogin())) << journal.toStdString();
    EXPECT_TRUE(journal.contains(SetPointJournalText(25, 60)));
}

// A caller outside the operators' group: the recorder refuses, the window
// says so in words, and nothing reaches the line.
TEST_F(DesktopAttach, ARefusedCommandIsSaidInWordsAndNothingIsSent)
{
    config.access.writeGroup = QStringLiteral("calvetra-operators-nobody-is-in");
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    bus.ClearReceivedFrames();
    Form3->Button2->click();
    const QString answer = Form3->LabelAnswer->text();
    EXPECT_TRUE(answer.contains(QStringLiteral("отклонено регистратором"))) << answer.toStdString();
    const RunFrame start = BuildRunFrame(2, kRegManualRun, kRunStart);
    Pump(300);
    EXPECT_EQ(FramesLike({start.begin(), start.end()}), 0);
    EXPECT_TRUE(JournalText().contains(JournalActionText(JournalAction::ControlRefused)));
}

// The recorder restarted under the attached window: it says so and keeps what
// it showed, greyed; it comes back by itself, and no command was asked twice.
TEST_F(DesktopAttach, ARecorderRestartedUnderTheWindowIsFoundAgain)
{
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    Form1->ButtonOverview->click();
    ASSERT_TRUE(PumpUntil([] { return FormOverview->Tile(2) != nullptr; }, 5000));
    bus.ClearReceivedFrames();
    Form3->Button2->click();
    StopRecorder();
    ASSERT_TRUE(PumpUntil([] { return Form1->LabelPort->text() == RecorderUnavailableText(); }, 5000))
        << Form1->LabelPort->text().toStdString();
    EXPECT_FALSE(Form1->Label5->isEnabled());
    EXPECT_EQ(Form1->Label5->text(), TenthsText(315, DecimalSeparator()));
    // The tiles say so too, keeping what they showed.
    ASSERT_NE(FormOverview->Tile(2), nullptr);
    EXPECT_EQ(FormOverview->Tile(2)->Link->text(), RecorderUnavailableText());
    EXPECT_TRUE(FormOverview->Tile(2)->Temperature->text().contains(TenthsText(315, DecimalSeparator())));
    bus.WithChamber(2, [](sim::ChamberModel& chamber) { chamber.SetTemperature(40.2); });
    StartRecorder();
    EXPECT_TRUE(PumpUntil([] { return Form1->Label5->isEnabled(); }, 10000));
    EXPECT_TRUE(PumpUntil([] { return Form1->Label5->text() == TenthsText(402, DecimalSeparator()); }, 10000))
        << Form1->Label5->text().toStdString();
    EXPECT_EQ(Form1->LabelPort->text(), QStringLiteral("Линия a — регистратор"));
    EXPECT_NE(FormOverview->Tile(2)->Link->text(), RecorderUnavailableText());
    const RunFrame start = BuildRunFrame(2, kRegManualRun, kRunStart);
    EXPECT_EQ(FramesLike({start.begin(), start.end()}), 1);
}

// "Тревоги" attached: the recorder's alarms of the line, acknowledged at the
// recorder under the caller's login; the desktop raises none of its own.
TEST_F(DesktopAttach, TheAlarmWindowShowsAndAcknowledgesTheRecordersAlarms)
{
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    Form1->ButtonOverview->click();
    // Chamber 3 goes silent: the recorder raises its link alarm.
    ASSERT_TRUE(bus.RemoveChamber(3));
    auto linkAlarmOfThree = [] {
        for (const ChamberAlarm& c : AlarmCenter->AllAlarms())
            if (c.chamberAddress == 3 && c.alarm.kind == AlarmKind::Link && c.alarm.active)
                return true;
        return false;
    };
    ASSERT_TRUE(PumpUntil(linkAlarmOfThree, 20000));
    EXPECT_TRUE(AlarmCenter->Service().AllAlarms().empty());
    EXPECT_TRUE(PumpUntil([] { return FormOverview->Tile(3) && FormOverview->Chamber(3) &&
                                      FormOverview->Chamber(3)->outstandingAlarms > 0; }, 5000));
    EXPECT_FALSE(AlarmCenter->Window()->ButtonSettings->isEnabled());
    AlarmCenter->ShowWindow();
    ASSERT_GT(AlarmCenter->Window()->Table->rowCount(), 0);
    AlarmCenter->Window()->EditComment->setText(QStringLiteral("кабель проверен"));
    AlarmCenter->Window()->ButtonAcknowledgeAll->click();
    ASSERT_TRUE(PumpUntil(
        [] {
            const std::vector<ChamberAlarm> all = AlarmCenter->AllAlarms();
            return !all.empty() && std::all_of(all.begin(), all.end(),
                                                [](const ChamberAlarm& c) { return c.alarm.acknowledged; });
        },
        5000));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QString journal = JournalText();
    EXPECT_TRUE(journal.contains(JournalActionText(JournalAction::AlarmAcknowledge))) << journal.toStdString();
    EXPECT_TRUE(journal.contains(QStringLiteral("кабель проверен")));
    EXPECT_TRUE(journal.contains(QStringLiteral("a/3")));
    EXPECT_TRUE(journal.contains(OwnLogin()));
    // No alarm of the desktop's own, so nothing for its event file: the
    // recorder keeps the line's. (The file itself is shared with the tests
    // running beside this one, so its bytes say nothing.)
    EXPECT_TRUE(AlarmCenter->Service().AllAlarms().empty());
    EXPECT_TRUE(AlarmCenter->Service().LabAlarms().empty());
    // Detached: the window is the desktop's own again.
    Form1->DetachRecorder();
    EXPECT_TRUE(AlarmCenter->AllAlarms().empty());
    EXPECT_TRUE(AlarmCenter->Window()->ButtonSettings->isEnabled());
}

// An acknowledgement by a caller outside the operators' group is refused at
// the recorder and said; the alarm stays unacknowledged.
TEST_F(DesktopAttach, ARefusedAcknowledgementIsSaid)
{
    config.access.writeGroup = QStringLiteral("calvetra-operators-nobody-is-in");
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    ASSERT_TRUE(bus.RemoveChamber(3));
    ASSERT_TRUE(PumpUntil([] { return !AlarmCenter->AllAlarms().empty(); }, 20000));
    AlarmCenter->AcknowledgeAll(QString());
    ASSERT_TRUE(PumpUntil([this] { return !errors.isEmpty(); }, 5000));
    EXPECT_TRUE(errors.front().startsWith(QStringLiteral("Тревога не квитирована"))) << errors.front().toStdString();
    EXPECT_FALSE(AlarmCenter->AllAlarms().front().alarm.acknowledged);
}

// The chart attached: its live line is the recorder's reads of the selected
// chamber, and "Открыть журнал…" starts at that chamber's log in the
// recorder's folder, which it reads.
TEST_F(DesktopAttach, TheChartFollowsTheSelectedChamberAndOpensTheRecordersLog)
{
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    EXPECT_EQ(FormChart->LiveChamber(), 2);
    ASSERT_TRUE(PumpUntil([] { return FormChart->LiveModel().samples.size() >= 2; }, 10000));
    EXPECT_DOUBLE_EQ(FormChart->LiveModel().samples.back().currentTemp, 31.5);
    CallOn(&home, [&] { recorder->WriteMinute(); });
    ASSERT_TRUE(PumpUntil([] { return !FormChart->LogToOpen().isEmpty(); }, 5000));
    const QString log = FormChart->LogToOpen();
    EXPECT_TRUE(log.startsWith(QDir(config.folder).absolutePath())) << log.toStdString();
    QString message;
    ASSERT_TRUE(FormChart->OpenLog(log, &message)) << message.toStdString();
    // The minute's record written above, and any of the recorder's own minute.
    EXPECT_TRUE(message.contains(QRegularExpression(QStringLiteral("записей [1-9]")))) << message.toStdString();
    Form1->DetachRecorder();
    EXPECT_TRUE(FormChart->LogToOpen().isEmpty());
}

// "Обзор камер" attached: the attached line's tiles under its caption, every
// other line of the recorder a group of its own from the recorder's reads,
// with its alarms; a tile of another line picked attaches to that line.
TEST_F(DesktopAttach, TheOverviewShowsEveryLineOfTheRecorderGroupedByLine)
{
    sim::BusSimulator second;
    for (int address : {5, 6})
        ASSERT_TRUE(second.AddChamber(address));
    second.WithChamber(5, [](sim::ChamberModel& chamber) { chamber.SetTemperature(18.2); });
    std::string error;
    ASSERT_TRUE(second.Start(&error)) << error;
    RecorderLine b = config.lines.front();
    b.name = QStringLiteral("b");
    b.address = {TransportKind::Serial, second.SlavePath(), "", 0};
    b.chambers = {5, 6};
    config.lines.push_back(b);
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    Form1->ButtonOverview->click();
    EXPECT_EQ(FormOverview->LabelLine->text(), QStringLiteral("Линия a — регистратор (3 камеры)"));
    EXPECT_FALSE(FormOverview->ButtonAdd->isEnabled());
    EXPECT_EQ(FormOverview->OtherLines(), QStringList{QStringLiteral("b")});
    ASSERT_TRUE(PumpUntil(
        [] {
            const TChamberTile* tile = FormOverview->LineTile(QStringLiteral("b"), 5);
            return tile && tile->Temperature->text().contains(TenthsText(182, DecimalSeparator()));
        },
        10000));
    EXPECT_TRUE(FormOverview->Tile(2) != nullptr);
    EXPECT_EQ(FormOverview->Tile(5), nullptr);
    // The recorder keeps the logs: no box of this window's writes one beside it.
    EXPECT_FALSE(FormOverview->CheckLogAll->isEnabled());
    EXPECT_FALSE(FormOverview->Tile(2)->Log->isEnabled());
    EXPECT_FALSE(FormOverview->LineTile(QStringLiteral("b"), 5)->Log->isVisible());
    // Chamber 6 of line b goes silent: its tile turns to the recorder's alarm.
    ASSERT_TRUE(second.RemoveChamber(6));
    EXPECT_TRUE(PumpUntil(
        [] {
            const WatchedChamber* chamber = FormOverview->LineChamber(QStringLiteral("b"), 6);
            return chamber && chamber->outstandingAlarms > 0;
        },
        20000));
    const QByteArray pictures = qgetenv("CALVETRA_PICTURES");
    if (!pictures.isEmpty())
        FormOverview->grab().save(QDir(QString::fromLocal8Bit(pictures)).filePath(QStringLiteral("overview-attached.png")));
    // A tile of line b picked: the window follows line b, that chamber selected.
    emit FormOverview->LineTile(QStringLiteral("b"), 5)->Clicked(5);
    EXPECT_EQ(Form1->RecorderLine(), QStringLiteral("b"));
    EXPECT_EQ(Form1->ReadingActive, 1);
    EXPECT_TRUE(PumpUntil([] { return Form1->Label5->text() == TenthsText(182, DecimalSeparator()); }, 10000))
        << Form1->Label5->text().toStdString();
    EXPECT_EQ(FormOverview->OtherLines(), QStringList{QStringLiteral("a")});
    StopRecorder();
}

// With no recorder, the port list is the devices' alone.
TEST_F(DesktopAttach, WithoutARecorderThePortListIsAsBefore)
{
    Form1->RefreshPortList();
    for (int i = 0; i < Form1->ComboBox1->count(); ++i)
        EXPECT_FALSE(Form1->ComboBox1->itemText(i).contains(QStringLiteral("регистратор")));
    EXPECT_TRUE(FindRecorder(socketPath).error.isEmpty());
}

TEST(RecorderCaptionTest, ChamberCountsInRussian)
{
    const std::pair<int, const char*> cases[] = {{1, "1 камера"},   {2, "2 камеры"},   {4, "4 камеры"},
                                                 {5, "5 камер"},    {11, "11 камер"},  {12, "12 камер"},
                                                 {21, "21 камера"}, {22, "22 камеры"}, {111, "111 камер"}};
    for (const auto& [count, text] : cases)
        EXPECT_EQ(ChamberCountText(count), QString::fromUtf8(text)) << count;
    RecorderLineInfo line;
    line.name = QStringLiteral("a");
    line.chambers = QVector<int>(12, 1);
    EXPECT_EQ(RecorderLineCaption(line), QStringLiteral("Линия a — регистратор (12 камер)"));
}

}  // namespace

// Signing attached: the password is checked on the desktop, the signature
// and the failed tries go to the recorder's journal, which takes a signature
// only under the socket peer's own login; a signed program written through
// the recorder is journalled there with its signatures.
TEST_F(DesktopAttach, SignaturesGoToTheRecordersJournalUnderThePeersLogin)
{
    const QString own = dir.filePath(QStringLiteral("desktop-journal"));
    QDir().mkpath(own);
    SetDesktopSignerForTests(std::make_unique<Signer>(own, [](const QString&, const QString& password) {
        return password == QLatin1String("right") ? PamOutcome{true, {}} : PamOutcome{false, QStringLiteral("Authentication failure")};
    }));
    StartRecorder();
    AttachToLineA();
    ReadChamberTwo();
    Form3->ComboBox1->setCurrentIndex(1);
    Form3->Edit1->setText("1");
    Form3->Edit2->setText("1");
    const char* row[6] = {"25", "0", "10", "0", "5", "60"};
    for (int column = 1; column <= 6; ++column)
        Form3->SetCells(column, 1, row[column - 1]);

    QString message;
    EXPECT_FALSE(Form3->SignProgramAs(OwnLogin(), SignatureMeaning::Compiled, "wrong", &message));
    ASSERT_TRUE(Form3->SignProgramAs(OwnLogin(), SignatureMeaning::Compiled, "right", &message)) << message.toStdString();
    EXPECT_TRUE(Form3->ProgramLocked());
    // Another login than the socket's peer is refused by the recorder.
    EXPECT_FALSE(Form3->SignProgramAs(QStringLiteral("somebody-else"), SignatureMeaning::Checked, "right", &message));
    EXPECT_TRUE(message.contains(QStringLiteral("подписывает только сам подписант"))) << message.toStdString();

    Form3->Button1->click();
    ASSERT_TRUE(PumpUntil([&] { return JournalText().contains(JournalActionText(JournalAction::ProgramWrite)); }, 10000));

    std::vector<JournalRecord> records;
    ASSERT_TRUE(CheckJournal(QDir(config.folder).filePath(QStringLiteral("Журнал действий.csv")),
                             [&](const JournalRecord& r) { records.push_back(r); })
                    .ok);
    auto first = [&](JournalAction action) {
        return std::find_if(records.begin(), records.end(),
                            [&](const JournalRecord& r) { return r.action == JournalActionText(action); });
    };
    ASSERT_NE(first(JournalAction::Signature), records.end());
    EXPECT_EQ(first(JournalAction::Signature)->operatorName, OwnLogin());
    ASSERT_NE(first(JournalAction::SignatureFailure), records.end());
    EXPECT_EQ(first(JournalAction::SignatureFailure)->operatorName, OwnLogin());
    ASSERT_NE(first(JournalAction::ProgramWrite), records.end());
    EXPECT_TRUE(first(JournalAction::ProgramWrite)->newValue.contains(QStringLiteral("подписи: Составил: ")))
        << first(JournalAction::ProgramWrite)->newValue.toStdString();
    // Nothing of it in the desktop's own journal.
    EXPECT_FALSE(QFile::exists(JournalFileName(own)) &&
                 SignaturesOf(own, ProgramSha256(Form3->ReadProgramTexts())).size() > 0);
    SetDesktopSignerForTests(nullptr);
}
