// Starts a program the way a careless or hostile launcher would:
//   hostile_launcher [OPTION...] -- PROGRAM [ARG...]
// Every signal disposition is first reset to its default, as a login shell leaves them, so that
// nothing the launcher itself inherited (an ignored SIGPIPE, say) reaches PROGRAM unasked.
//   --leak-fds FIRST-LAST   open FILE (see --leak-file) at every descriptor number from FIRST
//                           to LAST, without close-on-exec
//   --leak-file PATH        what the leaked descriptors refer to (default /dev/null)
//   --close FD[,FD...]      close these descriptors
//   --ignore-sigchld        set SIGCHLD to SIG_IGN, which survives exec
//   --ignore-signals N[,N...]
//                           set these signals (by number) to SIG_IGN as well
//   --block-signals         block every signal that can be blocked; the mask survives exec
//   --nofile N              lower RLIMIT_NOFILE (soft and hard) to N
//   --fsize BYTES           lower the soft RLIMIT_FSIZE to BYTES
//   --address-space BYTES   lower RLIMIT_AS (soft and hard) to BYTES
//   --processes N           lower RLIMIT_NPROC (soft and hard) to N
//   --stack BYTES           lower RLIMIT_STACK (soft and hard) to BYTES
//   --cpu-left MS           lower the soft RLIMIT_CPU (the hard limit stays) and spend CPU time
//                           until PROGRAM has only about MS milliseconds of it left
//   --timer KIND:MS         arm the interval timer KIND (real, virtual or prof) to expire
//                           after MS milliseconds, and every MS milliseconds after that; an
//                           armed timer survives exec
//   --umask OCTAL           set the umask
//   --broken-stdout         make standard output a pipe whose reading end is already closed
//   --stdout PATH           make standard output PATH, opened for writing (/dev/full, say)
//   --empty-argv            execute PROGRAM with an empty argument vector (argc 0)
//   --drop-capability N     drop capability N from the bounding set, as container runtimes do
//   --as-uid UID            then become UID (group the same number) for good, so that an
//                           unprivileged PROGRAM inherits a bounding set only root could change
// Exit status 127 when the exec fails, 126 on bad usage or a failing setup step.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void refuse(const char* what) {
    (void)std::fprintf(stderr, "hostile_launcher: %s\n", what);
    std::exit(126);
}

struct Launch {
    int first_leak = -1;
    int last_leak = -1;
    const char* leak_file = "/dev/null";
    std::string to_close;
    std::string to_ignore;
    bool ignore_sigchld = false;
    bool block_signals = false;
    bool broken_stdout = false;
    const char* stdout_path = nullptr;
    bool empty_argv = false;
    long nofile = -1;
    long fsize = -1;
    long address_space = -1;
    long processes = -1;
    long stack = -1;
    long cpu_left_ms = -1;
    int timer = -1;
    long timer_ms = 0;
    long umask_value = -1;
    int dropped_capability = -1;
    int as_uid = -1;
    char** program = nullptr;
};

int whole_number(const char* text, const char* what) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 1000000) refuse(what);
    return static_cast<int>(value);
}

long byte_count(const char* text, const char* what) {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || value < 0) refuse(what);
    return static_cast<long>(value);
}

void parse_timer(const char* value, Launch& launch) {
    const char* colon = std::strchr(value, ':');
    if (colon == nullptr) refuse("--timer KIND:MS");
    const std::string kind(value, colon);
    if (kind == "real") {
        launch.timer = ITIMER_REAL;
    } else if (kind == "virtual") {
        launch.timer = ITIMER_VIRTUAL;
    } else if (kind == "prof") {
        launch.timer = ITIMER_PROF;
    } else {
        refuse("--timer KIND:MS, KIND real, virtual or prof");
    }
    launch.timer_ms = whole_number(colon + 1, "--timer KIND:MS");
    if (launch.timer_ms == 0) refuse("--timer KIND:MS, MS above 0");
}

