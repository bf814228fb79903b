// The alarm service and the status board fed with reads alone, as the
// recorder feeds them: no window, no bus. Times are the reads' own, so the
// link-loss window and the watchdog are crossed without waiting.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "link/Waits.h"
#include "monitoring/AlarmEventLog.h"
#include "monitoring/StatusDecode.h"
#include "services/AlarmService.h"
#include "services/StatusBoard.h"

namespace {

constexpr qint64 kStart = 1765375530000;  // some wall-clock ms

StatusReply Reply(int tempTenths, int setTenths, int step = 0)
{
    StatusReply r;
    r.decoded = true;
    r.currentTemp = {tempTenths, true};
    r.setTemp = {setTenths, true};
    r.currentHumidity = {450, true};
    r.setHumidity = {450, true};
    r.program = {step > 0 ? 1 : 0, true};
    r.stepAccepted = true;
    r.step = step;
    r.steps = step > 0 ? 3 : 0;
    return r;
}

ChamberRead Answered(const QString& line, int address, qint64 t, const StatusReply& reply = Reply(250, 250))
{
    ChamberRead read;
    read.line = line;
    read.read.address = address;
    read.read.answered = true;
    read.read.reply = reply;
    read.timeMs = t;
    return read;
}

ChamberRead Silent(const QString& line, int address, qint64 t)
{
    ChamberRead read;
    read.line = line;
    read.read.address = address;
    read.timeMs = t;
    return read;
}

QStringList FileLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    if (!lines.isEmpty())
        lines.removeFirst();  // the header
    return lines;
}

// A service of the recorder's kind: a file per line in a folder of its own,
// the lab's in the folder itself.
class AlarmServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTimeScale(1.0);
        ASSERT_TRUE(folder.isValid());
        options.eventFile = [this](const QString& line) {
            const QString dir = line.isEmpty() ? folder.path() : folder.filePath(line);
            QDir().mkpath(dir);
            return AlarmEventFileName(dir + u'/');
        };
        options.armingFollowsProgram = true;
        options.keepUnwritten = true;
        options.journal = false;
    }
    QString File(const QString& line) const
    {
        return AlarmEventFileName((line.isEmpty() ? folder.path() : folder.filePath(line)) + u'/');
    }
    static int Active(const AlarmService& service, const ChamberKey& chamber, AlarmKind kind)
    {
        const AlarmRules* rules = service.Rules(chamber);
        return rules ? rules->ActiveCount(kind) : -1;
    }

    QTemporaryDir folder;
    AlarmServiceOptions options;
};

