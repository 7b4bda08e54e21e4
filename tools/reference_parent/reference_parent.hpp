#pragma once
// The reference parent: the other end of the supervisor's protocol, written as a parent
// application would write it, with scripted misbehaviour on top for the tests.
//
//   auto dir = StateDirectory::create("/run/user/1000", "a1", Owner::of_uid(1000));
//   dir->copy_program("sing-box", ...); dir->write_file("tun.json", config, 0600); ...
//   auto report = run_session(*dir, binary, SupervisorMode::run,
//                             Script{.stop_marker_after = seconds(3)}, seconds(30));
//   std::fputs(describe(*report).c_str(), stdout);
//
// Pieces, for callers that need to interleave their own steps: StateDirectory (the directory,
// session file, input files and stop marker), ParentSession (the listening socket and the
// scripted exchange on a thread of its own) and SupervisorProcess (the supervisor as a child).

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "linux/deadline.hpp"
#include "linux/error.hpp"
#include "reference_parent/parent_session.hpp"
#include "reference_parent/state_directory.hpp"
#include "reference_parent/supervisor_process.hpp"

namespace quillmere::reference {

struct SessionReport {
    SupervisorOutcome supervisor;
    Timeline timeline;
};

// Listens on the directory's socket and plays `script` there, runs the supervisor against the
// directory (killing it after `time_limit`) and returns once both ends are done. For "recover"
// the socket is listened on all the same; the supervisor is expected to leave it alone.
// `after_exit` is called once the supervisor has exited, while the socket still listens.
[[nodiscard]] Result<SessionReport> run_session(const StateDirectory& dir, const std::string& binary,
                                                SupervisorMode mode, Script script, Nanoseconds time_limit,
                                                Launch launch = Launch::direct,
                                                const std::function<void(const SupervisorOutcome&)>& after_exit = {});

// The report as text: one line per step in the order they happened, each with its time from
// the supervisor's start, then the exit and the two streams.
[[nodiscard]] std::string describe(const SessionReport& report);

// A step seen elsewhere (by a child, say), at a CLOCK_MONOTONIC time.
using TimedEvent = std::pair<Nanoseconds, std::string>;

// The same, with `more_steps` sorted into the timeline.
[[nodiscard]] std::string describe(const SessionReport& report, std::vector<TimedEvent> more_steps);

}  // namespace quillmere::reference
