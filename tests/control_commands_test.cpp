// The control commands end to end: the frames a simulated chamber line
// receives from the control window's buttons, bad operator input that must
// send nothing, and a written program run by the chamber and followed
// through status polls.
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <functional>
#include <chrono>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <vector>

#include "ui/Unit3.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/Unit4.h"
#include "ui/main.h"

using namespace std::chrono_literals;

namespace {

// Register i of a function-0x10 frame (data from byte 7 on).
int Register(const std::vector<uint8_t>& frame, int i) { return frame[7 + 2 * i] * 256 + frame[8 + 2 * i]; }

void SetRow(int row, const std::vector<const char*>& cells)
{
    for (int column = 1; column <= 6; ++column)
        Form3->SetCells(column, row, QString::fromUtf8(cells[column - 1]));
}

const char* const kStep1Frame =
    "01 10 00 00 00 0D 1A 00 02 00 01 00 28 00 01 00 1E 00 00 00 03 00 01 00 01 00 00 00 2D 00 02 00 05 8D 09";

}  // namespace

class ControlBusFixture : public AppFixture {
protected:
    explicit ControlBusFixture(double timeScale = 0.05) : AppFixture(timeScale) {}

    void SetUp() override
    {
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
    }

    // The frames the line has carried, as hex lines, once count have arrived
    // and the chambers have answered.
    std::vector<std::string> Frames(size_t count)
    {
        EXPECT_TRUE(bus.WaitForReceivedFrames(count, 5000ms)) << "expected " << count << " frames";
        EXPECT_TRUE(bus.WaitUntilIdle(5000ms));
        std::vector<std::string> lines;
        for (const sim::LineFrame& f : bus.ReceivedFrames())
            lines.push_back(sim::HexBytes(f.bytes));
        return lines;
    }

    // Proves that nothing went out before: a manual start sent now must be
    // the only frame on the line.
    void ExpectNothingSentBefore(const std::string& what)
    {
        Form3->Button2->click();
        const std::vector<std::string> lines = Frames(1);
        ASSERT_EQ(lines.size(), 1u) << what << ": " << lines.front();
        EXPECT_EQ(lines[0].substr(0, 26), "01 10 00 10 00 01 02 00 01") << what;
        bus.ClearReceivedFrames();
    }

    // The program of the known step frame: program 2, three steps, 125 cycles.
    static void FillProgramTwo()
    {
        Form3->ComboBox1->setCurrentIndex(1);
        Form3->Edit1->setText("3");
        Form3->Edit2->setText("125");
        SetRow(1, {"-40", "1", "30", "0", "45", "0"});
        SetRow(2, {"25", "0", "10", "0", "5", "50"});
        SetRow(3, {"0", "2", "0", "1", "0", "98"});
        // Beyond N: never read, never sent.
        SetRow(4, {"abc", "", "", "", "", ""});
        SetRow(15, {"999", "999", "999", "999", "999", "999"});
    }

    static int ErrorWindowCount()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<TForm4*>(w) && w->isVisible())
                ++n;
        return n;
    }

    sim::BusSimulator bus;
};

class ControlBusTest : public ControlBusFixture {
protected:
    void SetUp() override
    {
        ControlBusFixture::SetUp();
        ChamberAddress = 1;  // as the latest status poll left it
    }
};

