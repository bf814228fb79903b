// Hostile operator input in every text the control window takes: numbers a
// careless parser would wrap into valid ones, the edges of the 32-bit range,
// signs and blanks in the wrong places, non-ASCII text pasted past the key
// filter, and very long texts. Each gives its clear error and sends nothing.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <chrono>
#include <gtest/gtest.h>
#include <ostream>
#include <string>

#include "ui/Unit3.h"
#include "monitoring/Monitoring.h"
#include "sim/ChamberSim.h"
#include "support/AppFixture.h"
#include "ui/Unit4.h"
#include "ui/main.h"

using namespace std::chrono_literals;

namespace {

enum class Where { Steps, Cycles, Temperature, Humidity, Cell };
enum class How {
    Set,    // the whole text at once (QLineEdit::setText, or the cell's text)
    Keys,   // typed key by key through the field's filter
    Paste,  // through the clipboard: the filter does not see it
};
enum class Outcome {
    ConversionError,  // the error display names the text
    CheckFails,       // converts, but out of range: the input error window
};

struct BadText {
    const char* name;
    Where where;
    How how;
    QString text;
    Outcome outcome;
    int row = 1;
    int column = 1;
};

std::ostream& operator<<(std::ostream& os, const BadText& b) { return os << b.name; }

QLineEdit* Field(Where where)
{
    switch (where) {
    case Where::Steps:
        return Form3->Edit1;
    case Where::Cycles:
        return Form3->Edit2;
    case Where::Temperature:
        return Form3->Edit3;
    case Where::Humidity:
        return Form3->Edit4;
    default:
        return nullptr;
    }
}

void Type(QWidget* target, QChar c)
{
    const int key = c.isDigit() ? Qt::Key_0 + c.digitValue() : c == u'-' ? Qt::Key_Minus : Qt::Key_unknown;
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(target, &release);
}

QString Times(const QString& piece, int n)
{
    QString text;
    text.reserve(piece.size() * n);
    for (int i = 0; i < n; ++i)
        text += piece;
    return text;
}

int VisibleErrorWindows()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        n += qobject_cast<TForm4*>(w) && w->isVisible();
    return n;
}

}  // namespace

class ControlInputFaultTest : public AppFixture, public ::testing::WithParamInterface<BadText> {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        ASSERT_TRUE(bus.AddChamber(1));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        ChamberAddress = 1;

        // A program and set points that pass; the case spoils one text.
        Form3->ComboBox1->setCurrentIndex(0);
        Form3->Edit1->setText("2");
        Form3->Edit2->setText("5");
        const char* rows[2][6] = {{"20", "0", "1", "0", "1", "40"}, {"-20", "0", "1", "0", "1", "40"}};
        for (int row = 1; row <= 2; ++row)
            for (int column = 1; column <= 6; ++column)
                Form3->SetCells(column, row, rows[row - 1][column - 1]);
        Form3->Edit3->setText("10");
        Form3->Edit4->setText("20");
        Form3->show();
    }
    void TearDown() override
    {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<TForm4*>(w))
                delete w;
        AppFixture::TearDown();
        bus.Stop();
    }

    // Puts the text where the case says, the way it says; returns the text
    // the window then holds there.
    static QString Enter(const BadText& b)
    {
        if (b.where != Where::Cell) {
            QLineEdit* field = Field(b.where);
            field->clear();
            if (b.how == How::Set) {
                field->setText(b.text);
            } else if (b.how == How::Keys) {
                for (QChar c : b.text)
                    Type(field, c);
            } else {
                QApplication::clipboard()->setText(b.text);
                field->paste();
            }
            return field->text();
        }
        if (b.how == How::Set) {
            Form3->SetCells(b.column, b.row, b.text);
        } else {
            // The cell's own editor, opened in place as a typed key would.
            QTableWidget* grid = Form3->StringGrid1;
            grid->setCurrentCell(b.row, b.column);
            grid->editItem(grid->item(b.row, b.column));
            auto* editor = grid->viewport()->findChild<QLineEdit*>();
            EXPECT_NE(editor, nullptr);
            if (!editor)
                return {};
            editor->selectAll();
            if (b.how == How::Keys) {
                for (QChar c : b.text)
                    Type(editor, c);
            } else {
                QApplication::clipboard()->setText(b.text);
                editor->paste();
            }
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
            QCoreApplication::sendEvent(editor, &enter);
            Pump(20);
        }
        return Form3->Cells(b.column, b.row);
    }

    // A manual stop sent now must be the only frame on the line.
    void ExpectNothingSentBefore()
    {
        Form3->Button3->click();
        ASSERT_TRUE(bus.WaitForReceivedFrames(1, 5s));
        ASSERT_TRUE(bus.WaitUntilIdle(5s));
        const auto frames = bus.ReceivedFrames();
        ASSERT_EQ(frames.size(), 1u) << sim::HexBytes(frames.front().bytes);
        EXPECT_EQ(sim::HexBytes(frames[0].bytes), "01 10 00 10 00 01 02 00 02 25 01");
    }

    sim::BusSimulator bus;
};

