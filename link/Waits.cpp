#include "link/Waits.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {
std::atomic<double> g_scale{1.0};
std::atomic<bool> g_abandoned{false};
// Readable once the waits are abandoned: a wait under way sees it at once.
std::atomic<int> g_abandonRead{-1};
std::atomic<int> g_abandonWrite{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "abandoning is done from a signal handler");
}

void SetTimeScale(double scale) { g_scale = scale > 0 ? scale : 1.0; }

double TimeScale() { return g_scale; }

int ScaledMs(int ms)
{
    const double scaled = std::round(ms * g_scale.load());
    return scaled < 1 ? 1 : static_cast<int>(scaled);
}

void Sleep(int ms)
{
    if (g_abandoned)
        return;
    const int fd = g_abandonRead;
    const auto length = std::chrono::milliseconds(ScaledMs(ms));
    if (fd < 0) {
        std::this_thread::sleep_for(length);
        return;
    }
    const auto end = std::chrono::steady_clock::now() + length;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || g_abandoned)
            return;
        pollfd watch{fd, POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            return;
    }
}

void PrepareAbandon()
{
    if (g_abandonRead >= 0)
        return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the waits then end at their length
    g_abandonWrite = fds[1];
    g_abandonRead = fds[0];
    if (g_abandoned) {
        const char byte = 1;
        (void)!::write(fds[1], &byte, 1);
    }
}

void AbandonWaits()
{
    if (g_abandoned.exchange(true))
        return;
    const int fd = g_abandonWrite;
    if (fd >= 0) {
        const char byte = 1;
        (void)!::write(fd, &byte, 1);
    }
}

bool WaitsAbandoned() { return g_abandoned; }

void ResumeWaits()
{
    if (!g_abandoned.exchange(false))
        return;
    char bytes[16];
    const int fd = g_abandonRead;
    if (fd >= 0)
        while (::read(fd, bytes, sizeof bytes) > 0) {
        }
}
