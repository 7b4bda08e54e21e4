#pragma once
// How long one poll of a probe may wait for the kernel's answer.

#include <cstdint>

#include "linux/deadline.hpp"

namespace quillmere {

inline constexpr std::int64_t kLargestProbePollMillis = 2147483646;

// The time left in whole milliseconds, truncated, plus one: never 0, so that a poll with
// time left always sleeps instead of spinning, and never ending before the deadline.
[[nodiscard]] constexpr int probe_poll_timeout(Nanoseconds remaining) noexcept {
    const std::int64_t millis = remaining > 0 ? remaining / kNanosPerMilli : 0;
    return static_cast<int>((millis < kLargestProbePollMillis ? millis : kLargestProbePollMillis) + 1);
}

}  // namespace quillmere
