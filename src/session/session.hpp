#pragma once
// The session: which state directory this supervisor serves, the nonce that proves it to the
// parent, and the user who owns the directory and therefore every file taken from it.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

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

// The steps of the load that a caller explaining a refusal repeats in the same way.

// The argument up to and including the component that names the directory: without trailing
// "/" or "." components, which would make lstat and the join look through a symbolic link at
// the place of the state directory, and make a trailing slash change the outcome.
[[nodiscard]] std::string_view state_directory_path(std::string_view argument);
// Read-only, never through a link, without waiting on a FIFO or taking a terminal.
[[nodiscard]] Result<UniqueFd> open_session_file(const std::string& path);
// Until end of file, but never more than one byte past the size limit.
[[nodiscard]] Result<std::string> read_session_file(const UniqueFd& file);
// realpath's answer.
[[nodiscard]] Result<std::string> canonical_path(const std::string& path);

}  // namespace quillmere
