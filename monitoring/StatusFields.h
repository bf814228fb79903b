// The value fields of the main window in one table: what each shows, the
// label that shows it, its text while nothing is read, the caption under it
// and where a poll leaves it in a StatusView, and the name of its line in the
// trend chart. The poll, the idle reset, the chart and the tests all go
// through this table.
#pragma once

#include <array>

#include "monitoring/Presentation.h"

struct StatusFieldInfo {
    const char* shows;      // what the field shows
    const char* label;      // the main window's label widget (its object name)
    const char* idleText;   // shown at start and when reading stops
    const char* caption;    // the caption panel under the field
    QString StatusView::*view;  // where ApplyStatus leaves its text
    const char* trendName;  // its line in the trend chart's legend; nullptr for none
};

constexpr int kStatusFieldCount = 11;
extern const std::array<StatusFieldInfo, kStatusFieldCount> kStatusFields;

// The field a label shows; nullptr for a label that is not in the table.
const StatusFieldInfo* StatusFieldOfLabel(const char* label);

// A view whose eleven fields show their idle texts (value texts empty).
StatusView IdleStatusView();
