// The data log when the file system fails under it: a file size limit that
// cuts a write short, the folder gone or replaced, the file removed. Each
// failure reaches the error display, the file keeps exactly what it held, and
// the next write that can succeed does.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>

#include "monitoring/DataLog.h"
#include "monitoring/LocaleText.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/FileSizeLimit.h"
#include "support/OpenFiles.h"
#include "ui/ErrorDisplay.h"
#include "ui/main.h"

namespace {

std::time_t LocalMoment(int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = 2017 - 1900;
    t.tm_mon = 6;
    t.tm_mday = 3;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString Record(const char* time, const char* temperature)
{
    return RecordLine(time, temperature, "60.5", "3", "2(5)", "10(100)");
}

QByteArray Bytes(const QString& text) { return ToLogCodePage(text) + "\r\n"; }

// Sizes and the tails of both, readable, when the file is not as expected.
::testing::AssertionResult SameBytes(const QByteArray& actual, const QByteArray& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    const auto tail = [](const QByteArray& b) {
        return QString::fromLatin1(b.right(48).toPercentEncoding(" ;:.()-")).toStdString();
    };
    return ::testing::AssertionFailure() << "file holds " << actual.size() << " bytes ending \"" << tail(actual)
                                         << "\", expected " << expected.size() << " ending \"" << tail(expected) << "\"";
}

}  // namespace

class DataLogFaultTest : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        ASSERT_TRUE(dir.isValid());
        logs = dir.path() + "/logs";
        ASSERT_TRUE(QDir().mkpath(logs));
        SetProgramFolderForTests(logs + "/");
        SetClockSource([] { return LocalMoment(14, 5, 30); });
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        ASSERT_TRUE(bus.AddChamber(12));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        Form1->ListBox1->addItem(QString::fromUtf8("Камера №12"));
        Form1->ListBox1->setCurrentRow(0);
        Form1->CheckBox1->setEnabled(true);
    }
    void TearDown() override
    {
        SetProgramFolderForTests({});
        AppFixture::TearDown();
        bus.Stop();
    }

    // Ticks the box, lets a poll of chamber 12 name the file and writes the
    // header, under a file size limit when one is given (the tick's journal
    // record is written before it, as an operator's tick would be).
    void StartLog(rlim_t headerLimit = 0)
    {
        Form1->CheckBox1->setChecked(true);
        Guarded([] { Form1->CheckBox1Click(); });
        Guarded([] { Form1->ReadStatus(); });
        ASSERT_EQ(bus.RequestCount(12), 1) << "chamber 12 did not answer the poll";
        bus.ResetRequestCount(12);
        Form1->Timer4->stop();  // the poll started it; only a whole header may
        std::optional<FileSizeLimit> limit;
        if (headerLimit > 0) {
            limit.emplace(headerLimit);
            ASSERT_TRUE(limit->ok());
        }
        Guarded([] { Form1->Timer6Timer(); });
    }
    static void Append(const QString& record)
    {
        LogLine = record;
        LogLineAnswered = true;
        Guarded([] { Form1->Timer4Timer(); });
    }

    QTemporaryDir dir;
    QString logs;
    sim::BusSimulator bus;
    ScopedLocale timeLocale{LC_TIME, "ru_RU.UTF-8"};
    ScopedLocale messages{LC_MESSAGES, "C"};
};

struct AppendFault {
    const char* what;
    const char* message;
};

