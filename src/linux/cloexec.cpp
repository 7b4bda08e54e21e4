#include "linux/cloexec.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace quillmere {

namespace {

constexpr unsigned kFirstUnnamed = 3;

int mark_numbered_descriptors(unsigned limit) noexcept {
    for (unsigned fd = kFirstUnnamed; fd < limit; ++fd) {
        if (::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) != 0 && errno != EBADF) return errno;
    }
    return 0;
}

void mark_listed_descriptors() noexcept {
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) return;
    const int own = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd < static_cast<long>(kFirstUnnamed) || fd == own) continue;
        const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
        if (flags != -1 && (flags & FD_CLOEXEC) == 0) ::fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
    }
    ::closedir(listing);
}

}  // namespace

int mark_descriptors_cloexec(CloexecFallback fallback, unsigned numbered_limit) noexcept {
    if (::syscall(SYS_close_range, kFirstUnnamed, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return 0;
    if (fallback == CloexecFallback::kListed) {
        mark_listed_descriptors();
        return 0;
    }
    if (errno != ENOSYS && errno != EINVAL) return errno;
    return mark_numbered_descriptors(numbered_limit);
}

}  // namespace quillmere