TEST(AlarmServiceRules, LinkLossAndWatchdogFromReadTimes)
{
    SetTimeScale(1.0);
    struct Case {
        const char* name;
        qint64 lastAnswer, firstRead, now;
        bool lost;
    };
    const qint64 window = LinkLossWindowMs();
    ASSERT_EQ(window, 16000);
    const std::vector<Case> cases = {
        {"just answered", kStart, kStart, kStart + 800, false},
        {"a moment short of the window", kStart, kStart, kStart + window - 1, false},
        {"the window passed since the answer", kStart, kStart - 60000, kStart + window, true},
        {"never answered, counted from the first read", 0, kStart, kStart + window, true},
        {"never answered, not yet", 0, kStart, kStart + window - 1, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LinkLostAt(c.lastAnswer, c.firstRead, c.now), c.lost) << c.name;

    struct Watch {
        const char* name;
        qint64 lastRead;
        int silentInRow;
        qint64 now;
        bool overdue;
    };
    const std::vector<Watch> watches = {
        {"never read", 0, 0, kStart, false},
        {"three periods exactly", kStart, 0, kStart + 3 * 4000, false},
        {"past three periods", kStart, 0, kStart + 3 * 4000 + 1, true},
        {"a silent one asked less often", kStart, 3, kStart + 3 * 4000 + 1, false},
        {"a silent one past three long pauses", kStart, 3, kStart + 3 * 60000 + 1, true},
    };
    for (const Watch& w : watches)
        EXPECT_EQ(ReadsOverdue(w.lastRead, w.silentInRow, w.now), w.overdue) << w.name;
}

TEST_F(AlarmServiceTest, LinkAlarmComesFromTheReadsTimesAndEndsWithAnAnswer)
{
    AlarmService service(options);
    const ChamberKey chamber{QStringLiteral("a"), 3};
    service.SetLinePort(QStringLiteral("a"), QStringLiteral("serial /dev/ttyS0"));
    service.TakeRead(Answered(chamber.first, chamber.second, kStart));
    // Silent reads inside the window: no alarm however many.
    for (qint64 t = kStart + 800; t < kStart + 16000; t += 800)
        EXPECT_TRUE(service.TakeRead(Silent(chamber.first, chamber.second, t)).events.empty()) << t;
    EXPECT_EQ(Active(service, chamber, AlarmKind::Link), 0);
    const AlarmOutcome lost = service.TakeRead(Silent(chamber.first, chamber.second, kStart + 16000));
    ASSERT_EQ(lost.events.size(), 1u);
    EXPECT_EQ(lost.events[0].type, AlarmEventType::Start);
    EXPECT_EQ(lost.events[0].alarm.kind, AlarmKind::Link);
    EXPECT_TRUE(lost.failure.isEmpty()) << lost.failure.toStdString();
    EXPECT_EQ(Active(service, chamber, AlarmKind::Link), 1);
    const AlarmOutcome back = service.TakeRead(Answered(chamber.first, chamber.second, kStart + 20000));
    ASSERT_EQ(back.events.size(), 1u);
    EXPECT_EQ(back.events[0].type, AlarmEventType::End);
    EXPECT_EQ(Active(service, chamber, AlarmKind::Link), 0);

    const QStringList lines = FileLines(File(QStringLiteral("a")));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(QStringLiteral(",начало,1,")) && lines[0].contains(QStringLiteral(",3,serial /dev/ttyS0,")))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral(",конец,1,"))) << lines[1].toStdString();
}

TEST_F(AlarmServiceTest, SameAddressOnTwoLinesIsTwoChambersEachInItsLinesFile)
{
    AlarmService service(options);
    std::vector<ChamberKey> changed;
    QObject::connect(&service, &AlarmService::AlarmsChanged,
                     [&](const QString& line, int address) { changed.push_back({line, address}); });
    service.SetLinePort(QStringLiteral("a"), QStringLiteral("serial /dev/ttyS0"));
    service.SetLinePort(QStringLiteral("b"), QStringLiteral("modbus-tcp 127.0.0.1:502"));
    // Chamber 1 of line a falls silent; chamber 1 of line b answers throughout.
    for (qint64 t = kStart; t <= kStart + 20000; t += 4000) {
        service.TakeRead(t == kStart ? Answered(QStringLiteral("a"), 1, t) : Silent(QStringLiteral("a"), 1, t));
        service.TakeRead(Answered(QStringLiteral("b"), 1, t));
    }
    EXPECT_EQ(service.Chambers().size(), 2u);
    EXPECT_EQ(Active(service, {QStringLiteral("a"), 1}, AlarmKind::Link), 1);
    EXPECT_EQ(Active(service, {QStringLiteral("b"), 1}, AlarmKind::Link), 0);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0], (ChamberKey{QStringLiteral("a"), 1}));
    EXPECT_EQ(FileLines(File(QStringLiteral("a"))).size(), 1);
    EXPECT_TRUE(FileLines(File(QStringLiteral("b"))).isEmpty());
    EXPECT_TRUE(FileLines(File(QStringLiteral("a")))[0].contains(QStringLiteral(",1,serial /dev/ttyS0,")));

    // Line b falls silent as well: its alarm has a number of its own and
    // names its own port; the one of line a is untouched.
    for (qint64 t = kStart + 24000; t <= kStart + 40000; t += 4000)
        service.TakeRead(Silent(QStringLiteral("b"), 1, t));
    const QStringList b = FileLines(File(QStringLiteral("b")));
    ASSERT_EQ(b.size(), 1);
    EXPECT_TRUE(b[0].contains(QStringLiteral(",начало,2,"))) << b[0].toStdString();
    EXPECT_TRUE(b[0].contains(QStringLiteral(",1,modbus-tcp 127.0.0.1:502,"))) << b[0].toStdString();
    EXPECT_EQ(service.AllAlarms().size(), 2u);
    ChamberKey owner;
    ASSERT_TRUE(service.ChamberOf(2, &owner));
    EXPECT_EQ(owner, (ChamberKey{QStringLiteral("b"), 1}));
}

