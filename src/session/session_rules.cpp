#include "session/session_rules.hpp"

#include <sys/un.h>

#include <cstdint>

#include "linux/path.hpp"
#include "session/session_name.hpp"

namespace quillmere {

namespace {

static_assert(kSocketPathRoom == sizeof(sockaddr_un{}.sun_path));

[[nodiscard]] bool is_private(const struct stat& status) noexcept {
    return (status.st_mode & kGroupOtherModeBits) == 0;
}

}  // namespace

std::optional<ArgumentProblem> directory_argument_problem(std::string_view argument) {
    if (!argument.starts_with('/')) return ArgumentProblem::not_absolute;
    if (argument.find('\0') != std::string_view::npos) return ArgumentProblem::nul_byte;
    const std::optional<std::string_view> name = last_path_component(argument);
    if (!name.has_value()) return ArgumentProblem::no_name;
    if (!is_session_name(*name)) return ArgumentProblem::bad_name;
    return std::nullopt;
}

std::optional<DirectoryProblem> state_directory_problem(const struct stat& status) noexcept {
    if (!S_ISDIR(status.st_mode)) return DirectoryProblem::not_directory;
    if (!is_private(status)) return DirectoryProblem::not_private;
    return std::nullopt;
}

std::optional<SessionFileProblem> session_file_problem(const struct stat& status, uid_t owner_uid) noexcept {
    if (!S_ISREG(status.st_mode)) return SessionFileProblem::not_regular;
    if (status.st_size < 0 || static_cast<std::uintmax_t>(status.st_size) > kSessionFileMaxBytes)
        return SessionFileProblem::too_large;
    if (status.st_uid != owner_uid) return SessionFileProblem::foreign_owner;
    if (!is_private(status)) return SessionFileProblem::not_private;
    return std::nullopt;
}

DirectoryIdentity identity_of(const struct stat& status) noexcept {
    return DirectoryIdentity{status.st_dev, status.st_ino, status.st_uid};
}

bool has_identity(const struct stat& status, const DirectoryIdentity& expected) noexcept {
    return status.st_dev == expected.device && status.st_ino == expected.inode && status.st_uid == expected.owner_uid;
}

bool is_same_directory(const struct stat& canonical, const DirectoryIdentity& expected) noexcept {
    return !state_directory_problem(canonical).has_value() && has_identity(canonical, expected);
}

std::optional<SocketProblem> socket_file_problem(const struct stat& entry, uid_t directory_owner) noexcept {
    // A symbolic link could lead the supervisor to another user's listener, and a socket
    // others can reach could be anybody's.
    if ((entry.st_mode & S_IFMT) != S_IFSOCK) return SocketProblem::not_socket;
    if (!is_private(entry)) return SocketProblem::not_private;
    if (entry.st_uid != directory_owner) return SocketProblem::foreign_owner;
    return std::nullopt;
}

std::optional<SocketPathProblem> socket_path_problem(std::string_view path) noexcept {
    if (path.find('\0') != std::string_view::npos) return SocketPathProblem::nul_byte;
    if (path.size() >= kSocketPathRoom) return SocketPathProblem::too_long;
    return std::nullopt;
}

}  // namespace quillmere
