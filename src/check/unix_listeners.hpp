#pragma once
// Whether anybody listens on a Unix socket file, asked of the kernel without connecting: a
// connection would be taken by the parent for the supervisor's.

#include <sys/types.h>

#include <optional>
#include <string>

#include "linux/error.hpp"

namespace quillmere::check {

// The file as the socket diagnostics name it: its inode number and the device of its file
// system's superblock. stat may report another device for the same file (a btrfs subvolume
// has one of its own), so the superblock's is looked up as well when it can be.
struct SocketFileIdentity {
    dev_t stat_device = 0;
    ino_t inode = 0;
    std::optional<dev_t> superblock_device;
};

enum class Listening {
    yes,        // a listener is bound to this very file
    no,         // no listener is bound to any file with this inode number
    uncertain,  // a listener has this inode number on a device that cannot be matched to the file
};

// The superblock device of the file system that `path` lies on, from its mount's entry in
// /proc/self/mountinfo; nullopt when the kernel cannot say which mount that is.
[[nodiscard]] std::optional<dev_t> superblock_device_of(const std::string& path);

// One listener's file as the kernel reported it, judged against `file`.
[[nodiscard]] Listening match_listener(std::uint32_t kernel_device, std::uint64_t kernel_inode,
                                       const SocketFileIdentity& file) noexcept;

// Over every listening Unix socket in this process's network namespace.
[[nodiscard]] Result<Listening> is_listening_socket_file(const SocketFileIdentity& file);

}  // namespace quillmere::check
