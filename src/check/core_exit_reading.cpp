#include "check/core_exit_reading.hpp"

#include <string>

namespace quillmere::check {

std::string core_end_in_words(const CoreExitRecord& record) {
    std::string words =
        record.stop_requested ? "ended after the stop was asked, " : "ended by itself before any stop was asked, ";
    if (record.exit_code.has_value()) return words + "with exit code " + std::to_string(*record.exit_code);
    return words + "killed by signal " + std::to_string(record.signal.value_or(0));
}

}  // namespace quillmere::check
