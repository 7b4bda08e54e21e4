#pragma once
// Small fixtures shared by the tests: scratch directories, files with chosen modes and owners,
// running the supervisor binary, and running code as an unprivileged user.

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNobodyGid = 65534;

[[nodiscard]] bool running_as_root();

// A fresh directory under /tmp (mode 0700), removed with everything in it on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string file(std::string_view name) const;

private:
    std::string path_;
};

void remove_tree(const std::string& path);

// Creates (or replaces) `path` with `content`, then sets `mode` exactly and, when `owner` is
// not -1, the owner (group follows the owner's uid).
void write_file(const std::string& path, std::string_view content, mode_t mode, uid_t owner = static_cast<uid_t>(-1));
[[nodiscard]] std::string read_file(const std::string& path);
[[nodiscard]] bool path_exists(const std::string& path);  // lstat succeeds
[[nodiscard]] mode_t file_mode(const std::string& path);  // permission bits from lstat

struct ProcessResult {
    int exit_status = -1;  // exit code, or 128 + signal number
    std::string standard_output;
    std::string standard_error;
};

struct RunOptions {
    uid_t uid = static_cast<uid_t>(-1);          // drop to this uid (and the same gid) before exec
    std::vector<std::string> extra_environment;  // "NAME=value" entries added to the environment
    double timeout_seconds = 60;                 // killed with SIGKILL after this
};

// Runs `program` with `args` (argv[0] is the program path), captures both streams and waits.
[[nodiscard]] ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                                        const RunOptions& options = {});
// The supervisor binary built with the tests.
[[nodiscard]] ProcessResult run_supervisor(const std::vector<std::string>& args, const RunOptions& options = {});
[[nodiscard]] std::string supervisor_binary();
[[nodiscard]] std::string session_check_binary();
[[nodiscard]] std::string test_program(std::string_view name);
// Whether the program names a dynamic loader (a sanitizer build's supervisor does). A loader
// needs descriptors, stack and address space of its own before the program's first
// instruction, so tests of the least the program itself needs skip such a build.
[[nodiscard]] bool has_program_interpreter(const std::string& path);

// Runs `body` in a forked child that has dropped to uid/gid 65534; returns the child's exit
// code (0 when `body` returned true, 1 when false, 2 when dropping privileges failed).
[[nodiscard]] int run_as_nobody(const std::function<bool()>& body);

}  // namespace quillmere::testing
