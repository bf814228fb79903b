// The receive thread and the receive buffer it fills; the collector that
// hands an exchange the bytes the moment they arrive.
#include "link/ReceiveThread.h"
#include "link/TrafficHook.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

// As for the port: with a standard stream closed, a new descriptor would take
// its number, and whatever later puts the stream back (or writes a stray
// message there) would silently replace or disturb the receive thread's own.
int AboveStandardStreams(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return high;
}

std::mutex g_bufferLock;
ReceiveBytes g_receiveBuffer{};

std::atomic<int> g_runningLoops{0};
std::atomic<bool> g_portLost{false};
std::atomic<PortLostHook> g_portLostHook{nullptr};
// Stop request besides the eventfd: when no eventfd could be made (descriptor
// table full) the loop checks this now and then, or the join would hang.
std::atomic<bool> g_stopRequested{false};
constexpr int kStopCheckMs = 50;
// Wake-ups in a row with nothing to read before the port counts as dead.
constexpr int kMaxEmptyReads = 1000;

struct ReceiveThreadState {
    std::thread thread;
    int wakeFd = -1;
};
ReceiveThreadState g_receiver;

using SteadyClock = std::chrono::steady_clock;

std::atomic<int> g_frameGapUs{kDefaultFrameGapUs};

// The collector: while an exchange collects, the loop takes the bytes as
// they arrive instead of waiting out the frame gap.
std::atomic<bool> g_collecting{false};
std::mutex g_collectLock;
std::condition_variable g_collected;
std::vector<uint8_t> g_collectedBytes;

// Takes count waiting bytes for the collecting exchange. False when the
// device is gone.
bool CollectBytes(int fd, int count)
{
    uint8_t chunk[kReceiveBufferSize];
    const ssize_t n = ::read(fd, chunk, static_cast<size_t>(std::min(count, kReceiveBufferSize)));
    if (n > 0) {
        std::lock_guard<std::mutex> guard(g_collectLock);
        if (g_collectedBytes.size() < 4 * kReceiveBufferSize)
            g_collectedBytes.insert(g_collectedBytes.end(), chunk, chunk + n);
        g_collected.notify_all();
        return true;
    }
    return n == 0 || errno == EAGAIN || errno == EINTR;
}

// Bytes the terminal holds for us; -1 when it cannot say (the device is gone).
int QueuedBytes(int fd)
{
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0)
        return -1;
    return queued < 0 ? 0 : queued;
}

// Waits for the port or the stop signal, at most timeoutUs (negative: no
// limit). Returns the port's events, 0 on a timeout, -1 when told to stop.
int WaitForPort(int epollFd, int portFd, int wakeFd, long long timeoutUs)
{
    // Without an eventfd the stop request is looked at now and then.
    if (wakeFd < 0 && (timeoutUs < 0 || timeoutUs > kStopCheckMs * 1000LL))
        timeoutUs = kStopCheckMs * 1000LL;
    timespec limit{};
    if (timeoutUs >= 0) {
        limit.tv_sec = static_cast<time_t>(timeoutUs / 1000000);
        limit.tv_nsec = static_cast<long>(timeoutUs % 1000000) * 1000;
    }
    epoll_event events[2];
    int n = ::epoll_pwait2(epollFd, events, 2, timeoutUs >= 0 ? &limit : nullptr, nullptr);
    if (n < 0 && errno == ENOSYS) {
        // A kernel before 5.11: whole milliseconds, rounded up so the gap is
        // never cut short.
        const int ms = timeoutUs < 0 ? -1 : static_cast<int>((timeoutUs + 999) / 1000);
        n = ::epoll_wait(epollFd, events, 2, ms);
    }
    if (n < 0)
        return errno == EINTR ? 0 : -1;
    int portEvents = 0;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.fd == wakeFd)
            return -1;
        if (events[i].data.fd == portFd)
            portEvents |= static_cast<int>(events[i].events);
    }
    return g_stopRequested ? -1 : portEvents;
}

// Reads count waiting bytes as one chunk. False when the device is gone.
bool TakeChunk(int fd, int count)
{
    uint8_t chunk[kReceiveBufferSize];
    const ssize_t n = ::read(fd, chunk, static_cast<size_t>(count));
    if (n > 0) {
        StoreChunk(chunk, static_cast<int>(n));
        return true;
    }
    // Nothing although the terminal said there was: the input was purged in
    // between (every read attempt purges it). Only an error other than these
    // means the adapter is gone; a hang-up is reported by the wait itself.
    return n == 0 || errno == EAGAIN || errno == EINTR;
}

