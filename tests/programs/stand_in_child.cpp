// A stand-in for either child: the core ("sing-box run -c /proc/self/fd/N") or the guard's
// runtime ("node --eval LOADER -- ... --sealed-config-fd N"). It records what it was started
// with and then behaves as its environment tells it. The knobs are ordinary environment
// variables that the supervisor's scrub lets through.
//
//   QUILLMERE_STAND_IN_RECORD=PATH       write a record (see below) to PATH, atomically: it is
//                                        written to a temporary name and renamed, so once PATH
//                                        exists it is complete.
//   QUILLMERE_STAND_IN_ON_TERM_RECORD=PATH
//                                        on SIGTERM write the CLOCK_MONOTONIC time of its
//                                        arrival (decimal nanoseconds, one line) to PATH, also
//                                        atomically; then die of SIGTERM, unless it is ignored.
//   QUILLMERE_STAND_IN_IGNORE_TERM=1     ignore SIGTERM (only SIGKILL ends the process).
//   QUILLMERE_STAND_IN_LEAVE_HELPER=term|ignore-term|nested
//                                        start a helper process that runs until it is killed
//                                        and is never waited for (with ignore-term it ignores
//                                        SIGTERM; nested, it has a helper of its own, so that
//                                        one is handed on when it dies), as a guard or core
//                                        that abandons one would.
//   QUILLMERE_STAND_IN_HELPER_ON_TERM_RECORD=PATH
//                                        the helper records SIGTERM's arrival in PATH, as
//                                        ON_TERM_RECORD does, and goes on running.
//   QUILLMERE_STAND_IN_LEAVE_ORPHANS=N   N times, start a process that starts one living
//                                        10 ms and exits at once, as `( sleep 0.01 & )` does.
//   QUILLMERE_STAND_IN_SLEEP_MS=MS       sleep MS milliseconds (resumed after signals) first.
//   QUILLMERE_STAND_IN_ZOMBIE_SIBLINGS=PATH
//                                        then write to PATH how many exited, unreaped
//                                        children its parent has (one decimal line).
//   QUILLMERE_STAND_IN_SIGNAL=N          then raise signal N with its default action.
//   QUILLMERE_STAND_IN_CORE_DIR=DIR      with SIGNAL: change to DIR and lift RLIMIT_CORE, so a
//                                        dumping signal can write its core file there.
//   QUILLMERE_STAND_IN_LIFT_FSIZE=1      before anything else, raise the soft RLIMIT_FSIZE to
//                                        the hard one, so the records fit under a launcher's
//                                        tiny file size limit that the supervisor itself keeps.
//   QUILLMERE_STAND_IN_RUN_UNTIL_SIGNALLED=1
//                                        then wait for signals forever.
//   QUILLMERE_STAND_IN_EXIT=CODE         finally exit with CODE (default 0).
// The steps run in the order listed: record, helper, orphans, sleep, zombies, signal, wait, exit.
//
// Each knob may also be given for one role only, by appending "_" and the role to its name:
// "_CORE" when started as the core ("run" "-c" ...), or the guard mode word in upper case
// ("_PREFLIGHT", "_CLEANUP") when started as the guard's runtime (the word after "--eval",
// the loader, "--", the script's descriptor and its path, i.e. argv[6]). A role's own knob
// wins over the plain one, so a single environment can steer every child of one run.
//
// Record: one item per line, "KEY VALUE". Values are escaped: a backslash as "\\", a line feed
// as "\n", any other byte below 0x20 or above 0x7e as "\xHH".
//   pid N / ppid N / euid N
//   arg VALUE            once per argv entry, in order
//   env NAME=VALUE       once per environment entry, in order
//   fd N TARGET          once per open descriptor (listed before the record file is opened),
//                        with the readlink target of /proc/self/fd/N
//   fdmode N MODE@OFFSET once per open descriptor: "r", "w" or "rw", and its offset as inherited
//   sigblk HEX / sigign HEX / umask OCTAL
//                        the blocked and ignored signal masks and the umask from /proc/self/status
//   config_path PATH     the configuration it found: argv[3] after "run" "-c", or
//                        /proc/self/fd/N for "--sealed-config-fd" N
//   config_size N / config_fnv1a64 HEX16
//                        size and 64-bit FNV-1a hash of its content, or
//   config_error ERRNO   when it could not be read

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* term_record_path = nullptr;
bool term_ignored = false;

