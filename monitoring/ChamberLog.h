// One chamber's data log, the one writer of the main window's log, the
// overview's logs and the recorder's: a file per chamber and run, named,
// headed, coded and laid out alike, and a record a minute only when the
// chamber answered since the last one. A record is appended in one write and
// a write that fails part-way is taken back, so a file never holds a torn
// record, nor one twice.
//
// The recorder's log names its file at its first record and heads it then;
// records the disk does not take are kept, in order, up to a day's worth,
// and written once it takes them again. A desktop window's log (the writer
// given as MainWindow or Overview) is named by its window when the operator
// ticks it, headed at WriteHeader five seconds later, and keeps one record
// the disk refused for the next minute, until a newer answer takes its place;
// a file removed while it logs is not made again behind the operator's back.
#pragma once

#include <QString>
#include <QStringList>

#include <ctime>

#include "monitoring/DataLog.h"

struct StatusView;

// The record of an answered read at `when`: its time and the value texts in
// their columns (RecordLine's text), as every writer puts it in its file.
QString ChamberRecordLine(const std::tm& when, const StatusView& view);

// The name of a new log of `writer` started at `now` in folder (ending in
// "/"), claimed so that no other writer shares it; the address placeholder
// stays in it for the caller to fill when the chamber is known.
QString NewLogFileName(const QString& folder, const std::tm& now, int address, LogWriter writer);

class ChamberLog {
public:
    // A day of minutes: beyond it the oldest unwritten record goes first.
    static constexpr int kMostPending = 24 * 60;

    // The recorder's log of chamber address in folder (which must end in "/").
    ChamberLog(QString folder, int address);
    // A desktop window's log of chamber address; its file is named by SetFileName.
    ChamberLog(LogWriter writer, int address);

    // The file from now on; another name than before is a new file, whose
    // header is still to come.
    void SetFileName(const QString& fileName);
    // The header into the file, made if it is missing; a file already there
    // keeps what it holds and the header goes after it. False with the
    // reason when it is not written.
    bool WriteHeader(QString* error);
    bool HeaderWritten() const { return m_headerWritten; }

    // An answered read's record line (ChamberRecordLine); the newest one of
    // a minute is the minute's record.
    void Take(const QString& recordLine);
    // The minute is over: its record, if the chamber answered, goes to the
    // file (the recorder's with the records waiting before it, and with the
    // header first when the file is new). False with the reason when
    // something stays unwritten.
    bool Minute(const std::tm& now, QString* error);

    // The record of the minute under way, or the one kept from a refused
    // write; empty when there is none.
    QString Record() const { return m_record; }
    int Pending() const { return static_cast<int>(m_pending.size()); }
    int Dropped() const { return m_dropped; }  // records lost to the bound
    // Empty until the first minute (the recorder's) or SetFileName named the file.
    QString FileName() const { return m_fileName; }
    int Address() const { return m_address; }
    LogWriter Writer() const { return m_writer; }

private:
    bool Append(const QString& text, bool create, QString* error);
    bool RecorderMinute(const std::tm& now, QString* error);

    QString m_folder;
    int m_address;
    LogWriter m_writer;
    QString m_fileName;
    bool m_headerWritten = false;
    QString m_record;  // of the minute under way; empty when nothing answered
    QStringList m_pending;
    int m_dropped = 0;
};
