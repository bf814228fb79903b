#include "monitoring/Presentation.h"

#include <cstdlib>

#include "monitoring/StatusDecode.h"
#include "monitoring/HandlerErrors.h"

namespace {

const QString kEntryPrefix = QStringLiteral("Камера №");

// One time field: the hours when accepted, then the minutes when accepted.
void UpdateTimeField(QString& field, const Accepted& hours, const Accepted& minutes)
{
    if (hours.accepted)
        field = TwoDigitText(hours.value);
    if (minutes.accepted)
        field = MinutesAppended(field, minutes.value);
}

}  // namespace

QString TenthsText(int tenths, const QString& separator)
{
    const int magnitude = std::abs(tenths);
    QString text = tenths < 0 ? QStringLiteral("-") : QString();
    text += QString::number(magnitude / 10);
    if (magnitude % 10 != 0)
        text += separator + QString::number(magnitude % 10);
    return text;
}

QString NumberText(int value) { return QString::number(value); }

QString TwoDigitText(int value)
{
    return value >= 0 && value <= 9 ? QStringLiteral("0") + QString::number(value) : QString::number(value);
}

QString PairText(int x, int y) { return NumberText(x) + u'(' + NumberText(y) + u')'; }

QString MinutesAppended(const QString& field, int minutes)
{
    const qsizetype colon = field.indexOf(u':');
    const QString hours = colon < 0 ? field : field.left(colon);
    return hours + u':' + TwoDigitText(minutes);
}

void ApplyStatus(StatusView& view, const StatusReply& reply, const QString& separator)
{
    if (!reply.decoded)
        return;
    if (reply.currentTemp.accepted)
        view.currentTempText = TenthsText(reply.currentTemp.value, separator);
    view.label5 = view.currentTempText;
    if (reply.setTemp.accepted)
        view.setTempText = TenthsText(reply.setTemp.value, separator);
    view.label18 = view.setTempText;

    UpdateTimeField(view.label11, reply.stabiliseHours, reply.stabiliseMinutes);
    UpdateTimeField(view.label15, reply.reachHours, reply.reachMinutes);
    UpdateTimeField(view.label3, reply.reachSetHours, reply.reachSetMinutes);
    UpdateTimeField(view.label19, reply.stabiliseSetHours, reply.stabiliseSetMinutes);

    if (reply.stepAccepted) {
        view.stepText = PairText(reply.step, reply.steps);
        view.label13 = view.stepText;
    }
    if (reply.cycleAccepted) {
        view.cycleText = PairText(reply.cycle, reply.cycles);
        view.label20 = view.cycleText;
    }
    if (reply.program.accepted) {
        view.programText = NumberText(reply.program.value);
        view.label17 = view.programText;
    }
    if (reply.currentHumidity.accepted) {
        view.currentHumidityText = TenthsText(reply.currentHumidity.value, separator);
        view.label2 = view.currentHumidityText;
    }
    if (reply.setHumidity.accepted) {
        view.setHumidityText = TenthsText(reply.setHumidity.value, separator);
        view.label4 = view.setHumidityText;
    }
}

QString Fill(int k) { return k > 0 ? QString(k, u' ') : QString(); }

QString RecordLine(const QString& timeText, const QString& currentTemp, const QString& currentHumidity,
                   const QString& program, const QString& step, const QString& cycle)
{
    const auto width = [](const QString& text, int columns) { return Fill(columns - static_cast<int>(text.size())); };
    QString line;
    line += Fill(4) + timeText + u';';
    line += Fill(11) + currentTemp + u';';
    line += width(currentTemp, 30) + currentHumidity + u';';
    line += width(currentHumidity, 28) + program + u';';
    line += width(program, 24) + step + u';';
    line += width(step, 31) + cycle + u';';
    line += Fill(5) + QStringLiteral("\r\n");
    return line;
}

QString ChamberEntryText(int address) { return kEntryPrefix + QString::number(address); }

int AddressFromEntry(const QString& entry)
{
    const QString digits = entry.mid(kEntryPrefix.size());
    bool ok = false;
    const int address = digits.toInt(&ok, 10);
    if (!ok)
        throw EConvertError("'" + digits.toStdString() + "' is not a valid integer value");
    return address;
}

int ProgressForAddress(int address)
{
    // 2a/5 never ends in exactly one half, so rounding up from .5 is safe.
    return (4 * address + 5) / 10;
}

QString ProgressText(int address) { return QString::number(address) + QStringLiteral(" из 250"); }
