// The action journal's file: its lines and hashes, every kind of tampering
// found at the right record, a torn last line, writes that cannot be made
// (disk full, file size limit, read-only folder), the month rollover, the
// check at start, two processes appending at once, and the command line check.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "control/Commands.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/HandlerErrors.h"
#include "monitoring/StatusMetrics.h"
#include "support/AppFixture.h"
#include "support/FileSizeLimit.h"
#include "support/ReadOnlyFolder.h"

namespace {

QDateTime Local(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}

JournalEntry Entry(JournalAction action, const QString& chamber, const QString& oldValue, const QString& newValue)
{
    return {action, chamber, oldValue, newValue, JournalOutcomeSent()};
}

QList<QByteArray> Lines(const QByteArray& bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SetJournalIdentityForTests(QStringLiteral("ivanov"), QStringLiteral("lab-pc"));
    }
    void TearDown() override { SetJournalIdentityForTests({}, {}); }

    QString File() const { return JournalFileName(dir.path()); }

    // n set point records, one a minute from 09.12.2026 10:00 local.
    void Fill(int n)
    {
        for (int i = 1; i <= n; ++i)
            AppendJournal(dir.path(),
                          Entry(JournalAction::SetPointWrite, QStringLiteral("1"), QString::number(i),
                                QStringLiteral("%1 °C, 50 %").arg(i)),
                          Local(2026, 12, 9, 10, i, 0));
    }

    QTemporaryDir dir;
};

}  // namespace

TEST_F(JournalTest, LinesAndHashesAreAsDocumented)
{
    AppendJournal(dir.path(), Entry(JournalAction::Start, QStringLiteral("12"), QString(), QStringLiteral("ручной")),
                  Local(2026, 12, 9, 23, 31, 5));
    // A comma, a quote and a line break in one field.
    AppendJournal(dir.path(),
                  Entry(JournalAction::AlarmAcknowledge, QStringLiteral("12"), QStringLiteral("тревога №1: \"T\", выше"),
                        QStringLiteral("проверено\r\nдважды\nснова")),
                  Local(2026, 12, 9, 23, 32, 0));
    const QByteArray bytes = ReadFileBytes(File());
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF#Calvetra journal,"));
    const QList<QByteArray> lines = Lines(bytes);
    ASSERT_EQ(lines.size(), 4);
    for (const QByteArray& line : lines)
        EXPECT_TRUE(line.endsWith('\r'));
    const QByteArray start = lines[0].mid(3 + 18, 64);
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(QString::fromLatin1(start)).hasMatch());
    EXPECT_EQ(QString::fromUtf8(lines[1].chopped(1)), JournalHeaderText());

    QString previous = QString::fromLatin1(start);
    qint64 number = 0;
    for (int i = 2; i < 4; ++i) {
        const QByteArray line = lines[i].chopped(1);
        const QByteArray hashed = line.left(line.lastIndexOf(','));
        const QByteArray own = line.mid(line.lastIndexOf(',') + 1);
        EXPECT_EQ(own, QCryptographicHash::hash(hashed, QCryptographicHash::Sha256).toHex());
        EXPECT_TRUE(hashed.endsWith(',' + previous.toLatin1()));
        EXPECT_TRUE(line.startsWith(QByteArray::number(++number) + ','));
        previous = QString::fromLatin1(own);
    }
    const QDateTime when = Local(2026, 12, 9, 23, 31, 5);
    EXPECT_TRUE(lines[2].startsWith("1," + when.toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzz").toLatin1() +
                                    "Z,2026-12-09T23:31:05.000,ivanov,lab-pc,12,Пуск,,ручной,отправлено,"));
    EXPECT_TRUE(lines[3].contains(",\"тревога №1: \"\"T\"\", выше\",проверено дважды снова,"));

    std::vector<JournalRecord> records;
    const JournalCheck check = CheckJournal(File(), [&](const JournalRecord& r) { records.push_back(r); });
    ASSERT_TRUE(check.ok) << check.problem.toStdString();
    EXPECT_EQ(check.records, 2);
    EXPECT_EQ(check.lastHash, previous);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].oldValue, "тревога №1: \"T\", выше");
    EXPECT_EQ(records[1].newValue, "проверено дважды снова");
    EXPECT_EQ(records[0].action, "Пуск");
    EXPECT_EQ(ReadJournalHead(dir.path()).records, 2);
    EXPECT_EQ(ReadJournalHead(dir.path()).lastHash, previous);
}

