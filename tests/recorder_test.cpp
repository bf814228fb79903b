// The recorder without a window: its configuration, its chamber logs, its
// lines of three kinds, a reload, a folder held by another recorder, and the
// program itself under signals and kill -9.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <future>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <thread>

#include "control/Commands.h"
#include "link/ChamberContract.h"
#include "link/Waits.h"
#include "monitoring/ChamberLog.h"
#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/LogReader.h"
#include "monitoring/Presentation.h"
#include "monitoring/TestReport.h"
#include "services/Recorder.h"
#include "services/RecorderConfig.h"
#include "sim/BusSimulator.h"
#include "sim/TcpGateway.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/AlarmEventLog.h"
#include "support/FileSizeLimit.h"
#include "support/ControlClient.h"
#include "support/Sanitizers.h"

namespace {

using namespace std::chrono_literals;

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
    return path;
}

bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

QStringList LogFiles(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(RecorderConfigTest, BadFilesAreRefusedWholeNamingWhere)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        QByteArray text;
        const char* where;  // what the message must name
    } cases[] = {
        {"unknown key", "[line.a]\ndevice=/dev/ttyS0\nchambers=1\nspeed=9600\n", "[line.a] speed"},
        {"unknown recorder key", "[recorder]\nfolders=/tmp\n[line.a]\ndevice=/dev/ttyS0\nchambers=1\n", "[recorder] folders"},
        {"no transport", "[line.a]\nchambers=1\n", "[line.a]"},
        {"two transports", "[line.a]\ndevice=/dev/ttyS0\nmodbus-tcp=10.0.0.6:502\nchambers=1\n", "[line.a]"},
        {"address beyond 250", "[line.a]\ndevice=/dev/ttyS0\nchambers=1-12,300\n", "[line.a] chambers"},
        {"range downwards", "[line.a]\ndevice=/dev/ttyS0\nchambers=12-1\n", "[line.a] chambers"},
        {"no chambers", "[line.a]\ndevice=/dev/ttyS0\n", "[line.a] chambers"},
        {"device on two lines", "[line.a]\ndevice=/dev/ttyS0\nchambers=1\n[line.b]\ndevice=/dev/ttyS0\nchambers=2\n",
         "[line.b] device"},
        {"TCP address on two lines",
         "[line.a]\nrtu-over-tcp=10.0.0.5:4001\nchambers=1\n[line.b]\nmodbus-tcp=10.0.0.5:4001\nchambers=2\n",
         "[line.b] modbus-tcp"},
        {"TCP address that does not parse", "[line.a]\nmodbus-tcp=10.0.0.6\nchambers=1\n", "[line.a] modbus-tcp"},
        {"port out of range", "[line.a]\nrtu-over-tcp=10.0.0.6:70000\nchambers=1\n", "[line.a] rtu-over-tcp"},
        {"listen that does not parse", "[recorder]\nlisten=9464\n[line.a]\ndevice=/dev/ttyS0\nchambers=1\n",
         "[recorder] listen"},
        {"unknown section", "[lines.a]\ndevice=/dev/ttyS0\nchambers=1\n", "[lines.a]"},
        {"line name not for a folder", "[line.a b]\ndevice=/dev/ttyS0\nchambers=1\n", "[line.a b]"},
        {"no line at all", "[recorder]\nfolder=/tmp\n", ""},
        {"socket that is no full path", "[recorder]\nsocket=control.sock\n[line.a]\ndevice=/dev/ttyS0\nchambers=1\n",
         "[recorder] socket"},
        {"operators that is no group name", "[recorder]\noperators=Lab Staff Team\n[line.a]\ndevice=/dev/ttyS0\nchambers=1\n",
         "[recorder] operators"},
        {"alarm band that does not read", "[alarms]\ntemperatureBand=2 градуса\n[line.a]\ndevice=/dev/ttyS0\nchambers=1\n",
         "[alarms] temperatureBand"},
        {"unknown alarm key", "[alarms]\nbands=2\n[line.a]\ndevice=/dev/ttyS0\nchambers=1\n", "[alarms] bands"},
        {"not INI", "[line.a\ndevice\n", ""},
    };
    // QSettings keeps a file it has read: two texts of one length written
    // within a second would read as the first, so no two cases are as long.
    for (const Case& c : cases) {
        const QString path = WriteFile(dir, QStringLiteral("bad.conf"), c.text);
        RecorderConfig config;
        QString error;
        EXPECT_FALSE(ReadRecorderConfig(path, &config, &error)) << c.name;
        EXPECT_TRUE(error.startsWith(path + QStringLiteral(": "))) << c.name << ": " << error.toStdString();
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.where))) << c.name << ": " << error.toStdString();
    }
    RecorderConfig config;
    QString error;
    EXPECT_FALSE(ReadRecorderConfig(dir.filePath(QStringLiteral("missing.conf")), &config, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("missing.conf")));
}

TEST(RecorderConfigTest, TheSampleOfThreeKindsReads)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("r.conf"),
                                   "[recorder]\n"
                                   "folder=/var/lib/calvetra        ; data logs, alarm events, action journal\n"
                                   "listen=127.0.0.1:9464           ; /metrics and /api/status for every line\n"
                                   "[line.a]\n"
                                   "device=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0\n"
                                   "chambers=1-12,30\n"
                                   "[line.b]\n"
                                   "rtu-over-tcp=10.0.0.5:4001      ; a serial device server in raw TCP mode\n"
                                   "chambers=1-8\n"
                                   "[line.c]\n"
                                   "modbus-tcp=10.0.0.6:502         ; a Modbus TCP gateway\n"
                                   "chambers=scan\n");
    RecorderConfig config;
    QString error;
    ASSERT_TRUE(ReadRecorderConfig(path, &config, &error)) << error.toStdString();
    EXPECT_EQ(config.folder, QStringLiteral("/var/lib/calvetra"));
    EXPECT_EQ(config.listenPort, 9464);
    ASSERT_EQ(config.lines.size(), 3);
    EXPECT_EQ(config.lines[0].chambers.size(), 13);
    EXPECT_EQ(config.lines[0].chambers.last(), 30);
    EXPECT_EQ(config.lines[1].address.kind, TransportKind::RtuOverTcp);
    EXPECT_EQ(config.lines[1].address.port, 4001);
    EXPECT_EQ(config.lines[2].address.kind, TransportKind::ModbusTcp);
    EXPECT_TRUE(config.lines[2].scan);
}

