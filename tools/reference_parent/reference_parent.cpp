#include "reference_parent/reference_parent.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace quillmere::reference {

namespace {

// Once the supervisor has exited, its end of the link is closed (or it never connected), so
// the parent's side ends at once; this only bounds a parent stuck in a scripted pause.
constexpr Nanoseconds kSessionEndTimeLimit = seconds(2);

std::string seconds_since(Nanoseconds origin, Nanoseconds point) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%+9.3f s", static_cast<double>(point - origin) / kNanosPerSecond);
    return text;
}

std::string exit_description(const SupervisorOutcome& outcome) {
    std::string text;
    if (const auto code = outcome.exit_code()) {
        text = "supervisor exited with status " + std::to_string(*code);
    } else {
        text = "supervisor ended by signal " + std::to_string(outcome.signal());
    }
    if (outcome.killed_at_time_limit) text += " (killed at the time limit)";
    return text;
}

}  // namespace

Result<SessionReport> run_session(const StateDirectory& dir, const std::string& binary, SupervisorMode mode,
                                  Script script, Nanoseconds time_limit, Launch launch,
                                  const std::function<void(const SupervisorOutcome&)>& after_exit) {
    // The socket must be listening before the supervisor starts: it connects only once.
    const std::unique_ptr<ParentSession> parent = TRY(ParentSession::listen(dir, std::move(script)));
    SessionReport report;
    report.supervisor = TRY(run_supervisor(binary, mode, dir.path(), time_limit, launch));
    parent->supervisor_exited();
    if (after_exit) after_exit(report.supervisor);
    std::optional<Timeline> timeline = parent->wait_for_end(kSessionEndTimeLimit);
    if (!timeline) {
        parent->hang_up();
        timeline = parent->wait_for_end(kSessionEndTimeLimit);
    }
    if (!timeline) return fail(Error::with_text(ErrorKind::timed_out, "the parent's side of the session did not end"));
    report.timeline = std::move(*timeline);
    return report;
}

std::string describe(const SessionReport& report) { return describe(report, {}); }

std::string describe(const SessionReport& report, std::vector<TimedEvent> more_steps) {
    const Timeline& t = report.timeline;
    const SupervisorOutcome& s = report.supervisor;
    std::vector<TimedEvent> steps = std::move(more_steps);
    const auto add = [&](const std::optional<Nanoseconds>& at, std::string what) {
        if (at) steps.emplace_back(*at, std::move(what));
    };
    add(s.started, "supervisor started");
    add(t.accepted, "parent accepted the connection");
    add(t.hello_received, t.hello_matched
                              ? "parent received the hello line (nonce matches)"
                              : "parent received a wrong hello line (" + std::to_string(t.hello.size()) + " bytes)");
    add(t.acknowledged, "parent acknowledged");
    add(t.stop_requested, "parent created the stop marker");
    add(t.byte_written, "parent wrote a byte to the link");
    add(t.parent_closed, "parent closed its end of the link");
    add(t.supervisor_closed, "supervisor closed its end of the link");
    add(s.ended, exit_description(s));
    std::stable_sort(steps.begin(), steps.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    std::string text;
    for (const auto& [at, what] : steps) text += seconds_since(s.started, at) + "  " + what + "\n";
    if (t.unexpected_bytes != 0)
        text += "supervisor wrote " + std::to_string(t.unexpected_bytes) + " unexpected bytes after the hello line\n";
    if (t.failure) text += std::string("parent failed: ") + error_kind_name(t.failure->kind) + "\n";
    if (!s.standard_output.empty()) text += "standard output: " + s.standard_output;
    if (!s.standard_error.empty()) text += "standard error: " + s.standard_error;
    return text;
}

}  // namespace quillmere::reference