namespace {
struct Tamper {
    const char* name;
    // Works on the lines of a six-record file: [0] start, [1] header, [2..7] records 1..6.
    std::function<void(QList<QByteArray>&)> change;
    JournalFault fault;
    qint64 record;
};

void EditField(QByteArray& line, const QByteArray& from, const QByteArray& to) { line.replace(from, to); }

// The line with its own hash made right again, as a forger would.
QByteArray Rehashed(QByteArray line)
{
    line.chop(1);
    const QByteArray hashed = line.left(line.lastIndexOf(','));
    return hashed + ',' + QCryptographicHash::hash(hashed, QCryptographicHash::Sha256).toHex() + '\r';
}
}  // namespace

TEST_F(JournalTest, EveryKindOfTamperingNamesTheRecord)
{
    const std::vector<Tamper> cases{
        {"value changed", [](QList<QByteArray>& l) { EditField(l[4], "3 °C", "4 °C"); }, JournalFault::Changed, 3},
        {"last record changed", [](QList<QByteArray>& l) { EditField(l[7], "ivanov", "petrov"); },
         JournalFault::Changed, 6},
        {"changed and its own hash forged",
         [](QList<QByteArray>& l) {
             EditField(l[4], "3 °C", "4 °C");
             l[4] = Rehashed(l[4]);
         },
         JournalFault::Changed, 4},
        {"record removed", [](QList<QByteArray>& l) { l.removeAt(4); }, JournalFault::Removed, 3},
        {"first record removed", [](QList<QByteArray>& l) { l.removeAt(2); }, JournalFault::Removed, 1},
        {"two records removed", [](QList<QByteArray>& l) { l.remove(3, 2); }, JournalFault::Removed, 2},
        {"line inserted",
         [](QList<QByteArray>& l) {
             QByteArray forged = l[4];
             EditField(forged, "3 °C", "9 °C");
             l.insert(4, Rehashed(forged));
         },
         JournalFault::Inserted, 3},
        {"copy of an earlier record inserted", [](QList<QByteArray>& l) { l.insert(5, l[2]); }, JournalFault::Inserted,
         4},
        {"records swapped", [](QList<QByteArray>& l) { l.swapItemsAt(4, 5); }, JournalFault::Reordered, 3},
        {"record moved to the end", [](QList<QByteArray>& l) { l.move(3, 7); }, JournalFault::Removed, 2},
        {"torn last line", [](QList<QByteArray>& l) { l[7] = l[7].left(50); }, JournalFault::Torn, 6},
        {"garbage line", [](QList<QByteArray>& l) { l[5] = "not a record\r"; }, JournalFault::Damaged, 4},
        {"start value changed", [](QList<QByteArray>& l) { l[0].replace(30, 1, l[0][30] == 'a' ? "b" : "a"); },
         JournalFault::Changed, 1},
        {"header changed", [](QList<QByteArray>& l) { l[1] = "№,UTC\r"; }, JournalFault::NotJournal, 0},
    };
    Fill(6);
    const QByteArray original = ReadFileBytes(File());
    ASSERT_TRUE(CheckJournal(File()).ok);
    for (const Tamper& c : cases) {
        QList<QByteArray> lines = Lines(original);
        c.change(lines);
        QByteArray bytes = lines.join('\n');
        if (c.fault != JournalFault::Torn)
            bytes += '\n';
        const QString path = dir.path() + "/tampered.csv";
        WriteBytes(path, bytes);
        const JournalCheck check = CheckJournal(path);
        EXPECT_FALSE(check.ok) << c.name;
        EXPECT_EQ(static_cast<int>(check.fault), static_cast<int>(c.fault)) << c.name << ": " << check.problem.toStdString();
        EXPECT_EQ(check.badRecord, c.record) << c.name << ": " << check.problem.toStdString();
        if (c.record > 0)
            EXPECT_TRUE(check.problem.contains(QStringLiteral("№%1").arg(c.record))) << check.problem.toStdString();
        EXPECT_GE(check.records, std::max<qint64>(0, c.record - 1)) << c.name;
        EXPECT_LE(check.records, c.record) << c.name;
    }
}

