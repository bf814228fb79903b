// The one chamber log writer as the desktop's windows use it (the header at
// its own step, a record only after an answer, a refused record kept for the
// next minute), against the bytes the main window's log has always held; and
// where the recorder's log keeps records differently.
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <clocale>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

#include "monitoring/ChamberLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Presentation.h"
#include "support/AppFixture.h"
#include "support/FileSizeLimit.h"

namespace {

// The worked example's record line: 14:05:30, 25,3 °C, 60,5 %, program 3,
// step 2 of 5, cycle 10 of 100, byte for byte as the main window wrote it.
const QByteArray kExampleRecord = "    14:05:30;           25,3;                          60,5;"
                                  "                        3;                       2(5);"
                                  "                           10(100);     \r\n";

std::tm Moment(int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = 2017 - 1900;
    t.tm_mon = 6;
    t.tm_mday = 3;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    std::mktime(&t);
    return t;
}

StatusView ExampleView()
{
    StatusView v;
    v.currentTempText = QStringLiteral("25,3");
    v.currentHumidityText = QStringLiteral("60,5");
    v.programText = QStringLiteral("3");
    v.stepText = QStringLiteral("2(5)");
    v.cycleText = QStringLiteral("10(100)");
    v.setTempText = QStringLiteral("30");  // not in the record
    return v;
}

QString Record(int minute)
{
    return RecordLine(QStringLiteral("14:%1:30").arg(minute, 2, 10, QChar('0')), QStringLiteral("25,%1").arg(minute % 10),
                      QStringLiteral("60,5"), QStringLiteral("3"), QStringLiteral("2(5)"), QStringLiteral("10(100)"));
}

QByteArray Line(const QString& text) { return ToLogCodePage(text) + "\r\n"; }

QByteArray Header() { return Line(LogHeaderText()); }

class ChamberLogDesktopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ForgetClaimedLogNamesForTests();
        name = dir.path() + QStringLiteral("/КТХ№5 03.07.2017 14_05_30.txt");
    }
    void TearDown() override { ForgetClaimedLogNamesForTests(); }
    bool Exists() const { return QFile::exists(name); }

    QTemporaryDir dir;
    QString name;
    ScopedLocale messages{LC_MESSAGES, "C"};
};

}  // namespace

TEST(ChamberRecordLine, TheMainWindowsRecordOfAnAnswer)
{
    ScopedLocale time(LC_TIME, "C.UTF-8");
    ASSERT_TRUE(time.ok());
    const QString line = ChamberRecordLine(Moment(14, 5, 30), ExampleView());
    EXPECT_EQ(line.toLatin1(), kExampleRecord);
    EXPECT_EQ(line.size(), 156);
    EXPECT_EQ(Line(line).size(), 158);
}

TEST(NewLogFileName, TheMainWindowsNameClaimedForEachWriter)
{
    ScopedLocale time(LC_TIME, "ru_RU.UTF-8");
    ASSERT_TRUE(time.ok());
    QTemporaryDir dir;
    ForgetClaimedLogNamesForTests();
    const QString folder = dir.path() + u'/';
    const std::tm now = Moment(14, 5, 30);
    const QString main = NewLogFileName(folder, now, 5, LogWriter::MainWindow);
    EXPECT_EQ(main, folder + QStringLiteral("КТХ№> 03.07.2017 14_05_30.txt"));
    // The overview's log of that chamber in that second is a file of its own.
    EXPECT_EQ(FillAddressPlaceholder(NewLogFileName(folder, now, 5, LogWriter::Overview), 5),
              folder + QStringLiteral("КТХ№5 03.07.2017 14_05_30 (2).txt"));
    ForgetClaimedLogNamesForTests();
}

