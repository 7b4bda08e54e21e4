// Races the supervisor against a process that keeps swapping what it checks:
//   race_swap SUPERVISOR WORK_DIR ITERATIONS FIRST_ITERATION
// Each iteration prepares a fresh state directory with the reference parent, picks one target
// (the session file, the parent's socket, "sing-box", "node", "network-guard.cjs" or
// "tun.json") and places a decoy next to it that breaks one rule: group and other permission
// bits, a foreign owner (root), a second hard link, or a symbolic link to a file that would
// pass every rule. An attacker process then exchanges target and decoy with
// renameat2(RENAME_EXCHANGE) as fast as it can, at random intervals, while the supervisor runs.
//
// Every input is a shell script, so every use of a decoy shows: a decoy program that runs
// writes a marker file; the real core and guard write one if the configuration they were
// handed is the decoy's; the decoy session file carries another nonce, which the parent sees
// in the hello line; and the decoy socket has a listener of its own that notes every
// connection. Any of these is a wrong object. Refusals (the supervisor saw the decoy and
// failed) are the expected defence and are only counted.
//
// Prints "iterations N", "wrong-objects N", "completed N", "refused N", "abnormal N", then a
// line per wrong object or abnormal end. Exit status 0 when there were none.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "linux/unique_fd.hpp"
#include "reference_parent/reference_parent.hpp"

namespace ref = quillmere::reference;
using quillmere::UniqueFd;

namespace {

constexpr uid_t kOwnerUid = 65534;
constexpr const char* kDecoyName = "decoy";
const std::string kDecoyNonce(64, 'd');

enum class Target { session_file, socket, core, node, guard_script, configuration };
constexpr Target kTargets[] = {Target::session_file, Target::socket,       Target::core,
                               Target::node,         Target::guard_script, Target::configuration};

enum class Kind { loose_mode, foreign_owner, extra_link, symlink };
constexpr Kind kKinds[] = {Kind::loose_mode, Kind::foreign_owner, Kind::extra_link, Kind::symlink};

const char* target_name(Target target) {
    switch (target) {
    case Target::session_file: return "supervisor.json";
    case Target::socket: return "parent.sock";
    case Target::core: return "sing-box";
    case Target::node: return "node";
    case Target::guard_script: return "network-guard.cjs";
    case Target::configuration: return "tun.json";
    }
    return "?";
}

const char* kind_name(Kind kind) {
    switch (kind) {
    case Kind::loose_mode: return "loose-mode";
    case Kind::foreign_owner: return "foreign-owner";
    case Kind::extra_link: return "extra-link";
    case Kind::symlink: return "symlink";
    }
    return "?";
}

// The link count is not a rule for the session file or the socket: a hard-linked decoy with
// good attributes would be a legitimate file there, so those two get a loose mode instead.
Kind kind_for(Target target, Kind kind) {
    if (kind == Kind::extra_link && (target == Target::session_file || target == Target::socket))
        return Kind::loose_mode;
    return kind;
}

struct Scripts {
    std::string core, node, guard, decoy_program;
};

Scripts scripts_for(const std::string& markers) {
    Scripts s;
    // "sing-box run -c /proc/self/fd/N": checks the configuration it was handed.
    s.core = "#!/bin/sh\ngrep -q DECOY \"$3\" && : >\"" + markers + "/decoy-configuration-seen-by-core\"\nexit 0\n";
    // "node --eval LOADER -- FD PATH MODE DIR linux --sealed-config-fd N": runs the script from
    // its descriptor, as the loader does, with the arguments the script would see.
    s.node = "#!/bin/sh\nexec /bin/sh \"/proc/self/fd/$4\" \"$6\" \"$7\" \"$8\" \"$9\" \"${10}\"\n";
    s.guard = "#!/bin/sh\ngrep -q DECOY \"/proc/self/fd/$5\" && : >\"" + markers +
              "/decoy-configuration-seen-by-guard-$1\"\nexit 0\n";
    s.decoy_program = "#!/bin/sh\n: >\"" + markers + "/decoy-program-ran-$(basename \"$0\")-$$\"\nexit 0\n";
    return s;
}

bool ok(const quillmere::Result<void>& result, const char* what) {
    if (!result) (void)std::fprintf(stderr, "race_swap: %s: %s\n", what, std::strerror(result.error().os_errno));
    return result.has_value();
}

// A listener that plays a parent with the decoy nonce: it notes every connection and answers
// like the real one, so a supervisor that reached it would go on as if nothing were wrong.
class DecoyListener {
public:
    explicit DecoyListener(const std::string& path) {
        const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        listener_ = UniqueFd(raw);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        (void)std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ::unlink(path.c_str());
        if (::bind(raw, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(raw, 4) != 0) {
            std::perror("race_swap: decoy socket");
            std::exit(2);
        }
        thread_ = std::thread([this] { serve(); });
    }
    DecoyListener(const DecoyListener&) = delete;
    DecoyListener& operator=(const DecoyListener&) = delete;
    ~DecoyListener() { (void)finish(); }

    // Stops listening and returns how many connections reached it.
    int finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return connections_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd entry{listener_.get(), POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) continue;
            const UniqueFd peer(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!peer.valid()) continue;
            ++connections_;
            char hello[65];
            pollfd readable{peer.get(), POLLIN, 0};
            if (::poll(&readable, 1, 1000) > 0 && ::recv(peer.get(), hello, sizeof hello, 0) > 0)
                (void)(::send(peer.get(), "OK\n", 3, MSG_NOSIGNAL) < 0);
        }
    }

