#include "children/file_rules.hpp"

namespace quillmere {

namespace {

// Set-user-id, set-group-id and every group and other permission bit. The sticky bit and the
// owner's own bits are not the concern of these rules.
constexpr mode_t kForbiddenModeBits = S_ISUID | S_ISGID | S_IRWXG | S_IRWXO;

}  // namespace

bool meets_file_rules(const struct stat& status, uid_t owner_uid) noexcept {
    return (status.st_mode & kForbiddenModeBits) == 0  // only its owner may read, change or run it
           && S_ISREG(status.st_mode)                  // no FIFO, device or directory
           && status.st_size > 0                       // nothing to run or to configure from
           && status.st_uid == owner_uid               // the directory's owner put it there
           && status.st_nlink == 1;                    // no other name, in a directory outside the session
}

bool meets_executable_rules(const struct stat& status, uid_t owner_uid) noexcept {
    return meets_file_rules(status, owner_uid) && (status.st_mode & S_IXUSR) != 0;
}

}  // namespace quillmere