TEST_F(ChamberLogDesktopTest, HeaderAtItsStepThenRecordsAsTheMainWindowWroteThem)
{
    ChamberLog log(LogWriter::MainWindow, 5);
    log.SetFileName(name);
    EXPECT_FALSE(log.HeaderWritten());
    QString error;
    // A minute before the header: the file is not made by a record.
    log.Take(QString::fromLatin1(kExampleRecord));
    EXPECT_FALSE(log.Minute(Moment(14, 5, 31), &error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(Exists());

    ASSERT_TRUE(log.WriteHeader(&error)) << error.toStdString();
    EXPECT_TRUE(log.HeaderWritten());
    QByteArray expected = Header();
    ASSERT_EQ(expected.size(), 154);
    EXPECT_TRUE(expected.endsWith("\r\n\r\n"));
    EXPECT_EQ(ReadFileBytes(name), expected);

    // The record the refused minute kept goes in at the next one.
    ASSERT_TRUE(log.Minute(Moment(14, 6, 30), &error)) << error.toStdString();
    expected += kExampleRecord + "\r\n";
    EXPECT_EQ(ReadFileBytes(name), expected);
    EXPECT_EQ(ReadFileBytes(name).size(), 154 + 158);
    EXPECT_TRUE(log.Record().isEmpty());
}

TEST_F(ChamberLogDesktopTest, NoRecordWithoutAnAnswerSinceTheLineBefore)
{
    ChamberLog log(LogWriter::Overview, 5);
    log.SetFileName(name);
    QString error;
    ASSERT_TRUE(log.WriteHeader(&error));
    // Steps of minutes: a record taken before the minute (or none).
    struct Step {
        const char* what;
        bool answered;
    };
    const Step steps[] = {
        {"the header was the line before", false},
        {"an answer", true},
        {"no answer since the last record", false},
        {"no answer again", false},
        {"an answer again", true},
    };
    QByteArray expected = Header();
    int minute = 6;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.answered) {
            log.Take(Record(minute));
            expected += Line(Record(minute));
        }
        EXPECT_TRUE(log.Minute(Moment(14, minute++, 30), &error)) << error.toStdString();
        EXPECT_EQ(ReadFileBytes(name), expected);
    }
}