// Where the bytes waiting in the terminal stand on their way to a chunk.
struct ChunkWait {
    bool waiting = false;  // bytes wait that are not a chunk yet
    int lastQueued = 0;
    SteadyClock::time_point grewAt{};
    int emptyWakes = 0;

    void Grew(int queued)
    {
        waiting = true;  // still growing: the gap starts again
        lastQueued = queued;
        grewAt = SteadyClock::now();
    }
    void Taken()
    {
        waiting = false;
        lastQueued = 0;
    }
    // How long the loop may sleep: the rest of the gap, or no limit (-1).
    long long TimeoutUs() const
    {
        if (!waiting)
            return -1;
        const auto quietFor = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - grewAt);
        return std::max<long long>(0, FrameGapUs() - quietFor.count());
    }
};

// An epoll set on the port (edge-triggered) and the wake-up eventfd. *fd
// becomes -1 when the port cannot be watched: nothing can be received then.
int WatchPort(int* fd, int wakeFd)
{
    const int epollFd = AboveStandardStreams(::epoll_create1(EPOLL_CLOEXEC));
    if (epollFd < 0) {
        *fd = -1;  // no descriptor left for the watch
        return epollFd;
    }
    epoll_event watch{};
    watch.events = EPOLLIN | EPOLLET;
    watch.data.fd = *fd;
    if (*fd >= 0 && ::epoll_ctl(epollFd, EPOLL_CTL_ADD, *fd, &watch) != 0)
        *fd = -1;
    watch.events = EPOLLIN;
    watch.data.fd = wakeFd;
    if (wakeFd >= 0)
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &watch);
    return epollFd;
}

// The port is gone: the loop stops watching it, and whoever waits on it hears.
void StopWatching(int epollFd, int* fd, ChunkWait* wait)
{
    if (*fd >= 0 && epollFd >= 0)
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, *fd, nullptr);
    *fd = -1;
    wait->waiting = false;
    g_portLost = true;
    {
        std::lock_guard<std::mutex> guard(g_collectLock);
        g_collected.notify_all();  // a collecting exchange need not wait on
    }
    if (PortLostHook hook = g_portLostHook.load(std::memory_order_acquire))
        hook();  // the window learns of it at once
}

// One wake-up's work on the port: a chunk taken, the gap started again, the
// bytes handed to a collecting exchange. False when the port is gone.
bool ServePort(int fd, int events, ChunkWait* wait)
{
    const int queued = QueuedBytes(fd);
    if (queued < 0)
        return false;  // the adapter is gone
    if (events & (EPOLLHUP | EPOLLERR)) {
        // Whatever arrived before the hang-up is still a chunk; then the
        // loop stops watching this port rather than waking for nothing.
        if (queued > 0)
            TakeChunk(fd, std::min(queued, kReceiveBufferSize));
        return false;
    }
    if (queued == 0) {
        wait->waiting = false;  // purged, or a wake-up with nothing behind it
        // A driver that keeps waking us for nothing counts as gone.
        return !(events && ++wait->emptyWakes >= kMaxEmptyReads);
    }
    wait->emptyWakes = 0;
    if (g_collecting.load(std::memory_order_acquire)) {
        wait->Taken();
        return CollectBytes(fd, queued);
    }
    if (queued >= kReceiveBufferSize) {
        // A chunk never exceeds the buffer; the rest is the next chunk,
        // taken after its own gap.
        if (!TakeChunk(fd, kReceiveBufferSize))
            return false;
        wait->Grew(-1);
        return true;
    }
    if (events || queued != wait->lastQueued || !wait->waiting) {
        wait->Grew(queued);
        return true;
    }
    if (SteadyClock::now() - wait->grewAt < std::chrono::microseconds(FrameGapUs()))
        return true;  // woken early by a signal
    // The line has been silent for a whole gap.
    wait->Taken();
    return TakeChunk(fd, queued);
}

