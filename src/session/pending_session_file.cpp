// Placeholder until the session file loader is built; every call fails.
#include "session/session.hpp"
#include "session/spec_decoder.hpp"

namespace quillmere {
namespace { constexpr Error kPending = Error::with_text(ErrorKind::unsupported, "not built yet"); }
Result<Session> load_session(std::string_view) { return fail(kPending); }
Result<std::string> decode_spec(std::string_view) { return fail(kPending); }
}  // namespace quillmere
