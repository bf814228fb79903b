// What a chamber answers to a control frame, end to end through the
// simulated line: its echo confirms the command; an exception reply refuses
// it; silence, a bad CRC and an echo of another address, register or count
// confirm nothing. The control window, the journal and the confirmation
// signal each say which; the frames and the pause after each stay as they
// always were.
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/Commands.h"
#include "link/PortUnit.h"
#include "link/Waits.h"
#include "monitoring/ActionJournal.h"
#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "support/JournalRecords.h"
#include "support/Sanitizers.h"
#include "ui/AlarmCenter.h"
#include "ui/Unit3.h"
#include "ui/main.h"

using namespace std::chrono_literals;

namespace {


std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

// The bytes with their CRC appended, low byte first.
std::vector<uint8_t> WithCrc(std::vector<uint8_t> bytes)
{
    bytes.resize(bytes.size() + 2);
    AppendCrc(bytes.data(), bytes.size() - 2);
    return bytes;
}

struct Confirmation {
    int address;
    ConfirmedCommand what;
};

}  // namespace

class ConfirmFixture : public AppFixture {
protected:
    // Long enough for the simulator to answer within a shortened pause even
    // under the thread sanitizer.
    explicit ConfirmFixture(double timeScale = SanitizedTimeScale(0.2)) : AppFixture(timeScale) {}

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        m_runFolder = JournalFolder();
        SetJournalFolder(dir.path());
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        bus.SetSpeed(0);
        ASSERT_TRUE(bus.AddChamber(1));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        ChamberAddress = 1;
        QObject::connect(Form3, &TForm3::CommandConfirmed, [this](int address, ConfirmedCommand what) {
            confirmations.push_back({address, what});
        });
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
        SetJournalFolder(m_runFolder);
    }

    // Program 2: three steps, written while the chamber answers well, so
    // that a program start has something to start.
    void WriteProgramTwo()
    {
        FillProgram(2);
        Form3->Button1->click();
        ASSERT_TRUE(bus.WaitUntilIdle(5000ms));
        bus.ClearReceivedFrames();
    }
    static void FillProgram(int program)
    {
        Form3->ComboBox1->setCurrentIndex(program - 1);
        Form3->Edit1->setText("3");
        Form3->Edit2->setText("125");
        const char* rows[3][6] = {
            {"-40", "1", "30", "0", "45", "0"}, {"25", "0", "10", "0", "5", "50"}, {"0", "2", "0", "1", "0", "98"}};
        for (int row = 1; row <= 3; ++row)
            for (int column = 1; column <= 6; ++column)
                Form3->SetCells(column, row, rows[row - 1][column - 1]);
    }

    std::vector<std::string> FramesSent()
    {
        EXPECT_TRUE(bus.WaitUntilIdle(5000ms));
        std::vector<std::string> lines;
        for (const sim::LineFrame& f : bus.ReceivedFrames())
            lines.push_back(sim::HexBytes(f.bytes));
        return lines;
    }

    QTemporaryDir dir;
    sim::BusSimulator bus;
    std::vector<Confirmation> confirmations;

private:
    QString m_runFolder;
};

// ---- The answer to each command ----------------------------------------

struct AnswerCase {
    const char* name;
    std::function<void(sim::Faults&)> fault;
    const char* answer;
    bool confirmed;
};

std::ostream& operator<<(std::ostream& os, const AnswerCase& c) { return os << c.name; }

class CommandAnswerTest : public ConfirmFixture, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(CommandAnswerTest, WindowJournalAndSignalSayWhatTheChamberAnswered)
{
    const AnswerCase& c = GetParam();
    WriteProgramTwo();
    sim::Faults faults;
    c.fault(faults);
    ASSERT_TRUE(bus.SetFaults(1, faults));

