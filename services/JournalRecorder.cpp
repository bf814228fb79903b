#include "services/JournalRecorder.h"

#include <QDateTime>
#include <QSettings>
#include <cstdio>
#include <vector>

#include "monitoring/DataLog.h"
#include "monitoring/HandlerErrors.h"

namespace {

JournalStateHook& Hook()
{
    static JournalStateHook hook;
    return hook;
}

void JournalStateChanged()
{
    if (const JournalStateHook& hook = Hook())
        hook(KeptJournalCount() == 0, JournalWriteFailure());
}

JournalEntry EntryOf(JournalAction action, const QString& chamber, const QString& oldValue, const QString& newValue,
                     const QString& outcome)
{
    JournalEntry entry;
    entry.action = action;
    entry.chamber = chamber;
    entry.oldValue = oldValue;
    entry.newValue = newValue;
    entry.outcome = outcome;
    return entry;
}

}  // namespace

QString ActionJournalFolder()
{
    const QString folder = JournalFolder();
    return folder.isEmpty() ? LogFolder() : folder;
}

void SetJournalStateHook(JournalStateHook hook) { Hook() = std::move(hook); }

namespace {
const char* const kReasonKey = "journal/reasonRequired";
}

bool ChangeReasonRequired() { return QSettings().value(QLatin1String(kReasonKey), false).toBool(); }

void SetChangeReasonRequired(bool on)
{
    if (on == ChangeReasonRequired())
        return;
    auto word = [](bool b) { return b ? QStringLiteral("включено") : QStringLiteral("выключено"); };
    RecordAction(JournalAction::ReasonRequirement, QString(), word(!on), word(on), JournalOutcomeDone());
    QSettings().setValue(QLatin1String(kReasonKey), on);
}

void RecordChangeReason(JournalAction change, const QString& chamber, const QString& reason)
{
    RecordAction(JournalAction::ChangeReason, chamber, JournalActionText(change), reason, JournalOutcomeDone());
}

void RecordAction(JournalAction action, const QString& chamber, const QString& oldValue, const QString& newValue,
                  const QString& outcome)
{
    JournalEntry entry = EntryOf(action, chamber, oldValue, newValue, outcome);
    const QDateTime when = QDateTime::currentDateTime();
    if (JournalActionNeedsRecord(action)) {
        try {
            AppendAfterKeptJournal(ActionJournalFolder(), entry, when);
        } catch (const EInOutError&) {
            // The refusal itself is kept, so that the journal tells of it.
            entry.outcome = JournalOutcomeRefused();
            KeepJournalRecord(entry, when);
            JournalStateChanged();
            throw;
        }
    } else {
        AppendOrKeepJournal(ActionJournalFolder(), entry, when, nullptr);
    }
    JournalStateChanged();
}

void RecordFollowingAction(JournalAction action, const QString& chamber, const QString& oldValue,
                           const QString& newValue, const QString& outcome)
{
    AppendOrKeepJournal(ActionJournalFolder(), EntryOf(action, chamber, oldValue, newValue, outcome),
                        QDateTime::currentDateTime(), nullptr);
    JournalStateChanged();
}

void RetryKeptRecords()
{
    if (KeptJournalCount() > 0) {
        try {
            WriteKeptJournal(ActionJournalFolder());
        } catch (const EInOutError&) {
            // Still not writable: the alarm stays, the timer tries again.
        }
    }
    JournalStateChanged();
}

void FinishJournal()
{
    if (KeptJournalCount() > 0) {
        try {
            WriteKeptJournal(ActionJournalFolder());
        } catch (const EInOutError& error) {
            const std::vector<KeptJournalRecord> kept = KeptJournalRecords();
            std::fprintf(stderr, "Журнал действий: %d записей не записаны (%s):\n", static_cast<int>(kept.size()),
                         error.text.c_str());
            for (const KeptJournalRecord& k : kept) {
                const QString local = k.when.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
                std::fprintf(stderr, "  %s,%s,%s,%s,%s,%s\n", qPrintable(local), qPrintable(k.entry.chamber),
                             qPrintable(JournalActionText(k.entry.action)), qPrintable(k.entry.oldValue),
                             qPrintable(k.entry.newValue), qPrintable(k.entry.outcome));
            }
        }
    }
    ForgetKeptJournal();
}

QString JournalChamber(int address) { return QString::number(address); }
