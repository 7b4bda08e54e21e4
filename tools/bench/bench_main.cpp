// quillmere-bench: measures what the supervisor costs, each figure beside the baseline it is
// judged against, in one run on one machine, and prints a table, one machine-readable line and
// an SVG of the stop reaction.
//
//   quillmere-bench [--help | knobs]     (the knobs are listed in kUsage below)
//
// Needs root, as the supervisor's run and recover forms do. The children are
// quillmere-bench-child (beside this program) as both "node" and "sing-box": each notes the
// moment it starts, so the supervisor's part of a start-up can be told from the children's.

#include <elf.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "children/guard.hpp"
#include "children/sealed_configuration.hpp"
#include "linux/deadline.hpp"
#include "reference_parent/reference_parent.hpp"

namespace ref = quillmere::reference;
using quillmere::monotonic_now;
using quillmere::Nanoseconds;

namespace {

// Stops land at a random moment this long after the acknowledgement, plus up to one poll
// period, so that they sample every phase of the supervisor's 100 ms cycle. The core is
// running by then: the preflight guard takes one 50 ms poll.
constexpr Nanoseconds kStopEarliest = quillmere::milliseconds(110);
constexpr Nanoseconds kStopSpread = quillmere::milliseconds(100);
constexpr Nanoseconds kSessionTimeLimit = quillmere::seconds(20);
constexpr std::size_t kSealBytes = 4194304;
constexpr int kSealRepeats = 15;
constexpr int kPeakRepeats = 3;

struct Options {
    int runs = 300;
    int overhead_trials = 20;
    int trials = 50;
    double seconds = 10;
    std::string supervisor = QUILLMERE_SUPERVISOR_BINARY;
    std::string baseline = "/bin/true";
    std::string dir = "/dev/shm";
    std::string out;
    bool realtime = true;
};

constexpr const char* kUsage =
    "usage: quillmere-bench [--runs N] [--overhead-trials N] [--trials N] [--seconds S]\n"
    "                       [--supervisor PATH] [--baseline PATH] [--dir DIR] [--out DIR]\n"
    "                       [--sched fifo|normal]\n"
    "  --runs N             start-up runs of --version, check-app-routing and the baseline (300)\n"
    "  --overhead-trials N  supervised runs for the run-mode overhead, each beside a bare one (20)\n"
    "  --trials N           stop trials per kind, stop marker and closed link (50)\n"
    "  --seconds S          how long the standing cost is watched while the core runs (10)\n"
    "  --supervisor PATH    the supervisor to measure (the one built beside this program)\n"
    "  --baseline PATH      the program its start-up is compared with (/bin/true)\n"
    "  --dir DIR            where the state directories go (/dev/shm)\n"
    "  --out DIR            where the SVG goes (bench/ beside this program)\n"
    "  --sched fifo|normal  scheduling class of the benchmark and all it starts (fifo)\n";

std::string own_directory() {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path().string();
}

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    o.out = own_directory() + "/bench";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return std::nullopt;
        const char* v = argv[++i];
        const auto count = [&](int& into) {
            into = static_cast<int>(std::strtol(v, nullptr, 10));
            return into > 0;
        };
        bool ok = true;
        if (a == "--runs")
            ok = count(o.runs);
        else if (a == "--overhead-trials")
            ok = count(o.overhead_trials);
        else if (a == "--trials")
            ok = count(o.trials);
        else if (a == "--seconds")
            ok = (o.seconds = std::strtod(v, nullptr)) > 0;
        else if (a == "--supervisor")
            o.supervisor = v;
        else if (a == "--baseline")
            o.baseline = v;
        else if (a == "--dir")
            o.dir = v;
        else if (a == "--out")
            o.out = v;
        else if (a == "--sched")
            ok = (o.realtime = std::string_view(v) == "fifo") || std::string_view(v) == "normal";
        else
            ok = false;
        if (!ok) return std::nullopt;
    }
    return o;
}

double ms(Nanoseconds n) { return static_cast<double>(n) / 1e6; }

[[noreturn]] void die(const std::string& what) {
    (void)std::fprintf(stderr, "quillmere-bench: %s\n", what.c_str());
    std::exit(1);
}

std::string describe_error(const quillmere::Error& e) {
    std::string text = quillmere::error_kind_name(e.kind);
    if (e.text != nullptr) text += std::string(" (") + e.text + ")";
    if (e.os_errno != 0) text += std::string(": ") + std::strerror(e.os_errno);
    return text;
}

template <class T>
T need(quillmere::Result<T> r, const char* what) {
    if (!r.has_value()) die(std::string(what) + ": " + describe_error(r.error()));
    return std::move(*r);
}

void need(const quillmere::Result<void>& r, const char* what) {
    if (!r.has_value()) die(std::string(what) + ": " + describe_error(r.error()));
}

// --- figures -------------------------------------------------------------------------------

struct Summary {
    std::size_t n = 0;
    double mean = 0, median = 0, p10 = 0, p90 = 0, p95 = 0, max = 0, min = 0;
};

