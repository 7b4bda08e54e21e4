// Placeholder until child containment and sealing are built; every call fails.
#include "linux/owned_child.hpp"
#include "linux/sealed_configuration.hpp"
#include "linux/spawn.hpp"
#include "linux/wait_status.hpp"

namespace quillmere {
namespace { constexpr Error kPending = Error::with_text(ErrorKind::unsupported, "not built yet"); }
Result<int> wait_status_from(int, int) noexcept { return fail(kPending); }
Result<pid_t> spawn_process(const ChildCommand&) { return fail(kPending); }
OwnedChild::OwnedChild(OwnedChild&& other) noexcept : pid_(other.pid_), pidfd_(std::move(other.pidfd_)), exited_(other.exited_), wait_status_(other.wait_status_) {}
OwnedChild::~OwnedChild() = default;
Result<OwnedChild> spawn_contained(ChildCommand&) { return fail(kPending); }
Result<std::optional<int>> try_reap(OwnedChild&) { return fail(kPending); }
Result<std::optional<int>> wait_until(OwnedChild&, Deadline) { return fail(kPending); }
Result<void> terminate(OwnedChild&, std::uint64_t) { return fail(kPending); }
void release_child(OwnedChild&) noexcept {}
PreExecHook parent_watch_hook(pid_t) noexcept { return {}; }
Result<UniqueFd> seal_configuration(int, uid_t) { return fail(kPending); }
Result<void> verify_sealed(int) { return fail(kPending); }
}  // namespace quillmere
