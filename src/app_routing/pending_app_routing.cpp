// Placeholder until the app routing check is built.
#include "app_routing/check_worker.hpp"
#include "app_routing/probe.hpp"

namespace quillmere {
bool probe_sock_diag(std::uint8_t, std::uint8_t, std::uint32_t, Deadline) noexcept { return false; }
AppRoutingReport check_app_routing() noexcept { return kFallbackAppRoutingReport; }
}  // namespace quillmere
