#pragma once
// Supervised sessions against the reference parent, with the stand-in child as both children,
// and what the stand-ins noted of them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linux/deadline.hpp"
#include "options.hpp"
#include "reference_parent/reference_parent.hpp"

namespace quillmere::bench {

// No session of the benchmark comes near this; one that does has hung.
inline constexpr Nanoseconds kSessionTimeLimit = seconds(20);

struct Bench {
    Options options;
    std::string base;    // holds the state directories and the events file
    std::string events;  // QUILLMERE_BENCH_EVENTS
    std::string child;   // quillmere-bench-child
    int next_suffix = 0;
};

// A fresh state directory with the stand-in as "node" and "sing-box".
[[nodiscard]] reference::StateDirectory make_state_directory(Bench& b);

// What the stand-in core does once started: "exit" at once, or "wait" for SIGTERM.
void set_core_behaviour(const char* behaviour);

void clear_events(const Bench& b);

// The first time `what` was noted since the last clear_events.
[[nodiscard]] std::optional<Nanoseconds> event_time(const Bench& b, std::string_view what);

// The command line the supervisor last gave the child of `role` ("preflight", "core"), as that
// child saw it; empty if none was noted.
[[nodiscard]] std::vector<std::string> noted_command_line(const Bench& b, std::string_view role);

struct SessionResult {
    reference::SupervisorOutcome outcome;
    reference::Timeline timeline;
};

// A run against a parent that answers at once and then follows `script`.
[[nodiscard]] SessionResult run_session(Bench& b, const reference::StateDirectory& dir, reference::Script script);

}  // namespace quillmere::bench
