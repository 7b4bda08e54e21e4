#pragma once
// Small pieces of the checker's sentences: modes, errors and sizes as people read them.

#include <sys/types.h>

#include <string>

namespace quillmere::check {

// "0644", "04700": the permission and set-id bits in octal.
[[nodiscard]] std::string mode_text(mode_t mode);
// "a directory", "a symbolic link", "a FIFO", ... for the file type in `mode`.
[[nodiscard]] std::string file_type_text(mode_t mode);
// "ENOENT (No such file or directory)".
[[nodiscard]] std::string errno_text(int errnum);

}  // namespace quillmere::check