TEST_F(JournalTest, DiskFullAndFileSizeLimitRefuseAndLeaveTheFileAsItWas)
{
    Fill(2);
    const QByteArray before = ReadFileBytes(File());
    {
        const FileSizeLimit limit(static_cast<rlim_t>(before.size() + 10));
        ASSERT_TRUE(limit.ok());
        try {
            Fill(1);
            FAIL() << "a record past the file size limit was taken";
        } catch (const EInOutError& e) {
            EXPECT_TRUE(QString::fromStdString(e.text).startsWith("Журнал действий:")) << e.text;
            EXPECT_TRUE(QString::fromStdString(e.text).contains(QString::fromLocal8Bit(strerror(EFBIG)))) << e.text;
        }
    }
    EXPECT_EQ(ReadFileBytes(File()), before);

    // A full disk: the journal's file is the device that is always full.
    QTemporaryDir full;
    ASSERT_TRUE(QFile::link("/dev/full", JournalFileName(full.path())));
    try {
        AppendJournal(full.path(), Entry(JournalAction::Stop, "1", "", "ручной"));
        FAIL() << "a record on a full disk was taken";
    } catch (const EInOutError& e) {
        EXPECT_TRUE(QString::fromStdString(e.text).contains(QString::fromLocal8Bit(strerror(ENOSPC)))) << e.text;
    }
    // The journal takes records again once there is room.
    Fill(1);
    EXPECT_EQ(CheckJournal(File()).records, 3);
}

TEST_F(JournalTest, ReadOnlyFolderRefuses)
{
    const ReadOnlyFolder readOnly(dir.path());
    if (!readOnly.ok())
        GTEST_SKIP() << "no read-only folder can be made here";
    EXPECT_THROW(Fill(1), EInOutError);
    EXPECT_FALSE(QFile::exists(File()));
}

TEST_F(JournalTest, MonthRolloverCarriesTheHash)
{
    AppendJournal(dir.path(), Entry(JournalAction::Start, "1", "", "ручной"), Local(2026, 11, 30, 23, 59, 59));
    AppendJournal(dir.path(), Entry(JournalAction::Stop, "1", "", "ручной"), Local(2026, 11, 30, 23, 59, 59));
    const QByteArray november = ReadFileBytes(File());
    const JournalCheck last = CheckJournal(File());
    AppendJournal(dir.path(), Entry(JournalAction::Start, "1", "", "программа 2"), Local(2026, 12, 1, 0, 0, 1));

    const QString monthFile = JournalMonthFileName(dir.path(), 2026, 11);
    EXPECT_TRUE(monthFile.endsWith("/Журнал действий 2026-11.csv"));
    EXPECT_EQ(ReadFileBytes(monthFile), november);  // renamed, not rewritten
    const JournalCheck december = CheckJournal(File());
    ASSERT_TRUE(december.ok);
    EXPECT_EQ(december.records, 1);
    EXPECT_EQ(december.startValue, last.lastHash);

    QString text;
    QTextStream out(&text);
    EXPECT_EQ(VerifyJournalFiles({monthFile, File()}, out), 0) << text.toStdString();
    // Out of order, the December file does not continue November's.
    text.clear();
    EXPECT_EQ(VerifyJournalFiles({File(), monthFile}, out), 1);

    // A deleted current file begins again from the newest month's head.
    QFile::remove(File());
    AppendJournal(dir.path(), Entry(JournalAction::Stop, "1", "", "ручной"), Local(2026, 12, 1, 0, 1, 0));
    EXPECT_EQ(CheckJournal(File()).startValue, last.lastHash);
}

