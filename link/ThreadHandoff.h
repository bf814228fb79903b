// Hand-overs between threads that go through Qt, whose own locks (futexes in
// an uninstrumented Qt) ThreadSanitizer cannot see, so that it takes them for
// races. Two kinds:
// - a post through Qt's event queue (a queued call or signal from one of our
//   threads): the sender posts while holding HandoffLock(kind) and the
//   receiver takes the same lock first thing, so everything the sender did,
//   the posted event itself included, comes before the receiver;
// - a thread that QThread::wait joins: the thread calls HandoffRelease last,
//   the waiter HandoffAcquire once the wait returns (nothing outside a
//   ThreadSanitizer build).
#pragma once

#include <mutex>

#if defined(__SANITIZE_THREAD__)
#define CALVETRA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CALVETRA_TSAN 1
#endif
#endif

#ifdef CALVETRA_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

// What each kind of hand-over synchronises on.
// Call: a test's call onto another thread's loop and back.
enum class Handoff { PortLost, OverviewRead, EndpointThread, LineRead, Call };

inline std::mutex& HandoffLock(Handoff kind)
{
    static std::mutex locks[5];
    return locks[static_cast<int>(kind)];
}

inline void* HandoffAddress(Handoff kind)
{
    static char tokens[5];
    return &tokens[static_cast<int>(kind)];
}

inline void HandoffRelease([[maybe_unused]] Handoff kind)
{
#ifdef CALVETRA_TSAN
    __tsan_release(HandoffAddress(kind));
#endif
}

inline void HandoffAcquire([[maybe_unused]] Handoff kind)
{
#ifdef CALVETRA_TSAN
    __tsan_acquire(HandoffAddress(kind));
#endif
}
