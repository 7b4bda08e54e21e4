#include "check/host_check.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app_routing/check_worker.hpp"
#include "check/wording.hpp"
#include "children/sealed_configuration.hpp"
#include "linux/owned_child.hpp"
#include "linux/read_lease.hpp"
#include "linux/syscalls.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere::check {

namespace {

// A feature the supervisor cannot do without: without it, it starts no child.
void required(Findings& found, const char* feature, const char* kernel, const Result<void>& probe) {
    const std::string check = std::string("host/") + feature;
    if (probe.has_value()) {
        found.add(check, Verdict::passed, std::string(feature) + ": works (Linux " + kernel + " and later)");
        return;
    }
    const int error = probe.error().os_errno;
    found.add(
        check, Verdict::refused,
        std::string(feature) + ": fails here (" +
            (error != 0 ? errno_text(error) : std::string(probe.error().text != nullptr ? probe.error().text : "")) +
            "); it needs Linux " + kernel + ", and without it run and recover fail before any child starts");
}

// A feature with a slower way around it.
void with_fallback(Findings& found, const char* feature, const char* kernel, int error, const char* without) {
    const std::string check = std::string("host/") + feature;
    if (error == 0) {
        found.add(check, Verdict::passed, std::string(feature) + ": works (Linux " + kernel + " and later)");
    } else {
        found.add(check, Verdict::note,
                  std::string(feature) + ": missing here (" + errno_text(error) + "; it needs Linux " + kernel + "); " +
                      without);
    }
}

void probe_pidfds(Findings& found) {
    Result<UniqueFd> self = pidfd_open(::getpid());
    required(found, "pidfd_open", "5.3", self.has_value() ? Result<void>{} : fail(self.error()));
    if (!self.has_value()) return;
    required(found, "pidfd_send_signal", "5.1", pidfd_send_signal(self->get(), 0));
    required(found, "waitid on a pidfd", "5.4", probe_pidfd_wait(self->get()));
}

Result<void> probe_sealing() {
    const int raw = raw_memfd_create("quillmere-host-check", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (raw < 0) return fail_last_os_error();
    const UniqueFd memfd(raw);
    if (::write(memfd.get(), "{}", 2) != 2) return fail_last_os_error();
    if (::fcntl(memfd.get(), F_ADD_SEALS, F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) != 0)
        return fail_last_os_error();
    return verify_sealed(memfd.get());
}

int probe_close_range() {
    const UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!fd) return errno;
    const auto number = static_cast<unsigned>(fd.get());
    return ::syscall(SYS_close_range, number, number, CLOSE_RANGE_CLOEXEC) == 0 ? 0 : errno;
}

int probe_statx() {
    const UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!fd) return errno;
    struct statx extended {};
    return ::statx(fd.get(), "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE, &extended) == 0 ? 0 : errno;
}

void probe_socket_diagnostics(Findings& found) {
    const AppRoutingReport report = check_app_routing();
    const auto yes_no = [](bool value) { return value ? "yes" : "no"; };
    const std::string answers = std::string("IPv4 TCP ") + yes_no(report.ipv4.tcp) + ", UDP " +
                                yes_no(report.ipv4.udp) + ", IPv6 TCP " + yes_no(report.ipv6.tcp) + ", UDP " +
                                yes_no(report.ipv6.udp);
    const bool all = report.ipv4.tcp && report.ipv4.udp && report.ipv6.tcp && report.ipv6.udp;
    found.add("host/socket diagnostics", all ? Verdict::passed : Verdict::note,
              "socket diagnostics (check-app-routing): " + answers +
                  (all ? ""
                       : "; per-application routing needs each kind it uses (Linux 3.3 and later, with the "
                         "inet_diag, tcp_diag and udp_diag modules)"));
}

Result<void> probe_subreaper() {
    int enabled = 0;
    // Asked, not set: this process has no children to take in.
    if (::prctl(PR_GET_CHILD_SUBREAPER, &enabled, 0, 0, 0) != 0) return fail_last_os_error();
    // And where the supervisor finds what it took in.
    const UniqueFd listing(
        ::open(("/proc/self/task/" + std::to_string(::getpid()) + "/children").c_str(), O_RDONLY | O_CLOEXEC));
    if (!listing) return fail_last_os_error();
    return {};
}

void probe_leases(Findings& found) {
    std::ifstream setting("/proc/sys/fs/leases-enable");
    std::string value;
    const std::string check = "host/read leases";
    if (!(setting >> value)) {
        found.add(check, Verdict::unknown, "read leases: /proc/sys/fs/leases-enable cannot be read");
    } else if (value == "1" && !lease_capability_bounded()) {
        found.add(check, Verdict::refused,
                  "read leases: enabled, but CAP_LEASE is missing from the capability bounding set (as container "
                  "runtimes leave it), so the supervisor can lease no file that a user owns, and run and recover "
                  "fail for every state directory that is not root's");
    } else if (value == "1") {
        found.add(check, Verdict::passed,
                  "read leases: enabled (Linux 2.4 and later); the file system of each state directory must take "
                  "them too (tmpfs, ext4, xfs and btrfs do)");
    } else {
        found.add(
            check, Verdict::refused,
            "read leases: disabled (fs.leases-enable is " + value +
                "), so the supervisor cannot make sure nobody writes to what it copies, and run and recover fail");
    }
}

void probe_capability_attribute(Findings& found, const std::string& directory) {
    const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    const std::string check = "host/file capabilities";
    if (!fd) {
        found.add(check, Verdict::unknown,
                  "file capabilities: " + directory + " cannot be opened: " + errno_text(errno));
        return;
    }
    if (raw_fgetxattr(fd.get(), "security.capability", nullptr, 0) >= 0 || errno == ENODATA) {
        found.add(check, Verdict::passed,
                  "file capabilities: the file system of " + directory + " tells whether a file carries them");
        return;
    }
    found.add(check, Verdict::refused,
              "file capabilities: the file system of " + directory + " cannot tell whether a file carries them (" +
                  errno_text(errno) + "); executables in state directories there are refused");
}

}  // namespace

std::string usual_state_directory_home() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && runtime[0] == '/' ? std::string(runtime) : std::string("/tmp");
}

Findings check_host(const std::string& directory) {
    Findings found;
    utsname system{};
    if (::uname(&system) == 0)
        found.add("host/kernel", Verdict::note,
                  std::string("kernel: ") + system.sysname + " " + system.release + " on " + system.machine +
                      "; run and recover need Linux 5.4 or later");
    probe_pidfds(found);
    required(found, "memfd sealing", "3.17", probe_sealing());
    required(found, "PR_SET_CHILD_SUBREAPER and the children listing", "3.5", probe_subreaper());
    probe_leases(found);
    with_fallback(found, "close_range", "5.11", probe_close_range(),
                  "the supervisor marks inherited descriptors close-on-exec one by one instead");
    with_fallback(found, "statx", "4.11", probe_statx(),
                  "the supervisor reads the sealed copies' size with fstat instead");
    probe_socket_diagnostics(found);
    probe_capability_attribute(found, directory);
    return found;
}

}  // namespace quillmere::check
