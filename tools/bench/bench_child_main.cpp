// quillmere-bench-child: the benchmark's stand-in for both children, as small as a program can
// be, so that what the benchmark sees of it is the cost of starting a process and nothing else.
//
// Started as the core ("run" "-c" CONFIG) or as the guard's runtime ("--eval" LOADER "--" FD
// PATH MODE ...), it appends "<CLOCK_MONOTONIC ns> <role>" to the file named by
// QUILLMERE_BENCH_EVENTS, taking the time as the first thing main does. The role is "core", or
// the guard's mode word. Then:
//   the guard appends "<ns> <mode word>-end" and exits 0 at once;
//   the core exits 0 at once, or, with QUILLMERE_BENCH_CORE=wait, waits for SIGTERM, appends
//   "<ns> term" with the time it arrived, and exits 0.
//
// Started as "sleep-loop", it only sleeps 100 ms at a time until it is killed: the floor of
// what watching something every 100 ms can cost, next to which the supervisor's standing cost
// is measured.

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

int main(int argc, char** argv) {
    const long long started = monotonic_ns();
    if (argc == 2 && std::strcmp(argv[1], "sleep-loop") == 0) {
        for (;;) {
            const timespec period{0, 100'000'000};
            ::clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr);
        }
    }
    const char* events = std::getenv("QUILLMERE_BENCH_EVENTS");
    const bool core = argc > 3 && std::strcmp(argv[1], "run") == 0 && std::strcmp(argv[2], "-c") == 0;
    const char* role = core ? "core" : argc > 6 ? argv[6] : "guard";
    const char* behaviour = std::getenv("QUILLMERE_BENCH_CORE");
    const bool wait_for_stop = core && behaviour != nullptr && std::strcmp(behaviour, "wait") == 0;

    // Blocked before anything else, so a stop is taken by sigwaitinfo and its time read the
    // moment it is delivered; the supervisor starts every child with nothing blocked.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    if (wait_for_stop) ::sigprocmask(SIG_BLOCK, &stop, nullptr);

    append_event(events, started, role);
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