// One whole session of the control window, as an operator would run it.
TEST_F(ControlBusTest, FullSession)
{
    FillProgramTwo();
    Form3->Button1->click();
    Form3->Edit3->setText("-20");
    Form3->Edit4->setText("50");
    Form3->Button4->click();
    Form3->Button2->click();
    Form3->Button3->click();
    Form3->ComboBox2->setCurrentIndex(2);  // program 3 was never written: the chamber refuses
    Form3->Button5->click();
    Form3->ComboBox2->setCurrentIndex(1);
    Form3->Button5->click();
    Frames(8);
    bus.WithChamber(1, [](sim::ChamberModel& m) {
        EXPECT_EQ(m.GetMode(), sim::Mode::Program);
        EXPECT_EQ(m.CurrentProgram(), 2);
        EXPECT_EQ(m.ManualTemperature(), -20);
        EXPECT_EQ(m.ManualHumidity(), 50);
        const sim::Program& p = m.GetProgram(2);
        EXPECT_EQ(p.stepCount, 3);
        EXPECT_EQ(p.cycles, 125);
        EXPECT_EQ(p.steps[0].temperature, -40);
        EXPECT_EQ(p.steps[2].temperature, 0);
        EXPECT_EQ(p.steps[2].reachHours, 1);
        EXPECT_FALSE(p.steps[3].defined);
    });
    Form3->Button6->click();
    ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    const std::vector<std::string> lines = Frames(9);
    // Rows 4 to 15 were not sent; the steps carry N = 3, program 2, the
    // signs 1 (below zero) and 2 (zero) and the cycle digits 1, 2, 5.
    const std::vector<std::string> expected = {
        kStep1Frame,
        "01 10 00 00 00 0D 1A 00 02 00 02 00 19 00 00 00 0A 00 32 00 03 00 01 00 02 00 00 00 05 00 02 00 05 "
        "48 D5",
        "01 10 00 00 00 0D 1A 00 02 00 03 00 00 00 02 00 00 00 62 00 03 00 01 00 02 00 01 00 00 00 02 00 05 "
        "DD A7",
        "01 10 00 0D 00 03 06 00 14 00 32 00 02 67 77",
        "01 10 00 10 00 01 02 00 01 65 00",
        "01 10 00 10 00 01 02 00 02 25 01",
        "01 10 00 11 00 02 04 00 01 00 03 22 AE",
        "01 10 00 11 00 02 04 00 01 00 02 E3 6E",
        "01 10 00 11 00 01 02 00 02 24 D0",
    };
    for (const std::string& line : lines)
        std::cout << "  " << line << "\n";
    EXPECT_EQ(lines, expected);
    bus.WithChamber(1, [](sim::ChamberModel& m) { EXPECT_EQ(m.GetMode(), sim::Mode::Stopped); });
}

// A value typed with a fraction, or a program with no slot chosen, is
// refused with the error window; nothing goes out and the fields keep what
// was typed, separator included.
struct RefusedInput {
    const char* name;
    std::function<void()> spoil;
    QPushButton* (*button)();
    std::function<QString()> held;  // the text that must stay as typed
    QString expected;
};

std::ostream& operator<<(std::ostream& os, const RefusedInput& r) { return os << r.name; }

class RefusedInputTest : public ControlBusTest, public ::testing::WithParamInterface<RefusedInput> {};

// Types a text key by key, as the keyboard would, through the field's filter.
void TypeKeys(QLineEdit* field, const QString& text)
{
    field->clear();
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(field, &press);
    }
}

TEST_P(RefusedInputTest, ErrorWindowAndNothingSent)
{
    const RefusedInput& r = GetParam();
    FillProgramTwo();
    Form3->Edit3->setText("10");
    Form3->Edit4->setText("20");
    r.spoil();
    r.button()->click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    EXPECT_EQ(ErrorWindowCount(), 1);
    EXPECT_EQ(r.held(), r.expected);
    ExpectNothingSentBefore(r.name);
}

QPushButton* WriteProgram() { return Form3->Button1; }
QPushButton* WriteSetPoints() { return Form3->Button4; }

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusedInputTest,
    ::testing::Values(
        RefusedInput{"set_point_minus_2_comma_5_typed", [] { TypeKeys(Form3->Edit3, "-2,5"); }, WriteSetPoints,
                     [] { return Form3->Edit3->text(); }, "-2,5"},
        RefusedInput{"set_point_25_comma_5_typed", [] { TypeKeys(Form3->Edit3, "25,5"); }, WriteSetPoints,
                     [] { return Form3->Edit3->text(); }, "25,5"},
        RefusedInput{"humidity_pasted_with_a_point",
                     [] {
                         Form3->Edit4->clear();
                         QApplication::clipboard()->setText("50.5");
                         Form3->Edit4->paste();
                     },
                     WriteSetPoints, [] { return Form3->Edit4->text(); }, "50.5"},
        RefusedInput{"cell_4_comma_5", [] { Form3->SetCells(1, 2, "4,5"); }, WriteProgram,
                     [] { return Form3->Cells(1, 2); }, "4,5"},
        RefusedInput{"steps_typed_2_comma_5", [] { TypeKeys(Form3->Edit1, "2,5"); }, WriteProgram,
                     [] { return Form3->Edit1->text(); }, "2,5"},
        RefusedInput{"cycles_typed_1_point_5", [] { TypeKeys(Form3->Edit2, "1.5"); }, WriteProgram,
                     [] { return Form3->Edit2->text(); }, "1.5"},
        // Program 0 would be written into no slot.
        RefusedInput{"no_program_chosen", [] { Form3->ComboBox1->setCurrentIndex(-1); }, WriteProgram,
                     [] { return QString::number(Form3->ProgramNumber()); }, "0"}),
    [](const ::testing::TestParamInfo<RefusedInput>& info) { return std::string(info.param.name); });

