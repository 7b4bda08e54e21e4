#pragma once
// "core-exit", the record of how the core ended: the bytes the supervisor writes and their
// reading back, side by side so that the two cannot drift apart.

#include <optional>
#include <string>
#include <string_view>

#include "children/core.hpp"

namespace quillmere {

// Compact JSON, keys in this order, no line feed: {"format":1,"exit_code":N,"stop_requested":B}
// for a core that exited, {"format":1,"signal":N,"stop_requested":B} for one a signal ended.
[[nodiscard]] std::string core_exit_document(const CoreEnd& end);

struct CoreExitRecord {
    std::optional<unsigned> exit_code;  // set when the core exited
    std::optional<unsigned> signal;     // set when a signal ended it
    bool stop_requested = false;        // the supervisor had asked it to stop first
};

// The record, or nullopt for anything but a format 1 document with exactly one of the two.
[[nodiscard]] std::optional<CoreExitRecord> read_core_exit(std::string_view document);

}  // namespace quillmere
