// Every action of the main and control windows leaves exactly one journal
// record with its old and new values; a record that cannot be written stops
// the action before anything reaches the line; a journal found broken at
// start is told in the main window; the "Журнал действий" window lists it.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <iostream>
#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>

#include "monitoring/ActionJournal.h"
#include "monitoring/DataLog.h"
#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/JournalRecords.h"
#include "support/FileSizeLimit.h"
#include "support/ReadOnlyFolder.h"
#include "ui/AlarmCenter.h"
#include "services/JournalRecorder.h"
#include "services/Signature.h"
#include "ui/ChangeReason.h"
#include "ui/JournalWindow.h"
#include "ui/ReportSigning.h"
#include "ui/Startup.h"
#include "ui/Unit3.h"
#include "ui/main.h"

using namespace std::chrono_literals;

namespace {


}  // namespace

class JournalActionsTest : public AppFixture {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        m_runFolder = JournalFolder();
        SetJournalFolder(dir.path());
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        ASSERT_TRUE(bus.AddChamber(1));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
        SetJournalFolder(m_runFolder);
    }

    // The records the last action added: exactly one is expected.
    JournalRecord OneNewRecord(const char* what)
    {
        const std::vector<JournalRecord> records = CommandJournalRecords(dir.path());
        EXPECT_EQ(records.size(), m_seen + 1) << what;
        m_seen = records.size();
        return records.empty() ? JournalRecord{} : records.back();
    }

    // A command to a chamber leaves two: as it goes out, and with the
    // chamber's answer once the pause after its frames is over.
    std::pair<JournalRecord, JournalRecord> CommandRecords(const char* what)
    {
        const std::vector<JournalRecord> records = CommandJournalRecords(dir.path());
        EXPECT_EQ(records.size(), m_seen + 2) << what;
        m_seen = records.size();
        if (records.size() < 2)
            return {};
        return {records[records.size() - 2], records.back()};
    }

    // Reading on for chamber 1: one poll fills the set point texts.
    void ReadChamberOne()
    {
        Form1->ListBox1->addItem(QStringLiteral("Камера №1"));
        Form1->ListBox1->setCurrentRow(0);
        Form1->Button6->click();
    }

    QTemporaryDir dir;
    sim::BusSimulator bus;
    size_t m_seen = 0;

private:
    QString m_runFolder;
};

