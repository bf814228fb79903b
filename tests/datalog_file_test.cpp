// The data log file: its name, header and code page, and the log handlers
// called one step at a time against a temporary program folder.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <clocale>
#include <ctime>
#include <gtest/gtest.h>
#include <unistd.h>

#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "support/AppFixture.h"
#include "ui/ErrorDisplay.h"
#include "ui/main.h"

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

// The record line of the worked example: 14:05:30, 25,3 °C, 60,5 %,
// program 3, step 2 of 5, cycle 10 of 100.
QString ExampleRecord()
{
    auto sp = [](int n) { return QString(n, u' '); };
    return sp(4) + "14:05:30;" + sp(11) + "25,3;" + sp(26) + "60,5;" + sp(24) + "3;" + sp(23) + "2(5);" + sp(27) +
           "10(100);" + sp(5) + "\r\n";
}

// Open descriptors of this process that lead to target.
int DescriptorsOn(const QString& target)
{
    int n = 0;
    const auto fds = QDir("/proc/self/fd").entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& fd : fds)
        if (fd.symLinkTarget() == target)
            ++n;
    return n;
}

bool Exists(const QString& path) { return ::access(path.toUtf8().constData(), F_OK) == 0; }

}  // namespace

// ---------------------------------------------------------------------------
// Pure logic

TEST(LogHeader, TakesOneByteACharacterInWindows1251)
{
    const QString header = LogHeaderText();
    ASSERT_EQ(header.size(), 152);
    EXPECT_EQ(header.count(';'), 6);
    const QByteArray bytes = ToLogCodePage(header);
    ASSERT_EQ(bytes.size(), 152);
    EXPECT_FALSE(bytes.contains('?'));
    EXPECT_EQ(bytes.left(3), Bytes({0xD1, 0xE8, 0xF1}));  // "Сис"
    const int degree = header.indexOf(QString::fromUtf8("°"));
    ASSERT_GT(degree, 0);
    EXPECT_EQ(static_cast<uint8_t>(bytes[degree]), 0xB0);
    EXPECT_EQ(bytes[degree + 1], 'C');
    EXPECT_EQ(bytes.right(2), QByteArray("\r\n"));
}

struct CodePageCase {
    const char* text;  // UTF-8
    QByteArray expected;
};

TEST(LogCodePage, ConvertsToWindows1251AndSubstitutesTheRest)
{
    const CodePageCase cases[] = {
        {"", QByteArray()},
        {"14:05:30; 25,3;", QByteArray("14:05:30; 25,3;")},
        {"АЯая", Bytes({0xC0, 0xDF, 0xE0, 0xFF})},
        {"Ёё№°", Bytes({0xA8, 0xB8, 0xB9, 0xB0})},
        {"é", QByteArray("?")},
        {"a漢b", QByteArray("a?b")},
        {"x😀y", QByteArray("x?y")},  // outside the BMP: still one character
        {"漢字", QByteArray("??")},
        {"\r\n", QByteArray("\r\n")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToLogCodePage(QString::fromUtf8(c.text)), c.expected) << c.text;
}

struct NameCase {
    const char* folder;
    const char* date;
    const char* time;
    const char* expected;
};

TEST(LogFileName, FolderMarkerPlaceholderDateAndTime)
{
    const NameCase cases[] = {
        {"/opt/calvetra/", "03.07.2017", "14:05:30", "/opt/calvetra/КТХ№> 03.07.2017 14_05_30.txt"},
        {"/opt/calvetra/", "03.07.2017", "9:05:07", "/opt/calvetra/КТХ№> 03.07.2017 9_05_07.txt"},
        // Only the date and time part loses its ":".
        {"/mnt/c:/log/", "2017-07-03", "14:05", "/mnt/c:/log/КТХ№> 2017-07-03 14_05.txt"},
        {"/opt/calvetra/", "07/03/2017", "02:05:30 PM", "/opt/calvetra/КТХ№> 07/03/2017 02_05_30 PM.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeLogFileName(QString::fromUtf8(c.folder), QString::fromUtf8(c.date), QString::fromUtf8(c.time)),
                  QString::fromUtf8(c.expected));
}

TEST(LogFileName, ProgramFolderIsTheExecutablesFolder)
{
    SetProgramFolderForTests({});
    EXPECT_EQ(ProgramFolder(), QCoreApplication::applicationDirPath() + "/");
    SetProgramFolderForTests("/tmp/elsewhere");
    EXPECT_EQ(ProgramFolder(), "/tmp/elsewhere/");
    SetProgramFolderForTests({});
    EXPECT_EQ(ProgramFolder(), QCoreApplication::applicationDirPath() + "/");
}

TEST(LogErrors, SystemTextOrIoErrorNumber)
{
    ScopedLocale messages(LC_MESSAGES, "C");
    EXPECT_EQ(IoErrorMessage(ENOENT), "No such file or directory");
    EXPECT_EQ(IoErrorMessage(ENOSPC), "No space left on device");
    EXPECT_EQ(IoErrorMessage(0), "I/O error 0");
    EXPECT_EQ(IoErrorMessage(-5), "I/O error -5");
}

// ---------------------------------------------------------------------------
// The handlers, one step at a time

class DataLogTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + "/";
        SetProgramFolderForTests(folder);
        SetClockSource([] { return LocalMoment(2017, 7, 3, 14, 5, 30); });
        Form1->CheckBox1->setEnabled(true);
    }
    void TearDown() override
    {
        ReleaseLogFile();
        SetProgramFolderForTests({});
        AppFixture::TearDown();
    }

    void Tick(bool ticked)
    {
        Form1->CheckBox1->setChecked(ticked);
        Guarded([] { Form1->CheckBox1Click(); });
    }
    // What the next status poll does to the name.
    static void PollChamber(int address) { LogFileName.replace(">", QString::number(address)); }
    static void Header() { Guarded([] { Form1->Timer6Timer(); }); }
    static void Append() { Guarded([] { Form1->Timer4Timer(); }); }

    QStringList FolderEntries() const { return QDir(dir.path()).entryList(QDir::Files | QDir::System); }

    QTemporaryDir dir;
    QString folder;
    ScopedLocale timeLocale{LC_TIME, "ru_RU.UTF-8"};
    ScopedLocale messages{LC_MESSAGES, "C"};
};

