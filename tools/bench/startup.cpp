#include "measurements.hpp"
#include "processes.hpp"

namespace quillmere::bench {

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

}  // namespace quillmere::bench