// Async-signal-safe: only syscalls and stack buffers.
void on_term(int) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long nanos =
        static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL + static_cast<unsigned long long>(now.tv_nsec);
    char digits[32];
    int length = 0;
    unsigned long long value = nanos;
    char reversed[32];
    do {
        reversed[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < length; ++i) digits[i] = reversed[length - 1 - i];
    digits[length++] = '\n';

    char temporary[4096];
    const std::size_t path_length = std::strlen(term_record_path);
    if (path_length + 5 < sizeof temporary) {
        // The path and then the suffix with its terminator: the name ends up null-terminated.
        std::memcpy(temporary, term_record_path, path_length);  // NOLINT(bugprone-not-null-terminated-result)
        std::memcpy(temporary + path_length, ".tmp", 5);
        const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            (void)(::write(fd, digits, static_cast<std::size_t>(length)) < 0);
            ::close(fd);
            (void)::rename(temporary, term_record_path);
        }
    }
    if (!term_ignored) {
        (void)::signal(SIGTERM, SIG_DFL);
        (void)::raise(SIGTERM);
    }
}

std::string escaped(const std::string& raw) {
    std::string out;
    for (const unsigned char c : raw) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c > 0x7e) {
            char hex[5];
            (void)std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string link_target(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string("?") : std::string(buffer, static_cast<std::size_t>(n));
}

// "r@0": how the descriptor was opened and where its offset stands.
std::string open_mode(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    const int access = flags < 0 ? -1 : flags & O_ACCMODE;
    const char* mode = access == O_RDONLY ? "r" : access == O_WRONLY ? "w" : access == O_RDWR ? "rw" : "?";
    return std::string(mode) + "@" + (offset < 0 ? std::string("-") : std::to_string(offset));
}

std::vector<std::pair<int, std::string>> open_descriptors() {
    std::vector<std::pair<int, std::string>> found;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return found;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
        if (fd == own) continue;
        found.emplace_back(fd, link_target(std::string("/proc/self/fd/") + entry->d_name));
    }
    ::closedir(dir);
    return found;
}

std::string status_field(const char* name) {
    FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return "?";
    char line[512];
    std::string value = "?";
    const std::size_t name_length = std::strlen(name);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, name, name_length) == 0 && line[name_length] == ':') {
            const char* start = line + name_length + 1;
            while (*start == ' ' || *start == '\t') ++start;
            value.assign(start, std::strcspn(start, "\n"));
            break;
        }
    }
    (void)std::fclose(status);
    return value;
}

std::string configuration_path(int argc, char** argv) {
    if (argc > 3 && std::strcmp(argv[1], "run") == 0 && std::strcmp(argv[2], "-c") == 0) return argv[3];
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--sealed-config-fd") == 0) return std::string("/proc/self/fd/") + argv[i + 1];
    }
    return {};
}

void describe_configuration(const std::string& path, std::string& record) {
    record += "config_path " + escaped(path) + "\n";
    // A fresh open of the /proc path, so the inherited descriptor's shared offset stays put.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        record += "config_error " + std::to_string(errno) + "\n";
        return;
    }
    std::uint64_t hash = 14695981039346656037ULL;
    std::uint64_t size = 0;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            record += "config_error " + std::to_string(errno) + "\n";
            ::close(fd);
            return;
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            hash ^= static_cast<unsigned char>(buffer[i]);
            hash *= 1099511628211ULL;
        }
        size += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    char hex[17];
    (void)std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    record += "config_size " + std::to_string(size) + "\n";
    record += "config_fnv1a64 " + std::string(hex) + "\n";
}

void write_atomically(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    (void)::rename(temporary.c_str(), path.c_str());
}

void write_record(const char* path, int argc, char** argv) {
    // Listed first: opening anything for the record would add descriptors of its own.
    const auto descriptors = open_descriptors();
    std::string record;
    record += "pid " + std::to_string(::getpid()) + "\n";
    record += "ppid " + std::to_string(::getppid()) + "\n";
    record += "euid " + std::to_string(::geteuid()) + "\n";
    for (int i = 0; i < argc; ++i) record += "arg " + escaped(argv[i]) + "\n";
    for (char** entry = environ; *entry != nullptr; ++entry) record += "env " + escaped(*entry) + "\n";
    for (const auto& [fd, target] : descriptors) record += "fd " + std::to_string(fd) + " " + escaped(target) + "\n";
    for (const auto& [fd, target] : descriptors) record += "fdmode " + std::to_string(fd) + " " + open_mode(fd) + "\n";
    record += "sigblk " + status_field("SigBlk") + "\n";
    record += "sigign " + status_field("SigIgn") + "\n";
    record += "umask " + status_field("Umask") + "\n";
    if (const std::string config = configuration_path(argc, argv); !config.empty())
        describe_configuration(config, record);
    write_atomically(path, record);
}

void sleep_ms(long long ms) {
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    timespec remaining{};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &request, &remaining) == EINTR) request = remaining;
}

// "CORE", "PREFLIGHT", "CLEANUP", ... or empty when the command line shows no role.
std::string role;

std::string role_of(int argc, char** argv) {
    if (argc > 3 && std::strcmp(argv[1], "run") == 0 && std::strcmp(argv[2], "-c") == 0) return "CORE";
    if (argc > 6 && std::strcmp(argv[1], "--eval") == 0 && std::strcmp(argv[3], "--") == 0) {
        std::string word;
        for (const char* c = argv[6]; *c != '\0'; ++c) {
            if (*c < 'a' || *c > 'z') return {};
            word += static_cast<char>(*c - 'a' + 'A');
        }
        return word;
    }
    return {};
}

