#pragma once
// The one error value of the supervisor: a kind, the errno of the system call that failed (0
// when none did), and an optional fixed text. Building one never allocates, so errors can be
// made anywhere, including between fork and exec.

#include <cerrno>
#include <cstdint>
#include <expected>
#include <utility>

namespace quillmere {

enum class ErrorKind : std::uint8_t {
    permission_denied,
    not_found,
    would_block,
    interrupted,
    invalid_input,
    invalid_data,
    timed_out,
    unsupported,
    write_zero,
    unexpected_eof,
    other,
};

struct Error {
    ErrorKind kind = ErrorKind::other;
    int os_errno = 0;            // errno of the failing call, 0 for errors of the program's own
    const char* text = nullptr;  // a string literal, or null

    // An operating-system error; its kind follows from the errno.
    [[nodiscard]] static Error from_errno(int errnum) noexcept;
    // The errno of the call that has just failed.
    [[nodiscard]] static Error last_os_error() noexcept { return from_errno(errno); }
    [[nodiscard]] static constexpr Error with_text(ErrorKind kind, const char* text) noexcept {
        return Error{kind, 0, text};
    }

    [[nodiscard]] bool is_os_error(int errnum) const noexcept { return os_errno == errnum; }
    friend bool operator==(const Error& a, const Error& b) noexcept;
};

[[nodiscard]] ErrorKind kind_of_errno(int errnum) noexcept;
[[nodiscard]] const char* error_kind_name(ErrorKind kind) noexcept;

// Every failed policy check of the session, its directory, its socket and its stop marker
// gives this same error, so that a caller cannot learn which check it tripped.
inline constexpr Error kSessionValidationFailed =
    Error::with_text(ErrorKind::permission_denied, "session validation failed");

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error error) noexcept { return std::unexpected<Error>(error); }
inline std::unexpected<Error> fail_errno(int errnum) noexcept {
    return std::unexpected<Error>(Error::from_errno(errnum));
}
inline std::unexpected<Error> fail_last_os_error() noexcept { return std::unexpected<Error>(Error::last_os_error()); }

}  // namespace quillmere

// Propagates the error of a Result, or yields its value: `auto fd = TRY(open_thing());`.
// The value is taken with `*`, which cannot throw, since the error was ruled out just above.
#define TRY(expr)                                                                       \
    ({                                                                                  \
        auto try_result_ = (expr);                                                      \
        if (!try_result_.has_value()) [[unlikely]]                                      \
            return std::unexpected<::quillmere::Error>(std::move(try_result_).error()); \
        *std::move(try_result_);                                                        \
    })
