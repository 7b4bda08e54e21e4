#include "report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "children/core.hpp"
#include "targets.hpp"

namespace quillmere::bench {
namespace {

struct Row {
    std::string what, figure, baseline;
    std::vector<Check> checks;  // none for a row that only informs
    std::string note;           // before the verdict: the ratio or the difference
};

std::string target_column(const Row& r) {
    std::string text;
    for (const Check& c : r.checks) text += (text.empty() ? "" : ", ") + c.target_text();
    return text;
}

std::string verdict_column(const Row& r) {
    if (r.checks.empty()) return r.note;
    const bool met = std::all_of(r.checks.begin(), r.checks.end(), [](const Check& c) { return c.met(); });
    return (r.note.empty() ? "" : r.note + " ") + (met ? "met" : "MISSED");
}

void print_table(const std::vector<Row>& rows) {
    std::vector<std::array<std::string, 5>> lines;
    lines.push_back({"measure", "figure", "baseline", "target", "verdict"});
    lines.push_back({});
    for (const Row& r : rows) lines.push_back({r.what, r.figure, r.baseline, target_column(r), verdict_column(r)});
    std::size_t w[4] = {0, 0, 0, 0};
    for (const auto& l : lines) {
        for (std::size_t k = 0; k < 4; ++k) w[k] = std::max(w[k], l[k].size());
    }
    lines[1] = {std::string(w[0], '-'), std::string(w[1], '-'), std::string(w[2], '-'), std::string(w[3], '-'),
                "-------"};
    for (const auto& l : lines) {
        std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", static_cast<int>(w[0]), l[0].c_str(), static_cast<int>(w[1]),
                    l[1].c_str(), static_cast<int>(w[2]), l[2].c_str(), static_cast<int>(w[3]), l[3].c_str(),
                    l[4].c_str());
    }
}

std::string reaction(const Summary& s) {
    return "mean " + fixed(s.mean, 1) + ", p95 " + fixed(s.p95, 1) + ", max " + fixed(s.max, 1) +
           " ms (n=" + std::to_string(s.n) + ")";
}

std::string kib(long v) { return v < 0 ? "?" : std::to_string(v) + " KiB"; }

std::string signed_ms(double v) {
    // Appended piece by piece: g++ 12 at -O3 misreads a literal joined to a temporary here.
    std::string text = v >= 0 ? "+" : "";
    text += fixed(v, 2);
    text += " ms";
    return text;
}

std::string ratio(double v) { return fixed(v, 2) + "x"; }

}  // namespace

