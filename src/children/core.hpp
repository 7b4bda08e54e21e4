#pragma once
// The core: the proxy engine "sing-box", run on the sealed configuration and supervised until
// it ends by itself or the parent asks for a stop.

#include "children/input_files.hpp"
#include "linux/error.hpp"
#include "session/parent_link.hpp"
#include "session/session.hpp"

namespace quillmere {

// The core was never launched (preflight refused, a stop was wanted, or the parent was gone).
inline constexpr Error kCoreNotStarted = Error::with_text(ErrorKind::interrupted, nullptr);

// Success: the core ran and has ended. kCoreNotStarted: it never ran. Any other error: the
// launch or the supervision failed, and a core that was started has been terminated.
[[nodiscard]] Result<void> run_core(bool preflight_passed, const Session& session, const ParentLink& link,
                                    const ValidatedFile& core_executable, int sealed_config_fd);

}  // namespace quillmere
