#include "app_routing/reply_check.hpp"

#include <cstring>

namespace quillmere {

namespace {

constexpr std::uint32_t kEndOfDumpLength = sizeof(nlmsghdr) + sizeof(std::int32_t);

}  // namespace

ReplyVerdict judge_sock_diag_reply(const ReceivedDatagram& datagram, std::uint32_t port_id,
                                   std::uint32_t sequence) noexcept {
    const std::size_t length = datagram.length;
    // A datagram cut short by the buffer would be judged on bytes that are not all there.
    if (length > kReplyBufferSize || length > datagram.buffer.size()) return ReplyVerdict::truncated;
    if (datagram.source_length != sizeof(sockaddr_nl)) return ReplyVerdict::source_length_wrong;
    if (datagram.source.nl_family != AF_NETLINK) return ReplyVerdict::source_not_netlink;
    // Another process may send to our port id; only the kernel (port 0) speaks for the kernel.
    if (datagram.source.nl_pid != 0) return ReplyVerdict::source_not_kernel;
    if (length < sizeof(nlmsghdr)) return ReplyVerdict::shorter_than_header;
    if (datagram.source.nl_groups != 0) return ReplyVerdict::source_has_groups;

    nlmsghdr header;
    std::memcpy(&header, datagram.buffer.data(), sizeof header);
    if (header.nlmsg_pid != port_id) return ReplyVerdict::port_id_mismatch;
    if (header.nlmsg_seq != sequence) return ReplyVerdict::sequence_mismatch;
    if (header.nlmsg_flags != NLM_F_MULTI) return ReplyVerdict::flags_not_multi;
    if (header.nlmsg_type != NLMSG_DONE) return ReplyVerdict::not_end_of_dump;
    if (header.nlmsg_len != kEndOfDumpLength) return ReplyVerdict::length_field_wrong;
    if (length != header.nlmsg_len) return ReplyVerdict::length_mismatch;

    std::int32_t status = 0;
    std::memcpy(&status, datagram.buffer.data() + sizeof header, sizeof status);
    return status == 0 ? ReplyVerdict::supported : ReplyVerdict::status_nonzero;
}

}  // namespace quillmere
