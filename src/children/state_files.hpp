#pragma once
// The small files the supervisor leaves for the parent: pid files and end markers. Each is
// created exclusively, never through a link, written whole, synced, and only then opened up.

#include <sys/types.h>

#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

// Private while the content is incomplete, so that the parent never reads a partial pid or a
// half-written document; readable by the parent only once the bytes are on disk.
inline constexpr mode_t kWritingMode = 0600;
inline constexpr mode_t kFinishedMode = 0644;

inline constexpr std::string_view kHelperPidFile = "helper.pid";
inline constexpr std::string_view kRecoveryPidFile = "recovery.pid";
inline constexpr std::string_view kCorePidFile = "core.pid";
inline constexpr std::string_view kCoreExitFile = "core-exit";
inline constexpr std::string_view kDoneFile = "done";
inline constexpr std::string_view kCleanupErrorFile = "cleanup-error";

// Creates `state_dir`/`name` with `content`; fails with EEXIST if anything is at that name.
[[nodiscard]] Result<void> write_state_file(std::string_view state_dir, std::string_view name,
                                            std::string_view content);

}  // namespace quillmere
