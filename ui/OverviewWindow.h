// "Обзор камер": a tile for every chamber the scan found or the operator
// added by address, or a table with a row for each, read in turn off the
// user-interface thread; a log of its own per chamber. A click on a tile or
// a row picks the chamber in the main list.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMap>
#include <QPair>
#include <QPushButton>
#include <QScrollArea>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <map>

#include "monitoring/Alarms.h"
#include "monitoring/ChamberLog.h"
#include "monitoring/Overview.h"
#include "monitoring/StatusMetrics.h"
#include "services/StatusBoard.h"
#include "ui/OverviewTable.h"

class TChamberTile : public QFrame {
    Q_OBJECT
public:
    explicit TChamberTile(int address, QWidget* parent = nullptr);
    // The last answer's values while fresh; older ones greyed with their
    // age; "—" before the first answer.
    void Show(const WatchedChamber& chamber, qint64 nowMs);
    // The values are the last answer's, and it is no longer fresh.
    bool ShowsStaleValues() const { return m_stale; }
    // Said on the link line instead of the chamber's link, the values greyed
    // (the recorder gone); empty: the chamber's own again.
    void SetUnavailable(const QString& why);
    int Address() const { return m_address; }
    QLabel* Title;
    QLabel* Temperature;
    QLabel* Humidity;
    QLabel* Program;
    QLabel* Age;   // the values' age, shown while they are no longer fresh
    QLabel* Arming;  // "тревоги отклонения выключены с …" while they are
    QLabel* Link;
    QCheckBox* Log;  // "Запись": this chamber's own data log

signals:
    void Clicked(int address);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int m_address;
    bool m_stale = false;
    QString m_unavailable;
};

class TOverviewWindow : public QWidget {
    Q_OBJECT
public:
    explicit TOverviewWindow(QWidget* parent = nullptr);
    ~TOverviewWindow() override;

    // Watches the chamber from now on (a second call changes nothing).
    void Watch(int address);
    QVector<int> Watched() const;
    const WatchedChamber* Chamber(int address) const;
    // The chamber's data log while it is switched on (its box ticked), else null.
    const ChamberLog* Log(int address) const;
    TChamberTile* Tile(int address) const;
    // What the endpoint carries of the chamber; its alarms (kept by the alarm
    // centre, null before its first read).
    const WatchedStatus* Status(int address) const;
    const AlarmRules* Alarms(int address) const;
    // The tile's colour and the endpoint's counts after the chamber's alarms changed.
    void ShowChamberAlarms(int address);
    // The port that was opened, for the endpoint's labels.
    void SetPortLabel(const QString& port) { m_portLabel = port; }
    OverviewReader& Reader() { return m_reader; }
    // A read made by the recorder the main window is attached to, shown on
    // the chamber's tile as one of this window's; read.selected: the main
    // window shows it and raises its alarms itself.
    void TakeRecorderRead(const OverviewRead& read) { ShowRead(read); }
    // The reading runs from the window's first showing (or this call) on.
    void StartReading();

    // Attached to a recorder: this window's own tiles are the attached
    // line's, titled by it; every other line of the recorder (name and
    // caption) is a group of tiles below, from the recorder's reads. The
    // recorder keeps every chamber's log, so the tiles' boxes are off. An
    // empty caption: the desktop's own line again, no groups.
    void SetRecorderLines(const QString& attachedCaption, const QVector<QPair<QString, QString>>& otherLines);
    QStringList OtherLines() const;
    // A read of a chamber of another line; a chamber not yet shown gets its tile.
    void TakeLineRead(const QString& line, const OverviewRead& read);
    // The recorder's alarms of another line: each tile's colour and tooltip.
    void TakeLineAlarms(const QString& line, const std::vector<ChamberAlarm>& alarms);
    TChamberTile* LineTile(const QString& line, int address) const;
    // The recorder gone (why) or back (empty): said above the tiles and on
    // each, what they showed kept, greyed.
    void SetRecorderUnavailable(const QString& why);
    const WatchedChamber* LineChamber(const QString& line, int address) const;
    QLabel* LabelLine;  // the attached line's caption over its tiles

