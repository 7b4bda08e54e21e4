#pragma once
// Small pieces of the checker's sentences: modes, errors and sizes as people read them.

#include <sys/types.h>

#include <string>
#include <string_view>

namespace quillmere::check {

// "0644", "04700": the permission and set-id bits in octal.
[[nodiscard]] std::string mode_text(mode_t mode);
// The mode asked of a private entry: `owner_bits` without the group and other bits the rules
// refuse ("0700" for S_IRWXU).
[[nodiscard]] std::string private_mode_text(mode_t owner_bits);
// "a directory", "a symbolic link", "a FIFO", ... for the file type in `mode`.
[[nodiscard]] std::string file_type_text(mode_t mode);
// "belongs to uid 0, not to uid 1000 who owns the state directory".
[[nodiscard]] std::string foreign_owner_text(uid_t found, uid_t owner);
// "mode 0644 has group or other bits; the supervisor wants none (0600)".
[[nodiscard]] std::string open_mode_text(mode_t mode, std::string_view wanted);
// "ENOENT (No such file or directory)".
[[nodiscard]] std::string errno_text(int errnum);

}  // namespace quillmere::check