// Conditions of the recorder's chambers name their line; a key the file
// cannot use is refused whole, naming the key and why.
TEST(RecorderConfigTest, ConditionsByLineAndChamber)
{
    QTemporaryDir dir;
    const QByteArray lines = "[line.a]\ndevice=/dev/ttyS0\nchambers=1-4\n[line.b]\ndevice=/dev/ttyS1\nchambers=scan\n";
    struct Case {
        const char* name;
        QByteArray alarms;
        const char* where;  // empty: the file reads
        const char* why;
    } cases[] = {
        {"presets, custom and delays",
         "condition.a.3=25/60\nconditionDelay.a.3=600\ncondition.b.17=25+-0.5/60+-2 ; a scanned line: any address\n"
         "condition.a.1=5 °C\ntemperatureBand=3\n",
         "", ""},
        {"a condition that does not read", "condition.a.3=25/61\n", "[alarms] condition.a.3", "25/61"},
        {"a delay that does not read", "condition.a.3=25/60\nconditionDelay.a.3=15m\n", "[alarms] conditionDelay.a.3",
         "секунд"},
        {"a delay without its condition", "conditionDelay.a.2=600\n", "[alarms] conditionDelay.a.2",
         "нет условия condition.a.2"},
        {"an unknown line", "condition.c.3=25/60\n", "[alarms] condition.c.3", "нет линии «c»"},
        {"no line", "condition.3=25/60\n", "[alarms] condition.3", "нужна линия"},
        {"a chamber the line does not read", "condition.a.9=25/60\n", "[alarms] condition.a.9", "chambers"},
        {"an address beyond 250", "condition.b.251=25/60\n", "[alarms] condition.b.251", "неизвестный ключ"},
    };
    int n = 0;
    for (const Case& c : cases) {
        // A file of its own each: QSettings keeps what it read of a path.
        const QString path = WriteFile(dir, QStringLiteral("c%1.conf").arg(n++), "[alarms]\n" + c.alarms + lines);
        RecorderConfig config;
        QString error;
        const bool read = ReadRecorderConfig(path, &config, &error);
        if (!*c.where) {
            ASSERT_TRUE(read) << c.name << ": " << error.toStdString();
            EXPECT_EQ(config.alarms.conditions.size(), 3u);
            const ChamberCondition* a3 = config.alarms.ConditionOf({QStringLiteral("a"), 3});
            ASSERT_NE(a3, nullptr);
            EXPECT_EQ(StabilityConditionText(a3->condition), QStringLiteral("25/60"));
            EXPECT_EQ(a3->delay, 600);
            const ChamberCondition* a1 = config.alarms.ConditionOf({QStringLiteral("a"), 1});
            ASSERT_NE(a1, nullptr);
            EXPECT_FALSE(a1->condition.hasHumidity);
            EXPECT_EQ(a1->delay, kDefaultConditionDelay);
            const ChamberCondition* b17 = config.alarms.ConditionOf({QStringLiteral("b"), 17});
            ASSERT_NE(b17, nullptr);
            EXPECT_EQ(StabilityConditionText(b17->condition), QStringLiteral("25±0.5/60±2"));
            EXPECT_EQ(config.alarms.ConditionOf({QStringLiteral("b"), 3}), nullptr);
            EXPECT_DOUBLE_EQ(config.alarms.temperatureBand, 3);
            continue;
        }
        EXPECT_FALSE(read) << c.name;
        EXPECT_TRUE(error.startsWith(path + QStringLiteral(": "))) << c.name << ": " << error.toStdString();
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.where))) << c.name << ": " << error.toStdString();
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.why))) << c.name << ": " << error.toStdString();
    }
}

TEST(ChamberLogTest, WrittenAsTheMainWindowWritesAndKeptWhileTheDiskRefuses)
{
    QTemporaryDir dir;
    ForgetClaimedLogNamesForTests();
    ChamberLog log(dir.path() + u'/', 7);
    const std::tm now = LocalNow();
    QString error;
    // No answer yet: no file.
    EXPECT_TRUE(log.Minute(now, &error));
    EXPECT_TRUE(log.FileName().isEmpty());
    const QString first = RecordLine(QStringLiteral("10:00:01"), QStringLiteral("25,3"), QStringLiteral("45"),
                                     QStringLiteral("1"), QStringLiteral("2(3)"), QStringLiteral("1(1)"));
    log.Take(first);
    ASSERT_TRUE(log.Minute(now, &error)) << error.toStdString();
    ASSERT_FALSE(log.FileName().isEmpty());
    EXPECT_TRUE(QFileInfo(log.FileName()).fileName().startsWith(QStringLiteral("КТХ№7 ")));
    QByteArray expected = ToLogCodePage(LogHeaderText() + QStringLiteral("\r\n")) + ToLogCodePage(first + QStringLiteral("\r\n"));
    EXPECT_EQ(ReadAll(log.FileName()), expected);
    // A minute without an answer adds nothing.
    ASSERT_TRUE(log.Minute(now, &error));
    EXPECT_EQ(ReadAll(log.FileName()), expected);

    // The disk full: three minutes kept, none torn into the file.
    QStringList kept;
    {
        FileSizeLimit full(static_cast<rlim_t>(expected.size() + 10));
        ASSERT_TRUE(full.ok());
        for (int minute = 0; minute < 3; ++minute) {
            kept.append(RecordLine(QStringLiteral("10:0%1:01").arg(minute + 1), QStringLiteral("25,%1").arg(minute),
                                   QStringLiteral("45"), QStringLiteral("1"), QStringLiteral("2(3)"),
                                   QStringLiteral("1(1)")));
            log.Take(kept.last());
            EXPECT_FALSE(log.Minute(now, &error));
            EXPECT_FALSE(error.isEmpty());
        }
        EXPECT_EQ(log.Pending(), 3);
        EXPECT_EQ(ReadAll(log.FileName()), expected);
    }
    ASSERT_TRUE(log.Minute(now, &error)) << error.toStdString();
    for (const QString& line : kept)
        expected += ToLogCodePage(line + QStringLiteral("\r\n"));
    EXPECT_EQ(ReadAll(log.FileName()), expected);
    EXPECT_EQ(log.Pending(), 0);
}

class RecorderLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetTimeScale(SanitizedTimeScale(0.05));
        ForgetClaimedLogNamesForTests();
        std::string error;
        for (sim::BusSimulator* bus : {&serial, &behindGateway}) {
            ASSERT_TRUE(bus->AddChamber(1));
            ASSERT_TRUE(bus->AddChamber(2));
            ASSERT_TRUE(bus->Start(&error)) << error;
        }
        sim::TcpGateway::Options options;
        options.mode = sim::TcpGateway::Mode::ModbusTcp;
        options.linePath = behindGateway.SlavePath();
        ASSERT_TRUE(gateway.Start(options, &error)) << error;
        config.folder = folder.path();
        config.listen = false;
        config.socket.clear();
        config.lines = {Line("a", {TransportKind::Serial, serial.SlavePath(), "", 0}),
                        Line("b", {TransportKind::ModbusTcp, "", "127.0.0.1", gateway.Port()})};
    }
    void TearDown() override
    {
        SetTimeScale(1.0);
        SetJournalIdentityForTests(QString(), QString());
    }
    static RecorderLine Line(const char* name, const TransportAddress& address)
    {
        RecorderLine line;
        line.name = QString::fromLatin1(name);
        line.address = address;
        line.chambers = {1, 2};
        line.timeoutMs = 100;
        return line;
    }
    // The newest event but the journal's head lines, which follow each record.
    QString LastEvent() const
    {
        for (auto it = events.crbegin(); it != events.crend(); ++it)
            if (!it->startsWith(QStringLiteral("журнал действий: запись №")))
                return *it;
        return QString();
    }
    int Answered(Recorder& recorder, const char* line, int address)
    {
        const Recorder::Chamber* chamber = recorder.FindChamber(QString::fromLatin1(line), address);
        return chamber ? chamber->answered : 0;
    }

    sim::BusSimulator serial;
    sim::BusSimulator behindGateway;
    sim::TcpGateway gateway;
    QTemporaryDir folder;
    RecorderConfig config;
    QStringList events;
};

