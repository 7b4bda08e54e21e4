#pragma once
// The core: the proxy engine "sing-box", run on the sealed configuration and supervised until
// it ends by itself or the parent asks for a stop.

#include <optional>

#include "children/input_files.hpp"
#include "linux/deadline.hpp"
#include "linux/error.hpp"
#include "session/parent_link.hpp"
#include "session/session.hpp"

namespace quillmere {

// How often a running core, the stop marker and the parent link are looked at.
inline constexpr Nanoseconds kStopPollPeriod = milliseconds(100);

// How a core that ran came to its end.
struct CoreEnd {
    int wait_status = 0;          // the classic encoding: an exit code, or the signal that ended it
    bool stop_requested = false;  // the supervisor had asked it to stop (the parent's stop) first
};

// How the core ended once it was launched, supervised and reaped; nullopt when it was never
// launched (the preflight refused, a stop was wanted, or the parent was gone). A value, not an
// error, so that no failure of any kind can be taken for a core that was never started. An
// error: the launch or the supervision failed, and a core that was started has been terminated
// (or its exit could not be confirmed).
[[nodiscard]] Result<std::optional<CoreEnd>> run_core(bool preflight_passed, const Session& session,
                                                      const ParentLink& link, const ValidatedFile& core_executable,
                                                      int sealed_config_fd);

}  // namespace quillmere
