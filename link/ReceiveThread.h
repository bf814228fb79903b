// The receive thread's side of the link, as the port's open and close and
// the exchanges use it. Callers outside link/ go through PortUnit.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "link/PortUnit.h"

// Starts the loop on an open (or invalid) descriptor; ends it, joining.
void StartReceiveThread(int portFd);
void StopReceiveThread();
// A fresh port is not lost.
void ResetPortLost();
// The frame gap read at the port's open, in microseconds before scaling.
void SetFrameGap(int us);

// While collecting, bytes go to the collector the moment they arrive, not
// to the receive buffer after a frame gap. Begin before the request is sent.
void BeginCollecting();
// Waits until whole(bytes so far) holds, the deadline passes or the port is
// lost; true when whole() held.
bool WaitCollected(const std::function<bool(const std::vector<uint8_t>&)>& whole,
                   std::chrono::steady_clock::time_point deadline);
// Ends collecting; the bytes collected go to the traffic hook and back.
std::vector<uint8_t> EndCollecting();
