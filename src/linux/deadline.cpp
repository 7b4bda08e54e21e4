#include "linux/deadline.hpp"

#include <time.h>

#include <cerrno>
#include <limits>

namespace quillmere {

Nanoseconds monotonic_now() noexcept {
    timespec now{};
    // CLOCK_MONOTONIC cannot fail with a valid pointer.
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanoseconds>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

std::optional<Deadline> Deadline::checked_after(Nanoseconds now, Nanoseconds span) noexcept {
    Nanoseconds point = 0;
    if (span < 0 || __builtin_add_overflow(now, span, &point)) return std::nullopt;
    return Deadline(point);
}

Deadline Deadline::after(Nanoseconds span) noexcept {
    const Nanoseconds now = monotonic_now();
    if (auto deadline = checked_after(now, span)) return *deadline;
    return Deadline(std::numeric_limits<Nanoseconds>::max());
}

void sleep_for(Nanoseconds span) noexcept {
    if (span <= 0) return;
    timespec request{static_cast<time_t>(span / kNanosPerSecond), static_cast<long>(span % kNanosPerSecond)};
    timespec remaining{};
    // clock_nanosleep returns the error number instead of setting errno.
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &request, &remaining) == EINTR) request = remaining;
}

}  // namespace quillmere