// Records that cannot be written wait in memory and follow in the order they
// were made, each with its own time, the chain whole, once the journal can
// be written; a later record never overtakes them.
TEST_F(JournalTest, KeptRecordsAreWrittenLaterInOrderWithTheirTimes)
{
    ForgetKeptJournal();
    Fill(1);
    const QByteArray before = ReadFileBytes(File());
    struct Step {
        const char* newValue;
        QDateTime when;
    };
    const std::vector<Step> steps{{"ручной", Local(2026, 12, 9, 10, 0, 0)},
                                  {"программа 1", Local(2026, 12, 9, 10, 0, 30)},
                                  {"программа 2", Local(2026, 12, 9, 10, 5, 0)}};
    {
        const FileSizeLimit limit(static_cast<rlim_t>(before.size() + 10));
        ASSERT_TRUE(limit.ok());
        for (const Step& step : steps) {
            QString failure;
            EXPECT_FALSE(AppendOrKeepJournal(dir.path(), Entry(JournalAction::Stop, "3", "", step.newValue), step.when,
                                             &failure));
            EXPECT_TRUE(failure.contains(QString::fromLocal8Bit(strerror(EFBIG)))) << failure.toStdString();
        }
        EXPECT_EQ(KeptJournalCount(), 3);
        EXPECT_TRUE(JournalWriteFailure().contains(QString::fromLocal8Bit(strerror(EFBIG))));
        // Still unwritable: nothing is written, nothing lost.
        EXPECT_THROW(WriteKeptJournal(dir.path()), EInOutError);
        EXPECT_THROW(AppendAfterKeptJournal(dir.path(), Entry(JournalAction::Start, "3", "", "ручной")), EInOutError);
        EXPECT_EQ(KeptJournalCount(), 3);
    }
    EXPECT_EQ(ReadFileBytes(File()), before);

    // Room again: the next record comes after the kept ones.
    QString failure;
    EXPECT_TRUE(AppendOrKeepJournal(dir.path(), Entry(JournalAction::ReadingOff, "3", "включено", "выключено"),
                                    Local(2026, 12, 9, 11, 0, 0), &failure));
    EXPECT_EQ(KeptJournalCount(), 0);
    EXPECT_TRUE(JournalWriteFailure().isEmpty());
    std::vector<JournalRecord> records;
    const JournalCheck check = CheckJournal(File(), [&](const JournalRecord& r) { records.push_back(r); });
    ASSERT_TRUE(check.ok) << check.problem.toStdString();
    ASSERT_EQ(records.size(), 5u);
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(records[i + 1].number, static_cast<qint64>(i + 2));
        EXPECT_EQ(records[i + 1].newValue, steps[i].newValue);
        EXPECT_EQ(records[i + 1].local, steps[i].when.toString("yyyy-MM-ddTHH:mm:ss.zzz"));
        EXPECT_EQ(records[i + 1].previousHash, records[i].hash);
    }
    EXPECT_EQ(records[4].action, "Чтение выключено");
    QString text;
    QTextStream out(&text);
    EXPECT_EQ(VerifyJournalFiles({File()}, out), 0) << text.toStdString();
}

// Which actions wait for their record and which go ahead without it.
TEST(JournalActionKinds, ChangesOfAChambersWorkNeedTheirRecord)
{
    const std::vector<std::pair<JournalAction, bool>> cases{
        {JournalAction::ProgramWrite, true},     {JournalAction::SetPointWrite, true},
        {JournalAction::Start, true},            {JournalAction::AlarmSettings, true},
        {JournalAction::Stop, false},            {JournalAction::PortOpen, false},
        {JournalAction::PortClose, false},       {JournalAction::ReadingOn, false},
        {JournalAction::ReadingOff, false},      {JournalAction::LoggingOn, false},
        {JournalAction::LoggingOff, false},      {JournalAction::AlarmAcknowledge, false},
        {JournalAction::ProgramLoad, false},     {JournalAction::ProgramSave, false},
        {JournalAction::DeviationArming, true},  {JournalAction::ChamberSelect, false},
    };
    for (const auto& [action, needs] : cases)
        EXPECT_EQ(JournalActionNeedsRecord(action), needs) << JournalActionText(action).toStdString();
}

// A record of November kept until another copy has begun December's file
// goes into that file: an earlier month never renames the current file.
TEST_F(JournalTest, AnEarlierMonthDoesNotRollTheFileOver)
{
    AppendJournal(dir.path(), Entry(JournalAction::Start, "1", "", "ручной"), Local(2026, 12, 1, 0, 0, 5));
    AppendJournal(dir.path(), Entry(JournalAction::Stop, "1", "", "ручной"), Local(2026, 11, 30, 23, 59, 58));
    EXPECT_FALSE(QFile::exists(JournalMonthFileName(dir.path(), 2026, 12)));
    const JournalCheck check = CheckJournal(File());
    EXPECT_TRUE(check.ok) << check.problem.toStdString();
    EXPECT_EQ(check.records, 2);
}

