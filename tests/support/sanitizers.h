// Whether this build runs under AddressSanitizer, whose allocator, shadow memory and quarantine
// change what a test of memory use or page faults measures.
#pragma once

namespace zuvtest {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

}  // namespace zuvtest
