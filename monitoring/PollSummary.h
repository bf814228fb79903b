// One finished status poll, summed up for the alarm rules and for watchers
// elsewhere; both take only what the window itself accepted.
#pragma once

#include "monitoring/Alarms.h"
#include "monitoring/StatusMetrics.h"

struct StatusReply;

// The facts of a poll: answered when the reply was decoded; values only
// where the window accepted them.
PollFacts FactsFromReply(const StatusReply& reply, bool linkLost, qint64 time);

// Counts the poll and takes its accepted values; a refused or missing value
// keeps the last accepted one, as the window does.
void CountPoll(WatchedStatus& status, const StatusReply& reply, bool found, qint64 time);
