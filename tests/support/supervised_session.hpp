#pragma once
// A whole session as the parent application drives it: a state directory with the stand-in
// child as both "sing-box" and "node", a listening socket played by the reference parent, the
// supervisor started on the directory, and, after every run, the checks that hold whatever
// the case: no child is left alive, nothing the parent prepared was changed, and the
// supervisor let go of its link.

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "linux/deadline.hpp"
#include "linux/unique_fd.hpp"
#include "reference_parent/reference_parent.hpp"
#include "support/scratch.hpp"
#include "support/stand_in.hpp"

namespace quillmere::testing {

// The three children of a run, as the stand-in tells them apart by their command lines.
enum class Role { preflight, cleanup, core };

inline constexpr std::string_view kSessionSuffix = "e2e1";
inline constexpr std::string_view kFailureMarker = "NETWORK_SUPERVISOR_FAILED\n";
inline constexpr std::string_view kSampleConfiguration =
    "{\"inbounds\":[{\"type\":\"tun\"}],\"log\":{\"level\":\"warn\"}}\n";

struct Inputs {
    bool core = true;               // "sing-box"
    std::string core_program = {};  // copied as "sing-box"; the stand-in when empty
    bool node = true;               // "node"
    bool script = true;             // "network-guard.cjs"
    bool configuration = true;      // "tun.json"
    std::string configuration_bytes = std::string(kSampleConfiguration);
    // Where "quillmere-vpn-e2e1" is made; a scratch directory of the session's own when empty.
    std::string base_dir = {};
    reference::Owner owner = reference::Owner::current();
};

struct RunReport {
    reference::SupervisorOutcome supervisor;
    std::optional<reference::Timeline> timeline;  // nullopt when nobody listened on the socket
    pid_t supervisor_pid = 0;                     // the process the parent started
};

struct SupervisorRun {
    reference::Script script = {};
    bool listen = true;                 // play the parent on "parent.sock"
    reference::SocketFile socket = {};  // the socket file the parent makes
    std::optional<std::string> state_dir_path =
        std::nullopt;  // the path given to the supervisor, if not the directory's
    Nanoseconds time_limit = seconds(30);
    // Called once the parent listens, right before the supervisor is started.
    std::function<void()> before_start = {};
    // Called once the supervisor has exited, while the parent still listens.
    std::function<void(const reference::SupervisorOutcome&)> after_exit = {};
    // A program and its arguments that start the supervisor (strace, say); it is run with the
    // supervisor's own command line appended.
    std::vector<std::string> launcher = {};
    // A file in which the launcher names, one pid a line, the children it had when it executed
    // the supervisor. They were never the session's: each must outlive the run untouched.
    std::string launcher_children_file = {};
};

class SupervisedSession {
public:
    // Throws std::runtime_error when the directory cannot be prepared.
    explicit SupervisedSession(const Inputs& inputs = {});
    ~SupervisedSession();
    SupervisedSession(const SupervisedSession&) = delete;
    SupervisedSession& operator=(const SupervisedSession&) = delete;

    [[nodiscard]] const reference::StateDirectory& dir() const { return *dir_; }
    [[nodiscard]] std::string path(std::string_view name) const { return dir_->entry_path(name); }
    // The content of a state file, or nullopt when it is absent.
    [[nodiscard]] std::optional<std::string> state_file(std::string_view name) const;
    // {"format":2,"session":"quillmere-vpn-e2e1"}
    [[nodiscard]] static std::string completion_document();

    // Steers one child: sets QUILLMERE_STAND_IN_<knob>_<ROLE> for the rest of the session.
    void set_knob(Role role, std::string_view knob, std::string value);

    // What the child of `role` recorded at its start, if it was started.
    [[nodiscard]] std::optional<StandInRecord> record(Role role) const;
    // CLOCK_REALTIME modification time of that record, in nanoseconds: when the child started.
    [[nodiscard]] std::optional<long long> record_time(Role role) const;
    // CLOCK_MONOTONIC time at which the core received SIGTERM, if it did.
    [[nodiscard]] std::optional<Nanoseconds> core_term_time() const;
    // Forgets the records of an earlier run, so that a second run shows its own children only.
    void clear_records();

    // Runs the supervisor on the directory and, before returning, checks what holds after
    // every run (with EXPECT_*): every child recorded or named in "core.pid" is gone, the
    // parent's files are unchanged, and the link was let go of (or never touched, for recover).
    RunReport run(reference::SupervisorMode mode, SupervisorRun options = {});
    RunReport run(reference::SupervisorMode mode, reference::Script script) {
        SupervisorRun options;
        options.script = std::move(script);
        return run(mode, std::move(options));
    }

    // A writer kept from when input file `name` was writable by all: the same bytes, with the
    // same owner, are made 0666, opened for writing, tightened to `mode` and renamed into
    // place, so that every rule on its metadata is met. Throws std::runtime_error on failure.
    [[nodiscard]] UniqueFd hold_for_writing(std::string_view name, mode_t mode) const;

    // Takes the parent's files as they are now for the aftermath checks, after a test has
    // changed them on purpose.
    void remember_inputs();

    // The aftermath checks alone, for a run made some other way (as another user, say).
    void expect_aftermath(reference::SupervisorMode mode, const std::optional<reference::Timeline>& timeline,
                          Nanoseconds supervisor_ended);

private:
    struct FileState {
        std::string bytes;
        mode_t mode = 0;
        uid_t uid = 0;
        gid_t gid = 0;
    };
    [[nodiscard]] std::optional<FileState> file_state(std::string_view name) const;
    [[nodiscard]] std::string record_path(Role role) const;
    void expect_children_gone(const std::set<pid_t>& spared) const;
    void expect_aftermath_but_children(reference::SupervisorMode mode,
                                       const std::optional<reference::Timeline>& timeline,
                                       Nanoseconds supervisor_ended);
    void expect_inputs_unchanged() const;

    std::optional<ScratchDir> own_base_;
    ScratchDir records_;
    std::optional<reference::StateDirectory> dir_;
    std::map<std::string, std::optional<FileState>> prepared_;
    bool socket_made_ = false;
    std::vector<std::unique_ptr<ScopedVariable>> knobs_;
};

// Exit status 0 with both streams empty, or 1 with exactly the failure marker.
void expect_exit(const RunReport& report, int status);

}  // namespace quillmere::testing