TEST_P(ControlInputFaultTest, ClearErrorAndNothingSent)
{
    const BadText& b = GetParam();
    const QString held = Enter(b);
    ASSERT_FALSE(held.isEmpty());
    const bool setPoint = b.where == Where::Temperature || b.where == Where::Humidity;
    (setPoint ? Form3->Button4 : Form3->Button1)->click();

    if (b.outcome == Outcome::ConversionError) {
        ASSERT_EQ(errors.size(), 1);
        // The text exactly as the field holds it, whatever its length or
        // script; only a NUL is shown by its symbol.
        QString shown = QString::fromUtf8("«") + held + QString::fromUtf8("» — не целое число.");
        shown.replace(QChar(0), QChar(0x2400));
        EXPECT_TRUE(errors[0] == shown)
            << "shown: " << errors[0].left(80).toStdString() << " (" << errors[0].size() << " characters)";
        EXPECT_EQ(VisibleErrorWindows(), 0);
    } else {
        EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").left(200).toStdString();
        EXPECT_EQ(VisibleErrorWindows(), 1);
    }
    ExpectNothingSentBefore();
    // The operator's text stays for correcting.
    EXPECT_EQ(b.where == Where::Cell ? Form3->Cells(b.column, b.row) : Field(b.where)->text(), held);
}

BadText InCell(const char* name, int row, int column, How how, const QString& text, Outcome outcome)
{
    return {name, Where::Cell, how, text, outcome, row, column};
}

const Outcome kConv = Outcome::ConversionError;
const Outcome kRange = Outcome::CheckFails;

