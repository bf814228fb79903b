// The program table check and the set point check, over the texts alone.
#include <QString>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "control/Checks.h"
#include "ui/ErrorDisplay.h"

namespace {

enum class Outcome { Passed, Failed, ConvertError };

struct Result {
    Outcome outcome;
    QString badText;  // the text reported by a conversion error
};

template <class Check>
Result RunCheck(Check check)
{
    try {
        return {check() ? Outcome::Passed : Outcome::Failed, {}};
    } catch (const EConvertError& error) {
        const QString message = QString::fromUtf8(error.what());
        const QString tail = QStringLiteral("» — не целое число");
        EXPECT_TRUE(message.startsWith(u'«') && message.endsWith(tail)) << message.toStdString();
        return {Outcome::ConvertError, message.mid(1, message.size() - 1 - tail.size())};
    }
}

using Row = std::vector<const char*>;  // the six data cells, column 1 first

// -40 °C, 1 h 30 min, 0 h 45 min, 0 %
const Row kGoodRow = {"-40", "1", "30", "0", "45", "0"};

ProgramTexts Table(const char* steps, const char* cycles, const std::map<int, Row>& rows)
{
    ProgramTexts t;
    t.steps = QString::fromUtf8(steps);
    t.cycles = QString::fromUtf8(cycles);
    for (const auto& [row, cells] : rows)
        for (int column = 1; column <= kTableColumns; ++column)
            t.Cell(row, column) = QString::fromUtf8(cells[column - 1]);
    return t;
}

Row With(Row row, int column, const char* text)
{
    row[column - 1] = text;
    return row;
}

struct TableCase {
    const char* name;
    ProgramTexts texts;
    Outcome outcome;
    const char* badText = "";
};

std::ostream& operator<<(std::ostream& os, const TableCase& c) { return os << c.name; }

class ProgramTableCheckTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(ProgramTableCheckTest, Decides)
{
    const TableCase& c = GetParam();
    const Result r = RunCheck([&] { return CheckProgramTable(c.texts); });
    EXPECT_EQ(r.outcome, c.outcome);
    if (c.outcome == Outcome::ConvertError) {
        EXPECT_EQ(r.badText, QString::fromUtf8(c.badText));
    }
}

const std::map<int, Row> kThreeGood = {{1, kGoodRow}, {2, kGoodRow}, {3, kGoodRow}};

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramTableCheckTest,
    ::testing::Values(
        TableCase{"three_good_rows", Table("3", "125", kThreeGood), Outcome::Passed},
        TableCase{"fresh_table_fails_on_empty_cells", Table("3", "1", {}), Outcome::Failed},
        TableCase{"empty_steps_converts_nothing", Table("", "-", kThreeGood), Outcome::Failed},
        TableCase{"empty_cycles_converts_nothing", Table("abc", "", kThreeGood), Outcome::Failed},
        TableCase{"steps_0_reads_no_row", Table("0", "-", {{1, With(kGoodRow, 1, "abc")}}), Outcome::Failed},
        TableCase{"steps_16_reads_no_row", Table("16", "-", {{1, With(kGoodRow, 1, "abc")}}), Outcome::Failed},
        TableCase{"steps_minus_1_reads_no_row", Table("-1", "-", {{1, With(kGoodRow, 1, "abc")}}),
                  Outcome::Failed},
        TableCase{"steps_256_reads_no_row", Table("256", "-", {{1, With(kGoodRow, 1, "abc")}}),
                  Outcome::Failed},
        TableCase{"steps_not_a_number", Table("5-", "1", kThreeGood), Outcome::ConvertError, "5-"},
        TableCase{"steps_beyond_32_bits", Table("4294967299", "1", kThreeGood), Outcome::ConvertError,
                  "4294967299"},
        TableCase{"bad_text_in_row_2_beats_range_failure_in_row_1",
                  Table("3", "1", {{1, With(kGoodRow, 1, "999")}, {2, With(kGoodRow, 3, "abc")}, {3, kGoodRow}}),
                  Outcome::ConvertError, "abc"},
        TableCase{"bad_text_in_row_3_beats_empty_cell_in_row_1",
                  Table("3", "1", {{1, With(kGoodRow, 6, "")}, {2, kGoodRow}, {3, With(kGoodRow, 2, "x")}}),
                  Outcome::ConvertError, "x"},
        TableCase{"rows_after_N_ignored", Table("3", "2", {{1, kGoodRow}, {2, kGoodRow}, {3, kGoodRow},
                                                         {5, With(kGoodRow, 1, "abc")}}),
                  Outcome::Passed},
        TableCase{"row_1_cells_before_cycles", Table("3", "x", {{1, With(kGoodRow, 4, "y")}}),
                  Outcome::ConvertError, "y"},
        TableCase{"cycles_after_row_1", Table("3", "x", {{1, kGoodRow}, {2, With(kGoodRow, 1, "y")}}),
                  Outcome::ConvertError, "x"},
        TableCase{"cycles_converted_even_with_empty_cells", Table("1", "x", {{1, With(kGoodRow, 1, "")}}),
                  Outcome::ConvertError, "x"},
        TableCase{"columns_in_order", Table("1", "1", {{1, {"1", "b", "1", "1", "e", "1"}}}),
                  Outcome::ConvertError, "b"},
        TableCase{"empty_cell_not_converted", Table("1", "1", {{1, {"", "", "", "", "", ""}}}), Outcome::Failed},
        TableCase{"leading_blank_converts", Table(" 1", " 7", {{1, {" -7", " 7", " 7", " 7", " 7", " 7"}}}),
                  Outcome::Passed},
        TableCase{"trailing_blank_converts", Table("1 ", "1 ", {{1, {"-7 ", "7 ", "7  ", "7 ", "7 ", "7 "}}}),
                  Outcome::Passed},
        TableCase{"tab_after_digits_does_not", Table("1", "1", {{1, With(kGoodRow, 2, "7\t")}}),
                  Outcome::ConvertError, "7\t"},
        // A value with a fraction is refused as no whole number: the error
        // window, never a value made of its digits.
        TableCase{"fraction_in_a_cell", Table("1", "1", {{1, With(kGoodRow, 1, "-2,5")}}), Outcome::Failed},
        TableCase{"fraction_with_a_point", Table("1", "1", {{1, With(kGoodRow, 6, "25.5")}}), Outcome::Failed},
        TableCase{"fraction_in_steps_reads_no_row", Table("2,5", "1", {{1, With(kGoodRow, 1, "abc")}}),
                  Outcome::Failed},
        TableCase{"fraction_in_cycles", Table("3", "1,5", kThreeGood), Outcome::Failed},
        TableCase{"fraction_does_not_hide_a_later_bad_text",
                  Table("2", "1", {{1, With(kGoodRow, 1, "4,5")}, {2, With(kGoodRow, 2, "x")}}),
                  Outcome::ConvertError, "x"},
        TableCase{"two_separators_are_no_number", Table("1", "1", {{1, With(kGoodRow, 1, "1,2,3")}}),
                  Outcome::ConvertError, "1,2,3"},
        TableCase{"plus_sign_steps", Table("+3", "+1", kThreeGood), Outcome::Passed},
        TableCase{"range_failure_in_last_row", Table("3", "1", {{1, kGoodRow}, {2, kGoodRow},
                                                              {3, With(kGoodRow, 6, "99")}}),
                  Outcome::Failed},
        TableCase{"all_fifteen_rows", Table("15", "999", [] {
                      std::map<int, Row> rows;
                      for (int r = 1; r <= 15; ++r)
                          rows[r] = kGoodRow;
                      return rows;
                  }()),
                  Outcome::Passed},
        TableCase{"cycles_0", Table("3", "0", kThreeGood), Outcome::Failed},
        TableCase{"cycles_1000", Table("3", "1000", kThreeGood), Outcome::Failed},
        TableCase{"cycles_999", Table("3", "999", kThreeGood), Outcome::Passed},
        TableCase{"cycles_1", Table("3", "1", kThreeGood), Outcome::Passed},
        TableCase{"arabic_indic_digit_in_a_cell", Table("1", "1", {{1, With(kGoodRow, 2, "\u0663")}}),
                  Outcome::ConvertError, "\u0663"}),
    [](const ::testing::TestParamInfo<TableCase>& info) { return std::string(info.param.name); });

