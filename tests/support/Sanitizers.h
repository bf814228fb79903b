// What the test program was built with. AddressSanitizer's quarantine keeps
// freed memory resident, so a check of memory growth means nothing there.
#pragma once

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
