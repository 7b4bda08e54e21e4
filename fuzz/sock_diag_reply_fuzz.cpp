// The first datagram a probe receives may come from anyone able to reach its netlink port.
// The input is laid out as: port id (4 bytes), sequence (4), the source address as the kernel
// would fill it (12), the source length (1), a signed adjustment of the true datagram length
// against the bytes received (1), then the received bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app_routing/reply_check.hpp"
#include "fuzz_check.hpp"

namespace {

constexpr std::size_t kPrefixSize = 4 + 4 + sizeof(sockaddr_nl) + 1 + 1;
constexpr std::size_t kEndOfDumpSize = sizeof(nlmsghdr) + sizeof(std::int32_t);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kPrefixSize) return 0;
    std::uint32_t port_id = 0;
    std::uint32_t sequence = 0;
    quillmere::ReceivedDatagram datagram;
    std::memcpy(&port_id, data, 4);
    std::memcpy(&sequence, data + 4, 4);
    std::memcpy(&datagram.source, data + 8, sizeof(sockaddr_nl));
    datagram.source_length = data[8 + sizeof(sockaddr_nl)];
    const int adjustment = static_cast<std::int8_t>(data[9 + sizeof(sockaddr_nl)]);

    // A heap copy of exactly the received bytes, so that any read past them is caught.
    const std::vector<unsigned char> received(data + kPrefixSize, data + size);
    datagram.buffer = received;
    const long length = static_cast<long>(received.size()) + adjustment;
    datagram.length = length < 0 ? 0 : static_cast<std::size_t>(length);

    const quillmere::ReplyVerdict verdict = quillmere::judge_sock_diag_reply(datagram, port_id, sequence);
    if (datagram.length > received.size()) FUZZ_CHECK(verdict == quillmere::ReplyVerdict::truncated);
    if (verdict != quillmere::ReplyVerdict::supported) return 0;

    // Only a bare end-of-dump from the kernel, answering this request, is ever accepted.
    FUZZ_CHECK(datagram.length == kEndOfDumpSize);
    FUZZ_CHECK(datagram.source_length == sizeof(sockaddr_nl));
    FUZZ_CHECK(datagram.source.nl_family == AF_NETLINK);
    FUZZ_CHECK(datagram.source.nl_pid == 0 && datagram.source.nl_groups == 0);
    nlmsghdr header;
    std::memcpy(&header, received.data(), sizeof header);
    FUZZ_CHECK(header.nlmsg_len == kEndOfDumpSize && header.nlmsg_type == NLMSG_DONE);
    FUZZ_CHECK(header.nlmsg_flags == NLM_F_MULTI);
    FUZZ_CHECK(header.nlmsg_pid == port_id && header.nlmsg_seq == sequence);
    std::int32_t status = -1;
    std::memcpy(&status, received.data() + sizeof header, sizeof status);
    FUZZ_CHECK(status == 0);
    return 0;
}