// Percentiles by linear interpolation between the closest ranks.
double percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return NAN;
    const double rank = q * static_cast<double>(sorted.size() - 1);
    const auto low = static_cast<std::size_t>(std::floor(rank));
    const std::size_t high = std::min(low + 1, sorted.size() - 1);
    return sorted[low] + (sorted[high] - sorted[low]) * (rank - static_cast<double>(low));
}

Summary summarise(std::vector<double> values) {
    Summary s;
    s.n = values.size();
    if (values.empty()) {
        s.mean = s.median = s.p10 = s.p90 = s.p95 = s.max = s.min = NAN;
        return s;
    }
    std::sort(values.begin(), values.end());
    double total = 0;
    for (const double v : values) total += v;
    s.mean = total / static_cast<double>(values.size());
    s.median = percentile(values, 0.5);
    s.p10 = percentile(values, 0.1);
    s.p90 = percentile(values, 0.9);
    s.p95 = percentile(values, 0.95);
    s.min = values.front();
    s.max = values.back();
    return s;
}

std::string fixed(double v, int decimals = 3) {
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// --- starting programs ---------------------------------------------------------------------

std::vector<char*> c_argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) die(std::string("waitpid: ") + std::strerror(errno));
    }
    return status;
}

// Starts `args` (argv[0] is the program) with standard output and error on /dev/null, waits
// for it, and gives the whole wall time and the wait status. The start-up figures and the
// bare children of the overhead limit all go through here, so they are started alike.
std::pair<Nanoseconds, int> spawn_and_wait(const std::vector<std::string>& args) {
    static const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, null_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, null_fd, STDERR_FILENO);
    std::vector<char*> argv = c_argv(args);
    const Nanoseconds started = monotonic_now();
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) die("posix_spawn " + args[0] + ": " + std::strerror(error));
    const int status = wait_for(pid);
    return {monotonic_now() - started, status};
}

