// Placeholder until state files, input files and child commands are built; every call fails.
#include "children/child_command.hpp"
#include "children/environment_policy.hpp"
#include "children/file_rules.hpp"
#include "children/input_files.hpp"
#include "children/state_files.hpp"

namespace quillmere {
namespace { constexpr Error kPending = Error::with_text(ErrorKind::unsupported, "not built yet"); }
Result<void> write_state_file(std::string_view, std::string_view, std::string_view) { return fail(kPending); }
bool meets_file_rules(const struct stat&, uid_t) noexcept { return false; }
bool meets_executable_rules(const struct stat&, uid_t) noexcept { return false; }
int descriptor_violation(int, uid_t, bool) noexcept { return ENOSYS; }
Result<void> validate_descriptor(int, uid_t, bool) { return fail(kPending); }
Result<ValidatedFile> open_input_file(const Session&, std::string_view, bool) { return fail(kPending); }
Result<GuardFiles> open_guard_files(const Session&) { return fail(kPending); }
Result<void> bind_executable(const ValidatedFile&, ChildCommand&) { return fail(kPending); }
PreExecHook revalidation_hook(int, uid_t, bool) noexcept { return {}; }
PreExecHook inherit_hook(int) noexcept { return {}; }
ChildCommand scrubbed_command(std::string_view program) { return ChildCommand{std::string(program), {std::string(program)}, {}, {}}; }
const std::string_view kEnvironmentPolicyDocument = "[]";
const std::vector<std::string>& denied_environment_names() { static const std::vector<std::string> none; return none; }
}  // namespace quillmere