TEST_F(ControlBusTest, TrailingBlankIsNoError)
{
    Form3->Edit3->setText("25 ");
    Form3->Edit4->setText(" 50  ");
    Form3->Button4->click();
    FillProgramTwo();
    Form3->Edit1->setText("1 ");
    Form3->SetCells(1, 1, "-40 ");
    Form3->Button1->click();
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    EXPECT_EQ(ErrorWindowCount(), 0);
    const std::vector<sim::LineFrame> frames = (Frames(2), bus.ReceivedFrames());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Register(frames[0].bytes, 0), 25);
    EXPECT_EQ(Register(frames[0].bytes, 1), 50);
    EXPECT_EQ(Register(frames[1].bytes, 2), 40);   // |T|
    EXPECT_EQ(Register(frames[1].bytes, 6), 1);    // N
    EXPECT_EQ(Register(frames[1].bytes, 8), 1);    // below zero
}

TEST_F(ControlBusTest, NothingSentWithoutProgramChoiceOrAfterAFailedCheck)
{
    Form3->Button5->click();
    ExpectNothingSentBefore("program start without a chosen program");
    Form3->Edit1->setText("3");
    Form3->Edit2->setText("1");
    Form3->Button1->click();
    ExpectNothingSentBefore("fresh table");
    Form3->Edit3->setText("-20");
    Form3->Edit4->setText("99");
    Form3->Button4->click();
    ExpectNothingSentBefore("humidity 99");
    EXPECT_EQ(ErrorWindowCount(), 2);
    EXPECT_TRUE(errors.isEmpty());
}

struct BadInput {
    const char* name;
    QLineEdit* (*field)();  // null: the cell of row 2, column 2
    QString text;
    bool paste;  // through the clipboard instead of typed in whole
};

std::ostream& operator<<(std::ostream& os, const BadInput& b) { return os << b.name; }

class BadInputTest : public ControlBusTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(BadInputTest, ClearErrorAndNothingSent)
{
    const BadInput& b = GetParam();
    Form3->ComboBox1->setCurrentIndex(0);
    Form3->Edit1->setText("2");
    Form3->Edit2->setText("5");
    SetRow(1, {"20", "0", "1", "0", "1", "40"});
    SetRow(2, {"-20", "0", "1", "0", "1", "40"});
    Form3->Edit3->setText("10");
    Form3->Edit4->setText("20");
    if (!b.field) {
        Form3->SetCells(2, 2, b.text);
    } else if (b.paste) {
        b.field()->clear();
        QApplication::clipboard()->setText(b.text);
        b.field()->paste();
    } else {
        b.field()->setText(b.text);
    }
    const bool setPoint = b.field && (b.field() == Form3->Edit3 || b.field() == Form3->Edit4);
    (setPoint ? Form3->Button4 : Form3->Button1)->click();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], QString::fromUtf8("«") + b.text + QString::fromUtf8("» — не целое число."));
    EXPECT_EQ(ErrorWindowCount(), 0);
    ExpectNothingSentBefore(b.name);
}

QLineEdit* Steps() { return Form3->Edit1; }
QLineEdit* Cycles() { return Form3->Edit2; }
QLineEdit* Temperature() { return Form3->Edit3; }
QLineEdit* Humidity() { return Form3->Edit4; }