long status_field_kib(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

struct Traced {
    int status = 0;
    long peak_kib = -1;  // VmHWM at the moment of exit
};

// Runs `args` under ptrace to read its VmHWM at the exit stop, while its memory still exists.
// ru_maxrss would not do: at exec the kernel keeps the larger of the old and the new image's
// peak, so every child of a big parent (this one) would show at least the parent's size.
Traced run_traced(const std::vector<std::string>& args) {
    std::vector<char*> argv = c_argv(args);
    const pid_t pid = ::fork();
    if (pid < 0) die(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    Traced traced;
    int status = wait_for(pid);  // the stop at exec
    if (!WIFSTOPPED(status)) die("traced child did not stop at exec");
    // ptrace takes its options, and below the signal to deliver, in the pointer argument.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
    ::ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    for (;;) {
        status = wait_for(pid);
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (!WIFSTOPPED(status)) continue;
        long deliver = 0;
        if ((status >> 8) == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            traced.peak_kib = status_field_kib(pid, "VmHWM");
        } else {
            deliver = WSTOPSIG(status);  // an ordinary signal (SIGCHLD from its own children): pass it on
        }
        ::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(deliver));  // NOLINT(performance-no-int-to-ptr)
    }
    traced.status = status;
    return traced;
}

bool exited_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// --- sessions ------------------------------------------------------------------------------

struct Bench {
    Options options;
    std::string base;    // holds the state directories and the events file
    std::string events;  // QUILLMERE_BENCH_EVENTS
    std::string child;   // quillmere-bench-child
    int next_suffix = 0;
};

ref::StateDirectory make_state_directory(Bench& b) {
    auto dir =
        need(ref::StateDirectory::create(b.base, "bench" + std::to_string(b.next_suffix++), ref::Owner::of_uid(65534)),
             "state directory");
    need(dir.copy_program("node", b.child), "node");
    need(dir.copy_program("sing-box", b.child), "sing-box");
    need(dir.write_file("network-guard.cjs", "process.exit(0);\n", 0700), "network-guard.cjs");
    need(dir.write_file("tun.json", "{\"inbounds\":[{\"type\":\"tun\"}]}\n", 0600), "tun.json");
    return dir;
}

void set_core_behaviour(const char* behaviour) { ::setenv("QUILLMERE_BENCH_CORE", behaviour, 1); }

void clear_events(const Bench& b) { ::truncate(b.events.c_str(), 0); }

// The first time `what` was noted since the last clear_events.
std::optional<Nanoseconds> event_time(const Bench& b, std::string_view what) {
    std::ifstream in(b.events);
    for (std::string line; std::getline(in, line);) {
        const std::size_t space = line.find(' ');
        if (space != std::string::npos && std::string_view(line).substr(space + 1) == what)
            return std::strtoll(line.c_str(), nullptr, 10);
    }
    return std::nullopt;
}

struct SessionResult {
    ref::SupervisorOutcome outcome;
    ref::Timeline timeline;
};

// A run against a parent that answers at once and then follows `script`.
SessionResult run_session(Bench& b, const ref::StateDirectory& dir, ref::Script script) {
    auto parent = need(ref::ParentSession::listen(dir, std::move(script)), "parent socket");
    auto process =
        need(ref::SupervisorProcess::start(b.options.supervisor, ref::SupervisorMode::run, dir.path()), "supervisor");
    SessionResult result;
    result.outcome = need(process.finish(kSessionTimeLimit), "supervisor");
    parent->supervisor_exited();
    auto timeline = parent->wait_for_end(quillmere::seconds(2));
    if (!timeline) die("the parent's side of a session did not end");
    result.timeline = std::move(*timeline);
    return result;
}

// --- the measurements ----------------------------------------------------------------------

struct Startup {
    Summary baseline, version, check;
    int failures = 0;
};

Startup measure_startup(const Bench& b) {
    const std::vector<std::vector<std::string>> forms = {
        {b.options.baseline}, {b.options.supervisor, "--version"}, {b.options.supervisor, "check-app-routing"}};
    std::vector<double> samples[3];
    Startup s;
    // Interleaved, with the order turning each round, so that drift and noise fall on all alike.
    for (int i = 0; i < b.options.runs; ++i) {
        for (int k = 0; k < 3; ++k) {
            const int form = (i + k) % 3;
            const auto [took, status] = spawn_and_wait(forms[static_cast<std::size_t>(form)]);
            if (!exited_zero(status)) ++s.failures;
            samples[form].push_back(ms(took));
        }
    }
    s.baseline = summarise(samples[0]);
    s.version = summarise(samples[1]);
    s.check = summarise(samples[2]);
    return s;
}

struct Overhead {
    Summary supervised, limit;              // start to the core's start
    Summary supervised_guard, limit_guard;  // start to the preflight guard's start
    // From the guard's end to the core's start: when the supervisor found the guard ended at its
    // first look, and when it found it only after a 50 ms guard poll.
    Summary handover_first_look, handover_after_poll, limit_handover;
    int failures = 0;
};

// A handover longer than this went through at least one guard poll.
constexpr double kPollWaitShownMs = 25;
constexpr double kGuardPollPeriodMs = 50;

// The guard's and the core's command lines as the supervisor gives them, for the bare run.
std::vector<std::string> bare_guard_args(const ref::StateDirectory& dir) {
    return {dir.entry_path("node"),
            "--eval",
            std::string(quillmere::kGuardLoader),
            "--",
            "3",
            dir.entry_path("network-guard.cjs"),
            "preflight",
            dir.path(),
            "linux",
            "--sealed-config-fd",
            "4"};
}

Overhead measure_overhead(Bench& b) {
    set_core_behaviour("exit");
    std::vector<double> supervised;
    std::vector<double> limit;
    std::vector<double> supervised_guard;
    std::vector<double> limit_guard;
    std::vector<double> first_look;
    std::vector<double> after_poll;
    std::vector<double> limit_handover;
    Overhead o;
    const auto supervised_run = [&](const ref::StateDirectory& dir) {
        clear_events(b);
        const SessionResult r = run_session(b, dir, ref::Script{});
        const auto guard = event_time(b, "preflight");
        const auto guard_end = event_time(b, "preflight-end");
        const auto core = event_time(b, "core");
        if (!exited_zero(r.outcome.wait_status) || !guard || !guard_end || !core) {
            ++o.failures;
            return;
        }
        supervised.push_back(ms(*core - r.outcome.started));
        supervised_guard.push_back(ms(*guard - r.outcome.started));
        const double handover = ms(*core - *guard_end);
        (handover < kPollWaitShownMs ? first_look : after_poll).push_back(handover);
    };
    // The same two programs from the same directory, one after the other, each waited for.
    const auto bare_run = [&](const ref::StateDirectory& dir) {
        clear_events(b);
        const Nanoseconds started = monotonic_now();
        spawn_and_wait(bare_guard_args(dir));
        spawn_and_wait({dir.entry_path("sing-box"), "run", "-c", "/dev/null"});
        const auto guard = event_time(b, "preflight");
        const auto guard_end = event_time(b, "preflight-end");
        const auto core = event_time(b, "core");
        if (!guard || !guard_end || !core) {
            ++o.failures;
            return;
        }
        limit.push_back(ms(*core - started));
        limit_guard.push_back(ms(*guard - started));
        limit_handover.push_back(ms(*core - *guard_end));
    };
    for (int i = 0; i < b.options.overhead_trials; ++i) {
        const ref::StateDirectory dir = make_state_directory(b);
        if (i % 2 == 0) {
            supervised_run(dir);
            bare_run(dir);
        } else {
            bare_run(dir);
            supervised_run(dir);
        }
    }
    o.supervised = summarise(supervised);
    o.limit = summarise(limit);
    o.supervised_guard = summarise(supervised_guard);
    o.limit_guard = summarise(limit_guard);
    o.handover_first_look = summarise(first_look);
    o.handover_after_poll = summarise(after_poll);
    o.limit_handover = summarise(limit_handover);
    return o;
}

struct StopReaction {
    std::vector<double> marker, link;
    int failures = 0;
};

StopReaction measure_stop_reaction(Bench& b) {
    set_core_behaviour("wait");
    StopReaction s;
    std::mt19937_64 random(std::random_device{}());
    std::uniform_int_distribution<Nanoseconds> spread(0, kStopSpread);
    // A stop that came before the core was running (a slow start on a busy machine) measures
    // nothing here; such a trial is repeated, a few times at most.
    int early_left = b.options.trials;
    for (int i = 0; i < 2 * b.options.trials; ++i) {
        const bool by_marker = i % 2 == 0;
        const ref::StateDirectory dir = make_state_directory(b);
        ref::Script script;
        const Nanoseconds after = kStopEarliest + spread(random);
        if (by_marker) {
            script.stop_marker_after = after;
        } else {
            script.afterwards = ref::Afterwards::close;
            script.afterwards_delay = after;
        }
        clear_events(b);
        const SessionResult r = run_session(b, dir, script);
        if (!event_time(b, "core") && early_left-- > 0) {
            i -= 1;
            continue;
        }
        const auto term = event_time(b, "term");
        const auto asked = by_marker ? r.timeline.stop_requested : r.timeline.parent_closed;
        if (!exited_zero(r.outcome.wait_status) || !term || !asked) {
            ++s.failures;
            continue;
        }
        (by_marker ? s.marker : s.link).push_back(ms(*term - *asked));
    }
    return s;
}

struct Counters {
    Nanoseconds at = 0;
    long long ticks = 0;        // utime + stime from /proc/PID/stat
    long long runtime_ns = -1;  // first field of /proc/PID/schedstat, when the kernel keeps it
    long long switches = 0;     // voluntary + nonvoluntary context switches
};

Counters read_counters(pid_t pid) {
    Counters c;
    c.at = monotonic_now();
    const std::string proc = "/proc/" + std::to_string(pid);
    {
        std::ifstream in(proc + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Fields after the command name, which sits in parentheses and may hold spaces.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15) c.ticks += std::strtoll(field.c_str(), nullptr, 10);
        }
    }
    {
        std::ifstream in(proc + "/schedstat");
        long long runtime = -1;
        if (in >> runtime) c.runtime_ns = runtime;
    }
    c.switches = status_field_kib(pid, "voluntary_ctxt_switches") + status_field_kib(pid, "nonvoluntary_ctxt_switches");
    return c;
}

