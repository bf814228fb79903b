// The one call every action makes before it acts: its record in the action
// journal of the running program, and the records kept while the journal
// cannot be written. The windows and the alarms follow through one hook.
#pragma once

#include <QString>

#include <functional>

#include "monitoring/ActionJournal.h"

// Writes the action's record into the journal (flushed), after any records
// kept from before. When the journal cannot be written: a change of a
// chamber's work (JournalActionNeedsRecord) throws EInOutError and the
// caller's handler ends there, before anything is sent, its refusal kept to
// be written later; any other action (a stop, watching) goes ahead and its
// record is kept, with the time it was made, until the journal can be
// written. Meanwhile the alarm "журнал действий не записывается" stands.
void RecordAction(JournalAction action, const QString& chamber, const QString& oldValue, const QString& newValue,
                  const QString& outcome);
// A record of what followed from the chamber rather than the operator (its
// confirmed stop disarms its deviation alarms): never refused; kept in memory
// while the journal cannot be written, as watching's records are.
void RecordFollowingAction(JournalAction action, const QString& chamber, const QString& oldValue,
                           const QString& newValue, const QString& outcome);

// Tries the kept records again (a timer does it every few seconds while any
// are kept) and tells the hook.
void RetryKeptRecords();
// The program ends: the kept records are written, or, when the journal still
// refuses them, listed on standard error, so that no record is lost unseen.
void FinishJournal();

// "Причина изменения обязательна" (settings key journal/reasonRequired): when
// on, a change of a chamber's work (a program, set points, a start or a stop)
// or of the alarm settings asks for the operator's reason first.
bool ChangeReasonRequired();
// Journalled first, and refused as a change is when the journal refuses it.
void SetChangeReasonRequired(bool on);
// The reason's record, just before the change's own: Было the change
// ("Запись уставок"), Стало the reason.
void RecordChangeReason(JournalAction change, const QString& chamber, const QString& reason);

// The chamber column's text for a bus address.
QString JournalChamber(int address);

// The folder the records go to: the journal's own, else the data logs'.
QString ActionJournalFolder();

// Called after every record and retry: writable is false while records are
// kept, with the system's words for why. One hook; null removes it.
using JournalStateHook = std::function<void(bool writable, const QString& reason)>;
void SetJournalStateHook(JournalStateHook hook);