TEST_F(RecorderLines, ChamberOneOfTwoLinesIsTwoChambersWithALogEach)
{
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= 2 && Answered(recorder, "b", 1) >= 2; }, 20s));
    recorder.WriteMinute();
    for (const char* line : {"a", "b"}) {
        const QStringList files = LogFiles(folder.filePath(QString::fromLatin1(line)));
        EXPECT_EQ(files.size(), 2) << line;
        for (const QString& name : files) {
            const QByteArray bytes = ReadAll(folder.filePath(QString::fromLatin1(line)) + u'/' + name);
            EXPECT_TRUE(bytes.startsWith(ToLogCodePage(LogHeaderText()))) << name.toStdString();
            EXPECT_EQ(bytes.count("\r\n\r\n"), 2) << name.toStdString();  // header and one record
        }
    }
    EXPECT_FALSE(recorder.Unwritable());
    recorder.Stop();
    EXPECT_TRUE(events.last().startsWith(QStringLiteral("регистратор остановлен")));
}

TEST_F(RecorderLines, ReloadTouchesOnlyWhatChanged)
{
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= 1 && Answered(recorder, "b", 1) >= 1; }, 20s));
    const int opensOfA = recorder.LineStateOf(QStringLiteral("a")).opens;

    RecorderConfig changed = config;
    changed.lines[1].chambers = {2};  // line b: one chamber less
    recorder.Reload(changed);
    EXPECT_EQ(recorder.Lines(), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    const int beforeA = Answered(recorder, "a", 1);
    const int beforeB1 = Answered(recorder, "b", 1);
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= beforeA + 3; }, 20s));
    EXPECT_EQ(recorder.LineStateOf(QStringLiteral("a")).opens, opensOfA);  // never closed
    EXPECT_EQ(gateway.Accepted(), 2);                                     // b made anew
    EXPECT_LE(Answered(recorder, "b", 1), beforeB1 + 1);                   // at most a read in flight

    changed.lines.removeFirst();
    recorder.Reload(changed);
    EXPECT_EQ(recorder.Lines(), QStringList{QStringLiteral("b")});
    EXPECT_TRUE(LastEvent().contains(QStringLiteral("убрано 1")));
    recorder.Stop();
}

// A GET on the endpoint, the answer whole.
QByteArray Fetch(quint16 port, const QByteArray& path);

// A changed [alarms] section is taken on a reload: the bands and delays of
// every chamber, the alarm of a kind switched off ended at once; an
// unchanged one leaves the alarms alone.
TEST_F(RecorderLines, ReloadAppliesAChangedAlarmsSection)
{
    sim::Faults quiet;
    quiet.silent = true;
    serial.SetFaults(2, quiet);
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    const QString alarms = AlarmEventFileName(folder.filePath(QStringLiteral("a")) + u'/');
    const QByteArray link = AlarmKindText(AlarmKind::Link).toUtf8();
    ASSERT_TRUE(PumpUntil([&] { return ReadAll(alarms).contains(link); }, 20s));
    EXPECT_EQ(ReadAll(alarms).count("конец"), 0);

    // The same configuration read again: nothing of the alarms changes.
    recorder.Reload(config);
    EXPECT_FALSE(LastEvent().contains(QStringLiteral("тревоги"))) << LastEvent().toStdString();
    EXPECT_EQ(ReadAll(alarms).count("конец"), 0);

    RecorderConfig changed = config;
    changed.alarms.linkOn = false;
    changed.alarms.temperatureBand = 3.5;
    recorder.Reload(changed);
    EXPECT_EQ(recorder.AlarmSettingsInForce(), changed.alarms);
    EXPECT_TRUE(LastEvent().contains(QStringLiteral("тревоги: ") + AlarmSettingsText(changed.alarms)))
        << LastEvent().toStdString();
    // The silent chamber's link alarm ends with the reload, and no new one
    // comes while the kind is off.
    EXPECT_EQ(QString::fromUtf8(ReadAll(alarms)).count(QStringLiteral("конец")), 1);
    const AlarmRules* rules = recorder.Alarms().Rules({QStringLiteral("a"), 2});
    ASSERT_NE(rules, nullptr);
    EXPECT_EQ(rules->ActiveCount(AlarmKind::Link), 0);
    EXPECT_DOUBLE_EQ(rules->Settings().temperatureBand, 3.5);
    const int reads = recorder.FindChamber(QStringLiteral("a"), 2)->reads;
    // A silent chamber is asked less often by now: one more read is enough,
    // and may be a while coming under a sanitizer.
    ASSERT_TRUE(PumpUntil([&] { return recorder.FindChamber(QStringLiteral("a"), 2)->reads >= reads + 1; }, 60s));
    EXPECT_EQ(rules->ActiveCount(AlarmKind::Link), 0);

    // Switched on again: the silence is an alarm anew.
    recorder.Reload(config);
    ASSERT_TRUE(PumpUntil([&] { return ReadAll(alarms).count(link) >= 3; }, 60s)) << ReadAll(alarms).toStdString();
    EXPECT_EQ(recorder.Alarms().Rules({QStringLiteral("a"), 2})->ActiveCount(AlarmKind::Link), 1);
    recorder.Stop();

    // Each change of the bands and delays is in the journal, with what was and what is.
    QStringList settings;
    CheckJournal(JournalFileName(folder.path()), [&](const JournalRecord& r) {
        if (r.action == JournalActionText(JournalAction::AlarmSettings))
            settings.append(r.newValue);
    });
    EXPECT_EQ(settings, (QStringList{AlarmSettingsText(changed.alarms), AlarmSettingsText(config.alarms)}));
}

