#pragma once
// The session: which state directory this supervisor serves, the nonce that proves it to the
// parent, and the user who owns the directory and therefore every file taken from it.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

struct Session {
    std::string state_dir;     // canonical absolute path, as realpath gives it
    std::string parent_nonce;  // 64 lower-case hexadecimal characters
    uid_t owner_uid = 0;       // owner of the state directory
};

inline constexpr std::string_view kSessionFileName = "supervisor.json";

// Validates the state directory named by `argument` (raw bytes from the command line), reads
// its session file and re-identifies the directory through its canonical path. Every failed
// policy check is kSessionValidationFailed; failing system calls pass their errno through.
[[nodiscard]] Result<Session> load_session(std::string_view argument);

}  // namespace quillmere