INSTANTIATE_TEST_SUITE_P(
    WrapAround, ControlInputFaultTest,
    ::testing::Values(
        // 2^32 + 5, 2^32 + 1, 2^64 + 5, -2^32 + 20, 2^32 + 50: each wraps to an
        // allowed value in 32 or 64 bits.
        BadText{"steps_2_to_32_plus_5", Where::Steps, How::Keys, "4294967301", kConv},
        BadText{"cycles_2_to_32_plus_1", Where::Cycles, How::Set, "4294967297", kConv},
        InCell("cell_2_to_64_plus_5", 1, 2, How::Set, "18446744073709551621", kConv),
        BadText{"temperature_minus_2_to_32_plus_20", Where::Temperature, How::Keys, "-4294967276", kConv},
        BadText{"humidity_2_to_32_plus_50", Where::Humidity, How::Paste, "4294967346", kConv}),
    [](const ::testing::TestParamInfo<BadText>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RangeEdges, ControlInputFaultTest,
    ::testing::Values(BadText{"steps_int_max", Where::Steps, How::Set, "2147483647", kRange},
                      BadText{"cycles_int_min", Where::Cycles, How::Keys, "-2147483648", kRange},
                      BadText{"temperature_int_min", Where::Temperature, How::Set, "-2147483648", kRange},
                      BadText{"humidity_int_max_with_plus", Where::Humidity, How::Paste, "+2147483647", kRange},
                      InCell("cell_temperature_int_min", 2, 1, How::Set, "-2147483648", kRange),
                      InCell("cell_humidity_int_max", 1, 6, How::Keys, "2147483647", kRange)),
    [](const ::testing::TestParamInfo<BadText>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SignsAndBlanks, ControlInputFaultTest,
    ::testing::Values(BadText{"steps_plus_then_minus", Where::Steps, How::Paste, "+-5", kConv},
                      BadText{"cycles_double_minus", Where::Cycles, How::Keys, "--5", kConv},
                      BadText{"humidity_minus_after_digits", Where::Humidity, How::Keys, "5-", kConv},
                      BadText{"temperature_minus_blank_digit", Where::Temperature, How::Paste, "- 5", kConv},
                      BadText{"temperature_lone_minus", Where::Temperature, How::Keys, "-", kConv},
                      BadText{"humidity_lone_plus", Where::Humidity, How::Paste, "+", kConv},
                      BadText{"steps_blank", Where::Steps, How::Paste, " ", kConv},
                      BadText{"cycles_no_break_space", Where::Cycles, How::Paste, QString::fromUtf8("\u00A05"), kConv},
                      BadText{"steps_ideographic_space", Where::Steps, How::Paste, QString::fromUtf8("\u30005"), kConv},
                      InCell("cell_blank_between_digits", 2, 3, How::Paste, "7 5", kConv),
                      InCell("cell_tab_in_front", 1, 4, How::Set, "\t7", kConv),
                      InCell("cell_blank_and_plus", 2, 5, How::Keys, " +", kConv)),
    [](const ::testing::TestParamInfo<BadText>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    PastedPastTheFilter, ControlInputFaultTest,
    ::testing::Values(
        BadText{"steps_fullwidth_five", Where::Steps, How::Paste, QString::fromUtf8("\uFF15"), kConv},
        BadText{"cycles_cyrillic", Where::Cycles, How::Paste, QString::fromUtf8("пять"), kConv},
        BadText{"temperature_math_bold_five", Where::Temperature, How::Paste, QString::fromUtf8("\U0001D7D3"), kConv},
        BadText{"humidity_superscript_two", Where::Humidity, How::Paste, QString::fromUtf8("\u00B2"), kConv},
        BadText{"steps_five_with_combining_accent", Where::Steps, How::Paste, QString::fromUtf8("5\u0301"), kConv},
        BadText{"cycles_unicode_minus", Where::Cycles, How::Paste, QString::fromUtf8("\u22125"), kConv},
        BadText{"humidity_line_end", Where::Humidity, How::Paste, "5\r\n", kConv},
        BadText{"temperature_nul_inside", Where::Temperature, How::Paste, QString::fromLatin1("1\0" "2", 3), kConv},
        InCell("cell_two_lines", 1, 1, How::Paste, "5\n6", kConv),
        InCell("cell_eastern_arabic", 2, 6, How::Paste, QString::fromUtf8("\u06F4\u06F0"), kConv)),
    [](const ::testing::TestParamInfo<BadText>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    VeryLong, ControlInputFaultTest,
    ::testing::Values(
        // A field holds at most 32767 characters; the error names what it holds.
        BadText{"steps_100k_digits_pasted", Where::Steps, How::Paste, Times("7", 100000), kConv},
        BadText{"cycles_100k_blanks_then_5", Where::Cycles, How::Paste, Times(" ", 100000) + "5", kConv},
        BadText{"temperature_100k_digits_set", Where::Temperature, How::Set, Times("1", 100000), kConv},
        InCell("cell_100k_digits_pasted", 2, 2, How::Paste, Times("9", 100000), kConv),
        InCell("cell_100k_characters_set", 1, 3, How::Set, Times(QString::fromUtf8("ж1"), 50000), kConv)),
    [](const ::testing::TestParamInfo<BadText>& info) { return std::string(info.param.name); });
