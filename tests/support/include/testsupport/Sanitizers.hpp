#pragma once
// Whether the test program runs under AddressSanitizer or ThreadSanitizer,
// which make it five to twenty times slower. A test that repeats a scenario
// for confidence, or sizes it far beyond what its fault needs, does less
// there: those runs look for memory and thread errors, which the first
// repetitions meet as well as the last.

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool underSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool underSanitizer = true;
#else
inline constexpr bool underSanitizer = false;
#endif
#else
inline constexpr bool underSanitizer = false;
#endif

}  // namespace testsupport
