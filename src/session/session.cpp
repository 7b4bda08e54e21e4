#include "session/session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "linux/path.hpp"
#include "linux/unique_fd.hpp"
#include "linux/untrusted_open.hpp"
#include "session/session_decoder.hpp"
#include "session/session_name.hpp"
#include "session/session_rules.hpp"

namespace quillmere {

namespace {

// One byte more than a session file may hold, so that a file that grew after its size was
// checked is seen as too long rather than silently cut.
constexpr std::size_t kSessionFileReadLimit = kSessionFileMaxBytes + 1;

// lstat never follows the last component, so a symbolic link shows up as what it is.
Result<struct stat> lstat_path(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return fail_last_os_error();
    return status;
}

// The name rule and the absolute form are checked on the text alone, before anything in the
// file system is looked at.
Result<std::string_view> checked_directory_argument(std::string_view argument) {
    if (directory_argument_problem(argument).has_value()) return fail(kSessionValidationFailed);
    return state_directory_path(argument);
}

Result<DirectoryIdentity> check_state_directory(const std::string& directory) {
    const struct stat status = TRY(lstat_path(directory));
    if (state_directory_problem(status).has_value()) return fail(kSessionValidationFailed);
    return identity_of(status);
}

Result<void> check_open_session_file(const UniqueFd& file, uid_t owner_uid) {
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return fail_last_os_error();
    if (session_file_problem(status, owner_uid).has_value()) return fail(kSessionValidationFailed);
    return {};
}

struct FreeDeleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

// The directory reached through its canonical path must be the one examined at the start, so
// that a directory swapped in meanwhile, or a path that led elsewhere, is not taken for it.
Result<void> check_same_directory(const std::string& canonical, const DirectoryIdentity& expected) {
    const struct stat status = TRY(lstat_path(canonical));
    if (!is_same_directory(status, expected)) return fail(kSessionValidationFailed);
    return {};
}

}  // namespace

std::string_view state_directory_path(std::string_view argument) {
    const std::optional<std::string_view> name = last_path_component(argument);
    if (!name.has_value()) return argument;
    const auto end = static_cast<std::size_t>(name->data() - argument.data()) + name->size();
    return argument.substr(0, end);
}

Result<UniqueFd> open_session_file(const std::string& path) {
    // A FIFO or a terminal put in the file's place after its lstat can neither stall the open
    // nor take over the session; the fstat that follows refuses either.
    return open_untrusted(path);
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

Result<std::string> canonical_path(const std::string& path) {
    const std::unique_ptr<char, FreeDeleter> resolved(::realpath(path.c_str(), nullptr));
    if (resolved == nullptr) return fail_last_os_error();
    return std::string(resolved.get());
}

Result<Session> load_session(std::string_view argument) {
    const std::string directory(TRY(checked_directory_argument(argument)));
    const DirectoryIdentity identity = TRY(check_state_directory(directory));

    // The file's conditions are tested on the path and again on the descriptor: the path test
    // refuses a link before anything is opened, the descriptor test covers a swap in between.
    const std::string file_path = join_path(directory, kSessionFileName);
    const struct stat file_status = TRY(lstat_path(file_path));
    if (session_file_problem(file_status, identity.owner_uid).has_value()) return fail(kSessionValidationFailed);
    const UniqueFd file = TRY(open_session_file(file_path));
    TRY(check_open_session_file(file, identity.owner_uid));
    const std::string content = TRY(read_session_file(file));
    std::string nonce = TRY(decode_session_document(content));

    std::string canonical = TRY(canonical_path(directory));
    TRY(check_same_directory(canonical, identity));
    return Session{std::move(canonical), std::move(nonce), identity.owner_uid};
}

}  // namespace quillmere
