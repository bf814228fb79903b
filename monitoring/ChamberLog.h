// One chamber's data log as a writer that keeps running: a file per chamber
// and run, named, headed, coded and laid out as the main window writes its
// own, and a record a minute only when the chamber answered since the last
// one. Records the disk does not take are kept, in order, up to a day's
// worth, and written once it takes them again; a record is appended in one
// write and a write that fails part-way is taken back, so a file never holds
// a torn record, nor one twice.
#pragma once

#include <QString>
#include <QStringList>

#include <ctime>

class ChamberLog {
public:
    // A day of minutes: beyond it the oldest unwritten record goes first.
    static constexpr int kMostPending = 24 * 60;

    // Logs of chamber address in folder (which must end in "/").
    ChamberLog(QString folder, int address);

    // An answered read's record line (RecordLine's text); the newest one of
    // a minute is the minute's record.
    void Take(const QString& recordLine);
    // The minute is over: its record, if the chamber answered, joins the
    // records waiting, and they go to the file (with the header first when
    // the file is new). False with the reason when something stays unwritten.
    bool Minute(const std::tm& now, QString* error);

    int Pending() const { return static_cast<int>(m_pending.size()); }
    int Dropped() const { return m_dropped; }  // records lost to the bound
    // Empty until the first minute named the file.
    QString FileName() const { return m_fileName; }
    int Address() const { return m_address; }

private:
    bool Append(const QString& text, QString* error);

    QString m_folder;
    int m_address;
    QString m_fileName;
    bool m_headerWritten = false;
    QString m_record;  // of the minute under way; empty when nothing answered
    QStringList m_pending;
    int m_dropped = 0;
};