TEST_F(JournalTest, BrokenJournalAtStartIsSetAsideAndTheBreakRecorded)
{
    Fill(4);
    QList<QByteArray> lines = Lines(ReadFileBytes(File()));
    const JournalCheck whole = CheckJournal(File());
    lines.removeAt(4);  // record 3
    const QByteArray broken = lines.join('\n') + '\n';
    WriteBytes(File(), broken);
    const QString hashOfTwo = QString::fromLatin1(lines[3].chopped(1).right(64));

    QString aside;
    const JournalCheck check = CheckJournalAtStart(dir.path(), &aside, Local(2026, 12, 9, 12, 0, 0));
    EXPECT_FALSE(check.ok);
    EXPECT_EQ(check.badRecord, 3);
    EXPECT_EQ(ReadFileBytes(aside), broken);  // never rewritten
    EXPECT_TRUE(aside.contains("Журнал действий нарушен 2026-12-09 12-00-00"));
    EXPECT_TRUE(JournalBreakMessage(check, aside).contains("№3"));

    std::vector<JournalRecord> records;
    const JournalCheck fresh = CheckJournal(File(), [&](const JournalRecord& r) { records.push_back(r); });
    ASSERT_TRUE(fresh.ok);
    EXPECT_EQ(fresh.startValue, hashOfTwo);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].action, "Разрыв цепочки журнала");
    EXPECT_TRUE(records[0].oldValue.contains("№3"));
    EXPECT_NE(whole.lastHash, fresh.startValue);

    // A whole journal is left alone.
    const QByteArray now = ReadFileBytes(File());
    EXPECT_TRUE(CheckJournalAtStart(dir.path()).ok);
    EXPECT_EQ(ReadFileBytes(File()), now);
}

TEST_F(JournalTest, TornLastLineMeetsTheNextAppend)
{
    Fill(3);
    QByteArray bytes = ReadFileBytes(File());
    bytes.chop(40);
    WriteBytes(File(), bytes);
    Fill(1);
    std::vector<JournalRecord> records;
    ASSERT_TRUE(CheckJournal(File(), [&](const JournalRecord& r) { records.push_back(r); }).ok);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].action, "Разрыв цепочки журнала");
    EXPECT_EQ(records[1].action, "Запись уставок");
    EXPECT_EQ(QDir(dir.path()).entryList({"Журнал действий нарушен*"}).size(), 1);
}

// However the chain stops, the check names the hash of the last record that
// fits, and the file begun after the break continues from it, as its break
// record says.
TEST_F(JournalTest, BreakCarriesTheLastHashThatFits)
{
    Fill(3);
    const QByteArray bytes = ReadFileBytes(File());
    const QList<QByteArray> lines = Lines(bytes);
    const QString hashOfTwo = QString::fromLatin1(lines[3].chopped(1).right(64));
    struct Case {
        const char* name;
        QByteArray file;
        JournalFault fault;
    };
    QByteArray garbage = lines[0] + '\n' + lines[1] + '\n' + lines[2] + '\n' + lines[3] + "\nnot a record\r\n";
    const Case cases[] = {
        {"torn last line", bytes.left(bytes.size() - 40), JournalFault::Torn},
        {"a line that is not a record", garbage, JournalFault::Damaged},
        {"record 3 changed", QByteArray(bytes).replace("3 °C", "4 °C"), JournalFault::Changed},
    };
    for (const Case& c : cases) {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        WriteBytes(File(), c.file);
        const JournalCheck check = CheckJournal(File());
        EXPECT_EQ(check.fault, c.fault) << c.name;
        EXPECT_EQ(check.records, 2) << c.name;
        EXPECT_EQ(check.lastHash, hashOfTwo) << c.name;
        ASSERT_FALSE(CheckJournalAtStart(dir.path(), nullptr, Local(2026, 12, 9, 12, 0, 0)).ok) << c.name;
        EXPECT_EQ(CheckJournal(File()).startValue, hashOfTwo) << c.name;
    }
}

