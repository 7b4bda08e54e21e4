#pragma once
// Strict decoding of the session file's JSON document into its parent nonce.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

inline constexpr std::size_t kSessionFileMaxBytes = 4096;
inline constexpr std::size_t kNonceLength = 64;

// Why a session file's bytes are not a session document.
enum class SessionDocumentProblem : std::uint8_t {
    too_large,               // more than 4096 bytes
    byte_order_mark,         // begins with a UTF-8 byte-order mark
    nul_byte,                // holds a NUL byte
    syntax,                  // not one JSON document (a syntax error, a comment, text after it)
    not_a_session_document,  // a JSON document, but neither an object nor an array
    wrong_type,              // a value of the wrong type, or nested where none may be
    unknown_key,             // a key other than "format" and "parent_nonce"
    duplicate_key,           // a key given twice
    missing_key,             // a key missing
    element_count,           // an array of other than two elements
    format_range,            // "format" not an integer from 0 to 4294967295
    unsupported_format,      // "format" other than 1
    nonce_length,            // the nonce not 64 characters long
    nonce_character,         // a nonce character outside "0"-"9" and "a"-"f"
};

struct SessionDocumentRefusal {
    SessionDocumentProblem problem = SessionDocumentProblem::syntax;
    // The byte of a syntax error or a NUL, the length of a nonce of the wrong length, or the
    // index of a bad nonce character.
    std::size_t position = 0;
};

// The nonce, or why the bytes are refused.
[[nodiscard]] std::expected<std::string, SessionDocumentRefusal> judge_session_document(std::string_view bytes);

// Accepts {"format":1,"parent_nonce":"<64 lower-case hex>"} (keys in either order, each once,
// nothing else) or the array [1,"<nonce>"], surrounded only by JSON whitespace. Anything else,
// whatever the reason, is kSessionValidationFailed.
[[nodiscard]] Result<std::string> decode_session_document(std::string_view bytes);

}  // namespace quillmere
