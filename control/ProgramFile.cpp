#include "control/ProgramFile.h"

#include "control/Convert.h"

namespace {

const QString kStepsLabel = QStringLiteral("Число шагов");
const QString kCyclesLabel = QStringLiteral("Число циклов");

// A spreadsheet may pad a short line with empty fields; they carry nothing.
QStringList Fields(const QString& line)
{
    QStringList fields = line.split(u';');
    while (fields.size() > 1 && fields.back().trimmed().isEmpty())
        fields.removeLast();
    return fields;
}

QString LineError(int line, const QString& what)
{
    return QStringLiteral("Строка %1: %2").arg(line).arg(what);
}

// A value in a column: a whole number inside the column's allowed values.
bool CheckValue(const QString& text, const ValueRange& range, const QString& name, int line, QString* error)
{
    int value = 0;
    if (text.isEmpty()) {
        *error = LineError(line, QStringLiteral("пустое значение в столбце «%1»").arg(name));
        return false;
    }
    if (!TryStrToInt(text, &value)) {
        *error = LineError(line, QStringLiteral("«%1» в столбце «%2» не целое число").arg(text, name));
        return false;
    }
    if (!range.Contains(value)) {
        *error = LineError(line, QStringLiteral("%1 в столбце «%2» вне пределов [%3..%4]")
                                     .arg(value)
                                     .arg(name)
                                     .arg(range.low)
                                     .arg(range.high));
        return false;
    }
    return true;
}

}  // namespace

const QStringList& ProgramTableHeadings()
{
    static const QStringList headings = {
        QStringLiteral("№ шага"),   QStringLiteral("Т, °С"),    QStringLiteral("Стабилизация, чч"),
        QStringLiteral("Стабилизация, мм"), QStringLiteral("Выход,чч"), QStringLiteral("Выход,мм"),
        QStringLiteral("RH, %")};
    return headings;
}

QString ProgramSignatureLineMark() { return QStringLiteral("Подпись"); }

QByteArray ProgramToCsv(const ProgramTexts& texts, const QList<QStringList>& signatureLines)
{
    int steps = 0;
    TryStrToInt(texts.steps, &steps);
    QString out = ProgramTableHeadings().join(u';') + QStringLiteral("\r\n");
    for (int row = 1; row <= steps && row <= kTableSteps; ++row) {
        QStringList fields{QString::number(row)};
        for (int column = 1; column <= kTableColumns; ++column)
            fields << texts.Cell(row, column).trimmed();
        out += fields.join(u';') + QStringLiteral("\r\n");
    }
    out += kStepsLabel + u';' + texts.steps.trimmed() + QStringLiteral("\r\n");
    out += kCyclesLabel + u';' + texts.cycles.trimmed() + QStringLiteral("\r\n");
    for (const QStringList& fields : signatureLines)
        out += fields.join(u';') + QStringLiteral("\r\n");
    return out.toUtf8();
}

namespace {

// The file's lines without BOM, line ends and trailing empty lines; false
// when the bytes are not UTF-8.
bool ProgramLines(const QByteArray& bytes, QStringList* lines, QString* error)
{
    QByteArray data = bytes;
    if (data.startsWith("\xEF\xBB\xBF"))  // spreadsheets like to add a BOM
        data.remove(0, 3);
    const QString text = QString::fromUtf8(data);
    if (text.contains(QChar::ReplacementCharacter)) {
        *error = QStringLiteral("Файл не в кодировке UTF-8");
        return false;
    }
    *lines = text.split(u'\n');
    for (QString& line : *lines)
        if (line.endsWith(u'\r'))
            line.chop(1);
    while (!lines->isEmpty() && lines->back().trimmed().isEmpty())
        lines->removeLast();
    return true;
}

// The last two lines: "Число шагов;N" and "Число циклов;K", each in its range.
bool ReadStepsAndCycles(const QStringList& lines, ProgramTexts* result, QString* error)
{
    const int stepsLine = lines.size() - 1;  // 1-based numbers of the last two lines
    const int cyclesLine = lines.size();
    const QStringList stepsFields = Fields(lines[stepsLine - 1]);
    const QStringList cyclesFields = Fields(lines[cyclesLine - 1]);
    if (stepsFields.size() != 2 || stepsFields[0].trimmed() != kStepsLabel) {
        *error = LineError(stepsLine, QStringLiteral("ожидалось «%1;N»").arg(kStepsLabel));
        return false;
    }
    if (cyclesFields.size() != 2 || cyclesFields[0].trimmed() != kCyclesLabel) {
        *error = LineError(cyclesLine, QStringLiteral("ожидалось «%1;K»").arg(kCyclesLabel));
        return false;
    }
    result->steps = stepsFields[1].trimmed();
    result->cycles = cyclesFields[1].trimmed();
    return CheckValue(result->steps, kStepsRange, kStepsLabel, stepsLine, error) &&
           CheckValue(result->cycles, kCyclesRange, kCyclesLabel, cyclesLine, error);
}

// One step line (line number line of the file): its number, then a value
// for every column of the table, each in its column's range.
bool ReadStepLine(const QString& text, int row, int line, ProgramTexts* result, QString* error)
{
    const QStringList fields = Fields(text);
    if (fields.size() != kTableColumns + 1) {
        *error = LineError(line, QStringLiteral("ожидалось %1 полей через «;», а их %2")
                                     .arg(kTableColumns + 1)
                                     .arg(fields.size()));
        return false;
    }
    if (fields[0].trimmed() != QString::number(row)) {
        *error = LineError(line, QStringLiteral("ожидался шаг %1").arg(row));
        return false;
    }
    for (int column = 1; column <= kTableColumns; ++column) {
        const QString value = fields[column].trimmed();
        if (!CheckValue(value, ColumnRange(column), ProgramTableHeadings()[column], line, error))
            return false;
        result->Cell(row, column) = value;
    }
    return true;
}

}  // namespace

