#pragma once
// The policy rules of a session: its directory argument, the directory, the session file, the
// directory's identity once reached through its canonical path, the parent's socket file and
// the stop marker. Each rule says which part of it was broken, so that whoever explains a
// refusal names that part; the supervisor itself turns every one of them into the one session
// validation error and never says which.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "session/session_decoder.hpp"

namespace quillmere {

enum class ArgumentProblem : std::uint8_t {
    not_absolute,  // empty, or not beginning with "/"
    nul_byte,      // a system call would see a shorter path than the one whose name is checked
    no_name,       // no final component: the root, or ".." at the end
    bad_name,      // the final component breaks the name rule (session_name_problem says how)
};

// Checked on the text alone, before anything in the file system is looked at.
[[nodiscard]] std::optional<ArgumentProblem> directory_argument_problem(std::string_view argument);

// The permission bits of group and others, which no private file or directory may have.
inline constexpr mode_t kGroupOtherModeBits = S_IRWXG | S_IRWXO;

enum class DirectoryProblem : std::uint8_t {
    not_directory,  // a symbolic link, a file, anything but a directory
    not_private,    // a permission bit for group or others
};

// On the lstat of the state directory.
[[nodiscard]] std::optional<DirectoryProblem> state_directory_problem(const struct stat& status) noexcept;

enum class SessionFileProblem : std::uint8_t {
    not_regular,    // a symbolic link, a directory, a FIFO, ...
    too_large,      // more than 4096 bytes
    foreign_owner,  // not owned by the state directory's owner
    not_private,    // a permission bit for group or others
};

// On the lstat of "supervisor.json" and again on its descriptor.
[[nodiscard]] std::optional<SessionFileProblem> session_file_problem(const struct stat& status,
                                                                     uid_t owner_uid) noexcept;

// What the load remembers of the directory to recognise it again at its end.
struct DirectoryIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner_uid = 0;
};

[[nodiscard]] DirectoryIdentity identity_of(const struct stat& status) noexcept;

// The directory reached through the canonical path is the one examined first.
[[nodiscard]] bool has_identity(const struct stat& status, const DirectoryIdentity& expected) noexcept;

// ...and is private, as it had to be when examined first.
[[nodiscard]] bool is_same_directory(const struct stat& canonical, const DirectoryIdentity& expected) noexcept;

enum class SocketProblem : std::uint8_t {
    not_socket,     // a symbolic link, a file, anything but a socket
    not_private,    // a permission bit for group or others
    foreign_owner,  // not owned by the state directory's owner
};

// On the status of "parent.sock", taken without following a link.
[[nodiscard]] std::optional<SocketProblem> socket_file_problem(const struct stat& entry,
                                                               uid_t directory_owner) noexcept;

// The room sun_path has for a path and its terminating NUL.
inline constexpr std::size_t kSocketPathRoom = 108;

enum class SocketPathProblem : std::uint8_t {
    nul_byte,  // a NUL inside the path
    too_long,  // 108 bytes or more
};

[[nodiscard]] std::optional<SocketPathProblem> socket_path_problem(std::string_view path) noexcept;

// Only a regular file at "stop" asks for a stop; any other type there is refused.
[[nodiscard]] inline bool is_valid_stop_marker(const struct stat& entry) noexcept { return S_ISREG(entry.st_mode); }

}  // namespace quillmere
