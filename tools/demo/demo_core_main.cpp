// A stand-in for the proxy engine, for the demo: it takes the core's command line
// ("run", "-c", CONFIG), reads the configuration the way the real engine would, and then runs
// until it is told to stop. The real engine goes in its place as "sing-box" in the state
// directory; nothing in the supervisor changes.
//
// When QUILLMERE_DEMO_EVENTS names a file, each step is appended to it as
// "<CLOCK_MONOTONIC ns> core: <what>".

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

long long monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

void record(const std::string& what) {
    const char* path = std::getenv("QUILLMERE_DEMO_EVENTS");
    if (path == nullptr) return;
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string line = std::to_string(monotonic_ns()) + " core: " + what + "\n";
    (void)(::write(fd, line.data(), line.size()) < 0);
    ::close(fd);
}

std::size_t configuration_size(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t total = 0;
    char buffer[8192];
    // pread from 0: the sealed copy's offset is left at its end by the supervisor.
    for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(total))) > 0;)
        total += static_cast<std::size_t>(n);
    ::close(fd);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "run") != 0 || std::strcmp(argv[2], "-c") != 0) {
        (void)std::fputs("usage: sing-box run -c CONFIG\n", stderr);
        return 2;
    }
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop_signals, nullptr);

    record("started as " + std::string(argv[0]) + " with " + std::to_string(configuration_size(argv[3])) +
           " bytes of configuration from " + argv[3]);
    int received = 0;
    sigwait(&stop_signals, &received);
    record(std::string("received ") + (received == SIGTERM ? "SIGTERM" : "SIGINT") + ", tunnel down, exiting 0");
    return 0;
}