// One of the two writers of TwoProcessesAppendAtOnce, in a process of its own.
TEST_F(JournalTest, DISABLED_AppendMany)
{
    const QString folder = qEnvironmentVariable("CALVETRA_JOURNAL_TEST_DIR");
    ASSERT_FALSE(folder.isEmpty());
    const QString who = qEnvironmentVariable("CALVETRA_JOURNAL_TEST_WHO");
    for (int i = 0; i < 300; ++i)
        AppendJournal(folder, Entry(JournalAction::Start, who, QString::number(i), "ручной"));
}

TEST_F(JournalTest, TwoProcessesAppendAtOnce)
{
    std::vector<std::unique_ptr<QProcess>> writers;
    for (const char* who : {"1", "2"}) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CALVETRA_JOURNAL_TEST_DIR", dir.path());
        env.insert("CALVETRA_JOURNAL_TEST_WHO", who);
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(),
                 {"--gtest_also_run_disabled_tests", "--gtest_filter=JournalTest.DISABLED_AppendMany"});
        writers.push_back(std::move(p));
    }
    for (auto& p : writers) {
        ASSERT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAll().toStdString();
    }
    int fromOne = 0, fromTwo = 0;
    const JournalCheck check = CheckJournal(File(), [&](const JournalRecord& r) {
        (r.chamber == "1" ? fromOne : fromTwo)++;
    });
    ASSERT_TRUE(check.ok) << check.problem.toStdString();
    EXPECT_EQ(check.records, 600);
    EXPECT_EQ(fromOne, 300);
    EXPECT_EQ(fromTwo, 300);
}

TEST_F(JournalTest, CommandLineCheck)
{
    Fill(3);
    const QString good = File();
    QList<QByteArray> lines = Lines(ReadFileBytes(good));
    EditField(lines[2], "1 °C", "7 °C");
    const QString bad = dir.path() + "/bad.csv";
    WriteBytes(bad, lines.join('\n') + '\n');
    const QString program = QCoreApplication::applicationDirPath() + "/calvetra";
    if (!QFile::exists(program))
        GTEST_SKIP() << "no calvetra beside the tests";
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    p.setProcessEnvironment(env);
    p.start(program, {"--verify-journal", good});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(out.contains("записей 3")) << out.toStdString();
    EXPECT_TRUE(out.contains(CheckJournal(good).lastHash)) << out.toStdString();
    p.start(program, {"--verify-journal", good, bad});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    const QString out2 = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(out2.contains("bad.csv: НАРУШЕН")) << out2.toStdString();
    EXPECT_TRUE(out2.contains("запись №1 изменена")) << out2.toStdString();
}

