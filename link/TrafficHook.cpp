#include "link/TrafficHook.h"

#include <atomic>
#include <chrono>

namespace {
std::atomic<TrafficHook> g_trafficHook{nullptr};
}  // namespace

void SetTrafficHook(TrafficHook hook) { g_trafficHook.store(hook, std::memory_order_release); }

int64_t WallClockUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void ReportTraffic(TrafficDirection direction, const uint8_t* bytes, int length, int64_t timeUs)
{
    if (TrafficHook hook = g_trafficHook.load(std::memory_order_acquire))
        hook(direction, bytes, length, timeUs ? timeUs : WallClockUs());
}
