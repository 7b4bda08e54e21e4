#pragma once
// The benchmark's knobs, as the command line gives them.

#include <optional>
#include <string>

namespace quillmere::bench {

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

extern const char* const kUsage;

// The directory this program was started from, where its stand-in child lives.
[[nodiscard]] std::string own_directory();

// Nullopt for anything kUsage does not describe.
[[nodiscard]] std::optional<Options> parse_options(int argc, char** argv);

}  // namespace quillmere::bench