// The chain alone cannot see a removed last record, records appended with
// good hashes or a file hashed anew; a head taken from outside does. A file
// re-saved by another program is named for that, its records still checked.
TEST_F(JournalTest, AHeadFromOutsideFindsWhatTheChainCannot)
{
    Fill(5);
    const QByteArray original = ReadFileBytes(File());
    const JournalCheck whole = CheckJournal(File());
    ASSERT_TRUE(whole.ok);
    QString hash4;
    CheckJournal(File(), [&](const JournalRecord& r) {
        if (r.number == 4)
            hash4 = r.hash;
    });
    // A forger's record: the next number, the last hash, its own hash made
    // right, as this program would write it.
    auto forgedAfter = [&](const QList<QByteArray>&) {
        JournalRecord r;
        r.number = 6;
        r.utc = QStringLiteral("2026-12-09T07:06:00.000Z");
        r.local = QStringLiteral("2026-12-09T10:06:00.000");
        r.operatorName = QStringLiteral("ivanov");
        r.computer = QStringLiteral("lab-pc");
        r.chamber = QStringLiteral("1");
        r.action = JournalActionText(JournalAction::SetPointWrite);
        r.newValue = QStringLiteral("99 °C, 50 %");
        r.outcome = JournalOutcomeSent();
        r.previousHash = whole.lastHash;
        QByteArray line = JournalRecordLine(r);
        line.chop(1);  // the list holds lines without their LF
        return line;
    };
    // Every record rewritten and the chain hashed anew from the start.
    auto rehashedWhole = [](QList<QByteArray>& lines) {
        EditField(lines[3], "2 °C", "8 °C");
        QByteArray previous = lines[0].mid(lines[0].indexOf(',') + 1, 64);
        for (int i = 2; i < lines.size(); ++i) {
            QList<QByteArray> fields = lines[i].split(',');
            QByteArray line = lines[i];
            line.replace(line.size() - 1 - 64 - 1 - 64, 64, previous);
            lines[i] = Rehashed(line);
            previous = lines[i].mid(lines[i].size() - 1 - 64, 64);
        }
    };
    struct Case {
        const char* name;
        std::function<void(QList<QByteArray>&)> change;
        QString head;
        JournalFault fault;
        const char* said;
    };
    const QString head5 = QStringLiteral("5:%1").arg(whole.lastHash);
    const std::vector<Case> cases{
        {"untouched", [](QList<QByteArray>&) {}, head5, JournalFault::None, "совпадает с внешней головой"},
        {"untouched, the endpoint's 16 digits", [](QList<QByteArray>&) {},
         QStringLiteral("5:%1").arg(whole.lastHash.left(16)), JournalFault::None, "совпадает"},
        {"last record removed", [](QList<QByteArray>& l) { l.removeLast(); }, head5, JournalFault::HeadMissing,
         "последняя запись №5 удалена"},
        {"last two removed", [](QList<QByteArray>& l) { l.remove(5, 2); }, head5, JournalFault::HeadMissing,
         "записи №4–№5 удалены с конца"},
        {"a forged record appended", [&](QList<QByteArray>& l) { l.append(forgedAfter(l)); }, head5,
         JournalFault::BeyondHead, "запись №6 после внешней головы не подтверждена"},
        {"the whole file hashed anew", rehashedWhole, head5, JournalFault::HeadForged, "запись №5 не та"},
        {"an older head of a longer file", [](QList<QByteArray>&) {}, QStringLiteral("4:%1").arg(hash4),
         JournalFault::BeyondHead, "запись №5 после внешней головы"},
    };
    for (const Case& c : cases) {
        QList<QByteArray> lines = Lines(original);
        c.change(lines);
        const QString path = dir.path() + "/checked.csv";
        WriteBytes(path, lines.join('\n') + '\n');
        ASSERT_TRUE(CheckJournal(path).ok) << c.name << ": the chain alone finds nothing";
        JournalHead head;
        ASSERT_TRUE(ParseJournalHead(c.head, &head)) << c.name;
        const JournalCheck check = CheckJournalAgainstHead(path, head);
        EXPECT_EQ(check.ok, c.fault == JournalFault::None) << c.name << ": " << check.problem.toStdString();
        EXPECT_EQ(static_cast<int>(check.fault), static_cast<int>(c.fault)) << c.name << ": " << check.problem.toStdString();
        QString text;
        QTextStream out(&text);
        EXPECT_EQ(VerifyJournalFiles({path, QStringLiteral("--head"), c.head}, out), c.fault == JournalFault::None ? 0 : 1)
            << c.name;
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.said))) << c.name << ": " << text.toStdString();
    }
    for (const char* bad : {"5", "x:abc", "0:" "0123456789abcdef", "5:0123456789abcde", "5:0123456789abcdefg"}) {
        JournalHead head;
        EXPECT_FALSE(ParseJournalHead(QString::fromLatin1(bad), &head)) << bad;
        QString text;
        QTextStream out(&text);
        EXPECT_EQ(VerifyJournalFiles({File(), QStringLiteral("--head"), QString::fromLatin1(bad)}, out), 1) << bad;
    }

    // Re-saved: named for what was done, the records still checked.
    const struct {
        const char* name;
        std::function<QByteArray(QByteArray)> resave;
        JournalFault fault;
        const char* said;
    } resaved[] = {
        {"byte-order mark removed", [](QByteArray b) { return b.mid(3); }, JournalFault::ByteOrderMarkRemoved,
         "метка порядка байтов (BOM) удалена"},
        {"line ends converted", [](QByteArray b) { return b.replace("\r\n", "\n"); }, JournalFault::LineEndsConverted,
         "концы строк CR LF заменены на LF"},
        {"both", [](QByteArray b) { return b.mid(3).replace("\r\n", "\n"); }, JournalFault::ByteOrderMarkRemoved,
         "концы строк"},
    };
    for (const auto& c : resaved) {
        const QString path = dir.path() + "/resaved.csv";
        WriteBytes(path, c.resave(original));
        const JournalCheck check = CheckJournal(path);
        EXPECT_FALSE(check.ok) << c.name;
        EXPECT_EQ(static_cast<int>(check.fault), static_cast<int>(c.fault)) << c.name;
        EXPECT_TRUE(check.problem.contains(QString::fromUtf8(c.said))) << c.name << ": " << check.problem.toStdString();
        EXPECT_TRUE(check.problem.contains(QStringLiteral("записи №1–№5 цепочке соответствуют")))
            << c.name << ": " << check.problem.toStdString();
        EXPECT_FALSE(check.problem.contains(QStringLiteral("не журнала"))) << c.name;
    }
    // Re-saved and changed: both said.
    QByteArray changed = original.mid(3);
    changed.replace("3 °C", "9 °C");
    WriteBytes(dir.path() + "/resaved.csv", changed);
    const JournalCheck check = CheckJournal(dir.path() + "/resaved.csv");
    EXPECT_TRUE(check.problem.contains(QStringLiteral("BOM"))) << check.problem.toStdString();
    EXPECT_TRUE(check.problem.contains(QStringLiteral("запись №3 изменена"))) << check.problem.toStdString();
}

