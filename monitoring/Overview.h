// The overview: every watched chamber read in turn on a thread of its own,
// between the operator's exchanges, and what each read leaves for its tile,
// its data log, its alarms and the endpoint.
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVector>

#include <atomic>

#include "monitoring/LineOwner.h"
#include "monitoring/Presentation.h"

constexpr int kDefaultOverviewTimeoutMs = 150;
constexpr int kMinOverviewTimeoutMs = 20;
constexpr int kMaxOverviewTimeoutMs = 2000;
// The timeout kept in the settings file: a whole number is held to the
// limits; anything else (a typo, a list) takes the default, not the minimum.
int OverviewTimeoutFromSetting(const QVariant& value);
// One cycle over every watched chamber this often (a shortened wait in
// tests): a poll (800 ms) and the reads held back before it may fall into
// one cycle and not the next, so a cycle of 3 s still reads every chamber
// at least every 4 s.
constexpr int kOverviewCycleMs = 3000;
// Silent reads in a row after which a chamber is asked less often.
constexpr int kSilentCyclesBeforeBackoff = 3;
// ... but at least this often.
constexpr int kSilentAskAtLeastMs = 60000;

// What the tile shows of a chamber's line.
enum class ChamberLink { Unknown, Answering, Late, Silent };

// A watched chamber as the reads leave it.
struct WatchedChamber {
    int address = 0;
    StatusView view = {};   // texts and fields as the main window writes them
    ChamberLink link = ChamberLink::Unknown;
    int unansweredInRow = 0;
    qint64 lastAnswerMs = 0;  // wall clock of the last answer, 0 for none
    StatusReply lastReply;    // of the last answered read
    // Alarms of this chamber active or waiting for acknowledgement, and the
    // kind of the newest, for the tile.
    int outstandingAlarms = 0;
    QString alarmText;
};

// A fresh chamber: the main window's idle texts in its fields.
WatchedChamber NewWatchedChamber(int address);
// One read into the chamber: an answer decodes into its texts exactly as the
// poll's does; no answer leaves them and counts towards late and silent.
void ApplyOverviewRead(WatchedChamber& chamber, const OverviewRead& read, qint64 nowMs, const QString& separator);
// "отвечает", "опаздывает", "молчит", "—".
QString LinkText(ChamberLink link);
// The age of the last answer for the tile: "5 с назад", "3 мин назад",
// "нет ответа" when there never was one.
QString AnswerAgeText(qint64 lastAnswerMs, qint64 nowMs);
// An address typed for "Добавить адрес…": 0..250, not watched already.
// Empty when it may be added, otherwise why not.
QString CheckNewAddress(const QString& text, const QVector<int>& watched, int* address);

// When a chamber that has not answered unansweredInRow times running is
// asked again: at once below the backoff threshold, then after a doubling
// pause, never longer than kSilentAskAtLeastMs (real milliseconds).
int SilentPauseMs(int unansweredInRow, int cycleMs);

// The overview's reading on the desktop's line: the watched chambers, read
// by the line's scheduler between the operator's exchanges, a cycle every
// kOverviewCycleMs; each read is handed out by the signal Read (queued to the
// receiver's thread).
class OverviewReader : public QObject {
    Q_OBJECT
public:
    explicit OverviewReader(QObject* parent = nullptr);
    ~OverviewReader() override;  // Stop()

    void SetAddresses(const QVector<int>& addresses);
    QVector<int> Addresses() const;
    void SetTimeoutMs(int ms);  // clamped to kMin..kMaxOverviewTimeoutMs
    int TimeoutMs() const;
    // The main window's chamber while reading is on: read every periodMs
    // (unscaled) among the others' reads, never backed off, and left out of
    // the cycle. A new address is read at once; the same one keeps its
    // schedule. Its reads come out with selected set.
    void SetSelected(int address, int periodMs);
    void ClearSelected();
    int Selected() const;  // -1 when none
    // Reading on; Stop returns once the read in flight is handed out.
    void Start();
    void Stop();
    bool Running() const;
    // How often the line's thread woke so far (the idle wake-up test counts
    // them: at rest it wakes only for what is due).
    long Wakeups() const;

signals:
    void Read(const OverviewRead& read);

private:
    void Hand(const ChamberRead& read);
    LineScheduler& m_line;
    std::atomic<int> m_selectedPeriodMs{0};  // scaled
    std::atomic<bool> m_running{false};
};

Q_DECLARE_METATYPE(OverviewRead)
