#include "session/parent_link.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "linux/path.hpp"
#include "linux/syscalls.hpp"
#include "linux/write_all.hpp"
#include "session/session_rules.hpp"

namespace quillmere {

namespace {

constexpr std::string_view kAcknowledgement = "OK\n";
// Each single send or receive of the handshake may wait this long; a parent that takes longer
// is not the live application that wrote the session file.
constexpr timeval kHandshakeCallTimeLimit{2, 0};

constexpr Error kInteriorNul = Error::with_text(ErrorKind::invalid_input, "paths must not contain interior null bytes");
constexpr Error kPathTooLong = Error::with_text(ErrorKind::invalid_input, "path must be shorter than SUN_LEN");
constexpr Error kFillEof = Error::with_text(ErrorKind::unexpected_eof, "failed to fill whole buffer");

// The socket file must be the parent's own socket. It is held by a path-only descriptor that does not follow a link and checked on that descriptor, so
// the connect below reaches the very socket that was checked: whatever is renamed into the
// path in between is never looked at.
Result<UniqueFd> open_socket_file(const std::string& socket_path, const std::string& state_dir) {
    UniqueFd file = TRY(open_retrying(socket_path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat entry {};
    if (::fstat(file.get(), &entry) != 0) return fail_last_os_error();
    struct stat directory {};
    if (::stat(state_dir.c_str(), &directory) != 0) return fail_last_os_error();
    if (socket_file_problem(entry, directory.st_uid).has_value()) return fail(kSessionValidationFailed);
    return file;
}

struct SocketAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

Result<void> check_socket_path(std::string_view path) {
    const std::optional<SocketPathProblem> problem = socket_path_problem(path);
    if (!problem.has_value()) return {};
    return fail(*problem == SocketPathProblem::nul_byte ? kInteriorNul : kPathTooLong);
}

Result<SocketAddress> unix_address(std::string_view path) {
    TRY(check_socket_path(path));
    SocketAddress result;
    result.address.sun_family = AF_UNIX;
    std::memcpy(result.address.sun_path, path.data(), path.size());
    result.address.sun_path[path.size()] = '\0';
    result.length = static_cast<socklen_t>(sizeof result.address.sun_family + path.size() + 1);
    return result;
}

Result<void> set_handshake_time_limits(int fd) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kHandshakeCallTimeLimit, sizeof kHandshakeCallTimeLimit) != 0)
        return fail_last_os_error();
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kHandshakeCallTimeLimit, sizeof kHandshakeCallTimeLimit) != 0)
        return fail_last_os_error();
    return {};
}

// MSG_NOSIGNAL: a parent that has already gone away must give EPIPE, not kill the process.
ssize_t send_without_signal(int fd, const void* bytes, std::size_t size) noexcept {
    return ::send(fd, bytes, size, MSG_NOSIGNAL);
}

// Reads exactly `size` bytes and not one more: whatever the parent sends after them stays in
// the socket, where the first link check will find it.
Result<void> receive_exact(int fd, char* buffer, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t received = ::recv(fd, buffer + filled, size - filled, 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        if (received == 0) return fail(kFillEof);
        filled += static_cast<std::size_t>(received);
    }
    return {};
}

}  // namespace

Result<ParentLink> connect_parent_link(const Session& session) {
    const std::string socket_path = join_path(session.state_dir, kParentSocketName);
    // The system calls below take C strings; a NUL inside the path would make them look at a
    // shorter path than the one named here.
    if (socket_path_problem(socket_path) == SocketPathProblem::nul_byte) return fail(kInteriorNul);
    const UniqueFd socket_file = TRY(open_socket_file(socket_path, session.state_dir));

    const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (raw < 0) return fail_last_os_error();
    UniqueFd fd(raw);

    // The path's own limits still apply, although the connect goes through the descriptor.
    TRY(unix_address(socket_path));
    const SocketAddress address = TRY(unix_address(descriptor_path(socket_file.get())));
    // Not repeated after EINTR: an interrupted connect may still complete in the background,
    // and a second connect on the same socket would not tell the two apart.
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0)
        return fail_last_os_error();
    TRY(set_handshake_time_limits(fd.get()));

    std::string hello;
    hello.reserve(session.parent_nonce.size() + 1);
    hello.append(session.parent_nonce).append(1, '\n');
    TRY(write_all(fd.get(), hello, send_without_signal));

    char acknowledgement[kAcknowledgement.size()];
    TRY(receive_exact(fd.get(), acknowledgement, sizeof acknowledgement));
    if (std::string_view(acknowledgement, sizeof acknowledgement) != kAcknowledgement)
        return fail(kSessionValidationFailed);

    // From here on the link is only watched, and a watch must never wait.
    int non_blocking = 1;
    if (::ioctl(fd.get(), FIONBIO, &non_blocking) != 0) return fail_last_os_error();
    return ParentLink(std::move(fd));
}

bool parent_link_alive(const ParentLink& link) noexcept {
    char byte = 0;
    // EINTR is not repeated: the check must never wait, and an interrupted check counts as a
    // departed parent. EWOULDBLOCK is the same number as EAGAIN on Linux.
    const ssize_t received = ::recv(link.fd(), &byte, 1, 0);
    return received == -1 && errno == EAGAIN;
}

}  // namespace quillmere
