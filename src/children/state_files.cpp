#include "children/state_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "linux/path.hpp"
#include "linux/syscalls.hpp"
#include "linux/unique_fd.hpp"
#include "linux/write_all.hpp"

namespace quillmere {

namespace {

Result<void> sync_file(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return fail_last_os_error();
    }
    return {};
}

Result<void> open_up(int fd) {
    // An explicit fchmod, not the creation mode, so that the umask cannot narrow it.
    while (::fchmod(fd, kFinishedMode) != 0) {
        if (errno != EINTR) return fail_last_os_error();
    }
    return {};
}

}  // namespace

Result<void> write_state_file(std::string_view state_dir, std::string_view name, std::string_view content) {
    const std::string path = join_path(state_dir, name);
    // O_EXCL with O_NOFOLLOW: whatever already has the name, a planted link included, makes
    // this fail with EEXIST and is neither followed nor touched. Each name is written once.
    // Closed on every path, its result ignored. A file left by a failure below stays as it is:
    // the supervisor never removes what it wrote into the parent's directory.
    const UniqueFd fd = TRY(open_retrying(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kWritingMode));

    TRY(write_all(fd.get(), content));
    TRY(sync_file(fd.get()));
    TRY(open_up(fd.get()));
    return {};
}

}  // namespace quillmere
