#include "session/session.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "linux/path.hpp"
#include "linux/unique_fd.hpp"
#include "session/session_decoder.hpp"
#include "session/session_name.hpp"

namespace quillmere {

namespace {

// One byte more than a session file may hold, so that a file that grew after its size was
// checked is seen as too long rather than silently cut.
constexpr std::size_t kSessionFileReadLimit = kSessionFileMaxBytes + 1;

constexpr mode_t kGroupOtherBits = 077;

// What the supervisor must remember of the directory to recognise it again at the end.
struct DirectoryIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner_uid = 0;
};

[[nodiscard]] bool is_private(const struct stat& status) noexcept { return (status.st_mode & kGroupOtherBits) == 0; }

[[nodiscard]] bool is_private_directory(const struct stat& status) noexcept {
    return S_ISDIR(status.st_mode) && is_private(status);
}

[[nodiscard]] bool is_acceptable_session_file(const struct stat& status, uid_t owner_uid) noexcept {
    return S_ISREG(status.st_mode) && status.st_size >= 0 &&
           static_cast<std::uintmax_t>(status.st_size) <= kSessionFileMaxBytes && status.st_uid == owner_uid &&
           is_private(status);
}

// lstat never follows the last component, so a symbolic link shows up as what it is.
Result<struct stat> lstat_path(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return fail_last_os_error();
    return status;
}

// The argument up to and including the component that names the directory: without trailing
// "/" or "." components, which would make lstat and the join look through a symbolic link at
// the place of the state directory, and make a trailing slash change the outcome.
std::string_view directory_path(std::string_view argument, std::string_view name) {
    const auto end = static_cast<std::size_t>(name.data() - argument.data()) + name.size();
    return argument.substr(0, end);
}

// The name rule and the absolute form are checked on the text alone, before anything in the
// file system is looked at.
Result<std::string_view> checked_directory_argument(std::string_view argument) {
    if (!argument.starts_with('/')) return fail(kSessionValidationFailed);
    // A system call would end the path at the first NUL and so name another directory than
    // the one whose name was checked.
    if (argument.find('\0') != std::string_view::npos) return fail(kSessionValidationFailed);
    const std::optional<std::string_view> name = last_path_component(argument);
    if (!name.has_value() || !is_session_name(*name)) return fail(kSessionValidationFailed);
    return directory_path(argument, *name);
}

Result<DirectoryIdentity> check_state_directory(const std::string& directory) {
    const struct stat status = TRY(lstat_path(directory));
    if (!is_private_directory(status)) return fail(kSessionValidationFailed);
    return DirectoryIdentity{status.st_dev, status.st_ino, status.st_uid};
}

// Nonblocking and without a controlling terminal, so that a FIFO or a terminal put in the
// file's place after the lstat can neither stall the open nor take over the session; the
// fstat that follows refuses either.
Result<UniqueFd> open_session_file(const std::string& path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != EINTR) return fail_last_os_error();
    }
}

Result<void> check_open_session_file(const UniqueFd& file, uid_t owner_uid) {
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return fail_last_os_error();
    if (!is_acceptable_session_file(status, owner_uid)) return fail(kSessionValidationFailed);
    return {};
}

Result<std::string> read_session_file(const UniqueFd& file) {
    std::string content(kSessionFileReadLimit, '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t n = ::read(file.get(), content.data() + filled, content.size() - filled);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return fail_last_os_error();
        }
    }
    content.resize(filled);
    return content;
}

struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

Result<std::string> canonical_path(const std::string& path) {
    const std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
    if (resolved == nullptr) return fail_last_os_error();
    return std::string(resolved.get());
}

// The directory reached through its canonical path must be the one examined at the start, so
// that a directory swapped in meanwhile, or a path that led elsewhere, is not taken for it.
Result<void> check_same_directory(const std::string& canonical, const DirectoryIdentity& expected) {
    const struct stat status = TRY(lstat_path(canonical));
    if (!is_private_directory(status) || status.st_dev != expected.device || status.st_ino != expected.inode ||
        status.st_uid != expected.owner_uid)
        return fail(kSessionValidationFailed);
    return {};
}

}  // namespace

Result<Session> load_session(std::string_view argument) {
    const std::string directory(TRY(checked_directory_argument(argument)));
    const DirectoryIdentity identity = TRY(check_state_directory(directory));

    // The file's conditions are tested on the path and again on the descriptor: the path test
    // refuses a link before anything is opened, the descriptor test covers a swap in between.
    const std::string file_path = join_path(directory, kSessionFileName);
    const struct stat file_status = TRY(lstat_path(file_path));
    if (!is_acceptable_session_file(file_status, identity.owner_uid)) return fail(kSessionValidationFailed);
    const UniqueFd file = TRY(open_session_file(file_path));
    TRY(check_open_session_file(file, identity.owner_uid));
    const std::string content = TRY(read_session_file(file));
    std::string nonce = TRY(decode_spec(content));

    std::string canonical = TRY(canonical_path(directory));
    TRY(check_same_directory(canonical, identity));
    return Session{std::move(canonical), std::move(nonce), identity.owner_uid};
}

}  // namespace quillmere
