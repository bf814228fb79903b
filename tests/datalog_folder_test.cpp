// Where log files go, and a ">" that belongs to the folder, not the name.
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monitoring/DataLog.h"
#include "monitoring/Monitoring.h"
#include "support/AppFixture.h"
#include "ui/main.h"

TEST(LogFolder, ProgramFolderUnlessItExistsAndCannotBeWritten)
{
    struct Case {
        bool exists, writable;
        const char* documents;
        const char* expected;
    };
    const Case cases[] = {
        {true, true, "/home/op/Documents", "/opt/calvetra/"},
        {true, false, "/home/op/Documents", "/home/op/Documents/"},
        {true, false, "/home/op/Документы/", "/home/op/Документы/"},
        {false, false, "/home/op/Documents", "/opt/calvetra/"},  // its writes fail and say so
        {true, false, "", "/opt/calvetra/"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseLogFolder("/opt/calvetra/", c.exists, c.writable, QString::fromUtf8(c.documents)),
                  QString::fromUtf8(c.expected));
}

TEST(LogFolder, ReadOnlyProgramFolderSendsLogsToTheDocumentsFolder)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write into any folder";
    QTemporaryDir home;
    QTemporaryDir program;
    ::chmod(QFile::encodeName(program.path()).constData(), 0555);
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    SetProgramFolderForTests(program.path() + "/");
    const QString folder = LogFolder();
    SetProgramFolderForTests({});
    ::chmod(QFile::encodeName(program.path()).constData(), 0755);
    EXPECT_TRUE(folder.startsWith(home.path())) << folder.toStdString();
    EXPECT_TRUE(QDir(folder).exists());
}

class PlaceholderTest : public AppFixture {};

TEST_F(PlaceholderTest, OnlyTheNamesPlaceholderTakesTheAddress)
{
    LogFileName = QString::fromUtf8("/tmp/a>b/КТХ№> 03.07.2017 14_05_30.txt");
    ChamberAddress = 12;
    Form1->ReadStatus();  // no port: 20 unanswered attempts, then the end of the poll
    EXPECT_EQ(LogFileName, QString::fromUtf8("/tmp/a>b/КТХ№12 03.07.2017 14_05_30.txt"));
}
