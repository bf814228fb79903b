// State shared by the scan, the status poll, the presentation and the data
// log; it lives beside the link's globals.
#pragma once

#include <QString>

#include "link/PortUnit.h"

// Bus address of the chamber being polled; control commands go to its low byte.
extern int ChamberAddress;

// The status record line, rebuilt at the end of every poll; the data log
// also puts its header into it.
extern QString LogLine;
// True while a poll has been answered since the last line the log wrote (its
// header or a record): only then is a record a measurement worth writing.
extern bool LogLineAnswered;

// Full path of the current log file; a ">" stands for the chamber address
// until the next poll writes it in.
extern QString LogFileName;

// Device scan: next address to probe (251 when complete) and 1 while the
// scan runs or has completed unacknowledged.
extern int ScanAddress;
extern int ScanRunning;

// Texts of the last accepted values; never reset.
extern QString CurrentTempText;
extern QString SetTempText;
extern QString CurrentHumidityText;
extern QString SetHumidityText;
extern QString ProgramText;
extern QString StepText;
extern QString CycleText;

// Back to the start state of a fresh process (tests build several windows).
void ResetMonitoringState();
