#include "children/file_rules.hpp"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

constexpr uid_t kOwner = 1000;

struct StatusCase {
    const char* what;
    mode_t mode;
    off_t size;
    uid_t uid;
    nlink_t links;
    bool file_rules;
    bool executable_rules;
};

struct stat status_of(const StatusCase& c) {
    struct stat status {};
    status.st_mode = c.mode;
    status.st_size = c.size;
    status.st_uid = c.uid;
    status.st_nlink = c.links;
    return status;
}

const StatusCase kCases[] = {
    {"executable 0700", S_IFREG | 0700, 10, kOwner, 1, true, true},
    {"owner execute only 0100", S_IFREG | 0100, 10, kOwner, 1, true, true},
    {"data 0600", S_IFREG | 0600, 10, kOwner, 1, true, false},
    {"data 0400", S_IFREG | 0400, 1, kOwner, 1, true, false},
    {"no owner bits at all", S_IFREG | 0000, 1, kOwner, 1, true, false},
    {"sticky bit is not examined", S_IFREG | 01700, 10, kOwner, 1, true, true},
    {"group execute 0710", S_IFREG | 0710, 10, kOwner, 1, false, false},
    {"group read 0740", S_IFREG | 0740, 10, kOwner, 1, false, false},
    {"other read 0604", S_IFREG | 0604, 10, kOwner, 1, false, false},
    {"other write 0702", S_IFREG | 0702, 10, kOwner, 1, false, false},
    {"other execute 0701", S_IFREG | 0701, 10, kOwner, 1, false, false},
    {"set-user-id", S_IFREG | 04700, 10, kOwner, 1, false, false},
    {"set-group-id", S_IFREG | 02700, 10, kOwner, 1, false, false},
    {"directory", S_IFDIR | 0700, 10, kOwner, 1, false, false},
    {"fifo", S_IFIFO | 0600, 10, kOwner, 1, false, false},
    {"character device", S_IFCHR | 0600, 10, kOwner, 1, false, false},
    {"symbolic link", S_IFLNK | 0700, 10, kOwner, 1, false, false},
    {"socket", S_IFSOCK | 0700, 10, kOwner, 1, false, false},
    {"empty", S_IFREG | 0700, 0, kOwner, 1, false, false},
    {"another owner", S_IFREG | 0700, 10, kOwner + 1, 1, false, false},
    {"root owner", S_IFREG | 0700, 10, 0, 1, false, false},
    {"second hard link", S_IFREG | 0700, 10, kOwner, 2, false, false},
    {"unlinked", S_IFREG | 0700, 10, kOwner, 0, false, false},
};

TEST(FileRules, Table) {
    for (const StatusCase& c : kCases) {
        const struct stat status = status_of(c);
        EXPECT_EQ(meets_file_rules(status, kOwner), c.file_rules) << c.what;
        EXPECT_EQ(meets_executable_rules(status, kOwner), c.executable_rules) << c.what;
    }
}

}  // namespace
}  // namespace quillmere