    UniqueFd listener_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

void apply_kind(const std::string& path, Kind kind, mode_t good_mode, mode_t loose_mode) {
    if (kind == Kind::foreign_owner) {
        (void)(::lchown(path.c_str(), 0, 0) < 0);
        ::chmod(path.c_str(), good_mode);
    } else if (kind == Kind::loose_mode) {
        (void)(::lchown(path.c_str(), kOwnerUid, kOwnerUid) < 0);
        ::chmod(path.c_str(), loose_mode);
    } else {
        (void)(::lchown(path.c_str(), kOwnerUid, kOwnerUid) < 0);
        ::chmod(path.c_str(), good_mode);
    }
}

// Writes a decoy file at `path` that breaks `kind`'s rule (a symbolic link is made by the caller).
void write_decoy_file(const std::string& path, const std::string& content, Kind kind, mode_t good_mode,
                      mode_t loose_mode) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        std::perror("race_swap: decoy file");
        std::exit(2);
    }
    ::close(fd);
    apply_kind(path, kind, good_mode, loose_mode);
    if (kind == Kind::extra_link) {
        const std::string second = path + "-link";
        ::unlink(second.c_str());
        (void)(::link(path.c_str(), second.c_str()) < 0);
    }
}

long long now_ns() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Exchanges target and decoy back and forth until killed, holding each state for a random
// few microseconds so that every window of the supervisor's gets hit sooner or later.
[[noreturn]] void attack(int dir_fd, const char* target, unsigned seed) {
    std::minstd_rand random(seed);
    for (;;) {
        (void)::syscall(SYS_renameat2, dir_fd, target, dir_fd, kDecoyName, RENAME_EXCHANGE);
        const long long until = now_ns() + static_cast<long long>(random() % 30000);
        while (now_ns() < until) {
        }
    }
}

std::vector<std::string> markers_in(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
        found.push_back(entry.path().filename());
    return found;
}

}  // namespace

