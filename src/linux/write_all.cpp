#include "linux/write_all.hpp"

#include <unistd.h>

namespace quillmere {

namespace {
ssize_t plain_write(int fd, const void* bytes, std::size_t size) noexcept { return ::write(fd, bytes, size); }
}  // namespace

Result<void> write_all(int fd, std::string_view bytes, WriteSome write_some) noexcept {
    if (write_some == nullptr) write_some = plain_write;
    while (!bytes.empty()) {
        const ssize_t written = write_some(fd, bytes.data(), bytes.size());
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
