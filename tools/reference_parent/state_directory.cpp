#include "reference_parent/state_directory.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "linux/path.hpp"
#include "session/session.hpp"
#include "session/session_name.hpp"
#include "session/stop_request.hpp"

namespace quillmere::reference {

namespace {

constexpr std::size_t kNonceBytes = 32;

Result<void> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written == 0) {
            return fail(Error::with_text(ErrorKind::write_zero, "failed to write whole buffer"));
        } else if (errno != EINTR) {
            return fail_last_os_error();
        }
    }
    return {};
}

// Reads `fd` to its end; `sink` receives each chunk.
template <class Sink>
Result<void> read_all(int fd, Sink&& sink) {
    std::vector<char> buffer(65536);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got == 0) return {};
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        TRY(sink(std::string_view(buffer.data(), static_cast<std::size_t>(got))));
    }
}

// A new entry in the directory, created where nothing is (never through a link), readable by
// nobody but this process until it has its content, its owner and then its final mode.
Result<UniqueFd> create_entry(int dir, const std::string& name) {
    for (;;) {
        const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != EINTR) return fail_last_os_error();
    }
}

bool owned_by(const struct stat& status, Owner owner) noexcept {
    return status.st_uid == owner.uid && status.st_gid == owner.gid;
}

// The owner goes first: a change of owner clears the set-id bits, so the mode comes last.
Result<void> hand_over(int fd, Owner owner, mode_t mode) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return fail_last_os_error();
    if (!owned_by(status, owner) && ::fchown(fd, owner.uid, owner.gid) != 0) return fail_last_os_error();
    if (::fchmod(fd, mode) != 0) return fail_last_os_error();
    return {};
}

Result<void> remove_entry(int dir, const std::string& name) {
    if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return fail_last_os_error();
    return {};
}

}  // namespace

Owner Owner::current() noexcept { return Owner{::geteuid(), ::getegid()}; }

Owner Owner::of_uid(uid_t uid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return Owner{uid, found->pw_gid};
    return Owner{uid, static_cast<gid_t>(uid)};
}

Result<void> become(Owner owner) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(owner.gid) != 0 || ::setuid(owner.uid) != 0)
        return fail_last_os_error();
    // setuid from root to another user gives up every id at once; make sure nothing was kept.
    if (::getuid() != owner.uid || ::geteuid() != owner.uid || ::getegid() != owner.gid) return fail_errno(EPERM);
    return {};
}

Result<void> give_entry_to(int dir, std::string_view name, Owner owner) {
    const std::string entry(name);
    struct stat status {};
    if (::fstatat(dir, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return fail_last_os_error();
    if (!owned_by(status, owner) && ::fchownat(dir, entry.c_str(), owner.uid, owner.gid, AT_SYMLINK_NOFOLLOW) != 0)
        return fail_last_os_error();
    return {};
}

Result<std::string> fresh_nonce() {
    unsigned char random[kNonceBytes];
    std::size_t filled = 0;
    while (filled < sizeof random) {
        const ssize_t got = ::getrandom(random + filled, sizeof random - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        filled += static_cast<std::size_t>(got);
    }
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string nonce;
    nonce.reserve(2 * sizeof random);
    for (const unsigned char byte : random) {
        nonce.push_back(kHexDigits[byte >> 4]);
        nonce.push_back(kHexDigits[byte & 0x0f]);
    }
    return nonce;
}

std::string session_document(std::string_view nonce) {
    std::string document = "{\"format\":1,\"parent_nonce\":\"";
    document.append(nonce).append("\"}\n");
    return document;
}

Result<StateDirectory> StateDirectory::create(std::string_view base_dir, std::string_view suffix, Owner owner) {
    std::string nonce = TRY(fresh_nonce());
    std::string path = join_path(base_dir, std::string(kSessionNamePrefix) + std::string(suffix));
    if (::mkdir(path.c_str(), 0700) != 0) return fail_last_os_error();
    const int raw = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (raw < 0) {
        const Error error = Error::last_os_error();
        ::rmdir(path.c_str());
        return fail(error);
    }
    UniqueFd dir(raw);
    // From here on the object owns the directory and removes it again if a later step fails.
    StateDirectory created(std::move(path), std::move(dir), std::move(nonce), owner);
    TRY(hand_over(created.fd(), owner, 0700));
    TRY(created.write_file(kSessionFileName, session_document(created.nonce_), 0600));
    return created;
}

StateDirectory::StateDirectory(StateDirectory&& other) noexcept
    : path_(std::move(other.path_)),
      dir_(std::move(other.dir_)),
      nonce_(std::move(other.nonce_)),
      owner_(other.owner_),
      keep_(other.keep_) {
    other.keep_ = true;
}

StateDirectory::~StateDirectory() {
    if (keep_ || path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string StateDirectory::entry_path(std::string_view name) const { return join_path(path_, name); }

Result<void> StateDirectory::write_file(std::string_view name, std::string_view bytes, mode_t mode) const {
    const std::string entry(name);
    TRY(remove_entry(fd(), entry));
    const UniqueFd file = TRY(create_entry(fd(), entry));
    TRY(write_all(file.get(), bytes));
    return hand_over(file.get(), owner_, mode);
}

Result<void> StateDirectory::copy_program(std::string_view name, const std::string& source, mode_t mode) const {
    const int raw = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (raw < 0) return fail_last_os_error();
    const UniqueFd input(raw);
    const std::string entry(name);
    TRY(remove_entry(fd(), entry));
    const UniqueFd file = TRY(create_entry(fd(), entry));
    TRY(read_all(input.get(), [&](std::string_view chunk) { return write_all(file.get(), chunk); }));
    return hand_over(file.get(), owner_, mode);
}

Result<void> StateDirectory::request_stop() const {
    const UniqueFd marker = TRY(create_entry(fd(), std::string(kStopMarkerName)));
    return hand_over(marker.get(), owner_, 0600);
}

Result<std::string> StateDirectory::read_file(std::string_view name) const {
    const std::string entry(name);
    int raw = -1;
    do {
        raw = ::openat(fd(), entry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return fail_last_os_error();
    const UniqueFd file(raw);
    std::string content;
    TRY(read_all(file.get(), [&](std::string_view chunk) -> Result<void> {
        content.append(chunk);
        return {};
    }));
    return content;
}

Result<std::string> StateDirectory::read_state_file(std::string_view name) const {
    const std::string entry(name);
    int raw = -1;
    do {
        raw = ::openat(fd(), entry.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return fail_last_os_error();
    const UniqueFd file(raw);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return fail_last_os_error();
    if (!S_ISREG(status.st_mode) || status.st_uid != 0) return fail_errno(EPERM);
    // Created at 0600 and given 0644 only once complete.
    if ((status.st_mode & 07777) != 0644) return fail_errno((status.st_mode & 07777) == 0600 ? ENOENT : EPERM);
    std::string content;
    TRY(read_all(file.get(), [&](std::string_view chunk) -> Result<void> {
        content.append(chunk);
        return {};
    }));
    return content;
}

bool StateDirectory::has_entry(std::string_view name) const {
    struct stat entry {};
    return ::fstatat(fd(), std::string(name).c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace quillmere::reference