struct Standing {
    double seconds = 0;
    double cpu_percent = NAN;        // from schedstat, nanosecond resolution
    double cpu_percent_ticks = NAN;  // from utime+stime, clock-tick resolution
    double wakeups_per_second = NAN;
    // A program that does nothing but sleep 100 ms at a time, watched over the same window.
    double floor_cpu_percent = NAN;
    double floor_wakeups_per_second = NAN;
    long rss_kib = -1;
    bool ok = false;
};

Standing measure_standing(Bench& b) {
    set_core_behaviour("wait");
    const ref::StateDirectory dir = make_state_directory(b);
    clear_events(b);
    auto parent = need(ref::ParentSession::listen(dir, ref::Script{}), "parent socket");
    auto process =
        need(ref::SupervisorProcess::start(b.options.supervisor, ref::SupervisorMode::run, dir.path()), "supervisor");
    Standing s;
    const quillmere::Deadline started_by = quillmere::Deadline::after(quillmere::seconds(5));
    while (!event_time(b, "core") && !started_by.passed()) quillmere::sleep_for(quillmere::milliseconds(10));
    if (event_time(b, "core")) {
        pid_t floor_pid = -1;
        const std::vector<std::string> floor_args = {b.child, "sleep-loop"};
        std::vector<char*> floor_argv = c_argv(floor_args);
        if (const int error = ::posix_spawn(&floor_pid, floor_argv[0], nullptr, nullptr, floor_argv.data(), environ))
            die(std::string("posix_spawn sleep-loop: ") + std::strerror(error));
        // A few cycles first, so that only the steady loop is watched.
        quillmere::sleep_for(quillmere::milliseconds(300));
        const Counters before = read_counters(process.pid());
        const Counters floor_before = read_counters(floor_pid);
        quillmere::sleep_for(static_cast<Nanoseconds>(b.options.seconds * 1e9));
        const Counters after = read_counters(process.pid());
        const Counters floor_after = read_counters(floor_pid);
        ::kill(floor_pid, SIGKILL);
        wait_for(floor_pid);
        const double floor_seconds = static_cast<double>(floor_after.at - floor_before.at) / 1e9;
        if (floor_before.runtime_ns >= 0 && floor_after.runtime_ns >= 0)
            s.floor_cpu_percent =
                100.0 * static_cast<double>(floor_after.runtime_ns - floor_before.runtime_ns) / 1e9 / floor_seconds;
        s.floor_wakeups_per_second = static_cast<double>(floor_after.switches - floor_before.switches) / floor_seconds;
        s.rss_kib = status_field_kib(process.pid(), "VmRSS");
        s.seconds = static_cast<double>(after.at - before.at) / 1e9;
        const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
        s.cpu_percent_ticks = 100.0 * static_cast<double>(after.ticks - before.ticks) / tick / s.seconds;
        if (before.runtime_ns >= 0 && after.runtime_ns >= 0)
            s.cpu_percent = 100.0 * static_cast<double>(after.runtime_ns - before.runtime_ns) / 1e9 / s.seconds;
        s.wakeups_per_second = static_cast<double>(after.switches - before.switches) / s.seconds;
        s.ok = true;
    }
    (void)dir.request_stop();
    const auto outcome = need(process.finish(kSessionTimeLimit), "supervisor");
    parent->supervisor_exited();
    (void)parent->wait_for_end(quillmere::seconds(2));
    if (!exited_zero(outcome.wait_status)) s.ok = false;
    return s;
}

