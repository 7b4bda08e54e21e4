#pragma once
// Starting and waiting for the programs the benchmark times, and reading what the kernel keeps
// about them.

#include <sys/types.h>
#include <sys/wait.h>

#include <string>
#include <utility>
#include <vector>

#include "linux/deadline.hpp"
#include "linux/error.hpp"

namespace quillmere::bench {

// The benchmark has no use for a figure taken after something went wrong: it stops there.
[[noreturn]] void die(const std::string& what);
[[noreturn]] void die_of(const Error& e, const char* what);
void need(const Result<void>& r, const char* what);

template <class T>
T need(Result<T> r, const char* what) {
    if (!r.has_value()) die_of(r.error(), what);
    return std::move(*r);
}

int wait_for(pid_t pid);

[[nodiscard]] inline bool exited_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// Starts `args` (argv[0] is the program) with standard output and error on /dev/null, waits
// for it, and gives the whole wall time and the wait status. The start-up figures and the
// bare children of the overhead baseline all go through here, so they are started alike.
std::pair<Nanoseconds, int> spawn_and_wait(const std::vector<std::string>& args);

// Starts `args` and leaves it running, its output where this program's goes.
[[nodiscard]] pid_t spawn(const std::vector<std::string>& args);

// A number field of /proc/PID/status ("VmHWM", "voluntary_ctxt_switches"), or -1.
[[nodiscard]] long status_field(pid_t pid, const char* field);

struct Traced {
    int status = 0;
    long peak_kib = -1;  // VmHWM at the moment of exit
};

// Runs `args` under ptrace to read its VmHWM at the exit stop, while its memory still exists.
Traced run_traced(const std::vector<std::string>& args);

}  // namespace quillmere::bench
