// Runs a program as a child subreaper, so that every process its descendants leave behind is
// handed here instead of to init, and says how many there were:
//   subreaper REPORT PROGRAM [ARG...]
// A process the supervisor started but never reaped becomes an orphan when the supervisor
// exits, even if the kernel kills it at that moment; here it is counted instead of vanishing.
// REPORT gets one line "orphans N", then "orphan PID COMM" for each. Orphans still running
// 3 seconds after PROGRAM ended are killed first. Exits with PROGRAM's exit code, or 128 plus
// the signal that ended it; 126 on bad usage, 127 when PROGRAM cannot be started.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string comm_of(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/comm";
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return "?";
    char name[64] = "?";
    if (std::fgets(name, sizeof name, file) == nullptr) std::strcpy(name, "?");
    (void)std::fclose(file);
    name[std::strcspn(name, "\n")] = '\0';
    return name;
}

// Children of this process that are still there, found through their parent pid.
std::vector<pid_t> own_children() {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (pid <= 0) continue;
        std::string path = "/proc/" + std::to_string(pid) + "/stat";
        FILE* file = std::fopen(path.c_str(), "re");
        if (file == nullptr) continue;
        char line[1024] = "";
        const bool read = std::fgets(line, sizeof line, file) != nullptr;
        (void)std::fclose(file);
        const char* after_name = read ? std::strrchr(line, ')') : nullptr;
        // "pid (comm) state ppid ...": the parent pid is the second field after the name.
        if (after_name == nullptr) continue;
        const char* field = after_name + 1;
        while (*field == ' ') ++field;
        if (*field == '\0') continue;
        ++field;  // the state letter
        char* end = nullptr;
        const long parent = std::strtol(field, &end, 10);
        if (end != field && parent == ::getpid()) found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}

long long monotonic_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 126;
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return 126;
    const pid_t program = ::fork();
    if (program < 0) return 126;
    if (program == 0) {
        ::execvp(argv[2], argv + 2);
        ::_exit(127);
    }

    int exit_code = 126;
    bool program_done = false;
    long long give_up_at = 0;
    std::vector<std::string> orphans;
    for (;;) {
        siginfo_t info{};
        // WNOWAIT first, so that an orphan's name can still be read before it is reaped.
        const int options = WEXITED | WNOWAIT | (program_done ? WNOHANG : 0);
        if (::waitid(P_ALL, 0, &info, options) != 0) {
            if (errno == EINTR) continue;
            break;  // ECHILD: nobody left
        }
        if (info.si_pid == 0) {
            if (own_children().empty()) break;
            if (monotonic_ms() >= give_up_at) {
                for (const pid_t pid : own_children()) ::kill(pid, SIGKILL);
                give_up_at = monotonic_ms() + 1000LL * 1000;
            }
            ::usleep(10000);
            continue;
        }
        const pid_t pid = info.si_pid;
        const std::string name = comm_of(pid);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (pid == program) {
            exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            program_done = true;
            give_up_at = monotonic_ms() + 3000;
        } else {
            orphans.push_back(std::to_string(pid) + " " + name);
        }
    }

    if (FILE* report = std::fopen(argv[1], "we")) {
        (void)std::fprintf(report, "orphans %zu\n", orphans.size());
        for (const std::string& orphan : orphans) (void)std::fprintf(report, "orphan %s\n", orphan.c_str());
        (void)std::fclose(report);
    }
    return exit_code;
}
