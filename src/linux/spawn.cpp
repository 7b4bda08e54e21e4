#include "linux/spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "linux/cloexec.hpp"
#include "linux/syscalls.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {
namespace {

constexpr std::size_t kMaxSignals = 64;
// What a root child creates is writable by root alone, whatever umask the launcher left.
constexpr mode_t kChildUmask = 022;

// Everything the forked child touches, built while allocation is still allowed. The pointers
// refer to the command's strings and to the supervisor's environment, both of which outlive
// the spawn, because the parent returns only after exec has happened or failed.
struct ChildPlan {
    const char* program = nullptr;
    std::vector<char*> argv;
    std::vector<char*> envp;
    const PreExecHook* hooks = nullptr;
    std::size_t hook_count = 0;
    std::array<int, kMaxSignals> catchable_signals{};
    std::size_t catchable_signal_count = 0;
    sigset_t empty_mask{};
    unsigned fallback_fd_limit = 0;
};

[[nodiscard]] bool is_removed(std::string_view entry, const std::vector<std::string>& removals) {
    const std::string_view name = entry.substr(0, entry.find('='));
    return std::ranges::any_of(removals, [name](const std::string& removed) { return name == removed; });
}

[[nodiscard]] ChildPlan plan_for(const ChildCommand& command) {
    ChildPlan plan;
    plan.program = command.program.c_str();
    plan.argv.reserve(command.argv.size() + 1);
    for (const std::string& argument : command.argv) plan.argv.push_back(const_cast<char*>(argument.c_str()));
    plan.argv.push_back(nullptr);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (!is_removed(*entry, command.env_removals)) plan.envp.push_back(*entry);
    }
    plan.envp.push_back(nullptr);
    plan.hooks = command.hooks.data();
    plan.hook_count = command.hooks.size();
    // Every signal a program may catch or ignore, the ones the C library keeps for itself
    // between the classic and the real-time signals included.
    for (int sig = 1; sig < NSIG && plan.catchable_signal_count < kMaxSignals; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        plan.catchable_signals[plan.catchable_signal_count++] = sig;
    }
    sigemptyset(&plan.empty_mask);
    rlimit files{};
    plan.fallback_fd_limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 1U << 20
                                 ? static_cast<unsigned>(files.rlim_cur)
                                 : 1U << 20;
    return plan;
}

// A descriptor that reached the supervisor without close-on-exec (leaked by whoever started
// it) must not reach a root child either: every descriptor above the standard streams is
// marked close-on-exec, and only the inherit hooks that follow open exactly the named ones.
[[nodiscard]] int close_unnamed_descriptors_on_exec(unsigned fallback_limit) noexcept {
    return mark_descriptors_cloexec(CloexecFallback::kNumbered, fallback_limit);
}

// Runs in the forked child: only async-signal-safe calls, no allocation. Returns the errno of
// the step that failed; on success exec replaces the process and nothing returns.
[[nodiscard]] int become_child(const ChildPlan& plan) noexcept {
    // An ignored signal survives exec. The supervisor ignores SIGPIPE for itself, and whoever
    // started it may have ignored SIGTERM, SIGINT or SIGHUP, which would make every graceful
    // stop of a child fall through to SIGKILL: children start with every disposition at its
    // default. Straight to the kernel, because the C library refuses the signals it reserves,
    // and a launcher's SIG_IGN on those would reach the child too.
    for (std::size_t i = 0; i < plan.catchable_signal_count; ++i) {
        if (raw_reset_signal_disposition(plan.catchable_signals[i]) != 0) return errno;
    }
    // The umask survives exec too; a launcher's 000 would make the root guard's files writable
    // by everybody.
    ::umask(kChildUmask);
    // A blocked-signal mask survives exec. Whoever started the supervisor may have blocked
    // SIGTERM, which would make every graceful stop of a child fall through to SIGKILL, so
    // children start with nothing blocked.
    if (::sigprocmask(SIG_SETMASK, &plan.empty_mask, nullptr) != 0) return errno;
    if (const int error = close_unnamed_descriptors_on_exec(plan.fallback_fd_limit); error != 0) return error;
    for (std::size_t i = 0; i < plan.hook_count; ++i) {
        const PreExecHook& hook = plan.hooks[i];
        // A hook without a step would silently skip an inheritance or a check.
        if (hook.run == nullptr) return EINVAL;
        if (const int error = hook.run(hook); error != 0) return error;
    }
    ::execve(plan.program, plan.argv.data(), plan.envp.data());
    return errno;
}

[[noreturn]] void report_and_exit(int report_fd, int error) noexcept {
    const char* bytes = reinterpret_cast<const char*>(&error);
    std::size_t done = 0;
    while (done < sizeof error) {
        const ssize_t n = ::write(report_fd, bytes + done, sizeof error - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    ::_exit(127);
}

void reap(pid_t pid) noexcept {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

Result<pid_t> spawn_process(const ChildCommand& command) {
    const ChildPlan plan = plan_for(command);

    // The write end closes by itself at a successful exec, so end-of-file on the read end
    // means the program is running; four bytes are the errno of the step that failed.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail_last_os_error();
    UniqueFd report_read(ends[0]);
    UniqueFd report_write(ends[1]);

    const pid_t pid = ::fork();
    if (pid < 0) return fail_last_os_error();
    if (pid == 0) report_and_exit(report_write.get(), become_child(plan));

    report_write.reset();
    int reported = 0;
    std::size_t received = 0;
    int read_error = 0;
    while (received < sizeof reported) {
        const ssize_t n =
            ::read(report_read.get(), reinterpret_cast<char*>(&reported) + received, sizeof reported - received);
        if (n > 0) {
            received += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            read_error = errno;
            break;
        }
    }
    if (received == 0 && read_error == 0) return pid;

    if (received < sizeof reported) {
        // The report could not be read whole, so whether the program runs is unknown: put the
        // child down rather than leave it unaccounted for.
        ::kill(pid, SIGKILL);
        reap(pid);
        return fail_errno(read_error != 0 ? read_error : EPROTO);
    }
    reap(pid);
    return fail_errno(reported != 0 ? reported : EPROTO);
}

}  // namespace quillmere
