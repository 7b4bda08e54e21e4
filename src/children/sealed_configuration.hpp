#pragma once
// The tunnel configuration as the children see it: a copy of "tun.json" in an anonymous memory
// file sealed against every change, so that no one can alter it between the checks and the use.

#include <sys/types.h>

#include <cstddef>

#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {

inline constexpr std::size_t kSealedConfigurationMaxBytes = 4194304;
inline constexpr const char* kSealedConfigurationName = "quillmere-vpn-config";

// Copies the file behind `source_fd` (which must still meet the file rules for `owner_uid`)
// into a new memory file and seals it.
[[nodiscard]] Result<UniqueFd> seal_configuration(int source_fd, uid_t owner_uid);

// A regular file of 1 to 4194304 bytes carrying the seal, shrink, grow and write seals.
[[nodiscard]] Result<void> verify_sealed(int fd);

}  // namespace quillmere