    struct Command {
        const char* name;
        std::function<void()> act;
        QPushButton* button;
        const char* frame;  // exactly as it always went out
        std::optional<ConfirmedCommand> what;
    };
    const std::vector<Command> commands{
        {"manual start", [] { Form3->Button2->click(); }, Form3->Button2, "01 10 00 10 00 01 02 00 01 65 00",
         ConfirmedCommand::ManualStart},
        {"manual stop", [] { Form3->Button3->click(); }, Form3->Button3, "01 10 00 10 00 01 02 00 02 25 01",
         ConfirmedCommand::Stop},
        {"set points",
         [] {
             Form3->Edit3->setText("-20");
             Form3->Edit4->setText("50");
             Form3->Button4->click();
         },
         Form3->Button4, "01 10 00 0D 00 03 06 00 14 00 32 00 02 67 77", std::nullopt},
        {"program start",
         [] {
             Form3->ComboBox2->setCurrentIndex(1);
             Form3->Button5->click();
         },
         Form3->Button5, "01 10 00 11 00 02 04 00 01 00 02 E3 6E", ConfirmedCommand::ProgramStart},
        {"program stop", [] { Form3->Button6->click(); }, Form3->Button6, "01 10 00 11 00 01 02 00 02 24 D0",
         ConfirmedCommand::Stop},
    };
    for (const Command& command : commands) {
        bus.ClearReceivedFrames();
        confirmations.clear();
        const size_t recordsBefore = CommandJournalRecords(dir.path()).size();
        command.act();
        ASSERT_TRUE(errors.isEmpty()) << command.name << ": " << errors.join("; ").toStdString();
        EXPECT_EQ(FramesSent(), std::vector<std::string>{command.frame}) << command.name;

        const QString answer = QString::fromUtf8(c.answer);
        EXPECT_EQ(Form3->LabelAnswer->text(), command.button->text() + ": " + answer) << command.name;

        // The record as the frame went out, then the one with the answer.
        const std::vector<JournalRecord> records = CommandJournalRecords(dir.path());
        ASSERT_EQ(records.size(), recordsBefore + 2) << command.name;
        const JournalRecord& sent = records[records.size() - 2];
        const JournalRecord& answered = records.back();
        EXPECT_EQ(sent.outcome, "отправлено") << command.name;
        EXPECT_EQ(answered.outcome, answer) << command.name;
        EXPECT_EQ(answered.action, sent.action) << command.name;
        EXPECT_EQ(answered.newValue, sent.newValue) << command.name;
        EXPECT_EQ(answered.chamber, "1") << command.name;

        // A confirmed start arms the chamber's deviation alarms, a confirmed
        // stop disarms them; an answer that confirms nothing leaves them.
        if (command.what)
            EXPECT_EQ(AlarmCenter->Arming(1).armed, c.confirmed && *command.what != ConfirmedCommand::Stop)
                << command.name;
        if (c.confirmed && command.what) {
            ASSERT_EQ(confirmations.size(), 1u) << command.name;
            EXPECT_EQ(confirmations[0].address, 1) << command.name;
            EXPECT_EQ(confirmations[0].what, *command.what) << command.name;
        } else {
            EXPECT_TRUE(confirmations.empty()) << command.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CommandAnswerTest,
    ::testing::Values(
        AnswerCase{"echo", [](sim::Faults&) {}, "подтверждено камерой", true},
        AnswerCase{"echo_in_pieces", [](sim::Faults& f) { f.chunkSizes = {3, 2}; }, "подтверждено камерой", true},
        // Noise that begins like the echo itself.
        AnswerCase{"echo_after_noise", [](sim::Faults& f) { f.noiseBytes = {0x01, 0x10, 0x00}; },
                   "подтверждено камерой", true},
        AnswerCase{"exception", [](sim::Faults& f) { f.writeException = 4; }, "камера отказала: исключение 4",
                   false},
        AnswerCase{"silence", [](sim::Faults& f) { f.silent = true; }, "нет ответа камеры", false},
        AnswerCase{"echo_with_bad_crc", [](sim::Faults& f) { f.badCrc = true; }, "нет ответа камеры", false},
        AnswerCase{"echo_of_another_address", [](sim::Faults& f) { f.echo = sim::Faults::Echo::OtherAddress; },
                   "нет ответа камеры", false},
        AnswerCase{"echo_of_another_register", [](sim::Faults& f) { f.echo = sim::Faults::Echo::OtherRegister; },
                   "нет ответа камеры", false},
        AnswerCase{"echo_of_another_count", [](sim::Faults& f) { f.echo = sim::Faults::Echo::OtherCount; },
                   "нет ответа камеры", false}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

// ---- A program, frame by frame ------------------------------------------

class ProgramAnswerTest : public ConfirmFixture {};

TEST_F(ProgramAnswerTest, SaysWhichStepsWereNotConfirmed)
{
    const struct {
        const char* name;
        std::function<void(sim::Faults&)> fault;
        const char* answer;
    } cases[] = {
        {"every step echoed", [](sim::Faults&) {}, "подтверждено камерой"},
        // The first two frames go unheard, the third is echoed.
        {"first two unheard", [](sim::Faults& f) { f.answerFrom = 3; }, "шаги 1–2: нет ответа камеры"},
        {"every step refused", [](sim::Faults& f) { f.writeException = 3; },
         "шаги 1–3: камера отказала: исключение 3"},
    };
    for (const auto& c : cases) {
        sim::Faults faults;
        c.fault(faults);
        ASSERT_TRUE(bus.SetFaults(1, faults));
        ASSERT_TRUE(bus.ResetRequestCount(1));
        bus.ClearReceivedFrames();
        FillProgram(4);
        Form3->Button1->click();
        ASSERT_TRUE(errors.isEmpty()) << c.name << ": " << errors.join("; ").toStdString();
        const std::vector<std::string> frames = FramesSent();
        ASSERT_EQ(frames.size(), 3u) << c.name << ": every step goes out, whatever became of the one before";
        EXPECT_EQ(Form3->LabelAnswer->text(), Form3->Button1->text() + ": " + QString::fromUtf8(c.answer)) << c.name;
        EXPECT_EQ(CommandJournalRecords(dir.path()).back().outcome, QString::fromUtf8(c.answer)) << c.name;
        EXPECT_EQ(CommandJournalRecords(dir.path()).back().action, "Запись программы") << c.name;
    }
    // A program write is never announced as a start or a stop.
    EXPECT_TRUE(confirmations.empty());
}

TEST(ProgramAnswerText, RunsOfStepsWithTheSameAnswer)
{
    const FrameAnswer ok{FrameAnswer::Kind::Confirmed, 0};
    const FrameAnswer none{FrameAnswer::Kind::NoAnswer, 0};
    const FrameAnswer refused3{FrameAnswer::Kind::Refused, 3};
    const FrameAnswer refused4{FrameAnswer::Kind::Refused, 4};
    const struct {
        std::vector<FrameAnswer> answers;
        const char* text;
    } cases[] = {
        {{ok}, "подтверждено камерой"},
        {{ok, ok, ok}, "подтверждено камерой"},
        {{none}, "шаг 1: нет ответа камеры"},
        {{ok, none, ok}, "шаг 2: нет ответа камеры"},
        {{ok, none, none, refused3, ok, refused3, refused3},
         "шаги 2–3: нет ответа камеры; шаг 4: камера отказала: исключение 3; шаги 6–7: камера отказала: исключение 3"},
        {{refused3, refused4}, "шаг 1: камера отказала: исключение 3; шаг 2: камера отказала: исключение 4"},
        {{FrameAnswer{FrameAnswer::Kind::NotSent, 0}, ok}, "шаг 1: не отправлено: порт не открыт"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgramAnswerText(c.answers), QString::fromUtf8(c.text));
    EXPECT_FALSE(AllConfirmed({}));
}

// ---- Without a port -----------------------------------------------------

TEST_F(ConfirmFixture, WithoutAPortNothingIsConfirmed)
{
    ClosePort();
    const size_t before = CommandJournalRecords(dir.path()).size();
    Form3->Button2->click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    EXPECT_EQ(Form3->LabelAnswer->text(), Form3->Button2->text() + ": не отправлено: порт не открыт");
    // Nothing went out, so there is no answer to record.
    const std::vector<JournalRecord> records = CommandJournalRecords(dir.path());
    ASSERT_EQ(records.size(), before + 1);
    EXPECT_EQ(records.back().outcome, "не отправлено: порт не открыт");
    EXPECT_TRUE(confirmations.empty());
    EXPECT_FALSE(bus.WaitForReceivedFrames(1, 200ms));
}

// ---- At the real pause ----------------------------------------------------

class ConfirmRealPauseTest : public ConfirmFixture {
protected:
    ConfirmRealPauseTest() : ConfirmFixture(1.0) {}
};

// The pause after a frame is 500 ms however soon the echo comes, and an echo
// that comes late within it still confirms; one after it does not.
TEST_F(ConfirmRealPauseTest, EchoIsTakenWithinTheWholePause)
{
    const struct {
        int lateMs;
        const char* answer;
    } cases[] = {{0, "подтверждено камерой"}, {300, "подтверждено камерой"}, {700, "нет ответа камеры"}};
    for (const auto& c : cases) {
        sim::Faults faults;
        faults.extraDelay = std::chrono::milliseconds(c.lateMs);
        ASSERT_TRUE(bus.SetFaults(1, faults));
        bus.ClearReceivedFrames();
        confirmations.clear();
        QElapsedTimer timer;
        timer.start();
        Form3->Button3Click();
        const qint64 took = timer.elapsed();
        EXPECT_GE(took, 500) << c.lateMs;
        EXPECT_EQ(Form3->LabelAnswer->text(), Form3->Button3->text() + ": " + QString::fromUtf8(c.answer))
            << c.lateMs;
        EXPECT_EQ(confirmations.size(), c.lateMs < 500 ? 1u : 0u) << c.lateMs;
        // The late echo has come and gone before the next command.
        ASSERT_TRUE(bus.WaitUntilIdle(5000ms));
        EXPECT_EQ(FramesSent().size(), 1u);
    }
}

// The program closing (a signal) ends a command's wait for its answer and
// the pause after it at once, as it ends every other wait: a program to a
// silent chamber would hold the window 15 x 500 ms.
TEST_F(ConfirmRealPauseTest, ClosingEndsTheWaitAtOnce)
{
    sim::Faults silent;
    silent.silent = true;
    ASSERT_TRUE(bus.SetFaults(1, silent));
    FillProgram(5);
    Form3->Edit1->setText("15");
    for (int row = 4; row <= 15; ++row)
        for (int column = 1; column <= 6; ++column)
            Form3->SetCells(column, row, "1");
    PrepareAbandon();
    std::thread closer([] {
        std::this_thread::sleep_for(1200ms);
        AbandonWaits();
    });
    QElapsedTimer timer;
    timer.start();
    Form3->Button1Click();
    const qint64 took = timer.elapsed();
    closer.join();
    ResumeWaits();
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(Form3->LabelAnswer->text().contains("нет ответа камеры")) << Form3->LabelAnswer->text().toStdString();
}

// ---- The answer in the bytes ---------------------------------------------

struct ScanCase {
    const char* name;
    std::vector<uint8_t> bytes;
    bool portLost;
    WholeReply::Outcome outcome;
    int exception;
};

std::ostream& operator<<(std::ostream& os, const ScanCase& c) { return os << c.name; }

class WriteReplyScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(WriteReplyScanTest, OnlyTheEchoOfThisWriteConfirmsIt)
{
    // Manual start to chamber 1: register 0x0010, one register.
    const std::vector<uint8_t> request = WithCrc(Bytes({0x01, 0x10, 0x00, 0x10, 0x00, 0x01, 0x02, 0x00, 0x01}));
    const ScanCase& c = GetParam();
    const WriteReply reply =
        WriteReplyOf(c.bytes, request.data(), static_cast<int>(request.size()), c.portLost);
    EXPECT_EQ(reply.outcome, c.outcome);
    EXPECT_EQ(reply.ExceptionCode(), c.exception);
    if (c.outcome == WholeReply::Outcome::Answered) {
        EXPECT_EQ(reply.frame, WithCrc(Bytes({0x01, 0x10, 0x00, 0x10, 0x00, 0x01})));
    }
}

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<uint8_t> kEcho = WithCrc(Bytes({0x01, 0x10, 0x00, 0x10, 0x00, 0x01}));

INSTANTIATE_TEST_SUITE_P(
    Bytes, WriteReplyScanTest,
    ::testing::Values(
        ScanCase{"echo", kEcho, false, WholeReply::Outcome::Answered, 0},
        ScanCase{"echo_after_noise", Join(Bytes({0xFF, 0x01, 0x10}), kEcho), false, WholeReply::Outcome::Answered, 0},
        ScanCase{"echo_after_a_wrong_one",
                 Join(WithCrc(Bytes({0x01, 0x10, 0x00, 0x11, 0x00, 0x01})), kEcho), false,
                 WholeReply::Outcome::Answered, 0},
        ScanCase{"exception", WithCrc(Bytes({0x01, 0x90, 0x04})), false, WholeReply::Outcome::Exception, 4},
        ScanCase{"echo_of_another_address", WithCrc(Bytes({0x02, 0x10, 0x00, 0x10, 0x00, 0x01})), false,
                 WholeReply::Outcome::Garbled, 0},
        ScanCase{"echo_of_another_register", WithCrc(Bytes({0x01, 0x10, 0x00, 0x11, 0x00, 0x01})), false,
                 WholeReply::Outcome::Garbled, 0},
        ScanCase{"echo_of_another_count", WithCrc(Bytes({0x01, 0x10, 0x00, 0x10, 0x00, 0x02})), false,
                 WholeReply::Outcome::Garbled, 0},
        ScanCase{"echo_register_high_byte", WithCrc(Bytes({0x01, 0x10, 0x01, 0x10, 0x00, 0x01})), false,
                 WholeReply::Outcome::Garbled, 0},
        ScanCase{"exception_of_another_address", WithCrc(Bytes({0x02, 0x90, 0x04})), false,
                 WholeReply::Outcome::Garbled, 0},
        ScanCase{"echo_with_bad_crc", Bytes({0x01, 0x10, 0x00, 0x10, 0x00, 0x01, 0x00, 0x00}), false,
                 WholeReply::Outcome::Garbled, 0},
        ScanCase{"echo_cut_short", Bytes({0x01, 0x10, 0x00, 0x10, 0x00, 0x01, kEcho[6]}), false,
                 WholeReply::Outcome::Garbled, 0},
        // A read reply's pair is no answer to a write.
        ScanCase{"read_reply", WithCrc(Bytes({0x01, 0x04, 0x02, 0x00, 0x10})), false, WholeReply::Outcome::Garbled,
                 0},
        ScanCase{"nothing", {}, false, WholeReply::Outcome::Silent, 0},
        ScanCase{"nothing_and_the_port_gone", {}, true, WholeReply::Outcome::PortLost, 0},
        ScanCase{"echo_before_the_port_went", kEcho, true, WholeReply::Outcome::Answered, 0}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });
