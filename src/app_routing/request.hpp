#pragma once
// The socket-diagnostics dump request of one probe: a netlink header followed by an
// inet_diag_req_v2 record that selects no socket state, so that the kernel never lists a
// socket and a supporting kernel answers with one bare end-of-dump.

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere {

inline constexpr std::size_t kSockDiagRequestSize = 72;

// Writes the whole request, every byte of it, in host byte order into `out`.
void build_sock_diag_request(std::span<unsigned char, kSockDiagRequestSize> out, std::uint8_t family,
                             std::uint8_t protocol, std::uint32_t sequence) noexcept;

}  // namespace quillmere