TEST_F(DataLogTest, WorkedExample)
{
    ASSERT_TRUE(timeLocale.ok());
    Tick(true);
    EXPECT_EQ(LogFileName, folder + QString::fromUtf8("КТХ№> 03.07.2017 14_05_30.txt"));
    EXPECT_TRUE(Form1->Timer6->isActive());

    PollChamber(12);
    Header();
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QString name = folder + QString::fromUtf8("КТХ№12 03.07.2017 14_05_30.txt");
    EXPECT_EQ(FolderEntries(), QStringList{QString::fromUtf8("КТХ№12 03.07.2017 14_05_30.txt")});
    // The name reaches the file system in UTF-8.
    EXPECT_EQ(::access(QString(name).toUtf8().constData(), F_OK), 0);
    EXPECT_FALSE(Form1->Timer6->isActive());
    EXPECT_TRUE(Form1->Timer4->isActive());
    EXPECT_EQ(LogLine, LogHeaderText());

    QByteArray bytes = ReadFileBytes(name);
    ASSERT_EQ(bytes.size(), 154);
    EXPECT_EQ(bytes.left(152), ToLogCodePage(LogHeaderText()));
    EXPECT_EQ(bytes.mid(150), QByteArray("\r\n\r\n"));

    const QString record = ExampleRecord();
    ASSERT_EQ(record.size(), 156);
    LogLine = record;
    Append();
    bytes = ReadFileBytes(name);
    ASSERT_EQ(bytes.size(), 154 + 158);
    EXPECT_EQ(bytes.mid(154), record.toLatin1() + "\r\n");

    // A shorter record adds its own length + 2.
    LogLine = QString::fromUtf8("    14:06:30;           é;\r\n");
    Append();
    bytes = ReadFileBytes(name);
    ASSERT_EQ(bytes.size(), 154 + 158 + LogLine.size() + 2);
    EXPECT_TRUE(bytes.endsWith("    14:06:30;           ?;\r\n\r\n"));
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_FALSE(LogFileOpen());
}

TEST_F(DataLogTest, SameRecordRepeatsWhileNoPollRebuildsIt)
{
    Tick(true);
    PollChamber(3);
    Header();
    // A tick before the next poll writes the header text again, as a record.
    Append();
    LogLine = ExampleRecord();
    Append();
    Append();
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QByteArray header = ToLogCodePage(LogHeaderText()) + "\r\n";
    const QByteArray record = ExampleRecord().toLatin1() + "\r\n";
    EXPECT_EQ(ReadFileBytes(LogFileName), header + header + record + record);
}

TEST_F(DataLogTest, TickingAgainStartsANewFileAndKeepsTheOld)
{
    Tick(true);
    PollChamber(3);
    Header();
    LogLine = ExampleRecord();
    Append();
    const QString first = LogFileName;
    const QByteArray firstBytes = ReadFileBytes(first);
    ASSERT_EQ(firstBytes.size(), 154 + 158);

    SetClockSource([] { return LocalMoment(2017, 7, 3, 14, 9, 1); });
    Tick(false);
    Tick(true);
    EXPECT_EQ(LogFileName, folder + QString::fromUtf8("КТХ№> 03.07.2017 14_09_01.txt"));
    PollChamber(3);
    Header();
    LogLine = ExampleRecord();
    Append();
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_EQ(ReadFileBytes(first), firstBytes);
    EXPECT_EQ(ReadFileBytes(LogFileName).size(), 154 + 158);
    EXPECT_EQ(FolderEntries().size(), 2);
}

TEST_F(DataLogTest, AppendBeforeTheHeaderFailsAndCreatesNothing)
{
    Tick(true);
    PollChamber(7);
    Append();
    ASSERT_EQ(errors, QStringList{"No such file or directory."});
    EXPECT_TRUE(FolderEntries().isEmpty());
    Header();
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(ReadFileBytes(LogFileName).size(), 154);
}

