#include "linux/write_all.hpp"

#include <unistd.h>

namespace quillmere {

Result<void> write_all(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        if (written == 0) return fail(kWriteZero);
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

}  // namespace quillmere
