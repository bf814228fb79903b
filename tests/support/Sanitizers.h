// What the test program was built with. AddressSanitizer's quarantine keeps
// freed memory resident, so a check of memory growth means nothing there.
#pragma once

#include <algorithm>

#if defined(__SANITIZE_ADDRESS__)
#define CALVETRA_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CALVETRA_UNDER_ASAN 1
#endif
#endif

#ifdef CALVETRA_UNDER_ASAN
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__)
#define CALVETRA_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CALVETRA_UNDER_TSAN 1
#endif
#endif

#ifdef CALVETRA_UNDER_TSAN
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

// ThreadSanitizer slows the program and the in-process simulator several
// times over; where a test's shortened waits must still outlast a reply (a
// strict simulator, a re-opened line), they are lengthened as much again.
// Real waits stay.
inline double SanitizedTimeScale(double scale)
{
    return kUnderThreadSanitizer ? std::min(1.0, scale * 4) : scale;
}