// A refused write keeps its record for the next minute. The desktop keeps
// the newest answer only, as the main window always has; the recorder keeps
// every minute, up to a day's worth.
TEST_F(ChamberLogDesktopTest, ARefusedRecordIsWrittenAtTheNextMinute)
{
    struct Case {
        const char* what;
        std::function<ChamberLog()> make;
        QList<int> written;  // the minutes in the file at the end
    };
    const QString folder = dir.path() + u'/';
    const Case cases[] = {
        {"main window", [&] { return ChamberLog(LogWriter::MainWindow, 5); }, {6, 7, 9}},
        {"overview", [&] { return ChamberLog(LogWriter::Overview, 5); }, {6, 7, 9}},
        {"recorder", [&] { return ChamberLog(folder, 5); }, {6, 7, 8, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ForgetClaimedLogNamesForTests();
        ChamberLog log = c.make();
        QString error;
        if (log.Writer() != LogWriter::Recorder) {
            log.SetFileName(folder + QString::fromUtf8(c.what) + QStringLiteral(".txt"));
            ASSERT_TRUE(log.WriteHeader(&error));
        }
        log.Take(Record(6));
        ASSERT_TRUE(log.Minute(Moment(14, 6, 30), &error)) << error.toStdString();
        const QString file = log.FileName();
        const QByteArray before = ReadFileBytes(file);
        {
            // Room for a part of a record only: nothing of it may stay.
            FileSizeLimit full(static_cast<rlim_t>(before.size() + 10));
            ASSERT_TRUE(full.ok());
            log.Take(Record(7));
            EXPECT_FALSE(log.Minute(Moment(14, 7, 30), &error));
            EXPECT_EQ(error, "File too large");
            EXPECT_EQ(ReadFileBytes(file), before);
        }
        // The disk takes it again.
        ASSERT_TRUE(log.Minute(Moment(14, 8, 0), &error)) << error.toStdString();
        {
            FileSizeLimit full(static_cast<rlim_t>(ReadFileBytes(file).size() + 10));
            ASSERT_TRUE(full.ok());
            log.Take(Record(8));
            EXPECT_FALSE(log.Minute(Moment(14, 8, 30), &error));
            // A newer answer before the disk takes records again.
            log.Take(Record(9));
        }
        ASSERT_TRUE(log.Minute(Moment(14, 9, 30), &error)) << error.toStdString();
        QByteArray expected = Header();
        for (int minute : c.written)
            expected += Line(Record(minute));
        EXPECT_EQ(ReadFileBytes(file), expected);
        EXPECT_EQ(log.Pending(), 0);
        EXPECT_TRUE(log.Record().isEmpty());
    }
}

TEST_F(ChamberLogDesktopTest, WhatTheFileSystemSaysStaysTheOperatorsMessage)
{
    struct Case {
        const char* what;
        std::function<QString()> prepare;  // the name the log is given
        const char* headerError;           // empty: the header is written
        const char* recordError;
    };
    const QString folder = dir.path() + u'/';
    const Case cases[] = {
        {"a name still holding the placeholder",
         [&] { return folder + QStringLiteral("КТХ№> 03.07.2017 14_05_30.txt"); },
         "Недопустимое имя файла: %1", "Недопустимое имя файла: %1"},
        {"a missing folder", [&] { return folder + QStringLiteral("missing/log.txt"); }, "No such file or directory",
         "No such file or directory"},
        {"a device always full",
         [&] {
             const QString link = folder + QStringLiteral("full.txt");
             EXPECT_EQ(::symlink("/dev/full", link.toUtf8().constData()), 0);
             return link;
         },
         "No space left on device", "No space left on device"},
        {"the file removed after its header",
         [&] { return folder + QStringLiteral("removed.txt"); }, "", "No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChamberLog log(LogWriter::MainWindow, 5);
        const QString file = c.prepare();
        log.SetFileName(file);
        // The texts that name the file name it.
        const auto message = [&](const char* text) {
            const QString t = QString::fromUtf8(text);
            return t.contains(QStringLiteral("%1")) ? t.arg(file) : t;
        };
        QString error;
        const bool headed = log.WriteHeader(&error);
        EXPECT_EQ(headed, !*c.headerError);
        if (!headed)
            EXPECT_EQ(error, message(c.headerError));
        else
            ASSERT_TRUE(QFile::remove(file));
        log.Take(Record(6));
        error.clear();
        EXPECT_FALSE(log.Minute(Moment(14, 6, 30), &error));
        EXPECT_EQ(error, message(c.recordError));
        // Kept for the next minute; a removed file is not made again.
        EXPECT_EQ(log.Record(), Record(6));
        if (!QFileInfo(file).isSymLink())
            EXPECT_FALSE(QFile::exists(file));
    }
}

TEST_F(ChamberLogDesktopTest, AHeaderIntoAFileAlreadyThereKeepsWhatItHolds)
{
    {
        QFile earlier(name);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier run\r\n");
    }
    ChamberLog log(LogWriter::MainWindow, 5);
    log.SetFileName(name);
    QString error;
    ASSERT_TRUE(log.WriteHeader(&error));
    log.Take(Record(6));
    ASSERT_TRUE(log.Minute(Moment(14, 6, 30), &error));
    // Ticked again within the minute under a format without seconds: the
    // same name, a second header after what is there.
    log.SetFileName(name);
    EXPECT_TRUE(log.HeaderWritten());
    ASSERT_TRUE(log.WriteHeader(&error));
    EXPECT_EQ(ReadFileBytes(name), "earlier run\r\n" + Header() + Line(Record(6)) + Header());
    // Another name is a new file, its header still to come.
    log.SetFileName(name + QStringLiteral(".next"));
    EXPECT_FALSE(log.HeaderWritten());
}
