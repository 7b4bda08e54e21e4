#include "children/file_rules.hpp"

#include <gtest/gtest.h>

#include <initializer_list>

namespace quillmere {
namespace {

constexpr uid_t kOwner = 1000;
using enum FileRule;

struct StatusCase {
    const char* what;
    mode_t mode;
    off_t size;
    uid_t uid;
    nlink_t links;
    // What an executable breaks; a file that is not executed breaks the same but owner_execute.
    std::initializer_list<FileRule> broken;
};

struct stat status_of(const StatusCase& c) {
    struct stat status {};
    status.st_mode = c.mode;
    status.st_size = c.size;
    status.st_uid = c.uid;
    status.st_nlink = c.links;
    return status;
}

FileRuleSet set_of(std::initializer_list<FileRule> rules, bool executable) {
    FileRuleSet set;
    for (const FileRule rule : rules) {
        if (executable || rule != owner_execute) set.add(rule);
    }
    return set;
}

const StatusCase kCases[] = {
    {"executable 0700", S_IFREG | 0700, 10, kOwner, 1, {}},
    {"owner execute only 0100", S_IFREG | 0100, 10, kOwner, 1, {}},
    {"data 0600", S_IFREG | 0600, 10, kOwner, 1, {owner_execute}},
    {"data 0400", S_IFREG | 0400, 1, kOwner, 1, {owner_execute}},
    {"no owner bits at all", S_IFREG | 0000, 1, kOwner, 1, {owner_execute}},
    {"sticky bit is not examined", S_IFREG | 01700, 10, kOwner, 1, {}},
    {"group execute 0710", S_IFREG | 0710, 10, kOwner, 1, {private_mode}},
    {"group read 0740", S_IFREG | 0740, 10, kOwner, 1, {private_mode}},
    {"other read 0604", S_IFREG | 0604, 10, kOwner, 1, {private_mode, owner_execute}},
    {"other write 0702", S_IFREG | 0702, 10, kOwner, 1, {private_mode}},
    {"other execute 0701", S_IFREG | 0701, 10, kOwner, 1, {private_mode}},
    {"set-user-id", S_IFREG | 04700, 10, kOwner, 1, {no_set_id}},
    {"set-group-id", S_IFREG | 02700, 10, kOwner, 1, {no_set_id}},
    {"directory", S_IFDIR | 0700, 10, kOwner, 1, {regular}},
    {"fifo", S_IFIFO | 0600, 10, kOwner, 1, {regular, owner_execute}},
    {"character device", S_IFCHR | 0600, 10, kOwner, 1, {regular, owner_execute}},
    {"symbolic link", S_IFLNK | 0700, 10, kOwner, 1, {regular}},
    {"socket", S_IFSOCK | 0700, 10, kOwner, 1, {regular}},
    {"empty", S_IFREG | 0700, 0, kOwner, 1, {non_empty}},
    {"another owner", S_IFREG | 0700, 10, kOwner + 1, 1, {owner}},
    {"root owner", S_IFREG | 0700, 10, 0, 1, {owner}},
    {"second hard link", S_IFREG | 0700, 10, kOwner, 2, {single_link}},
    {"unlinked", S_IFREG | 0700, 10, kOwner, 0, {single_link}},
    {"everything at once",
     S_IFIFO | 06066,
     0,
     0,
     3,
     {no_set_id, private_mode, regular, non_empty, owner, single_link, owner_execute}},
};

TEST(FileRules, Table) {
    for (const StatusCase& c : kCases) {
        const struct stat status = status_of(c);
        for (const bool executable : {false, true}) {
            EXPECT_EQ(broken_file_rules(status, kOwner, executable), set_of(c.broken, executable))
                << c.what << (executable ? ", executable" : ", data");
        }
        EXPECT_EQ(meets_file_rules(status, kOwner), set_of(c.broken, false).empty()) << c.what;
    }
}

}  // namespace
}  // namespace quillmere
