#pragma once
// The one connection to the parent application: "parent.sock" in the state directory. The
// handshake sends the nonce and accepts only "OK\n"; afterwards the link is silent and
// non-blocking, and the parent closing or writing to it asks for a stop.

#include <string_view>

#include "linux/error.hpp"
#include "linux/unique_fd.hpp"
#include "session/session.hpp"

namespace quillmere {

inline constexpr std::string_view kParentSocketName = "parent.sock";

class ParentLink {
public:
    explicit ParentLink(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    void close() noexcept { fd_.reset(); }

private:
    UniqueFd fd_;
};

// Checks the socket file, connects, sends the hello line and waits for the acknowledgement.
[[nodiscard]] Result<ParentLink> connect_parent_link(const Session& session);

// True while a one-byte non-blocking receive finds nothing; false once the parent closed its
// end, wrote anything (the byte is consumed), or the receive failed in any other way.
[[nodiscard]] bool parent_link_alive(const ParentLink& link) noexcept;

}  // namespace quillmere
