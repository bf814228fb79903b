// Hands every frame written and every chunk received to the hook set with
// SetTrafficHook (PortUnit.h).
#pragma once

#include "link/PortUnit.h"

void ReportTraffic(TrafficDirection direction, const uint8_t* bytes, int length);
