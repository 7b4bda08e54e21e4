// Which listener the socket diagnostics name is the parent's socket file: the kernel names the
// file by its inode and its superblock's device, stat by its inode and a device that, on a
// btrfs subvolume, is one of the subvolume's own.

#include "check/unix_listeners.hpp"

#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <optional>

namespace quillmere::check {
namespace {

constexpr ino_t kInode = 4711;
// The kernel's encoding of device 0:42 and of 0:51.
constexpr std::uint32_t kSuperblock = 42;
constexpr std::uint32_t kOther = 51;

struct MatchCase {
    const char* name;
    std::uint32_t kernel_device;
    std::uint64_t kernel_inode;
    SocketFileIdentity file;
    Listening expected;
};

const MatchCase kCases[] = {
    {"SameDeviceAndInode", kSuperblock, kInode, {makedev(0, 42), kInode, makedev(0, 42)}, Listening::yes},
    {"OtherInode", kSuperblock, kInode + 1, {makedev(0, 42), kInode, makedev(0, 42)}, Listening::no},
    // A btrfs subvolume: stat says 0:51, the superblock (and the kernel's record) 0:42.
    {"SubvolumeDevice", kSuperblock, kInode, {makedev(0, 51), kInode, makedev(0, 42)}, Listening::yes},
    {"SameInodeOnAnotherFileSystem", kOther, kInode, {makedev(0, 42), kInode, makedev(0, 42)}, Listening::no},
    {"SuperblockUnknown", kSuperblock, kInode, {makedev(0, 51), kInode, std::nullopt}, Listening::uncertain},
    {"SuperblockUnknownOtherInode", kSuperblock, kInode + 1, {makedev(0, 51), kInode, std::nullopt}, Listening::no},
    {"LargeMinor", (8U << 20) | 300U, kInode, {makedev(8, 300), kInode, std::nullopt}, Listening::yes},
};

class ListenerMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ListenerMatch, TellsTheFileApartFromOthers) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(match_listener(c.kernel_device, c.kernel_inode, c.file), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Listeners, ListenerMatch, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quillmere::check
