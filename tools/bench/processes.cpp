#include "processes.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quillmere::bench {
namespace {

std::string describe_error(const Error& e) {
    std::string text = error_kind_name(e.kind);
    if (e.text != nullptr) text += std::string(" (") + e.text + ")";
    if (e.os_errno != 0) text += std::string(": ") + std::strerror(e.os_errno);
    return text;
}

std::vector<char*> c_argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

void die(const std::string& what) {
    (void)std::fprintf(stderr, "quillmere-bench: %s\n", what.c_str());
    std::exit(1);
}

void die_of(const Error& e, const char* what) { die(std::string(what) + ": " + describe_error(e)); }

void need(const Result<void>& r, const char* what) {
    if (!r.has_value()) die_of(r.error(), what);
}

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) die(std::string("waitpid: ") + std::strerror(errno));
    }
    return status;
}

std::pair<Nanoseconds, int> spawn_and_wait(const std::vector<std::string>& args) {
    static const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, null_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, null_fd, STDERR_FILENO);
    std::vector<char*> argv = c_argv(args);
    const Nanoseconds started = monotonic_now();
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) die("posix_spawn " + args[0] + ": " + std::strerror(error));
    const int status = wait_for(pid);
    return {monotonic_now() - started, status};
}

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv = c_argv(args);
    pid_t pid = -1;
    if (const int error = ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ))
        die("posix_spawn " + args[0] + ": " + std::strerror(error));
    return pid;
}

long status_field(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

// ru_maxrss would not do: at exec the kernel keeps the larger of the old and the new image's
// peak, so every child of a big parent (this one) would show at least the parent's size.
Traced run_traced(const std::vector<std::string>& args) {
    std::vector<char*> argv = c_argv(args);
    const pid_t pid = ::fork();
    if (pid < 0) die(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    Traced traced;
    int status = wait_for(pid);  // the stop at exec
    if (!WIFSTOPPED(status)) die("traced child did not stop at exec");
    // ptrace takes its options, and below the signal to deliver, in the pointer argument.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
    ::ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    for (;;) {
        status = wait_for(pid);
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (!WIFSTOPPED(status)) continue;
        long deliver = 0;
        if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            traced.peak_kib = status_field(pid, "VmHWM");
        } else {
            deliver = WSTOPSIG(status);  // an ordinary signal (SIGCHLD from its own children): pass it on
        }
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(deliver));  // NOLINT(performance-no-int-to-ptr)
    }
    traced.status = status;
    return traced;
}

}  // namespace quillmere::bench
