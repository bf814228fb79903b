// The action journal as tests read it back.
#pragma once

#include <QString>
#include <vector>

#include "monitoring/ActionJournal.h"

// The records of a folder's journal, its chain checked; the arming of
// deviation alarms that a confirmed start or stop brings is left out (it has
// tests of its own), so that a command's records stand together.
std::vector<JournalRecord> CommandJournalRecords(const QString& folder);
