// Placeholder until the core run is built; every call fails.
#include "children/core.hpp"

namespace quillmere {
Result<void> run_core(bool, const Session&, const ParentLink&, const ValidatedFile&, int) { return fail(Error::with_text(ErrorKind::unsupported, "not built yet")); }
}  // namespace quillmere