TEST_F(JournalTest, MetricsCarryTheHead)
{
    Fill(3);
    const JournalHead head = ReadJournalHead(dir.path());
    WatchedStatus s;
    s.journalRecords = head.records;
    s.journalHead = head.lastHash.left(16);
    const QByteArray text = MetricsText(s, 0);
    EXPECT_TRUE(text.contains("head=\"" + head.lastHash.left(16).toLatin1() + "\"} 3\n")) << text.toStdString();
    EXPECT_FALSE(MetricsText(WatchedStatus{}, 0).contains("calvetra_journal_records"));
    EXPECT_EQ(ReadJournalHead(dir.path() + "/none").records, -1);
}

TEST(JournalTexts, FilterAndProgramText)
{
    std::vector<JournalRecord> records(4);
    const char* chambers[] = {"1", "2", "1", ""};
    const char* days[] = {"2026-12-08T10:00:00.000", "2026-12-09T10:00:00.000", "2026-12-09T11:00:00.000",
                          "2026-12-09T12:00:00.000"};
    for (int i = 0; i < 4; ++i) {
        records[i].number = i + 1;
        records[i].chamber = chambers[i];
        records[i].local = days[i];
    }
    auto numbers = [](const std::vector<JournalRecord>& r) {
        std::vector<qint64> n;
        for (const JournalRecord& x : r)
            n.push_back(x.number);
        return n;
    };
    EXPECT_EQ(numbers(FilterJournalRecords(records, "", QDate())), (std::vector<qint64>{4, 3, 2, 1}));
    EXPECT_EQ(numbers(FilterJournalRecords(records, "1", QDate())), (std::vector<qint64>{3, 1}));
    EXPECT_EQ(numbers(FilterJournalRecords(records, "", QDate(2026, 12, 9))), (std::vector<qint64>{4, 3, 2}));
    EXPECT_EQ(numbers(FilterJournalRecords(records, "1", QDate(2026, 12, 9))), (std::vector<qint64>{3}));

    ProgramTexts texts;
    texts.steps = "2";
    texts.cycles = "125";
    const char* rows[2][6] = {{"-40", "1", "30", "0", "45", "0"}, {"25", "0", "10", "0", "5", "50"}};
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 6; ++c)
            texts.Cell(r, c) = rows[r - 1][c - 1];
    texts.Cell(3, 1) = "99";  // beyond N: not sent, not written
    EXPECT_EQ(ProgramJournalText(2, texts),
              "программа 2, шагов 2, циклов 125; "
              "шаг 1: -40 °C, 0 %, выход на режим 0 ч 45 мин, стабилизация 1 ч 30 мин; "
              "шаг 2: 25 °C, 50 %, выход на режим 0 ч 5 мин, стабилизация 0 ч 10 мин");
}
