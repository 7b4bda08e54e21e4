#include <random>

#include "children/core.hpp"
#include "children/guard.hpp"
#include "measurements.hpp"
#include "processes.hpp"

namespace quillmere::bench {
namespace {

// Stops land at a random moment after the acknowledgement, spread over one stop poll period so
// that they sample every phase of the supervisor's cycle. The core is running by the earliest:
// the preflight guard takes one guard poll, and the rest of the way takes far less than the margin.
constexpr Nanoseconds kStopEarliest = kGuardPollPeriod + milliseconds(60);
constexpr Nanoseconds kStopSpread = kStopPollPeriod;

}  // namespace

StopReaction measure_stop_reaction(Bench& b) {
    set_core_behaviour("wait");
    StopReaction s;
    std::mt19937_64 random(std::random_device{}());
    std::uniform_int_distribution<Nanoseconds> spread(0, kStopSpread);
    // A stop that came before the core was running (a slow start on a busy machine) measures
    // nothing here; such a trial is repeated, a few times at most.
    int early_left = b.options.trials;
    for (int i = 0; i < 2 * b.options.trials; ++i) {
        const bool by_marker = i % 2 == 0;
        const reference::StateDirectory dir = make_state_directory(b);
        reference::Script script;
        const Nanoseconds after = kStopEarliest + spread(random);
        if (by_marker) {
            script.stop_marker_after = after;
        } else {
            script.afterwards = reference::Afterwards::close;
            script.afterwards_delay = after;
        }
        clear_events(b);
        const SessionResult r = run_session(b, dir, script);
        if (!event_time(b, "core") && early_left-- > 0) {
            i -= 1;
            continue;
        }
        const auto term = event_time(b, "term");
        const auto asked = by_marker ? r.timeline.stop_requested : r.timeline.parent_closed;
        if (!exited_zero(r.outcome.wait_status) || !term || !asked) {
            ++s.failures;
            continue;
        }
        (by_marker ? s.marker : s.link).push_back(ms(*term - *asked));
    }
    return s;
}

}  // namespace quillmere::bench
