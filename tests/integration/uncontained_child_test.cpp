// A child whose pidfd cannot be opened must be put down and reaped by its pid before the spawn
// fails. This binary stands its own syscall() in front of the C library's, so that opening a
// pidfd for anything but the test process itself can be made to fail.

#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <string>

#include <gtest/gtest.h>

#include "linux/owned_child.hpp"
#include "support/scratch.hpp"

namespace {
std::atomic<bool> refuse_child_pidfds{false};
}

extern "C" long syscall(long number, ...) {
    va_list list;
    va_start(list, number);
    long a[6];
    for (long& value : a) value = va_arg(list, long);
    va_end(list);
    if (number == SYS_pidfd_open && refuse_child_pidfds && a[0] != ::getpid()) {
        errno = EMFILE;
        return -1;
    }
    using Syscall = long (*)(long, ...);
    static const auto real = reinterpret_cast<Syscall>(::dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

namespace quillmere {
namespace {

TEST(UncontainedChild, IsKilledAndReapedAndTheSpawnFailsWithThePidfdError) {
    const int outcome = [] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("QUILLMERE_STAND_IN_RUN_UNTIL_SIGNALLED", "1", 1);
            const std::string program = testing::test_program("stand_in_child");
            ChildCommand command{program, {program}, {}, {}};
            refuse_child_pidfds = true;
            auto child = spawn_contained(command);
            refuse_child_pidfds = false;
            if (child.has_value()) ::_exit(10);
            if (!(child.error() == Error::from_errno(EMFILE))) ::_exit(11);
            siginfo_t info{};
            const bool no_children = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
            ::_exit(no_children ? 0 : 12);
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }();
    EXPECT_EQ(outcome, 0);
}

}  // namespace
}  // namespace quillmere
