#include "check/wording.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "session/session_rules.hpp"

namespace quillmere::check {

std::string mode_text(mode_t mode) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string private_mode_text(mode_t owner_bits) { return mode_text(owner_bits & ~kGroupOtherModeBits); }

std::string file_type_text(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a directory";
    case S_IFLNK: return "a symbolic link";
    case S_IFIFO: return "a FIFO";
    case S_IFSOCK: return "a socket";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    default: return "of an unknown type";
    }
}

std::string foreign_owner_text(uid_t found, uid_t owner) {
    return "belongs to uid " + std::to_string(found) + ", not to uid " + std::to_string(owner) +
           " who owns the state directory";
}

std::string open_mode_text(mode_t mode, std::string_view wanted) {
    return "mode " + mode_text(mode) + " has group or other bits; the supervisor wants none (" + std::string(wanted) +
           ")";
}

std::string errno_text(int errnum) {
    const char* name = ::strerrorname_np(errnum);
    std::string text = name != nullptr ? name : "errno " + std::to_string(errnum);
    return text + " (" + std::strerror(errnum) + ")";
}

}  // namespace quillmere::check
