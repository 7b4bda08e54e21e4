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
//   --umask OCTAL           set the umask
//   --broken-stdout         make standard output a pipe whose reading end is already closed
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
    bool empty_argv = false;
    long nofile = -1;
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

Launch parse(int argc, char** argv) {
    Launch launch;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--leak-fds" && value != nullptr) {
            const char* dash = std::strchr(value, '-');
            if (dash == nullptr) refuse("--leak-fds FIRST-LAST");
            launch.first_leak = whole_number(std::string(value, dash).c_str(), "--leak-fds FIRST-LAST");
            launch.last_leak = whole_number(dash + 1, "--leak-fds FIRST-LAST");
            ++i;
        } else if (option == "--leak-file" && value != nullptr) {
            launch.leak_file = value;
            ++i;
        } else if (option == "--close" && value != nullptr) {
            launch.to_close = value;
            ++i;
        } else if (option == "--ignore-signals" && value != nullptr) {
            launch.to_ignore = value;
            ++i;
        } else if (option == "--nofile" && value != nullptr) {
            launch.nofile = whole_number(value, "--nofile N");
            ++i;
        } else if (option == "--umask" && value != nullptr) {
            launch.umask_value = std::strtol(value, nullptr, 8);
            ++i;
        } else if (option == "--drop-capability" && value != nullptr) {
            launch.dropped_capability = whole_number(value, "--drop-capability N");
            ++i;
        } else if (option == "--as-uid" && value != nullptr) {
            launch.as_uid = whole_number(value, "--as-uid UID");
            ++i;
        } else if (option == "--ignore-sigchld") {
            launch.ignore_sigchld = true;
        } else if (option == "--block-signals") {
            launch.block_signals = true;
        } else if (option == "--broken-stdout") {
            launch.broken_stdout = true;
        } else if (option == "--empty-argv") {
            launch.empty_argv = true;
        } else {
            refuse("unknown option");
        }
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

void close_listed(std::string list) {
    for (char* item = std::strtok(list.data(), ","); item != nullptr; item = std::strtok(nullptr, ","))
        ::close(whole_number(item, "--close N,N,..."));
}

void ignore_listed(std::string list) {
    for (char* item = std::strtok(list.data(), ","); item != nullptr; item = std::strtok(nullptr, ",")) {
        if (::signal(whole_number(item, "--ignore-signals N,N,..."), SIG_IGN) == SIG_ERR) refuse("signal");
    }
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
    if (!launch.to_close.empty()) close_listed(launch.to_close);
    if (launch.ignore_sigchld) (void)::signal(SIGCHLD, SIG_IGN);
    if (!launch.to_ignore.empty()) ignore_listed(launch.to_ignore);
    if (launch.block_signals) {
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, nullptr);
    }
    if (launch.nofile >= 0) {
        const rlimit limit{static_cast<rlim_t>(launch.nofile), static_cast<rlim_t>(launch.nofile)};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) refuse("setrlimit");
    }
    if (launch.umask_value >= 0) ::umask(static_cast<mode_t>(launch.umask_value));
    if (launch.dropped_capability >= 0 && ::prctl(PR_CAPBSET_DROP, launch.dropped_capability, 0, 0, 0) != 0)
        refuse("PR_CAPBSET_DROP");
    if (launch.as_uid >= 0) {
        const auto id = static_cast<uid_t>(launch.as_uid);
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) refuse("cannot become --as-uid");
    }

    char* no_arguments[] = {nullptr};
    ::execve(launch.program[0], launch.empty_argv ? no_arguments : launch.program, environ);
    return 127;
}
