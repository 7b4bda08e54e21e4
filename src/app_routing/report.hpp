#pragma once
// What "check-app-routing" tells the parent: for each address family, whether the kernel's
// socket-diagnostics interface could enumerate TCP and UDP sockets.

#include <cstdint>

namespace quillmere {

struct ProtocolSupport {
    bool tcp = false;
    bool udp = false;
    friend bool operator==(const ProtocolSupport&, const ProtocolSupport&) = default;
};

struct AppRoutingReport {
    std::uint32_t format = 1;
    ProtocolSupport ipv4;
    ProtocolSupport ipv6;
    friend bool operator==(const AppRoutingReport&, const AppRoutingReport&) = default;
};

// Format 1 with every answer false: support was not shown.
inline constexpr AppRoutingReport kFallbackAppRoutingReport{};

}  // namespace quillmere