TEST_F(AlarmServiceTest, AnAlarmsLinesKeepThePortItStartedOn)
{
    AlarmService service(options);
    service.SetLinePort(QStringLiteral("a"), QStringLiteral("serial /dev/ttyUSB0"));
    service.TakeRead(Answered(QStringLiteral("a"), 5, kStart));
    service.TakeRead(Silent(QStringLiteral("a"), 5, kStart + 16000));
    // The line moves to another adapter before the chamber answers again.
    service.SetLinePort(QStringLiteral("a"), QStringLiteral("serial /dev/ttyUSB1"));
    service.TakeRead(Answered(QStringLiteral("a"), 5, kStart + 17000));
    service.TakeRead(Silent(QStringLiteral("a"), 5, kStart + 33000));
    const QStringList lines = FileLines(File(QStringLiteral("a")));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("/dev/ttyUSB0"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral(",конец,")) && lines[1].contains(QStringLiteral("/dev/ttyUSB0")))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].contains(QStringLiteral(",начало,")) && lines[2].contains(QStringLiteral("/dev/ttyUSB1")))
        << lines[2].toStdString();
}

TEST_F(AlarmServiceTest, DeviationArmedWhileAProgramRunsAndSettingsReachEveryChamber)
{
    AlarmSettings settings;
    settings.temperatureDelay = 60;
    AlarmService service(options);
    service.ApplySettings(settings, false);
    const ChamberKey idle{QStringLiteral("a"), 1}, running{QStringLiteral("a"), 2};
    // Both far from their set point for longer than the delay; only the one
    // running a step is watched.
    for (qint64 t = kStart; t <= kStart + 70000; t += 4000) {
        service.TakeRead(Answered(idle.first, idle.second, t, Reply(250, 800, 0)));
        service.TakeRead(Answered(running.first, running.second, t, Reply(250, 800, 1)));
    }
    EXPECT_FALSE(service.Arming(idle).armed);
    EXPECT_TRUE(service.Arming(running).armed);
    EXPECT_EQ(Active(service, idle, AlarmKind::Temperature), 0);
    EXPECT_EQ(Active(service, running, AlarmKind::Temperature), 1);
    // Switched off: the active one ends now, in its file.
    settings.temperatureOn = false;
    service.ApplySettings(settings, false);
    EXPECT_EQ(Active(service, running, AlarmKind::Temperature), 0);
    const QStringList lines = FileLines(File(QStringLiteral("a")));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].contains(QStringLiteral(",конец,"))) << lines[1].toStdString();
    EXPECT_EQ(service.Settings(), settings);
}

