// The action journal: one record for every action an operator takes on the
// chambers and the line, chained by SHA-256 so that an edit afterwards shows.
//
// File "Журнал действий.csv" in the data logs' folder, the current month.
// UTF-8 with a byte-order mark, comma-separated, RFC 4180 quoting, CR LF,
// never a line break inside a field (one becomes a space):
//
//   #Calvetra journal,<start value: 64 hex digits>
//   №,UTC,Местное время,Оператор,Компьютер,Камера,Действие,Было,Стало,Итог,Предыдущий хеш,Хеш
//   1,2026-12-09T20:31:05.123Z,2026-12-09T23:31:05.123,ivanov,lab-pc,1,Пуск,,ручной,отправлено,<start>,<hash 1>
//   2,...,<hash 1>,<hash 2>
//
// The hash of a record is the SHA-256 (64 hex digits, lower case) of the
// bytes of its line from the start of the line up to, not including, the
// comma before the hash: fields 1 to 11 exactly as written (UTF-8, quoted
// where written quoted, joined by ","), the 11th being the previous hash
// (the start value for record 1). The byte-order mark and the line end are
// not hashed.
//
// The start value is random for the very first file; the file of a new month
// carries the last hash of the month before, which is renamed (not rewritten)
// to "Журнал действий YYYY-MM.csv" (the month of its records, local time). A
// file found broken is renamed aside ("Журнал действий нарушен <time>.csv"),
// and the new file carries the last hash that still fitted and records the
// break as its first record. Every write, rollover and set-aside happens
// under flock() on "Журнал действий.lock" beside the journal, so two running
// copies never interleave or both roll over.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QTextStream;

enum class JournalAction {
    ProgramWrite,
    SetPointWrite,
    Start,
    Stop,
    PortOpen,
    PortClose,
    ReadingOn,
    ReadingOff,
    LoggingOn,
    LoggingOff,
    AlarmAcknowledge,
    AlarmSettings,
    ProgramLoad,
    ProgramSave,
    ChainBreak,
    ChamberSelect,
    DeviationArming,
    // The recorder's own: it started, it stopped, it read its configuration,
    // a line was lost and came back.
    RecorderStart,
    RecorderStop,
    ConfigurationRead,
    LineLost,
    LineBack,
    // A request on the recorder's control socket that its caller may not make.
    ControlRefused,
    // An address the operator added to the overview's chambers.
    WatchAdd,
    // An electronic signature, and a try that failed (a wrong password, the lock).
    Signature,
    SignatureFailure,
    // A report written (and written again with its signatures), with its SHA-256.
    ReportWritten,
    // The operator's reason for a change, just before the change's record;
    // the rule that a reason is asked, switched on or off.
    ChangeReason,
    ReasonRequirement,
    // A signed program opened for change: its signatures no longer hold for what follows.
    SignedProgramChange,
};
// The action's text as the file holds it ("Запись программы", …).
QString JournalActionText(JournalAction action);

// Outcomes: a frame handed to the open port; a frame with no port open (it
// goes nowhere); an action done on this computer.
QString JournalOutcomeSent();
QString JournalOutcomeNoPort();
QString JournalOutcomeDone();
// Outcomes of a control frame by the chamber's answer to it: its echo, an
// exception reply with its code, nothing that answers it.
QString JournalOutcomeConfirmed();
QString JournalOutcomeRefused(int exceptionCode);
QString JournalOutcomeNoAnswer();

// What the caller knows of an action.
struct JournalEntry {
    JournalAction action = JournalAction::Start;
    QString chamber;  // the bus address, empty when no chamber is concerned
    QString oldValue;
    QString newValue;
    QString outcome;
    // Who asked, when it is not this process's own user: the caller on the
    // recorder's control socket, as the kernel names it.
    QString operatorName;
};

// One record as the file holds it.
struct JournalRecord {
    qint64 number = 0;
    QString utc;    // 2026-12-09T20:31:05.123Z
    QString local;  // 2026-12-09T23:31:05.123
    QString operatorName;
    QString computer;
    QString chamber;
    QString action;
    QString oldValue;
    QString newValue;
    QString outcome;
    QString previousHash;
    QString hash;
};

enum class JournalFault {
    None,
    Unreadable,  // cannot be opened or read
    NotJournal,  // first or second line is not the journal's
    Damaged,     // a line that is not a record
    Torn,        // the last line ends without its line end
    Changed,     // a record's content or link does not match its hash
    Removed,     // a record is missing
    Inserted,    // a line that does not belong between two records
    Reordered,   // records out of their order
    NotContinued,  // a file's start value is not the last hash of the file before
    // Re-saved by another program: the records may still fit (the problem says).
    ByteOrderMarkRemoved,
    LineEndsConverted,
    // Against a head taken from outside: records missing from the end, the
    // head's record not the file's, records after the head.
    HeadMissing,
    HeadForged,
    BeyondHead,
};

