// Placeholder until the guard run is built; every call fails.
#include "children/guard.hpp"

namespace quillmere {
std::string_view guard_mode_word(GuardMode mode) noexcept { return mode == GuardMode::preflight ? "preflight" : "cleanup"; }
Result<bool> run_guard(std::string_view, GuardMode, int, const GuardFiles&) { return fail(Error::with_text(ErrorKind::unsupported, "not built yet")); }
}  // namespace quillmere
