#pragma once
// The tunnel configuration and the guard script as the children see them: copies of "tun.json"
// and "network-guard.cjs" in anonymous memory files sealed against every change, so that no
// one can alter them between the checks and the use, nor between the two guard runs.

#include <sys/types.h>

#include <cstddef>

#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {

// The largest copy, for either file: 4 MiB.
inline constexpr std::size_t kSealedCopyMaxBytes = 4194304;
inline constexpr std::size_t kSealedConfigurationMaxBytes = kSealedCopyMaxBytes;
inline constexpr const char* kSealedConfigurationName = "quillmere-vpn-config";
inline constexpr const char* kSealedGuardScriptName = "quillmere-vpn-guard";

// Copies the file behind `source_fd` (which must still meet the file rules for `owner_uid`,
// and which nobody may hold open for writing: EAGAIN, or EINVAL where the file system knows no
// leases) into a new memory file and seals it.
[[nodiscard]] Result<UniqueFd> seal_configuration(int source_fd, uid_t owner_uid);

// The same for the guard script, which must still meet the executable rules.
[[nodiscard]] Result<UniqueFd> seal_guard_script(int source_fd, uid_t owner_uid);

// A regular file of 1 to 4194304 bytes carrying the seal, shrink, grow and write seals.
[[nodiscard]] Result<void> verify_sealed(int fd);

// A new read-only, close-on-exec descriptor of the sealed file behind `sealed_fd`, with an open
// file description and an offset of its own, at the start; verified sealed. One is handed to
// each child, so that no child, nor anything it leaves running, can move where another reads.
[[nodiscard]] Result<UniqueFd> open_sealed_for_child(int sealed_fd);

}  // namespace quillmere