int print_report(const Options& options, const Measurements& m) {
    const Startup& startup = m.startup;
    const Overhead& overhead = m.overhead;
    const Standing& standing = m.standing;
    const Peaks& peaks = m.peaks;
    const double version_ratio = startup.version.median / startup.baseline.median;
    const double check_ratio = startup.check.median / startup.baseline.median;
    const double overhead_ms = overhead.supervised.median - overhead.limit.median;
    const double before_guard_ms = overhead.supervised_guard.median - overhead.limit_guard.median;
    // The supervisor's own share of the handover: measured directly when it found the guard
    // ended at its first look, otherwise what is left after the guard poll's sleep.
    const bool seen_at_once = overhead.handover_first_look.n > 0;
    const double handover_ms = (seen_at_once ? overhead.handover_first_look.median
                                             : overhead.handover_after_poll.median - overhead.poll_sleep.median) -
                               overhead.limit_handover.median;
    // Per trial, paired with its bare run: neither drift nor the load of the machine enters it.
    const double own_work_ms = overhead.over_baseline.median;
    const Summary marker = summarise(m.stops.marker);
    const Summary link = summarise(m.stops.link);
    const double period_ms = ms(kStopPollPeriod);
    const long peak_supervisor = std::max({peaks.version, peaks.check, peaks.run, peaks.recover});
    const std::string baseline_name = std::filesystem::path(options.baseline).filename().string();
    const double standing_cpu = standing.ok ? standing.supervisor.cpu_percent : NAN;
    const double standing_wakeups = standing.ok ? standing.supervisor.wakeups_per_second : NAN;
    const auto peak = [](long v) { return Check{Measure::peak_memory, v < 0 ? NAN : static_cast<double>(v)}; };
    const auto stop_checks = [&](const Summary& s) {
        return std::vector<Check>{{Measure::stop_reaction_mean, s.n > 0 ? s.mean : NAN, period_ms / 2},
                                  {Measure::stop_reaction_p95, s.n > 0 ? s.p95 : NAN, period_ms}};
    };
    const std::string poll_sleep = "guard poll " + fixed(overhead.poll_sleep.median, 2) + " ms";

    std::vector<Row> rows;
    rows.push_back({"--version wall time",
                    spread(startup.version),
                    baseline_name + " " + spread(startup.baseline),
                    {{Measure::version_wall_time, startup.version.median, startup.baseline.median}},
                    ratio(version_ratio)});
    rows.push_back({"check-app-routing wall time",
                    spread(startup.check),
                    baseline_name + " " + spread(startup.baseline),
                    {{Measure::check_wall_time, startup.check.median, startup.baseline.median}},
                    ratio(check_ratio)});
    rows.push_back({"run: start to core start",
                    spread(overhead.supervised, 2),
                    "bare + guard polls " + spread(overhead.baseline, 2),
                    {{Measure::run_to_core, own_work_ms, 0, "baseline"}},
                    signed_ms(own_work_ms)});
    rows.push_back({"  start to preflight guard start",
                    spread(overhead.supervised_guard, 2),
                    "bare " + spread(overhead.limit_guard, 2),
                    {},
                    signed_ms(before_guard_ms)});
    if (seen_at_once)
        rows.push_back(
            {"  guard end to core, guard seen ended at once (n=" + std::to_string(overhead.handover_first_look.n) + ")",
             spread(overhead.handover_first_look, 2),
             "bare " + spread(overhead.limit_handover, 2),
             {},
             signed_ms(handover_ms)});
    if (overhead.handover_after_poll.n > 0)
        rows.push_back(
            {"  guard end to core, after a guard poll (n=" + std::to_string(overhead.handover_after_poll.n) + ")",
             spread(overhead.handover_after_poll, 2),
             seen_at_once ? poll_sleep : "bare " + spread(overhead.limit_handover, 2) + " + " + poll_sleep,
             {},
             seen_at_once ? "" : signed_ms(handover_ms)});
    const std::string poll_period = "poll period " + fixed(period_ms, 0) + " ms";
    rows.push_back({"stop reaction, marker", reaction(marker), poll_period, stop_checks(marker), ""});
    rows.push_back({"stop reaction, link closed", reaction(link), poll_period, stop_checks(link), ""});
    rows.push_back({"standing CPU while the core runs",
                    fixed(standing.supervisor.cpu_percent, 4) +
                        "% of a core (ticks: " + fixed(standing.cpu_percent_ticks, 3) + "%)",
                    "poll-call loop " + fixed(standing.poll_loop.cpu_percent, 4) + "%, sleep loop " +
                        fixed(standing.sleep_loop.cpu_percent, 4) + "% (" + fixed(standing.seconds, 1) + " s)",
                    {{Measure::standing_cpu, standing_cpu, standing.poll_loop.cpu_percent}},
                    ratio(standing_cpu / standing.poll_loop.cpu_percent)});
    rows.push_back({"standing wake-ups",
                    fixed(standing.supervisor.wakeups_per_second, 1) + " /s",
                    "poll-call loop " + fixed(standing.poll_loop.wakeups_per_second, 1) + " /s",
                    {{Measure::standing_wakeups, standing_wakeups, standing.poll_loop.wakeups_per_second}},
                    ratio(standing_wakeups / standing.poll_loop.wakeups_per_second)});
    rows.push_back({"peak RSS --version",
                    kib(peaks.version),
                    baseline_name + " " + kib(peaks.baseline),
                    {peak(peaks.version)},
                    ""});
    rows.push_back({"peak RSS check-app-routing", kib(peaks.check), "", {peak(peaks.check)}, ""});
    rows.push_back(
        {"peak RSS run", kib(peaks.run), "while the core runs: " + kib(standing.rss_kib), {peak(peaks.run)}, ""});
    rows.push_back({"peak RSS recover", kib(peaks.recover), "", {peak(peaks.recover)}, ""});
    rows.push_back({"sealing a 4 MiB configuration", spread(m.sealing, 2), "", {}, ""});
    rows.push_back({"binary size",
                    std::to_string(m.binary.file_bytes) + " B file",
                    std::to_string(m.binary.loaded_bytes) + " B loaded",
                    {},
                    m.binary.is_static ? "static" : "dynamic"});
    print_table(rows);

    const int failures =
        startup.failures + overhead.failures + m.stops.failures + peaks.failures + (standing.ok ? 0 : 1);
    std::printf("\nstop-reaction distribution: %s\n", m.svg.c_str());
    if (failures != 0) std::printf("failed runs or trials (left out of the figures): %d\n", failures);

    std::printf(
        "bench: link=%s sched=%s version_ms=%.3f check_ms=%.3f baseline_ms=%.3f version_ratio=%.3f check_ratio=%.3f "
        "run_to_core_ms=%.3f run_limit_ms=%.3f run_overhead_ms=%.3f run_own_work_ms=%.3f "
        "run_baseline_ms=%.3f guard_poll_sleep_ms=%.3f "
        "stop_marker_mean_ms=%.1f stop_marker_p95_ms=%.1f stop_marker_max_ms=%.1f "
        "stop_link_mean_ms=%.1f stop_link_p95_ms=%.1f stop_link_max_ms=%.1f "
        "standing_cpu_pct=%.4f standing_floor_cpu_pct=%.4f standing_wakeups_per_s=%.2f "
        "standing_loop_cpu_pct=%.4f standing_loop_wakeups_per_s=%.2f "
        "rss_version_kib=%ld rss_check_kib=%ld rss_run_kib=%ld rss_recover_kib=%ld rss_max_kib=%ld "
        "rss_baseline_kib=%ld "
        "seal_4mib_ms=%.3f binary_bytes=%lld loaded_bytes=%lld failures=%d\n",
        m.binary.is_static ? "static" : "dynamic", options.realtime ? "fifo" : "normal", startup.version.median,
        startup.check.median, startup.baseline.median, version_ratio, check_ratio, overhead.supervised.median,
        overhead.limit.median, overhead_ms, own_work_ms, overhead.baseline.median, overhead.poll_sleep.median,
        marker.mean, marker.p95, marker.max, link.mean, link.p95, link.max, standing.supervisor.cpu_percent,
        standing.sleep_loop.cpu_percent, standing.supervisor.wakeups_per_second, standing.poll_loop.cpu_percent,
        standing.poll_loop.wakeups_per_second, peaks.version, peaks.check, peaks.run, peaks.recover, peak_supervisor,
        peaks.baseline, m.sealing.median, m.binary.file_bytes, m.binary.loaded_bytes, failures);
    return failures;
}

}  // namespace quillmere::bench