TEST_F(JournalActionsTest, EachActionLeavesOneRecordWithItsValues)
{
    const JournalRecord open = OneNewRecord("port open");
    EXPECT_EQ(open.action, "Открытие порта");
    EXPECT_EQ(open.oldValue, "");
    EXPECT_TRUE(open.newValue.startsWith("COM1")) << open.newValue.toStdString();
    EXPECT_TRUE(open.newValue.contains(QString::fromStdString(bus.SlavePath()))) << open.newValue.toStdString();
    EXPECT_EQ(open.outcome, "выполнено");
    EXPECT_EQ(open.chamber, "");

    ReadChamberOne();
    const JournalRecord reading = OneNewRecord("reading on");
    EXPECT_EQ(reading.action, "Чтение включено");
    EXPECT_EQ(reading.chamber, "1");
    ASSERT_FALSE(SetTempText.isEmpty());
    const QString polled = QStringLiteral("%1 °C, %2 %").arg(SetTempText, SetHumidityText);

    Form1->CheckBox1->click();
    const JournalRecord logOn = OneNewRecord("logging on");
    EXPECT_EQ(logOn.action, "Запись в файл включена");
    EXPECT_EQ(logOn.newValue, FillAddressPlaceholder(LogFileName, 1));
    EXPECT_FALSE(logOn.newValue.contains(u'>')) << logOn.newValue.toStdString();
    Form1->CheckBox1->click();
    const JournalRecord logOff = OneNewRecord("logging off");
    EXPECT_EQ(logOff.action, "Запись в файл выключена");
    EXPECT_EQ(logOff.oldValue, LogFileName);

    struct Case {
        const char* name;
        std::function<void()> act;
        const char* action;
        QString oldValue;
        QString newValue;
        size_t frames;
    };
    const std::vector<Case> cases{
        {"program",
         [] {
             Form3->ComboBox1->setCurrentIndex(1);
             Form3->Edit1->setText("2");
             Form3->Edit2->setText("125");
             const char* rows[2][6] = {{"-40", "1", "30", "0", "45", "0"}, {"25", "0", "10", "0", "5", "50"}};
             for (int r = 1; r <= 2; ++r)
                 for (int c = 1; c <= 6; ++c)
                     Form3->SetCells(c, r, rows[r - 1][c - 1]);
             Form3->Button1->click();
         },
         "Запись программы", "",
         "программа 2, шагов 2, циклов 125; "
         "шаг 1: -40 °C, 0 %, выход на режим 0 ч 45 мин, стабилизация 1 ч 30 мин; "
         "шаг 2: 25 °C, 50 %, выход на режим 0 ч 5 мин, стабилизация 0 ч 10 мин",
         2},
        {"set points",
         [] {
             Form3->Edit3->setText("-20");
             Form3->Edit4->setText("50");
             Form3->Button4->click();
         },
         "Запись уставок", polled, "-20 °C, 50 %", 1},
        {"manual start", [] { Form3->Button2->click(); }, "Пуск", "", "ручной", 1},
        {"manual stop", [] { Form3->Button3->click(); }, "Останов", "", "ручной", 1},
        {"program start",
         [] {
             Form3->ComboBox2->setCurrentIndex(1);
             Form3->Button5->click();
         },
         "Пуск", "", "программа 2", 1},
        // The program the latest poll showed, whichever that was.
        {"program stop", [] { Form3->Button6->click(); }, "Останов", "", "программа *", 1},
    };
    for (const Case& c : cases) {
        bus.ClearReceivedFrames();
        c.act();
        EXPECT_TRUE(errors.isEmpty()) << c.name << ": " << errors.join("; ").toStdString();
        const auto [sent, answered] = CommandRecords(c.name);
        for (const JournalRecord& r : {sent, answered}) {
            EXPECT_EQ(r.action, c.action) << c.name;
            EXPECT_EQ(r.chamber, "1") << c.name;
            EXPECT_EQ(r.oldValue, c.oldValue) << c.name;
            if (c.newValue.endsWith(u'*'))
                EXPECT_TRUE(r.newValue.startsWith(c.newValue.chopped(1))) << r.newValue.toStdString();
            else
                EXPECT_EQ(r.newValue, c.newValue) << c.name;
        }
        EXPECT_EQ(sent.outcome, "отправлено") << c.name;
        EXPECT_EQ(answered.outcome, "подтверждено камерой") << c.name;
        // Polls run meanwhile; count the control frames only.
        ASSERT_TRUE(bus.WaitUntilIdle(5000ms));
        size_t writes = 0;
        for (const sim::LineFrame& f : bus.ReceivedFrames())
            writes += f.bytes.size() > 1 && f.bytes[1] == 0x10;
        EXPECT_EQ(writes, c.frames) << c.name;
    }

    // A program saved and loaded again names the file and its bytes.
    const QString path = dir.path() + "/программа.csv";
    Form3->SaveProgramTo(path);
    const QString sha = QString::fromLatin1(
        QCryptographicHash::hash(ReadFileBytes(path), QCryptographicHash::Sha256).toHex());
    const JournalRecord saved = OneNewRecord("program saved");
    EXPECT_EQ(saved.action, "Сохранение программы в файл");
    EXPECT_EQ(saved.newValue, path + ", SHA-256 " + sha);
    Form3->LoadProgramFrom(path);
    const JournalRecord loaded = OneNewRecord("program loaded");
    EXPECT_EQ(loaded.action, "Загрузка программы из файла");
    EXPECT_EQ(loaded.newValue, path + ", SHA-256 " + sha);

    // Alarm settings: the settings before and after.
    AlarmSettings changed = AlarmCenter->Settings();
    changed.temperatureBand = 3.5;
    AlarmCenter->ApplySettings(changed, true);
    const JournalRecord alarms = OneNewRecord("alarm settings");
    EXPECT_EQ(alarms.action, "Настройка тревог");
    EXPECT_TRUE(alarms.oldValue.contains("±2.0 °C")) << alarms.oldValue.toStdString();
    EXPECT_TRUE(alarms.newValue.contains("±3.5 °C")) << alarms.newValue.toStdString();

    Form1->Button6->click();
    const JournalRecord off = OneNewRecord("reading off");
    EXPECT_EQ(off.action, "Чтение выключено");
    EXPECT_EQ(off.chamber, "1");

    // The window lists them newest first and filters by chamber; with them
    // the arming of chamber 1's deviation alarms its confirmed starts and
    // stops brought (on, off, on, off).
    const int arming = 4;
    FormJournal->show();
    EXPECT_EQ(FormJournal->Table->rowCount(), static_cast<int>(m_seen) + arming);
    EXPECT_EQ(FormJournal->Table->item(0, 5)->text(), "Чтение выключено");
    EXPECT_TRUE(FormJournal->LabelChain->text().startsWith("Цепочка цела")) << FormJournal->LabelChain->text().toStdString();
    FormJournal->ComboChamber->setCurrentIndex(FormJournal->ComboChamber->findText("1"));
    EXPECT_EQ(FormJournal->Table->rowCount(), static_cast<int>(m_seen) + arming - 4);  // port, two files, settings
    // A day of an earlier month is read from that month's file.
    const QString november = JournalMonthFileName(dir.path(), 2026, 11);
    {
        QTemporaryDir other;
        AppendJournal(other.path(), {JournalAction::Stop, "7", "", "ручной", "отправлено"},
                      QDateTime(QDate(2026, 11, 3), QTime(10, 0), Qt::LocalTime));
        ASSERT_TRUE(QFile::copy(JournalFileName(other.path()), november));
    }
    FormJournal->DateDay->setDate(QDate(2026, 11, 3));
    FormJournal->CheckDay->setChecked(true);
    EXPECT_EQ(FormJournal->Table->rowCount(), 0);  // chamber 1 still chosen
    FormJournal->ComboChamber->setCurrentIndex(0);
    ASSERT_EQ(FormJournal->Table->rowCount(), 1);
    EXPECT_EQ(FormJournal->Table->item(0, 4)->text(), "7");
    FormJournal->CheckDay->setChecked(false);
    EXPECT_EQ(FormJournal->Table->rowCount(), static_cast<int>(m_seen) + arming);
    FormJournal->hide();
    QFile::remove(november);

    Form1->close();
    const JournalRecord closed = CommandJournalRecords(dir.path()).back();
    EXPECT_EQ(closed.action, "Закрытие порта");
    EXPECT_EQ(closed.oldValue, open.newValue);
}

