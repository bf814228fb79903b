// An action journal that cannot be written (a read-only file or folder, a
// file size limit) neither blinds the lab nor blocks a stop: the port stays
// open, the chamber is read and logged, a stop goes out, while a start is
// refused. The records wait in memory and are written in order, with the
// times they were made, once the journal can be written; meanwhile the
// alarm "журнал действий не записывается" stands in the marker, the alarm
// window, the tiles and /metrics.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimeZone>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <linux/fs.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/PortUnit.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/ChildRun.h"
#include "support/FileSizeLimit.h"
#include "support/ReadOnlyFolder.h"
#include "ui/AlarmCenter.h"
#include "ui/AlarmWindow.h"
#include "ui/JournalWindow.h"
#include "ui/OverviewWindow.h"
#include "services/StatusEndpoint.h"
#include "ui/Unit3.h"
#include "ui/main.h"

using namespace std::chrono_literals;

namespace {

const char* const kAlarmText = "журнал действий не записывается";

// A file no one may write, root included (the immutable flag); false when
// this system does not allow making one.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const QString& path) : m_path(QFile::encodeName(path))
    {
        ::chmod(m_path.constData(), 0444);
        if (::geteuid() != 0) {
            m_ok = true;
            return;
        }
        m_ok = m_immutable = SetImmutable(true);
    }
    ~ReadOnlyFile()
    {
        if (m_immutable)
            SetImmutable(false);
        ::chmod(m_path.constData(), 0644);
    }
    bool ok() const { return m_ok; }

private:
    bool SetImmutable(bool on)
    {
        const int fd = ::open(m_path.constData(), O_RDONLY);
        int flags = 0;
        bool done = false;
        if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0)
            ::close(fd);
        return done;
    }
    QByteArray m_path;
    bool m_ok = false;
    bool m_immutable = false;
};

std::vector<JournalRecord> Records(const QString& folder)
{
    std::vector<JournalRecord> records;
    const JournalCheck check = CheckJournal(JournalFileName(folder), [&](const JournalRecord& r) { records.push_back(r); });
    EXPECT_TRUE(check.ok) << check.problem.toStdString();
    return records;
}

QDateTime Utc(const JournalRecord& r)
{
    QDateTime t = QDateTime::fromString(r.utc.chopped(1), QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    t.setTimeSpec(Qt::UTC);
    return t;
}

// The gauge's value in /metrics, -1 when it is not there.
int UnwritableGauge()
{
    const StatusEndpoint endpoint;
    const QByteArray answer = endpoint.Answer("GET /metrics HTTP/1.1\r\nHost: test\r\n\r\n", false);
    for (const QByteArray& line : answer.split('\n'))
        if (line.startsWith("calvetra_journal_unwritable{"))
            return line.mid(line.lastIndexOf(' ') + 1).trimmed().toInt();
    return -1;
}

// The control frames (function 0x10) the simulator received.
std::vector<std::vector<uint8_t>> ControlFrames(const sim::BusSimulator& bus)
{
    std::vector<std::vector<uint8_t>> frames;
    for (const sim::LineFrame& f : bus.ReceivedFrames())
        if (f.bytes.size() > 1 && f.bytes[1] == 0x10)
            frames.push_back(f.bytes);
    return frames;
}

// The lines of the event file that belong to the journal's alarm.
QStringList JournalAlarmLines()
{
    QStringList lines;
    for (const QString& line : QString::fromUtf8(ReadFileBytes(AlarmCenter->EventFileName())).split(QStringLiteral("\r\n")))
        if (line.contains(QString::fromUtf8(kAlarmText)))
            lines << line;
    return lines;
}

}  // namespace