// One option that takes a value; false when `option` is not one.
bool take_value(Launch& launch, const std::string& option, const char* value) {
    if (option == "--leak-fds") {
        const char* dash = std::strchr(value, '-');
        if (dash == nullptr) refuse("--leak-fds FIRST-LAST");
        launch.first_leak = whole_number(std::string(value, dash).c_str(), "--leak-fds FIRST-LAST");
        launch.last_leak = whole_number(dash + 1, "--leak-fds FIRST-LAST");
    } else if (option == "--leak-file") {
        launch.leak_file = value;
    } else if (option == "--stdout") {
        launch.stdout_path = value;
    } else if (option == "--close") {
        launch.to_close = value;
    } else if (option == "--ignore-signals") {
        launch.to_ignore = value;
    } else if (option == "--nofile") {
        launch.nofile = whole_number(value, "--nofile N");
    } else if (option == "--fsize") {
        launch.fsize = byte_count(value, "--fsize BYTES");
    } else if (option == "--address-space") {
        launch.address_space = byte_count(value, "--address-space BYTES");
    } else if (option == "--processes") {
        launch.processes = whole_number(value, "--processes N");
    } else if (option == "--stack") {
        launch.stack = byte_count(value, "--stack BYTES");
    } else if (option == "--cpu-left") {
        launch.cpu_left_ms = whole_number(value, "--cpu-left MS");
        if (launch.cpu_left_ms == 0 || launch.cpu_left_ms >= 1000) refuse("--cpu-left MS: 1 to 999");
    } else if (option == "--timer") {
        parse_timer(value, launch);
    } else if (option == "--umask") {
        launch.umask_value = std::strtol(value, nullptr, 8);
    } else if (option == "--drop-capability") {
        launch.dropped_capability = whole_number(value, "--drop-capability N");
    } else if (option == "--as-uid") {
        launch.as_uid = whole_number(value, "--as-uid UID");
    } else {
        return false;
    }
    return true;
}

// One option without a value; false when `option` is not one.
bool take_flag(Launch& launch, const std::string& option) {
    if (option == "--ignore-sigchld") {
        launch.ignore_sigchld = true;
    } else if (option == "--block-signals") {
        launch.block_signals = true;
    } else if (option == "--broken-stdout") {
        launch.broken_stdout = true;
    } else if (option == "--empty-argv") {
        launch.empty_argv = true;
    } else {
        return false;
    }
    return true;
}

Launch parse(int argc, char** argv) {
    Launch launch;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        if (take_flag(launch, option)) continue;
        if (i + 1 >= argc || !take_value(launch, option, argv[i + 1])) refuse("unknown option");
        ++i;
    }
    if (i + 1 >= argc) refuse("no program");
    launch.program = argv + i + 1;
    return launch;
}

void leak_descriptors(const Launch& launch) {
    if (launch.first_leak < 0) return;
    const int source = ::open(launch.leak_file, O_RDWR | O_CREAT, 0600);
    if (source < 0) refuse("cannot open the leak file");
    for (int fd = launch.first_leak; fd <= launch.last_leak; ++fd) {
        if (fd != source && ::dup2(source, fd) < 0) refuse("dup2");
    }
    if (source < launch.first_leak || source > launch.last_leak) ::close(source);
}

void break_stdout() {
    int ends[2];
    if (::pipe(ends) != 0) refuse("pipe");
    ::close(ends[0]);
    if (::dup2(ends[1], STDOUT_FILENO) < 0) refuse("dup2");
    ::close(ends[1]);
}

void redirect_stdout(const char* path) {
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) refuse("cannot open --stdout");
    if (fd != STDOUT_FILENO) ::close(fd);
}

void close_listed(std::string list) {
    for (char* item = std::strtok(list.data(), ","); item != nullptr; item = std::strtok(nullptr, ","))
        ::close(whole_number(item, "--close N,N,..."));
}

void ignore_listed(std::string list) {
    for (char* item = std::strtok(list.data(), ","); item != nullptr; item = std::strtok(nullptr, ",")) {
        if (::signal(whole_number(item, "--ignore-signals N,N,..."), SIG_IGN) == SIG_ERR) refuse("signal");
    }
}

