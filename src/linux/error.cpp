#include "linux/error.hpp"

#include <cstring>

namespace quillmere {

ErrorKind kind_of_errno(int errnum) noexcept {
    switch (errnum) {
    case EPERM:
    case EACCES: return ErrorKind::permission_denied;
    case ENOENT: return ErrorKind::not_found;
    case EAGAIN: return ErrorKind::would_block;
    case EINTR: return ErrorKind::interrupted;
    case EINVAL: return ErrorKind::invalid_input;
    case ETIMEDOUT: return ErrorKind::timed_out;
    case ENOSYS:
    case EOPNOTSUPP: return ErrorKind::unsupported;
    default: return ErrorKind::other;
    }
}

Error Error::from_errno(int errnum) noexcept { return Error{kind_of_errno(errnum), errnum, nullptr}; }

bool operator==(const Error& a, const Error& b) noexcept {
    if (a.kind != b.kind || a.os_errno != b.os_errno) return false;
    if (a.text == nullptr || b.text == nullptr) return a.text == b.text;
    return std::strcmp(a.text, b.text) == 0;
}

const char* error_kind_name(ErrorKind kind) noexcept {
    switch (kind) {
    case ErrorKind::permission_denied: return "permission denied";
    case ErrorKind::not_found: return "not found";
    case ErrorKind::would_block: return "would block";
    case ErrorKind::interrupted: return "interrupted";
    case ErrorKind::invalid_input: return "invalid input";
    case ErrorKind::invalid_data: return "invalid data";
    case ErrorKind::timed_out: return "timed out";
    case ErrorKind::unsupported: return "unsupported";
    case ErrorKind::write_zero: return "write zero";
    case ErrorKind::unexpected_eof: return "unexpected end of file";
    case ErrorKind::other: return "other";
    }
    return "other";
}

}  // namespace quillmere
