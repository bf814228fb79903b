// Marks a hand-over between threads that goes through a library whose own
// locks ThreadSanitizer cannot see (Qt's event queue and QThread::wait use
// futexes in an uninstrumented Qt). The sender calls HandoffRelease just
// before it posts or finishes; the receiver calls HandoffAcquire first thing
// once the post arrives or the wait returns. Nothing happens outside a
// ThreadSanitizer build.
#pragma once

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
enum class Handoff { PortLost, OverviewRead, EndpointThread };

inline void* HandoffAddress(Handoff kind)
{
    static char tokens[3];
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
