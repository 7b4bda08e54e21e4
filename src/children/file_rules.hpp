#pragma once
// The rules every file taken from the state directory must meet, on the status read from its
// open descriptor. Pure, and safe to use between fork and exec.

#include <sys/stat.h>
#include <sys/types.h>

namespace quillmere {

// No set-id bit, no group or other permission, a regular non-empty file, owned by
// `owner_uid`, with exactly one hard link.
[[nodiscard]] bool meets_file_rules(const struct stat& status, uid_t owner_uid) noexcept;

// The rules above plus the owner-execute bit (the capability attribute is checked apart).
[[nodiscard]] bool meets_executable_rules(const struct stat& status, uid_t owner_uid) noexcept;

}  // namespace quillmere