struct Peaks {
    long baseline = -1, version = -1, check = -1, run = -1, recover = -1;
    int failures = 0;
};

Peaks measure_peaks(Bench& b) {
    Peaks p;
    const auto peak_of = [&](const std::vector<std::string>& args) {
        long highest = -1;
        for (int i = 0; i < kPeakRepeats; ++i) {
            const Traced t = run_traced(args);
            if (!exited_zero(t.status)) ++p.failures;
            highest = std::max(highest, t.peak_kib);
        }
        return highest;
    };
    p.baseline = peak_of({b.options.baseline});
    p.version = peak_of({b.options.supervisor, "--version"});
    p.check = peak_of({b.options.supervisor, "check-app-routing"});

    set_core_behaviour("exit");
    for (int i = 0; i < kPeakRepeats; ++i) {
        const ref::StateDirectory dir = make_state_directory(b);
        auto parent = need(ref::ParentSession::listen(dir, ref::Script{}), "parent socket");
        const Traced t = run_traced({b.options.supervisor, "run", dir.path()});
        parent->supervisor_exited();
        (void)parent->wait_for_end(quillmere::seconds(2));
        if (!exited_zero(t.status)) ++p.failures;
        p.run = std::max(p.run, t.peak_kib);
    }
    for (int i = 0; i < kPeakRepeats; ++i) {
        const ref::StateDirectory dir = make_state_directory(b);
        const Traced t = run_traced({b.options.supervisor, "recover", dir.path()});
        if (!exited_zero(t.status)) ++p.failures;
        p.recover = std::max(p.recover, t.peak_kib);
    }
    return p;
}

// The library's own sealing, as run and recover call it, on a 4 MiB configuration.
Summary measure_sealing(const Bench& b) {
    const std::string path = b.base + "/large-tun.json";
    {
        std::string document = "{\"padding\":\"";
        document.append(kSealBytes - document.size() - 3, 'x');
        document += "\"}\n";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, document.data(), document.size()) != static_cast<ssize_t>(document.size()))
            die("writing the 4 MiB configuration");
        ::close(fd);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("opening the 4 MiB configuration");
    std::vector<double> samples;
    for (int i = 0; i < kSealRepeats; ++i) {
        const Nanoseconds started = monotonic_now();
        const quillmere::UniqueFd sealed = need(quillmere::seal_configuration(fd, ::geteuid()), "sealing");
        samples.push_back(ms(monotonic_now() - started));
    }
    ::close(fd);
    ::unlink(path.c_str());
    return summarise(samples);
}

struct BinaryFacts {
    long long file_bytes = -1;
    long long loaded_bytes = 0;  // the file bytes of the PT_LOAD segments: what exec maps
    bool is_static = false;
};

BinaryFacts inspect_binary(const std::string& path) {
    BinaryFacts f;
    std::ifstream in(path, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    f.file_bytes = static_cast<long long>(image.size());
    if (image.size() < sizeof(Elf64_Ehdr) || image.compare(0, 4, ELFMAG) != 0) return f;
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    f.is_static = true;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        const std::size_t at = header.e_phoff + i * static_cast<std::size_t>(header.e_phentsize);
        if (at + sizeof(Elf64_Phdr) > image.size()) break;
        Elf64_Phdr segment;
        std::memcpy(&segment, image.data() + at, sizeof segment);
        if (segment.p_type == PT_INTERP) f.is_static = false;
        if (segment.p_type == PT_LOAD) f.loaded_bytes += static_cast<long long>(segment.p_filesz);
    }
    return f;
}

// --- the stop-reaction picture -------------------------------------------------------------

