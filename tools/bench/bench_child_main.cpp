// quillmere-bench-child: the benchmark's stand-in for both children, as small as a program can
// be, so that what the benchmark sees of it is the cost of starting a process and nothing else.
//
// Started as the core ("run" "-c" CONFIG) or as the guard's runtime ("--eval" LOADER "--" FD
// PATH MODE ...), it appends "<CLOCK_MONOTONIC ns> <role>" to the file named by
// QUILLMERE_BENCH_EVENTS, taking the time as the first thing main does. The role is "core", or
// the guard's mode word. It leaves its command line, NUL-separated, in "<that file>.<role>", so
// that the benchmark can start the same command line without the supervisor. Then:
//   the guard appends "<ns> <mode word>-end" and exits 0 at once;
//   the core exits 0 at once, or, with QUILLMERE_BENCH_CORE=wait, waits for SIGTERM, appends
//   "<ns> term" with the time it arrived, and exits 0.
//
// Started as "sleep-loop", it only sleeps one stop poll period at a time until it is killed:
// the floor of what waking up every period can cost.
//
// Started as "poll-loop DIR", it makes, once every stop poll period, the system calls of one
// pass of the supervisor's watch over a running core, on objects of the same kinds, until it is
// killed: next to it, the supervisor's standing cost shows only what it does beyond them.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "children/core.hpp"
#include "children/guard.hpp"
#include "linux/syscalls.hpp"
#include "session/stop_request.hpp"

namespace {

long long monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

// One write with O_APPEND, so lines of successive children never interleave.
void append_event(const char* path, long long at, const char* what) {
    if (path == nullptr) return;
    char line[128];
    char digits[24];
    int length = 0;
    for (unsigned long long value = static_cast<unsigned long long>(at); length == 0 || value != 0; value /= 10)
        digits[length++] = static_cast<char>('0' + value % 10);
    std::size_t used = 0;
    while (length > 0) line[used++] = digits[--length];
    line[used++] = ' ';
    const std::size_t what_length = std::strlen(what);
    if (what_length > sizeof line - used - 1) return;
    std::memcpy(line + used, what, what_length);  // NOLINT(bugprone-not-null-terminated-result): a line, not a string
    used += what_length;
    line[used++] = '\n';
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)(::write(fd, line, used) < 0);
    ::close(fd);
}

void note_command_line(const char* events, const char* role, int argc, char** argv) {
    if (events == nullptr) return;
    const std::string path = std::string(events) + "." + role;
    std::string text;
    for (int i = 0; i < argc; ++i) text.append(argv[i], std::strlen(argv[i]) + 1);
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)(::write(fd, text.data(), text.size()) < 0);
    ::close(fd);
}

// The guard's mode word, wherever the supervisor puts it among the guard's arguments.
const char* guard_role(int argc, char** argv) {
    for (const quillmere::GuardMode mode : {quillmere::GuardMode::preflight, quillmere::GuardMode::cleanup}) {
        const std::string_view word = quillmere::guard_mode_word(mode);
        for (int i = 1; i < argc; ++i) {
            if (argv[i] == word) return argv[i];
        }
    }
    return "guard";
}

timespec stop_poll_period() {
    constexpr quillmere::Nanoseconds kPeriod = quillmere::kStopPollPeriod;
    return {static_cast<time_t>(kPeriod / quillmere::kNanosPerSecond),
            static_cast<long>(kPeriod % quillmere::kNanosPerSecond)};
}

[[noreturn]] void sleep_loop() {
    const timespec period = stop_poll_period();
    for (;;) ::clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
}

// The supervisor's pass, call for call: the look at its own child through the pidfd, the look
// for adopted orphans that have ended (left waitable, as the owned child must only ever be
// reaped through its pidfd), the lstat of the stop marker that is not there, the one-byte
// receive on the silent link, then the sleep.
[[noreturn]] void poll_loop(const char* state_dir) {
    const pid_t child = ::fork();
    if (child < 0) std::exit(1);
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) ::pause();
    }
    const int pidfd = quillmere::raw_pidfd_open(child, 0);
    int link[2];
    if (pidfd < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, link) != 0) std::exit(1);
    const std::string marker = std::string(state_dir) + "/" + std::string(quillmere::kStopMarkerName);
    const timespec period = stop_poll_period();
    for (;;) {
        siginfo_t info{};
        (void)quillmere::raw_waitid_pidfd(pidfd, &info, WEXITED | WNOHANG);
        (void)::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT);
        struct stat entry {};
        (void)::lstat(marker.c_str(), &entry);
        char byte = 0;
        (void)::recv(link[0], &byte, 1, 0);
        ::clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long long started = monotonic_ns();
    if (argc == 2 && std::strcmp(argv[1], "sleep-loop") == 0) sleep_loop();
    if (argc == 3 && std::strcmp(argv[1], "poll-loop") == 0) poll_loop(argv[2]);
    const char* events = std::getenv("QUILLMERE_BENCH_EVENTS");
    const bool core = argc > 3 && std::strcmp(argv[1], "run") == 0 && std::strcmp(argv[2], "-c") == 0;
    const char* role = core ? "core" : guard_role(argc, argv);
    const char* behaviour = std::getenv("QUILLMERE_BENCH_CORE");
    const bool wait_for_stop = core && behaviour != nullptr && std::strcmp(behaviour, "wait") == 0;

    // Blocked before anything else, so a stop is taken by sigwaitinfo and its time read the
    // moment it is delivered; the supervisor starts every child with nothing blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    if (wait_for_stop) ::sigprocmask(SIG_BLOCK, &stop, nullptr);

    append_event(events, started, role);
    note_command_line(events, role, argc, argv);
    if (!core) {
        char end[64];
        (void)std::snprintf(end, sizeof end, "%.40s-end", role);
        append_event(events, monotonic_ns(), end);
    }
    if (wait_for_stop) {
        while (::sigwaitinfo(&stop, nullptr) != SIGTERM) {
        }
        append_event(events, monotonic_ns(), "term");
    }
    return 0;
}