// The result of checking one file.
struct JournalCheck {
    bool ok = false;
    qint64 records = 0;    // records that fit, from the first one on
    QString startValue;    // of the file's first line
    QString lastHash;      // of the last record that fits (the start value when none)
    JournalFault fault = JournalFault::None;
    qint64 badRecord = 0;  // the record number where the chain stops fitting
    qint64 badLine = 0;    // its line in the file, from 1
    QString problem;       // what does not fit, for the operator
};

// File names in the folder (ending in "/" or not).
QString JournalFileName(const QString& folder);
QString JournalMonthFileName(const QString& folder, int year, int month);
QString JournalLockFileName(const QString& folder);

// The header line (without line end) and the line of a record (with CR LF)
// with its hash filled in.
QString JournalHeaderText();
QByteArray JournalRecordLine(JournalRecord& record);

// Reads a journal file in one streaming pass, checking the chain; each record
// that fits goes to `each` (may be empty). Memory does not grow with the file.
JournalCheck CheckJournal(const QString& path, const std::function<void(const JournalRecord&)>& each = {});

// The records of one chamber (empty: all) and one local day (invalid: all),
// newest first, as the journal window lists them.
std::vector<JournalRecord> FilterJournalRecords(const std::vector<JournalRecord>& records, const QString& chamber,
                                                const QDate& day);

// `calvetra --verify-journal FILE… [--head N:HASH]`: checks each file and,
// for consecutive files, that each one continues the one before; with a head
// taken from outside (the endpoint's, the recorder's log), that the last
// file ends exactly at record N with that hash. Prints one line per file
// (records and last hash, or the first record that does not fit). Returns
// the exit code: 0 whole, 1 not.
int VerifyJournalFiles(const QStringList& arguments, QTextStream& out);

// Appends one record, flushed to the disk (fdatasync) before returning; the
// caller then acts. Throws EInOutError, naming the journal and the system's
// reason, when it cannot be written whole; the file is left as it was.
// `now` fixes the clock (tests); invalid means the current time.
JournalRecord AppendJournal(const QString& folder, const JournalEntry& entry, const QDateTime& now = {});

// Records that could not be written when their action was taken: kept in
// memory, in the order they were made, each with its own time, and written in
// that order once the journal can be written again. Numbers and hashes are
// given at the writing, so the chain stays whole. The keep is process-wide
// and may be asked from any thread.
struct KeptJournalRecord {
    JournalEntry entry;
    QDateTime when;
};
// Keeps a record for later.
void KeepJournalRecord(const JournalEntry& entry, const QDateTime& when);
// Writes the kept records, oldest first, each as AppendJournal does; stops at
// the first that cannot be written (it and the rest stay kept) and throws
// its EInOutError. Returns how many were written.
int WriteKeptJournal(const QString& folder);
// Writes the kept records and then this one, as AppendJournal does; throws
// when any cannot be written (this one is then not kept).
JournalRecord AppendAfterKeptJournal(const QString& folder, const JournalEntry& entry, const QDateTime& when = {});
// Writes the kept records and then this one; when any cannot be written, this
// one is kept behind the rest instead and the reason goes to *failure.
// Returns true when the record is in the file.
bool AppendOrKeepJournal(const QString& folder, const JournalEntry& entry, const QDateTime& when, QString* failure);
std::vector<KeptJournalRecord> KeptJournalRecords();
int KeptJournalCount();
// The system's words for the latest failed write, empty once all is written.
QString JournalWriteFailure();
// Drops what is kept (the end of a run or of a test).
void ForgetKeptJournal();

// Whether an action waits for its record: a change of a chamber's work
// (a program, set points, a start, alarm settings and their arming) is refused when its record
// cannot be written; a stop and watching go ahead and their record is kept.
bool JournalActionNeedsRecord(JournalAction action);
// The outcome of an action refused because the journal could not be written.
QString JournalOutcomeRefused();

// The check at start-up: the current file is verified under the lock. A broken
// one is never repaired: it is renamed aside and a new file begins with a
// "Разрыв цепочки журнала" record. Returns the check of the file as found
// (ok when whole or absent); setAside names the renamed file.
JournalCheck CheckJournalAtStart(const QString& folder, QString* setAside = nullptr, const QDateTime& now = {});
// The main window's words for a broken chain found at start.
QString JournalBreakMessage(const JournalCheck& check, const QString& setAside);

// The head of the current file, read from its tail: records and last hash.
struct JournalHead {
    qint64 records = -1;  // -1: no journal yet
    QString lastHash;
};
JournalHead ReadJournalHead(const QString& folder);
// "N:HASH" (a record number and its hash: all 64 hex digits, or at least
// the first 16 as the endpoint shows them); false for anything else.
bool ParseJournalHead(const QString& text, JournalHead* head);
// The file's check, then against the head: records removed from its end,
// the head's record not the file's (re-hashed), records after the head.
JournalCheck CheckJournalAgainstHead(const QString& path, const JournalHead& head);

// The folder the running application keeps its journal in (start-up sets it;
// readers on other threads may ask). Empty until set.
void SetJournalFolder(const QString& folder);
QString JournalFolder();

// Test seam: the login name and host name written into records.
void SetJournalIdentityForTests(const QString& operatorName, const QString& computer);