std::string write_svg(const std::string& out_dir, const StopReaction& s) {
    std::error_code ignored;
    std::filesystem::create_directories(out_dir, ignored);
    std::string path = out_dir + "/stop-reaction.svg";
    const double width = 640;
    const double height = 400;
    const double left = 60;
    const double right = 20;
    const double top = 40;
    const double bottom = 50;
    double highest = 0;
    for (const auto* series : {&s.marker, &s.link})
        for (const double v : *series) highest = std::max(highest, v);
    const double x_max = std::max(120.0, std::ceil(highest / 20.0) * 20.0);
    const auto x = [&](double v) { return left + v / x_max * (width - left - right); };
    const auto y = [&](double f) { return height - bottom - f * (height - top - bottom); };

    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << left << "\" y=\"22\" font-size=\"14\">Stop reaction: stop asked to SIGTERM at the core "
        << "(cumulative share of trials)</text>\n";
    for (int step = 0; step * 20.0 <= x_max + 1e-9; ++step) {
        const double v = step * 20.0;
        svg << "<line x1=\"" << x(v) << "\" y1=\"" << y(0) << "\" x2=\"" << x(v) << "\" y2=\"" << y(1)
            << "\" stroke=\"#ddd\"/>\n<text x=\"" << x(v) << "\" y=\"" << y(0) + 16 << "\" text-anchor=\"middle\">" << v
            << "</text>\n";
    }
    for (int q = 0; q <= 4; ++q) {
        const double f = q / 4.0;
        svg << "<line x1=\"" << x(0) << "\" y1=\"" << y(f) << "\" x2=\"" << x(x_max) << "\" y2=\"" << y(f)
            << "\" stroke=\"#ddd\"/>\n<text x=\"" << x(0) - 6 << "\" y=\"" << y(f) + 4 << "\" text-anchor=\"end\">"
            << q * 25 << "%</text>\n";
    }
    svg << "<text x=\"" << (left + width - right) / 2 << "\" y=\"" << height - 12
        << "\" text-anchor=\"middle\">milliseconds</text>\n"
        << "<line x1=\"" << x(100) << "\" y1=\"" << y(0) << "\" x2=\"" << x(100) << "\" y2=\"" << y(1)
        << "\" stroke=\"#888\" stroke-dasharray=\"4 3\"/>\n<text x=\"" << x(100) + 4 << "\" y=\"" << y(1) + 12
        << "\" fill=\"#666\">poll period</text>\n";
    const struct {
        const std::vector<double>* values;
        const char* name;
        const char* colour;
    } series[] = {{&s.marker, "stop marker", "#1f77b4"}, {&s.link, "link closed", "#d62728"}};
    int row = 0;
    for (const auto& one : series) {
        std::vector<double> sorted = *one.values;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.empty()) continue;
        svg << "<path fill=\"none\" stroke=\"" << one.colour << "\" stroke-width=\"2\" d=\"M" << x(0) << " " << y(0);
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            svg << " H" << x(sorted[i]) << " V" << y(static_cast<double>(i + 1) / static_cast<double>(sorted.size()));
        }
        svg << " H" << x(x_max) << "\"/>\n";
        const Summary sum = summarise(sorted);
        svg << "<text x=\"" << x(2) << "\" y=\"" << y(1) + 28 + 16 * row << "\" fill=\"" << one.colour << "\">"
            << one.name << ": n=" << sum.n << ", mean " << fixed(sum.mean, 1) << " ms, p95 " << fixed(sum.p95, 1)
            << " ms, max " << fixed(sum.max, 1) << " ms</text>\n";
        ++row;
    }
    svg << "</svg>\n";
    std::ofstream(path) << svg.str();
    return path;
}

// --- the report ----------------------------------------------------------------------------

struct Row {
    std::string what, figure, baseline, target, verdict;
};

std::string verdict(bool met) { return met ? "met" : "MISSED"; }

void print_table(const std::vector<Row>& rows) {
    std::size_t w[4] = {7, 6, 8, 6};
    for (const Row& r : rows) {
        w[0] = std::max(w[0], r.what.size());
        w[1] = std::max(w[1], r.figure.size());
        w[2] = std::max(w[2], r.baseline.size());
        w[3] = std::max(w[3], r.target.size());
    }
    const auto line = [&](const Row& r) {
        std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", static_cast<int>(w[0]), r.what.c_str(), static_cast<int>(w[1]),
                    r.figure.c_str(), static_cast<int>(w[2]), r.baseline.c_str(), static_cast<int>(w[3]),
                    r.target.c_str(), r.verdict.c_str());
    };
    line({"measure", "figure", "baseline", "target", "verdict"});
    line({std::string(w[0], '-'), std::string(w[1], '-'), std::string(w[2], '-'), std::string(w[3], '-'), "-------"});
    for (const Row& r : rows) line(r);
}

std::string spread(const Summary& s, int decimals = 3) {
    return fixed(s.median, decimals) + " ms (p10 " + fixed(s.p10, decimals) + ", p90 " + fixed(s.p90, decimals) + ")";
}

std::string reaction(const Summary& s) {
    return "mean " + fixed(s.mean, 1) + ", p95 " + fixed(s.p95, 1) + ", max " + fixed(s.max, 1) +
           " ms (n=" + std::to_string(s.n) + ")";
}

std::string kib(long v) { return v < 0 ? "?" : std::to_string(v) + " KiB"; }