// A chamber held to 25/60 by the configuration, set to 30 °C by hand at its
// panel and at it, running no program: the recorder alarms against the
// condition, its neighbour in the same state does not; a reload moves the
// condition, each change journalled under its chamber.
TEST_F(RecorderLines, ConditionOfTheConfigurationAlarmsAChamberSetByHand)
{
    const QString path = WriteFile(folder, QStringLiteral("r.conf"),
                                   QStringLiteral("[recorder]\nfolder=%1\nlisten=\nsocket=\n"
                                                  "[alarms]\ncondition.a.1=25/60\nconditionDelay.a.1=20\n"
                                                  "[line.a]\ndevice=%2\nchambers=1-2\ntimeout=100\n")
                                       .arg(folder.path(), QString::fromStdString(serial.SlavePath()))
                                       .toUtf8());
    RecorderConfig fromFile;
    QString error;
    ASSERT_TRUE(ReadRecorderConfig(path, &fromFile, &error)) << error.toStdString();
    serial.SetSpeed(0);
    for (int address : {1, 2})
        serial.WithChamber(address, [](sim::ChamberModel& m) {
            ASSERT_EQ(m.WriteRegisters(0x0D, {30, 60, 1}), 0);  // 30 °C, 60 %, by hand
            ASSERT_EQ(m.WriteRegisters(0x10, {1}), 0);
            m.SetTemperature(30);
            m.SetHumidity(60);
        });
    Recorder recorder([this](const QString& e) { events.append(e); });
    ASSERT_TRUE(recorder.Start(fromFile, &error)) << error.toStdString();
    EXPECT_TRUE(events.contains(QStringLiteral("условие хранения: камера a/1: 25/60, задержка 20 с")))
        << events.join(u'\n').toStdString();
    const ChamberKey held{QStringLiteral("a"), 1}, neighbour{QStringLiteral("a"), 2};
    auto active = [&](const ChamberKey& chamber, AlarmKind kind) {
        const AlarmRules* rules = recorder.Alarms().Rules(chamber);
        return rules ? rules->ActiveCount(kind) : 0;
    };
    ASSERT_TRUE(PumpUntil([&] { return active(held, AlarmKind::Temperature) > 0; }, 30s));
    const Alarm alarm = recorder.Alarms().Rules(held)->Alarms().back();
    EXPECT_EQ(alarm.text, QStringLiteral("Температура вне условия 25/60: 30.0 °C при 25±2 °C"));
    EXPECT_DOUBLE_EQ(alarm.setPoint, 25);
    EXPECT_TRUE(events.contains(QStringLiteral("тревога: линия a, камера №1: ") + alarm.text))
        << events.join(u'\n').toStdString();
    const QString alarms = AlarmEventFileName(folder.filePath(QStringLiteral("a")) + u'/');
    EXPECT_TRUE(QString::fromUtf8(ReadAll(alarms)).contains(QStringLiteral("вне условия 25/60")));
    // The neighbour, as far from 25/60 and read as often, has nothing: it
    // follows its own set point and runs no program.
    const int neighbourReads = Answered(recorder, "a", 2);
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 2) >= neighbourReads + 3; }, 30s));
    EXPECT_EQ(active(neighbour, AlarmKind::Temperature), 0);
    EXPECT_EQ(active(held, AlarmKind::Humidity), 0);

    // Read anew: the condition moves to chamber 2 as 40/75, which it is out of.
    RecorderConfig moved = fromFile;
    moved.alarms.conditions.clear();
    ChamberCondition forty;
    ASSERT_TRUE(ParseStabilityCondition(QStringLiteral("40/75"), &forty.condition, nullptr));
    forty.delay = 20;
    moved.alarms.conditions[neighbour] = forty;
    recorder.Reload(moved);
    EXPECT_EQ(active(held, AlarmKind::Temperature), 0);
    EXPECT_TRUE(LastEvent().contains(QStringLiteral("условие камеры a/1: без условия"))) << LastEvent().toStdString();
    EXPECT_TRUE(LastEvent().contains(QStringLiteral("условие камеры a/2: 40/75, задержка 20 с")))
        << LastEvent().toStdString();
    EXPECT_FALSE(LastEvent().contains(QStringLiteral("тревоги: "))) << LastEvent().toStdString();
    ASSERT_TRUE(PumpUntil([&] { return active(neighbour, AlarmKind::Temperature) > 0; }, 30s));
    QStringList texts;
    for (const Alarm& a : recorder.Alarms().Rules(neighbour)->Alarms())
        texts << a.text;
    // Its 60 % is out of 75±5 as well.
    EXPECT_TRUE(texts.contains(QStringLiteral("Температура вне условия 40/75: 30.0 °C при 40±2 °C")))
        << texts.join(u'\n').toStdString();
    ASSERT_TRUE(PumpUntil([&] { return active(neighbour, AlarmKind::Humidity) > 0; }, 30s));
    // Chamber 1 follows its own set point again, disarmed: nothing more of it.
    EXPECT_EQ(active(held, AlarmKind::Temperature), 0);
    EXPECT_EQ(recorder.Alarms().Rules(held)->Alarms().size(), 1u);
    recorder.Stop();

    std::vector<JournalRecord> changes;
    CheckJournal(JournalFileName(folder.path()), [&](const JournalRecord& r) {
        if (r.action == JournalActionText(JournalAction::AlarmSettings))
            changes.push_back(r);
    });
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].chamber, QStringLiteral("a/1"));
    EXPECT_EQ(changes[0].oldValue, QStringLiteral("25/60, задержка 20 с"));
    EXPECT_EQ(changes[0].newValue, QStringLiteral("без условия"));
    EXPECT_EQ(changes[1].chamber, QStringLiteral("a/2"));
    EXPECT_EQ(changes[1].oldValue, QStringLiteral("без условия"));
    EXPECT_EQ(changes[1].newValue, QStringLiteral("40/75, задержка 20 с"));
}

// The control socket answers the desktops of this machine: who asked, as
// the kernel says, the lines with their chambers, and each chamber's texts
// as the recorder keeps them; an operation without the right group is
// refused and said.
TEST_F(RecorderLines, ControlSocketAnswersWithTheKernelsCallerAndTheLinesReads)
{
    // The recorder's own records under a name of their own: the refusal's
    // must carry the caller's.
    SetJournalIdentityForTests(QStringLiteral("calvetra-service"), QString());
    config.socket = folder.filePath(QStringLiteral("control.sock"));
    config.access.readGroup = OwnPrimaryGroup();
    config.access.writeGroup = QStringLiteral("calvetra-no-such-group-for-tests");
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_EQ(recorder.ControlPath(), config.socket);
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= 2 && Answered(recorder, "b", 2) >= 2; }, 20s));
    auto request = [](const char* op, int id, const QJsonObject& fields = QJsonObject()) {
        return EncodeControlMessage(ControlRequest(op, id, fields));
    };
    QJsonObject hello, lines, status, unknownLine, write;
    WhileServing([&] {
        RawClient client(config.socket);
        ASSERT_TRUE(client.Connected());
        client.Send(request("hello", 1));
        hello = client.Receive();
        client.Send(request("lines", 2));
        lines = client.Receive();
        client.Send(request("status", 3, {{QStringLiteral("line"), QStringLiteral("a")}}));
        status = client.Receive();
        client.Send(request("status", 4, {{QStringLiteral("line"), QStringLiteral("z")}}));
        unknownLine = client.Receive();
        client.Send(request("run", 5, {{QStringLiteral("line"), QStringLiteral("a")},
                                       {QStringLiteral("address"), 1},
                                       {QStringLiteral("run"), QStringLiteral("start")}}));
        write = client.Receive();
    });
    const passwd* me = ::getpwuid(::getuid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(hello.value(QStringLiteral("login")).toString(), QString::fromLocal8Bit(me->pw_name));
    EXPECT_FALSE(hello.value(QStringLiteral("mayWrite")).toBool());
    const QJsonArray lineList = lines.value(QStringLiteral("lines")).toArray();
    ASSERT_EQ(lineList.size(), 2);
    EXPECT_EQ(lineList[0].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("a"));
    EXPECT_EQ(lineList[1].toObject().value(QStringLiteral("transport")).toString(),
              QString::fromStdString(TransportText(config.lines[1].address)));
    EXPECT_EQ(lineList[0].toObject().value(QStringLiteral("chambers")).toArray(), (QJsonArray{1, 2}));
    EXPECT_EQ(lineList[0].toObject().value(QStringLiteral("phase")).toString(), LinePhaseText(LinePhase::Reading));
    // The texts are the recorder's own, as the main window writes them.
    const Recorder::Chamber* one = recorder.FindChamber(QStringLiteral("a"), 1);
    ASSERT_NE(one, nullptr);
    bool seen = false;
    for (const QJsonValue& c : status.value(QStringLiteral("chambers")).toArray()) {
        const QJsonObject chamber = c.toObject();
        if (chamber.value(QStringLiteral("address")).toInt() != 1)
            continue;
        seen = true;
        EXPECT_FALSE(chamber.value(QStringLiteral("currentTemp")).toString().isEmpty());
        EXPECT_EQ(chamber.value(QStringLiteral("setTemp")).toString(), one->view.setTempText);
        EXPECT_EQ(chamber.value(QStringLiteral("program")).toString(), one->view.programText);
        EXPECT_GE(chamber.value(QStringLiteral("answered")).toInt(), 2);
    }
    EXPECT_TRUE(seen) << QJsonDocument(status).toJson().toStdString();
    EXPECT_TRUE(unknownLine.value(QStringLiteral("error")).toString().contains(QStringLiteral("z")));
    EXPECT_FALSE(write.value(QStringLiteral("error")).toString().isEmpty());
    recorder.Stop();
    EXPECT_FALSE(QFileInfo::exists(config.socket));
    // The refusal is in the journal, under the caller's login, with why.
    std::vector<JournalRecord> refusals;
    CheckJournal(JournalFileName(folder.path()), [&](const JournalRecord& r) {
        if (r.action == JournalActionText(JournalAction::ControlRefused))
            refusals.push_back(r);
    });
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].operatorName, QString::fromLocal8Bit(me->pw_name));
    EXPECT_EQ(refusals[0].oldValue, QStringLiteral("run"));
    EXPECT_TRUE(refusals[0].newValue.contains(config.access.writeGroup)) << refusals[0].newValue.toStdString();
    EXPECT_TRUE(events.filter(QStringLiteral("управляющий сокет %1: чтение").arg(config.socket)).size() == 1)
        << events.join(u'\n').toStdString();
}

