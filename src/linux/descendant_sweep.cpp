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

// Appends the pids listed in one task's "children" file: decimal numbers, each followed by a
// space. Fails when the file cannot be opened or read to its end.
Result<void> append_listed(const std::string& path, std::vector<pid_t>& out) {
    const UniqueFd file = TRY(open_untrusted(path));
    std::array<char, 512> buffer{};
    pid_t pid = 0;
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail_last_os_error();
        if (n == 0) break;
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
    return {};
}

// Every child of every thread of the supervisor, alive or an unreaped zombie. A child of ours
// cannot be reaped by anyone else, so none of these pids can be recycled before we reap it.
std::vector<pid_t> list_children() {
    std::vector<pid_t> children;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return children;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        // A listing that cannot be read is skipped: the sweep takes whatever it can see.
        (void)append_listed(std::string("/proc/self/task/") + entry->d_name + "/children", children);
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

// Whether `child` is still an unreaped child of ours, and so still the process its pid names.
bool still_ours(const PinnedChild& child) noexcept { return ask_exit(child.pidfd.get(), WNOWAIT) >= 0; }

// Takes `pid` into the sweep. The pidfd pins the process, and waitid without reaping proves it
// is still our child: even if the launcher made the kernel reap our children at once (an
// ignored SIGCHLD) and the pid was reused between the listing and the open, no stranger is
// ever signalled.
void track(pid_t pid, int first_signal, const std::vector<pid_t>& spared, std::vector<PinnedChild>& tracked) {
    if (std::ranges::find(spared, pid) != spared.end()) return;
    if (std::ranges::any_of(tracked, [pid](const PinnedChild& known) { return known.pid == pid; })) return;
    PinnedChild child{pid, {}};
    auto pidfd = pidfd_open(pid);
    if (!pidfd.has_value()) return;
    child.pidfd = std::move(*pidfd);
    if (!still_ours(child)) return;
    (void)pidfd_send_signal(child.pidfd.get(), first_signal);
    tracked.push_back(std::move(child));
}

void sweep(const std::vector<PinnedChild>& foreign) {
    // The children the mode began with were never the session's. Their pids are spared only
    // while they are still unreaped children of ours: one reaped meanwhile may have lent its
    // pid to a descendant of the session, which is swept like any other. Nothing below reaps
    // a spared one, so the list holds for the whole sweep.
    std::vector<pid_t> spared;
    for (const PinnedChild& child : foreign) {
        if (still_ours(child)) spared.push_back(child.pid);
    }
    const Deadline grace_end = Deadline::after(kSweepGrace);
    const Deadline give_up = Deadline::after(kSweepGrace + kSweepKillLimit);
    std::vector<PinnedChild> tracked;
    bool killing = false;
    for (;;) {
        // Listed afresh each round: a descendant may fork while it is swept, and the children
        // of one that ends are handed to the supervisor in turn.
        for (const pid_t pid : list_children()) track(pid, killing ? SIGKILL : SIGTERM, spared, tracked);
        if (tracked.empty()) return;
        // Reaped through the pidfd: seeing the exit is reaping it, and nothing else is waited for.
        std::erase_if(tracked, [](const PinnedChild& d) { return ask_exit(d.pidfd.get(), 0) != 0; });
        if (tracked.empty()) continue;
        if (give_up.passed()) return;
        if (!killing && grace_end.passed()) {
            killing = true;
            for (const PinnedChild& d : tracked) (void)pidfd_send_signal(d.pidfd.get(), SIGKILL);
        }
        sleep_for(kSweepPollPeriod);
    }
}

// The children of the only thread there is when a mode begins (an exec leaves one), pinned.
// One that cannot be pinned fails the mode: the sweep could not tell it from the session's.
Result<std::vector<PinnedChild>> pin_children(const std::string& listing) {
    std::vector<pid_t> pids;
    TRY(append_listed(listing, pids));
    std::vector<PinnedChild> pinned;
    pinned.reserve(pids.size());
    for (const pid_t pid : pids) {
        auto pidfd = pidfd_open(pid);
        // Gone already: the kernel reaped it by itself, as an ignored SIGCHLD makes it do.
        if (!pidfd.has_value() && pidfd.error().is_os_error(ESRCH)) continue;
        PinnedChild child{pid, TRY(std::move(pidfd))};
        if (still_ours(child)) pinned.push_back(std::move(child));
    }
    return pinned;
}

}  // namespace

Result<DescendantSweep> DescendantSweep::begin() {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return fail_last_os_error();
    // A kernel built without the children listing would leave the sweep blind: whatever the
    // children abandoned would outlive the mode unseen, so the mode does not start at all.
    const std::string listing = "/proc/self/task/" + decimal(static_cast<unsigned long long>(::getpid())) + "/children";
    return DescendantSweep(TRY(pin_children(listing)));
}

DescendantSweep::~DescendantSweep() {
    if (armed_) sweep_descendants(foreign_);
}

void sweep_descendants(const std::vector<PinnedChild>& foreign) noexcept {
    try {
        sweep(foreign);
    } catch (...) {
        // Only an allocation can throw here; the processes not reached stay, as when time runs out.
    }
}

void reap_exited_orphans(pid_t owned) noexcept {
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        // A look without reaping: the owned child, once it has exited, is left to its pidfd.
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (info.si_pid == 0 || info.si_pid == owned) return;
        // An exited child of ours keeps its pid until it is reaped, so this reaps exactly the
        // zombie just seen.
        siginfo_t reaped;
        std::memset(&reaped, 0, sizeof reaped);
        while (::waitid(P_PID, static_cast<id_t>(info.si_pid), &reaped, WEXITED | WNOHANG) != 0) {
            if (errno != EINTR) return;
        }
    }
}

}  // namespace quillmere
