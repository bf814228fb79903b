#include "ui/Unit3.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "control/ProgramFile.h"
#include "monitoring/Monitoring.h"
#include "monitoring/Presentation.h"
#include "ui/ErrorDisplay.h"
#include "ui/ScreenFit.h"
#include "ui/ScrollingClient.h"
#include "ui/Typeface.h"

TForm3* Form3 = nullptr;

namespace {

// Client area of the 1141 x 700 outer window at 96 dpi.
constexpr int kClientWidth = 1125;
constexpr int kClientHeight = 661;

constexpr int kGridRows = 16;
constexpr int kGridColumns = 7;
constexpr int kColumnWidth = 120;
constexpr int kRowHeight = 24;
constexpr int kGridWidth = 840;

QFont Tnr19() { return Tnr(19); }

QLabel* AutoLabel(QWidget* parent, const QString& text, int left, int top)
{
    return AutoLabel(parent, text, left, top, Tnr19());
}

QComboBox* ProgramList(QWidget* parent, QRect bounds)
{
    auto* box = new QComboBox(parent);
    box->setFont(Tnr19());
    for (int i = 1; i <= 15; ++i)
        box->addItem(QString::number(i));
    box->setCurrentIndex(-1);
    box->setGeometry(bounds);
    return box;
}

QLineEdit* Field(QWidget* parent, QRect bounds)
{
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(bounds);
    return edit;
}

// The long captions take two lines in their tall buttons, as they always have;
// a plain push button would clip them instead.
class WrappedCaptionButton : public QPushButton {
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString caption = option.text;
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
        style()->drawItemText(&painter, area, Qt::AlignCenter | Qt::TextWordWrap, palette(), isEnabled(), caption,
                              QPalette::ButtonText);
    }
};

QPushButton* Button(QWidget* parent, const QString& caption, QRect bounds)
{
    auto* button = new WrappedCaptionButton(caption, parent);
    button->setFont(Tnr19());
    button->setGeometry(bounds);
    return button;
}

}  // namespace

bool TypedCharAllowed(QChar c)
{
    const char16_t code = c.unicode();
    return (code >= u'0' && code <= u'9') || code == 8 || code == u'-' || code == u',' || code == u'.';
}

bool IsEditingKey(int key)
{
    switch (key) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Delete:
    case Qt::Key_Insert:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    default:
        return false;
    }
}

TForm3::TForm3(QWidget* parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Управление с ЭВМ"));
    SetWindowFace(this, QStringLiteral("Tahoma"));

    QWidget* c = MakeScrollingClient(this, kClientWidth, kClientHeight);
    // In the band above the fields and buttons, as wide as the window.
    LabelChamber = new QLabel(c);
    LabelChamber->setFont(Tnr(19, true));
    LabelChamber->setGeometry(0, 0, kClientWidth, 23);
    LabelChamber->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    CreateFields(c);
    CreateGrid(c);
    CreateButtons(c);
    CreateProgramFileControls(c);
    CreateSigningControls(c);

    PlaceWindow(this, {kClientWidth, kClientHeight}, std::nullopt);

    Connect();
    Guarded([this] { FormCreate(); });
    ShowTarget();
}

void TForm3::CreateFields(QWidget* c)
{
    Label1 = AutoLabel(c, QStringLiteral("Программа №:"), 0, 26);
    ComboBox1 = ProgramList(c, {124, 23, 121, 29});
    Label3 = AutoLabel(c, QStringLiteral(" Число шагов:"), 0, 66);
    Edit1 = Field(c, {124, 68, 121, 21});
    Label4 = AutoLabel(c, QStringLiteral(" Число циклов:"), -3, 112);
    Edit2 = Field(c, {124, 114, 121, 21});
    Label5 = AutoLabel(c, QStringLiteral("Уставка температуры (ручное задание), °C:"), 251, 26);
    Edit3 = Field(c, {604, 28, 121, 21});
    Label6 = AutoLabel(c, QStringLiteral("Уставка влажности (ручное задание), %:"), 251, 66);
    Edit4 = Field(c, {604, 68, 121, 21});
    Label2 = AutoLabel(c, QStringLiteral("Свойства выбранной программы"), 232, 149);
    for (QLineEdit* edit : {Edit1, Edit2, Edit3, Edit4})
        edit->installEventFilter(this);
}