TEST_F(JournalActionsTest, ARecordThatCannotBeWrittenSendsNothing)
{
    ChamberAddress = 1;
    // A read-only folder, a full disk and the file size limit: each refuses
    // the command, says why in the error window, and the line stays silent.
    struct Refusal {
        const char* name;
        std::function<std::function<void()>()> arrange;  // returns the undo
        const char* reason;
    };
    const QString journal = JournalFileName(dir.path());
    const std::vector<Refusal> refusals{
        {"read-only folder",
         [&] {
             QFile::remove(journal);
             QFile::remove(JournalLockFileName(dir.path()));
             auto guard = std::make_shared<ReadOnlyFolder>(dir.path());
             if (!guard->ok())
                 return std::function<void()>();
             return std::function<void()>([guard]() mutable { guard.reset(); });
         },
         nullptr},
        {"disk full",
         [&] {
             QFile::remove(journal);
             QFile::link("/dev/full", journal);
             return std::function<void()>([journal] { QFile::remove(journal); });
         },
         "No space left on device"},
        {"file size limit",
         [&] {
             auto limit = std::make_shared<FileSizeLimit>(static_cast<rlim_t>(QFileInfo(journal).size() + 1));
             return std::function<void()>([limit]() mutable { limit.reset(); });
         },
         "File too large"},
    };
    for (const Refusal& r : refusals) {
        const QByteArray before = ReadFileBytes(journal);
        std::function<void()> undo = r.arrange();
        if (!undo) {
            std::cout << r.name << ": skipped, no read-only folder can be made here\n";
            continue;
        }
        bus.ClearReceivedFrames();
        errors.clear();
        Form3->Button2->click();
        Form3->Edit3->setText("10");
        Form3->Edit4->setText("40");
        Form3->Button4->click();
        undo();
        EXPECT_FALSE(bus.WaitForReceivedFrames(1, 1500ms)) << r.name << ": a frame went out";
        ASSERT_EQ(errors.size(), 2) << r.name;
        for (const QString& e : errors) {
            EXPECT_TRUE(e.startsWith("Журнал действий:")) << e.toStdString();
            EXPECT_TRUE(e.contains("действие не выполнено")) << e.toStdString();
            if (r.reason)
                EXPECT_TRUE(e.contains(r.reason)) << e.toStdString();
        }
        if (QFile::exists(journal) && !QFileInfo(journal).isSymLink())
            EXPECT_EQ(ReadFileBytes(journal), before) << r.name;
    }
    // With room again, the same command is recorded and sent.
    errors.clear();
    Form3->Button2->click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    EXPECT_TRUE(bus.WaitForReceivedFrames(1, 5000ms));
    EXPECT_EQ(CommandJournalRecords(dir.path()).back().action, "Пуск");
}

