#pragma once
// Reading "core-exit", the supervisor's record of how the core ended, back into words for the
// people who read what a run left.

#include <optional>
#include <string>
#include <string_view>

namespace quillmere::check {

struct CoreExitRecord {
    std::optional<unsigned> exit_code;  // set when the core exited
    std::optional<unsigned> signal;     // set when a signal ended it
    bool stop_requested = false;        // the supervisor had asked it to stop first
};

// The record, or nullopt for anything but a format 1 document with exactly one of the two.
[[nodiscard]] std::optional<CoreExitRecord> read_core_exit(std::string_view document);

// "ended by itself before any stop was asked, with exit code 2" and the like.
[[nodiscard]] std::string core_end_in_words(const CoreExitRecord& record);

}  // namespace quillmere::check
