// Starts a program as if on an older kernel, one that lacks some of the calls, flags or proc
// files of the one it runs on:
//   old_kernel_launcher [OPTION...] -- PROGRAM [ARG...]
//   --refuse FORM=ERRNO      answer one call, or one form of a call, with ERRNO (a name such as
//                            ENOSYS) through a seccomp filter, as a kernel without it answers
//   --hide-children-listing  in a mount namespace of its own, hide /proc/PID/task/PID (the
//                            launcher's own pid, which PROGRAM keeps) under an empty file
//                            system, so that its "children" file is absent, as on a kernel
//                            built without CONFIG_PROC_CHILDREN
// The filter and the namespace survive exec and are inherited by every child. FORM is one of
// the names in kForms below. Exit status 127 when the exec fails, 126 on bad usage or a failing
// setup step.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/close_range.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void refuse(const char* what) {
    (void)std::fprintf(stderr, "old_kernel_launcher: %s\n", what);
    std::exit(126);
}

#if defined(__x86_64__)
constexpr unsigned kArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArchitecture = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this target"
#endif
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "argument words are read at their low half");

// One condition on an argument's low 32 bits: equal to `value`, or sharing a bit with it.
struct Condition {
    int argument;
    bool any_bit;
    unsigned value;
};

struct Form {
    const char* name;
    long call;
    int condition_count;
    Condition conditions[2];
};

// Every form stands for a feature the supervisor needs or falls back from; an older kernel
// answers an unknown call with ENOSYS and an unknown flag, command or option with EINVAL.
constexpr Form kForms[] = {
    {"pidfd_open", SYS_pidfd_open, 0, {}},
    {"pidfd_send_signal", SYS_pidfd_send_signal, 0, {}},
    {"waitid:P_PIDFD", SYS_waitid, 1, {{0, false, P_PIDFD}}},
    {"memfd_create", SYS_memfd_create, 0, {}},
    {"fcntl:F_ADD_SEALS", SYS_fcntl, 1, {{1, false, F_ADD_SEALS}}},
    {"fcntl:F_SETLEASE", SYS_fcntl, 1, {{1, false, F_SETLEASE}}},
    {"prctl:PR_SET_CHILD_SUBREAPER", SYS_prctl, 1, {{0, false, PR_SET_CHILD_SUBREAPER}}},
    {"close_range", SYS_close_range, 0, {}},
    {"close_range:CLOSE_RANGE_CLOEXEC", SYS_close_range, 1, {{2, true, CLOSE_RANGE_CLOEXEC}}},
    {"statx", SYS_statx, 0, {}},
    {"fgetxattr", SYS_fgetxattr, 0, {}},
    {"socket:NETLINK_SOCK_DIAG", SYS_socket, 2, {{0, false, AF_NETLINK}, {2, false, NETLINK_SOCK_DIAG}}},
};

constexpr struct {
    const char* name;
    int value;
} kErrnoNames[] = {{"ENOSYS", ENOSYS},
                   {"EINVAL", EINVAL},
                   {"EPERM", EPERM},
                   {"EOPNOTSUPP", EOPNOTSUPP},
                   {"EPROTONOSUPPORT", EPROTONOSUPPORT}};

struct Refusal {
    const Form* form;
    int errnum;
};

Refusal parse_refusal(const std::string& text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) refuse("--refuse FORM=ERRNO");
    Refusal refusal{nullptr, 0};
    for (const Form& form : kForms) {
        if (text.compare(0, equals, form.name) == 0 && std::strlen(form.name) == equals) refusal.form = &form;
    }
    for (const auto& known : kErrnoNames) {
        if (text.compare(equals + 1, std::string::npos, known.name) == 0) refusal.errnum = known.value;
    }
    if (refusal.form == nullptr) refuse("unknown form");
    if (refusal.errnum == 0) refuse("unknown errno name");
    return refusal;
}

std::uint32_t argument_offset(int argument) {
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + sizeof(std::uint64_t) * argument);
}

// A program of the other architecture's calls is let through: the numbers would mean other calls.
std::vector<sock_filter> filter_program(const std::vector<Refusal>& refusals) {
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    for (const Refusal& refusal : refusals) {
        const Form& form = *refusal.form;
        // Each failed test jumps past the rest of this refusal, to the next one.
        auto left = static_cast<unsigned char>(2 * form.condition_count + 1);
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(form.call), 0, left));
        for (int i = 0; i < form.condition_count; ++i) {
            const Condition& condition = form.conditions[i];
            left = static_cast<unsigned char>(left - 2);
            program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument_offset(condition.argument)));
            program.push_back(
                BPF_JUMP(BPF_JMP | (condition.any_bit ? BPF_JSET : BPF_JEQ) | BPF_K, condition.value, 0, left));
        }
        program.push_back(
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(refusal.errnum) & SECCOMP_RET_DATA)));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return program;
}

void install_filter(const std::vector<Refusal>& refusals) {
    std::vector<sock_filter> program = filter_program(refusals);
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    // Root may install a filter as it is; anybody else must first give up gaining privileges.
    if (::geteuid() != 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) refuse("PR_SET_NO_NEW_PRIVS");
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) refuse("cannot install the seccomp filter");
}

void hide_children_listing() {
    if (::unshare(CLONE_NEWNS) != 0) refuse("unshare(CLONE_NEWNS)");
    // Nothing mounted here may reach the launcher's own namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) refuse("mount --make-rprivate /");
    const std::string pid = std::to_string(::getpid());
    const std::string task = "/proc/" + pid + "/task/" + pid;
    if (::mount("none", task.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0555") != 0)
        refuse("cannot mount over the task directory");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Refusal> refusals;
    bool hide_listing = false;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--refuse") == 0 && i + 1 < argc) {
            refusals.push_back(parse_refusal(argv[++i]));
        } else if (std::strcmp(argv[i], "--hide-children-listing") == 0) {
            hide_listing = true;
        } else {
            refuse("unknown option");
        }
    }
    if (i + 1 >= argc) refuse("no program");
    if (hide_listing) hide_children_listing();
    if (!refusals.empty()) install_filter(refusals);
    ::execv(argv[i + 1], argv + i + 1);
    return 127;
}
