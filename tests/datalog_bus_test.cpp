// The data log with reading on against a simulated chamber: the address from
// the poll goes into the name, and the records carry the chamber's values.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <array>
#include <clocale>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/ErrorDisplay.h"
#include "ui/main.h"

namespace {

std::time_t g_now = 0;

// 25.3 °C, program 3, step 2 of 5, cycle 10 of 100, 60.5 %; the other words
// inside their windows.
constexpr std::array<uint16_t, 17> kStatus = {253, 3, 300, 0, 5, 30, 1, 15, 2, 45, 2, 5, 10, 100, 75, 605, 700};

QString Record(const QString& time, const QString& temp, const QString& humidity, const QString& program,
               const QString& step, const QString& cycle)
{
    auto fill = [](int k) { return QString(k > 0 ? k : 0, u' '); };
    return fill(4) + time + ";" + fill(11) + temp + ";" + fill(30 - temp.size()) + humidity + ";" +
           fill(28 - humidity.size()) + program + ";" + fill(24 - program.size()) + step + ";" +
           fill(31 - step.size()) + cycle + ";" + fill(5) + "\r\n";
}

}  // namespace

class DataLogBusFixture : public AppFixture {
protected:
    explicit DataLogBusFixture(double timeScale) : AppFixture(timeScale) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(timeLocale.ok());
        ASSERT_TRUE(comma.ok());
        folder = dir.path() + "/";
        SetProgramFolderForTests(folder);
        g_now = LocalMoment(2017, 7, 3, 14, 5, 30);
        SetClockSource([] { return g_now; });

        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetSpeed(0);
        ASSERT_TRUE(bus.AddChamber(1));
        for (int n = 0; n < 17; ++n)
            Pin(n, kStatus[n]);
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        QObject::connect(Form1->Timer4, &QTimer::timeout, [this] { ++logTicks; });
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
        SetProgramFolderForTests({});
    }

    void Pin(int word, uint16_t value)
    {
        bus.WithChamber(1, [&](sim::ChamberModel& m) { m.PinStatusWord(word, value); });
    }
    // The operator's path: pick the chamber, switch reading on, tick the box.
    void StartReadingAndLogging()
    {
        Form1->ListBox1->addItem(QString::fromUtf8("Камера №1"));
        Form1->ListBox1->setCurrentRow(0);
        Guarded([] { Form1->ListBox1Click(); });
        Guarded([] { Form1->Button6Click(); });
        ASSERT_TRUE(Form1->CheckBox1->isEnabled());
        Form1->CheckBox1->setChecked(true);
        Guarded([] { Form1->CheckBox1Click(); });
    }
    bool WaitForLogTicks(int n)
    {
        const int target = logTicks + n;
        return PumpUntil([&] { return logTicks >= target; }, 30000);
    }
    QString ExpectedName() const { return folder + QString::fromUtf8("КТХ№1 03.07.2017 14_05_30.txt"); }

    QTemporaryDir dir;
    QString folder;
    int logTicks = 0;
    sim::BusSimulator bus;
    ScopedLocale timeLocale{LC_TIME, "ru_RU.UTF-8"};
    ScopedLocale comma{LC_NUMERIC, "ru_RU.UTF-8"};
};

class DataLogBusTest : public DataLogBusFixture {
protected:
    DataLogBusTest() : DataLogBusFixture(0.05) {}
};

TEST_F(DataLogBusTest, HeaderThenRecordsOfThePolledChamber)
{
    StartReadingAndLogging();
    ASSERT_TRUE(PumpUntil([] { return !Form1->Timer6->isActive(); }, 10000));
    EXPECT_EQ(LogFileName, ExpectedName());
    EXPECT_EQ(ReadFileBytes(ExpectedName()).size(), 154);

    ASSERT_TRUE(WaitForLogTicks(1));
    // The chamber moves on and the clock with it; polls pick both up before
    // the next record.
    Pin(0, 180);
    g_now = LocalMoment(2017, 7, 3, 14, 6, 30);
    ASSERT_TRUE(WaitForLogTicks(1));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();

    const QByteArray bytes = ReadFileBytes(ExpectedName());
    const QString first = Record("14:05:30", "25,3", "60,5", "3", "2(5)", "10(100)");
    const QString second = Record("14:06:30", "18", "60,5", "3", "2(5)", "10(100)");
    ASSERT_EQ(first.size(), 156);
    EXPECT_EQ(bytes, ToLogCodePage(LogHeaderText()) + "\r\n" + first.toLatin1() + "\r\n" + second.toLatin1() + "\r\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

TEST_F(DataLogBusTest, SilenceAndStoppedReadingShowAsMissingMinutes)
{
    StartReadingAndLogging();
    ASSERT_TRUE(PumpUntil([] { return !Form1->Timer6->isActive(); }, 10000));
    ASSERT_TRUE(WaitForLogTicks(1));
    const QByteArray before = ReadFileBytes(ExpectedName());
    ASSERT_EQ(before.size(), 154 + 158);

    // The chamber falls silent. A poll answered just before may still give
    // the next minute its record; after that the minutes have nothing.
    sim::Faults silent;
    silent.silent = true;
    ASSERT_TRUE(bus.SetFaults(1, silent));
    ASSERT_TRUE(WaitForLogTicks(1));
    const QByteArray silentFrom = ReadFileBytes(ExpectedName());
    EXPECT_LE(silentFrom.size(), before.size() + 158);
    ASSERT_TRUE(WaitForLogTicks(3));
    EXPECT_EQ(ReadFileBytes(ExpectedName()), silentFrom);

    // It answers again: records follow, with the time of their poll.
    g_now = LocalMoment(2017, 7, 3, 14, 9, 30);
    Pin(0, 180);
    ASSERT_TRUE(bus.SetFaults(1, sim::Faults{}));
    ASSERT_TRUE(WaitForLogTicks(2));
    const QByteArray answered = ReadFileBytes(ExpectedName());
    ASSERT_GT(answered.size(), silentFrom.size());
    EXPECT_TRUE(answered.endsWith(Record("14:09:30", "18", "60,5", "3", "2(5)", "10(100)").toLatin1() + "\r\n"));

    // Reading switched off: at most the last answered poll is written, then
    // nothing more, however long the box stays ticked.
    Guarded([] { Form1->Button6Click(); });
    ASSERT_TRUE(WaitForLogTicks(1));
    const QByteArray stopped = ReadFileBytes(ExpectedName());
    ASSERT_TRUE(WaitForLogTicks(3));
    EXPECT_EQ(ReadFileBytes(ExpectedName()), stopped);
    EXPECT_LE(stopped.size(), answered.size() + 158);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

// Real periods: the header waits its five seconds for the first poll's
// address.
class DataLogBusRealTimeTest : public DataLogBusFixture {
protected:
    DataLogBusRealTimeTest() : DataLogBusFixture(1.0) {}
};

TEST_F(DataLogBusRealTimeTest, HeaderFollowsFiveSecondsAfterTheTick)
{
    StartReadingAndLogging();
    EXPECT_TRUE(LogFileName.contains(">"));
    Pump(3000);
    // A timer never fires early, so the file cannot be there yet.
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    EXPECT_TRUE(Form1->Timer6->isActive());
    ASSERT_TRUE(PumpUntil([] { return !Form1->Timer6->isActive(); }, 20000));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QString::fromUtf8("КТХ№1 03.07.2017 14_05_30.txt")});
    EXPECT_EQ(ReadFileBytes(ExpectedName()).size(), 154);
}
