#pragma once
// Judging the first datagram a probe receives. Only a bare end-of-dump from the kernel, for
// this socket and this request, counts; anything else is refused, and the first refusal in
// a fixed order names why.

#include <linux/netlink.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere {

inline constexpr std::size_t kReplyBufferSize = 4096;

enum class ReplyVerdict : std::uint8_t {
    supported,
    truncated,            // longer than the receive buffer
    source_length_wrong,  // the source is not a whole netlink address
    source_not_netlink,
    source_not_kernel,  // sent by another socket, not by the kernel
    shorter_than_header,
    source_has_groups,   // a multicast notification, not an answer
    port_id_mismatch,    // meant for another socket
    sequence_mismatch,   // answers another request
    flags_not_multi,     // anything but exactly NLM_F_MULTI
    not_end_of_dump,     // an error reply, a socket record, or anything else
    length_field_wrong,  // an end-of-dump carrying more than its status
    length_mismatch,     // the datagram and its header disagree
    status_nonzero,
};

struct ReceivedDatagram {
    std::span<const unsigned char> buffer;  // what recvfrom wrote into
    std::size_t length = 0;                 // the datagram's true length (recvfrom with MSG_TRUNC)
    sockaddr_nl source{};
    socklen_t source_length = 0;
};

[[nodiscard]] ReplyVerdict judge_sock_diag_reply(const ReceivedDatagram& datagram, std::uint32_t port_id,
                                                 std::uint32_t sequence) noexcept;

}  // namespace quillmere