TEST_F(DataLogFaultTest, FailedAppendLeavesTheFileAsItWasAndTheNextOneGoesOn)
{
    const AppendFault faults[] = {
        {"size limit inside the record", "File too large."},
        {"size limit at the end of the file", "File too large."},
        {"folder replaced by a file", "Not a directory."},
        {"folder gone", "No such file or directory."},
    };
    StartLog();
    Append(Record("14:06:00", "25.3"));
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QString name = LogFileName;
    QByteArray expected = Bytes(LogHeaderText()) + Bytes(Record("14:06:00", "25.3"));
    ASSERT_TRUE(SameBytes(ReadAll(name), expected));

    int minute = 7;
    for (const AppendFault& fault : faults) {
        SCOPED_TRACE(fault.what);
        errors.clear();
        const QString lost = Record(qPrintable(QString("14:%1:00").arg(minute++, 2, 10, QChar('0'))), "-0.1");
        const QString moved = dir.path() + "/moved";
        const QString what = fault.what;
        if (what.startsWith("size limit")) {
            const rlim_t room = what.endsWith("record") ? 40 : 0;
            FileSizeLimit limit(static_cast<rlim_t>(expected.size()) + room);
            ASSERT_TRUE(limit.ok());
            Append(lost);
        } else {
            ASSERT_TRUE(QDir().rename(logs, moved));
            if (what.contains("file")) {
                QFile plain(logs);
                ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
            }
            Append(lost);
            QFile::remove(logs);
            ASSERT_TRUE(QDir().rename(moved, logs));
        }
        ASSERT_EQ(errors, QStringList{fault.message});
        EXPECT_TRUE(SameBytes(ReadAll(name), expected)) << "a failed write left bytes behind or lost some";
        EXPECT_TRUE(Form1->Timer4->isActive());

        // The cause is gone: the next record follows the old ones directly.
        const QString next = Record(qPrintable(QString("14:%1:00").arg(minute++, 2, 10, QChar('0'))), "25.4");
        Append(next);
        EXPECT_EQ(errors.size(), 1) << errors.join('\n').toStdString();
        expected += Bytes(next);
        EXPECT_TRUE(SameBytes(ReadAll(name), expected));
        EXPECT_EQ(DescriptorsUnder(logs), 0);
    }
}

TEST_F(DataLogFaultTest, HeaderCutShortLeavesAnEmptyFileThatTheNextHeaderFills)
{
    StartLog(100);  // the header takes 154 bytes
    ASSERT_EQ(errors, QStringList{"File too large."});
    const QString name = LogFileName;
    EXPECT_TRUE(SameBytes(ReadAll(name), QByteArray()));
    EXPECT_FALSE(Form1->Timer4->isActive()) << "the header's handler ends at its failing step";
    EXPECT_EQ(DescriptorsUnder(logs), 0);

    // Ticked again within the same second: the same name, and the header
    // goes into the empty file whole.
    Form1->CheckBox1->setChecked(false);
    StartLog();
    ASSERT_EQ(LogFileName, name);
    Append(Record("14:06:00", "25.3"));
    EXPECT_EQ(errors.size(), 1) << errors.join('\n').toStdString();
    EXPECT_TRUE(SameBytes(ReadAll(name), Bytes(LogHeaderText()) + Bytes(Record("14:06:00", "25.3"))));
}

TEST_F(DataLogFaultTest, RemovedFileFailsAtEveryTickUntilANewFileIsStarted)
{
    StartLog();
    Append(Record("14:06:00", "25.3"));
    const QString removed = LogFileName;
    ASSERT_TRUE(QFile::remove(removed));
    for (int tick = 0; tick < 3; ++tick)
        Append(Record("14:07:00", "25.3"));
    EXPECT_EQ(errors, QStringList(3, "No such file or directory."));
    EXPECT_FALSE(QFile::exists(removed)) << "an append must never create the file";

    // Ticking the box again starts a new file, and logging goes on there.
    SetClockSource([] { return LocalMoment(14, 8, 1); });
    Form1->CheckBox1->setChecked(false);
    StartLog();
    Append(Record("14:09:00", "25.5"));
    EXPECT_EQ(errors.size(), 3) << errors.join('\n').toStdString();
    EXPECT_NE(LogFileName, removed);
    EXPECT_TRUE(SameBytes(ReadAll(LogFileName), Bytes(LogHeaderText()) + Bytes(Record("14:09:00", "25.5"))));
}
