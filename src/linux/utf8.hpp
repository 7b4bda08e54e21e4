#pragma once

#include <string_view>

namespace quillmere {

// Whether `bytes` is well-formed UTF-8: shortest forms only, no surrogates, nothing above
// U+10FFFF.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace quillmere