    QPushButton* ButtonAdd;      // "Добавить адрес…"
    QCheckBox* CheckLogAll;      // "Записывать все"
    QSpinBox* SpinTimeout;       // the overview read's timeout, ms
    QLabel* LabelMessage;        // what went wrong, in words
    QPushButton* ButtonTiles;    // "Плитки": a tile per chamber, flowing to the width
    QPushButton* ButtonTable;    // "Таблица": a row per chamber
    QTableView* Table;           // sorted by the clicked column, by address at first
    // The table (true) or the tiles; the choice is kept for the next start.
    void ShowTable(bool table);
    bool TableShown() const;
    // Tiles side by side at the tile view's present width.
    int TileColumns() const;
    TOverviewModel& Model() { return *m_model; }

    // "Добавить адрес…" with the typed text (the dialog's answer).
    void AddAddressText(const QString& text);
    // The tile's log on or off, journalled first (byOperator false: it
    // followed from something else, never refused).
    void SetChamberLog(int address, bool on, bool byOperator = true);
    void WriteDueHeaders();
    void AppendChamberLogLines();
    // The minute timer of the chamber logs (a soak counts its ticks).
    const QTimer& LogTimer() const { return m_logTimer; }

signals:
    void ChamberClicked(int address);
    // A tile of another line of the recorder.
    void LineChamberClicked(const QString& line, int address);
    // A read of the main window's chamber (watched here or not).
    void SelectedRead(const OverviewRead& read);
    // A read of a watched chamber, once its tile and row show it. No window
    // needs it (the alarms and the endpoint are fed in OnRead itself); the
    // tests count each chamber's answers by it.
    void ChamberRead(const WatchedChamber& chamber, bool answered);
    // Alarms of one chamber that started, ended or were acknowledged.
    void ChamberAlarmEvents(int address, const std::vector<AlarmEvent>& events);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QHBoxLayout* CreateBar();
    QWidget* CreateViews();
    void ConnectHandlers();
    // The chamber's tile and table row as the chamber now is.
    void ShowChamber(const WatchedChamber& chamber, qint64 nowMs);
    void OnRead(const OverviewRead& read);
    void ShowRead(const OverviewRead& read);
    void ButtonAddClick();
    void CheckLogAllClick();
    void RefreshAges();
    void Relayout();
    void RelayoutLine(QGridLayout* grid, const QMap<int, TChamberTile*>& tiles);

    // Another line of the recorder: its group box, tiles and chambers.
    struct LineGroup {
        QWidget* box = nullptr;
        QLabel* caption = nullptr;
        QGridLayout* grid = nullptr;
        QMap<int, WatchedChamber> chambers;
        QMap<int, TChamberTile*> tiles;
    };
    std::map<QString, LineGroup> m_lineGroups;
    QVBoxLayout* m_groupLayout = nullptr;

    OverviewReader m_reader;
    QMap<int, WatchedChamber> m_chambers;
    std::map<int, ChamberLog> m_logs;  // of the tiles logged
    QMap<int, TChamberTile*> m_tiles;
    // The endpoint's statuses are the alarm centre's board; this one stands
    // in while there is none.
    StatusBoard m_ownBoard;
    StatusBoard& Board();
    const StatusBoard& Board() const;
    QString m_portLabel;
    QStackedWidget* m_views;
    QScrollArea* m_tileScroll;
    QWidget* m_tileArea;
    QGridLayout* m_grid;
    int m_columns = 1;  // of the grid as last laid out
    TOverviewModel* m_model;
    QSortFilterProxyModel* m_sorted;
    QTimer m_ageTimer;     // the answers' ages, only while the window shows
    QTimer m_logTimer;     // once a minute: every chamber log's line
    QTimer m_headerTimer;  // five seconds after a log was switched on
};

extern TOverviewWindow* FormOverview;
