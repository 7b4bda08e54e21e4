#include "linux/untrusted_open.hpp"

#include <fcntl.h>

#include "linux/syscalls.hpp"

namespace quillmere {

Result<UniqueFd> open_untrusted(const std::string& path) {
    return open_retrying(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
}

}  // namespace quillmere