bool ProgramFromCsv(const QByteArray& bytes, ProgramTexts* texts, QString* error, QList<QStringList>* signatureLines)
{
    QStringList lines;
    if (!ProgramLines(bytes, &lines, error))
        return false;
    // Signature lines close the file: the program is what comes before them.
    QList<QStringList> signatures;
    while (!lines.isEmpty() && Fields(lines.back()).value(0).trimmed() == ProgramSignatureLineMark()) {
        signatures.prepend(lines.back().split(u';'));
        lines.removeLast();
    }
    if (lines.isEmpty() || Fields(lines[0]) != ProgramTableHeadings()) {
        *error = LineError(1, QStringLiteral("ожидались заголовки «%1»").arg(ProgramTableHeadings().join(u';')));
        return false;
    }
    if (lines.size() < 3) {
        *error = QStringLiteral("В файле нет числа шагов и числа циклов");
        return false;
    }
    ProgramTexts result;
    if (!ReadStepsAndCycles(lines, &result, error))
        return false;
    const int steps = StrToInt(result.steps);
    const int stepLines = lines.size() - 3;
    if (stepLines != steps) {
        *error = QStringLiteral("Число шагов %1, а строк шагов в файле %2").arg(steps).arg(stepLines);
        return false;
    }
    for (int row = 1; row <= steps; ++row)
        if (!ReadStepLine(lines[row], row, row + 1, &result, error))
            return false;
    // The same check the window runs before writing, as a last guard.
    if (!CheckProgramTable(result)) {
        *error = QStringLiteral("Программа в файле не проходит проверку");
        return false;
    }
    *texts = result;
    if (signatureLines)
        *signatureLines = signatures;
    return true;
}

QVector<ProfilePoint> ProgramProfile(const ProgramTexts& texts)
{
    QVector<ProfilePoint> points;
    int steps = 0, cycles = 0;
    if (!TryStrToInt(texts.steps, &steps) || !TryStrToInt(texts.cycles, &cycles))
        return points;
    if (!kStepsRange.Contains(steps) || !kCyclesRange.Contains(cycles))
        return points;
    auto cell = [&texts](int row, int column) {
        int value = 0;
        TryStrToInt(texts.Cell(row, column), &value);
        return value;
    };
    int minute = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        for (int row = 1; row <= steps; ++row) {
            const int temperature = cell(row, kColTemperature);
            const int humidity = cell(row, kColHumidity);
            minute += cell(row, kColReachHours) * 60 + cell(row, kColReachMinutes);
            points.push_back({minute, temperature, humidity});
            minute += cell(row, kColStabiliseHours) * 60 + cell(row, kColStabiliseMinutes);
            points.push_back({minute, temperature, humidity});
        }
    }
    return points;
}

int ProgramDurationMinutes(const ProgramTexts& texts)
{
    const QVector<ProfilePoint> points = ProgramProfile(texts);
    return points.isEmpty() ? 0 : points.back().minute;
}

QString DurationText(int minutes)
{
    const int days = minutes / (24 * 60);
    const int hours = minutes / 60 % 24;
    const int rest = minutes % 60;
    const QString hm = QStringLiteral("%1 ч %2 мин").arg(hours).arg(rest, 2, 10, QChar(u'0'));
    return days > 0 ? QStringLiteral("%1 сут %2").arg(days).arg(hm) : hm;
}
