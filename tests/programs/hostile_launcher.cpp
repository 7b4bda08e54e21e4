// Starts a program the way a careless or hostile launcher would:
//   hostile_launcher [OPTION...] -- PROGRAM [ARG...]
//   --leak-fds FIRST-LAST   open FILE (see --leak-file) at every descriptor number from FIRST
//                           to LAST, without close-on-exec
//   --leak-file PATH        what the leaked descriptors refer to (default /dev/null)
//   --close FD[,FD...]      close these descriptors
//   --ignore-sigchld        set SIGCHLD to SIG_IGN, which survives exec
//   --block-signals         block every signal that can be blocked; the mask survives exec
//   --nofile N              lower RLIMIT_NOFILE (soft and hard) to N
//   --umask OCTAL           set the umask
//   --broken-stdout         make standard output a pipe whose reading end is already closed
//   --empty-argv            execute PROGRAM with an empty argument vector (argc 0)
// Exit status 127 when the exec fails, 126 on bad usage or a failing setup step.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

[[noreturn]] void refuse(const char* what) {
    std::fprintf(stderr, "hostile_launcher: %s\n", what);
    std::exit(126);
}

}  // namespace

int main(int argc, char** argv) {
    int first_leak = -1, last_leak = -1;
    const char* leak_file = "/dev/null";
    std::string to_close;
    bool ignore_sigchld = false, block_signals = false, broken_stdout = false, empty_argv = false;
    long nofile = -1;
    long umask_value = -1;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--leak-fds" && value != nullptr) {
            if (std::sscanf(value, "%d-%d", &first_leak, &last_leak) != 2) refuse("--leak-fds FIRST-LAST");
            ++i;
        } else if (option == "--leak-file" && value != nullptr) {
            leak_file = value;
            ++i;
        } else if (option == "--close" && value != nullptr) {
            to_close = value;
            ++i;
        } else if (option == "--nofile" && value != nullptr) {
            nofile = std::strtol(value, nullptr, 10);
            ++i;
        } else if (option == "--umask" && value != nullptr) {
            umask_value = std::strtol(value, nullptr, 8);
            ++i;
        } else if (option == "--ignore-sigchld") {
            ignore_sigchld = true;
        } else if (option == "--block-signals") {
            block_signals = true;
        } else if (option == "--broken-stdout") {
            broken_stdout = true;
        } else if (option == "--empty-argv") {
            empty_argv = true;
        } else {
            refuse("unknown option");
        }
    }
    if (i + 1 >= argc) refuse("no program");
    char** program = argv + i + 1;

    if (first_leak >= 0) {
        const int source = ::open(leak_file, O_RDWR | O_CREAT, 0600);
        if (source < 0) refuse("cannot open the leak file");
        for (int fd = first_leak; fd <= last_leak; ++fd) {
            if (fd != source && ::dup2(source, fd) < 0) refuse("dup2");
        }
        if (source < first_leak || source > last_leak) ::close(source);
    }
    if (broken_stdout) {
        int ends[2];
        if (::pipe(ends) != 0) refuse("pipe");
        ::close(ends[0]);
        if (::dup2(ends[1], STDOUT_FILENO) < 0) refuse("dup2");
        ::close(ends[1]);
    }
    if (!to_close.empty()) {
        for (char* item = std::strtok(to_close.data(), ","); item != nullptr; item = std::strtok(nullptr, ","))
            ::close(std::atoi(item));
    }
    if (ignore_sigchld) ::signal(SIGCHLD, SIG_IGN);
    if (block_signals) {
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, nullptr);
    }
    if (nofile >= 0) {
        const rlimit limit{static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) refuse("setrlimit");
    }
    if (umask_value >= 0) ::umask(static_cast<mode_t>(umask_value));

    char* no_arguments[] = {nullptr};
    ::execve(program[0], empty_argv ? no_arguments : program, environ);
    return 127;
}
