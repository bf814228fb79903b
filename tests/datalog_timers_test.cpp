// The data log driven by its own timers (periods shortened twentyfold):
// one header per run of Timer6, records only while the box is ticked.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <clocale>
#include <ctime>
#include <gtest/gtest.h>

#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "support/AppFixture.h"
#include "ui/ErrorDisplay.h"
#include "ui/main.h"

namespace {

std::time_t g_now = 0;

}  // namespace

class DataLogTimerTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(timeLocale.ok());
        folder = dir.path() + "/";
        SetProgramFolderForTests(folder);
        g_now = LocalMoment(2017, 7, 3, 14, 5, 30);
        SetClockSource([] { return g_now; });
        Form1->CheckBox1->setEnabled(true);
        QObject::connect(Form1->Timer4, &QTimer::timeout, [this] { ++logTicks; });
    }
    void TearDown() override
    {
        SetProgramFolderForTests({});
        AppFixture::TearDown();
    }

    void Tick(bool ticked)
    {
        Form1->CheckBox1->setChecked(ticked);
        Guarded([] { Form1->CheckBox1Click(); });
    }
    bool WaitForHeader() { return PumpUntil([] { return !Form1->Timer6->isActive(); }, 10000); }
    // Runs the loop until Timer4 has ticked n times more.
    bool WaitForLogTicks(int n)
    {
        const int target = logTicks + n;
        return PumpUntil([&] { return logTicks >= target; }, 30000);
    }
    QStringList FolderEntries() const { return QDir(dir.path()).entryList(QDir::Files); }

    QTemporaryDir dir;
    QString folder;
    int logTicks = 0;
    ScopedLocale timeLocale{LC_TIME, "ru_RU.UTF-8"};
    ScopedLocale messages{LC_MESSAGES, "C"};
};

TEST_F(DataLogTimerTest, TickUntickTickGivesOneHeaderUnderTheLatestName)
{
    Tick(true);
    const QString first = LogFileName;
    const int firstRemaining = Form1->Timer6->remainingTime();
    Pump(30);
    Tick(false);
    g_now = LocalMoment(2017, 7, 3, 14, 5, 31);
    Tick(true);
    // Ticking again does not restart the header's period.
    EXPECT_LT(Form1->Timer6->remainingTime(), firstRemaining);
    EXPECT_NE(LogFileName, first);
    LogFileName.replace(">", "12");  // as the next poll does

    ASSERT_TRUE(WaitForHeader());
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(FolderEntries(), QStringList{QString::fromUtf8("КТХ№12 03.07.2017 14_05_31.txt")});
    EXPECT_EQ(ReadFileBytes(LogFileName).size(), 154);
    // Fired once: nothing more comes from Timer6.
    Pump(600);
    EXPECT_FALSE(Form1->Timer6->isActive());
    EXPECT_EQ(FolderEntries().size(), 1);
    EXPECT_TRUE(Form1->Timer4->isActive());
}

TEST_F(DataLogTimerTest, HeaderStillComesAfterUntickingButNoRecordFollows)
{
    Tick(true);
    LogFileName.replace(">", "5");
    Tick(false);
    ASSERT_TRUE(WaitForHeader());
    ASSERT_TRUE(WaitForLogTicks(1));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(ReadFileBytes(LogFileName).size(), 154);
}

