#include "ui/OverviewTable.h"

#include <QBrush>
#include <algorithm>
#include <limits>

#include "monitoring/LocaleText.h"
#include "monitoring/ReadWatch.h"
#include "monitoring/StatusMetrics.h"

namespace {

const QColor kAnswering(0xd8, 0xf0, 0xd8);
const QColor kLate(0xff, 0xf0, 0xb0);
const QColor kSilent(0xd0, 0xd0, 0xd0);
const QColor kAlarm(0xff, 0xb8, 0xb8);
const QColor kStaleText(0x80, 0x80, 0x80);

// Below every number, so that a chamber not yet heard sorts first.
constexpr double kNoValue = std::numeric_limits<double>::lowest();

// A value text as the window writes it ("-12,3", "25"), as a number.
double Number(const QString& text)
{
    QString plain = text;
    plain.replace(DecimalSeparator(), QStringLiteral("."));
    bool ok = false;
    const double v = plain.toDouble(&ok);
    return ok ? v : kNoValue;
}

// "x(y)": by x, then y.
double Pair(const QString& text)
{
    const qsizetype open = text.indexOf(u'(');
    if (open < 0)
        return Number(text);
    const double x = Number(text.left(open));
    const double y = Number(text.mid(open + 1).chopped(text.endsWith(u')') ? 1 : 0));
    return x == kNoValue ? kNoValue : x * 100000 + std::max(0.0, y);
}

int LinkOrder(const WatchedChamber& chamber)
{
    if (ChamberReadOverdue(chamber.address))
        return 4;
    switch (chamber.link) {
    case ChamberLink::Answering:
        return 0;
    case ChamberLink::Late:
        return 1;
    case ChamberLink::Silent:
        return 2;
    case ChamberLink::Unknown:
        break;
    }
    return 3;
}

}  // namespace

QString ShownValue(const WatchedChamber& chamber, const QString& text)
{
    return chamber.lastAnswerMs > 0 ? text : QStringLiteral("—");
}

QString ShownLink(const WatchedChamber& chamber)
{
    return ChamberReadOverdue(chamber.address) ? QStringLiteral("нет опроса") : LinkText(chamber.link);
}

QColor ChamberColour(const WatchedChamber& chamber, bool labAlarm)
{
    if (chamber.outstandingAlarms > 0 || labAlarm)
        return kAlarm;
    if (chamber.link == ChamberLink::Answering)
        return kAnswering;
    if (chamber.link == ChamberLink::Late)
        return kLate;
    return kSilent;
}

QColor StaleTextColour() { return kStaleText; }

TOverviewModel::TOverviewModel(QObject* parent) : QAbstractTableModel(parent) {}

void TOverviewModel::Show(const WatchedChamber& chamber, qint64 nowMs, bool labAlarm)
{
    m_now = nowMs;
    auto at = std::lower_bound(m_rows.begin(), m_rows.end(), chamber.address,
                               [](const WatchedChamber& row, int address) { return row.address < address; });
    const int row = static_cast<int>(at - m_rows.begin());
    if (at == m_rows.end() || at->address != chamber.address) {
        beginInsertRows({}, row, row);
        m_rows.insert(row, chamber);
        m_labAlarm.insert(row, labAlarm);
        endInsertRows();
        return;
    }
    *at = chamber;
    m_labAlarm[row] = labAlarm;
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void TOverviewModel::SetNow(qint64 nowMs)
{
    m_now = nowMs;
    if (!m_rows.isEmpty())
        emit dataChanged(index(0, 0), index(static_cast<int>(m_rows.size()) - 1, ColumnCount - 1));
}

int TOverviewModel::AddressAt(int row) const
{
    return row >= 0 && row < m_rows.size() ? m_rows[row].address : -1;
}

int TOverviewModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int TOverviewModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QString TOverviewModel::Text(const WatchedChamber& c, int column) const
{
    const StatusView& v = c.view;
    switch (column) {
    case Address:
        return QString::number(c.address);
    case Temperature:
        return ShownValue(c, v.label5);
    case SetTemperature:
        return ShownValue(c, v.label18);
    case Humidity:
        return ShownValue(c, v.label2);
    case SetHumidity:
        return ShownValue(c, v.label4);
    case Program:
        return ShownValue(c, v.label17);
    case Step:
        return ShownValue(c, v.label13);
    case Cycle:
        return ShownValue(c, v.label20);
    case Link:
        return ShownLink(c);
    case Age:
        return AnswerAgeText(c.lastAnswerMs, m_now);
    case Alarm:
        return c.outstandingAlarms > 0 ? c.alarmText : QString();
    default:
        return {};
    }
}

QVariant TOverviewModel::SortKey(const WatchedChamber& c, int column) const
{
    const bool answered = c.lastAnswerMs > 0;
    const StatusView& v = c.view;
    switch (column) {
    case Address:
        return c.address;
    case Temperature:
        return answered ? Number(v.label5) : kNoValue;
    case SetTemperature:
        return answered ? Number(v.label18) : kNoValue;
    case Humidity:
        return answered ? Number(v.label2) : kNoValue;
    case SetHumidity:
        return answered ? Number(v.label4) : kNoValue;
    case Program:
        return answered ? Number(v.label17) : kNoValue;
    case Step:
        return answered ? Pair(v.label13) : kNoValue;
    case Cycle:
        return answered ? Pair(v.label20) : kNoValue;
    case Link:
        return LinkOrder(c);
    case Age:
        // Never answered: older than any answer.
        return answered ? std::max<qint64>(0, m_now - c.lastAnswerMs) : std::numeric_limits<qint64>::max();
    case Alarm:
        return QStringLiteral("%1 %2").arg(c.outstandingAlarms, 4, 10, QChar(u'0')).arg(Text(c, Alarm));
    default:
        return {};
    }
}

QVariant TOverviewModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const WatchedChamber& c = m_rows[index.row()];
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return Text(c, column);
    case SortRole:
        return SortKey(c, column);
    case Qt::BackgroundRole:
        return QBrush(ChamberColour(c, m_labAlarm[index.row()]));
    case Qt::ForegroundRole: {
        const bool value = column >= Temperature && column <= Cycle;
        const bool stale = c.lastAnswerMs > 0 && !AnswerFresh(c.lastAnswerMs, m_now);
        return value && stale ? QVariant(QBrush(kStaleText)) : QVariant();
    }
    case Qt::TextAlignmentRole:
        return column <= Cycle ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
        return column == Alarm && c.outstandingAlarms > 0 ? c.alarmText : QVariant();
    default:
        return {};
    }
}

QVariant TOverviewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Address:
        return QStringLiteral("Камера №");
    case Temperature:
        return QStringLiteral("T, °C");
    case SetTemperature:
        return QStringLiteral("Задано T, °C");
    case Humidity:
        return QStringLiteral("H, %");
    case SetHumidity:
        return QStringLiteral("Задано H, %");
    case Program:
        return QStringLiteral("Программа");
    case Step:
        return QStringLiteral("Шаг");
    case Cycle:
        return QStringLiteral("Цикл");
    case Link:
        return QStringLiteral("Связь");
    case Age:
        return QStringLiteral("Последний ответ");
    case Alarm:
        return QStringLiteral("Тревога");
    default:
        return {};
    }
}