// The receive thread. The port is watched edge-triggered, so every arrival
// of bytes wakes the loop once while the bytes stay in the terminal's queue:
// an input purge still discards them, and the loop never spins on bytes it
// has not taken yet. A chunk is taken when the waiting bytes have stopped
// growing for a frame gap (an adapter hands a reply over in pieces: a FIFO
// every 14 bytes, a USB adapter whenever its latency timer runs out), or as
// soon as a whole buffer's worth waits.
void ReceiveLoop(int portFd, int wakeFd)
{
    int fd = portFd;
    // The gap is timed to the microsecond; the default 50 us of timer slack
    // would only add to every reply's delay.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const int epollFd = WatchPort(&fd, wakeFd);
    ChunkWait wait;
    for (;;) {
        if (g_stopRequested)
            break;
        int events;
        if (epollFd >= 0) {
            events = WaitForPort(epollFd, fd, wakeFd, wait.TimeoutUs());
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kStopCheckMs));
            events = g_stopRequested ? -1 : 0;
        }
        if (events < 0)
            break;
        if (fd >= 0 && !ServePort(fd, events, &wait))
            StopWatching(epollFd, &fd, &wait);
    }
    if (epollFd >= 0)
        ::close(epollFd);
    --g_runningLoops;
}

}  // namespace

void StopReceiveThread()
{
    if (!g_receiver.thread.joinable())
        return;
    const uint64_t one = 1;
    // Waking and joining, never cancelling, so the buffer lock is never held
    // by a thread that has gone.
    g_stopRequested = true;
    if (g_receiver.wakeFd >= 0)
        (void)!::write(g_receiver.wakeFd, &one, sizeof one);
    g_receiver.thread.join();
    g_stopRequested = false;
    if (g_receiver.wakeFd >= 0)
        ::close(g_receiver.wakeFd);
    g_receiver.wakeFd = -1;
}

void StartReceiveThread(int portFd)
{
    g_receiver.wakeFd = AboveStandardStreams(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    // Counted from before the thread exists until its loop has ended, so the
    // count is right the moment OpenPort returns.
    ++g_runningLoops;
    try {
        g_receiver.thread = std::thread(ReceiveLoop, portFd, g_receiver.wakeFd);
    } catch (...) {
        --g_runningLoops;
        if (g_receiver.wakeFd >= 0)
            ::close(g_receiver.wakeFd);
        g_receiver.wakeFd = -1;
        throw;
    }
}

bool PortLost() { return g_portLost.load(); }

void SetPortLostHook(PortLostHook hook) { g_portLostHook.store(hook, std::memory_order_release); }

void StoreChunk(const uint8_t* bytes, int length)
{
    if (length <= 0)
        return;
    if (length > kReceiveBufferSize)
        length = kReceiveBufferSize;
    ReportTraffic(TrafficDirection::Received, bytes, length);
    std::lock_guard<std::mutex> guard(g_bufferLock);
    std::memcpy(g_receiveBuffer.data(), bytes, static_cast<size_t>(length));
}

void ClearReceiveBuffer()
{
    std::lock_guard<std::mutex> guard(g_bufferLock);
    std::memset(g_receiveBuffer.data(), 0, kReceiveBufferSize - 1);
}

ReceiveBytes ReceiveBufferSnapshot()
{
    std::lock_guard<std::mutex> guard(g_bufferLock);
    return g_receiveBuffer;
}

int RunningReceiveThreads() { return g_runningLoops; }

int FrameGapUs()
{
    // Shortened with every other wait in tests, never below the wire's own
    // silence between frames.
    const long long scaled = std::llround(g_frameGapUs.load() * TimeScale());
    return static_cast<int>(std::max<long long>(kWireSilenceUs, scaled));
}

void ResetPortLost() { g_portLost = false; }

void SetFrameGap(int us) { g_frameGapUs = us; }

void BeginCollecting()
{
    std::lock_guard<std::mutex> guard(g_collectLock);
    g_collectedBytes.clear();
    g_collecting.store(true, std::memory_order_release);
}

bool WaitCollected(const std::function<bool(const std::vector<uint8_t>&)>& whole,
                   std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(g_collectLock);
    for (;;) {
        if (whole(g_collectedBytes))
            return true;
        if (g_portLost)
            return false;
        if (g_collected.wait_until(lock, deadline) == std::cv_status::timeout)
            return whole(g_collectedBytes);
    }
}

std::vector<uint8_t> EndCollecting()
{
    std::vector<uint8_t> bytes;
    {
        std::lock_guard<std::mutex> guard(g_collectLock);
        g_collecting.store(false, std::memory_order_release);
        bytes.swap(g_collectedBytes);
    }
    // The line monitor sees the reply as the one chunk it was.
    for (size_t at = 0; at < bytes.size(); at += kReceiveBufferSize)
        ReportTraffic(TrafficDirection::Received, bytes.data() + at,
                      static_cast<int>(std::min<size_t>(kReceiveBufferSize, bytes.size() - at)));
    return bytes;
}
