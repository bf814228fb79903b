// The control window: its layout and start state, the character filter of
// its fields, a program change, and the error windows of failed checks.
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "sim/ChamberSim.h"
#include "ui/OverviewWindow.h"
#include "ui/Unit3.h"
#include "support/AppFixture.h"
#include "ui/Unit4.h"
#include "ui/main.h"

namespace {

QString U(const char* text) { return QString::fromUtf8(text); }

void ExpectFont(QWidget* w, const char* family, int pixels, const char* what)
{
    EXPECT_EQ(w->font().family(), family) << what;
    EXPECT_EQ(w->font().pixelSize(), pixels) << what;
}

// Types into a field as the keyboard would: a key press carrying its text.
void Type(QWidget* field, int key, const QString& text, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QCoreApplication::sendEvent(field, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QCoreApplication::sendEvent(field, &release);
}

void TypeText(QWidget* field, const QString& text)
{
    for (QChar c : text)
        Type(field, c.isDigit() && c.unicode() < 128 ? Qt::Key_0 + (c.unicode() - u'0') : Qt::Key_unknown,
             QString(c));
}

QList<TForm4*> ErrorWindows()
{
    // Closed windows are released by the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QList<TForm4*> windows;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* form = qobject_cast<TForm4*>(w))
            windows << form;
    return windows;
}

}  // namespace

class ControlWindowTest : public AppFixture {
protected:
    void TearDown() override
    {
        for (TForm4* w : ErrorWindows())
            delete w;
        AppFixture::TearDown();
    }

    // A three-step program that passes the check.
    static void FillGoodProgram()
    {
        Form3->Edit1->setText("3");
        Form3->Edit2->setText("2");
        for (int row = 1; row <= 3; ++row)
            for (int column = 1; column <= 6; ++column)
                Form3->SetCells(column, row, "1");
    }
};

TEST_F(ControlWindowTest, FontsAndCaptionsThatFit)
{
    EXPECT_EQ(Form3->windowTitle(), U("Управление с ЭВМ"));
    EXPECT_FALSE(Form3->isVisible());
    ExpectFont(Form3, "Tahoma", 11, "window");
    for (QLineEdit* e : {Form3->Edit1, Form3->Edit2, Form3->Edit3, Form3->Edit4})
        ExpectFont(e, "Tahoma", 11, "field");
    for (QWidget* w : std::initializer_list<QWidget*>{Form3->Label1, Form3->Label2, Form3->Label3, Form3->Label4,
                                                      Form3->Label5, Form3->Label6, Form3->Label7,
                                                      Form3->ComboBox1, Form3->ComboBox2})
        ExpectFont(w, "Times New Roman", 19, "label or list");
    // Labels size themselves to their text; the degree sign in Label5 is U+00B0.
    EXPECT_EQ(Form3->Label5->size(), Form3->Label5->sizeHint());
    EXPECT_TRUE(Form3->Label5->text().endsWith(QString::fromUtf16(u"°C:")));
    EXPECT_TRUE(Form3->Label3->text().startsWith(' '));
    for (QPushButton* b : {Form3->Button1, Form3->Button2, Form3->Button3, Form3->Button4, Form3->Button5,
                           Form3->Button6}) {
        ExpectFont(b, "Times New Roman", 19, "button");
        // Every caption fits its button, on two lines where it must.
        const QRect text =
            b->fontMetrics().boundingRect(QRect(0, 0, b->width() - 8, 1000), Qt::TextWordWrap, b->text());
        EXPECT_LE(text.width(), b->width() - 8) << b->text().toStdString();
        EXPECT_LE(text.height(), b->height() - 8) << b->text().toStdString();
    }
}

TEST_F(ControlWindowTest, StartState)
{
    for (QComboBox* box : {Form3->ComboBox1, Form3->ComboBox2}) {
        ASSERT_EQ(box->count(), 15);
        for (int i = 0; i < 15; ++i)
            EXPECT_EQ(box->itemText(i), QString::number(i + 1));
        EXPECT_EQ(box->currentIndex(), -1);
        EXPECT_FALSE(box->isEditable());
    }
    EXPECT_EQ(Form3->ProgramNumber(), 0);
    EXPECT_EQ(Form3->StartProgramNumber(), 0);
    for (QLineEdit* e : {Form3->Edit1, Form3->Edit2, Form3->Edit3, Form3->Edit4})
        EXPECT_TRUE(e->text().isEmpty());

    QTableWidget* grid = Form3->StringGrid1;
    ASSERT_EQ(grid->rowCount(), 16);
    ASSERT_EQ(grid->columnCount(), 7);
    const char* headings[] = {"№ шага", "\u0422, \u00B0\u0421", "Стабилизация, чч", "Стабилизация, мм",
                              "Выход,чч", "Выход,мм", "RH, %"};
    for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(Form3->Cells(c, 0), U(headings[c])) << c;
        EXPECT_EQ(grid->columnWidth(c), 120) << c;
    }
    EXPECT_EQ(grid->width(), 840);
    for (int r = 0; r < 16; ++r)
        EXPECT_EQ(grid->rowHeight(r), 24) << r;
    for (int r = 1; r < 16; ++r) {
        EXPECT_EQ(Form3->Cells(0, r), QString::number(r));
        for (int c = 1; c < 7; ++c)
            EXPECT_TRUE(Form3->Cells(c, r).isEmpty()) << r << "," << c;
    }
    // Heading row and step column are fixed; the data cells are edited in place.
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 7; ++c) {
            const bool fixed = r == 0 || c == 0;
            EXPECT_EQ(bool(grid->item(r, c)->flags() & Qt::ItemIsEditable), !fixed) << r << "," << c;
            EXPECT_EQ(bool(grid->item(r, c)->flags() & Qt::ItemIsSelectable), !fixed) << r << "," << c;
        }
    EXPECT_TRUE(grid->editTriggers() & QAbstractItemView::AnyKeyPressed);
    EXPECT_TRUE(grid->editTriggers() & QAbstractItemView::DoubleClicked);
}