// A condition binds the chamber of its line only: the same address on
// another line, and the line's other chambers, keep the set point rule.
TEST_F(AlarmServiceTest, ConditionHoldsForItsOwnChamberOfItsLine)
{
    AlarmSettings settings;
    settings.temperatureDelay = 60;
    ChamberCondition held;
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("25/60"), &held.condition, nullptr));
    held.delay = 60;
    settings.conditions[{QStringLiteral("a"), 1}] = held;
    AlarmService service(options);
    service.ApplySettings(settings, false);
    const ChamberKey heldOne{QStringLiteral("a"), 1}, neighbour{QStringLiteral("a"), 2}, otherLine{QStringLiteral("b"), 1};
    // All three set to 30 °C by hand and at it, no program: only the one
    // held to 25/60 is out of what it should be.
    for (qint64 t = kStart; t <= kStart + 70000; t += 4000)
        for (const ChamberKey& chamber : {heldOne, neighbour, otherLine})
            service.TakeRead(Answered(chamber.first, chamber.second, t, Reply(300, 300, 0)));
    EXPECT_EQ(Active(service, heldOne, AlarmKind::Temperature), 1);
    EXPECT_EQ(Active(service, neighbour, AlarmKind::Temperature), 0);
    EXPECT_EQ(Active(service, otherLine, AlarmKind::Temperature), 0);
    // Its humidity (45 % by the replies here) is out of 60±5 as well.
    EXPECT_EQ(Active(service, heldOne, AlarmKind::Humidity), 1);
    const QStringList lines = FileLines(File(QStringLiteral("a")));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("Температура вне условия 25/60: 30.0 °C при 25±2 °C")))
        << lines[0].toStdString();
    EXPECT_TRUE(FileLines(File(QStringLiteral("b"))).isEmpty());

    // The condition moves to line b's chamber 1: a/1's alarms end, b/1 is
    // watched from now on and a/1 no longer.
    settings.conditions.clear();
    settings.conditions[otherLine] = held;
    service.ApplySettings(settings, false);
    EXPECT_EQ(Active(service, heldOne, AlarmKind::Temperature), 0);
    EXPECT_EQ(Active(service, heldOne, AlarmKind::Humidity), 0);
    for (qint64 t = kStart + 74000; t <= kStart + 150000; t += 4000)
        for (const ChamberKey& chamber : {heldOne, otherLine})
            service.TakeRead(Answered(chamber.first, chamber.second, t, Reply(300, 300, 0)));
    EXPECT_EQ(Active(service, heldOne, AlarmKind::Temperature), 0);
    EXPECT_EQ(Active(service, otherLine, AlarmKind::Temperature), 1);
    // A chamber first read after the settings came takes its condition too.
    const ChamberKey late{QStringLiteral("b"), 9};
    settings.conditions[late] = held;
    service.ApplySettings(settings, false);
    for (qint64 t = kStart + 154000; t <= kStart + 220000; t += 4000)
        service.TakeRead(Answered(late.first, late.second, t, Reply(300, 300, 0)));
    EXPECT_EQ(Active(service, late, AlarmKind::Temperature), 1);
}

TEST(AlarmServiceRules, ConditionChangesInTheJournalsWords)
{
    ChamberCondition a, b;
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("25/60"), &a.condition, nullptr));
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("25±1.5/60±3"), &b.condition, nullptr));
    a.delay = 900;
    b.delay = 90;
    AlarmSettings before, after;
    before.conditions[{QString(), 1}] = a;   // removed
    before.conditions[{QString(), 2}] = a;   // changed
    before.conditions[{QString(), 3}] = a;   // kept
    after.conditions[{QString(), 2}] = b;
    after.conditions[{QString(), 3}] = a;
    after.conditions[{QStringLiteral("a"), 4}] = b;  // added
    after.temperatureBand = 3;  // the bands are not the conditions' business
    const std::vector<ConditionChange> changes = ConditionChanges(before, after);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(JournalChamber(changes[0].chamber), QStringLiteral("1"));
    EXPECT_EQ(changes[0].oldValue, QStringLiteral("25/60, задержка 15 мин"));
    EXPECT_EQ(changes[0].newValue, QStringLiteral("без условия"));
    EXPECT_EQ(JournalChamber(changes[1].chamber), QStringLiteral("2"));
    EXPECT_EQ(changes[1].newValue, QStringLiteral("25±1.5/60±3, задержка 90 с"));
    EXPECT_EQ(JournalChamber(changes[2].chamber), QStringLiteral("a/4"));
    EXPECT_EQ(changes[2].oldValue, QStringLiteral("без условия"));
    EXPECT_TRUE(ConditionChanges(after, after).empty());
}

