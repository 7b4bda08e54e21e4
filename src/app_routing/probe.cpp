#include "app_routing/probe.hpp"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "app_routing/probe_wait.hpp"
#include "app_routing/reply_check.hpp"
#include "app_routing/request.hpp"
#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {

namespace {

constexpr Error kUnexpectedAddress = Error::with_text(ErrorKind::invalid_data, "unexpected netlink address");
constexpr Error kShortSend = Error::with_text(ErrorKind::write_zero, "request not sent whole");
constexpr Error kNoAnswer = Error::with_text(ErrorKind::timed_out, "no answer before the deadline");
constexpr Error kPollTrouble = Error::with_text(ErrorKind::other, "socket reported more than input");

// Port id 0 everywhere: bound locally it asks the kernel to assign one; as a destination it
// names the kernel itself.
sockaddr_nl kernel_netlink_address() noexcept {
    sockaddr_nl address;
    std::memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    return address;
}

const sockaddr* as_sockaddr(const sockaddr_nl* address) noexcept { return reinterpret_cast<const sockaddr*>(address); }
sockaddr* as_sockaddr(sockaddr_nl* address) noexcept { return reinterpret_cast<sockaddr*>(address); }

Result<UniqueFd> open_diag_socket() noexcept {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return fail_last_os_error();
    return UniqueFd(fd);
}

// Binds to a kernel-assigned port and returns it: the port id every answer must carry.
Result<std::uint32_t> bind_assigned_port(int fd) noexcept {
    const sockaddr_nl local = kernel_netlink_address();
    if (::bind(fd, as_sockaddr(&local), sizeof local) != 0) return fail_last_os_error();

    sockaddr_nl bound;
    std::memset(&bound, 0, sizeof bound);
    socklen_t bound_length = sizeof bound;
    if (::getsockname(fd, as_sockaddr(&bound), &bound_length) != 0) return fail_last_os_error();
    if (bound_length != sizeof bound || bound.nl_family != AF_NETLINK || bound.nl_pid == 0 || bound.nl_groups != 0)
        return fail(kUnexpectedAddress);
    return bound.nl_pid;
}

Result<void> send_request(int fd, std::uint8_t family, std::uint8_t protocol, std::uint32_t sequence) noexcept {
    std::array<unsigned char, kSockDiagRequestSize> request;
    build_sock_diag_request(request, family, protocol, sequence);
    const sockaddr_nl kernel = kernel_netlink_address();
    // Sent once: EINTR counts as failure too, since a half-known send cannot be judged.
    const ssize_t sent =
        ::sendto(fd, request.data(), request.size(), MSG_DONTWAIT, as_sockaddr(&kernel), sizeof kernel);
    if (sent < 0) return fail_last_os_error();
    if (static_cast<std::size_t>(sent) != request.size()) return fail(kShortSend);
    return {};
}

// Waits for the first datagram and judges it; true only for a supporting answer.
Result<bool> await_answer(int fd, std::uint32_t port_id, std::uint32_t sequence, Deadline deadline) noexcept {
    alignas(nlmsghdr) std::array<unsigned char, kReplyBufferSize> buffer;
    for (;;) {
        const Nanoseconds remaining = deadline.remaining();
        if (remaining == 0) return fail(kNoAnswer);

        pollfd watched{fd, POLLIN, 0};
        const int ready = ::poll(&watched, 1, probe_poll_timeout(remaining));
        if (ready < 0) {
            // A signal only costs the time it took; the deadline still bounds the wait.
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        if (ready == 0) return fail(kNoAnswer);
        if (watched.revents != POLLIN) return fail(kPollTrouble);

        buffer.fill(0);
        ReceivedDatagram datagram{buffer, 0, {}, sizeof(sockaddr_nl)};
        std::memset(&datagram.source, 0, sizeof datagram.source);
        // MSG_TRUNC makes recvfrom tell the datagram's whole length, so an oversized one is seen.
        const ssize_t received = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                                            as_sockaddr(&datagram.source), &datagram.source_length);
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return fail_last_os_error();
        }
        datagram.length = static_cast<std::size_t>(received);
        // The first datagram decides: a stray one is not skipped in favour of a later one.
        return judge_sock_diag_reply(datagram, port_id, sequence) == ReplyVerdict::supported;
    }
}

Result<bool> run_probe(std::uint8_t family, std::uint8_t protocol, std::uint32_t sequence, Deadline deadline) noexcept {
    const UniqueFd socket = TRY(open_diag_socket());
    const std::uint32_t port_id = TRY(bind_assigned_port(socket.get()));
    TRY(send_request(socket.get(), family, protocol, sequence));
    return await_answer(socket.get(), port_id, sequence, deadline);
}

}  // namespace

bool probe_sock_diag(std::uint8_t family, std::uint8_t protocol, std::uint32_t sequence, Deadline deadline) noexcept {
    const Deadline probe_deadline = Deadline::after(kProbeTimeLimit).earlier(deadline);
    // Checked before any socket exists, so that a check already out of time costs nothing.
    if (probe_deadline.passed()) return false;
    const Result<bool> answer = run_probe(family, protocol, sequence, probe_deadline);
    return answer.has_value() && *answer;
}

}  // namespace quillmere