const char* plain_knob(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr && *value != '\0' ? value : nullptr;
}

const char* knob(const char* name) {
    if (!role.empty()) {
        if (const char* value = plain_knob(std::string(name) + "_" + role)) return value;
    }
    return plain_knob(name);
}

// The helper runs until it is killed; the stand-in never waits for it.
void leave_helper(const char* kind) {
    if (::fork() != 0) return;
    // Not this program's SIGTERM handler: the helper must not write the child's records.
    term_record_path = knob("QUILLMERE_STAND_IN_HELPER_ON_TERM_RECORD");
    term_ignored = true;
    if (term_record_path != nullptr) {
        struct sigaction action {};
        action.sa_handler = on_term;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
    } else {
        (void)::signal(SIGTERM, std::strcmp(kind, "ignore-term") == 0 ? SIG_IGN : SIG_DFL);
    }
    if (std::strcmp(kind, "nested") == 0 && ::fork() == 0) (void)::signal(SIGTERM, SIG_DFL);
    for (;;) ::pause();
}

void leave_orphans(long count) {
    for (long i = 0; i < count; ++i) {
        const pid_t middle = ::fork();
        if (middle == 0) {
            if (::fork() == 0) {
                sleep_ms(10);
                ::_exit(0);
            }
            ::_exit(0);
        }
        int status = 0;
        while (middle > 0 && ::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

// Children of this process's parent that have exited and wait to be reaped.
int zombie_siblings() {
    int found = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return -1;
    while (const dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        FILE* file = std::fopen((std::string("/proc/") + entry->d_name + "/stat").c_str(), "re");
        if (file == nullptr) continue;
        char line[1024] = "";
        const bool read = std::fgets(line, sizeof line, file) != nullptr;
        (void)std::fclose(file);
        // "pid (comm) state ppid ...": comm may hold anything, so read after its last ')'.
        const char* after_name = read ? std::strrchr(line, ')') : nullptr;
        if (after_name == nullptr || after_name[1] != ' ' || after_name[2] != 'Z') continue;
        char* end = nullptr;
        const long ppid = std::strtol(after_name + 3, &end, 10);
        if (end != after_name + 3 && ppid == ::getppid()) ++found;
    }
    ::closedir(proc);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    role = role_of(argc, argv);
    if (knob("QUILLMERE_STAND_IN_LIFT_FSIZE") != nullptr) {
        rlimit size{};
        ::getrlimit(RLIMIT_FSIZE, &size);
        size.rlim_cur = size.rlim_max;
        ::setrlimit(RLIMIT_FSIZE, &size);
    }
    term_ignored = knob("QUILLMERE_STAND_IN_IGNORE_TERM") != nullptr;
    term_record_path = knob("QUILLMERE_STAND_IN_ON_TERM_RECORD");
    if (term_record_path != nullptr) {
        struct sigaction action {};
        action.sa_handler = on_term;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGTERM, &action, nullptr);
    } else if (term_ignored) {
        (void)::signal(SIGTERM, SIG_IGN);
    }

    if (const char* record = knob("QUILLMERE_STAND_IN_RECORD")) write_record(record, argc, argv);
    if (const char* helper = knob("QUILLMERE_STAND_IN_LEAVE_HELPER")) leave_helper(helper);
    if (const char* count = knob("QUILLMERE_STAND_IN_LEAVE_ORPHANS")) leave_orphans(std::strtol(count, nullptr, 10));
    if (const char* ms = knob("QUILLMERE_STAND_IN_SLEEP_MS")) sleep_ms(std::strtoll(ms, nullptr, 10));
    if (const char* path = knob("QUILLMERE_STAND_IN_ZOMBIE_SIBLINGS"))
        write_atomically(path, std::to_string(zombie_siblings()) + "\n");
    if (const char* number = knob("QUILLMERE_STAND_IN_SIGNAL")) {
        const int sig = static_cast<int>(std::strtol(number, nullptr, 10));
        if (const char* dir = knob("QUILLMERE_STAND_IN_CORE_DIR")) {
            if (::chdir(dir) == 0) {
                rlimit core{};
                ::getrlimit(RLIMIT_CORE, &core);
                core.rlim_cur = core.rlim_max;
                ::setrlimit(RLIMIT_CORE, &core);
            }
        }
        (void)::signal(sig, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, sig);
        ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
        (void)::raise(sig);
    }
    if (knob("QUILLMERE_STAND_IN_RUN_UNTIL_SIGNALLED") != nullptr) {
        for (;;) ::pause();
    }
    const char* code = knob("QUILLMERE_STAND_IN_EXIT");
    return code != nullptr ? static_cast<int>(std::strtol(code, nullptr, 10)) : 0;
}
