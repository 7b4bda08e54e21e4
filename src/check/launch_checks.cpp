#include "check/launch_checks.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "check/wording.hpp"

namespace quillmere::check {

namespace {

// Exactly what the supervisor refuses before its first child: a handler would be a second
// party waiting for its children, SIG_IGN and SA_NOCLDWAIT make the kernel reap them at once.
void check_sigchld(Findings& findings) {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) {
        findings.add("launch/SIGCHLD", Verdict::unknown,
                     "launch: the SIGCHLD disposition cannot be read: " + errno_text(errno));
        return;
    }
    const char* what = nullptr;
    if ((current.sa_flags & SA_SIGINFO) != 0 || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN))
        what = "has a handler";
    else if (current.sa_handler == SIG_IGN)
        what = "is ignored (SIG_IGN)";
    else if ((current.sa_flags & SA_NOCLDWAIT) != 0)
        what = "carries SA_NOCLDWAIT";
    if (what == nullptr) return;
    findings.add("launch/SIGCHLD", Verdict::refused,
                 std::string("launch: SIGCHLD ") + what +
                     " in what this program inherited, and the supervisor inherits the same (pkexec passes it "
                     "on): it refuses to start any child; reset SIGCHLD to SIG_DFL without SA_NOCLDWAIT in the "
                     "parent before it starts the supervisor");
}

// The state files take at most a few dozen bytes, the sealed copies as many as the files they
// copy, up to 4 MiB; a write past the limit fails, or SIGXFSZ ends the supervisor.
void check_file_size_limit(Findings& findings, std::optional<std::uintmax_t> largest_copy) {
    constexpr std::uintmax_t kLargestStateFile = 128;
    constexpr std::uintmax_t kLargestCopy = std::uintmax_t{4} << 20;
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kLargestCopy)
        return;
    const std::uintmax_t needed = std::max(kLargestStateFile, largest_copy.value_or(0));
    const std::string size = std::to_string(limit.rlim_cur);
    if (limit.rlim_cur < needed) {
        findings.add("launch/RLIMIT_FSIZE", Verdict::refused,
                     "launch: the file size limit (RLIMIT_FSIZE) of " + size +
                         " bytes, which the supervisor inherits, is smaller than the " + std::to_string(needed) +
                         " bytes it must write (a state file, or the sealed copy of tun.json or of the guard "
                         "script); lift the limit in the parent");
        return;
    }
    findings.add("launch/RLIMIT_FSIZE", Verdict::note,
                 "launch: the file size limit (RLIMIT_FSIZE) of " + size +
                     " bytes is inherited by the supervisor: a tun.json or guard script larger than that cannot "
                     "be sealed");
}

// The descriptors the supervisor holds at once, counted from 0: the standard three, the
// directory and the parent's socket, the input files and the sealed copies of two of them, a
// pidfd for each child it supervises, and the pipe each start uses to hear of a failed exec.
// A run at its busiest (the core alive, the clean-up starting) reaches descriptor 14, a
// recovery 11, when it inherited nothing but the standard three; with less room an open fails
// and the supervisor stops before its first child.
constexpr rlim_t kRunDescriptors = 15;
constexpr rlim_t kRecoveryDescriptors = 12;
// What an ordinary session leaves; node and the core, which inherit the limit, open many.
constexpr rlim_t kUsualDescriptors = 1024;

// The descriptors above the standard three and below `limit` that this program was started
// with and the supervisor, started the same way, keeps open: each takes a number it would use.
// Called while this program holds none of its own.
rlim_t inherited_below(rlim_t limit) {
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) return 0;
    const int own = ::dirfd(listing);
    rlim_t count = 0;
    while (const dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const unsigned long fd = std::strtoul(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || static_cast<int>(fd) == own) continue;
        if (fd > 2 && fd < limit) ++count;
    }
    (void)::closedir(listing);
    return count;
}

void check_descriptor_limit(Findings& findings, SupervisorForm form) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        findings.add("launch/RLIMIT_NOFILE", Verdict::unknown,
                     "launch: the descriptor limit (RLIMIT_NOFILE) cannot be read: " + errno_text(errno));
        return;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kUsualDescriptors) return;
    const rlim_t inherited = inherited_below(limit.rlim_cur);
    const rlim_t needed = (form == SupervisorForm::run ? kRunDescriptors : kRecoveryDescriptors) + inherited;
    const std::string count = std::to_string(limit.rlim_cur);
    const std::string taken =
        inherited == 0 ? "" : " (" + std::to_string(inherited) + " of them taken by descriptors inherited open)";
    if (limit.rlim_cur < needed) {
        findings.add("launch/RLIMIT_NOFILE", Verdict::refused,
                     "launch: the descriptor limit (RLIMIT_NOFILE) of " + count +
                         ", which the supervisor inherits, is below the " + std::to_string(needed) + " descriptors " +
                         (form == SupervisorForm::run ? "a run" : "a recovery") + " holds at once" + taken +
                         ": it fails before its first child; lift the limit in the parent, or close what it leaks");
        return;
    }
    findings.add("launch/RLIMIT_NOFILE", Verdict::note,
                 "launch: the descriptor limit (RLIMIT_NOFILE) of " + count +
                     " is inherited by the supervisor and its children: enough for the supervisor, but node and "
                     "the core may run out of descriptors");
}

}  // namespace

void check_launch(Findings& findings, SupervisorForm form, std::optional<std::uintmax_t> largest_copy) {
    check_sigchld(findings);
    check_file_size_limit(findings, largest_copy);
    check_descriptor_limit(findings, form);
}

}  // namespace quillmere::check
