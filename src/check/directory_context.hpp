#pragma once
// What the steps of a directory check learn and hand on to the steps after them, as the
// supervisor's own steps do.

#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string>

#include "check/directory_check.hpp"
#include "check/finding.hpp"
#include "session/session_rules.hpp"

namespace quillmere::check {

struct DirectoryContext {
    std::string argument;
    SupervisorForm form = SupervisorForm::run;
    DirectoryMoment moment = DirectoryMoment::before_start;
    std::string directory;       // the argument up to the directory's own name
    bool examinable = false;     // a directory that can be looked into without following a link
    uid_t owner_uid = 0;         // its owner, once known
    DirectoryIdentity identity;  // as first examined
    std::string canonical;       // its canonical path, or `directory` while unknown
    // After a run: the supervisor the parent says it started, when it says.
    std::optional<pid_t> supervisor_pid;
    // After a run that got as far as writing its own pid file: when it wrote it. State files
    // older than that were there before the run and are not its results.
    std::optional<timespec> run_began;
    // A stop marker older than the parent's socket (or, without one, the run's pid file) was
    // already there when the supervisor started.
    std::optional<timespec> supervisor_started_by;
    enum class Stop { absent, asked, stale, invalid } stop = Stop::absent;
    bool listener_gone = false;  // after a run refused at the handshake, nobody listens any more
    Findings findings;

    // Whether a state file with this status was written by the run examined: before a start
    // none was; after it, those not older than its pid file were.
    [[nodiscard]] bool of_this_run(const struct stat& status) const;
    // Whether the socket is to be judged on its listener too: before a start, and after a run
    // that never got past the handshake, whose failure it may be.
    [[nodiscard]] bool judges_listener() const {
        return moment == DirectoryMoment::before_start || !run_began.has_value();
    }

    // The path of `name` inside the directory as the supervisor reaches it.
    [[nodiscard]] std::string entry(std::string_view name) const;
};

// The steps, each adding its findings; in the supervisor's order.
void check_argument(DirectoryContext& context);
void check_directory(DirectoryContext& context);
void check_session_file(DirectoryContext& context);
void check_canonical_path(DirectoryContext& context);
// After a run: whether it wrote its pid file, and when (sets run_began).
void find_the_run(DirectoryContext& context);
void check_parent_socket(DirectoryContext& context);
// After a run: whether the socket nobody listens on any more explains the run's end.
void judge_gone_listener(DirectoryContext& context);
void check_input_file(DirectoryContext& context, std::string_view name, bool executable);
// Root leases a file it does not own only with CAP_LEASE, and a bounding set without it keeps
// it from root too: the supervisor then refuses every user's input file.
void check_lease_capability(DirectoryContext& context);
// A state file of an earlier supervisor that makes this one fail when it gets to it.
void check_absent_state_file(DirectoryContext& context, std::string_view name);
void check_stop_marker(DirectoryContext& context);
// What the state files present say about how an earlier run ended.
void describe_leftovers(DirectoryContext& context);

}  // namespace quillmere::check
