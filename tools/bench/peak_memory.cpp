#include <algorithm>

#include "measurements.hpp"
#include "processes.hpp"

namespace quillmere::bench {
namespace {

constexpr int kPeakRepeats = 3;

}  // namespace

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
        const reference::StateDirectory dir = make_state_directory(b);
        auto parent = need(reference::ParentSession::listen(dir, reference::Script{}), "parent socket");
        const Traced t = run_traced({b.options.supervisor, "run", dir.path()});
        parent->supervisor_exited();
        (void)parent->wait_for_end(seconds(2));
        if (!exited_zero(t.status)) ++p.failures;
        p.run = std::max(p.run, t.peak_kib);
    }
    for (int i = 0; i < kPeakRepeats; ++i) {
        const reference::StateDirectory dir = make_state_directory(b);
        const Traced t = run_traced({b.options.supervisor, "recover", dir.path()});
        if (!exited_zero(t.status)) ++p.failures;
        p.recover = std::max(p.recover, t.peak_kib);
    }
    return p;
}

}  // namespace quillmere::bench