// A start, a stop and a set point asked by an operator: checked as the
// control window checks them, journalled under the caller's login before
// they go, sent between the line's reads byte for byte as the desktop sends
// them, the chamber's echo read and answered.
TEST_F(RecorderLines, CommandsThroughTheSocketGoOutBetweenReadsAndAreJournalledUnderTheCaller)
{
    SetJournalIdentityForTests(QStringLiteral("calvetra-service"), QString());
    config.socket = folder.filePath(QStringLiteral("control.sock"));
    config.access.readGroup = OwnPrimaryGroup();
    config.access.writeGroup = OwnPrimaryGroup();
    serial.SetStrict(true);
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= 2; }, 20s));
    auto run = [](int id, int address, const char* what) {
        return EncodeControlMessage(ControlRequest("run", id,
                                                   {{QStringLiteral("line"), QStringLiteral("a")},
                                                    {QStringLiteral("address"), address},
                                                    {QStringLiteral("run"), QString::fromLatin1(what)}}));
    };
    auto setPoint = [](int id, const char* temperature, const char* humidity) {
        return EncodeControlMessage(ControlRequest("setpoint", id,
                                                   {{QStringLiteral("line"), QStringLiteral("a")},
                                                    {QStringLiteral("address"), 2},
                                                    {QStringLiteral("temperature"), QString::fromLatin1(temperature)},
                                                    {QStringLiteral("humidity"), QString::fromLatin1(humidity)}}));
    };
    serial.ClearReceivedFrames();
    QJsonObject started, stopped, noChamber, set, outOfRange, notANumber;
    WhileServing([&] {
        RawClient client(config.socket);
        client.Send(run(1, 2, "start"));
        started = client.Receive();
        client.Send(run(2, 2, "stop"));
        stopped = client.Receive();
        client.Send(run(3, 9, "start"));
        noChamber = client.Receive();
        client.Send(setPoint(4, "25", "60"));
        set = client.Receive();
        client.Send(setPoint(5, "999", "60"));
        outOfRange = client.Receive();
        client.Send(setPoint(6, "25", "abc"));
        notANumber = client.Receive();
    });
    const int readsAfter = Answered(recorder, "a", 1);
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= readsAfter + 2; }, 20s));
    recorder.Stop();
    EXPECT_TRUE(started.value(QStringLiteral("confirmed")).toBool()) << QJsonDocument(started).toJson().toStdString();
    EXPECT_EQ(started.value(QStringLiteral("outcome")).toString(), JournalOutcomeConfirmed());
    EXPECT_TRUE(stopped.value(QStringLiteral("confirmed")).toBool());
    EXPECT_TRUE(noChamber.value(QStringLiteral("error")).toString().contains(QStringLiteral("№9")));
    // On the wire: the same frames as the desktop's, among the reads, never over one.
    const RunFrame start = BuildRunFrame(2, kRegManualRun, kRunStart);
    const RunFrame stop = BuildRunFrame(2, kRegManualRun, kRunStop);
    int starts = 0, stops = 0;
    for (const sim::LineFrame& f : serial.ReceivedFrames()) {
        starts += f.bytes == std::vector<uint8_t>(start.begin(), start.end());
        stops += f.bytes == std::vector<uint8_t>(stop.begin(), stop.end());
    }
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(stops, 1);
    // The set point as the control window sends it; the refused ones sent nothing.
    EXPECT_TRUE(set.value(QStringLiteral("confirmed")).toBool()) << QJsonDocument(set).toJson().toStdString();
    EXPECT_FALSE(outOfRange.value(QStringLiteral("error")).toString().isEmpty());
    EXPECT_FALSE(notANumber.value(QStringLiteral("error")).toString().isEmpty());
    const SetPointFrame setFrame = BuildSetPointFrame(2, 25, 60);
    int setPoints = 0, writes = 0;
    for (const sim::LineFrame& f : serial.ReceivedFrames()) {
        setPoints += f.bytes == std::vector<uint8_t>(setFrame.begin(), setFrame.end());
        writes += f.bytes.size() > 1 && f.bytes[1] == 0x10;
    }
    EXPECT_EQ(setPoints, 1);
    EXPECT_EQ(writes, 3);
    EXPECT_TRUE(serial.Collisions().empty()) << (serial.Collisions().empty() ? "" : serial.Collisions().front());
    // The journal: each command first as sent, then with the chamber's answer,
    // under the caller's login and the line's chamber.
    const passwd* me = ::getpwuid(::getuid());
    ASSERT_NE(me, nullptr);
    std::vector<JournalRecord> commands;
    CheckJournal(JournalFileName(folder.path()), [&](const JournalRecord& r) {
        if (r.action == JournalActionText(JournalAction::Start) || r.action == JournalActionText(JournalAction::Stop) ||
            r.action == JournalActionText(JournalAction::SetPointWrite))
            commands.push_back(r);
    });
    ASSERT_EQ(commands.size(), 6u);
    for (const JournalRecord& r : commands) {
        EXPECT_EQ(r.operatorName, QString::fromLocal8Bit(me->pw_name));
        EXPECT_EQ(r.chamber, QStringLiteral("a/2"));
    }
    EXPECT_EQ(commands[0].outcome, JournalOutcomeSent());
    EXPECT_EQ(commands[1].outcome, JournalOutcomeConfirmed());
    EXPECT_EQ(commands[3].action, JournalActionText(JournalAction::Stop));
    EXPECT_EQ(commands[5].action, JournalActionText(JournalAction::SetPointWrite));
    EXPECT_EQ(commands[5].newValue, SetPointJournalText(25, 60));
    EXPECT_EQ(commands[5].outcome, JournalOutcomeConfirmed());
    // Each record's head is in the recorder's log (journald keeps it apart):
    // the newest one checks the whole file.
    QString said;
    for (const QString& e : events)
        if (e.startsWith(QStringLiteral("журнал действий: запись №")))
            said = e;
    ASSERT_FALSE(said.isEmpty()) << events.join('\n').toStdString();
    const QString headText = said.section(u'№', 1).replace(QStringLiteral(", хеш "), QStringLiteral(":"));
    JournalHead head;
    ASSERT_TRUE(ParseJournalHead(headText, &head)) << headText.toStdString();
    EXPECT_EQ(head.records, ReadJournalHead(folder.path()).records);
    const JournalCheck againstHead = CheckJournalAgainstHead(JournalFileName(folder.path()), head);
    EXPECT_TRUE(againstHead.ok) << againstHead.problem.toStdString();
}