TEST_F(ControlWindowTest, DataCellIsEditedInPlace)
{
    QTableWidget* grid = Form3->StringGrid1;
    Form3->show();
    grid->setCurrentCell(2, 3);
    // A typed key opens the cell's editor in place.
    Type(grid, Qt::Key_A, "a");
    auto* editor = grid->viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(editor->isVisible());
    // No filter here: any text may be typed, the check judges it.
    Type(editor, Qt::Key_Minus, "-");
    Type(editor, Qt::Key_5, "5");
    Type(editor, Qt::Key_Return, "\r");
    Pump(20);
    EXPECT_EQ(Form3->Cells(3, 2), "a-5");
}

TEST_F(ControlWindowTest, ScrollsWhenMadeSmaller)
{
    Form3->resize(500, 300);
    Form3->show();
    Pump(20);
    auto* scroll = Form3->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(scroll->widget()->size(), QSize(1125, 661));
    EXPECT_GT(scroll->horizontalScrollBar()->maximum(), 0);
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
    // Every control stays where it was laid out, inside the scrolled client.
    EXPECT_EQ(Form3->Button1->geometry(), QRect(839, 533, 278, 112));
}

TEST_F(ControlWindowTest, ClosingOnlyHidesAndKeepsTheContents)
{
    Form3->show();
    Form3->Edit3->setText("-20");
    Form3->SetCells(1, 1, "12");
    Form3->ComboBox2->setCurrentIndex(4);
    Form3->close();
    EXPECT_FALSE(Form3->isVisible());
    Form1->Button2Click();
    EXPECT_TRUE(Form3->isVisible());
    EXPECT_EQ(Form3->Edit3->text(), "-20");
    EXPECT_EQ(Form3->Cells(1, 1), "12");
    EXPECT_EQ(Form3->ComboBox2->currentIndex(), 4);
}

struct KeyCase {
    const char* name;
    int key;
    const char16_t* text;
    bool reaches;
};

std::ostream& operator<<(std::ostream& os, const KeyCase& k) { return os << k.name; }

