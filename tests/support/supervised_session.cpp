#include "support/supervised_session.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>

#include "children/input_files.hpp"
#include "children/state_files.hpp"
#include "session/parent_link.hpp"

namespace quillmere::testing {

namespace {

using reference::SupervisorMode;

// The parent's own files; the supervisor must leave every one of them as it was, present or not.
constexpr std::string_view kPreparedNames[] = {"supervisor.json", kCoreConfigurationName, kCoreExecutableName,
                                               kNodeExecutableName, kGuardScriptName};

// Long enough for a contained child to be reaped by whoever inherited it, short of hiding one
// that lives on.
constexpr Nanoseconds kChildGoneLimit = seconds(3);
// Once the supervisor has gone its end of the link is closed, so the parent's side ends at once.
constexpr Nanoseconds kParentEndLimit = seconds(3);

const char* role_suffix(Role role) {
    switch (role) {
    case Role::preflight: return "PREFLIGHT";
    case Role::cleanup: return "CLEANUP";
    case Role::core: return "CORE";
    }
    return "";
}

std::string role_name(Role role) {
    switch (role) {
    case Role::preflight: return "preflight";
    case Role::cleanup: return "cleanup";
    case Role::core: return "core";
    }
    return "";
}

void require(const Result<void>& done, const char* what) {
    if (!done.has_value()) throw std::runtime_error(std::string("cannot prepare the session: ") + what);
}

bool all_digits(const std::string& text) {
    if (text.empty() || text.size() > 9) return false;
    return std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

bool process_gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// The processes whose parent is this one. As a child subreaper this process inherits every
// orphan of the supervisor, so after a run this lists whatever the supervisor left behind,
// recorded or not, alive or an unreaped zombie.
std::vector<pid_t> own_children() {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = read_file("/proc/" + name + "/stat");  // empty once gone
        // "pid (comm) state ppid ...": comm may hold anything, so parse after its last ')'.
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 1));
        char state = 0;
        long ppid = 0;
        fields >> state >> ppid;
        if (fields && ppid == ::getpid()) found.push_back(static_cast<pid_t>(std::stol(name)));
    }
    ::closedir(proc);
    return found;
}

}  // namespace

SupervisedSession::SupervisedSession(const Inputs& inputs) {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) throw std::runtime_error("cannot become a subreaper");
    std::string base = inputs.base_dir;
    if (base.empty()) base = own_base_.emplace().path();
    auto made = reference::StateDirectory::create(base, kSessionSuffix, inputs.owner);
    if (!made.has_value()) throw std::runtime_error("cannot make the state directory");
    dir_.emplace(std::move(*made));

    const std::string stand_in = test_program("stand_in_child");
    if (inputs.core)
        require(dir_->copy_program(kCoreExecutableName, inputs.core_program.empty() ? stand_in : inputs.core_program),
                "sing-box");
    if (inputs.node) require(dir_->copy_program(kNodeExecutableName, stand_in), "node");
    if (inputs.script) require(dir_->write_file(kGuardScriptName, "process.exit(0);\n", 0700), "guard script");
    if (inputs.configuration)
        require(dir_->write_file(kCoreConfigurationName, inputs.configuration_bytes, 0600), "tun.json");
    remember_inputs();

    for (const Role role : {Role::preflight, Role::cleanup, Role::core}) set_knob(role, "RECORD", record_path(role));
    set_knob(Role::core, "ON_TERM_RECORD", records_.file("core.term"));
}

SupervisedSession::~SupervisedSession() = default;

void SupervisedSession::remember_inputs() {
    for (const std::string_view name : kPreparedNames) prepared_[std::string(name)] = file_state(name);
}

std::optional<SupervisedSession::FileState> SupervisedSession::file_state(std::string_view name) const {
    struct stat status {};
    if (::lstat(path(name).c_str(), &status) != 0) return std::nullopt;
    FileState state;
    state.mode = status.st_mode;
    state.uid = status.st_uid;
    state.gid = status.st_gid;
    if (S_ISREG(status.st_mode)) state.bytes = read_file(path(name));
    return state;
}

std::optional<std::string> SupervisedSession::state_file(std::string_view name) const {
    if (!path_exists(path(name))) return std::nullopt;
    return read_file(path(name));
}

std::string SupervisedSession::completion_document() {
    return std::string("{\"format\":2,\"session\":\"quillmere-vpn-") + std::string(kSessionSuffix) + "\"}";
}

void SupervisedSession::set_knob(Role role, std::string_view knob, std::string value) {
    knobs_.push_back(std::make_unique<ScopedVariable>(
        "QUILLMERE_STAND_IN_" + std::string(knob) + "_" + role_suffix(role), std::move(value)));
}

std::string SupervisedSession::record_path(Role role) const { return records_.file(role_name(role) + ".record"); }

std::optional<StandInRecord> SupervisedSession::record(Role role) const {
    return read_stand_in_record(record_path(role));
}

std::optional<long long> SupervisedSession::record_time(Role role) const {
    struct stat status {};
    if (::stat(record_path(role).c_str(), &status) != 0) return std::nullopt;
    return static_cast<long long>(status.st_mtim.tv_sec) * 1'000'000'000LL + status.st_mtim.tv_nsec;
}

std::optional<Nanoseconds> SupervisedSession::core_term_time() const {
    const std::string file = records_.file("core.term");
    if (!path_exists(file)) return std::nullopt;
    return static_cast<Nanoseconds>(std::stoull(read_file(file)));
}

