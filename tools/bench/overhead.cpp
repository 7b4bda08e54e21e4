#include <algorithm>
#include <cmath>

#include "children/guard.hpp"
#include "children/input_files.hpp"
#include "measurements.hpp"
#include "processes.hpp"

namespace quillmere::bench {
namespace {

// The command line a stand-in noted, started from `program` in place of the descriptor path
// the supervisor gave it. The stand-ins open none of their arguments, so those from another
// state directory of the same name length cost what this one's would.
std::vector<std::string> bare_command(std::vector<std::string> noted, const std::string& program) {
    if (noted.empty()) die("a stand-in child did not note its command line");
    noted.front() = program;
    return noted;
}

}  // namespace

Overhead measure_overhead(Bench& b) {
    set_core_behaviour("exit");
    const double poll_ms = ms(kGuardPollPeriod);
    struct Samples {
        std::vector<double> supervised, limit, baseline, over_baseline, supervised_guard, limit_guard;
        std::vector<double> first_look, after_poll, limit_handover, poll_sleep;
    } t;
    // As the supervisor last gave them: a bare run starts what a supervised one did.
    std::vector<std::string> guard_command;
    std::vector<std::string> core_command;
    Overhead o;

    struct Bare {
        double to_core = 0, to_guard = 0, handover = 0, slept = 0;  // the first three without the sleep
    };
    const auto bare_run = [&](const reference::StateDirectory& dir) -> std::optional<Bare> {
        clear_events(b);
        const Nanoseconds started = monotonic_now();
        spawn_and_wait(bare_command(guard_command, dir.entry_path(kNodeExecutableName)));
        const Nanoseconds sleep_started = monotonic_now();
        sleep_for(kGuardPollPeriod);
        const Nanoseconds slept = monotonic_now() - sleep_started;
        spawn_and_wait(bare_command(core_command, dir.entry_path(kCoreExecutableName)));
        const auto guard = event_time(b, "preflight");
        const auto guard_end = event_time(b, "preflight-end");
        const auto core = event_time(b, "core");
        if (!guard || !guard_end || !core) return std::nullopt;
        return Bare{ms(*core - started - slept), ms(*guard - started), ms(*core - *guard_end - slept), ms(slept)};
    };
    struct Supervised {
        double to_core = 0, to_guard = 0, handover = 0;
    };
    const auto supervised_run = [&](const reference::StateDirectory& dir) -> std::optional<Supervised> {
        clear_events(b);
        const SessionResult r = run_session(b, dir, reference::Script{});
        const auto guard = event_time(b, "preflight");
        const auto guard_end = event_time(b, "preflight-end");
        const auto core = event_time(b, "core");
        if (!exited_zero(r.outcome.wait_status) || !guard || !guard_end || !core) return std::nullopt;
        guard_command = noted_command_line(b, guard_mode_word(GuardMode::preflight));
        core_command = noted_command_line(b, "core");
        return Supervised{ms(*core - r.outcome.started), ms(*guard - r.outcome.started), ms(*core - *guard_end)};
    };

    // Each trial pairs a supervised run with a bare one from the same directory, the order
    // turning each trial; the first is supervised, so that the bare runs have command lines.
    for (int i = 0; i < b.options.overhead_trials; ++i) {
        const reference::StateDirectory dir = make_state_directory(b);
        std::optional<Supervised> s;
        std::optional<Bare> bare;
        if (i % 2 == 0) {
            s = supervised_run(dir);
            if (!guard_command.empty()) bare = bare_run(dir);
        } else {
            bare = bare_run(dir);
            s = supervised_run(dir);
        }
        if (!s || !bare) {
            ++o.failures;
            continue;
        }
        // The supervisor sleeps one guard poll period each time it finds the guard still
        // running; a stand-in guard ends within the first, so the handover tells how many.
        const double polls = std::max(0.0, std::round((s->handover - bare->handover) / poll_ms));
        const double expected = bare->to_core + polls * bare->slept;
        t.supervised.push_back(s->to_core);
        t.supervised_guard.push_back(s->to_guard);
        (polls == 0 ? t.first_look : t.after_poll).push_back(s->handover);
        t.limit.push_back(bare->to_core);
        t.limit_guard.push_back(bare->to_guard);
        t.limit_handover.push_back(bare->handover);
        t.poll_sleep.push_back(bare->slept);
        t.baseline.push_back(expected);
        t.over_baseline.push_back(s->to_core - expected);
    }
    o.supervised = summarise(t.supervised);
    o.limit = summarise(t.limit);
    o.baseline = summarise(t.baseline);
    o.over_baseline = summarise(t.over_baseline);
    o.supervised_guard = summarise(t.supervised_guard);
    o.limit_guard = summarise(t.limit_guard);
    o.handover_first_look = summarise(t.first_look);
    o.handover_after_poll = summarise(t.after_poll);
    o.limit_handover = summarise(t.limit_handover);
    o.poll_sleep = summarise(t.poll_sleep);
    return o;
}

}  // namespace quillmere::bench