// Each column's bounds, one below and one above, in row 2 of a two-step program.
TEST(ProgramTableBoundsTest, EveryColumnAcceptsItsRangeOnly)
{
    struct Bounds {
        int column;
        int low;
        int high;
    };
    const Bounds bounds[] = {{kColTemperature, -85, 180}, {kColStabiliseHours, 0, 99},
                             {kColStabiliseMinutes, 0, 59}, {kColReachHours, 0, 99},
                             {kColReachMinutes, 0, 59},     {kColHumidity, 0, 98}};
    for (const Bounds& b : bounds) {
        for (int value : {b.low, b.high, b.low - 1, b.high + 1}) {
            const std::string text = std::to_string(value);
            ProgramTexts t = Table("2", "1", {{1, kGoodRow}, {2, With(kGoodRow, b.column, text.c_str())}});
            const bool inside = value >= b.low && value <= b.high;
            const Result r = RunCheck([&] { return CheckProgramTable(t); });
            EXPECT_EQ(r.outcome, inside ? Outcome::Passed : Outcome::Failed)
                << "column " << b.column << " value " << value;
        }
    }
}

struct SetPointCase {
    const char* temperature;
    const char* humidity;
    Outcome outcome;
    const char* badText = "";
};

std::ostream& operator<<(std::ostream& os, const SetPointCase& c)
{
    return os << "T='" << c.temperature << "' H='" << c.humidity << "'";
}