class FieldFilterTest : public ControlWindowTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(FieldFilterTest, EachFieldFiltersTypedCharacters)
{
    const KeyCase& k = GetParam();
    for (QLineEdit* field : {Form3->Edit1, Form3->Edit2, Form3->Edit3, Form3->Edit4}) {
        field->setText("12");
        field->setCursorPosition(2);
        Type(field, k.key, QString::fromUtf16(k.text));
        const QString expected = k.reaches ? "12" + QString::fromUtf16(k.text) : QString("12");
        EXPECT_EQ(field->text(), expected) << field->metaObject()->className();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, FieldFilterTest,
    ::testing::Values(KeyCase{"digit_0", Qt::Key_0, u"0", true}, KeyCase{"digit_9", Qt::Key_9, u"9", true},
                      KeyCase{"minus", Qt::Key_Minus, u"-", true}, KeyCase{"letter_a", Qt::Key_A, u"a", false},
                      KeyCase{"plus", Qt::Key_Plus, u"+", false},
                      // The decimal separators stay, for the check to refuse a fraction
                      // rather than the field making 25 of "2,5".
                      KeyCase{"dot", Qt::Key_Period, u".", true}, KeyCase{"comma", Qt::Key_Comma, u",", true},
                      KeyCase{"blank", Qt::Key_Space, u" ", false},
                      KeyCase{"cyrillic", Qt::Key_unknown, u"\u044F", false},
                      KeyCase{"arabic_indic_three", Qt::Key_unknown, u"\u0663", false},
                      KeyCase{"fullwidth_seven", Qt::Key_unknown, u"\uFF17", false},
                      KeyCase{"superscript_two", Qt::Key_unknown, u"\u00B2", false},
                      KeyCase{"minus_sign_u2212", Qt::Key_unknown, u"\u2212", false},
                      KeyCase{"escape", Qt::Key_Escape, u"\x1b", false}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(ControlWindowTest, EditingKeysKeepWorking)
{
    for (QLineEdit* field : {Form3->Edit1, Form3->Edit2, Form3->Edit3, Form3->Edit4}) {
        field->clear();
        TypeText(field, "123");
        EXPECT_EQ(field->text(), "123");
        Type(field, Qt::Key_Backspace, "\b");
        EXPECT_EQ(field->text(), "12");
        Type(field, Qt::Key_Left, "");
        Type(field, Qt::Key_9, "9");
        EXPECT_EQ(field->text(), "192");
        Type(field, Qt::Key_Home, "");
        // Some platforms attach DEL to the Delete key; it edits all the same.
        Type(field, Qt::Key_Delete, "\x7f");
        EXPECT_EQ(field->text(), "92");
        Type(field, Qt::Key_End, "");
        // "-" goes anywhere, as often as typed: "5-" is typeable.
        TypeText(field, "5-");
        EXPECT_EQ(field->text(), "925-");
    }
}

TEST_F(ControlWindowTest, TypedValueWithAFractionStaysAsTyped)
{
    for (QLineEdit* field : {Form3->Edit1, Form3->Edit2, Form3->Edit3, Form3->Edit4}) {
        field->clear();
        Type(field, Qt::Key_Minus, "-");
        Type(field, Qt::Key_2, "2");
        Type(field, Qt::Key_Comma, ",");
        Type(field, Qt::Key_5, "5");
        EXPECT_EQ(field->text(), "-2,5");
        field->clear();
        TypeText(field, "25.5");
        EXPECT_EQ(field->text(), "25.5");
    }
}

TEST_F(ControlWindowTest, FilterJudgesEachCharacterOfAKeyText)
{
    // An input method may deliver several characters with one key.
    Type(Form3->Edit2, Qt::Key_unknown, "1a2 -");
    EXPECT_EQ(Form3->Edit2->text(), "12-");
    QInputMethodEvent compose;
    compose.setCommitString(U("3я4"));
    QCoreApplication::sendEvent(Form3->Edit4, &compose);
    EXPECT_EQ(Form3->Edit4->text(), "34");
}

TEST_F(ControlWindowTest, ControlCharactersOfShortcutsAreDiscarded)
{
    QApplication::clipboard()->setText("77");
    QLineEdit* field = Form3->Edit1;
    // Ctrl+V typed as the character it produces: discarded like any other
    // control character.
    Type(field, Qt::Key_V, "\x16", Qt::ControlModifier);
    Type(field, Qt::Key_Return, "\r");
    EXPECT_EQ(field->text(), "");
}

TEST_F(ControlWindowTest, ProgramChangeEmptiesTableStepsAndCyclesOnly)
{
    FillGoodProgram();
    Form3->SetCells(6, 15, "98");
    Form3->Edit3->setText("-20");
    Form3->Edit4->setText("50");
    Form3->ComboBox2->setCurrentIndex(6);
    Form3->ComboBox1->setCurrentIndex(4);
    emit Form3->ComboBox1->activated(4);  // as the operator's choice arrives

    for (int r = 1; r < 16; ++r)
        for (int c = 1; c < 7; ++c)
            EXPECT_TRUE(Form3->Cells(c, r).isEmpty()) << r << "," << c;
    EXPECT_TRUE(Form3->Edit1->text().isEmpty());
    EXPECT_TRUE(Form3->Edit2->text().isEmpty());
    EXPECT_EQ(Form3->Edit3->text(), "-20");
    EXPECT_EQ(Form3->Edit4->text(), "50");
    EXPECT_EQ(Form3->ComboBox2->currentIndex(), 6);
    EXPECT_EQ(Form3->ProgramNumber(), 5);
    EXPECT_EQ(Form3->Cells(1, 0), U("\u0422, \u00B0\u0421"));
    EXPECT_EQ(Form3->Cells(0, 15), "15");
}

TEST_F(ControlWindowTest, FailedCheckOpensTheErrorWindow)
{
    Form3->Edit1->setText("3");
    Form3->Edit2->setText("1");
    Form3->Button1->click();
    ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
    const QList<TForm4*> windows = ErrorWindows();
    ASSERT_EQ(windows.size(), 1);
    TForm4* w = windows[0];
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(w->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(w->windowTitle(), U("Ошибка"));
    EXPECT_EQ(w->pos(), QPoint(400, 400));
    EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    ExpectFont(w, "Tahoma", 11, "error window");

    struct {
        QLabel* label;
        QPoint at;
        const char* text;
    } const labels[] = {
        {w->Label1, {32, 24}, "Правильно заполните все ячейки, учитывая следующие ограничения:"},
        {w->Label2, {72, 66}, "T, \u00BAC: [-85..180], целое;"},
        {w->Label3, {72, 93}, "RH,%: [0..98], целое;"},
        {w->Label4, {320, 67}, "t, чч: [0..99], целое;"},
        {w->Label5, {320, 93}, "t, мм: [0..59], целое;"},
        {w->Label6, {72, 120}, "число шагов: [1..15], целое;"},
        {w->Label7, {320, 120}, "число программ: [1..15], целое."},
    };
    for (const auto& l : labels) {
        EXPECT_EQ(l.label->text(), U(l.text));
        EXPECT_EQ(l.label->pos(), l.at) << l.text;
        EXPECT_EQ(l.label->size(), l.label->sizeHint()) << l.text;
        ExpectFont(l.label, "Times New Roman", 19, l.text);
        EXPECT_TRUE(w->rect().contains(l.label->geometry())) << l.text;
    }
    // The ordinal indicator, not the degree sign.
    EXPECT_TRUE(w->Label2->text().contains(QChar(0x00BA)));
    EXPECT_FALSE(w->Label2->text().contains(QChar(0x00B0)));
}

TEST_F(ControlWindowTest, EveryFailureAddsAWindow)
{
    Form3->show();
    Form3->Edit1->setText("3");
    Form3->Edit2->setText("1");
    Form3->Button1->click();
    Form3->Edit3->setText("-86");
    Form3->Edit4->setText("0");
    Form3->Button4->click();
    QList<TForm4*> windows = ErrorWindows();
    ASSERT_EQ(windows.size(), 2);
    EXPECT_NE(windows[0], windows[1]);
    for (TForm4* w : windows) {
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->geometry(), windows[0]->geometry());
    }
    // The windows outlive the hiding of the control window; the operator
    // closes them one by one.
    Form3->close();
    EXPECT_TRUE(windows[0]->isVisible() && windows[1]->isVisible());
    windows[1]->close();
    windows = ErrorWindows();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_TRUE(windows[0]->isVisible());

    // A success afterwards leaves the open window alone.
    Form3->Edit3->setText("-85");
    Form3->Button4->click();
    EXPECT_EQ(ErrorWindows().size(), 1);
    EXPECT_TRUE(errors.isEmpty());
}


// Two chambers on the line; the control window open while the operator
// picks one, then the other.
class ControlTargetTest : public AppFixture {
protected:
    ControlTargetTest() : AppFixture(0.05) {}

    void SetUp() override
    {
        AppFixture::SetUp();
        std::string error;
        ASSERT_TRUE(bus.Start(&error)) << error;
        bus.SetControllerDelay(std::chrono::microseconds(500));
        for (int address : {3, 7, 12})
            ASSERT_TRUE(bus.AddChamber(address));
        OpenPortOn(bus.SlavePath());
        ASSERT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
        Form1->ListBox1->addItem(ChamberEntryText(3));
        Form1->ListBox1->addItem(ChamberEntryText(7));
    }
    void TearDown() override
    {
        AppFixture::TearDown();
        bus.Stop();
    }

    // Addresses of the frames on the line since the last call.
    std::vector<int> SentTo(size_t count)
    {
        EXPECT_TRUE(bus.WaitForReceivedFrames(count, std::chrono::milliseconds(5000)));
        EXPECT_TRUE(bus.WaitUntilIdle(std::chrono::milliseconds(5000)));
        std::vector<int> addresses;
        for (const sim::LineFrame& f : bus.ReceivedFrames())
            addresses.push_back(f.bytes[0]);
        bus.ClearReceivedFrames();
        return addresses;
    }

    static QString Shown() { return Form3->LabelChamber->text(); }

    sim::BusSimulator bus;
};

TEST_F(ControlTargetTest, TheLineNamesTheChamberAndTheCommandsFollowIt)
{
    Form1->ListBox1->setCurrentRow(0);
    Form1->Button2Click();
    ASSERT_TRUE(Form3->isVisible());
    // The caption stays; the bold line under it names the chamber, above
    // every other control of the window.
    EXPECT_EQ(Form3->windowTitle(), U("Управление с ЭВМ"));
    EXPECT_EQ(Shown(), U("Камера №3"));
    EXPECT_TRUE(Form3->LabelChamber->font().bold());
    EXPECT_TRUE(Form3->LabelChamber->isVisible());
    const QRect line = Form3->LabelChamber->geometry();
    for (QWidget* w : Form3->LabelChamber->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w != Form3->LabelChamber && w->isVisibleTo(Form3)) {
            EXPECT_LE(line.bottom(), w->geometry().top()) << w->metaObject()->className();
        }
    // The whole text fits its line.
    EXPECT_LE(Form3->LabelChamber->fontMetrics().horizontalAdvance(U("Камера №250")), line.width());
    EXPECT_LE(Form3->LabelChamber->fontMetrics().height(), line.height());

    // Each kind of command, to the chamber shown at its click; no poll has
    // run, so the latest poll's address (0) plays no part.
    ASSERT_EQ(ChamberAddress, 0);
    Form3->Button2->click();
    EXPECT_EQ(SentTo(1), std::vector<int>({3}));
    Form1->ListBox1->setCurrentRow(1);
    EXPECT_EQ(Shown(), U("Камера №7"));
    Form3->Button3->click();
    Form3->Edit3->setText("20");
    Form3->Edit4->setText("50");
    Form3->Button4->click();
    Form3->ComboBox2->setCurrentIndex(0);
    Form3->Button5->click();
    Form3->Button6->click();
    EXPECT_EQ(SentTo(4), std::vector<int>({7, 7, 7, 7}));

    Form1->ListBox1->setCurrentRow(0);
    EXPECT_EQ(Shown(), U("Камера №3"));
    // A tile of the overview picks a chamber the list did not hold yet.
    Form1->SelectChamber(12);
    EXPECT_EQ(Shown(), U("Камера №12"));
    Form3->Button6->click();
    EXPECT_EQ(SentTo(1), std::vector<int>({12}));

    // The list emptied by "Стоп": the last chamber picked stays the target,
    // and the line still names it.
    Form1->Button1Click();
    ASSERT_EQ(Form1->ListBox1->count(), 0);
    EXPECT_EQ(Shown(), U("Камера №12"));
    Form3->Button2->click();
    EXPECT_EQ(SentTo(1), std::vector<int>({12}));
}

// Before any pick the window names the chamber of the latest poll, which is
// where its commands go.
TEST_F(ControlTargetTest, BeforeAnyPickTheLineNamesThePolledChamber)
{
    EXPECT_EQ(Shown(), U("Камера №0"));
    ChamberAddress = 7;
    Form3->show();
    EXPECT_EQ(Shown(), U("Камера №7"));
    ChamberAddress = 3;  // a poll while the window stays open
    Form3->Button2->click();
    EXPECT_EQ(Shown(), U("Камера №3"));
    EXPECT_EQ(SentTo(1), std::vector<int>({3}));
}
