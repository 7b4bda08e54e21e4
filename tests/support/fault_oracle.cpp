#include "support/fault_oracle.hpp"

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/scratch.hpp"

namespace quillmere::testing {
namespace {

constexpr std::string_view kMarker = "NETWORK_SUPERVISOR_FAILED\n";
constexpr std::string_view kDoneDocument = R"({"format":2,"session":"quillmere-vpn-demo1"})";

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool matches(const std::string& text, const char* pattern) { return std::regex_search(text, std::regex(pattern)); }

// The call's name: the line without strace's pid column, up to the parenthesis.
std::string call_name(const std::string& line) {
    std::smatch match;
    if (std::regex_search(line, match, std::regex(R"(^[0-9]* *([a-z0-9_]+)\()"))) return match[1];
    return {};
}

// The path that descriptor `fd` was last opened from before line `before`.
std::string opened_path(const std::vector<std::string>& trace, std::size_t before, const std::string& fd) {
    const std::regex opened("openat\\(.*\\) = " + fd + "$");
    const std::regex first_string(R"re(^[^"]*"([^"]*)")re");
    for (std::size_t i = before; i-- > 0;) {
        if (!std::regex_search(trace[i], opened)) continue;
        std::smatch match;
        return std::regex_search(trace[i], match, first_string) ? std::string(match[1]) : std::string();
    }
    return {};
}

// The one-byte receive of the link check, as opposed to the handshake's receive.
bool is_link_check(const std::string& line) { return matches(line, R"(recvfrom\([0-9]+, [^,]*, 1, )"); }

std::string joined(const std::vector<std::string>& words, std::string_view separator) {
    std::string out;
    for (const std::string& word : words) out.append(word).append(separator);
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string file_or_empty(const std::string& path) { return path_exists(path) ? read_file(path) : std::string(); }

}  // namespace

std::string_view outcome_name(SweepOutcome outcome) {
    switch (outcome) {
    case SweepOutcome::same: return "same";
    case SweepOutcome::stop: return "stop";
    case SweepOutcome::abandoned: return "abandoned";
    case SweepOutcome::fail: return "fail";
    }
    return "fail";
}