// A program's frames take the line a while (each write waits its pause): the
// socket answers others meanwhile, and the program's answer comes once, after.
TEST_F(RecorderLines, TheSocketServesOthersWhileAProgramIsWritten)
{
    config.socket = folder.filePath(QStringLiteral("control.sock"));
    config.access.readGroup = OwnPrimaryGroup();
    config.access.writeGroup = OwnPrimaryGroup();
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 2) >= 1; }, 20s));
    // A slow controller: each echo some 60 ms after its write.
    sim::Faults slow;
    slow.extraDelay = 60ms;
    ASSERT_TRUE(serial.SetFaults(2, slow));
    ProgramTexts texts;
    texts.steps = "8";
    texts.cycles = "1";
    QJsonArray cells;
    for (int r = 0; r < 8; ++r) {
        const QStringList row = {QString::number(20 + r), "0", "10", "0", "5", "50"};
        cells.append(QJsonArray::fromStringList(row));
        for (int c = 0; c < 6; ++c)
            texts.cells[r][c] = row[c];
    }
    serial.ClearReceivedFrames();
    QJsonObject program, status, otherLine;
    std::chrono::steady_clock::time_point programAnswered, statusAnswered;
    WhileServing([&] {
        RawClient writer(config.socket);
        RawClient reader(config.socket);
        writer.Send(EncodeControlMessage(ControlRequest("program", 1,
                                                        {{QStringLiteral("line"), QStringLiteral("a")},
                                                         {QStringLiteral("address"), 2},
                                                         {QStringLiteral("number"), 3},
                                                         {QStringLiteral("steps"), texts.steps},
                                                         {QStringLiteral("cycles"), texts.cycles},
                                                         {QStringLiteral("cells"), cells}})));
        std::this_thread::sleep_for(50ms);
        reader.Send(EncodeControlMessage(ControlRequest("status", 2, {{QStringLiteral("line"), QStringLiteral("a")}})));
        status = reader.Receive();
        reader.Send(EncodeControlMessage(ControlRequest("status", 3, {{QStringLiteral("line"), QStringLiteral("b")}})));
        otherLine = reader.Receive();
        statusAnswered = std::chrono::steady_clock::now();
        program = writer.Receive();
        programAnswered = std::chrono::steady_clock::now();
    });
    recorder.Stop();
    ASSERT_FALSE(status.isEmpty());
    EXPECT_TRUE(status.value(QStringLiteral("error")).toString().isEmpty());
    EXPECT_TRUE(otherLine.value(QStringLiteral("error")).toString().isEmpty());
    ASSERT_FALSE(program.isEmpty());
    EXPECT_TRUE(program.value(QStringLiteral("confirmed")).toBool()) << QJsonDocument(program).toJson().toStdString();
    // Eight writes of over 60 ms each: the reads were answered well before.
    EXPECT_GT(programAnswered - statusAnswered, 300ms);
    for (const StepFrame& step : BuildProgramFrames(2, 3, texts)) {
        int seen = 0;
        for (const sim::LineFrame& f : serial.ReceivedFrames())
            seen += f.bytes == std::vector<uint8_t>(step.begin(), step.end());
        EXPECT_EQ(seen, 1);
    }
}

// A socket that cannot be had is said, and the recording goes on without it.
TEST_F(RecorderLines, WithoutItsControlSocketTheRecorderStillRecords)
{
    config.socket = folder.filePath(QStringLiteral("no-such-folder/control.sock"));
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    EXPECT_TRUE(recorder.ControlPath().isEmpty());
    EXPECT_EQ(events.filter(QStringLiteral("не открыт")).size(), 1) << events.join(u'\n').toStdString();
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= 2; }, 20s));
    recorder.Stop();
}

// The recorder's /metrics carries the journal's gauges, as the desktop's does.
TEST_F(RecorderLines, MetricsCarryTheJournalsHead)
{
    config.listen = true;
    config.listenHost = QStringLiteral("127.0.0.1");
    config.listenPort = 0;
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    auto fetch = [&] {
        auto answer = std::async(std::launch::async, Fetch, recorder.EndpointPort(), QByteArray("/metrics"));
        while (answer.wait_for(0ms) != std::future_status::ready)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return answer.get();
    };
    const JournalHead head = ReadJournalHead(folder.path());
    ASSERT_GE(head.records, 1);  // the recorder's start at least
    const QByteArray metrics = fetch();
    const QByteArray records = "calvetra_journal_records{head=\"" + head.lastHash.left(16).toUtf8() + "\"} " +
                               QByteArray::number(head.records) + "\n";
    EXPECT_TRUE(metrics.contains(records)) << records.toStdString() << "\n" << metrics.toStdString();
    EXPECT_TRUE(metrics.contains("\ncalvetra_journal_unwritable 0\n")) << metrics.toStdString();
    EXPECT_EQ(metrics.count("# TYPE calvetra_journal_records gauge"), 1);
    // A reload journals; the next scrape shows the new head.
    recorder.Reload(config);
    const JournalHead after = ReadJournalHead(folder.path());
    EXPECT_EQ(after.records, head.records + 1);
    EXPECT_TRUE(fetch().contains("calvetra_journal_records{head=\"" + after.lastHash.left(16).toUtf8() + "\"}"));
    recorder.Stop();
}

TEST_F(RecorderLines, SecondRecorderOnTheFolderIsRefusedAndNamesTheFirst)
{
    Recorder first([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(first.Start(config, &error)) << error.toStdString();
    Recorder second([](const QString&) {});
    EXPECT_FALSE(second.Start(config, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("pid %1").arg(QCoreApplication::applicationPid()))) << error.toStdString();
    first.Stop();
}

// A GET on the endpoint, the answer whole.
QByteArray Fetch(quint16 port, const QByteArray& path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        ::send(fd, request.constData(), static_cast<size_t>(request.size()), 0);
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, static_cast<int>(n));
    }
    ::close(fd);
    return answer;
}

