#include "session/stop_request.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "linux/path.hpp"
#include "session/session_rules.hpp"

namespace quillmere {

Result<bool> stop_requested(std::string_view state_dir) {
    const std::string marker = join_path(state_dir, kStopMarkerName);
    struct stat entry {};
    if (::lstat(marker.c_str(), &entry) != 0) {
        if (errno == ENOENT) return false;
        return fail_last_os_error();
    }
    // Only a plain file counts. Anything else in that place, a link to a plain file included,
    // was not put there the way the parent asks for a stop, so the run is not to be trusted.
    if (!is_valid_stop_marker(entry)) return fail(kSessionValidationFailed);
    return true;
}

}  // namespace quillmere
