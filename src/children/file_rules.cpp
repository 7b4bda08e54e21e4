#include "children/file_rules.hpp"

#include "session/session_rules.hpp"

namespace quillmere {

namespace {

constexpr mode_t kSetIdBits = S_ISUID | S_ISGID;

}  // namespace

FileRuleSet broken_file_rules(const struct stat& status, uid_t owner_uid, bool executable) noexcept {
    FileRuleSet broken;
    // it would run with the rights of its owner or group rather than as the child it is
    if ((status.st_mode & kSetIdBits) != 0) broken.add(FileRule::no_set_id);
    // only its owner may read, change or run it (the sticky bit and the owner's own bits are
    // not the concern of these rules)
    if ((status.st_mode & kGroupOtherModeBits) != 0) broken.add(FileRule::private_mode);
    // no FIFO, device or directory
    if (!S_ISREG(status.st_mode)) broken.add(FileRule::regular);
    // nothing to run or to configure from
    if (status.st_size <= 0) broken.add(FileRule::non_empty);
    // the directory's owner put it there
    if (status.st_uid != owner_uid) broken.add(FileRule::owner);
    // no other name, in a directory outside the session
    if (status.st_nlink != 1) broken.add(FileRule::single_link);
    // the owner meant it to be run
    if (executable && (status.st_mode & S_IXUSR) == 0) broken.add(FileRule::owner_execute);
    return broken;
}

}  // namespace quillmere
