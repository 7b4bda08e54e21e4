#pragma once
// The exact bytes of what the supervisor reports: the app routing line on standard output, the
// completion document in "done" and the pid files ("core-exit" has a unit of its own, beside its
// reading).

#include <sys/types.h>

#include <string>
#include <string_view>

#include "app_routing/report.hpp"
#include "linux/error.hpp"

namespace quillmere {

// Compact JSON in the fixed key order, followed by one line feed.
[[nodiscard]] std::string app_routing_document(const AppRoutingReport& report);

// {"format":2,"session":NAME} for the final component of `state_dir`, without a line feed;
// kSessionValidationFailed when there is no such component or it is not valid UTF-8.
[[nodiscard]] Result<std::string> completion_document(std::string_view state_dir);

// Decimal digits only.
[[nodiscard]] std::string pid_document(pid_t pid);

}  // namespace quillmere