void SupervisedSession::clear_records() {
    for (const Role role : {Role::preflight, Role::cleanup, Role::core}) ::unlink(record_path(role).c_str());
    ::unlink(records_.file("core.term").c_str());
}

RunReport SupervisedSession::run(SupervisorMode mode, SupervisorRun options) {
    std::unique_ptr<reference::ParentSession> parent;
    if (options.listen) {
        auto listening = reference::ParentSession::listen(*dir_, std::move(options.script), options.socket);
        if (!listening.has_value()) throw std::runtime_error("cannot listen on parent.sock");
        parent = std::move(*listening);
        socket_made_ = true;
    }

    if (options.before_start) options.before_start();
    const std::string given = options.state_dir_path.value_or(dir_->path());
    auto started = [&]() -> Result<reference::SupervisorProcess> {
        if (options.launcher.empty()) return reference::SupervisorProcess::start(supervisor_binary(), mode, given);
        std::vector<std::string> args(options.launcher.begin(), options.launcher.end());
        args.insert(args.end(), {supervisor_binary(), std::string(reference::mode_word(mode)), given});
        return reference::SupervisorProcess::start(options.launcher.front(), args);
    }();
    if (!started.has_value()) throw std::runtime_error("cannot start the supervisor");
    auto finished = started->finish(options.time_limit);
    if (!finished.has_value()) throw std::runtime_error("cannot collect the supervisor");

    RunReport report{std::move(*finished), std::nullopt};
    EXPECT_FALSE(report.supervisor.killed_at_time_limit) << "the supervisor outlived its time limit";
    if (parent) {
        parent->supervisor_exited();
        report.timeline = parent->wait_for_end(kParentEndLimit);
        if (!report.timeline) {
            ADD_FAILURE() << "the parent's side did not end after the supervisor exited";
            parent->hang_up();
            report.timeline = parent->wait_for_end(kParentEndLimit);
        }
    }
    expect_aftermath(mode, report.timeline, report.supervisor.ended);
    return report;
}

void SupervisedSession::expect_aftermath(SupervisorMode mode, const std::optional<reference::Timeline>& timeline,
                                         Nanoseconds supervisor_ended) {
    expect_children_gone();
    expect_inputs_unchanged();
    if (!timeline) return;
    EXPECT_FALSE(timeline->failure.has_value()) << "the reference parent itself failed";
    EXPECT_EQ(timeline->unexpected_bytes, 0U) << "the supervisor wrote to its link after the hello line";
    if (mode == SupervisorMode::recover) {
        EXPECT_FALSE(timeline->accepted.has_value()) << "recover connected to parent.sock";
        return;
    }
    if (!timeline->accepted) return;
    // Either the parent let go first (its stop request), or it saw the supervisor's end of the
    // stream; observed by another thread, so only a loose bound against the exit.
    const bool parent_first = timeline->parent_closed && *timeline->parent_closed <= supervisor_ended;
    EXPECT_TRUE(timeline->supervisor_closed.has_value() || parent_first)
        << "the parent never saw the supervisor let go of the link";
    if (timeline->supervisor_closed) {
        EXPECT_LE(*timeline->supervisor_closed, supervisor_ended + seconds(2));
    }
}

void SupervisedSession::expect_children_gone() const {
    std::set<pid_t> pids;
    for (const Role role : {Role::preflight, Role::cleanup, Role::core}) {
        if (const auto seen = record(role)) pids.insert(seen->pid);
    }
    if (const auto core_pid = state_file(kCorePidFile); core_pid && all_digits(*core_pid))
        pids.insert(static_cast<pid_t>(std::stol(*core_pid)));
    pids.erase(0);
    pids.erase(1);
    const Deadline deadline = Deadline::after(kChildGoneLimit);
    for (const pid_t pid : pids) {
        while (!process_gone(pid) && !deadline.passed()) sleep_for(milliseconds(20));
        EXPECT_TRUE(process_gone(pid)) << "child " << pid << " is still alive after the supervisor exited";
    }
    // Anything the supervisor left behind is ended here, so that one failing case cannot leave
    // a process running on the machine.
    for (const pid_t pid : own_children()) {
        ADD_FAILURE() << "process " << pid << " outlived the supervisor (or was never reaped by it)";
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void SupervisedSession::expect_inputs_unchanged() const {
    for (const auto& [name, before] : prepared_) {
        const std::optional<FileState> after = file_state(name);
        ASSERT_EQ(after.has_value(), before.has_value()) << name << " appeared or disappeared";
        if (!before) continue;
        EXPECT_EQ(after->mode, before->mode) << name;
        EXPECT_EQ(after->uid, before->uid) << name;
        EXPECT_EQ(after->gid, before->gid) << name;
        EXPECT_TRUE(after->bytes == before->bytes) << name << " changed its content";
    }
    if (socket_made_) {
        struct stat status {};
        EXPECT_EQ(::lstat(path(kParentSocketName).c_str(), &status), 0) << "parent.sock is gone";
        EXPECT_TRUE(S_ISSOCK(status.st_mode)) << "parent.sock is no longer a socket";
    }
}

void expect_exit(const RunReport& report, int status) {
    EXPECT_EQ(report.supervisor.exit_code(), std::optional<int>(status));
    EXPECT_EQ(report.supervisor.standard_output, "");
    EXPECT_EQ(report.supervisor.standard_error, status == 0 ? std::string() : std::string(kFailureMarker));
}

}  // namespace quillmere::testing