void TForm3::CreateGrid(QWidget* c)
{
    StringGrid1 = new QTableWidget(kGridRows, kGridColumns, c);
    StringGrid1->setGeometry(0, 176, kGridWidth, 425);
    // Row 0 and column 0 are cells of the grid itself, drawn as headings, so
    // the Qt headers stay hidden.
    StringGrid1->horizontalHeader()->hide();
    StringGrid1->verticalHeader()->hide();
    StringGrid1->verticalHeader()->setMinimumSectionSize(kRowHeight);
    StringGrid1->verticalHeader()->setDefaultSectionSize(kRowHeight);
    StringGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    StringGrid1->horizontalHeader()->setDefaultSectionSize(kColumnWidth);
    StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int row = 0; row < kGridRows; ++row) {
        for (int column = 0; column < kGridColumns; ++column) {
            auto* item = new QTableWidgetItem;
            if (row == 0 || column == 0) {
                item->setFlags(Qt::ItemIsEnabled);
                item->setBackground(palette().button());
                item->setForeground(palette().buttonText());
            }
            StringGrid1->setItem(row, column, item);
        }
    }
}

void TForm3::CreateButtons(QWidget* c)
{
    Button2 = Button(c, QStringLiteral("Запуск камеры(ручной режим)"), {839, 23, 278, 81});
    Button3 = Button(c, QStringLiteral("Останов камеры(ручной режим)"), {839, 110, 278, 81});
    Button5 = Button(c, QStringLiteral("Запуск камеры(программы)"), {839, 193, 278, 81});
    Label7 = AutoLabel(c, QStringLiteral("С программы №:"), 839, 296);
    ComboBox2 = ProgramList(c, {996, 293, 121, 29});
    Button6 = Button(c, QStringLiteral("Останов камеры(программы)"), {839, 328, 278, 81});
    Button4 = Button(c, QStringLiteral("Записать уставки ручного задания"), {839, 415, 278, 112});
    Button1 = Button(c, QStringLiteral("Записать программы"), {839, 533, 278, 112});
    // In the free band under the set point fields, beside the number of cycles.
    LabelAnswer = new QLabel(c);
    LabelAnswer->setFont(Tnr(16));
    LabelAnswer->setWordWrap(true);
    LabelAnswer->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LabelAnswer->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LabelAnswer->setGeometry(251, 98, 584, 46);
}

