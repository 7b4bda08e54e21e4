#pragma once
// Strict decoding of the session file's JSON document into its parent nonce.

#include <string>
#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

inline constexpr std::size_t kSessionFileMaxBytes = 4096;

// Accepts {"format":1,"parent_nonce":"<64 lower-case hex>"} (keys in either order, each once,
// nothing else) or the array [1,"<nonce>"], surrounded only by JSON whitespace. Anything else,
// whatever the reason, is kSessionValidationFailed.
[[nodiscard]] Result<std::string> decode_spec(std::string_view bytes);

}  // namespace quillmere