INSTANTIATE_TEST_SUITE_P(
    Inputs, BadInputTest,
    ::testing::Values(BadInput{"steps_two_to_the_31", Steps, "2147483648", false},
                      BadInput{"cycles_far_beyond", Cycles, "99999999999999999999", false},
                      BadInput{"cycles_lone_plus", Cycles, "+", false},
                      BadInput{"cell_lone_minus", nullptr, "-", false},
                      BadInput{"cell_blanks", nullptr, "   ", false},
                      BadInput{"cell_very_long", nullptr, QString(5000, u'7'), false},
                      BadInput{"cell_fullwidth_digits", nullptr, QString::fromUtf8("\uFF11\uFF12"), false},
                      BadInput{"temperature_below_32_bits", Temperature, "-2147483649", false},
                      BadInput{"humidity_blanks", Humidity, "  ", false},
                      BadInput{"temperature_pasted_arabic_indic", Temperature, QString::fromUtf8("\u0662\u0660"),
                               true},
                      BadInput{"humidity_pasted_two_separators", Humidity, "50,5,5", true},
                      BadInput{"cell_letters", nullptr, "abc", false}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

TEST_F(ControlBusFixture, TargetIsTheLowByteOfChamberAddress)
{
    // Before any poll the address is 0.
    EXPECT_EQ(ChamberAddress, 0);
    Form3->Button2->click();
    ChamberAddress = 257;
    Form3->Button6->click();
    const std::vector<std::string> lines = Frames(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 26), "00 10 00 10 00 01 02 00 01");
    EXPECT_EQ(lines[1], "01 10 00 11 00 01 02 00 02 24 D0");
}

TEST_F(ControlBusTest, CommandWithoutAnOpenPortGoesOnSilently)
{
    ClosePort();
    Form3->Edit3->setText("5");
    Form3->Edit4->setText("5");
    for (QPushButton* b : {Form3->Button2, Form3->Button3, Form3->Button4, Form3->Button6})
        b->click();
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_FALSE(bus.WaitForReceivedFrames(1, 200ms));
}

// With the real pause: a program start without a chosen program returns at
// once, one with a choice holds the window for the 500 ms after its frame.
class ControlRealPauseTest : public ControlBusFixture {
protected:
    ControlRealPauseTest() : ControlBusFixture(1.0) {}
};

TEST_F(ControlRealPauseTest, ProgramStartPausesOnlyWhenItSends)
{
    ChamberAddress = 1;
    QElapsedTimer timer;
    timer.start();
    Form3->Button5Click();
    const qint64 withoutChoice = timer.elapsed();
    Form3->ComboBox2->setCurrentIndex(0);
    timer.restart();
    Form3->Button5Click();
    const qint64 withChoice = timer.elapsed();
    EXPECT_GE(withChoice, 500);
    // A pause would take 500 ms at the least; the bound is only a sanity one.
    EXPECT_LT(withoutChoice, 500);
    EXPECT_EQ(Frames(1).size(), 1u);
}

// A written program run by the chamber, seen through the main window's polls.
class ProgramRunTest : public ControlBusFixture {};

TEST_F(ProgramRunTest, StepsAndCyclesAdvanceToTheEnd)
{
    // Each step: reach at most 1 min, stabilise 1 min; at 60 simulated
    // seconds per real second a step lasts one to two real seconds, some
    // twenty polls.
    bus.SetSpeed(60);
    Form1->ListBox1->addItem(ChamberEntryText(1));
    Form1->ListBox1->setCurrentRow(0);
    Form1->ReadStatus();
    ASSERT_EQ(ChamberAddress, 1);

    Form3->ComboBox1->setCurrentIndex(3);
    Form3->Edit1->setText("3");
    Form3->Edit2->setText("2");
    SetRow(1, {"24", "0", "1", "0", "1", "45"});
    SetRow(2, {"26", "0", "1", "0", "1", "50"});
    SetRow(3, {"23", "0", "1", "0", "1", "45"});
    Form3->Button1->click();
    Form3->ComboBox2->setCurrentIndex(3);
    Form3->Button5->click();
    ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();

    struct Seen {
        QString program, step, cycle;
        bool operator==(const Seen& o) const { return program == o.program && step == o.step && cycle == o.cycle; }
    };
    std::vector<Seen> seen;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
        Form1->ReadStatus();
        const Seen now{Form1->Label17->text(), Form1->Label13->text(), Form1->Label20->text()};
        if (seen.empty() || !(seen.back() == now))
            seen.push_back(now);
        if (seen.size() > 1 && now.program == "0")
            break;
    }
    std::string trace;
    for (const Seen& s : seen)
        trace += (s.program + " " + s.step + " " + s.cycle + "; ").toStdString();

    const std::vector<Seen> expected = {
        {"4", "1(3)", "1(2)"}, {"4", "2(3)", "1(2)"}, {"4", "3(3)", "1(2)"},
        {"4", "1(3)", "2(2)"}, {"4", "2(3)", "2(2)"}, {"4", "3(3)", "2(2)"},
        {"0", "0(0)", "0(0)"},
    };
    ASSERT_EQ(seen.size(), expected.size()) << trace;
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(seen[i] == expected[i]) << trace;
    bus.WithChamber(1, [](sim::ChamberModel& m) { EXPECT_EQ(m.GetMode(), sim::Mode::Stopped); });
}