class JournalUnwritableTest : public AppFixture {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(logs.isValid());
        m_runFolder = JournalFolder();
        SetJournalFolder(dir.path());
        SetProgramFolderForTests(logs.path() + "/");
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        ASSERT_TRUE(bus.AddChamber(1));
        // A journal with a record in it from before.
        AppendJournal(dir.path(), {JournalAction::PortClose, "", "COM2", "", "выполнено"});
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
        SetProgramFolderForTests({});
        SetJournalFolder(m_runFolder);
    }

    // Everything an operator does while the journal cannot be written, and
    // what must come of it once it can. arrange makes the journal unwritable
    // and returns the undo; null when this system cannot.
    void WatchAndStopWhileUnwritable(const std::function<std::function<void()>()>& arrange, const char* reason)
    {
        const QString journal = JournalFileName(dir.path());
        // Armed while the journal could still be written: the stop the
        // chamber confirms disarms it, and that follows whatever the journal.
        AlarmCenter->SetDeviationArmed(1, true, QStringLiteral("оператором"), true);
        std::function<void()> undo = arrange();
        if (!undo) {
            std::cout << "skipped: the journal cannot be made unwritable here\n";
            return;
        }
        const size_t before = QFile::exists(journal) ? Records(dir.path()).size() : 0;
        const QByteArray bytesBefore = ReadFileBytes(journal);
        std::vector<std::pair<QDateTime, QDateTime>> made;  // around each action
        auto act = [&](const std::function<void()>& action) {
            const QDateTime start = QDateTime::currentDateTimeUtc();
            action();
            made.emplace_back(start, QDateTime::currentDateTimeUtc());
        };

        // The port opens and stays open; the alarm stands.
        act([&] { OpenPortOn(bus.SlavePath()); });
        EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        EXPECT_NE(PortHandle, kNoPort);
        EXPECT_EQ(KeptJournalCount(), 1);
        EXPECT_TRUE(AlarmCenter->MarkerText().startsWith(QStringLiteral("ТРЕВОГА: ") + kAlarmText))
            << AlarmCenter->MarkerText().toStdString();
        EXPECT_TRUE(Form1->AlarmMarker->toolTip().contains(reason)) << Form1->AlarmMarker->toolTip().toStdString();
        EXPECT_EQ(UnwritableGauge(), 1);

        // Reading goes on: polls are answered again and again.
        act([] {
            Form1->ListBox1->addItem(QStringLiteral("Камера №1"));
            Form1->ListBox1->setCurrentRow(0);
            Form1->Button6->click();
        });
        EXPECT_EQ(Form1->ReadingActive, 1);
        const quint64 answered = AlarmCenter->Watched().pollsAnswered;
        EXPECT_GE(answered, 1u);
        EXPECT_TRUE(PumpUntil([&] { return AlarmCenter->Watched().pollsAnswered >= answered + 1; }, 20000));
        EXPECT_NE(Form1->Label5->text(), "0");

        // Logging goes on: the header, then a record line.
        act([] { Form1->CheckBox1->click(); });
        EXPECT_TRUE(Form1->CheckBox1->isChecked());
        EXPECT_TRUE(PumpUntil(
            [] {
                const QByteArray log = ReadFileBytes(LogFileName);
                return !LogFileName.contains(u'>') && log.count("\r\n") >= 3;
            },
            30000))
            << LogFileName.toStdString();

        // A stop goes out; a start does not.
        ASSERT_TRUE(bus.WaitUntilIdle(5000ms));
        bus.ClearReceivedFrames();
        errors.clear();
        act([] { Form3->Button3->click(); });
        EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        EXPECT_TRUE(bus.WaitForReceivedFrames(1, 5000ms));
        ASSERT_TRUE(bus.WaitUntilIdle(5000ms));
        const std::vector<uint8_t> stop{0x01, 0x10, 0x00, 0x10, 0x00, 0x01, 0x02, 0x00, 0x02, 0x25, 0x01};
        EXPECT_EQ(ControlFrames(bus), std::vector<std::vector<uint8_t>>{stop});
        bus.ClearReceivedFrames();
        act([] { Form3->Button2->click(); });
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors[0].contains("действие не выполнено")) << errors[0].toStdString();
        EXPECT_FALSE(bus.WaitForReceivedFrames(1, 1000ms) && !ControlFrames(bus).empty()) << "the start went out";
        errors.clear();

        // The alarm in the window, on the tiles and on /metrics.
        const QTableWidget* table = AlarmCenter->Window()->Table;
        ASSERT_GE(table->rowCount(), 1);
        EXPECT_EQ(table->item(0, 1)->text(), "все");
        EXPECT_EQ(table->item(0, 3)->text(), kAlarmText);
        // A tile shows it without the overview reading (that is its own test).
        FormOverview->Watch(1);
        EXPECT_TRUE(PumpUntil(
            [] {
                const TChamberTile* tile = FormOverview->Tile(1);
                return tile && tile->toolTip().contains(QString::fromUtf8(kAlarmText));
            },
            20000));
        EXPECT_EQ(UnwritableGauge(), 1);
        // The stop has two: as it went out, and with the chamber's answer;
        // between them the disarming its confirmation brought.
        EXPECT_EQ(KeptJournalCount(), 7);
        EXPECT_FALSE(AlarmCenter->Arming(1).armed);
        // Nothing reached the file meanwhile.
        EXPECT_EQ(ReadFileBytes(journal), bytesBefore);
        // The journal window lists the waiting records, newest first, unnumbered.
        FormJournal->show();
        ASSERT_GE(FormJournal->Table->rowCount(), 7);
        EXPECT_EQ(FormJournal->Table->item(0, 0)->text(), "не записана");
        EXPECT_EQ(FormJournal->Table->item(0, 5)->text(), "Пуск");
        EXPECT_TRUE(FormJournal->LabelChain->text().contains("Не записано в файл: 7"))
            << FormJournal->LabelChain->text().toStdString();
        FormJournal->hide();

        // Writable again: the kept records follow, in order, with their own times.
        Pump(300);
        const QDateTime writable = QDateTime::currentDateTimeUtc();
        undo();
        EXPECT_TRUE(PumpUntil([] { return KeptJournalCount() == 0; }, 20000));
        const std::vector<JournalRecord> records = Records(dir.path());
        struct Expected {
            const char* action;
            const char* outcome;
            size_t act;  // the action it was made in
        };
        const std::vector<Expected> expected{
            {"Открытие порта", "выполнено", 0},
            {"Чтение включено", "выполнено", 1},
            {"Запись в файл включена", "выполнено", 2},
            {"Останов", "отправлено", 3},
            {"Тревоги отклонения", "выполнено", 3},
            {"Останов", "подтверждено камерой", 3},
            {"Пуск", "не выполнено: журнал действий не записывается", 4},
        };
        ASSERT_GE(records.size(), before + expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const JournalRecord& r = records[before + i];
            EXPECT_EQ(r.number, static_cast<qint64>(before + i + 1));
            EXPECT_EQ(r.action, expected[i].action) << i;
            EXPECT_EQ(r.outcome, expected[i].outcome) << i;
            const QDateTime at = Utc(r);
            EXPECT_GE(at.addMSecs(1), made[expected[i].act].first) << r.utc.toStdString();
            EXPECT_LE(at, made[expected[i].act].second) << r.utc.toStdString();
            EXPECT_LT(at, writable) << r.utc.toStdString();
        }
        QString report;
        QTextStream out(&report);
        EXPECT_EQ(VerifyJournalFiles({journal}, out), 0) << report.toStdString();

        // The alarm has ended and waits for its acknowledgement. (The test's
        // own waits on the simulator may hold the poll long enough for a
        // chamber's "нет опроса" to stand beside it in the marker.)
        bool waiting = false;
        for (const ChamberAlarm& c : AlarmCenter->AllAlarms())
            waiting = waiting || (c.alarm.text == QString::fromUtf8(kAlarmText) && !c.alarm.Active() && !c.alarm.acknowledged);
        EXPECT_TRUE(waiting) << AlarmCenter->MarkerText().toStdString();
        EXPECT_EQ(UnwritableGauge(), 0);
        const QStringList lines = JournalAlarmLines();
        ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines[0].contains(",начало,")) << lines[0].toStdString();
        EXPECT_TRUE(lines[1].contains(",конец,")) << lines[1].toStdString();
        // No chamber's: the chamber field is empty.
        EXPECT_EQ(lines[0].split(u',')[4], "");
        int id = 0;
        QStringList rows;
        for (int row = 0; row < table->rowCount(); ++row) {
            rows << table->item(row, 0)->text() + " " + table->item(row, 3)->text();
            if (table->item(row, 3)->text() == kAlarmText)
                id = table->item(row, 0)->text().toInt();
        }
        ASSERT_NE(id, 0) << rows.join('\n').toStdString();
        AlarmCenter->Acknowledge(id, QStringLiteral("папка снова доступна"));
        EXPECT_FALSE(AlarmCenter->MarkerText().contains(QString::fromUtf8(kAlarmText)));
        EXPECT_FALSE(FormOverview->Tile(1)->toolTip().contains(QString::fromUtf8(kAlarmText)))
            << rows.join('\n').toStdString() << "\n" << FormOverview->Tile(1)->toolTip().toStdString();
        const JournalRecord ack = Records(dir.path()).back();
        EXPECT_EQ(ack.action, "Подтверждение тревоги");
        EXPECT_EQ(ack.chamber, "");
        EXPECT_EQ(ack.newValue, "папка снова доступна");
        EXPECT_EQ(JournalAlarmLines().size(), 3);
    }

    QTemporaryDir dir;
    QTemporaryDir logs;
    sim::BusSimulator bus;

private:
    QString m_runFolder;
};

TEST_F(JournalUnwritableTest, ReadOnlyFileWatchingAndAStopGoOn)
{
    const QString journal = JournalFileName(dir.path());
    WatchAndStopWhileUnwritable(
        [&] {
            auto guard = std::make_shared<ReadOnlyFile>(journal);
            if (!guard->ok())
                return std::function<void()>();
            return std::function<void()>([guard]() mutable { guard.reset(); });
        },
        ::geteuid() == 0 ? "Operation not permitted" : "Permission denied");
}

TEST_F(JournalUnwritableTest, ReadOnlyFolderWatchingAndAStopGoOn)
{
    // Without the files the folder would have to take new ones.
    WatchAndStopWhileUnwritable(
        [&] {
            QFile::remove(JournalFileName(dir.path()));
            QFile::remove(JournalLockFileName(dir.path()));
            auto guard = std::make_shared<ReadOnlyFolder>(dir.path());
            if (!guard->ok())
                return std::function<void()>();
            return std::function<void()>([guard]() mutable { guard.reset(); });
        },
        ::geteuid() == 0 ? "Operation not permitted" : "Permission denied");
}

// Run in a child: the limit holds for the whole process.
TEST_F(JournalUnwritableTest, DISABLED_FileSizeLimitWatchingAndAStopGoOn)
{
    // Room for the data log and the event file, none for another record.
    for (int i = 0; i < 3; ++i)
        AppendJournal(dir.path(), {JournalAction::PortClose, "", "COM2", "", "выполнено"});
    const qint64 size = QFileInfo(JournalFileName(dir.path())).size();
    ASSERT_GT(size, 1000);
    WatchAndStopWhileUnwritable(
        [&] {
            auto limit = std::make_shared<FileSizeLimit>(static_cast<rlim_t>(size + 1));
            if (!limit->ok())
                return std::function<void()>();
            return std::function<void()>([limit]() mutable { limit.reset(); });
        },
        "File too large");
}

TEST(JournalUnwritableLimit, FileSizeLimitWatchingAndAStopGoOn)
{
    const ChildResult child =
        RunTestInChild("JournalUnwritableTest.DISABLED_FileSizeLimitWatchingAndAStopGoOn", "offscreen");
    EXPECT_TRUE(child.finished) << child.output.toStdString();
    EXPECT_EQ(child.exitCode, 0) << child.output.toStdString();
    EXPECT_TRUE(child.output.contains("[  PASSED  ] 1 test")) << child.output.toStdString();
}

// The event file's lines of the journal alarm wait while it cannot be
// written either, and follow in order once it can.
TEST_F(JournalUnwritableTest, AlarmLinesWaitForTheEventFile)
{
    {
        QFile file(AlarmCenter->EventFileName());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    std::optional<ReadOnlyFile> readOnly(std::in_place, AlarmCenter->EventFileName());
    if (!readOnly->ok()) {
        std::cout << "skipped: no read-only file can be made here\n";
        return;
    }
    AlarmCenter->JournalWritable(false, QStringLiteral("No space left on device"));
    AlarmCenter->JournalWritable(true);
    EXPECT_TRUE(JournalAlarmLines().isEmpty());
    EXPECT_TRUE(AlarmCenter->MarkerText().startsWith(QStringLiteral("Не подтверждено: ") + kAlarmText))
        << AlarmCenter->MarkerText().toStdString();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    readOnly.reset();
    AlarmCenter->JournalWritable(true);
    const QStringList lines = JournalAlarmLines();
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].contains(",начало,")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(",конец,")) << lines[1].toStdString();
}
