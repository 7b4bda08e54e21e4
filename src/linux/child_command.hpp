#pragma once
// What the spawning facility starts: the program (always a /proc/self/fd path of a validated
// descriptor, so no PATH search happens), its argv, the environment variables taken out of the
// supervisor's own environment, and the pre-exec hooks that run in the forked child.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quillmere {

// One step run in the forked child, after fork and before exec, in the order the hooks were
// added. It may use only async-signal-safe calls and the values captured here; it returns 0,
// or the errno with which the spawn then fails. The values are filled before fork by whoever
// made the hook, and mean what its `run` takes them to mean: the spawn only carries them, so
// that nothing has to be allocated or looked up in the child.
struct PreExecHook {
    int (*run)(const PreExecHook& hook) noexcept = nullptr;
    int fd = -1;
    std::array<std::int64_t, 2> values{};
};

struct ChildCommand {
    std::string program;
    std::vector<std::string> argv;
    std::vector<std::string> env_removals;  // exact, case-sensitive variable names
    std::vector<PreExecHook> hooks;
};

// Clears FD_CLOEXEC on `fd` in the child, so that exactly this descriptor is passed on.
[[nodiscard]] PreExecHook inherit_hook(int fd) noexcept;

}  // namespace quillmere
