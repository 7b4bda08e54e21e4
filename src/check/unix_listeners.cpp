#include "check/unix_listeners.hpp"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "linux/deadline.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere::check {

namespace {

constexpr Nanoseconds kAnswerTimeLimit = seconds(1);
constexpr std::uint32_t kSequence = 1;

struct Request {
    nlmsghdr header;
    unix_diag_req body;
};

// The kernel reports a socket's file by its own device encoding: major << 20 | minor.
bool same_device(std::uint32_t kernel_device, dev_t device) noexcept {
    return (kernel_device >> 20) == major(device) && (kernel_device & 0xfffffU) == minor(device);
}

constexpr std::size_t aligned(std::size_t length) noexcept { return (length + 3U) & ~std::size_t{3}; }

// The best match among the files bound to one socket record's attributes.
Listening match_record(const char* record, std::size_t length, const SocketFileIdentity& file) noexcept {
    Listening best = Listening::no;
    std::size_t offset = aligned(sizeof(unix_diag_msg));
    while (offset + sizeof(rtattr) <= length) {
        rtattr attribute{};
        std::memcpy(&attribute, record + offset, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || offset + attribute.rta_len > length) return best;
        if (attribute.rta_type == UNIX_DIAG_VFS && attribute.rta_len >= sizeof attribute + sizeof(unix_diag_vfs)) {
            unix_diag_vfs vfs{};
            std::memcpy(&vfs, record + offset + sizeof attribute, sizeof vfs);
            const Listening match = match_listener(vfs.udiag_vfs_dev, vfs.udiag_vfs_ino, file);
            if (match == Listening::yes) return match;
            if (match == Listening::uncertain) best = match;
        }
        offset += aligned(attribute.rta_len);
    }
    return best;
}

Listening better(Listening a, Listening b) noexcept {
    if (a == Listening::yes || b == Listening::yes) return Listening::yes;
    if (a == Listening::uncertain || b == Listening::uncertain) return Listening::uncertain;
    return Listening::no;
}

// Goes through the messages of one datagram of the dump, noting in `found` a socket bound to the
// file; the answer once the dump has ended, nullopt while it goes on.
Result<std::optional<Listening>> read_datagram(const char* data, std::size_t size, const SocketFileIdentity& file,
                                               Listening& found) {
    std::size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= size) {
        nlmsghdr header{};
        std::memcpy(&header, data + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || offset + header.nlmsg_len > size) return fail_errno(EPROTO);
        const char* body = data + offset + sizeof header;
        const std::size_t body_length = header.nlmsg_len - sizeof header;
        offset += aligned(header.nlmsg_len);
        if (header.nlmsg_seq != kSequence) continue;
        if (header.nlmsg_type == NLMSG_DONE) return std::optional<Listening>(found);
        if (header.nlmsg_type == NLMSG_ERROR) {
            nlmsgerr error{};
            if (body_length < sizeof error) return fail_errno(EPROTO);
            std::memcpy(&error, body, sizeof error);
            return fail_errno(error.error < 0 ? -error.error : EPROTO);
        }
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && body_length >= sizeof(unix_diag_msg))
            found = better(found, match_record(body, body_length, file));
    }
    return std::optional<Listening>();
}

}  // namespace

std::optional<dev_t> superblock_device_of(const std::string& path) {
    struct statx status {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &status) != 0 ||
        (status.stx_mask & STATX_MNT_ID) == 0)
        return std::nullopt;
    // "36 35 0:42 / /home rw ... - btrfs ...": the mount's id, its parent's, then the device of
    // its superblock, which is what the socket diagnostics report.
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::uint64_t id = 0;
        std::uint64_t parent = 0;
        std::string device;
        if (!(fields >> id >> parent >> device) || id != status.stx_mnt_id) continue;
        unsigned major_number = 0;
        unsigned minor_number = 0;
        char colon = 0;
        std::istringstream numbers(device);
        if (!(numbers >> major_number >> colon >> minor_number) || colon != ':') return std::nullopt;
        return makedev(major_number, minor_number);
    }
    return std::nullopt;
}

Listening match_listener(std::uint32_t kernel_device, std::uint64_t kernel_inode,
                         const SocketFileIdentity& file) noexcept {
    if (kernel_inode != file.inode) return Listening::no;
    if (same_device(kernel_device, file.stat_device)) return Listening::yes;
    if (!file.superblock_device) {
        // stat's device is not always the superblock's (a btrfs subvolume has one of its own),
        // and which one the file lies on could not be told: perhaps this file, perhaps another.
        return Listening::uncertain;
    }
    return same_device(kernel_device, *file.superblock_device) ? Listening::yes : Listening::no;
}

Result<Listening> is_listening_socket_file(const SocketFileIdentity& file) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
    if (!fd) return fail_last_os_error();

    Request request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = kSequence;
    request.body.sdiag_family = AF_UNIX;
    request.body.udiag_states = 1U << TCP_LISTEN;
    request.body.udiag_show = UDIAG_SHOW_VFS;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket API's address type
    if (::sendto(fd.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0)
        return fail_last_os_error();

    const Deadline deadline = Deadline::after(kAnswerTimeLimit);
    Listening found = Listening::no;
    alignas(nlmsghdr) std::array<char, 32768> buffer{};
    for (;;) {
        pollfd entry{fd.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, poll_timeout_rounding_up(deadline.remaining()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return fail_last_os_error();
        if (ready == 0) return fail_errno(ETIMEDOUT);
        const ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return fail_last_os_error();
        if (const std::optional<Listening> answer =
                TRY(read_datagram(buffer.data(), static_cast<std::size_t>(got), file, found)))
            return *answer;
    }
}

}  // namespace quillmere::check
