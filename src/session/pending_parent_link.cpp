// Placeholder until the parent link and the stop marker are built; every call fails.
#include "session/parent_link.hpp"
#include "session/stop_request.hpp"

namespace quillmere {
namespace { constexpr Error kPending = Error::with_text(ErrorKind::unsupported, "not built yet"); }
Result<ParentLink> connect_parent_link(const Session&) { return fail(kPending); }
bool parent_link_alive(const ParentLink&) noexcept { return false; }
Result<bool> stop_requested(std::string_view) { return fail(kPending); }
}  // namespace quillmere