TEST_F(DataLogTest, NameStillHoldingThePlaceholderIsRefused)
{
    Tick(true);
    const QString name = LogFileName;
    ASSERT_TRUE(name.contains('>'));
    Header();
    const QString refused = QString::fromUtf8("Недопустимое имя файла: ") + name + ".";
    ASSERT_EQ(errors, QStringList{refused});
    // The header text is in LogLine, but the handler ended before the log timer.
    EXPECT_EQ(LogLine, LogHeaderText());
    EXPECT_FALSE(Form1->Timer4->isActive());
    EXPECT_FALSE(Form1->Timer6->isActive());
    Append();
    EXPECT_EQ(errors, (QStringList{refused, refused}));
    EXPECT_TRUE(FolderEntries().isEmpty());
    EXPECT_FALSE(LogFileOpen());
}

struct UnwritableCase {
    const char* what;
    const char* timeLocale;
    const char* subfolder;  // under the temporary folder; "" for the folder itself
    bool plainFileAsFolder;
    const char* message;
};

TEST_F(DataLogTest, UnwritablePlacesRaiseTheSystemsMessage)
{
    // Root ignores permissions, so these places fail for everyone.
    const UnwritableCase cases[] = {
        {"missing folder", "ru_RU.UTF-8", "missing/", false, "No such file or directory."},
        {"folder is a file", "ru_RU.UTF-8", "plain.txt/", true, "Not a directory."},
        // "/" in the short date format turns the name into missing folders.
        {"slash in the date", "en_US.UTF-8", "", false, "No such file or directory."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedLocale locale(LC_TIME, c.timeLocale);
        ASSERT_TRUE(locale.ok());
        if (c.plainFileAsFolder) {
            QFile plain(folder + "plain.txt");
            ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
        }
        SetProgramFolderForTests(folder + c.subfolder);
        errors.clear();
        Form1->Timer4->stop();
        Tick(true);
        PollChamber(12);
        Header();
        Append();
        EXPECT_EQ(errors, (QStringList{c.message, c.message}));
        EXPECT_FALSE(Form1->Timer4->isActive());
        EXPECT_FALSE(LogFileOpen());
        for (const QString& entry : FolderEntries())
            EXPECT_EQ(entry, "plain.txt");
        Tick(false);
    }
}

TEST_F(DataLogTest, FileRemovedWhileLoggingIsNotMadeAgain)
{
    Tick(true);
    PollChamber(12);
    Header();
    LogLine = ExampleRecord();
    Append();
    ASSERT_TRUE(errors.isEmpty());
    ASSERT_TRUE(QFile::remove(LogFileName));
    Append();
    Append();
    EXPECT_EQ(errors, (QStringList{"No such file or directory.", "No such file or directory."}));
    EXPECT_FALSE(Exists(LogFileName));
    EXPECT_TRUE(Form1->Timer4->isActive());
    EXPECT_TRUE(Form1->CheckBox1->isChecked());
}

TEST_F(DataLogTest, HeaderIntoAnExistingFileKeepsWhatItHolds)
{
    // Under a time format without seconds a second tick within the minute
    // names the same file.
    Tick(true);
    PollChamber(12);
    const QString name = LogFileName;
    {
        QFile earlier(name);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier run\r\n");
    }
    Header();
    LogLine = ExampleRecord();
    Append();
    Tick(false);
    Tick(true);
    PollChamber(12);
    ASSERT_EQ(LogFileName, name);
    Header();
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QByteArray header = ToLogCodePage(LogHeaderText()) + "\r\n";
    const QByteArray record = ExampleRecord().toLatin1() + "\r\n";
    EXPECT_EQ(ReadFileBytes(name), "earlier run\r\n" + header + record + header);
}

TEST_F(DataLogTest, FailedWriteIsReportedAndTheFileClosedBeforeTheNextAttempt)
{
    Tick(true);
    PollChamber(12);
    // The log's name leads to a device that is always full.
    ASSERT_EQ(::symlink("/dev/full", LogFileName.toUtf8().constData()), 0);
    Header();
    // The header's close is where the bytes meet the device.
    ASSERT_EQ(errors, QStringList{"No space left on device."});
    EXPECT_FALSE(Form1->Timer4->isActive());
    EXPECT_FALSE(LogFileOpen());

    LogLine = ExampleRecord();
    Append();
    ASSERT_EQ(errors.size(), 2);
    EXPECT_EQ(errors[1], "No space left on device.");
    // The flush failed, so the file is still open ...
    EXPECT_TRUE(LogFileOpen());
    EXPECT_EQ(DescriptorsOn("/dev/full"), 1);

    // ... until the next attempt, which goes to a sound file.
    const QString full = LogFileName;
    Tick(true);
    LogFileName = folder + "sound.txt";
    Header();
    LogLine = ExampleRecord();
    Append();
    EXPECT_EQ(errors.size(), 2);
    EXPECT_FALSE(LogFileOpen());
    EXPECT_EQ(ReadFileBytes(LogFileName).size(), 154 + 158);
    EXPECT_TRUE(QFileInfo(full).isSymLink());
    EXPECT_EQ(DescriptorsOn("/dev/full"), 0);
}