// The whole race, iteration by iteration, with its tally: kept in one piece so that what is
// counted as wrong can be read in one place.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
int main(int argc, char** argv) {
    if (argc != 5) {
        (void)std::fputs("usage: race_swap SUPERVISOR WORK_DIR ITERATIONS FIRST_ITERATION\n", stderr);
        return 2;
    }
    const std::string supervisor = argv[1];
    const std::string work = argv[2];
    const long iterations = std::strtol(argv[3], nullptr, 10);
    const long first = std::strtol(argv[4], nullptr, 10);
    const std::string markers = work + "/markers";
    std::filesystem::create_directories(markers);
    const Scripts scripts = scripts_for(markers);
    const ref::Owner owner = ref::Owner::of_uid(kOwnerUid);

    long completed = 0;
    long refused = 0;
    long abnormal = 0;
    long wrong = 0;
    std::vector<std::string> findings;
    for (long i = first; i < first + iterations; ++i) {
        const Target target = kTargets[i % 6];
        const Kind kind = kind_for(target, kKinds[(i / 6) % 4]);
        const std::string what = std::string(target_name(target)) + " against a " + kind_name(kind) + " decoy";

        auto dir = ref::StateDirectory::create(work, "race" + std::to_string(i), owner);
        if (!dir) return 2;
        if (!ok(dir->write_file("sing-box", scripts.core, 0700), "sing-box") ||
            !ok(dir->write_file("node", scripts.node, 0700), "node") ||
            !ok(dir->write_file("network-guard.cjs", scripts.guard, 0700), "guard") ||
            !ok(dir->write_file("tun.json", "{\"log\":{\"level\":\"warn\"}}\n", 0600), "tun.json"))
            return 2;

        ref::Script script;
        // The session file and the socket matter only up to the handshake: stop right after.
        if (target == Target::session_file || target == Target::socket) script.afterwards = ref::Afterwards::close;
        auto parent = ref::ParentSession::listen(*dir, script);
        if (!parent) return 2;

        // The decoy, next to the target (or, for a symbolic link, the good-looking file it
        // points to, outside the directory).
        const std::string decoy = dir->entry_path(kDecoyName);
        const std::string outside = work + "/linked-" + target_name(target);
        const std::string decoy_at = kind == Kind::symlink ? outside : decoy;
        std::optional<DecoyListener> listener;
        switch (target) {
        case Target::session_file:
            write_decoy_file(decoy_at, ref::session_document(kDecoyNonce), kind, 0600, 0644);
            break;
        case Target::socket:
            listener.emplace(decoy_at);
            apply_kind(decoy_at, kind, 0600, 0666);
            break;
        case Target::configuration: write_decoy_file(decoy_at, "{\"DECOY\":true}\n", kind, 0600, 0644); break;
        default: write_decoy_file(decoy_at, scripts.decoy_program, kind, 0700, 0755); break;
        }
        if (kind == Kind::symlink) {
            ::unlink(decoy.c_str());
            if (::symlink(outside.c_str(), decoy.c_str()) != 0) return 2;
            (void)(::lchown(decoy.c_str(), kOwnerUid, kOwnerUid) < 0);
        }

        const pid_t attacker = ::fork();
        if (attacker < 0) return 2;
        if (attacker == 0) attack(dir->fd(), target_name(target), static_cast<unsigned>(i));

        auto process = ref::SupervisorProcess::start(supervisor, ref::SupervisorMode::run, dir->path());
        std::optional<ref::SupervisorOutcome> outcome;
        if (process) {
            auto finished = process->finish(quillmere::seconds(30));
            if (finished) outcome = std::move(*finished);
        }
        ::kill(attacker, SIGKILL);
        int status = 0;
        ::waitpid(attacker, &status, 0);
        (*parent)->supervisor_exited();
        std::optional<ref::Timeline> timeline = (*parent)->wait_for_end(quillmere::seconds(5));
        if (!timeline) {
            (*parent)->hang_up();
            timeline = (*parent)->wait_for_end(quillmere::seconds(5));
        }
        const int decoy_connections = listener ? listener->finish() : 0;

        std::vector<std::string> wrong_here;
        for (const std::string& marker : markers_in(markers)) {
            wrong_here.push_back(marker);
            std::filesystem::remove(std::filesystem::path(markers) / marker);
        }
        if (timeline && timeline->hello_received && !timeline->hello_matched)
            wrong_here.push_back("the parent got a hello line without its nonce");
        if (timeline && timeline->unexpected_bytes != 0) wrong_here.push_back("the parent got bytes after the hello");
        if (decoy_connections != 0) wrong_here.push_back("the supervisor connected to the decoy socket");
        if (!outcome) {
            ++abnormal;
            findings.push_back("iteration " + std::to_string(i) + " (" + what + "): the supervisor could not be run");
        } else if (outcome->killed_at_time_limit || !outcome->exit_code() || *outcome->exit_code() > 1) {
            ++abnormal;
            findings.push_back("iteration " + std::to_string(i) + " (" + what + "): the supervisor ended abnormally");
        } else if (*outcome->exit_code() == 0) {
            ++completed;
        } else {
            ++refused;
        }
        if (!wrong_here.empty()) {
            ++wrong;
            std::string line = "iteration " + std::to_string(i) + " (" + what + "): wrong object:";
            for (const std::string& w : wrong_here) line += " " + w + ";";
            findings.push_back(line);
        }
        std::filesystem::remove(outside);
    }

    std::printf("iterations %ld\nwrong-objects %ld\ncompleted %ld\nrefused %ld\nabnormal %ld\n", iterations, wrong,
                completed, refused, abnormal);
    for (const std::string& finding : findings) std::printf("%s\n", finding.c_str());
    return wrong == 0 && abnormal == 0 ? 0 : 1;
}