class SetPointCheckTest : public ::testing::TestWithParam<SetPointCase> {};

TEST_P(SetPointCheckTest, Decides)
{
    const SetPointCase& c = GetParam();
    const Result r = RunCheck([&] {
        return CheckSetPoints(QString::fromUtf8(c.temperature), QString::fromUtf8(c.humidity));
    });
    EXPECT_EQ(r.outcome, c.outcome);
    if (c.outcome == Outcome::ConvertError) {
        EXPECT_EQ(r.badText, QString::fromUtf8(c.badText));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetPointCheckTest,
    ::testing::Values(SetPointCase{"-20", "50", Outcome::Passed}, SetPointCase{"-85", "0", Outcome::Passed},
                      SetPointCase{"180", "98", Outcome::Passed}, SetPointCase{"-86", "0", Outcome::Failed},
                      SetPointCase{"181", "0", Outcome::Failed}, SetPointCase{"0", "-1", Outcome::Failed},
                      SetPointCase{"0", "99", Outcome::Failed}, SetPointCase{"", "", Outcome::Failed},
                      SetPointCase{"", "abc", Outcome::Failed}, SetPointCase{"abc", "", Outcome::Failed},
                      SetPointCase{"-", "0", Outcome::ConvertError, "-"},
                      SetPointCase{"+", "0", Outcome::ConvertError, "+"},
                      SetPointCase{"   ", "0", Outcome::ConvertError, "   "},
                      SetPointCase{"abc", "xyz", Outcome::ConvertError, "abc"},
                      SetPointCase{"0", "5-", Outcome::ConvertError, "5-"},
                      // An out-of-range temperature does not spare the humidity its conversion.
                      SetPointCase{"200", "abc", Outcome::ConvertError, "abc"},
                      SetPointCase{"2147483648", "0", Outcome::ConvertError, "2147483648"},
                      SetPointCase{"-2147483648", "0", Outcome::Failed},
                      SetPointCase{" -5", " 5", Outcome::Passed},
                      SetPointCase{"-5 ", "5 ", Outcome::Passed},
                      SetPointCase{"-2,5", "50", Outcome::Failed},
                      SetPointCase{"25,5", "50", Outcome::Failed},
                      SetPointCase{"20", "50.5", Outcome::Failed},
                      // A fractional temperature does not spare the humidity its conversion.
                      SetPointCase{"-2,5", "abc", Outcome::ConvertError, "abc"}));

// A program is written into the slot chosen: none chosen (0) fails as the
// table does, and the table is still checked so a bad text is reported.
TEST(ProgramWriteCheckTest, NeedsAProgramSlot)
{
    const ProgramTexts good = Table("3", "125", kThreeGood);
    for (int program : {1, 15})
        EXPECT_EQ(RunCheck([&] { return CheckProgramWrite(program, good); }).outcome, Outcome::Passed) << program;
    for (int program : {0, 16, -1})
        EXPECT_EQ(RunCheck([&] { return CheckProgramWrite(program, good); }).outcome, Outcome::Failed) << program;
    const Result bad = RunCheck([&] { return CheckProgramWrite(0, Table("1", "1", {{1, With(kGoodRow, 3, "x")}})); });
    EXPECT_EQ(bad.outcome, Outcome::ConvertError);
    EXPECT_EQ(bad.badText, "x");
}

}  // namespace
