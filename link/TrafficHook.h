// Hands every frame written and every chunk received to the hook set with
// SetTrafficHook (PortUnit.h).
#pragma once

#include "link/PortUnit.h"

// timeUs: when it happened (wall clock, µs since the epoch); 0 means now.
void ReportTraffic(TrafficDirection direction, const uint8_t* bytes, int length, int64_t timeUs = 0);
// The wall clock in µs since the epoch, as the hook's times are given.
int64_t WallClockUs();