// Every chamber of every line on /metrics and /api/status, two chambers at
// one address on two lines apart by their line.
TEST_F(RecorderLines, EveryChamberOfEveryLineOnTheEndpoint)
{
    config.listen = true;
    config.listenHost = QStringLiteral("127.0.0.1");
    config.listenPort = 0;
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_NE(recorder.EndpointPort(), 0);
    QByteArray metrics;
    ASSERT_TRUE(PumpUntil([&] {
        // Fetched on another thread: the endpoint answers from its own.
        auto answer = std::async(std::launch::async, Fetch, recorder.EndpointPort(), QByteArray("/metrics"));
        while (answer.wait_for(0ms) != std::future_status::ready)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        metrics = answer.get();
        return metrics.contains("calvetra_temperature_celsius{line=\"b\",address=\"2\"");
    }, 20s)) << metrics.toStdString();
    for (const char* series : {"calvetra_temperature_celsius{line=\"a\",address=\"1\",port=\"serial ",
                               "calvetra_temperature_celsius{line=\"b\",address=\"1\",port=\"modbus-tcp 127.0.0.1:",
                               "calvetra_humidity_relative{line=\"a\",address=\"2\""})
        EXPECT_TRUE(metrics.contains(series)) << series << "\n" << metrics.toStdString();
    EXPECT_EQ(metrics.count("# TYPE calvetra_temperature_celsius "), 1);
    auto status = std::async(std::launch::async, Fetch, recorder.EndpointPort(), QByteArray("/api/status"));
    while (status.wait_for(0ms) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const QByteArray json = status.get();
    EXPECT_EQ(json.count("\"line\":\"a\""), 2) << json.toStdString();
    EXPECT_EQ(json.count("\"line\":\"b\""), 2) << json.toStdString();
    recorder.Stop();
}

// Each minute record of a chamber goes into its 30-day mean kinetic
// temperature on the endpoint: after one minute it is that record's own.
TEST_F(RecorderLines, MinuteRecordsGiveTheThirtyDayMeanKineticTemperature)
{
    config.listen = true;
    config.listenHost = QStringLiteral("127.0.0.1");
    config.listenPort = 0;
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    auto fetch = [&] {
        auto answer = std::async(std::launch::async, Fetch, recorder.EndpointPort(), QByteArray("/metrics"));
        while (answer.wait_for(0ms) != std::future_status::ready)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return answer.get();
    };
    const QByteArray series = "calvetra_mkt_30d_celsius{line=\"a\",address=\"1\"";
    QByteArray metrics = fetch();
    ASSERT_TRUE(PumpUntil([&] { return fetch().contains("calvetra_temperature_celsius{line=\"a\",address=\"1\""); }, 20s));
    EXPECT_FALSE(metrics.contains(series)) << "no minute has been written yet";
    recorder.WriteMinute();
    // The record's temperature as the log has it, the newest line of chamber 1's log.
    QString logged;
    for (const QFileInfo& f : QDir(folder.filePath("a")).entryInfoList({"*.txt"}, QDir::Files))
        if (ChamberAddressOfLogName(f.fileName()) == 1) {
            QFile file(f.filePath());
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const QStringList lines = DecodeWindows1251(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
            logged = lines.back();
        }
    LogRecord record;
    qint64 timeOfDay = 0;
    ASSERT_TRUE(ParseRecordLine(logged, &record, &timeOfDay)) << logged.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return (metrics = fetch()).contains(series); }, 20s)) << metrics.toStdString();
    const int at = metrics.indexOf(series);
    const QByteArray line = metrics.mid(at, metrics.indexOf('\n', at) - at);
    EXPECT_NEAR(line.mid(line.lastIndexOf(' ') + 1).toDouble(), record.currentTemp, 1e-6) << line.toStdString();
    EXPECT_TRUE(metrics.contains("calvetra_mkt_30d_records{line=\"a\",address=\"1\"")) << metrics.toStdString();
    recorder.Stop();
}

// What the recorder did goes to the journal of its folder, chained as the
// desktop's; a silent chamber's link alarm goes to its line's event file.
TEST_F(RecorderLines, JournalAndAlarmsOfTheRecordersOwn)
{
    sim::Faults quiet;
    quiet.silent = true;
    serial.SetFaults(2, quiet);
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "b", 1) >= 2; }, 20s));
    gateway.DropConnection();
    ASSERT_TRUE(PumpUntil([&] { return events.filter(QStringLiteral("связь восстановлена")).size() >= 1; }, 20s));
    // 16 s of silence, shortened: chamber 2 of line a has lost its link.
    const QString alarms = AlarmEventFileName(folder.filePath(QStringLiteral("a")) + u'/');
    ASSERT_TRUE(PumpUntil([&] { return ReadAll(alarms).contains(AlarmKindText(AlarmKind::Link).toUtf8()); }, 20s));
    // Asked less often for its silence, it is still read: no "нет опроса",
    // which is for a chamber whose line gives no reads at all.
    ASSERT_TRUE(PumpUntil([&] { return recorder.FindChamber(QStringLiteral("a"), 2)->reads >= 6; }, 20s));
    recorder.WriteMinute();
    EXPECT_FALSE(ReadAll(alarms).contains(QStringLiteral("нет опроса").toUtf8()));
    recorder.Stop();

    QStringList actions;
    const JournalCheck check = CheckJournal(JournalFileName(folder.path()),
                                            [&](const JournalRecord& r) { actions.append(r.action); });
    EXPECT_TRUE(check.ok) << check.problem.toStdString();
    EXPECT_EQ(actions.first(), JournalActionText(JournalAction::RecorderStart));
    EXPECT_EQ(actions.last(), JournalActionText(JournalAction::RecorderStop));
    EXPECT_TRUE(actions.contains(JournalActionText(JournalAction::LineLost)));
    EXPECT_TRUE(actions.contains(JournalActionText(JournalAction::LineBack)));
    EXPECT_FALSE(ReadAll(AlarmEventFileName(folder.filePath(QStringLiteral("b")) + u'/'))
                     .contains(AlarmKindText(AlarmKind::Link).toUtf8()));  // a short drop is no lost link
}

TEST_F(RecorderLines, FolderThatRefusesRaisesTheAlarmAndKeepsTheRecords)
{
    Recorder recorder([this](const QString& e) { events.append(e); });
    QString error;
    ASSERT_TRUE(recorder.Start(config, &error)) << error.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) >= 1 && Answered(recorder, "a", 2) >= 1; }, 20s));
    recorder.WriteMinute();
    const QString lineFolder = folder.filePath(QStringLiteral("a"));
    const QStringList files = LogFiles(lineFolder);
    ASSERT_EQ(files.size(), 2);
    const QString log = lineFolder + u'/' + files.first();
    const int recordsBefore = ReadAll(log).count("\r\n\r\n");
    {
        // The disk full: no file grows beyond what the log holds now.
        FileSizeLimit full(static_cast<rlim_t>(QFileInfo(log).size()));
        ASSERT_TRUE(full.ok());
        for (int minute = 0; minute < 3; ++minute) {
            const int answered = Answered(recorder, "a", 1);
            ASSERT_TRUE(PumpUntil([&] { return Answered(recorder, "a", 1) > answered; }, 20s));
            recorder.WriteMinute();
        }
        EXPECT_TRUE(recorder.Unwritable());
        EXPECT_EQ(events.filter(QStringLiteral("запись невозможна")).size(), 1);
        EXPECT_EQ(recorder.FindChamber(QStringLiteral("a"), 1)->log->Pending(), 3);
        EXPECT_EQ(ReadAll(log).count("\r\n\r\n"), recordsBefore);
    }
    recorder.WriteMinute();
    EXPECT_FALSE(recorder.Unwritable());
    EXPECT_EQ(ReadAll(log).count("\r\n\r\n"), recordsBefore + 3);
    EXPECT_TRUE(events.last().startsWith(QStringLiteral("запись снова возможна")));
    // The lab-wide alarm, started and ended, in the folder's own event file.
    const QByteArray lab = ReadAll(AlarmEventFileName(folder.path() + u'/'));
    EXPECT_EQ(lab.count(QStringLiteral("запись невозможна").toUtf8()), 2) << lab.toStdString();
    recorder.Stop();
}

