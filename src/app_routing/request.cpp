#include "app_routing/request.hpp"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>

#include <cstddef>
#include <cstring>

namespace quillmere {

namespace {

struct SockDiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// The kernel reads the record at fixed offsets; padding anywhere would shift it.
static_assert(sizeof(nlmsghdr) == 16);
static_assert(sizeof(inet_diag_req_v2) == 56);
static_assert(offsetof(SockDiagRequest, body) == 16);
static_assert(sizeof(SockDiagRequest) == kSockDiagRequestSize);

}  // namespace

void build_sock_diag_request(std::span<unsigned char, kSockDiagRequestSize> out, std::uint8_t family,
                             std::uint8_t protocol, std::uint32_t sequence) noexcept {
    SockDiagRequest request;
    std::memset(&request, 0, sizeof request);
    request.header.nlmsg_len = kSockDiagRequestSize;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.header.nlmsg_pid = 0;
    request.body.sdiag_family = family;
    request.body.sdiag_protocol = protocol;
    request.body.idiag_ext = 0;
    // No state bit selected: the dump walks no socket and can never report one.
    request.body.idiag_states = 0;
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    std::memcpy(out.data(), &request, sizeof request);
}

}  // namespace quillmere
