#include "linux/untrusted_open.hpp"

#include <fcntl.h>

#include <cerrno>

namespace quillmere {

Result<UniqueFd> open_untrusted(const std::string& path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != EINTR) return fail_last_os_error();
    }
}

}  // namespace quillmere