void lower_limit(int resource, long value, bool soft_only) {
    if (value < 0) return;
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0) refuse("getrlimit");
    limit.rlim_cur = static_cast<rlim_t>(value);
    if (!soft_only) limit.rlim_max = static_cast<rlim_t>(value);
    if (::setrlimit(resource, &limit) != 0) refuse("setrlimit");
}

long long cpu_time_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool xcpu_pending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGXCPU) != 0;
}

void burn_cpu() {
    volatile unsigned long spin = 0;
    for (int i = 0; i < 100000; ++i) spin = spin + 1;
}

// CPU time, like the limit on it, carries over into the program exec starts. The kernel takes
// no soft limit under a second, so the launcher spends that second itself. It waits for the
// first SIGXCPU (blocked, so that it only shows as pending), after which the kernel moves the
// soft limit one second on, and spends all but MS of that second too. The kernel counts in
// scheduler ticks, so what is left is only about MS; should the next SIGXCPU come first, the
// program is started with a second to spare instead.
void leave_cpu_time(long left_ms) {
    if (left_ms < 0) return;
    sigset_t xcpu;
    sigemptyset(&xcpu);
    sigaddset(&xcpu, SIGXCPU);
    sigset_t before;
    if (::sigprocmask(SIG_BLOCK, &xcpu, &before) != 0) refuse("sigprocmask");
    lower_limit(RLIMIT_CPU, 1, true);
    while (!xcpu_pending()) burn_cpu();
    const long long crossed = cpu_time_ms();
    while (!xcpu_pending() && cpu_time_ms() - crossed < 1000 - left_ms) burn_cpu();
    const timespec now{};
    while (::sigtimedwait(&xcpu, nullptr, &now) == SIGXCPU) {
    }
    if (::sigprocmask(SIG_SETMASK, &before, nullptr) != 0) refuse("sigprocmask");
}

void arm_timer(const Launch& launch) {
    if (launch.timer < 0) return;
    itimerval every{};
    every.it_value.tv_sec = launch.timer_ms / 1000;
    every.it_value.tv_usec = (launch.timer_ms % 1000) * 1000;
    every.it_interval = every.it_value;
    if (::setitimer(launch.timer, &every, nullptr) != 0) refuse("setitimer");
}

// The C library refuses the few signals it keeps for itself; those stay as they are.
void default_dispositions() {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) (void)::signal(sig, SIG_DFL);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Launch launch = parse(argc, argv);
    default_dispositions();
    leak_descriptors(launch);
    if (launch.broken_stdout) break_stdout();
    if (launch.stdout_path != nullptr) redirect_stdout(launch.stdout_path);
    if (!launch.to_close.empty()) close_listed(launch.to_close);
    if (launch.ignore_sigchld) (void)::signal(SIGCHLD, SIG_IGN);
    if (!launch.to_ignore.empty()) ignore_listed(launch.to_ignore);
    if (launch.block_signals) {
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, nullptr);
    }
    lower_limit(RLIMIT_NOFILE, launch.nofile, false);
    if (launch.umask_value >= 0) ::umask(static_cast<mode_t>(launch.umask_value));
    if (launch.dropped_capability >= 0 && ::prctl(PR_CAPBSET_DROP, launch.dropped_capability, 0, 0, 0) != 0)
        refuse("PR_CAPBSET_DROP");
    if (launch.as_uid >= 0) {
        const auto id = static_cast<uid_t>(launch.as_uid);
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) refuse("cannot become --as-uid");
    }
    // Last, so that the launcher itself is not held back by them.
    leave_cpu_time(launch.cpu_left_ms);
    lower_limit(RLIMIT_FSIZE, launch.fsize, true);
    lower_limit(RLIMIT_NPROC, launch.processes, false);
    lower_limit(RLIMIT_STACK, launch.stack, false);
    lower_limit(RLIMIT_AS, launch.address_space, false);
    arm_timer(launch);

    char* no_arguments[] = {nullptr};
    ::execve(launch.program[0], launch.empty_argv ? no_arguments : launch.program, environ);
    return 127;
}