TEST_F(JournalActionsTest, BrokenJournalAtStartIsToldInTheMainWindow)
{
    EXPECT_FALSE(Form1->LabelJournal->isVisible());
    Form3->Button2->click();
    Form3->Button3->click();
    QByteArray bytes = ReadFileBytes(JournalFileName(dir.path()));
    bytes.replace("ручной", "ручнои");
    {
        QFile file(JournalFileName(dir.path()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    DestroyApplicationWindows();
    CreateApplicationWindows(true);
    EXPECT_TRUE(Form1->LabelJournal->isVisible());
    EXPECT_TRUE(Form1->LabelJournal->toolTip().contains("№2")) << Form1->LabelJournal->toolTip().toStdString();
    const QStringList aside = QDir(dir.path()).entryList({"Журнал действий нарушен*"});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(ReadFileBytes(dir.path() + "/" + aside[0]), bytes);
    const std::vector<JournalRecord> records = CommandJournalRecords(dir.path());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].action, "Разрыв цепочки журнала");
}

// "Отметить просмотр…": a signed review of every record up to the newest,
// a record of the chain itself, shown in the window; a wrong password none.
TEST_F(JournalActionsTest, AReviewIsSignedUpToTheNewestRecord)
{
    SetDesktopSignerForTests(std::make_unique<Signer>(dir.path(), [](const QString&, const QString& password) {
        return PamOutcome{password == QLatin1String("right"), password == QLatin1String("right") ? QString() : QStringLiteral("Authentication failure")};
    }));
    Form3->Button2->click();
    const JournalHead before = ReadJournalHead(dir.path());
    ASSERT_GT(before.records, 0);
    QString message;
    EXPECT_FALSE(FormJournal->ReviewAs(QStringLiteral("ivanov"), QStringLiteral("wrong"), &message));
    const JournalHead afterFailure = ReadJournalHead(dir.path());
    ASSERT_TRUE(FormJournal->ReviewAs(QStringLiteral("ivanov"), QStringLiteral("right"), &message)) << message.toStdString();
    const std::vector<Signature> reviews = SignaturesOf(dir.path(), afterFailure.lastHash);
    ASSERT_EQ(reviews.size(), 1u);
    EXPECT_EQ(reviews[0].meaning, SignatureMeaning::Reviewed);
    EXPECT_EQ(reviews[0].subject, JournalReviewSubject(afterFailure.records));
    EXPECT_EQ(reviews[0].login, QStringLiteral("ivanov"));
    // The newest line of the window is the review.
    bool shown = false;
    for (int row = 0; row < FormJournal->Table->rowCount(); ++row)
        for (int column = 0; column < FormJournal->Table->columnCount(); ++column)
            if (const QTableWidgetItem* item = FormJournal->Table->item(row, column))
                shown = shown || item->text().startsWith(QStringLiteral("Просмотрено: "));
    EXPECT_TRUE(shown);
    EXPECT_TRUE(CheckJournal(JournalFileName(dir.path())).ok);
    SetDesktopSignerForTests(nullptr);
}

// "Причина изменения обязательна": switched on (journalled), each change asks
// for the reason, journalled just before the change; a cancelled or empty
// answer sends nothing; switched off, nothing is asked.
TEST_F(JournalActionsTest, AReasonIsAskedAndJournalledBeforeTheChange)
{
    // Off again and the dialog back whatever happens below: nothing else asks.
    struct Restore {
        ~Restore()
        {
            QSettings().remove(QStringLiteral("journal/reasonRequired"));
            SetChangeReasonAnswerForTests(nullptr);
        }
    } restore;
    ReadChamberOne();
    QString answer;
    int asked = 0;
    SetChangeReasonAnswerForTests([&](QString* reason) {
        ++asked;
        *reason = answer;
        return !answer.isEmpty();
    });
    SetChangeReasonRequired(true);
    EXPECT_TRUE(ChangeReasonRequired());
    m_seen = CommandJournalRecords(dir.path()).size() - 1;
    const JournalRecord rule = OneNewRecord("reason switched on");
    EXPECT_EQ(rule.action, JournalActionText(JournalAction::ReasonRequirement));
    EXPECT_EQ(rule.newValue, QStringLiteral("включено"));

    const struct {
        const char* name;
        QPushButton* button;
        JournalAction action;
    } changes[] = {
        {"set points", Form3->Button4, JournalAction::SetPointWrite},
        {"start", Form3->Button2, JournalAction::Start},
        {"stop", Form3->Button3, JournalAction::Stop},
    };
    Form3->Edit3->setText(QStringLiteral("30"));
    Form3->Edit4->setText(QStringLiteral("55"));
    for (const auto& c : changes) {
        // Cancelled: nothing recorded, nothing sent.
        answer.clear();
        bus.ClearReceivedFrames();
        c.button->click();
        EXPECT_EQ(CommandJournalRecords(dir.path()).size(), m_seen) << c.name;
        EXPECT_TRUE(bus.ReceivedFrames().empty() ||
                    std::none_of(bus.ReceivedFrames().begin(), bus.ReceivedFrames().end(),
                                 [](const sim::LineFrame& f) { return f.bytes.size() > 1 && (f.bytes[1] == 0x10 || f.bytes[1] == 0x06); }))
            << c.name;
        answer = QStringLiteral("поверка датчика: %1").arg(QString::fromLatin1(c.name));
        c.button->click();
        const std::vector<JournalRecord> records = CommandJournalRecords(dir.path());
        ASSERT_GE(records.size(), m_seen + 3) << c.name;
        const JournalRecord& why = records[m_seen];
        EXPECT_EQ(why.action, JournalActionText(JournalAction::ChangeReason)) << c.name;
        EXPECT_EQ(why.oldValue, JournalActionText(c.action)) << c.name;
        EXPECT_EQ(why.newValue, answer) << c.name;
        EXPECT_EQ(why.chamber, QStringLiteral("1"));
        EXPECT_EQ(records[m_seen + 1].action, JournalActionText(c.action)) << c.name;
        m_seen = records.size();
    }
    SetChangeReasonRequired(false);
    const int before = asked;
    Form3->Button2->click();
    EXPECT_EQ(asked, before);
    SetChangeReasonAnswerForTests(nullptr);
}
