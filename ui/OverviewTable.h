// The overview as a table: one row per watched chamber with the values its
// tile shows, sortable by every column. Fed by the same reads as the tiles.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QVector>

#include "monitoring/Overview.h"

// What a tile and a table row say alike.
// A value text, or "—" before the chamber's first answer (the idle texts
// would read as a chamber at 0 °C).
QString ShownValue(const WatchedChamber& chamber, const QString& text);
// "нет опроса" while nothing reads the chamber, else its link in words.
QString ShownLink(const WatchedChamber& chamber);
// Red for an alarm of the chamber (or of the whole lab), else green,
// yellow or grey by its link.
QColor ChamberColour(const WatchedChamber& chamber, bool labAlarm);
// Values no longer measured are greyed.
QColor StaleTextColour();

class TOverviewModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Address,
        Temperature,
        SetTemperature,
        Humidity,
        SetHumidity,
        Program,
        Step,
        Cycle,
        Link,
        Age,
        Alarm,
        ColumnCount
    };
    // The role the table sorts by: numbers where a column holds them.
    static constexpr int SortRole = Qt::UserRole;

    explicit TOverviewModel(QObject* parent = nullptr);

    // A chamber's row after a read or an alarm change; a new address gets
    // its row.
    void Show(const WatchedChamber& chamber, qint64 nowMs, bool labAlarm);
    // The ages (and freshness) as of now, for every row.
    void SetNow(qint64 nowMs);
    int AddressAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QString Text(const WatchedChamber& chamber, int column) const;
    QVariant SortKey(const WatchedChamber& chamber, int column) const;

    QVector<WatchedChamber> m_rows;  // ascending addresses
    QVector<bool> m_labAlarm;
    qint64 m_now = 0;
};
