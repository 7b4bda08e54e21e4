#include "support/scratch.hpp"

#include <elf.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillmere::testing {

bool running_as_root() { return ::geteuid() == 0; }

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/quillmere-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() { remove_tree(path_); }

std::string ScratchDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

void remove_tree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string& path, std::string_view content, mode_t mode, uid_t owner) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (owner != static_cast<uid_t>(-1) && ::fchown(fd, owner, owner) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot chown " + path);
    }
    if (::fchmod(fd, mode) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot chmod " + path);
    }
    ::close(fd);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool path_exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

mode_t file_mode(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

namespace {

void drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

// The null-terminated pointer array that execve takes, into strings that outlive it.
std::vector<char*> pointers_to(std::vector<std::string>& storage) {
    std::vector<char*> pointers;
    pointers.reserve(storage.size() + 1);
    for (std::string& item : storage) pointers.push_back(item.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ProcessResult run_program(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");

    std::vector<std::string> argv_storage{program};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers_to(argv_storage);
    std::vector<std::string> env_storage;
    for (char** e = environ; *e != nullptr; ++e) env_storage.emplace_back(*e);
    env_storage.insert(env_storage.end(), options.extra_environment.begin(), options.extra_environment.end());
    std::vector<char*> envp = pointers_to(env_storage);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        if (options.uid != static_cast<uid_t>(-1)) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(options.uid) != 0 || ::setuid(options.uid) != 0) ::_exit(126);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);

    ProcessResult result;
    const auto limit = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds * 1000));
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_streams = 2;
    while (open_streams > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.standard_output : result.standard_error).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) {
            drain(fd.fd, fd.fd == out_pipe[0] ? result.standard_output : result.standard_error);
            ::close(fd.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string supervisor_binary() { return QUILLMERE_SUPERVISOR_BINARY; }

std::string session_check_binary() { return QUILLMERE_SESSION_CHECK_BINARY; }

std::string test_program(std::string_view name) {
    return std::string(QUILLMERE_TEST_PROGRAMS_DIR) + "/" + std::string(name);
}

bool has_program_interpreter(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header{};
    if (!file.read(reinterpret_cast<char*>(&header), sizeof header)) return true;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        file.seekg(static_cast<std::streamoff>(header.e_phoff + std::uint64_t{i} * header.e_phentsize));
        if (!file.read(reinterpret_cast<char*>(&segment), sizeof segment)) return true;
        if (segment.p_type == PT_INTERP) return true;
    }
    return false;
}

ProcessResult run_supervisor(const std::vector<std::string>& args, const RunOptions& options) {
    return run_program(supervisor_binary(), args, options);
}

int run_as_nobody(const std::function<bool()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return 3;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobodyGid) != 0 || ::setuid(kNobodyUid) != 0) ::_exit(2);
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace quillmere::testing