std::string file_system_of(const std::string& path) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0) return "?";
    switch (info.f_type) {
    case 0x01021994: return "tmpfs";
    case 0xEF53: return "ext4";
    case 0x9123683E: return "btrfs";
    case 0x58465342: return "xfs";
    case 0x794c7630: return "overlayfs";
    default: return "other";
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        (void)std::fputs(kUsage, stdout);
        return 0;
    }
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        (void)std::fputs(kUsage, stderr);
        return 2;
    }
    if (::geteuid() != 0) {
        (void)std::fputs("quillmere-bench: the supervisor's run and recover forms need root\n", stderr);
        return 2;
    }
    Bench b;
    b.options = *options;
    if (b.options.realtime) {
        // Inherited by every thread and child started from here on.
        const sched_param priority{.sched_priority = 1};
        if (::sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
            die(std::string("SCHED_FIFO: ") + std::strerror(errno));
    }
    b.child = own_directory() + "/quillmere-bench-child";
    if (::access(b.child.c_str(), X_OK) != 0) die(b.child + " is missing");
    if (::access(b.options.supervisor.c_str(), X_OK) != 0) die(b.options.supervisor + " is missing");
    std::string base = b.options.dir + "/quillmere-bench-XXXXXX";
    if (::mkdtemp(base.data()) == nullptr) die("mkdtemp in " + b.options.dir + ": " + std::strerror(errno));
    ::chmod(base.c_str(), 0755);
    b.base = base;
    b.events = base + "/events.log";
    ::setenv("QUILLMERE_BENCH_EVENTS", b.events.c_str(), 1);

    const BinaryFacts binary = inspect_binary(b.options.supervisor);
    std::printf("quillmere-bench: %s (%s), %ld cores, state directories on %s, %s scheduling\n",
                b.options.supervisor.c_str(), binary.is_static ? "static" : "dynamic", ::sysconf(_SC_NPROCESSORS_ONLN),
                file_system_of(b.base).c_str(), b.options.realtime ? "SCHED_FIFO" : "normal");
    std::printf("runs=%d overhead-trials=%d trials=%d seconds=%g\n\n", b.options.runs, b.options.overhead_trials,
                b.options.trials, b.options.seconds);
    (void)std::fflush(stdout);

    const Startup startup = measure_startup(b);
    const Overhead overhead = measure_overhead(b);
    const StopReaction stops = measure_stop_reaction(b);
    const Standing standing = measure_standing(b);
    const Peaks peaks = measure_peaks(b);
    const Summary sealing = measure_sealing(b);
    const std::string svg = write_svg(b.options.out, stops);
    std::error_code ignored;
    std::filesystem::remove_all(b.base, ignored);

    const double version_ratio = startup.version.median / startup.baseline.median;
    const double check_ratio = startup.check.median / startup.baseline.median;
    const double overhead_ms = overhead.supervised.median - overhead.limit.median;
    const double before_guard_ms = overhead.supervised_guard.median - overhead.limit_guard.median;
    // The supervisor's own share of the handover: measured directly when it found the guard
    // ended at its first look, otherwise what is left after the one 50 ms sleep of the guard poll.
    const double handover_ms =
        (overhead.handover_first_look.n > 0 ? overhead.handover_first_look.median
                                            : overhead.handover_after_poll.median - kGuardPollPeriodMs) -
        overhead.limit_handover.median;
    const double own_work_ms = before_guard_ms + handover_ms;
    const Summary marker = summarise(stops.marker);
    const Summary link = summarise(stops.link);
    const long peak_supervisor = std::max({peaks.version, peaks.check, peaks.run, peaks.recover});
    const std::string baseline_name = std::filesystem::path(b.options.baseline).filename().string();

    std::vector<Row> rows;
    rows.push_back({"--version wall time", spread(startup.version), baseline_name + " " + spread(startup.baseline),
                    "ratio <= 1.0", fixed(version_ratio, 2) + "x " + verdict(version_ratio <= 1.0)});
    rows.push_back({"check-app-routing wall time", spread(startup.check),
                    baseline_name + " " + spread(startup.baseline), "ratio <= 1.3",
                    fixed(check_ratio, 2) + "x " + verdict(check_ratio <= 1.3)});
    rows.push_back({"run: start to core start", spread(overhead.supervised, 2), "bare " + spread(overhead.limit, 2),
                    "<= limit + 2 ms", "+" + fixed(overhead_ms, 2) + " ms " + verdict(overhead_ms <= 2.0)});
    rows.push_back({"  start to preflight guard start", spread(overhead.supervised_guard, 2),
                    "bare " + spread(overhead.limit_guard, 2), "", "+" + fixed(before_guard_ms, 2) + " ms"});
    const bool seen_at_once = overhead.handover_first_look.n > 0;
    if (seen_at_once)
        rows.push_back(
            {"  guard end to core, guard seen ended at once (n=" + std::to_string(overhead.handover_first_look.n) + ")",
             spread(overhead.handover_first_look, 2), "bare " + spread(overhead.limit_handover, 2), "",
             "+" + fixed(handover_ms, 2) + " ms"});
    if (overhead.handover_after_poll.n > 0)
        rows.push_back(
            {"  guard end to core, after a guard poll (n=" + std::to_string(overhead.handover_after_poll.n) + ")",
             spread(overhead.handover_after_poll, 2),
             seen_at_once ? std::string("guard poll period 50 ms")
                          : "bare " + spread(overhead.limit_handover, 2) + " + 50 ms",
             "", seen_at_once ? "" : "+" + fixed(handover_ms, 2) + " ms"});
    rows.push_back({"run: own work, poll sleeps left out", "+" + fixed(own_work_ms, 2) + " ms", "setup + handover",
                    "<= 2 ms", verdict(own_work_ms <= 2.0)});
    rows.push_back({"stop reaction, marker", reaction(marker), "poll period 100 ms", "mean ~50, max <= 105",
                    verdict(marker.n > 0 && marker.mean <= 60 && marker.max <= 105)});
    rows.push_back({"stop reaction, link closed", reaction(link), "poll period 100 ms", "mean ~50, max <= 105",
                    verdict(link.n > 0 && link.mean <= 60 && link.max <= 105)});
    rows.push_back(
        {"standing CPU while the core runs",
         fixed(standing.cpu_percent, 4) + "% of a core (ticks: " + fixed(standing.cpu_percent_ticks, 3) + "%)",
         "bare 100 ms sleep loop " + fixed(standing.floor_cpu_percent, 4) + "% (" + fixed(standing.seconds, 1) + " s)",
         "<= 0.05%", verdict(standing.ok && standing.cpu_percent <= 0.05)});
    rows.push_back({"standing wake-ups", fixed(standing.wakeups_per_second, 1) + " /s",
                    "bare 100 ms sleep loop " + fixed(standing.floor_wakeups_per_second, 1) + " /s", "<= ~10 /s",
                    verdict(standing.ok && standing.wakeups_per_second <= 10.5)});
    rows.push_back({"peak RSS --version", kib(peaks.version), baseline_name + " " + kib(peaks.baseline), "<= 2048 KiB",
                    verdict(peaks.version >= 0 && peaks.version <= 2048)});
    rows.push_back({"peak RSS check-app-routing", kib(peaks.check), "", "<= 2048 KiB",
                    verdict(peaks.check >= 0 && peaks.check <= 2048)});
    rows.push_back({"peak RSS run", kib(peaks.run), "while the core runs: " + kib(standing.rss_kib), "<= 2048 KiB",
                    verdict(peaks.run >= 0 && peaks.run <= 2048)});
    rows.push_back({"peak RSS recover", kib(peaks.recover), "", "<= 2048 KiB",
                    verdict(peaks.recover >= 0 && peaks.recover <= 2048)});
    rows.push_back({"sealing a 4 MiB configuration", spread(sealing, 2), "", "", ""});
    rows.push_back({"binary size", std::to_string(binary.file_bytes) + " B file",
                    std::to_string(binary.loaded_bytes) + " B loaded", "", binary.is_static ? "static" : "dynamic"});
    print_table(rows);

    const int failures = startup.failures + overhead.failures + stops.failures + peaks.failures + (standing.ok ? 0 : 1);
    std::printf("\nstop-reaction distribution: %s\n", svg.c_str());
    if (failures != 0) std::printf("failed runs or trials (left out of the figures): %d\n", failures);

    std::printf(
        "bench: link=%s sched=%s version_ms=%.3f check_ms=%.3f baseline_ms=%.3f version_ratio=%.3f check_ratio=%.3f "
        "run_to_core_ms=%.3f run_limit_ms=%.3f run_overhead_ms=%.3f run_own_work_ms=%.3f "
        "stop_marker_mean_ms=%.1f stop_marker_p95_ms=%.1f stop_marker_max_ms=%.1f "
        "stop_link_mean_ms=%.1f stop_link_p95_ms=%.1f stop_link_max_ms=%.1f "
        "standing_cpu_pct=%.4f standing_floor_cpu_pct=%.4f standing_wakeups_per_s=%.2f "
        "rss_version_kib=%ld rss_check_kib=%ld rss_run_kib=%ld rss_recover_kib=%ld rss_max_kib=%ld "
        "rss_baseline_kib=%ld "
        "seal_4mib_ms=%.3f binary_bytes=%lld loaded_bytes=%lld failures=%d\n",
        binary.is_static ? "static" : "dynamic", b.options.realtime ? "fifo" : "normal", startup.version.median,
        startup.check.median, startup.baseline.median, version_ratio, check_ratio, overhead.supervised.median,
        overhead.limit.median, overhead_ms, own_work_ms, marker.mean, marker.p95, marker.max, link.mean, link.p95,
        link.max, standing.cpu_percent, standing.floor_cpu_percent, standing.wakeups_per_second, peaks.version,
        peaks.check, peaks.run, peaks.recover, peak_supervisor, peaks.baseline, sealing.median, binary.file_bytes,
        binary.loaded_bytes, failures);
    return failures == 0 ? 0 : 1;
}
