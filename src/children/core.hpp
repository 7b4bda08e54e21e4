#pragma once
// The core: the proxy engine "sing-box", run on the sealed configuration and supervised until
// it ends by itself or the parent asks for a stop.

#include <cstdint>

#include "children/input_files.hpp"
#include "linux/error.hpp"
#include "session/parent_link.hpp"
#include "session/session.hpp"

namespace quillmere {

// How a core that ran came to its end.
struct CoreEnd {
    int wait_status = 0;          // the classic encoding: an exit code, or the signal that ended it
    bool stop_requested = false;  // the supervisor had asked it to stop (the parent's stop) first
};

// What the core stage came to when it did not fail. A value, not an error, so that no failure
// of any kind can be taken for a core that was never started.
struct CoreOutcome {
    enum class Stage : std::uint8_t {
        not_started,  // never launched: the preflight refused, a stop was wanted, or the parent was gone
        completed,    // launched, supervised and reaped; `end` says how it ended
    };
    Stage stage = Stage::not_started;
    CoreEnd end{};
};

// An error: the launch or the supervision failed, and a core that was started has been
// terminated (or its exit could not be confirmed).
[[nodiscard]] Result<CoreOutcome> run_core(bool preflight_passed, const Session& session, const ParentLink& link,
                                           const ValidatedFile& core_executable, int sealed_config_fd);

}  // namespace quillmere
