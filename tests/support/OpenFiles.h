// What this process holds open, for tests that a failed write left no file
// open behind it.
#pragma once

#include <QString>

// Descriptors of this process that lead to target (after symbolic links).
int DescriptorsOn(const QString& target);
// Descriptors of this process that lead into folder or below it.
int DescriptorsUnder(const QString& folder);
