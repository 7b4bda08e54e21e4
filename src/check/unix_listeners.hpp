#pragma once
// Whether anybody listens on a Unix socket file, asked of the kernel without connecting: a
// connection would be taken by the parent for the supervisor's.

#include <sys/types.h>

#include "linux/error.hpp"

namespace quillmere::check {

// True when a listening Unix socket is bound to the file with this device and inode number
// in this process's network namespace.
[[nodiscard]] Result<bool> is_listening_socket_file(dev_t device, ino_t inode);

}  // namespace quillmere::check
