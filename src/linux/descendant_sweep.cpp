#include "linux/descendant_sweep.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "linux/path.hpp"
#include "linux/syscalls.hpp"
#include "linux/unique_fd.hpp"
#include "linux/untrusted_open.hpp"

namespace quillmere {
namespace {

constexpr Nanoseconds kSweepPollPeriod = milliseconds(10);

struct Descendant {
    pid_t pid = 0;
    UniqueFd pidfd;
};

// Appends the pids listed in one task's "children" file: decimal numbers, each followed by a space.
void append_listed(const std::string& path, std::vector<pid_t>& out) {
    const Result<UniqueFd> listing = open_untrusted(path);
    if (!listing.has_value()) return;
    const UniqueFd& file = *listing;
    std::array<char, 512> buffer{};
    pid_t pid = 0;
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[static_cast<std::size_t>(i)];
            if (c >= '0' && c <= '9') {
                pid = pid * 10 + (c - '0');
            } else if (pid != 0) {
                out.push_back(pid);
                pid = 0;
            }
        }
    }
    if (pid != 0) out.push_back(pid);
}

// Every child of every thread of the supervisor, alive or an unreaped zombie. A child of ours
// cannot be reaped by anyone else, so none of these pids can be recycled before we reap it.
std::vector<pid_t> list_children() {
    std::vector<pid_t> children;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return children;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        append_listed(std::string("/proc/self/task/") + entry->d_name + "/children", children);
    }
    ::closedir(tasks);
    return children;
}

// waitid on the pidfd with `options`: 1 when it reported an exit, 0 when it found the process
// still running, -1 when it is no child of ours (ECHILD) or cannot be asked.
int ask_exit(int pidfd, int options) noexcept {
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (raw_waitid_pidfd(pidfd, &info, options | WEXITED | WNOHANG) == 0) return info.si_pid != 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

// Takes `pid` into the sweep. The pidfd pins the process, and waitid without reaping proves it
// is still our child: even if the launcher made the kernel reap our children at once (an
// ignored SIGCHLD) and the pid was reused between the listing and the open, no stranger is
// ever signalled.
void track(pid_t pid, int first_signal, std::vector<Descendant>& tracked) {
    if (std::ranges::any_of(tracked, [pid](const Descendant& known) { return known.pid == pid; })) return;
    auto pidfd = pidfd_open(pid);
    if (!pidfd.has_value() || ask_exit(pidfd->get(), WNOWAIT) < 0) return;
    (void)pidfd_send_signal(pidfd->get(), first_signal);
    tracked.push_back(Descendant{pid, std::move(*pidfd)});
}

void sweep() {
    const Deadline grace_end = Deadline::after(kSweepGrace);
    const Deadline give_up = Deadline::after(kSweepGrace + kSweepKillLimit);
    std::vector<Descendant> tracked;
    bool killing = false;
    for (;;) {
        // Listed afresh each round: a descendant may fork while it is swept, and the children
        // of one that ends are handed to the supervisor in turn.
        for (const pid_t pid : list_children()) track(pid, killing ? SIGKILL : SIGTERM, tracked);
        if (tracked.empty()) return;
        // Reaped through the pidfd: seeing the exit is reaping it, and nothing else is waited for.
        std::erase_if(tracked, [](const Descendant& d) { return ask_exit(d.pidfd.get(), 0) != 0; });
        if (tracked.empty()) continue;
        if (give_up.passed()) return;
        if (!killing && grace_end.passed()) {
            killing = true;
            for (const Descendant& d : tracked) (void)pidfd_send_signal(d.pidfd.get(), SIGKILL);
        }
        sleep_for(kSweepPollPeriod);
    }
}

}  // namespace

Result<DescendantSweep> DescendantSweep::begin() {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return fail_last_os_error();
    // A kernel built without the children listing would leave the sweep blind: whatever the
    // children abandoned would outlive the mode unseen, so the mode does not start at all.
    TRY(open_untrusted("/proc/self/task/" + decimal(static_cast<unsigned long long>(::getpid())) + "/children"));
    return DescendantSweep();
}

DescendantSweep::~DescendantSweep() {
    if (armed_) sweep_descendants();
}

void sweep_descendants() noexcept {
    try {
        sweep();
    } catch (...) {
        // Only an allocation can throw here; the processes not reached stay, as when time runs out.
    }
}

}  // namespace quillmere
