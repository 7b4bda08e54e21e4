#pragma once
// Time points and sleeps on CLOCK_MONOTONIC. Every time limit of the supervisor is a Deadline;
// wall-clock changes never shorten or stretch one.

#include <cstdint>
#include <optional>

namespace quillmere {

using Nanoseconds = std::int64_t;

inline constexpr Nanoseconds kNanosPerMilli = 1'000'000;
inline constexpr Nanoseconds kNanosPerSecond = 1'000'000'000;

[[nodiscard]] constexpr Nanoseconds milliseconds(std::int64_t n) { return n * kNanosPerMilli; }
[[nodiscard]] constexpr Nanoseconds seconds(std::int64_t n) { return n * kNanosPerSecond; }

// The current CLOCK_MONOTONIC reading in nanoseconds.
[[nodiscard]] Nanoseconds monotonic_now() noexcept;

class Deadline {
public:
    // `now` plus `span`; nullopt when the sum does not fit the clock's range.
    [[nodiscard]] static std::optional<Deadline> checked_after(Nanoseconds now, Nanoseconds span) noexcept;
    // A deadline `span` from now; spans used by the program are small enough never to overflow.
    [[nodiscard]] static Deadline after(Nanoseconds span) noexcept;
    [[nodiscard]] static constexpr Deadline at(Nanoseconds point) noexcept { return Deadline(point); }

    [[nodiscard]] constexpr Nanoseconds point() const noexcept { return point_; }
    // Time left from `now`, never negative.
    [[nodiscard]] constexpr Nanoseconds remaining_at(Nanoseconds now) const noexcept {
        return point_ > now ? point_ - now : 0;
    }
    [[nodiscard]] Nanoseconds remaining() const noexcept { return remaining_at(monotonic_now()); }
    [[nodiscard]] bool passed() const noexcept { return monotonic_now() >= point_; }
    [[nodiscard]] constexpr Deadline earlier(Deadline other) const noexcept {
        return point_ <= other.point_ ? *this : other;
    }

private:
    constexpr explicit Deadline(Nanoseconds point) noexcept : point_(point) {}
    Nanoseconds point_;
};

// A relative sleep on CLOCK_MONOTONIC; a signal that cuts it short only makes it go on with
// the time that remains.
void sleep_for(Nanoseconds span) noexcept;

// poll(2) wants whole milliseconds: the time left rounded up, so that a wait never ends
// before its deadline, capped at the largest int.
[[nodiscard]] constexpr int poll_timeout_rounding_up(Nanoseconds remaining) noexcept {
    if (remaining <= 0) return 0;
    const std::int64_t millis = remaining / kNanosPerMilli + (remaining % kNanosPerMilli != 0 ? 1 : 0);
    return millis > 2147483647 ? 2147483647 : static_cast<int>(millis);
}

}  // namespace quillmere
