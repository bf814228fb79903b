#include "link/TrafficHook.h"

#include <atomic>

namespace {
std::atomic<TrafficHook> g_trafficHook{nullptr};
}  // namespace

void SetTrafficHook(TrafficHook hook) { g_trafficHook.store(hook, std::memory_order_release); }

void ReportTraffic(TrafficDirection direction, const uint8_t* bytes, int length)
{
    if (TrafficHook hook = g_trafficHook.load(std::memory_order_acquire))
        hook(direction, bytes, length);
}