void TForm3::Connect()
{
    connect(ComboBox1, &QComboBox::activated, this, [this] { Guarded([this] { ComboBox1Change(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });
    connect(Button5, &QPushButton::clicked, this, [this] { Guarded([this] { Button5Click(); }); });
    connect(Button6, &QPushButton::clicked, this, [this] { Guarded([this] { Button6Click(); }); });
}

void TForm3::FormCreate()
{
    for (int column = 0; column < kGridColumns; ++column)
        SetCells(column, 0, ProgramTableHeadings()[column]);
    for (int row = 1; row < kGridRows; ++row)
        SetCells(0, row, QString::number(row));
    for (int column = 0; column < kGridColumns; ++column)
        StringGrid1->setColumnWidth(column, kColumnWidth);
    StringGrid1->resize(kGridWidth, StringGrid1->height());
    StringGrid1->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                                 QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
    for (int row = 1; row < kGridRows; ++row)
        for (int column = 1; column < kGridColumns; ++column)
            SetCells(column, row, QString());
    Edit1->clear();
}

void TForm3::ComboBox1Change()
{
    // Another slot: the signed program shown is left, not changed.
    SetProgramSignatures({});
    // A program is never read back from the chamber: a new program number
    // starts from an empty table.
    for (int row = 1; row < kGridRows; ++row)
        for (int column = 1; column < kGridColumns; ++column)
            SetCells(column, row, QString());
    Edit1->clear();
    Edit2->clear();
}

void TForm3::Edit4KeyPress(QObject*, QChar& Key)
{
    if (!TypedCharAllowed(Key))
        Key = QChar();
}

void TForm3::Edit2KeyPress(QObject*, QChar& Key)
{
    if (!TypedCharAllowed(Key))
        Key = QChar();
}

QString TForm3::Cells(int column, int row) const
{
    const QTableWidgetItem* item = StringGrid1->item(row, column);
    return item ? item->text() : QString();
}

void TForm3::SetCells(int column, int row, const QString& text)
{
    QTableWidgetItem* item = StringGrid1->item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        StringGrid1->setItem(row, column, item);
    }
    item->setText(text);
}

ProgramTexts TForm3::ReadProgramTexts() const
{
    ProgramTexts texts;
    texts.steps = Edit1->text();
    texts.cycles = Edit2->text();
    for (int row = 1; row <= kTableSteps; ++row)
        for (int column = 1; column <= kTableColumns; ++column)
            texts.Cell(row, column) = Cells(column, row);
    return texts;
}

int TForm3::ProgramNumber() const { return ComboBox1->currentIndex() + 1; }

int TForm3::StartProgramNumber() const { return ComboBox2->currentIndex() + 1; }

bool TForm3::FilterKeyPress(QObject* field, QKeyEvent* event)
{
    if (IsEditingKey(event->key()))
        return false;
    const QString typed = event->text();
    if (typed.isEmpty())
        return false;
    // Each typed character is judged alone.
    QString kept;
    for (QChar c : typed) {
        QChar key = c;
        if (field == Edit2)
            Edit2KeyPress(field, key);
        else
            Edit4KeyPress(field, key);
        if (!key.isNull())
            kept += key;
    }
    if (kept == typed)
        return false;
    if (!kept.isEmpty()) {
        QKeyEvent passed(QEvent::KeyPress, event->key(), event->modifiers(), kept, event->isAutoRepeat(),
                         static_cast<ushort>(event->count()));
        QCoreApplication::sendEvent(field, &passed);
    }
    return true;
}

bool TForm3::eventFilter(QObject* watched, QEvent* event)
{
    if (ProgramLocked() && ChangeTriedOnLocked(watched, event))
        return true;
    const bool field = watched == Edit1 || watched == Edit2 || watched == Edit3 || watched == Edit4;
    if (!field)
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress)
        return FilterKeyPress(watched, static_cast<QKeyEvent*>(event));
    if (event->type() == QEvent::InputMethod) {
        // Text composed by an input method is typed text as well.
        auto* im = static_cast<QInputMethodEvent*>(event);
        QString kept;
        for (QChar c : im->commitString()) {
            QChar key = c;
            if (watched == Edit2)
                Edit2KeyPress(watched, key);
            else
                Edit4KeyPress(watched, key);
            if (!key.isNull())
                kept += key;
        }
        if (kept != im->commitString())
            im->setCommitString(kept, im->replacementStart(), im->replacementLength());
    }
    return QWidget::eventFilter(watched, event);
}

void TForm3::ShowAnswer(const QPushButton* button, const QString& answer, bool confirmed)
{
    LabelAnswer->setText(QStringLiteral("%1: %2").arg(button->text(), answer));
    LabelAnswer->setStyleSheet(confirmed ? QStringLiteral("color: #006400;") : QStringLiteral("color: #c00000;"));
}

void TForm3::SetChamber(int address)
{
    m_chamber = address;
    ShowTarget();
}

uint8_t TForm3::CommandAddress() const
{
    return static_cast<uint8_t>((m_chamber >= 0 ? m_chamber : ChamberAddress) & 0xFF);
}

uint8_t TForm3::ShowTarget()
{
    const uint8_t address = CommandAddress();
    LabelChamber->setText(ChamberEntryText(address));
    return address;
}

void TForm3::showEvent(QShowEvent* event)
{
    ShowTarget();
    QWidget::showEvent(event);
}

void TForm3::closeEvent(QCloseEvent* event)
{
    // Closing only hides: the contents stay for the next showing.
    hide();
    event->ignore();
}
