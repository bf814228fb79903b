#include "link/Waits.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

namespace {
std::atomic<double> g_scale{1.0};
}

void SetTimeScale(double scale) { g_scale = scale > 0 ? scale : 1.0; }

double TimeScale() { return g_scale; }

int ScaledMs(int ms)
{
    const double scaled = std::round(ms * g_scale.load());
    return scaled < 1 ? 1 : static_cast<int>(scaled);
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ScaledMs(ms))); }