TEST_F(AlarmServiceTest, WatchdogRaisesNotReadAndReadsEndIt)
{
    AlarmService service(options);
    service.TakeRead(Answered(QStringLiteral("a"), 1, kStart));
    service.TakeRead(Answered(QStringLiteral("a"), 2, kStart + 10000));
    service.CheckReads(kStart + 12001);  // chamber 1: three periods without a read
    const AlarmRules* one = service.Rules({QStringLiteral("a"), 1});
    const AlarmRules* two = service.Rules({QStringLiteral("a"), 2});
    ASSERT_TRUE(one && two);
    ASSERT_EQ(one->ActiveCount(AlarmKind::Link), 1);
    EXPECT_EQ(one->Alarms().back().text, QStringLiteral("нет опроса"));
    EXPECT_EQ(two->ActiveCount(AlarmKind::Link), 0);
    service.TakeRead(Answered(QStringLiteral("a"), 1, kStart + 13000));
    service.CheckReads(kStart + 13001);
    EXPECT_EQ(one->ActiveCount(AlarmKind::Link), 0);
}

TEST_F(AlarmServiceTest, LinesThatCannotBeWrittenWaitAndGoInOrder)
{
    AlarmService service(options);
    QDir().mkpath(folder.filePath(QStringLiteral("a")));
    // The event file's place taken by a folder: nothing can be appended.
    const QString file = File(QStringLiteral("a"));
    ASSERT_TRUE(QDir().mkpath(file));
    service.TakeRead(Answered(QStringLiteral("a"), 1, kStart));
    const AlarmOutcome lost = service.TakeRead(Silent(QStringLiteral("a"), 1, kStart + 16000));
    EXPECT_EQ(lost.failedFile, file);
    EXPECT_FALSE(lost.failure.isEmpty());
    service.TakeRead(Answered(QStringLiteral("a"), 1, kStart + 17000));
    EXPECT_EQ(service.PendingEvents(), 2);
    QString failedFile, failure;
    EXPECT_FALSE(service.FlushEvents(&failedFile, &failure));
    EXPECT_EQ(failedFile, file);
    ASSERT_TRUE(QDir().rmdir(file));
    EXPECT_TRUE(service.FlushEvents());
    EXPECT_EQ(service.PendingEvents(), 0);
    const QStringList lines = FileLines(file);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(QStringLiteral(",начало,")));
    EXPECT_TRUE(lines[1].contains(QStringLiteral(",конец,")));
}

TEST_F(AlarmServiceTest, LabAlarmsShareTheNumbersAndGoToTheLabsFile)
{
    AlarmService service(options);
    service.TakeRead(Answered(QStringLiteral("a"), 1, kStart));
    service.TakeRead(Silent(QStringLiteral("a"), 1, kStart + 16000));  // number 1
    EXPECT_TRUE(service.SetLabAlarm(AlarmKind::Recording, QStringLiteral("запись невозможна"), true));
    EXPECT_FALSE(service.SetLabAlarm(AlarmKind::Recording, QStringLiteral("запись невозможна"), true));
    EXPECT_EQ(service.LabAlarmText(), QStringLiteral("запись невозможна"));
    EXPECT_TRUE(service.SetLabAlarm(AlarmKind::Recording, QStringLiteral("запись невозможна"), false));
    EXPECT_EQ(service.LabAlarmText(), QStringLiteral("Не подтверждено: запись невозможна"));
    const QStringList lab = FileLines(File(QString()));
    ASSERT_EQ(lab.size(), 2);
    EXPECT_TRUE(lab[0].contains(QStringLiteral(",начало,2,"))) << lab[0].toStdString();
    EXPECT_TRUE(lab[1].contains(QStringLiteral(",конец,2,"))) << lab[1].toStdString();
    service.Acknowledge(2);
    EXPECT_TRUE(service.LabAlarmText().isEmpty());
    EXPECT_EQ(FileLines(File(QString())).size(), 3);
}

