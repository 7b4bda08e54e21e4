#include <signal.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "measurements.hpp"
#include "processes.hpp"

namespace quillmere::bench {
namespace {

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
    c.switches = status_field(pid, "voluntary_ctxt_switches") + status_field(pid, "nonvoluntary_ctxt_switches");
    return c;
}

Standing::Cost cost_between(const Counters& before, const Counters& after) {
    Standing::Cost cost;
    const double seconds = static_cast<double>(after.at - before.at) / 1e9;
    if (before.runtime_ns >= 0 && after.runtime_ns >= 0)
        cost.cpu_percent = 100.0 * static_cast<double>(after.runtime_ns - before.runtime_ns) / 1e9 / seconds;
    cost.wakeups_per_second = static_cast<double>(after.switches - before.switches) / seconds;
    return cost;
}

}  // namespace

Standing measure_standing(Bench& b) {
    set_core_behaviour("wait");
    const reference::StateDirectory dir = make_state_directory(b);
    clear_events(b);
    auto parent = need(reference::ParentSession::listen(dir, reference::Script{}), "parent socket");
    auto process =
        need(reference::SupervisorProcess::start(b.options.supervisor, reference::SupervisorMode::run, dir.path()),
             "supervisor");
    Standing s;
    const Deadline started_by = Deadline::after(seconds(5));
    while (!event_time(b, "core") && !started_by.passed()) sleep_for(milliseconds(10));
    if (event_time(b, "core")) {
        // The poll loop looks for the stop marker where the supervisor does; it is killed before
        // the marker is made.
        const pid_t poll_pid = spawn({b.child, "poll-loop", dir.path()});
        const pid_t sleep_pid = spawn({b.child, "sleep-loop"});
        // A few cycles first, so that only the steady loops are watched.
        sleep_for(milliseconds(300));
        const Counters before = read_counters(process.pid());
        const Counters poll_before = read_counters(poll_pid);
        const Counters sleep_before = read_counters(sleep_pid);
        sleep_for(static_cast<Nanoseconds>(b.options.seconds * 1e9));
        const Counters after = read_counters(process.pid());
        const Counters poll_after = read_counters(poll_pid);
        const Counters sleep_after = read_counters(sleep_pid);
        for (const pid_t pid : {poll_pid, sleep_pid}) {
            ::kill(pid, SIGKILL);
            wait_for(pid);
        }
        s.supervisor = cost_between(before, after);
        s.poll_loop = cost_between(poll_before, poll_after);
        s.sleep_loop = cost_between(sleep_before, sleep_after);
        s.rss_kib = status_field(process.pid(), "VmRSS");
        s.seconds = static_cast<double>(after.at - before.at) / 1e9;
        const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
        s.cpu_percent_ticks = 100.0 * static_cast<double>(after.ticks - before.ticks) / tick / s.seconds;
        s.ok = true;
    }
    (void)dir.request_stop();
    const auto outcome = need(process.finish(kSessionTimeLimit), "supervisor");
    parent->supervisor_exited();
    (void)parent->wait_for_end(seconds(2));
    if (!exited_zero(outcome.wait_status)) s.ok = false;
    return s;
}

}  // namespace quillmere::bench
