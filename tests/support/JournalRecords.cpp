#include "support/JournalRecords.h"

#include <gtest/gtest.h>

std::vector<JournalRecord> CommandJournalRecords(const QString& folder)
{
    std::vector<JournalRecord> records;
    const JournalCheck check = CheckJournal(JournalFileName(folder), [&](const JournalRecord& r) {
        if (r.action != JournalActionText(JournalAction::DeviationArming))
            records.push_back(r);
    });
    EXPECT_TRUE(check.ok) << check.problem.toStdString();
    return records;
}