TEST(StatusBoardTest, OneStatusPerChamberFromReadsLinesAndCounts)
{
    StatusBoard board;
    board.SetLine(QStringLiteral("a"), QStringLiteral("serial /dev/ttyS0"), true);
    board.TakeRead(Answered(QStringLiteral("a"), 1, kStart), QStringLiteral("serial /dev/ttyS0"));
    board.TakeRead(Silent(QStringLiteral("a"), 1, kStart + 4000), QStringLiteral("serial /dev/ttyS0"));
    board.TakeRead(Answered(QStringLiteral("b"), 1, kStart + 100, Reply(301, 300)), QStringLiteral("tcp"));
    board.SetAlarmCounts({QStringLiteral("a"), 1}, {0, 0, 1, 0});
    ASSERT_EQ(board.Chambers().size(), 2);
    const WatchedStatus* a = board.Find({QStringLiteral("a"), 1});
    const WatchedStatus* b = board.Find({QStringLiteral("b"), 1});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->line, QStringLiteral("a"));
    EXPECT_EQ(a->pollsAnswered, 1u);
    EXPECT_EQ(a->pollsUnanswered, 1u);
    EXPECT_EQ(a->lastReadWallMs, kStart + 4000);
    EXPECT_EQ(a->link, LinkState::Down);
    EXPECT_EQ(a->alarmsLink, 1);
    EXPECT_TRUE(a->reading);
    EXPECT_DOUBLE_EQ(b->currentTemp.value_or(0), 30.1);
    EXPECT_EQ(b->alarmsLink, 0);
    // A line removed: its chambers stay on the board, no longer read.
    board.SetLine(QStringLiteral("a"), QString(), false);
    EXPECT_FALSE(board.Find({QStringLiteral("a"), 1})->reading);
    EXPECT_TRUE(board.Find({QStringLiteral("a"), 1})->port.isEmpty());
    EXPECT_TRUE(board.Find({QStringLiteral("b"), 1})->reading);
    // Watched anew: counters start afresh.
    board.Watch({QStringLiteral("b"), 1});
    EXPECT_EQ(board.Find({QStringLiteral("b"), 1})->pollsAnswered, 0u);
}

TEST(StatusBoardTest, PolledChamberStartsAfreshWhenAnotherIsPicked)
{
    StatusBoard board;
    board.TakePolledRead(Answered(QString(), 4, kStart), QStringLiteral("COM1"));
    board.TakePolledRead(Answered(QString(), 4, kStart + 4000), QStringLiteral("COM1"));
    board.SetPolledAlarms({1, 0, 0, 1});
    EXPECT_EQ(board.Polled().pollsAnswered, 2u);
    EXPECT_EQ(board.Polled().alarmsTemperature, 1);
    EXPECT_TRUE(board.Polled().reading);
    board.StopPolled();
    EXPECT_FALSE(board.Polled().reading);
    board.Poll(4);  // the same chamber keeps its counters
    EXPECT_EQ(board.Polled().pollsAnswered, 2u);
    board.TakePolledRead(Silent(QString(), 7, kStart + 8000), QStringLiteral("COM1"));
    EXPECT_EQ(board.Polled().chamberAddress, 7);
    EXPECT_EQ(board.Polled().pollsAnswered, 0u);
    EXPECT_EQ(board.Polled().pollsUnanswered, 1u);
    EXPECT_EQ(board.Polled().alarmsTemperature, 0);
    EXPECT_EQ(board.Polled().port, QStringLiteral("COM1"));
    // The overview's chambers are apart from the polled one.
    EXPECT_TRUE(board.Chambers().isEmpty());
}

}  // namespace