SweepOutcome expected_outcome(const std::vector<std::string>& trace, std::size_t injected,
                              std::string_view errno_name) {
    const std::string& line = trace.at(injected);
    const std::string name = call_name(line);
    const bool interrupted = errno_name == "EINTR";
    // The mode's first look at its children listing, before its own pid file, proves the sweep
    // can see: a failure there (but an interruption, which is repeated) fails the mode before
    // any child. The sweep at the end of the mode reports nothing: whatever fails in it, the
    // session ends as it would have.
    // Reading that first listing names the children the mode began with, which the sweep must
    // spare: one it cannot read fails the mode too.
    const bool pid_file_written = std::any_of(
        trace.begin(), trace.begin() + static_cast<long>(injected),
        [](const std::string& earlier) { return matches(earlier, R"(openat\(.*/(helper|recovery)\.pid")"); });
    const SweepOutcome at_listing = interrupted || pid_file_written ? SweepOutcome::same : SweepOutcome::fail;
    if (contains(line, "\"/proc/self/task")) return at_listing;
    std::smatch descriptor;
    if (std::regex_search(line, descriptor, std::regex(R"(^[0-9]* *[a-z0-9_]*\(([0-9]+),)")) &&
        opened_path(trace, injected, descriptor[1]).starts_with("/proc/self/task"))
        return at_listing;
    // Reaping the orphans that have exited is left to the next poll, or to the sweep, when it fails.
    if (name == "waitid" && matches(line, R"(waitid\(P_(ALL|PID),)")) return SweepOutcome::same;
    // Any error of a look at the stop marker fails the stage it is in, never passes for a stop.
    if (name == "newfstatat" && contains(line, "/stop\", ")) return SweepOutcome::abandoned;
    if (interrupted) {
        if (name == "connect" || name == "pread64" || name == "newfstatat") return SweepOutcome::fail;
        if (name == "recvfrom") return is_link_check(line) ? SweepOutcome::stop : SweepOutcome::same;
        return SweepOutcome::same;
    }
    if ((name == "close_range" || name == "statx") && errno_name == "ENOSYS") return SweepOutcome::same;
    if (name == "rt_sigaction") return contains(line, "SIGPIPE") ? SweepOutcome::same : SweepOutcome::fail;
    // The read lease is given back without a check: the descriptor's close ends it anyway.
    if (name == "fcntl")
        return matches(line, R"(fcntl\([012], F_GETFD\)|F_SETLEASE, F_UNLCK)") ? SweepOutcome::same
                                                                               : SweepOutcome::fail;
    if (name == "recvfrom") return is_link_check(line) ? SweepOutcome::stop : SweepOutcome::fail;
    return SweepOutcome::fail;
}

std::vector<std::string> record_problems(std::string_view role, const StandInRecord& record) {
    // The core holds its executable and the sealed configuration; a guard run its runtime, the
    // sealed script and the sealed configuration.
    const bool core = role == "core";
    const std::regex allowed(
        core ? R"(/sing-box$|^/memfd:quillmere-vpn-config \(deleted\)$)"
             : R"(/node$|^/memfd:quillmere-vpn-guard \(deleted\)$|^/memfd:quillmere-vpn-config \(deleted\)$)");
    const std::size_t wanted = core ? 2 : 3;
    std::vector<std::string> problems;
    std::size_t extra = 0;
    bool wrong = false;
    std::string listing;
    for (const auto& [fd, target] : record.descriptors) {
        listing += "fd " + std::to_string(fd) + " " + target + ";";
        if (fd <= 2) continue;
        ++extra;
        if (!std::regex_search(target, allowed)) wrong = true;
    }
    if (extra != wanted || wrong) problems.push_back(std::string(role) + " held descriptors: " + listing);
    for (const char* scrubbed : {"LD_PRELOAD", "NODE_OPTIONS", "SSL_CERT_FILE", "GH_TOKEN"}) {
        if (record.variable(scrubbed).has_value()) {
            problems.push_back(std::string(role) + " saw a scrubbed variable");
            break;
        }
    }
    return problems;
}

namespace {

// What the supervisor's own streams and status say: the marker alone with 1, silence with 0.
void judge_streams(int status, const SweepSession& session, std::vector<std::string>& violations) {
    if (!session.standard_output.empty())
        violations.push_back("standard output: " + session.standard_output.substr(0, 100));
    if (status == 0) {
        if (!session.standard_error.empty())
            violations.push_back("status 0 with standard error: " + session.standard_error.substr(0, 100));
    } else if (status == 1) {
        if (session.standard_error != kMarker)
            violations.push_back("status 1 without exactly the marker: " + session.standard_error.substr(0, 100));
    } else {
        violations.push_back("exit status " + std::to_string(status));
    }
}

// The names of the state files the session left, sorted, each followed by a space.
std::string present_state_files(const SweepSession& session) {
    std::vector<std::string> names;
    names.reserve(session.state.size());
    for (const StateEntry& entry : session.state) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return joined(names, " ");
}

// Whether `words`, each followed by a space, holds `word`.
bool contains_word(const std::string& words, std::string_view word) {
    for (std::size_t start = 0; start < words.size();) {
        const std::size_t end = words.find(' ', start);
        if (end == std::string::npos) return words.substr(start) == word;
        if (std::string_view(words).substr(start, end - start) == word) return true;
        start = end + 1;
    }
    return false;
}

// Whether the session ended as the injected failure must make it end.
void judge_outcome(SweepOutcome expected, int status, const SweepSession& session,
                   std::vector<std::string>& violations) {
    const std::string present = present_state_files(session);
    const std::string clean = session.mode == "recover" ? "done recovery.pid " : "core-exit core.pid done helper.pid ";
    const bool has_core_pid = contains_word(present, "core.pid");
    const bool has_end_marker = contains_word(present, "done") || contains_word(present, "cleanup-error");
    const std::string got = "got status " + std::to_string(status) + " with " + present;
    switch (expected) {
    case SweepOutcome::same:
        if (status != 0 || present != clean) violations.push_back("expected the clean outcome, " + got);
        break;
    case SweepOutcome::stop:
        if (has_core_pid) {
            if (status != 0 || present != clean) violations.push_back("expected a stop after the launch, " + got);
        } else if (status != 1 || present != "done helper.pid ") {
            violations.push_back("expected a stop before the launch, " + got);
        }
        break;
    case SweepOutcome::abandoned:
        if (status != 1 || has_end_marker) violations.push_back("expected a failure without the clean-up, " + got);
        break;
    case SweepOutcome::fail:
        if (status != 1) violations.push_back("expected a failure, " + got);
        break;
    }
}

// Whether a finished state file holds what its name promises.
bool holds_its_document(const StateEntry& entry) {
    if (entry.name.ends_with(".pid")) return matches(entry.content, "^[1-9][0-9]*$");
    if (entry.name == "done") return entry.content == kDoneDocument;
    if (entry.name == "core-exit")
        return matches(entry.content,
                       R"re(^\{"format":1,"(exit_code|signal)":[0-9]+,"stop_requested":(true|false)\}$)re");
    if (entry.name == "cleanup-error") return entry.content.empty();
    return true;
}

// Each state file regular with one link, 0644 with its document, or 0600 only after its own
// write, fsync or fchmod failed, which is how an unfinished state file is meant to stay.
void judge_state_files(const std::string& injected_text, const SweepSession& session,
                       std::vector<std::string>& violations) {
    const int unfinished_allowed =
        contains(injected_text, "write(") || contains(injected_text, "fsync(") || contains(injected_text, "fchmod(")
            ? 1
            : 0;
    int unfinished = 0;
    for (const std::string& entry : session.unexpected_entries) violations.push_back("unexpected entry " + entry);
    for (const StateEntry& entry : session.state) {
        const std::string shape = entry.kind + " " + entry.links;
        if (shape != "regular file 1" && shape != "regular empty file 1")
            violations.push_back(entry.name + " is a " + entry.kind + " with " + entry.links + " links");
        if (entry.mode == "600") {
            ++unfinished;
        } else if (entry.mode != "644") {
            violations.push_back(entry.name + " has mode " + entry.mode);
        } else if (!holds_its_document(entry)) {
            violations.push_back(entry.name + " holds " + entry.content);
        }
    }
    if (unfinished > unfinished_allowed)
        violations.push_back(std::to_string(unfinished) + " state files left unfinished (0600) after " + session.label);
}

}  // namespace

SweepJudgement judge_session(const SweepSession& session) {
    SweepJudgement judgement;
    std::vector<std::string>& violations = judgement.violations;
    const auto injected_line = std::find_if(session.trace.begin(), session.trace.end(),
                                            [](const std::string& line) { return contains(line, "(INJECTED)"); });
    const bool was_injected = injected_line != session.trace.end();
    judgement.injected = was_injected || session.label == "clean";
    if (!session.status.has_value()) {
        // Nothing ran that could be judged: the reference parent never got to start it.
        const std::vector<std::string> said = lines_of(session.parent_output);
        const std::vector<std::string> tail(said.end() - std::min<long>(3, static_cast<long>(said.size())), said.end());
        violations.push_back("the supervisor did not run: " + joined(tail, " "));
        judgement.injected = false;
        return judgement;
    }
    if (was_injected) {
        // The label is CALL:ERRNO:N.
        const std::size_t first = session.label.find(':');
        const std::size_t second = session.label.find(':', first + 1);
        const std::string errno_name = session.label.substr(first + 1, second - first - 1);
        judgement.expected = expected_outcome(
            session.trace, static_cast<std::size_t>(injected_line - session.trace.begin()), errno_name);
    }
    const int status = *session.status;
    const std::string injected_text = was_injected ? *injected_line : std::string();

    judge_streams(status, session, violations);
    judge_outcome(judgement.expected, status, session, violations);
    judge_state_files(injected_text, session, violations);
    if (session.inputs_before != session.inputs_after)
        violations.push_back("the parent's files changed: before " + session.inputs_before + " after " +
                             session.inputs_after);
    if (session.orphans.value_or(-1) != 0)
        violations.push_back("children left unreaped: " +
                             (session.orphans ? std::to_string(*session.orphans) : std::string("no count")));
    for (const auto& [role, record] : session.records) {
        for (std::string& problem : record_problems(role, record)) violations.push_back(std::move(problem));
    }

    judgement.summary = session.mode + " " + session.label +
                        " expected=" + std::string(outcome_name(judgement.expected)) +
                        " status=" + std::to_string(status) + " files=" + present_state_files(session) + "\n";
    if (was_injected) judgement.summary += "  injected: " + injected_text.substr(0, 160) + "\n";
    return judgement;
}

SweepSession read_sweep_session(const std::string& directory, std::string mode, std::string label) {
    SweepSession session;
    session.mode = std::move(mode);
    session.label = std::move(label);
    const auto in = [&](std::string_view name) { return directory + "/" + std::string(name); };
    if (path_exists(in("status"))) session.status = std::stoi(read_file(in("status")));
    session.trace = lines_of(file_or_empty(in("trace")));
    session.standard_output = file_or_empty(in("stdout"));
    session.standard_error = file_or_empty(in("stderr"));
    session.parent_output = file_or_empty(in("parent.out"));
    session.inputs_before = file_or_empty(in("inputs-before"));
    session.inputs_after = file_or_empty(in("inputs-after"));
    for (const std::string& line : lines_of(file_or_empty(in("state")))) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int i = 0; i < 4; ++i) {
            const std::size_t bar = line.find('|', start);
            if (bar == std::string::npos) break;
            fields.push_back(line.substr(start, bar - start));
            start = bar + 1;
        }
        fields.push_back(line.substr(start));
        if (fields.size() == 2 && fields[0] == "unexpected") {
            session.unexpected_entries.push_back(fields[1]);
        } else if (fields.size() == 5) {
            session.state.push_back(StateEntry{fields[0], fields[1], fields[2], fields[3], fields[4]});
        }
    }
    for (const std::string& line : lines_of(file_or_empty(in("orphans")))) {
        if (line.starts_with("orphans ")) session.orphans = std::stol(line.substr(8));
    }
    for (const char* role : {"core", "preflight", "cleanup"}) {
        if (std::optional<StandInRecord> record = read_stand_in_record(in(std::string(role) + ".record")))
            session.records.emplace_back(role, std::move(*record));
    }
    return session;
}

}  // namespace quillmere::testing