// The program itself: SIGTERM ends it with every file whole; kill -9 and a
// restart leave every record whole and none twice.
TEST_F(RecorderLines, ProgramStopsOnSigtermAndSurvivesKillNine)
{
    const QString conf = QStringLiteral("[recorder]\nfolder=%1\nlisten=\nsocket=\n[line.a]\ndevice=%2\nchambers=1-2\n")
                             .arg(folder.path(), QString::fromStdString(serial.SlavePath()));
    QTemporaryDir confDir;
    const QString path = WriteFile(confDir, QStringLiteral("r.conf"), conf.toUtf8());
    for (int run = 0; run < 2; ++run) {
        QProcess recorder;
        recorder.setProcessChannelMode(QProcess::MergedChannels);
        // A minute of 600 ms: a few records before the kill.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CALVETRA_TIME_SCALE"), QStringLiteral("0.01"));
        recorder.setProcessEnvironment(environment);
        recorder.start(QStringLiteral(CALVETRA_RECORDER), {QStringLiteral("--config"), path});
        ASSERT_TRUE(recorder.waitForStarted());
        // Reading: the line's state says so on standard error.
        QByteArray said;
        ASSERT_TRUE(PumpUntil([&] {
            recorder.waitForReadyRead(50);
            said += recorder.readAll();
            return said.contains(QStringLiteral("опрос").toUtf8());
        }, 20s)) << said.toStdString();
        // Killed at some moment of a minute, not at its start.
        std::this_thread::sleep_for(std::chrono::milliseconds(2000 + 97 * run));
        if (run == 0) {
            ::kill(static_cast<pid_t>(recorder.processId()), SIGKILL);
            recorder.waitForFinished();
            // A real adapter's exclusive flag goes with its last close; the
            // simulated line keeps its terminal open, so the flag the killed
            // recorder set stays until someone clears it.
            const int fd = ::open(serial.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            ::ioctl(fd, TIOCNXCL);
            ::close(fd);
        } else {
            recorder.terminate();
            ASSERT_TRUE(recorder.waitForFinished(10000));
            EXPECT_EQ(recorder.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(recorder.exitCode(), 0);
            said += recorder.readAll();
            EXPECT_TRUE(said.trimmed().endsWith(QStringLiteral("регистратор остановлен").toUtf8())) << said.toStdString();
        }
    }
    // Every file: the header, then whole records only.
    const QString lineFolder = folder.filePath(QStringLiteral("a"));
    const QStringList files = LogFiles(lineFolder);
    ASSERT_FALSE(files.isEmpty());
    EXPECT_EQ(files.size(), 4);  // two chambers, two runs
    for (const QString& name : files) {
        const QByteArray bytes = ReadAll(lineFolder + u'/' + name);
        EXPECT_TRUE(bytes.startsWith(ToLogCodePage(LogHeaderText()))) << name.toStdString();
        EXPECT_TRUE(bytes.endsWith("\r\n\r\n")) << name.toStdString();
        const QStringList lines = QString::fromLatin1(bytes).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        EXPECT_GE(lines.size(), 3) << name.toStdString();  // the header and records of a few minutes
        for (int i = 1; i < lines.size(); ++i) {
            LogRecord record;
            qint64 timeOfDay = 0;
            EXPECT_TRUE(ParseRecordLine(lines[i], &record, &timeOfDay)) << name.toStdString() << ": " << lines[i].toStdString();
        }
    }
}

// SIGHUP on the program itself: a line added starts, the unchanged one goes
// on in the same files; a bad file is refused whole and the lines run on.
TEST_F(RecorderLines, ProgramReadsItsConfigurationAnewOnSighup)
{
    const QString lineA = QStringLiteral("[line.a]\ndevice=%1\nchambers=1-2\n").arg(QString::fromStdString(serial.SlavePath()));
    const QString head = QStringLiteral("[recorder]\nfolder=%1\nlisten=\nsocket=\n").arg(folder.path());
    QTemporaryDir confDir;
    const QString path = WriteFile(confDir, QStringLiteral("r.conf"), (head + lineA).toUtf8());
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CALVETRA_TIME_SCALE"), QStringLiteral("0.01"));
    recorder.setProcessEnvironment(environment);
    recorder.start(QStringLiteral(CALVETRA_RECORDER), {QStringLiteral("--config"), path});
    ASSERT_TRUE(recorder.waitForStarted());
    QByteArray said;
    auto sayUntil = [&](const QString& text) {
        return PumpUntil([&] {
            recorder.waitForReadyRead(50);
            said += recorder.readAll();
            return said.contains(text.toUtf8());
        }, 20s);
    };
    ASSERT_TRUE(sayUntil(QStringLiteral("линия a (serial %1): опрос").arg(QString::fromStdString(serial.SlavePath()))))
        << said.toStdString();
    // A minute or two written on line a before the change.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const QStringList filesOfA = LogFiles(folder.filePath(QStringLiteral("a")));
    ASSERT_EQ(filesOfA.size(), 2);

    const QString lineB = QStringLiteral("[line.b]\nmodbus-tcp=127.0.0.1:%1\nchambers=1-2\n").arg(gateway.Port());
    WriteFile(confDir, QStringLiteral("r.conf"), (head + lineA + lineB).toUtf8());
    ASSERT_EQ(::kill(static_cast<pid_t>(recorder.processId()), SIGHUP), 0);
    ASSERT_TRUE(sayUntil(QStringLiteral("линий добавлено 1, убрано 0, изменено 0"))) << said.toStdString();
    ASSERT_TRUE(sayUntil(QStringLiteral("): опрос, камер 2").prepend(QStringLiteral("линия b (modbus-tcp 127.0.0.1:%1").arg(gateway.Port()))))
        << said.toStdString();

    WriteFile(confDir, QStringLiteral("r.conf"), (head + lineA + lineB + QStringLiteral("speed=9600\n")).toUtf8());
    ASSERT_EQ(::kill(static_cast<pid_t>(recorder.processId()), SIGHUP), 0);
    ASSERT_TRUE(sayUntil(QStringLiteral("новая конфигурация не принята"))) << said.toStdString();
    // Line b records on after the refusal: its minutes reach its files.
    ASSERT_TRUE(PumpUntil([&] {
        const QStringList files = LogFiles(folder.filePath(QStringLiteral("b")));
        return files.size() == 2 &&
               ReadAll(folder.filePath(QStringLiteral("b")) + u'/' + files.first()).count("\r\n\r\n") >= 3;
    }, 20s));
    recorder.terminate();
    ASSERT_TRUE(recorder.waitForFinished(10000));
    EXPECT_EQ(recorder.exitCode(), 0);
    said += recorder.readAll();
    // Line a was never stopped: the same two files, and one start of it.
    EXPECT_EQ(LogFiles(folder.filePath(QStringLiteral("a"))), filesOfA);
    EXPECT_EQ(said.count(QStringLiteral("линия a (serial %1): запуск").arg(QString::fromStdString(serial.SlavePath())).toUtf8()), 1)
        << said.toStdString();
}

TEST(RecorderProgram, BadConfigurationExitsWith78)
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, QStringLiteral("bad.conf"), "[line.a]\nchambers=1\n");
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::MergedChannels);
    recorder.start(QStringLiteral(CALVETRA_RECORDER), {QStringLiteral("--config"), path});
    ASSERT_TRUE(recorder.waitForFinished(10000));
    EXPECT_EQ(recorder.exitCode(), kConfigErrorExit);
    EXPECT_TRUE(QString::fromUtf8(recorder.readAll()).contains(path + QStringLiteral(": [line.a]")));
}

}  // namespace
